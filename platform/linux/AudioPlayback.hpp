// Playing captured sound on this computer: through a PulseAudio or PipeWire server when one answers,
// else ALSA's "default" device. Writes happen on a thread of the player's own, so capture never waits
// for the speakers.
#pragma once

#include "platform/AudioPlayback.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pokescope {

// Somewhere 48 kHz stereo float sound can be written to; writes block until the output takes them.
class AudioSink {
public:
    virtual ~AudioSink() = default;
    // False when the output failed for good.
    virtual bool write(const float* samples, std::size_t frames) = 0;
};

// The sound server's sink; none with `problem` set to the server's error.
std::unique_ptr<AudioSink> openPulseSink(std::string& problem);
// ALSA's default playback device; none with `problem` set to ALSA's error.
std::unique_ptr<AudioSink> openAlsaSink(std::string& problem);

class AudioPlayback final : public AudioPlayer {
public:
    // This computer's output; none with `problem` set to one sentence saying why there is none.
    static std::unique_ptr<AudioPlayback> open(std::string& problem);

    explicit AudioPlayback(std::unique_ptr<AudioSink> sink);
    ~AudioPlayback() override;
    AudioPlayback(const AudioPlayback&) = delete;
    AudioPlayback& operator=(const AudioPlayback&) = delete;

    // Queues a buffer (48 kHz stereo); when the output falls more than half a second behind, the oldest
    // queued sound is dropped so that playback stays close to the phone.
    void play(const AudioBufferRef& buffer) override;
    // False once the output has failed.
    bool healthy() const override;

private:
    void run();
    std::unique_ptr<AudioSink> sink_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<AudioBufferRef> queue_;
    std::size_t queuedFrames_ = 0;
    bool stopping_ = false;
    bool failed_ = false;
    std::thread thread_;
};

} // namespace pokescope
