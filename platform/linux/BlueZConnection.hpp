// One connection to the bus bluetoothd is on: its event loop thread, the objects bluetoothd calls back
// (the HID profile and the pairing agent) and the signal subscriptions. A connection whose bus went away
// reports `alive()` false and is replaced by the host.
//
// Threads: handlers (agent methods, signals) run on the connection's loop thread and must never wait for
// anything that waits for the bus, or the loop stalls.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pokescope::bluez {

// The one address pairing is accepted from, shared by the host and its agent.
class PairingGate {
public:
    void set(std::optional<std::string> address);
    std::optional<std::string> get() const;
    bool allows(const std::string& address) const;

private:
    mutable std::mutex mutex_;
    std::optional<std::string> address_;
};

class Connection {
public:
    using SignalHandler = std::function<void(sdbus::Message&)>;

    // The system bus, or the bus at `address` (tests run a private one). Throws sdbus::Error when the bus
    // can't be reached.
    Connection(const std::optional<std::string>& address, std::chrono::milliseconds callTimeout,
               std::shared_ptr<PairingGate> gate, SignalHandler onSignal);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool alive() const { return alive_.load(); }
    std::unique_ptr<sdbus::IProxy> proxy(const std::string& path, const std::string& destination);
    std::chrono::milliseconds callTimeout() const { return callTimeout_; }

private:
    void exportAgent();
    void exportProfile();
    void subscribe(SignalHandler onSignal);

    std::unique_ptr<sdbus::IConnection> connection_;
    std::chrono::milliseconds callTimeout_;
    std::shared_ptr<PairingGate> gate_;
    std::unique_ptr<sdbus::IObject> agent_;
    std::unique_ptr<sdbus::IObject> profile_;
    std::vector<sdbus::Slot> matches_;
    std::atomic<bool> alive_{true};
    std::thread loop_;
};

} // namespace pokescope::bluez
