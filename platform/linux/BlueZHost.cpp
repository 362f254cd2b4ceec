// Publishing the HID service: the connection to bluetoothd, the profile and agent registrations and the
// listening sockets.
#include "platform/linux/BlueZHost.hpp"

#include "platform/linux/BlueZBus.hpp"

#include <map>

namespace pokescope {

using namespace bluez;

namespace {

using Duration = std::chrono::milliseconds;
constexpr int kReregisterAttempts = 10;
constexpr Duration kReregisterSpacing{300};

using ManagedObjects =
    std::map<sdbus::ObjectPath, std::map<std::string, std::map<std::string, sdbus::Variant>>>;

template <class T>
std::optional<T> property(const std::map<std::string, sdbus::Variant>& properties, const char* name) {
    auto it = properties.find(name);
    if (it == properties.end() || !it->second.containsValueOfType<T>())
        return std::nullopt;
    return it->second.get<T>();
}

} // namespace

BlueZHost::BlueZHost(BlueZOptions options)
    : options_(std::move(options)),
      sockets_(options_.sockets ? options_.sockets : std::shared_ptr<L2capSockets>(L2capSockets::kernel())) {}

BlueZHost::~BlueZHost() {
    {
        std::lock_guard lock(state_);
        closing_ = true;
        events_ = {};
    }
    closingChanged_.notify_all();
    sockets_->cancel();
    workers_.joinAll();
    withdraw();
    Bus bus;
    {
        std::lock_guard lock(state_);
        bus = std::move(bus_);
    }
}

std::shared_ptr<BluetoothHost> BluetoothHost::system() {
    return std::make_shared<BlueZHost>();
}

void BlueZHost::setEvents(Events events) {
    std::lock_guard lock(state_);
    events_ = std::move(events);
}

BluetoothHost::Events BlueZHost::events() const {
    std::lock_guard lock(state_);
    return events_;
}

BlueZHost::Bus BlueZHost::current() const {
    std::lock_guard lock(state_);
    return bus_ && bus_->alive() ? bus_ : nullptr;
}

BlueZHost::Bus BlueZHost::bus(std::string& error) {
    std::lock_guard connecting(connecting_);
    if (auto live = current())
        return live;
    Bus fresh;
    try {
        fresh = std::make_shared<Connection>(options_.busAddress, options_.callTimeout, gate_,
                                             [this](sdbus::Message& message) { onSignal(message); });
    } catch (const sdbus::Error& e) {
        error = "the system D-Bus can't be reached: " + e.getMessage() + "; is the dbus service running?";
        return nullptr;
    }
    Bus lost;
    bool replaced;
    {
        std::lock_guard lock(state_);
        lost = std::move(bus_);
        replaced = static_cast<bool>(lost);
        bus_ = fresh;
        adapterPath_.clear();
        // A new connection has none of the old one's registrations.
        if (replaced && !closing_)
            workers_.run([this] { reregister(); });
    }
    std::string ignored;
    bluezRunning(fresh, ignored);
    return fresh;
}

bool BlueZHost::bluezRunning(const Bus& bus, std::string& error) {
    bool present = false;
    try {
        bus->proxy("/org/freedesktop/DBus", "org.freedesktop.DBus")
            ->callMethod("NameHasOwner")
            .onInterface("org.freedesktop.DBus")
            .withArguments(std::string(kService))
            .storeResultsTo(present);
    } catch (const sdbus::Error& e) {
        error = describeCallError(e.getName(), e.getMessage(), "ask the bus for the Bluetooth service");
        return false;
    }
    {
        std::lock_guard lock(state_);
        bluezPresent_ = present;
    }
    if (!present)
        error = "the Bluetooth service (bluetoothd) is not running";
    return present;
}

std::optional<BlueZHost::Adapter> BlueZHost::findAdapter(const Bus& bus, std::string& error) {
    ManagedObjects objects;
    try {
        bus->proxy("/", kService)
            ->callMethod("GetManagedObjects")
            .onInterface(kObjectManager)
            .storeResultsTo(objects);
    } catch (const sdbus::Error& e) {
        error = describeCallError(e.getName(), e.getMessage(), "ask the Bluetooth service for its adapters");
        return std::nullopt;
    }
    std::optional<Adapter> found;
    for (const auto& [path, interfaces] : objects) {
        auto adapter = interfaces.find(kAdapter);
        if (adapter == interfaces.end())
            continue;
        bool powered = property<bool>(adapter->second, "Powered").value_or(false);
        // The first adapter that is on, else the first one.
        if (!found || (powered && !found->powered))
            found = Adapter{path, powered};
    }
    if (!found)
        error = "no Bluetooth adapter";
    return found;
}

std::string BlueZHost::adapterPath(const Bus& bus) {
    {
        std::lock_guard lock(state_);
        if (!adapterPath_.empty())
            return adapterPath_;
    }
    std::string error;
    auto adapter = findAdapter(bus, error);
    if (!adapter)
        return "";
    std::lock_guard lock(state_);
    adapterPath_ = adapter->path;
    return adapterPath_;
}

bool BlueZHost::publish(const SdpRecord& record, std::string& error) {
    std::lock_guard operations(operations_);
    withdrawLocked();
    auto bus = this->bus(error);
    if (!bus || !bluezRunning(bus, error))
        return false;
    auto adapter = findAdapter(bus, error);
    if (!adapter)
        return false;
    if (!adapter->powered) {
        error = "the Bluetooth adapter is off (switch it on, for example with \"bluetoothctl power on\")";
        return false;
    }
    auto listener = sockets_->listen(
        [this](int fd, std::uint16_t psm, const std::string& peer) { accepted(fd, psm, peer); }, error);
    if (!listener)
        return false;
    record_ = sdpRecordXML(record);
    if (!registerProfile(bus, error)) {
        record_.clear();
        return false;
    }
    listener_ = std::move(listener);
    {
        std::lock_guard lock(state_);
        adapterPath_ = adapter->path;
    }
    updateAgent(bus);
    return true;
}

bool BlueZHost::registerProfile(const Bus& bus, std::string& error) {
    std::map<std::string, sdbus::Variant> options{
        {"ServiceRecord", sdbus::Variant(record_)},      {"Role", sdbus::Variant(std::string("server"))},
        {"RequireAuthentication", sdbus::Variant(true)}, {"RequireAuthorization", sdbus::Variant(false)},
        {"AutoConnect", sdbus::Variant(true)},
    };
    auto manager = bus->proxy("/org/bluez", kService);
    auto attempt = [&] {
        manager->callMethod("RegisterProfile")
            .onInterface(kProfileManager)
            .withArguments(sdbus::ObjectPath(kProfilePath), std::string(kHidUuid), options)
            .storeResultsTo();
    };
    try {
        try {
            attempt();
        } catch (const sdbus::Error& e) {
            // Ours from a registration that was never withdrawn (bluetoothd did not answer then): replace it.
            if (e.getName() != "org.bluez.Error.AlreadyExists")
                throw;
            unregisterProfile(bus);
            attempt();
        }
    } catch (const sdbus::Error& e) {
        error = describeCallError(e.getName(), e.getMessage(), "register the HID service record");
        return false;
    }
    return true;
}

void BlueZHost::unregisterProfile(const Bus& bus) {
    try {
        bus->proxy("/org/bluez", kService)
            ->callMethod("UnregisterProfile")
            .onInterface(kProfileManager)
            .withArguments(sdbus::ObjectPath(kProfilePath))
            .storeResultsTo();
    } catch (const sdbus::Error&) {
        // Gone with bluetoothd, or never there: either way nothing is registered.
    }
}

// The agent is bluetoothd's default while we are published and the user pairs a phone; outside that the
// desktop's own agent handles pairing.
void BlueZHost::updateAgent(const Bus& bus) {
    bool wanted = bus && !record_.empty() && gate_->get().has_value();
    if (!bus)
        agentRegistered_ = false;
    if (wanted == agentRegistered_)
        return;
    auto manager = bus->proxy("/org/bluez", kService);
    auto call = [&](const char* method, auto&&... arguments) {
        manager->callMethod(method).onInterface(kAgentManager).withArguments(arguments...).storeResultsTo();
    };
    try {
        if (wanted) {
            try {
                call("RegisterAgent", sdbus::ObjectPath(kAgentPath), std::string("NoInputNoOutput"));
            } catch (const sdbus::Error& e) {
                if (e.getName() != "org.bluez.Error.AlreadyExists")
                    throw;
            }
            agentRegistered_ = true;
            call("RequestDefaultAgent", sdbus::ObjectPath(kAgentPath));
        } else {
            agentRegistered_ = false;
            call("UnregisterAgent", sdbus::ObjectPath(kAgentPath));
        }
    } catch (const sdbus::Error&) {
        // Pairing then goes through whichever agent bluetoothd has; ours keeps refusing strangers if called.
    }
}

void BlueZHost::setPairingPeer(std::optional<std::string> address) {
    gate_->set(std::move(address));
    std::lock_guard operations(operations_);
    updateAgent(current());
}

void BlueZHost::withdraw() {
    std::lock_guard operations(operations_);
    withdrawLocked();
}

void BlueZHost::withdrawLocked() {
    listener_.reset();
    if (record_.empty() && !agentRegistered_)
        return;
    auto bus = current();
    if (bus && !record_.empty())
        unregisterProfile(bus);
    record_.clear();
    updateAgent(bus);
}

// bluetoothd restarted, or our bus connection was replaced: what we had registered is gone. bluetoothd
// takes its name before it serves its managers, so the first attempts may come too early.
void BlueZHost::reregister() {
    for (int attempt = 0; attempt < kReregisterAttempts; ++attempt) {
        {
            std::unique_lock lock(state_);
            if (closingChanged_.wait_for(lock, attempt ? kReregisterSpacing : Duration{},
                                         [this] { return closing_; }))
                return;
        }
        std::lock_guard operations(operations_);
        if (record_.empty())
            return;
        std::string error;
        auto bus = this->bus(error);
        if (!bus)
            return;
        agentRegistered_ = false;
        if (registerProfile(bus, error)) {
            updateAgent(bus);
            return;
        }
    }
}

void BlueZHost::accepted(int fd, std::uint16_t psm, const std::string& peer) {
    auto channel = std::make_shared<BluetoothChannel>(fd, psm, peer, true);
    auto handlers = events();
    if (handlers.channelOpened)
        handlers.channelOpened(peer, psm, std::nullopt, true);
    if (handlers.channelReady)
        handlers.channelReady(peer, channel);
}

} // namespace pokescope
