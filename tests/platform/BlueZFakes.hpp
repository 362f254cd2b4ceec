// Stand-ins for what the BlueZ backend talks to: a private bus, a bluetoothd that records what it is asked,
// L2CAP sockets made of socket pairs, and a log of the host's events.
#pragma once

#include "platform/BluetoothHost.hpp"
#include "platform/linux/BlueZBus.hpp"
#include "platform/linux/BlueZL2cap.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace pokescope::test {

// A dbus-daemon of our own (a session bus, on which this user may own any name), gone with the object.
class PrivateBus {
public:
    PrivateBus() {
        auto line = daemon_.waitForLine("unix:", std::chrono::seconds(10));
        if (!line)
            throw std::runtime_error("dbus-daemon did not start: " + daemon_.errors());
        address_ = line->substr(0, line->find_first_of("\r\n"));
    }
    const std::string& address() const { return address_; }

private:
    TempFolder folder_;
    Child daemon_{{"/usr/bin/dbus-daemon", "--session", "--address=unix:path=" + (folder_.path() / "bus").string(),
                   "--print-address", "--nofork"}};
    std::string address_;
};

struct FakeAdapterState {
    std::string name = "pokescope-test", alias = "Workbench";
    std::uint32_t cls = 0x0c010c;
    bool powered = true, discoverable = false, pairable = false;
    std::uint32_t discoverableTimeout = 180, pairableTimeout = 60;
};

struct FakeCall {
    std::string sender, method, arguments;
    std::map<std::string, sdbus::Variant> options;
};

// bluetoothd as the backend sees it over the bus.
class FakeBluez {
public:
    static constexpr const char* kPhone = "a4:c3:f0:85:1d:2e";
    static constexpr const char* kPhonePath = "/org/bluez/hci0/dev_A4_C3_F0_85_1D_2E";

    explicit FakeBluez(const std::string& busAddress, bool withAdapter = true, bool powered = true)
        : connection_(sdbus::createSessionBusConnectionWithAddress(busAddress)) {
        connection_->requestName(bluez::kService);
        connection_->addObjectManager("/", sdbus::floating_slot);
        adapterState_.powered = powered;
        exportManagers();
        if (withAdapter) {
            adapter_ = exportAdapter("/org/bluez/hci0");
            device_ = exportDevice();
        }
        connection_->enterEventLoopAsync();
    }

    ~FakeBluez() { connection_->leaveEventLoop(); } // then the objects go, in reverse order

    std::vector<FakeCall> calls(const std::string& method) const {
        std::lock_guard lock(mutex_);
        std::vector<FakeCall> out;
        for (const auto& call : calls_)
            if (call.method == method)
                out.push_back(call);
        return out;
    }
    FakeAdapterState adapter() const { std::lock_guard lock(mutex_); return adapterState_; }
    void setClass(std::uint32_t cls) { std::lock_guard lock(mutex_); adapterState_.cls = cls; }
    // Changes the phone's "Connected" or "Paired", or the adapter's "Powered", and says so on the bus.
    void set(const std::string& property, bool value) {
        {
            std::lock_guard lock(mutex_);
            (property == "Connected" ? connected_ : property == "Paired" ? paired_ : adapterState_.powered) = value;
        }
        if (property == "Powered")
            adapter_->emitPropertiesChangedSignal(bluez::kAdapter, {property});
        else
            device_->emitPropertiesChangedSignal(bluez::kDevice, {property});
    }
    void addAdapter(const std::string& path) {
        extra_.push_back(exportAdapter(path));
        extra_.back()->emitInterfacesAddedSignal({bluez::kAdapter});
    }
    sdbus::IConnection& connection() { return *connection_; }

private:
    void record(const char* method, std::string arguments,
                std::map<std::string, sdbus::Variant> options = {}) {
        auto* message = managers_ ? managers_->getCurrentlyProcessedMessage() : nullptr;
        std::lock_guard lock(mutex_);
        calls_.push_back(
            {message ? message->getSender() : "", method, std::move(arguments), std::move(options)});
    }

    void exportManagers() {
        using Options = std::map<std::string, sdbus::Variant>;
        managers_ = sdbus::createObject(*connection_, "/org/bluez");
        managers_->registerMethod("RegisterProfile")
            .onInterface(bluez::kProfileManager)
            .implementedAs([this](const sdbus::ObjectPath& path, const std::string& uuid, const Options& options) {
                record("RegisterProfile", path + " " + uuid, options);
                std::lock_guard lock(mutex_);
                if (profile_)
                    throw sdbus::Error("org.bluez.Error.AlreadyExists", "Already Exists");
                profile_ = path;
            });
        managers_->registerMethod("UnregisterProfile")
            .onInterface(bluez::kProfileManager)
            .implementedAs([this](const sdbus::ObjectPath& path) {
                record("UnregisterProfile", path);
                std::lock_guard lock(mutex_);
                if (profile_ != path)
                    throw sdbus::Error("org.bluez.Error.DoesNotExist", "Does Not Exist");
                profile_.reset();
            });
        managers_->registerMethod("RegisterAgent")
            .onInterface(bluez::kAgentManager)
            .implementedAs([this](const sdbus::ObjectPath& path, const std::string& capability) {
                record("RegisterAgent", path + " " + capability);
            });
        // The registrator holds the name by reference: each registration is one expression.
        for (const char* method : {"RequestDefaultAgent", "UnregisterAgent"})
            managers_->registerMethod(method).onInterface(bluez::kAgentManager).implementedAs(
                [this, method](const sdbus::ObjectPath& path) { record(method, path); });
        managers_->finishRegistration();
    }

    template <class T> void property(sdbus::IObject& object, const char* name, T FakeAdapterState::*field) {
        auto getter = [this, field] { std::lock_guard lock(mutex_); return adapterState_.*field; };
        auto setter = [this, field, name](const T& value) {
            std::lock_guard lock(mutex_);
            adapterState_.*field = value;
            calls_.push_back({"", "Set", name, {}});
        };
        object.registerProperty(name).onInterface(bluez::kAdapter).withGetter(getter).withSetter(setter);
    }

    std::unique_ptr<sdbus::IObject> exportAdapter(const std::string& path) {
        auto object = sdbus::createObject(*connection_, path);
        property(*object, "Name", &FakeAdapterState::name);
        property(*object, "Alias", &FakeAdapterState::alias);
        property(*object, "Class", &FakeAdapterState::cls);
        property(*object, "Powered", &FakeAdapterState::powered);
        property(*object, "Discoverable", &FakeAdapterState::discoverable);
        property(*object, "Pairable", &FakeAdapterState::pairable);
        property(*object, "DiscoverableTimeout", &FakeAdapterState::discoverableTimeout);
        property(*object, "PairableTimeout", &FakeAdapterState::pairableTimeout);
        object->finishRegistration();
        return object;
    }

    std::unique_ptr<sdbus::IObject> exportDevice() {
        auto object = sdbus::createObject(*connection_, kPhonePath);
        object->registerProperty("Address").onInterface(bluez::kDevice).withGetter([] {
            return std::string("A4:C3:F0:85:1D:2E");
        });
        for (auto [name, field] : {std::pair{"Connected", &connected_}, std::pair{"Paired", &paired_}})
            object->registerProperty(name).onInterface(bluez::kDevice).withGetter(
                [this, field] { return std::lock_guard(mutex_), *field; });
        for (const char* method : {"Connect", "Disconnect"})
            object->registerMethod(method).onInterface(bluez::kDevice).implementedAs(
                [this, method] { std::lock_guard lock(mutex_); calls_.push_back({"", method, kPhonePath, {}}); });
        object->finishRegistration();
        return object;
    }

    std::unique_ptr<sdbus::IConnection> connection_;
    mutable std::mutex mutex_;
    std::vector<FakeCall> calls_;
    FakeAdapterState adapterState_;
    std::optional<std::string> profile_;
    bool connected_ = false, paired_ = false;
    std::unique_ptr<sdbus::IObject> managers_, adapter_, device_;
    std::vector<std::unique_ptr<sdbus::IObject>> extra_;
};

// L2CAP sockets made of connected socket pairs; the test plays the phone at the far ends.
class FakeSockets final : public bluez::L2capSockets {
public:
    struct Listener final : bluez::L2capListener {
        explicit Listener(FakeSockets& owner) : owner(owner) {}
        ~Listener() override {
            std::lock_guard lock(owner.mutex_);
            owner.accepted_ = nullptr;
            ++owner.stops;
        }
        FakeSockets& owner;
    };

    std::unique_ptr<bluez::L2capListener> listen(Accepted accepted, std::string& error) override {
        std::lock_guard lock(mutex_);
        ++listens;
        if (listenError) {
            error = bluez::l2capListenError(*listenError);
            return nullptr;
        }
        accepted_ = std::move(accepted);
        return std::make_unique<Listener>(*this);
    }

    int connect(const std::string& address, std::uint16_t psm) override {
        std::lock_guard lock(mutex_);
        connects.push_back(address + " " + std::to_string(psm));
        if (connectError)
            return -*connectError;
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
            return -errno;
        farEnds.emplace_back(fds[1]);
        return fds[0];
    }

    void cancel() override {}

    bool listening() const { std::lock_guard lock(mutex_); return static_cast<bool>(accepted_); }

    // A peer opens a channel to us; the far end of it is kept here.
    bool peerConnects(const std::string& peer, std::uint16_t psm) {
        Accepted accepted;
        { std::lock_guard lock(mutex_); accepted = accepted_; }
        int fds[2];
        if (!accepted || ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
            return false;
        { std::lock_guard lock(mutex_); farEnds.emplace_back(fds[1]); }
        accepted(fds[0], psm, peer);
        return true;
    }

    mutable std::mutex mutex_;
    int listens = 0, stops = 0;
    std::optional<int> listenError, connectError;
    std::vector<std::string> connects;
    std::vector<bluez::UniqueFd> farEnds;

private:
    Accepted accepted_;
};

// The host's events as lines ("linkUp a4:…"), and the channels it handed over.
struct EventLog {
    std::mutex mutex;
    std::vector<std::string> list;
    std::vector<BluetoothChannelRef> channelList;

    BluetoothHost::Events events() {
        BluetoothHost::Events events;
        events.channelOpened = [this](const std::string& peer, std::uint16_t psm, std::optional<int> result,
                                      bool incoming) {
            add("opened " + peer + " " + std::to_string(psm) + " " + (result ? std::to_string(*result) : "?") +
                (incoming ? " in" : " out"));
        };
        events.channelReady = [this](const std::string& peer, BluetoothChannelRef channel) {
            add("ready " + peer + " " + (channel ? std::to_string(channel->psm()) : "none"), channel);
        };
        events.linkUp = [this](const std::string& peer) { add("linkUp " + peer); };
        events.linkDown = [this](const std::string& peer) { add("linkDown " + peer); };
        events.pairingCompleted = [this](const std::string& peer) { add("paired " + peer); };
        events.adapterAvailable = [this] { add("adapterAvailable"); };
        return events;
    }
    void add(const std::string& line, BluetoothChannelRef channel = nullptr) {
        std::lock_guard lock(mutex);
        list.push_back(line);
        if (channel)
            channelList.push_back(channel);
    }
    std::vector<std::string> lines() { std::lock_guard lock(mutex); return list; }
    // Waits until `line` has come `times` times.
    bool saw(const std::string& line, long times = 1) {
        return eventually([&] { return std::ranges::count(lines(), line) >= times; });
    }
};

inline SdpRecord testRecord() {
    return {
        {0x0001, "ServiceClassIDList", SdpElement::sequence({SdpElement::uuid(0x1124)})},
        {0x0100, "ServiceName", SdpElement::string("Pokescope Keyboard & Pointer")},
        {0x0206, "HIDDescriptorList",
         SdpElement::sequence({SdpElement::sequence(
             {SdpElement::u8(0x22), SdpElement::string(std::string("\x05\x01\x09\x06\x00\xa1", 6))})})},
        {0x020e, "HIDBootDevice", SdpElement::boolean(true)},
    };
}

} // namespace pokescope::test
