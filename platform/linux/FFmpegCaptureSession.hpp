// One opened capture device: its pictures from a video reader and, on request, its sound from a second
// input (the ALSA card of the same USB device), optionally played on this computer's output.
#pragma once

#include "platform/Capture.hpp"
#include "platform/linux/AudioPlayback.hpp"
#include "platform/linux/FFmpegAudio.hpp"
#include "platform/linux/FFmpegVideo.hpp"

#include <atomic>
#include <mutex>
#include <optional>

namespace pokescope::ffmpeg {

class CaptureSessionImpl final : public CaptureSession {
public:
    // `sound` is where the device's sound is read from; none when the device has no sound input.
    CaptureSessionImpl(std::unique_ptr<VideoReader> video, std::optional<InputSpec> sound);
    ~CaptureSessionImpl() override;

    void start(FrameHandler onFrame, ErrorHandler onError) override;
    void stop() override;
    bool offersAudio() const override { return sound_.has_value(); }
    bool setAudioOutput(AudioHandler onAudio) override;
    bool hasAudioOutput() const override;
    bool setPlayback(bool on) override;
    bool hasPlayback() const override;
    std::string playbackProblem() const override;

private:
    std::shared_ptr<AudioPlayback> currentPlayback() const;

    std::unique_ptr<VideoReader> video_;
    const std::optional<InputSpec> sound_;
    mutable std::mutex audioMutex_; // serialises attaching; the audio thread never takes it
    std::unique_ptr<AudioReader> audio_;
    std::atomic<bool> audioRunning_{false};
    mutable std::mutex playbackMutex_;
    std::shared_ptr<AudioPlayback> playback_;
    std::string problem_;
};

} // namespace pokescope::ffmpeg
