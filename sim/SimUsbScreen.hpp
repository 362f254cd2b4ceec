// The simulated iPhone's USB screen-sharing interface: the device's side of the phone's USB screen-sharing
// protocol, spoken over a connected socket pair in place of the two bulk endpoints. The link's end is what
// the host reads and writes; the far end is served by the device's own thread, which:
//   1. sends PING and waits for the host's;
//   2. sends SYNC CWPA with its audio clock and waits for the reply (the host's audio clock) and for ASYN
//      HPD1 and HPA1 (HPA1 naming its audio clock);
//   3. sends SYNC AFMT (48 kHz stereo 16-bit PCM) on the host's audio clock and waits for the reply;
//   4. sends SYNC CVRP with its video clock and the H.264 format (the screen's 1179 × 2556, the parameter
//      sets of its encoder) and waits for the reply (the host's video clock);
//   5. sends ASYN SPRP twice on the host's video clock (ObeyEmptyMediaMarkers true, RenderEmptyMedia false),
//      SYNC CLOK on it, then SYNC TIME twice on the clock that CLOK's reply names, each after the last
//      reply;
//   6. streams: every changed picture of the screen as ASYN FEED on the host's video clock, one per ASYN
//      NEED the host sent (credit counted from the CVRP reply on); a picture that changes while there is
//      no credit replaces the one waiting, so the latest goes out at the next NEED, never a backlog. The
//      first FEED is an IDR and carries the format; a FEED's time is the picture's capture-clock time in
//      nanoseconds. The phone's sound goes out as ASYN EAT! on the host's audio clock, 16-bit stereo, each
//      buffer starting at the 48 kHz sample where the last one ended;
//   7. on ASYN HPA0 and HPD0 stops sound and video, sends SYNC STOP for the host's video clock, waits for
//      the reply, sends ASYN RELS for the host's video clock and for the CLOK clock, and closes its end:
//      the link reports "the iPhone ended screen sharing".
// Each packet goes out in pieces of varying size, and several may arrive in one read, as USB transfers
// do. A host that breaks the protocol (a packet it cannot parse, a reply to nothing asked, a wrong clock)
// ends the session with a reason that says what it did. Unplugging the phone closes the link with
// `deviceGone`.
//
// While it streams, a link takes the phone's frame and sound sinks (the phone has one of each), so a
// SimCapture session of the same phone gets nothing meanwhile. A host has one link open at a time.
//
// Thread contract: as platform/UsbScreen.hpp. The device thread never calls the link's callbacks.
#pragma once

#include "platform/UsbScreen.hpp"
#include "sim/SimPhone.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace pokescope::sim {

// Ways the simulated device misbehaves; all off is the ideal device.
struct SimUsbFaults {
    // Says nothing at all: no PING, no answer (it still reads what the host sends).
    bool neverAnswers = false;
    // After this many FEEDs the device stops on its own: SYNC STOP for the host's video clock, then RELS
    // for both clocks once answered, then it closes ("the iPhone stopped screen sharing").
    std::optional<int> stopAfterFeeds;
    // After this many FEEDs the device sends one damaged packet (a FEED whose sample buffer claims more
    // bytes than the packet holds) and then falls silent, reading until the host closes.
    std::optional<int> malformedAfterFeeds;
    // Sends every changed picture whether or not the host asked for it (still at most one waiting).
    bool ignoreNeed = false;
};

class SimUsbScreenHost final : public UsbScreenHost {
public:
    explicit SimUsbScreenHost(std::shared_ptr<SimPhone> phone, SimUsbFaults faults = {});
    // Links that are still open keep working; only the plug events stop.
    ~SimUsbScreenHost() override;
    SimUsbScreenHost(const SimUsbScreenHost&) = delete;
    SimUsbScreenHost& operator=(const SimUsbScreenHost&) = delete;

    // The phone while it is plugged in (not when it hangs on an HDMI adapter): its UDID and name.
    std::vector<UsbScreenDevice> devices() override;
    void setDeviceEvents(DeviceEventHandler handler) override;
    // A link to the phone's device side, whose thread starts at once (its PING waits in the socket).
    // None with `error` when the phone is not plugged in, is another phone, or this host already has a
    // link open.
    std::unique_ptr<UsbScreenLink> open(const UsbScreenDevice& device, std::string& error) override;
    std::string problem() const override { return {}; }

    // Tests: the faults for links opened from now on.
    void setFaults(const SimUsbFaults& faults);

    // Benchmarks: called on the device thread as each FEED starts out to the host (its picture encoded),
    // for links opened from now on.
    using FeedObserver = std::function<void(std::chrono::steady_clock::time_point sent)>;
    void setFeedObserver(FeedObserver observer);

    // The device's clock references, fixed so that tests can check what the host sends.
    static constexpr std::uint64_t kDeviceAudioClock = 0x0000'0001'1357'3DE0;
    static constexpr std::uint64_t kDeviceVideoClock = 0x0000'0001'1353'8DA0;

private:
    std::shared_ptr<SimPhone> phone_;
    std::string plugKey_;
    mutable std::mutex mutex_;
    SimUsbFaults faults_;
    FeedObserver feedObserver_;
    // Shared with the links, which outlive the host: set while one is open.
    std::shared_ptr<std::atomic<bool>> linkOpen_;
};

} // namespace pokescope::sim
