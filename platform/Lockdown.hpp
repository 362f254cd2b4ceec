// The phone's lockdown service over USB: device attach and detach events, values read and written by
// domain and key, trust (pairing) and sessions. device/MobileDevice holds the logic; a backend offers
// the operations one at a time.
//
// Backends: linux/IMobileDeviceLockdown (libimobiledevice and usbmuxd), sim/SimLockdown.
//
// Thread contract: events arrive on the backend's own thread. Connections are used from one thread at a
// time (MobileDevice's serial queue).
#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pokescope {

// A property-list value as JSON: strings, booleans, integers, reals, arrays and dictionaries map onto
// their JSON kinds; data becomes {"$data": "<base64>"} and dates {"$date": "<ISO 8601>"}.
using LockdownValue = nlohmann::json;

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
