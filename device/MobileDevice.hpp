// The iPhones plugged into this computer by USB: their identity, trust, Bluetooth address and the
// AssistiveTouch switch, all read and written through the phone's lockdown service.
//
// Threads: every lockdown connection runs on the serial queue "pokescope.mobiledevice", so at most one
// is open at a time. The phone list changes and `onChange` runs on the main queue only. The synchronous
// operations (AssistiveTouch, the domain dump) block their caller and must not be called from that queue.
#pragma once

#include "platform/Dispatch.hpp"
#include "platform/GuardedCallback.hpp"
#include "platform/Lifetime.hpp"
#include "platform/Lockdown.hpp"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pokescope {

// One iPhone on USB. Identity is the UDID.
struct PhoneInfo {
    std::string udid;
    std::string name = "iPhone";
    std::string productType;
    std::string iosVersion;       // empty unless the phone trusts this computer
    std::string bluetoothAddress; // lower case; empty unless the phone trusts this computer
    bool paired = false;          // a lockdown session could be opened: the phone trusts this computer
    bool operator==(const PhoneInfo&) const = default;
};

namespace ProductNames {
// The marketing name of a model identifier; the identifier itself when unknown, "iPhone" when empty.
std::string name(const std::string& productType);
} // namespace ProductNames

class MobileDevice {
public:
    static constexpr const char* kAccessibilityDomain = "com.apple.Accessibility";
    static constexpr const char* kAssistiveTouchKey = "AssistiveTouchEnabledByiTunes";

    // `mainQueue` is where the phone list changes and `onChange` runs.
    MobileDevice(std::shared_ptr<LockdownBackend> backend, DispatchQueue& mainQueue);
    ~MobileDevice();
    MobileDevice(const MobileDevice&) = delete;
    MobileDevice& operator=(const MobileDevice&) = delete;

    // Subscribes to attach and detach events.
    void start();
    void setOnChange(std::function<void(const std::vector<PhoneInfo>&)> listener);
    // Another service that follows the phones, by key: told of every change after `onChange`, on the main
    // queue. Once a call that replaces or removes it (null) returns, the old one is never entered again.
    void setWatcher(const std::string& key, std::function<void(const std::vector<PhoneInfo>&)> watcher);
    // The phones known now, the most recently refreshed last.
    std::vector<PhoneInfo> phones() const;

    // Re-reads one attached phone and publishes it (asynchronously on the queue).
    void refresh(const std::string& udid);
    // Asks the phone to trust this computer (its prompt appears), then refreshes it.
    void requestTrust(const std::string& udid);
    // True when the phone accepted the value.
    bool setAssistiveTouch(const std::string& udid, bool enabled);
    std::optional<bool> assistiveTouchEnabled(const std::string& udid);
    // A printed dump of a whole lockdown domain, for diagnostics.
    std::string debugDomain(const std::string& udid, const std::string& domain);

    DispatchQueue& queue() { return queue_; }

    // What kept a lockdown session from opening.
    enum class SessionProblem { none, notAttached, noConnection, notTrusted };
    // Runs `body` inside a lockdown session with the phone, on the calling thread, which must be the queue.
    // Exceptions of `body` reach the caller (the session closes as they go).
    SessionProblem inSession(const std::string& udid, const std::function<void(LockdownConnection&)>& body);
    // The phone is attached over USB now.
    bool attached(const std::string& udid) const;

private:
    void onEvent(const LockdownBackend::Event& event);
    void refreshNow(const std::string& udid);
    void tell(const std::vector<PhoneInfo>& phones, const std::function<void(const std::vector<PhoneInfo>&)>& listener);
    void publish(const PhoneInfo& phone);
    void remove(const std::string& udid);
    // Runs `body` inside a lockdown session; none when no session could be opened.
    template <class F> auto withSession(const std::string& udid, F body)
        -> std::optional<decltype(body(std::declval<LockdownConnection&>()))>;

    std::shared_ptr<LockdownBackend> backend_;
    DispatchQueue& main_;
    DispatchQueue queue_{"pokescope.mobiledevice"};
    mutable std::mutex mutex_;
    std::set<std::string> devices_; // attached over USB now
    std::vector<PhoneInfo> phones_;
    std::function<void(const std::vector<PhoneInfo>&)> onChange_;
    std::map<std::string, std::shared_ptr<GuardedCallback<const std::vector<PhoneInfo>&>>> watchers_;
    bool started_ = false;
    Lifetime life_; // main-queue work for this device
};

} // namespace pokescope
