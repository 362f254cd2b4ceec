// Placeholder until the BlueZ backend lands: there is no adapter to publish on.
#include "platform/BluetoothHost.hpp"

namespace pokescope {

namespace {

class NoBluetooth final : public BluetoothHost {
public:
    void setEvents(Events) override {}
    bool publish(const SdpRecord&, std::string& error) override {
        error = "no Bluetooth backend";
        return false;
    }
    void withdraw() override {}
    bool setClassOfDevice(std::uint32_t, double, std::string& error) override {
        error = "no Bluetooth backend";
        return false;
    }
    std::string controllerName() override { return ""; }
    void makeDiscoverable() override {}
    bool discoverable() override { return false; }
    void setPairingPeer(std::optional<std::string>) override {}
    bool canSeeConnections() override { return false; }
    bool knowsPeer(const std::string&) override { return false; }
    void connectPeer(const std::string&) override {}
    void disconnectPeer(const std::string&) override {}
    void openChannel(const std::string&, std::uint16_t) override {}
};

} // namespace

std::shared_ptr<BluetoothHost> BluetoothHost::system() { return std::make_shared<NoBluetooth>(); }

} // namespace pokescope
