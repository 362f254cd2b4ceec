// The simulated iPhone over Bluetooth: this computer's host as the HID device logic sees it, with the
// phone at the far end of every channel (connected SOCK_SEQPACKET pairs). The phone pages back, accepts
// channels, answers like a phone, and reads our reports with its own HID host.
#pragma once

#include "platform/BluetoothHost.hpp"
#include "platform/Dispatch.hpp"
#include "sim/SimHidHost.hpp"
#include "sim/SimPhone.hpp"

#include <memory>
#include <mutex>

namespace pokescope::sim {

struct SimBluetoothOptions {
    std::string computerName = "pokescope-sim";
    bool bonded = true;        // the phone has paired with this computer before
    bool adapterPresent = true;
};

class SimBluetooth final : public BluetoothHost {
public:
    SimBluetooth(std::shared_ptr<SimPhone> phone, SimBluetoothOptions options = {});
    ~SimBluetooth() override;

    void setEvents(Events events) override;
    bool publish(const SdpRecord& record, std::string& error) override;
    void withdraw() override;
    bool setClassOfDevice(std::uint32_t classOfDevice, double seconds, std::string& error) override;
    std::string controllerName() override;
    void makeDiscoverable() override;
    bool discoverable() override;
    void setPairingPeer(std::optional<std::string> address) override;
    bool canSeeConnections() override { return true; }
    bool knowsPeer(const std::string& address) override;
    void disconnectPeer(const std::string& address) override;
    void openChannel(const std::string& address, std::uint16_t psm) override;

    // --- the phone's side, for tests ---------------------------------------------------------------
    // The phone's HID host; null until the record is published.
    SimHidHost* hidHost();
    std::string phoneAddress() const;
    // The user taps this computer in the phone's Bluetooth settings: pairs (when this computer is
    // discoverable and accepts the phone) and connects both channels from the phone's side.
    bool phoneConnects();
    // The radio link drops (the phone walked away).
    void dropLink();
    // Some other device nearby opens a channel to us.
    void strangerConnects(const std::string& address, std::uint16_t psm);
    void setAdapterPresent(bool present);
    std::uint32_t classOfDevice() const;

private:
    void channel(std::uint16_t psm, const std::string& peer, bool incoming);

    std::shared_ptr<SimPhone> phone_;
    SimBluetoothOptions options_;
    DispatchQueue events_{"sim.bluetooth"};
    mutable std::mutex mutex_;
    Events handlers_;
    bool published_ = false;
    bool linkUp_ = false;
    bool discoverable_ = false;
    std::uint32_t classOfDevice_ = 0;
    std::optional<std::string> pairingPeer_;
    std::unique_ptr<SimHidHost> hid_;
    std::vector<int> strangers_;
};

} // namespace pokescope::sim
