// The adapter's settings, the phone's baseband link and the outgoing HID channels.
#include "platform/linux/BlueZHost.hpp"

#include "platform/linux/BlueZBus.hpp"
#include "platform/linux/BlueZMgmt.hpp"

#include <cstdio>

namespace pokescope {

using namespace bluez;

namespace {

// Major and minor device class: the bits a class-of-device setting decides.
constexpr std::uint32_t kDeviceClassBits = 0x1FFC;

} // namespace

bool BlueZHost::setClassOfDevice(std::uint32_t classOfDevice, double, std::string& error) {
    auto bus = this->bus(error);
    if (!bus)
        return false;
    std::string path = adapterPath(bus);
    if (path.empty()) {
        error = "no Bluetooth adapter";
        return false;
    }
    try {
        auto current =
            bus->proxy(path, kService)->getProperty("Class").onInterface(kAdapter).get<std::uint32_t>();
        if ((current & kDeviceClassBits) == (classOfDevice & kDeviceClassBits))
            return true; // bluetoothd's configuration says so already
    } catch (const sdbus::Error&) {
        // Unknown while the adapter is off; setting it is still worth a try.
    }
    std::string why = "the adapter's index is unknown";
    auto index = adapterIndex(path);
    // The kernel keeps the class until bluetoothd sets its own again, so `seconds` needs no timer here.
    auto set = options_.setDeviceClass ? options_.setDeviceClass : bluez::setDeviceClass;
    if (index && set(static_cast<std::uint16_t>(*index), classOfDevice, why))
        return true;
    char setting[16];
    std::snprintf(setting, sizeof setting, "0x%06x", classOfDevice);
    error = why + "; put \"Class = " + setting +
            "\" in the [General] section of /etc/bluetooth/main.conf and restart bluetoothd";
    return false;
}

std::string BlueZHost::controllerName() {
    std::string error;
    auto bus = this->bus(error);
    if (!bus)
        return "";
    std::string path = adapterPath(bus);
    if (path.empty())
        return "";
    auto adapter = bus->proxy(path, kService);
    for (const char* name : {"Alias", "Name"}) {
        try {
            auto value = adapter->getProperty(name).onInterface(kAdapter).get<std::string>();
            if (!value.empty())
                return value;
        } catch (const sdbus::Error&) {
        }
    }
    return "";
}

void BlueZHost::makeDiscoverable() {
    std::string error;
    auto bus = this->bus(error);
    if (!bus)
        return;
    std::string path = adapterPath(bus);
    if (path.empty())
        return;
    auto adapter = bus->proxy(path, kService);
    auto set = [&](const char* name, const sdbus::Variant& value) {
        try {
            adapter->setProperty(name).onInterface(kAdapter).toValue(value);
        } catch (const sdbus::Error&) {
            // The discoverable check of the HID logic tries again.
        }
    };
    // No timeouts while the user pairs: bluetoothd would otherwise hide the computer after three minutes.
    set("PairableTimeout", sdbus::Variant(std::uint32_t{0}));
    set("DiscoverableTimeout", sdbus::Variant(std::uint32_t{0}));
    set("Pairable", sdbus::Variant(true));
    set("Discoverable", sdbus::Variant(true));
}

bool BlueZHost::discoverable() {
    std::string error;
    auto bus = this->bus(error);
    if (!bus)
        return false;
    std::string path = adapterPath(bus);
    if (path.empty())
        return false;
    try {
        return bus->proxy(path, kService)->getProperty("Discoverable").onInterface(kAdapter).get<bool>();
    } catch (const sdbus::Error&) {
        return false;
    }
}

// Asked again and again while the phone is away, so a bus that restarted is picked up here too.
bool BlueZHost::canSeeConnections() {
    std::string error;
    auto live = bus(error);
    std::lock_guard lock(state_);
    return live && live == bus_ && bluezPresent_;
}

bool BlueZHost::knowsPeer(const std::string& address) {
    std::string error;
    auto bus = this->bus(error);
    if (!bus)
        return false;
    std::string path = adapterPath(bus);
    if (path.empty())
        return false;
    try {
        bus->proxy(devicePath(path, address), kService)->getProperty("Address").onInterface(kDevice);
        return true;
    } catch (const sdbus::Error&) {
        return false;
    }
}

void BlueZHost::disconnectPeer(const std::string& address) {
    deviceCall(address, "Disconnect");
}

// Fire and forget: the outcome of a connection arrives as a Connected change, not as the call's answer.
void BlueZHost::deviceCall(const std::string& address, const char* method) {
    std::string error;
    auto bus = this->bus(error);
    if (!bus)
        return;
    std::string path = adapterPath(bus);
    if (path.empty())
        return;
    try {
        bus->proxy(devicePath(path, address), kService)
            ->callMethod(method)
            .onInterface(kDevice)
            .dontExpectReply();
    } catch (const sdbus::Error&) {
    }
}

void BlueZHost::openChannel(const std::string& address, std::uint16_t psm) {
    std::string peer = canonicalAddress(address);
    std::lock_guard lock(state_);
    if (closing_)
        return;
    workers_.run([this, peer, psm] {
        int fd = sockets_->connect(peer, psm);
        auto handlers = events();
        BluetoothChannelRef channel;
        if (fd >= 0)
            channel = std::make_shared<BluetoothChannel>(fd, psm, peer, false);
        if (handlers.channelOpened)
            handlers.channelOpened(peer, psm, fd >= 0 ? 0 : -fd, false);
        if (handlers.channelReady)
            handlers.channelReady(peer, channel);
    });
}

} // namespace pokescope
