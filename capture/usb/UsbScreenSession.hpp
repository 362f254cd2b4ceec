// The host's side of one screen-sharing session with a phone, above the USB transfers and below the
// capture backend: it answers the phone's handshake, keeps video coming (NEED), hands video and sound
// samples on, and stops the phone's streams in order. No I/O and no threads of its own: the owner feeds it
// the bytes read from the phone's bulk IN endpoint, sends what it asks to send on the bulk OUT endpoint,
// and calls `tick` a few times a second so that a phone that stops answering ends the session instead of
// leaving it waiting.
//
// Thread contract: one owner at a time (the transport's reading thread, with `tick` and `stop` posted to
// the same serial queue). The events are called on that thread, synchronously. An event may call `stop`,
// `received` or `tick` (bytes given during an event are handled after the packet that raised it), but
// must not destroy the session.
#pragma once

#include "capture/usb/UsbPacket.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pokescope::usbscreen {

class ScreenSession {
public:
    enum class State {
        waitingForPing, // nothing heard yet
        starting,       // the handshake: audio (CWPA, AFMT), video (CVRP), clocks (CLOK, TIME)
        streaming,      // video has been asked for; FEED and EAT! arrive
        stopping,       // HPA0 and HPD0 sent; waiting for the phone's STOP and its released clocks
        ended,
    };

    struct Events {
        // Bytes for the phone's bulk OUT endpoint, one whole packet per call. False when they could not
        // be sent: the session then ends with the transport's reason.
        std::function<bool(const Bytes& packet)> send;
        // The video format (dimensions and H.264 parameter sets) from CVRP, and again whenever a FEED
        // carries a changed one.
        std::function<void(const FormatDescription& format)> videoFormat;
        // One video sample (an H.264 access unit) in the order the phone sent them.
        std::function<void(const SampleBuffer& sample)> video;
        // The sound format from AFMT, then each sound sample.
        std::function<void(const AudioStreamDescription& format)> audioFormat;
        std::function<void(const SampleBuffer& sample)> audio;
        // Once, when the session is over: `reason` is a plain sentence ("the iPhone stopped screen sharing",
        // "the iPhone did not answer: …", "the iPhone sent a damaged packet: …"); `orderly` when it ended
        // because `stop` was asked for and the phone confirmed.
        std::function<void(const std::string& reason, bool orderly)> ended;
        // One line per notable event, without a tag (the owner adds "screen: ").
        std::function<void(const std::string& line)> log;
    };

    struct Timeouts {
        std::int64_t pingNanoseconds = 5'000'000'000;       // from the first tick to the phone's PING
        std::int64_t handshakeNanoseconds = 10'000'000'000; // from PING to the video format (CVRP)
        std::int64_t stopNanoseconds = 3'000'000'000;       // from `stop` to the phone's STOP
    };

    // `now` is a monotonic clock in nanoseconds; it also gives the times our clocks report (TIME).
    ScreenSession(Events events, std::function<std::int64_t()> now, Timeouts timeouts);
    // With the default time-outs (a default argument cannot use Timeouts' initialisers inside this class).
    ScreenSession(Events events, std::function<std::int64_t()> now);
    ~ScreenSession();
    // The events and the owner's transport refer to one session for its whole life.
    ScreenSession(const ScreenSession&) = delete;
    ScreenSession& operator=(const ScreenSession&) = delete;

    // Bytes read from the bulk IN endpoint, in any chunking. A malformed packet ends the session; one of a
    // kind we do not know is logged and skipped.
    void received(ByteView bytes);
    // Checks the deadlines; call every 100-500 ms.
    void tick();
    // Asks the phone to stop its sound and video (HPA0, HPD0); the session ends when the phone has
    // answered with STOP (orderly) or after the stop time-out. Before video has started there is no STOP
    // to wait for: the session ends at once (orderly), after HPA0 and HPD0 when the handshake had already
    // switched the streams on. Harmless when already stopping or ended.
    void stop();

    State state() const { return state_; }
    // The clocks of the handshake, for tests and log lines: the phone's audio and video clocks, and ours.
    std::optional<ClockRef> deviceAudioClock() const { return deviceAudioClock_; }
    std::optional<ClockRef> deviceVideoClock() const { return deviceVideoClock_; }
    std::optional<ClockRef> hostAudioClock() const { return hostAudioClock_; }
    std::optional<ClockRef> hostVideoClock() const { return hostVideoClock_; }
    // Video samples received so far.
    std::uint64_t videoSamples() const { return videoSamples_; }

private:
    Events events_;
    std::function<std::int64_t()> now_;
    Timeouts timeouts_;
    State state_ = State::waitingForPing;
    std::optional<ClockRef> deviceAudioClock_, deviceVideoClock_, hostAudioClock_, hostVideoClock_;
    std::uint64_t videoSamples_ = 0;
    // The rest is the implementation's (splitter, deadlines, our clocks and their start times).
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pokescope::usbscreen
