#include "sim/SimBluetooth.hpp"

#include <algorithm>
#include <sys/socket.h>
#include <unistd.h>

namespace pokescope::sim {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

SimBluetooth::SimBluetooth(std::shared_ptr<SimPhone> phone, SimBluetoothOptions options)
    : phone_(std::move(phone)), options_(std::move(options)) {}

SimBluetooth::~SimBluetooth() {
    {
        std::lock_guard lock(mutex_);
        handlers_ = {};
    }
    events_.sync([] {});
    if (hid_)
        hid_->detachAll();
    for (int fd : strangers_)
        ::close(fd);
}

std::string SimBluetooth::phoneAddress() const { return lowered(phone_->identity().bluetoothAddress); }

void SimBluetooth::setEvents(Events events) {
    std::lock_guard lock(mutex_);
    handlers_ = std::move(events);
}

bool SimBluetooth::publish(const SdpRecord& record, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!options_.adapterPresent) {
        error = "no Bluetooth adapter";
        return false;
    }
    // The phone learns the report layout from the record, as it does over SDP.
    std::string descriptorBytes;
    for (const auto& attribute : record)
        if (attribute.id == 0x0206 && !attribute.value.elements.empty() &&
            attribute.value.elements[0].elements.size() == 2)
            descriptorBytes = attribute.value.elements[0].elements[1].text;
    auto descriptor = HidDescriptor::parse(std::vector<std::uint8_t>(descriptorBytes.begin(), descriptorBytes.end()), error);
    if (!descriptor) {
        error = "the phone can't read the report descriptor: " + error;
        return false;
    }
    if (hid_)
        hid_->detachAll();
    hid_ = std::make_unique<SimHidHost>(phone_->screen(), *descriptor);
    hid_->setPointerSettings(phone_->identity().settings.pointer);
    published_ = true;
    return true;
}

void SimBluetooth::withdraw() {
    std::unique_lock lock(mutex_);
    published_ = false;
    linkUp_ = false;
    if (hid_)
        hid_->detachAll();
}

bool SimBluetooth::setClassOfDevice(std::uint32_t classOfDevice, double, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!options_.adapterPresent) {
        error = "no Bluetooth adapter";
        return false;
    }
    classOfDevice_ = classOfDevice;
    return true;
}

std::uint32_t SimBluetooth::classOfDevice() const {
    std::lock_guard lock(mutex_);
    return classOfDevice_;
}

std::string SimBluetooth::controllerName() { return options_.computerName; }

void SimBluetooth::makeDiscoverable() {
    std::lock_guard lock(mutex_);
    discoverable_ = true;
}

bool SimBluetooth::discoverable() {
    std::lock_guard lock(mutex_);
    return discoverable_;
}

void SimBluetooth::setPairingPeer(std::optional<std::string> address) {
    std::lock_guard lock(mutex_);
    pairingPeer_ = std::move(address);
}

bool SimBluetooth::knowsPeer(const std::string& address) {
    std::lock_guard lock(mutex_);
    return options_.bonded && lowered(address) == phoneAddress();
}

void SimBluetooth::disconnectPeer(const std::string& address) {
    std::unique_lock lock(mutex_);
    if (lowered(address) != phoneAddress() || !linkUp_)
        return;
    linkUp_ = false;
    auto handlers = handlers_;
    std::string peer = phoneAddress();
    if (hid_)
        hid_->detachAll();
    events_.async([handlers, peer] {
        if (handlers.linkDown)
            handlers.linkDown(peer);
    });
}

void SimBluetooth::channel(std::uint16_t psm, const std::string& peer, bool incoming) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    hid_->attach(psm, fds[1]);
    auto channel = std::make_shared<BluetoothChannel>(fds[0], psm, peer, incoming);
    auto handlers = handlers_;
    events_.async([handlers, peer, psm, incoming, channel] {
        if (handlers.channelOpened)
            handlers.channelOpened(peer, psm, 0, incoming);
        if (handlers.channelReady)
            handlers.channelReady(peer, channel);
    });
    if (psm == BluetoothHost::kControlPSM) {
        // A phone asks for report mode when the control channel comes up.
        std::vector<std::uint8_t> setProtocol{0x71};
        ::send(fds[1], setProtocol.data(), setProtocol.size(), MSG_NOSIGNAL);
    }
}

void SimBluetooth::openChannel(const std::string& address, std::uint16_t psm) {
    std::lock_guard lock(mutex_);
    std::string peer = lowered(address);
    // Only a phone that is bonded with this computer and has Bluetooth on answers; with no link yet, the
    // channel's connection pages it and the link comes up first.
    bool reachable = published_ && options_.bonded && phone_->identity().bluetoothOn() && peer == phoneAddress() && hid_;
    auto handlers = handlers_;
    if (!reachable) {
        events_.async([handlers, peer] {
            if (handlers.channelReady)
                handlers.channelReady(peer, nullptr);
        });
        return;
    }
    if (!linkUp_) {
        linkUp_ = true;
        events_.async([handlers, peer] {
            if (handlers.linkUp)
                handlers.linkUp(peer);
        });
    }
    channel(psm, peer, false);
}

SimHidHost* SimBluetooth::hidHost() {
    std::lock_guard lock(mutex_);
    return hid_.get();
}

bool SimBluetooth::phoneConnects() {
    std::lock_guard lock(mutex_);
    if (!published_ || !hid_ || !phone_->identity().bluetoothOn())
        return false;
    std::string peer = phoneAddress();
    if (!options_.bonded) {
        // Pairing needs this computer discoverable and willing to pair with this phone.
        if (!discoverable_ || pairingPeer_ != peer)
            return false;
        options_.bonded = true;
        auto handlers = handlers_;
        events_.async([handlers, peer] {
            if (handlers.pairingCompleted)
                handlers.pairingCompleted(peer);
        });
    }
    if (!linkUp_) {
        linkUp_ = true;
        auto handlers = handlers_;
        events_.async([handlers, peer] {
            if (handlers.linkUp)
                handlers.linkUp(peer);
        });
    }
    channel(BluetoothHost::kControlPSM, peer, true);
    channel(BluetoothHost::kInterruptPSM, peer, true);
    return true;
}

void SimBluetooth::dropLink() { disconnectPeer(phoneAddress()); }

void SimBluetooth::strangerConnects(const std::string& address, std::uint16_t psm) {
    std::lock_guard lock(mutex_);
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    strangers_.push_back(fds[1]);
    auto channel = std::make_shared<BluetoothChannel>(fds[0], psm, lowered(address), true);
    auto handlers = handlers_;
    events_.async([handlers, address, channel] {
        if (handlers.channelReady)
            handlers.channelReady(address, channel);
    });
}

void SimBluetooth::setAdapterPresent(bool present) {
    Events handlers;
    {
        std::lock_guard lock(mutex_);
        options_.adapterPresent = present;
        handlers = handlers_;
    }
    if (present)
        events_.async([handlers] {
            if (handlers.adapterAvailable)
                handlers.adapterAvailable();
        });
}

} // namespace pokescope::sim
