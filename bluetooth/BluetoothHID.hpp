// This computer as a Bluetooth keyboard and pointer for one phone: publishes the HID service record,
// stays discoverable while the user pairs, pages the phone when no link exists (by opening the control
// channel, which brings the link up with it), opens or accepts the two HID channels (control PSM 0x0011,
// interrupt PSM 0x0013), answers the HID control protocol, reconnects after loss, and writes input reports
// to the interrupt channel. A phone that removes this keyboard (virtual cable unplug) is not paged again
// until it connects by itself or the user chooses it again.
//
// States: off (nothing published), waiting (published, no link to the phone), connected (link up, not both
// channels), ready (both channels open: input can be sent).
//
// Threads: state changes, timers and the channel bookkeeping run on the main queue; `onStateChange` and
// the "PokescopeBluetoothStateChanged" notification come from there too. Each open channel has a reader
// thread. Every socket write runs on "pokescope.hid.write" and its caller waits. `stop` may be called from
// any thread, at any time, any number of times.
#pragma once

#include "platform/BluetoothHost.hpp"
#include "platform/Dispatch.hpp"
#include "platform/GuardedCallback.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pokescope {

class BluetoothHID {
public:
    enum class State { off, waiting, connected, ready };
    static const char* rawValue(State state);

    // `linkChanged` runs on the main queue after every change of state (after the state listener), until
    // this device goes: the composition root links other services' reactions to it.
    BluetoothHID(std::shared_ptr<BluetoothHost> host, DispatchQueue& mainQueue,
                 std::function<void()> linkChanged = nullptr, Clock& clock = Clock::system());
    ~BluetoothHID();
    BluetoothHID(const BluetoothHID&) = delete;
    BluetoothHID& operator=(const BluetoothHID&) = delete;


    void start();
    void stop();
    // Pages the phone if allowed: never when ready or after the phone removed this keyboard, at most once
    // in 5 seconds.
    void connect(const std::string& reason);
    // The user chose the phone again: a phone that removed this keyboard is paged again.
    void choosePhoneAgain();
    // The phone removed this keyboard (virtual cable unplug) and has not connected since.
    bool removedByPhone() const;
    void makeDiscoverable();

    // One report to the interrupt channel, written on the write queue while the caller waits. False when
    // nothing was written (no channel, or the write failed).
    bool write(const std::uint8_t* bytes, std::size_t count);
    bool keyboard(std::uint8_t modifiers, const std::vector<std::uint8_t>& usages);
    bool pointer(std::uint8_t buttons, int dx, int dy);

    State state() const;
    bool phoneSuspended() const;
    bool hasInterrupt() const;
    void setOnStateChange(std::function<void(State)> listener);
    void setPairingMode(bool on);
    bool pairingMode() const;
    void setPhoneAddress(std::optional<std::string> address);
    std::optional<std::string> phoneAddress() const;
    // This computer's Bluetooth name for messages to the user.
    std::string computerBluetoothName();
    DispatchQueue& writeQueue() { return writeQueue_; }

    // "AA-BB-CC-DD-EE-FF" or "aa:bb:…" as the canonical lower-case, colon-separated form.
    static std::string normalisedAddress(const std::string& address);

private:
    using Lock = std::unique_lock<std::recursive_mutex>;
    void setState(State state, Lock& lock);
    void announce(Lock& lock); // the state listener and `linkChanged` hear the state again
    void phoneReturned(Lock& lock, const char* line); // the phone connected or was chosen again
    bool matches(const std::string& peer) const;
    void scheduleTimers(unsigned long generation);
    void openChannel(std::uint16_t psm);
    bool opening(std::uint16_t psm, TimePoint now) const; // an attempt for `psm` is still on its way
    void ensureChannels(int attempt);
    void adopt(const BluetoothChannelRef& channel);
    void channelClosed(std::uint16_t psm, const BluetoothChannelRef& channel);
    void disconnectPhone(Lock& lock, const std::optional<std::string>& address);
    void startReader(const BluetoothChannelRef& channel);
    void read(const BluetoothChannelRef& channel);
    bool writeTo(const BluetoothChannelRef& channel, const std::uint8_t* bytes, std::size_t count);
    void onEvents();
    void tryPublish(Lock& lock);

    std::shared_ptr<BluetoothHost> host_;
    DispatchQueue& main_;
    std::shared_ptr<GuardedCallback<>> linkChanged_;
    Clock& clock_;
    DispatchQueue writeQueue_{"pokescope.hid.write"};

    mutable std::recursive_mutex mutex_;
    State state_ = State::off;
    std::function<void(State)> onStateChange_;
    bool pairingMode_ = false;
    std::optional<std::string> phoneAddress_;
    bool published_ = false;
    bool wanted_ = false;          // a start is wanted (no stop since)
    bool publishFailed_ = false;   // said once per failure streak
    bool classFailed_ = false;
    BluetoothChannelRef control_;
    BluetoothChannelRef interrupt_;
    unsigned long generation_ = 0; // timers and delayed work of an earlier start end themselves
    std::optional<TimePoint> lastConnectAttempt_;
    bool removedByPhone_ = false;
    std::map<std::uint16_t, TimePoint> pendingOpen_;
    std::atomic<bool> phoneSuspended_{false};
    std::uint8_t protocol_ = 1; // as the phone set it (1 report, 0 boot); the control channel's reader only
    std::vector<std::thread> readers_;
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
};

} // namespace pokescope
