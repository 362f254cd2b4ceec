// The picture modes a V4L2 capture node offers and the one capture opens it in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pokescope::ffmpeg {

enum class PixelCoding { mjpeg, yuyv };

// A frame rate as a fraction (60000/1001 for 59.94 frames per second).
struct FrameRate {
    int numerator = 0;
    int denominator = 1;
    double value() const { return denominator ? static_cast<double>(numerator) / denominator : 0; }
};

struct CaptureMode {
    PixelCoding coding = PixelCoding::mjpeg;
    int width = 0;
    int height = 0;
    std::vector<FrameRate> rates;
};

struct ChosenMode {
    PixelCoding coding;
    int width;
    int height;
    FrameRate rate;
};

// The largest mode up to 1920 × 1080 that runs at 60 or 30 frames per second (60 preferred, then
// uncompressed YUYV over MJPEG at equal size); failing that the largest mode up to that size at its
// fastest rate. None when no mode fits.
std::optional<ChosenMode> chooseCaptureMode(const std::vector<CaptureMode>& modes);

// The MJPEG and YUYV modes of the V4L2 node at `path` (VIDIOC_ENUM_FMT, _FRAMESIZES, _FRAMEINTERVALS);
// empty when it cannot be asked.
std::vector<CaptureMode> listCaptureModes(const std::string& path);

// libavdevice's v4l2 input options for a mode: input_format, video_size and framerate.
std::vector<std::pair<std::string, std::string>> v4l2Options(const ChosenMode& mode);

} // namespace pokescope::ffmpeg
