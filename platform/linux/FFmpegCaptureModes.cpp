#include "platform/linux/FFmpegCaptureModes.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <tuple>
#include <unistd.h>

namespace pokescope::ffmpeg {

namespace {

constexpr int maxWidth = 1920;
constexpr int maxHeight = 1080;

int xioctl(int fd, unsigned long request, void* arg) {
    int rc;
    do
        rc = ::ioctl(fd, request, arg);
    while (rc < 0 && errno == EINTR);
    return rc;
}

bool near(const FrameRate& rate, double fps) {
    return std::fabs(rate.value() - fps) < 0.5;
}

std::optional<FrameRate> rateNear(const CaptureMode& mode, double fps) {
    for (const auto& rate : mode.rates)
        if (near(rate, fps))
            return rate;
    return std::nullopt;
}

std::vector<FrameRate> ratesOf(int fd, uint32_t pixelFormat, int width, int height) {
    std::vector<FrameRate> rates;
    v4l2_frmivalenum interval{};
    interval.pixel_format = pixelFormat;
    interval.width = static_cast<uint32_t>(width);
    interval.height = static_cast<uint32_t>(height);
    for (interval.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0; ++interval.index) {
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            // An interval of n/d seconds is d/n frames per second.
            rates.push_back({static_cast<int>(interval.discrete.denominator),
                             static_cast<int>(interval.discrete.numerator)});
            continue;
        }
        // A range: offer the usual rates that fall inside it.
        double slowest =
            interval.stepwise.max.denominator / std::max(1.0, double(interval.stepwise.max.numerator));
        double fastest =
            interval.stepwise.min.denominator / std::max(1.0, double(interval.stepwise.min.numerator));
        for (int fps : {60, 30})
            if (fps >= slowest - 0.01 && fps <= fastest + 0.01)
                rates.push_back({fps, 1});
        if (rates.empty())
            rates.push_back({static_cast<int>(std::floor(fastest)), 1});
        break;
    }
    return rates;
}

void addSizes(int fd, uint32_t pixelFormat, PixelCoding coding, std::vector<CaptureMode>& modes) {
    v4l2_frmsizeenum size{};
    size.pixel_format = pixelFormat;
    for (size.index = 0; xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; ++size.index) {
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            int w = static_cast<int>(size.discrete.width), h = static_cast<int>(size.discrete.height);
            modes.push_back({coding, w, h, ratesOf(fd, pixelFormat, w, h)});
            continue;
        }
        // A range of sizes: the largest that fits, kept on the device's step.
        auto fit = [](uint32_t min, uint32_t max, uint32_t step, int limit) {
            uint32_t value = std::min<uint32_t>(max, static_cast<uint32_t>(limit));
            if (step > 1 && value > min)
                value = min + (value - min) / step * step;
            return static_cast<int>(std::max(value, min));
        };
        int w = fit(size.stepwise.min_width, size.stepwise.max_width, size.stepwise.step_width, maxWidth);
        int h = fit(size.stepwise.min_height, size.stepwise.max_height, size.stepwise.step_height, maxHeight);
        modes.push_back({coding, w, h, ratesOf(fd, pixelFormat, w, h)});
        break;
    }
}

} // namespace

std::optional<ChosenMode> chooseCaptureMode(const std::vector<CaptureMode>& modes) {
    std::optional<ChosenMode> best;
    // Ranks (usual rate, area, rate, uncompressed) so that one comparison picks the preferred mode.
    std::tuple<bool, long, double, bool> bestRank{};
    for (const auto& mode : modes) {
        if (mode.width <= 0 || mode.height <= 0 || mode.width > maxWidth || mode.height > maxHeight ||
            mode.rates.empty())
            continue;
        std::optional<FrameRate> rate = rateNear(mode, 60);
        if (!rate)
            rate = rateNear(mode, 30);
        bool usual = rate.has_value();
        if (!usual)
            rate = *std::max_element(mode.rates.begin(), mode.rates.end(),
                                     [](auto& a, auto& b) { return a.value() < b.value(); });
        std::tuple<bool, long, double, bool> rank{usual, long(mode.width) * mode.height, rate->value(),
                                                  mode.coding == PixelCoding::yuyv};
        if (!best || rank > bestRank) {
            best = ChosenMode{mode.coding, mode.width, mode.height, *rate};
            bestRank = rank;
        }
    }
    return best;
}

std::vector<CaptureMode> listCaptureModes(const std::string& path) {
    std::vector<CaptureMode> modes;
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return modes;
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (format.index = 0; xioctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
        if (format.pixelformat == V4L2_PIX_FMT_MJPEG || format.pixelformat == V4L2_PIX_FMT_JPEG)
            addSizes(fd, format.pixelformat, PixelCoding::mjpeg, modes);
        else if (format.pixelformat == V4L2_PIX_FMT_YUYV)
            addSizes(fd, format.pixelformat, PixelCoding::yuyv, modes);
    }
    ::close(fd);
    return modes;
}

std::vector<std::pair<std::string, std::string>> v4l2Options(const ChosenMode& mode) {
    return {
        {"input_format", mode.coding == PixelCoding::mjpeg ? "mjpeg" : "yuyv422"},
        {"video_size", std::to_string(mode.width) + "x" + std::to_string(mode.height)},
        {"framerate", std::to_string(mode.rate.numerator) + "/" + std::to_string(mode.rate.denominator)},
    };
}

} // namespace pokescope::ffmpeg
