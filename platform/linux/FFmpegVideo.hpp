// Video from any libavformat input as BGRA frames: the decoded picture converted with libswscale.
#pragma once

#include "platform/Capture.hpp"
#include "platform/linux/FFmpegInput.hpp"

struct SwsContext;

namespace pokescope::ffmpeg {

// Turns decoded pictures into BGRA images, keeping its libswscale context while the source format and
// size stay the same. One converter per thread.
class FrameConverter {
public:
    FrameConverter() = default;
    ~FrameConverter();
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // The picture as a new opaque BGRA image at its own size; none when it has no size or libswscale
    // cannot convert its pixel format.
    ImageRef toBGRA(const AVFrame& frame);

private:
    struct Key {
        int width = 0, height = 0, format = -1, colorspace = -1;
        bool fullRange = false;
        bool operator==(const Key&) const = default;
    };
    SwsContext* context_ = nullptr;
    Key key_;
};

// Reads the best video stream of an input and delivers each picture as a CapturedFrame stamped with
// captureClockNow() when it was decoded.
class VideoReader {
public:
    using FrameHandler = CaptureSession::FrameHandler;
    using ErrorHandler = StreamReader::ErrorHandler;

    static std::unique_ptr<VideoReader> open(const InputSpec& spec, std::string& error);
    // See StreamReader::start and stop for the thread rules.
    void start(FrameHandler onFrame, ErrorHandler onError);
    void stop();
    int width() const { return reader_->width(); }
    int height() const { return reader_->height(); }

private:
    explicit VideoReader(std::unique_ptr<StreamReader> reader) : reader_(std::move(reader)) {}
    std::unique_ptr<StreamReader> reader_;
};

} // namespace pokescope::ffmpeg
