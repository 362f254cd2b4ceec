// Phones on USB through libimobiledevice and the usbmuxd daemon.
//
// Events: libusbmuxd runs one monitor thread per process. When the daemon's socket is missing it waits
// for it (inotify on /var/run, else a retry every second) and connects once the daemon starts, so
// subscribing succeeds and phones appear later without any retry of ours. Losing the daemon produces a
// detach for every phone, and the thread reconnects on its own.
#include "platform/Lockdown.hpp"
#include "platform/linux/IMobileDevicePlist.hpp"
#include "platform/linux/IMobileDeviceServices.hpp"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <usbmuxd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace pokescope {

namespace {

constexpr const char* clientLabel = "pokescope";
constexpr const char* defaultSocket = "/var/run/usbmuxd";

struct ClientFree {
    void operator()(lockdownd_client_private* client) const { lockdownd_client_free(client); }
};
struct CharsFree {
    void operator()(char* chars) const { std::free(chars); }
};
// Shared with the services a session starts, which outlive the connection.
using DevicePtr = imd::SharedDevice;
using ClientPtr = std::unique_ptr<lockdownd_client_private, ClientFree>;
using CharsPtr = std::unique_ptr<char, CharsFree>;

// The daemon's socket as libusbmuxd finds it: USBMUXD_SOCKET_ADDRESS ("UNIX:/path" or host:port) first.
std::optional<std::filesystem::path> usbmuxdSocketPath() {
    const char* address = std::getenv("USBMUXD_SOCKET_ADDRESS");
    if (!address || !*address)
        return std::filesystem::path(defaultSocket);
    if (std::strncmp(address, "UNIX:", 5) == 0 && address[5] != '\0')
        return std::filesystem::path(address + 5);
    return std::nullopt; // a TCP address cannot be checked without connecting
}

// The stored pairing record for `udid`, or none when this computer never paired with the phone.
imd::PlistPtr readPairRecord(const std::string& udid) {
    char* data = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &data, &size) < 0 || !data)
        return nullptr;
    CharsPtr owned(data);
    plist_t record = nullptr;
    plist_from_memory(data, size, &record);
    return imd::PlistPtr(record);
}

class IMobileDeviceConnection final : public LockdownConnection {
public:
    IMobileDeviceConnection(std::string udid, DevicePtr device, ClientPtr client)
        : udid_(std::move(udid)), device_(std::move(device)), client_(std::move(client)) {}

    bool isPaired() override { return readPairRecord(udid_) != nullptr; }

    int validatePairing() override { return lockdownd_validate_pair(client_.get(), nullptr); }

    int startSession() override {
        imd::PlistPtr record = readPairRecord(udid_);
        if (!record)
            return LOCKDOWN_E_MISSING_PAIR_RECORD;
        plist_t hostNode = plist_dict_get_item(static_cast<plist_t>(record.get()), "HostID");
        if (!hostNode || plist_get_node_type(hostNode) != PLIST_STRING)
            return LOCKDOWN_E_INVALID_PAIR_RECORD;
        uint64_t length = 0;
        const char* host = plist_get_string_ptr(hostNode, &length);
        std::string hostID(host ? host : "", host ? length : 0);
        char* sessionID = nullptr;
        int ssl = 0;
        lockdownd_error_t status = lockdownd_start_session(client_.get(), hostID.c_str(), &sessionID, &ssl);
        CharsPtr owned(sessionID);
        if (status == LOCKDOWN_E_SUCCESS && sessionID)
            sessionID_ = sessionID;
        return status;
    }

    void stopSession() override {
        if (sessionID_.empty())
            return;
        lockdownd_stop_session(client_.get(), sessionID_.c_str());
        sessionID_.clear();
    }

    std::optional<LockdownValue> copyValue(const std::optional<std::string>& domain,
                                           const std::optional<std::string>& key) override {
        plist_t value = nullptr;
        lockdownd_error_t status = lockdownd_get_value(client_.get(), domain ? domain->c_str() : nullptr,
                                                       key ? key->c_str() : nullptr, &value);
        imd::PlistPtr owned(value);
        if (status != LOCKDOWN_E_SUCCESS || !value)
            return std::nullopt;
        return imd::lockdownValueFromPlist(value);
    }

    int setValue(const std::string& domain, const std::string& key, const LockdownValue& value) override {
        std::string error;
        imd::PlistPtr node = imd::plistFromLockdownValue(value, error);
        if (!node)
            return LOCKDOWN_E_PLIST_ERROR;
        // The request takes the value into its own dictionary and frees it.
        return lockdownd_set_value(client_.get(), domain.empty() ? nullptr : domain.c_str(), key.c_str(),
                                   static_cast<plist_t>(node.release()));
    }

    int pair() override { return lockdownd_pair(client_.get(), nullptr); }

    std::vector<InstalledApp> installedApps(bool includeSystem) override {
        return imd::installedApps(device_, client_.get(), includeSystem);
    }
    std::unique_ptr<LogRelay> startLogRelay(std::function<void(std::string_view)> onBytes,
                                            std::function<void(const std::string&)> onEnd) override {
        return imd::startLogRelay(device_, client_.get(), std::move(onBytes), std::move(onEnd));
    }
    std::unique_ptr<CrashReportFolder> openCrashReports() override {
        return imd::openCrashReports(device_, client_.get());
    }

private:
    std::string udid_;
    DevicePtr device_;
    ClientPtr client_; // declared after the device so that it is freed first
    std::string sessionID_;
};

class IMobileDeviceBackend final : public LockdownBackend {
public:
    ~IMobileDeviceBackend() override {
        // Joins libusbmuxd's monitor thread, so no callback can reach this object afterwards.
        if (subscribed_)
            idevice_event_unsubscribe();
    }

    bool available() const override { return true; }
    std::string unavailableReason() const override { return ""; }

    std::string statusNote() const override {
        auto socket = usbmuxdSocketPath();
        std::error_code ec;
        if (socket && !std::filesystem::exists(*socket, ec))
            return "usbmuxd is not running; phones on USB appear once it runs (sudo systemctl start usbmuxd)";
        return "";
    }

    int subscribe(std::function<void(const Event&)> handler) override {
        // The library keeps one subscription per process; replacing it replays the attached phones.
        if (subscribed_) {
            idevice_event_unsubscribe();
            subscribed_ = false;
        }
        {
            std::lock_guard lock(mutex_);
            handler_ = std::move(handler);
        }
        idevice_error_t status = idevice_event_subscribe(&IMobileDeviceBackend::onEvent, this);
        subscribed_ = status == IDEVICE_E_SUCCESS;
        return status;
    }

    std::unique_ptr<LockdownConnection> connect(const std::string& udid) override {
        idevice_t rawDevice = nullptr;
        if (idevice_new_with_options(&rawDevice, udid.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS)
            return nullptr;
        DevicePtr device(rawDevice, idevice_free);
        lockdownd_client_t rawClient = nullptr;
        // Never the handshaking variant: it pairs by itself and would prompt on the phone at every visit.
        if (lockdownd_client_new(device.get(), &rawClient, clientLabel) != LOCKDOWN_E_SUCCESS)
            return nullptr;
        ClientPtr client(rawClient);
        return std::make_unique<IMobileDeviceConnection>(udid, std::move(device), std::move(client));
    }

private:
    static void onEvent(const idevice_event_t* event, void* context) {
        if (!event || !event->udid)
            return;
        Event translated;
        if (event->event == IDEVICE_DEVICE_ADD)
            translated.kind = Event::Kind::attached;
        else if (event->event == IDEVICE_DEVICE_REMOVE)
            translated.kind = Event::Kind::detached;
        else
            return;
        translated.udid = event->udid;
        translated.usb = event->conn_type == CONNECTION_USBMUXD;
        auto* self = static_cast<IMobileDeviceBackend*>(context);
        std::function<void(const Event&)> handler;
        {
            std::lock_guard lock(self->mutex_);
            handler = self->handler_;
        }
        if (handler)
            handler(translated);
    }

    std::mutex mutex_;
    std::function<void(const Event&)> handler_;
    bool subscribed_ = false;
};

} // namespace

std::shared_ptr<LockdownBackend> LockdownBackend::system() {
    // libimobiledevice has one event subscription per process, so every caller shares one backend.
    static std::mutex mutex;
    static std::weak_ptr<LockdownBackend> current;
    std::lock_guard lock(mutex);
    auto backend = current.lock();
    if (!backend) {
        backend = std::make_shared<IMobileDeviceBackend>();
        current = backend;
    }
    return backend;
}

} // namespace pokescope
