// The phone's lockdown service over USB: device attach and detach events, values read and written by
// domain and key, trust (pairing) and sessions. device/MobileDevice holds the logic; a backend offers
// the operations one at a time.
//
// Inside a session a connection also reaches the services a phone offers any computer it trusts: the
// installed apps, the system log as it streams, and the crash reports.
//
// Backends: linux/IMobileDeviceLockdown and linux/IMobileDeviceServices (libimobiledevice and usbmuxd),
// sim/SimLockdown.
//
// Thread contract: events arrive on the backend's own thread. Connections are used from one thread at a
// time (MobileDevice's serial queue). A log relay and a crash-report folder live on without the connection
// that opened them; a relay calls back on a thread of its own.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope {

// A property-list value as JSON: strings, booleans, integers, reals, arrays and dictionaries map onto
// their JSON kinds; data becomes {"$data": "<base64>"} and dates {"$date": "<ISO 8601>"}.
using LockdownValue = nlohmann::json;

// The lockdown names of the services the connection starts.
namespace LockdownServices {
inline constexpr const char* kInstallationProxy = "com.apple.mobile.installation_proxy";
inline constexpr const char* kSyslogRelay = "com.apple.syslog_relay";
inline constexpr const char* kCrashReportMover = "com.apple.crashreportmover";
inline constexpr const char* kCrashReportCopy = "com.apple.crashreportcopymobile";
} // namespace LockdownServices

// A phone service that would not start or that broke off: `service` names it, `status` is the phone's or the
// library's code, and `what()` says what happened, for the log.
class LockdownServiceError : public std::runtime_error {
public:
    LockdownServiceError(std::string service, int status, const std::string& what)
        : std::runtime_error(service + ": " + what + " (status " + std::to_string(status) + ")"),
          service_(std::move(service)), status_(status) {}
    const std::string& service() const { return service_; }
    int status() const { return status_; }

private:
    std::string service_;
    int status_;
};

// An app as the installation service lists it.
struct InstalledApp {
    std::string bundleId;
    std::string name;    // the display name, else the bundle name, else the identifier
    std::string version; // the short version string; empty when the app gives none
    bool system = false; // came with iOS rather than from the App Store
    bool operator==(const InstalledApp&) const = default;
};

// A file in the phone's crash-report folder.
struct PhoneFile {
    std::string name; // below the folder, without a leading slash
    std::uint64_t size = 0;
    std::chrono::system_clock::time_point modified;
};

// The phone's system log as it streams. Closing it stops the stream: once the destructor returns, the
// relay's callbacks are never entered again.
class LogRelay {
public:
    virtual ~LogRelay() = default;
};

// The phone's crash reports, after it has moved the new ones where this computer may copy them from.
class CrashReportFolder {
public:
    virtual ~CrashReportFolder() = default;
    // Every report file, subfolders left out. Throws LockdownServiceError.
    virtual std::vector<PhoneFile> list() = 0;
    // The whole file, at most `limit` bytes; throws LockdownServiceError when the read breaks off or the
    // file is larger.
    virtual std::string read(const std::string& name, std::uint64_t limit) = 0;
};

// A connection to one attached phone (the equivalent of connecting to its lockdown service). Closing
// the object disconnects.
class LockdownConnection {
public:
    virtual ~LockdownConnection() = default;
    // A pairing record for this phone exists on this computer.
    virtual bool isPaired() = 0;
    // The phone still accepts the stored pairing: 0 when valid.
    virtual int validatePairing() = 0;
    // Starts a session with the stored pairing (never pairs by itself): 0 on success.
    virtual int startSession() = 0;
    virtual void stopSession() = 0;
    // A value, or a whole domain when `key` is none; none when the phone gives nothing.
    virtual std::optional<LockdownValue> copyValue(const std::optional<std::string>& domain,
                                                   const std::optional<std::string>& key) = 0;
    // 0 on success.
    virtual int setValue(const std::string& domain, const std::string& key, const LockdownValue& value) = 0;
    // Asks the phone to trust this computer (the phone shows its prompt); the lockdown status.
    virtual int pair() = 0;

    // The services below need a started session; each throws LockdownServiceError when the phone refuses
    // the service or the exchange breaks off.
    // The apps the user installed, and with `includeSystem` those that came with iOS.
    virtual std::vector<InstalledApp> installedApps(bool includeSystem) = 0;
    // Starts the system log relay: `onBytes` gets what the phone sends, as it comes, until the relay is
    // closed; `onEnd` hears why once when the phone stops it (not when it is closed).
    virtual std::unique_ptr<LogRelay> startLogRelay(std::function<void(std::string_view bytes)> onBytes,
                                                    std::function<void(const std::string& why)> onEnd) = 0;
    // Has the phone move its new crash reports into the folder this computer copies from, then opens it.
    virtual std::unique_ptr<CrashReportFolder> openCrashReports() = 0;
};

class LockdownBackend {
public:
    struct Event {
        enum class Kind { attached, detached };
        Kind kind;
        std::string udid;
        bool usb = true; // false for a phone reached over the network
    };

    virtual ~LockdownBackend() = default;
    // False when the lockdown client cannot be used at all on this computer.
    virtual bool available() const = 0;
    // A description for the log when it is not available.
    virtual std::string unavailableReason() const = 0;
    // A note for the log about the backend's state when it is available but cannot see phones yet (for
    // example, the USB multiplexing daemon is not running); empty when there is nothing to say.
    virtual std::string statusNote() const = 0;
    // Subscribes to attach and detach events (one subscriber); the status, 0 on success. Phones already
    // attached are reported as attach events.
    virtual int subscribe(std::function<void(const Event&)> handler) = 0;
    // Connects to an attached phone's lockdown service, without pairing; none when that fails.
    virtual std::unique_ptr<LockdownConnection> connect(const std::string& udid) = 0;

    // The backend for phones on this computer's USB.
    static std::shared_ptr<LockdownBackend> system();
};

// The printed form of a lockdown value, for diagnostics.
std::string describeLockdownValue(const LockdownValue& value);

} // namespace pokescope
