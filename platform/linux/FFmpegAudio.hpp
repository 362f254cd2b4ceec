// Sound from any libavformat input as 48 kHz stereo float buffers, resampled with libswresample.
#pragma once

#include "platform/Capture.hpp"
#include "platform/linux/FFmpegInput.hpp"

struct SwrContext;

namespace pokescope::ffmpeg {

// Turns decoded sound of any rate, sample format and channel count into 48 kHz stereo float, keeping
// its libswresample context while the source stays the same. Mono is copied to both channels at full
// level. One resampler per thread.
class Resampler {
public:
    static constexpr int outputRate = 48000;
    static constexpr int outputChannels = 2;

    Resampler() = default;
    ~Resampler();
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // The samples of `frame`, whose last one arrived at `arrival`; none while the resampler still holds
    // them back or when the source format cannot be converted.
    AudioBufferRef convert(const AVFrame& frame, TimePoint arrival);

private:
    struct Key {
        int rate = 0, format = -1, channels = 0;
        unsigned long long mask = 0;
        bool operator==(const Key&) const = default;
    };
    bool configure(const AVFrame& frame);
    SwrContext* context_ = nullptr;
    Key key_;
};

// Reads the best audio stream of an input and delivers it as AudioBuffers.
class AudioReader {
public:
    using AudioHandler = CaptureSession::AudioHandler;
    using ErrorHandler = StreamReader::ErrorHandler;

    static std::unique_ptr<AudioReader> open(const InputSpec& spec, std::string& error);
    // See StreamReader::start and stop for the thread rules.
    void start(AudioHandler onAudio, ErrorHandler onError);
    void stop();

private:
    explicit AudioReader(std::unique_ptr<StreamReader> reader) : reader_(std::move(reader)) {}
    std::unique_ptr<StreamReader> reader_;
};

} // namespace pokescope::ffmpeg
