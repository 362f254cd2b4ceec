// Playing the phone's sound on this computer's speakers.
//
// Backend: linux/AudioPlayback (a PulseAudio or PipeWire server, else ALSA).
//
// Thread contract: every member may be called from any thread; `play` never waits for the speakers.
#pragma once

#include "platform/Capture.hpp"

#include <memory>
#include <mutex>
#include <string>

namespace pokescope {

// An open output that takes 48 kHz stereo buffers.
class AudioPlayer {
public:
    virtual ~AudioPlayer() = default;
    // Queues a buffer; a player that falls behind drops the oldest sound so that it stays close to the phone.
    virtual void play(const AudioBufferRef& buffer) = 0;
    // False once the output has failed.
    virtual bool healthy() const = 0;

    // This computer's output; none with `problem` set to one sentence saying why there is none.
    static std::unique_ptr<AudioPlayer> system(std::string& problem);
};

// A capture session's switch for playing its sound on this computer: turning it on opens the output (or
// keeps the sentence saying why there is none), turning it off closes it.
class PlaybackSwitch {
public:
    // Whether the switch is now where it was asked to be (turning off always is).
    bool set(bool on);
    bool on() const;
    // Why the output could not be opened the last time it was asked for.
    std::string problem() const;
    // Plays the buffer while on; nothing while off.
    void play(const AudioBufferRef& buffer);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<AudioPlayer> playback_;
    std::string problem_;
};

} // namespace pokescope
