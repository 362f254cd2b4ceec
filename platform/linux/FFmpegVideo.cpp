#include "platform/linux/FFmpegVideo.hpp"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace pokescope::ffmpeg {

namespace {

// The JPEG ("J") formats are the plain ones at full range; libswscale wants them said that way.
AVPixelFormat withoutJPEGAlias(AVPixelFormat format, bool& fullRange) {
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
        fullRange = true;
        return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P:
        fullRange = true;
        return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P:
        fullRange = true;
        return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P:
        fullRange = true;
        return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P:
        fullRange = true;
        return AV_PIX_FMT_YUV411P;
    default:
        return format;
    }
}

} // namespace

FrameConverter::~FrameConverter() {
    sws_freeContext(context_);
}

ImageRef FrameConverter::toBGRA(const AVFrame& frame) {
    if (frame.width <= 0 || frame.height <= 0 || frame.format < 0)
        return nullptr;
    Key key{frame.width, frame.height, frame.format, frame.colorspace, frame.color_range == AVCOL_RANGE_JPEG};
    if (!context_ || !(key == key_)) {
        sws_freeContext(context_);
        bool fullRange = key.fullRange;
        AVPixelFormat source = withoutJPEGAlias(static_cast<AVPixelFormat>(frame.format), fullRange);
        // libswscale's fast planar-YUV paths write up to 32 bytes past the last row unless the width is a
        // multiple of 16 (a phone's 1179 is not); accurate rounding keeps it off them.
        int flags = SWS_BILINEAR | (frame.width % 16 == 0 ? 0 : SWS_ACCURATE_RND);
        context_ = sws_getContext(frame.width, frame.height, source, frame.width, frame.height,
                                  AV_PIX_FMT_BGRA, flags, nullptr, nullptr, nullptr);
        key_ = key;
        if (!context_)
            return nullptr;
        int matrix = frame.colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
        // Only YUV sources have a matrix and a range; for RGB sources libswscale declines, which is right.
        sws_setColorspaceDetails(context_, sws_getCoefficients(matrix), fullRange ? 1 : 0,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
    }
    auto image = std::make_shared<Image>(frame.width, frame.height, Image::Format::bgra);
    std::uint8_t* planes[4] = {image->data(), nullptr, nullptr, nullptr};
    int strides[4] = {image->stride(), 0, 0, 0};
    if (sws_scale(context_, frame.data, frame.linesize, 0, frame.height, planes, strides) != frame.height)
        return nullptr;
    return image;
}

std::unique_ptr<VideoReader> VideoReader::open(const InputSpec& spec, std::string& error) {
    auto reader = StreamReader::open(spec, MediaKind::video, error);
    if (!reader)
        return nullptr;
    return std::unique_ptr<VideoReader>(new VideoReader(std::move(reader)));
}

void VideoReader::start(FrameHandler onFrame, ErrorHandler onError) {
    auto converter = std::make_shared<FrameConverter>();
    reader_->start(
        "pokescope.video",
        [converter, onFrame = std::move(onFrame)](const AVFrame& frame) {
            TimePoint decoded = captureClockNow(); // before the conversion, which takes a while
            if (ImageRef image = converter->toBGRA(frame))
                onFrame(CapturedFrame{std::move(image), decoded});
        },
        std::move(onError));
}

void VideoReader::stop() {
    reader_->stop();
}

} // namespace pokescope::ffmpeg
