// What bluetoothd announces, turned into the host's events. Runs on the D-Bus loop thread.
#include "platform/linux/BlueZHost.hpp"

#include "platform/linux/BlueZBus.hpp"

namespace pokescope {

using namespace bluez;

namespace {

using Properties = std::map<std::string, sdbus::Variant>;

std::optional<bool> flag(const Properties& properties, const char* name) {
    auto it = properties.find(name);
    if (it == properties.end() || !it->second.containsValueOfType<bool>())
        return std::nullopt;
    return it->second.get<bool>();
}

} // namespace

void BlueZHost::onSignal(sdbus::Message& message) {
    std::string member = message.getMemberName();
    if (member == "PropertiesChanged")
        onPropertiesChanged(message);
    else if (member == "InterfacesAdded")
        onInterfacesAdded(message);
    else if (member == "NameOwnerChanged")
        onNameOwnerChanged(message);
}

void BlueZHost::onPropertiesChanged(sdbus::Message& message) {
    std::string interface;
    Properties changed;
    message >> interface >> changed;
    if (interface == kDevice) {
        if (auto address = addressOfDevicePath(message.getPath()))
            deviceChanged(*address, changed);
    } else if (interface == kAdapter && flag(changed, "Powered").value_or(false)) {
        if (auto handler = events().adapterAvailable)
            handler();
    }
}

void BlueZHost::onInterfacesAdded(sdbus::Message& message) {
    sdbus::ObjectPath path;
    std::map<std::string, Properties> interfaces;
    message >> path >> interfaces;
    if (interfaces.count(kAdapter)) {
        {
            std::lock_guard lock(state_);
            adapterPath_.clear(); // looked up again: the new adapter may be the one to use
        }
        if (auto handler = events().adapterAvailable)
            handler();
    }
    if (auto device = interfaces.find(kDevice); device != interfaces.end()) {
        auto address = addressOfDevicePath(path);
        // A device that appears unconnected has no link to lose.
        if (address && flag(device->second, "Connected") == false)
            device->second.erase("Connected");
        if (address)
            deviceChanged(*address, device->second);
    }
}

void BlueZHost::deviceChanged(const std::string& address, const Properties& properties) {
    auto handlers = events();
    if (auto connected = flag(properties, "Connected")) {
        auto& handler = *connected ? handlers.linkUp : handlers.linkDown;
        if (handler)
            handler(address);
    }
    // Only the pairing the user is doing counts; bonds others make through the desktop are not ours.
    if (flag(properties, "Paired").value_or(false) && gate_->allows(address) && handlers.pairingCompleted)
        handlers.pairingCompleted(address);
}

// bluetoothd came or went. When it comes back everything registered with the old one is gone.
void BlueZHost::onNameOwnerChanged(sdbus::Message& message) {
    std::string name, oldOwner, newOwner;
    message >> name >> oldOwner >> newOwner;
    if (name != kService)
        return;
    std::lock_guard lock(state_);
    bluezPresent_ = !newOwner.empty();
    adapterPath_.clear();
    if (bluezPresent_ && !closing_)
        workers_.run([this] { reregister(); });
}

} // namespace pokescope
