#include "platform/linux/BlueZConnection.hpp"

#include "platform/Dispatch.hpp"
#include "platform/linux/BlueZBus.hpp"

#include <map>

namespace pokescope::bluez {

namespace {

[[noreturn]] void reject(const char* what) {
    throw sdbus::Error(kRejected, std::string(what) +
                                      " refused: pairing is accepted only from the selected phone "
                                      "while pairing");
}

} // namespace

void PairingGate::set(std::optional<std::string> address) {
    std::lock_guard lock(mutex_);
    address_ = address ? std::optional(canonicalAddress(*address)) : std::nullopt;
}

std::optional<std::string> PairingGate::get() const {
    std::lock_guard lock(mutex_);
    return address_;
}

bool PairingGate::allows(const std::string& address) const {
    std::lock_guard lock(mutex_);
    return address_ && *address_ == canonicalAddress(address);
}

Connection::Connection(const std::optional<std::string>& address, std::chrono::milliseconds callTimeout,
                       std::shared_ptr<PairingGate> gate, SignalHandler onSignal)
    : connection_(address ? sdbus::createSessionBusConnectionWithAddress(*address)
                          : sdbus::createSystemBusConnection()),
      callTimeout_(callTimeout), gate_(std::move(gate)) {
    // Every call without its own timeout (property reads and writes among them) gives up after this.
    connection_->setMethodCallTimeout(callTimeout_);
    exportAgent();
    exportProfile();
    subscribe(std::move(onSignal));
    loop_ = std::thread([this] {
        setThreadName("bluez.dbus");
        try {
            connection_->enterEventLoop();
        } catch (const sdbus::Error&) {
            // The bus went away; the host makes a new connection when it next needs one.
        }
        alive_ = false;
    });
}

Connection::~Connection() {
    connection_->leaveEventLoop();
    loop_.join();
    matches_.clear();
    agent_.reset();
    profile_.reset();
}

std::unique_ptr<sdbus::IProxy> Connection::proxy(const std::string& path, const std::string& destination) {
    return sdbus::createProxy(*connection_, destination, path);
}

// Pairing needs no code from anyone at this computer: the phone's user confirms, and only the phone chosen in
// the application, while the user pairs, gets a yes.
void Connection::exportAgent() {
    agent_ = sdbus::createObject(*connection_, kAgentPath);
    auto allow = [gate = gate_](const sdbus::ObjectPath& device, const char* what) {
        auto address = addressOfDevicePath(device);
        if (!address || !gate->allows(*address))
            reject(what);
    };
    agent_->registerMethod("Release").onInterface(kAgent).implementedAs([] {});
    agent_->registerMethod("Cancel").onInterface(kAgent).implementedAs([] {});
    agent_->registerMethod("RequestPinCode")
        .onInterface(kAgent)
        .implementedAs([](const sdbus::ObjectPath&) -> std::string { reject("a PIN code request"); });
    agent_->registerMethod("RequestPasskey")
        .onInterface(kAgent)
        .implementedAs([](const sdbus::ObjectPath&) -> std::uint32_t { reject("a passkey request"); });
    agent_->registerMethod("DisplayPinCode")
        .onInterface(kAgent)
        .implementedAs(
            [allow](const sdbus::ObjectPath& device, const std::string&) { allow(device, "pairing"); });
    agent_->registerMethod("DisplayPasskey")
        .onInterface(kAgent)
        .implementedAs([allow](const sdbus::ObjectPath& device, std::uint32_t, std::uint16_t) {
            allow(device, "pairing");
        });
    agent_->registerMethod("RequestConfirmation")
        .onInterface(kAgent)
        .implementedAs([allow](const sdbus::ObjectPath& device, std::uint32_t) { allow(device, "pairing"); });
    agent_->registerMethod("RequestAuthorization")
        .onInterface(kAgent)
        .implementedAs([allow](const sdbus::ObjectPath& device) { allow(device, "pairing"); });
    agent_->registerMethod("AuthorizeService")
        .onInterface(kAgent)
        .implementedAs(
            [allow](const sdbus::ObjectPath& device, const std::string&) { allow(device, "a service"); });
    agent_->finishRegistration();
}

// The profile only carries the service record: the HID channels are our own listening sockets, so any
// connection bluetoothd hands over here is closed (the descriptor's copy ends with the call).
void Connection::exportProfile() {
    profile_ = sdbus::createObject(*connection_, kProfilePath);
    profile_->registerMethod("Release").onInterface(kProfile).implementedAs([] {});
    profile_->registerMethod("NewConnection")
        .onInterface(kProfile)
        .implementedAs(
            [](const sdbus::ObjectPath&, sdbus::UnixFd, const std::map<std::string, sdbus::Variant>&) {});
    profile_->registerMethod("RequestDisconnection")
        .onInterface(kProfile)
        .implementedAs([](const sdbus::ObjectPath&) {});
    profile_->finishRegistration();
}

void Connection::subscribe(SignalHandler onSignal) {
    auto handler = [onSignal = std::move(onSignal)](sdbus::Message& message) {
        try {
            onSignal(message);
        } catch (const sdbus::Error&) {
            // A signal that does not read as BlueZ sends it is ignored.
        }
    };
    const std::string bluez = std::string("type='signal',sender='") + kService + "',";
    matches_.push_back(connection_->addMatch(
        bluez + "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged'", handler));
    matches_.push_back(connection_->addMatch(
        bluez + "interface='org.freedesktop.DBus.ObjectManager',member='InterfacesAdded'", handler));
    matches_.push_back(connection_->addMatch("type='signal',sender='org.freedesktop.DBus',"
                                             "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                                             "arg0='org.bluez'",
                                             handler));
}

} // namespace pokescope::bluez
