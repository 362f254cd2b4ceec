// This computer's Bluetooth host on BlueZ: the HID record through ProfileManager1, adapter settings and
// device links over D-Bus, a pairing agent, and the HID channels on our own L2CAP sockets.
//
// Threads: operations run on the caller's thread and wait at most a few seconds for bluetoothd; events come
// from the D-Bus loop thread, the accept thread and the channel-attempt threads.
#pragma once

#include "platform/BluetoothHost.hpp"
#include "platform/linux/BlueZConnection.hpp"
#include "platform/linux/BlueZL2cap.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace pokescope {

struct BlueZOptions {
    // The bus bluetoothd is on: the system bus unless a test names a private one.
    std::optional<std::string> busAddress;
    // The HID channels' sockets; the kernel's unless a test stands in for them.
    std::shared_ptr<bluez::L2capSockets> sockets;
    // Sets the class of device of controller `index`; the kernel's management interface unless replaced.
    std::function<bool(std::uint16_t index, std::uint32_t classOfDevice, std::string& error)> setDeviceClass;
    std::chrono::milliseconds callTimeout{3000};
};

class BlueZHost final : public BluetoothHost {
public:
    explicit BlueZHost(BlueZOptions options = {});
    ~BlueZHost() override;
    BlueZHost(const BlueZHost&) = delete;
    BlueZHost& operator=(const BlueZHost&) = delete;

    void setEvents(Events events) override;
    bool publish(const SdpRecord& record, std::string& error) override;
    void withdraw() override;
    bool setClassOfDevice(std::uint32_t classOfDevice, double seconds, std::string& error) override;
    std::string controllerName() override;
    void makeDiscoverable() override;
    bool discoverable() override;
    void setPairingPeer(std::optional<std::string> address) override;
    bool canSeeConnections() override;
    bool knowsPeer(const std::string& address) override;
    void disconnectPeer(const std::string& address) override;
    void openChannel(const std::string& address, std::uint16_t psm) override;

private:
    using Bus = std::shared_ptr<bluez::Connection>;
    struct Adapter {
        std::string path;
        bool powered = false;
    };

    Events events() const;
    // The live connection, made anew when there is none; null with `error` when the bus can't be reached.
    Bus bus(std::string& error);
    // The live connection if there is one; never makes one.
    Bus current() const;
    bool bluezRunning(const Bus& bus, std::string& error);
    std::optional<Adapter> findAdapter(const Bus& bus, std::string& error);
    std::string adapterPath(const Bus& bus);
    bool registerProfile(const Bus& bus, std::string& error);
    void unregisterProfile(const Bus& bus);
    void updateAgent(const Bus& bus);
    void withdrawLocked();
    void reregister();
    void accepted(int fd, std::uint16_t psm, const std::string& peer);
    void deviceCall(const std::string& address, const char* method);

    // Signals from the loop thread (BlueZHostSignals.cpp).
    void onSignal(sdbus::Message& message);
    void onPropertiesChanged(sdbus::Message& message);
    void onInterfacesAdded(sdbus::Message& message);
    void onNameOwnerChanged(sdbus::Message& message);
    void deviceChanged(const std::string& address, const std::map<std::string, sdbus::Variant>& properties);

    BlueZOptions options_;
    std::shared_ptr<bluez::L2capSockets> sockets_;
    std::shared_ptr<bluez::PairingGate> gate_ = std::make_shared<bluez::PairingGate>();
    std::mutex connecting_; // one new connection at a time

    // Held across calls to bluetoothd by publish, withdraw and pairing changes; never by the loop thread.
    std::mutex operations_;
    std::string record_; // the published record's XML, empty when not published
    std::unique_ptr<bluez::L2capListener> listener_;
    bool agentRegistered_ = false;

    // Short sections only: the loop thread takes it.
    mutable std::mutex state_;
    Events events_;
    Bus bus_;
    std::string adapterPath_;
    bool bluezPresent_ = false;
    bool closing_ = false; // the host is ending: no new work may start
    std::condition_variable closingChanged_;

    bluez::Workers workers_;
};

} // namespace pokescope
