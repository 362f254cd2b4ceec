#include "device/MobileDevice.hpp"

#include "core/Log.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

namespace pokescope {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<std::string> stringValue(const std::optional<LockdownValue>& value) {
    if (value && value->is_string())
        return value->get<std::string>();
    return std::nullopt;
}

} // namespace

std::string ProductNames::name(const std::string& productType) {
    static const std::map<std::string, std::string> names{
        {"iPhone12,1", "iPhone 11"},         {"iPhone12,3", "iPhone 11 Pro"},
        {"iPhone12,5", "iPhone 11 Pro Max"}, {"iPhone12,8", "iPhone SE (2nd gen)"},
        {"iPhone13,1", "iPhone 12 mini"},    {"iPhone13,2", "iPhone 12"},
        {"iPhone13,3", "iPhone 12 Pro"},     {"iPhone13,4", "iPhone 12 Pro Max"},
        {"iPhone14,4", "iPhone 13 mini"},    {"iPhone14,5", "iPhone 13"},
        {"iPhone14,2", "iPhone 13 Pro"},     {"iPhone14,3", "iPhone 13 Pro Max"},
        {"iPhone14,6", "iPhone SE (3rd gen)"}, {"iPhone14,7", "iPhone 14"},
        {"iPhone14,8", "iPhone 14 Plus"},    {"iPhone15,2", "iPhone 14 Pro"},
        {"iPhone15,3", "iPhone 14 Pro Max"}, {"iPhone15,4", "iPhone 15"},
        {"iPhone15,5", "iPhone 15 Plus"},    {"iPhone16,1", "iPhone 15 Pro"},
        {"iPhone16,2", "iPhone 15 Pro Max"}, {"iPhone17,3", "iPhone 16"},
        {"iPhone17,4", "iPhone 16 Plus"},    {"iPhone17,1", "iPhone 16 Pro"},
        {"iPhone17,2", "iPhone 16 Pro Max"}, {"iPhone17,5", "iPhone 16e"},
        {"iPhone18,1", "iPhone 17 Pro"},     {"iPhone18,2", "iPhone 17 Pro Max"},
        {"iPhone18,3", "iPhone 17"},         {"iPhone18,4", "iPhone Air"},
    };
    if (productType.empty())
        return "iPhone";
    auto it = names.find(productType);
    return it == names.end() ? productType : it->second;
}

MobileDevice::MobileDevice(std::shared_ptr<LockdownBackend> backend, DispatchQueue& mainQueue)
    : backend_(std::move(backend)), main_(mainQueue) {
    if (!backend_->available())
        Log::shared().add("lockdown: " + backend_->unavailableReason() + " unavailable");
}

MobileDevice::~MobileDevice() {
    life_.end();
    queue_.sync([] {}); // lets queued lockdown work finish before the backend goes
}

void MobileDevice::start() {
    {
        std::lock_guard lock(mutex_);
        if (started_)
            return;
        started_ = true;
    }
    if (!backend_->available())
        return;
    int status = backend_->subscribe([this](const LockdownBackend::Event& event) { onEvent(event); });
    Log::shared().add("lockdown: subscribed (" + std::to_string(status) + ")");
    if (auto note = backend_->statusNote(); !note.empty())
        Log::shared().add("lockdown: " + note);
}

void MobileDevice::setOnChange(std::function<void(const std::vector<PhoneInfo>&)> listener) {
    std::lock_guard lock(mutex_);
    onChange_ = std::move(listener);
}

void MobileDevice::setWatcher(const std::string& key, std::function<void(const std::vector<PhoneInfo>&)> watcher) {
    std::shared_ptr<GuardedCallback<const std::vector<PhoneInfo>&>> old;
    {
        std::lock_guard lock(mutex_);
        if (auto it = watchers_.find(key); it != watchers_.end()) {
            old = it->second;
            watchers_.erase(it);
        }
        if (watcher)
            watchers_[key] = std::make_shared<GuardedCallback<const std::vector<PhoneInfo>&>>(std::move(watcher));
    }
    if (old)
        old->withdraw();
}

void MobileDevice::tell(const std::vector<PhoneInfo>& phones,
                        const std::function<void(const std::vector<PhoneInfo>&)>& listener) {
    if (listener)
        listener(phones);
    std::vector<std::shared_ptr<GuardedCallback<const std::vector<PhoneInfo>&>>> watchers;
    {
        std::lock_guard lock(mutex_);
        for (auto& [key, watcher] : watchers_)
            watchers.push_back(watcher);
    }
    for (auto& watcher : watchers)
        watcher->call(phones);
}

std::vector<PhoneInfo> MobileDevice::phones() const {
    std::lock_guard lock(mutex_);
    return phones_;
}

bool MobileDevice::attached(const std::string& udid) const {
    std::lock_guard lock(mutex_);
    return devices_.count(udid) > 0;
}

void MobileDevice::onEvent(const LockdownBackend::Event& event) {
    if (event.udid.empty())
        return;
    // A phone reached over the network (Wi-Fi sync) is ignored both ways: its detach must not remove the
    // same phone that is still on USB.
    if (!event.usb)
        return;
    if (event.kind == LockdownBackend::Event::Kind::attached) {
        {
            std::lock_guard lock(mutex_);
            devices_.insert(event.udid);
        }
        Log::shared().add("lockdown: attached " + event.udid);
        refresh(event.udid);
    } else {
        {
            std::lock_guard lock(mutex_);
            devices_.erase(event.udid);
        }
        Log::shared().add("lockdown: detached " + event.udid);
        main_.async(life_.guard([this, udid = event.udid] { remove(udid); }));
    }
}

void MobileDevice::remove(const std::string& udid) {
    std::vector<PhoneInfo> snapshot;
    std::function<void(const std::vector<PhoneInfo>&)> listener;
    {
        std::lock_guard lock(mutex_);
        std::erase_if(phones_, [&](const PhoneInfo& phone) { return phone.udid == udid; });
        snapshot = phones_;
        listener = onChange_;
    }
    tell(snapshot, listener);
}

void MobileDevice::publish(const PhoneInfo& phone) {
    std::vector<PhoneInfo> snapshot;
    std::function<void(const std::vector<PhoneInfo>&)> listener;
    {
        std::lock_guard lock(mutex_);
        // A phone unplugged while it was being read must not come back as a ghost.
        if (!devices_.count(phone.udid))
            return;
        std::erase_if(phones_, [&](const PhoneInfo& known) { return known.udid == phone.udid; });
        phones_.push_back(phone);
        snapshot = phones_;
        listener = onChange_;
    }
    tell(snapshot, listener);
}

template <class F>
auto MobileDevice::withSession(const std::string& udid, F body)
    -> std::optional<decltype(body(std::declval<LockdownConnection&>()))> {
    if (!attached(udid))
        return std::nullopt;
    auto connection = backend_->connect(udid);
    if (!connection)
        return std::nullopt;
    if (!connection->isPaired() || connection->validatePairing() != 0 || connection->startSession() != 0)
        return std::nullopt; // the connection closes as it goes
    auto result = body(*connection);
    connection->stopSession();
    return result;
}

MobileDevice::SessionProblem MobileDevice::inSession(const std::string& udid,
                                                    const std::function<void(LockdownConnection&)>& body) {
    if (!attached(udid))
        return SessionProblem::notAttached;
    auto connection = backend_->connect(udid);
    if (!connection)
        return attached(udid) ? SessionProblem::noConnection : SessionProblem::notAttached;
    if (!connection->isPaired() || connection->validatePairing() != 0 || connection->startSession() != 0)
        return attached(udid) ? SessionProblem::notTrusted : SessionProblem::notAttached;
    struct Stop {
        LockdownConnection& connection;
        ~Stop() { connection.stopSession(); }
    } stop{*connection};
    body(*connection);
    return SessionProblem::none;
}

void MobileDevice::refresh(const std::string& udid) {
    queue_.async([this, udid] { refreshNow(udid); });
}

void MobileDevice::refreshNow(const std::string& udid) {
    if (!attached(udid))
        return;
    PhoneInfo phone;
    phone.udid = udid;
    // What the phone tells without trust.
    if (auto connection = backend_->connect(udid)) {
        if (auto name = stringValue(connection->copyValue(std::nullopt, "DeviceName")))
            phone.name = *name;
        if (auto type = stringValue(connection->copyValue(std::nullopt, "ProductType")))
            phone.productType = *type;
    }
    // What needs trust.
    auto trusted = withSession(udid, [&](LockdownConnection& connection) {
        PhoneInfo read = phone;
        if (auto name = stringValue(connection.copyValue(std::nullopt, "DeviceName")))
            read.name = *name;
        if (auto type = stringValue(connection.copyValue(std::nullopt, "ProductType")))
            read.productType = *type;
        read.iosVersion = stringValue(connection.copyValue(std::nullopt, "ProductVersion")).value_or("");
        read.bluetoothAddress = lowered(stringValue(connection.copyValue(std::nullopt, "BluetoothAddress")).value_or(""));
        read.paired = true;
        return read;
    });
    if (trusted)
        phone = *trusted;
    Log::shared().add("lockdown: " + phone.name + " " + phone.productType + " iOS " + phone.iosVersion +
                      " bt=" + phone.bluetoothAddress + " trusted=" + (phone.paired ? "true" : "false"));
    main_.async(life_.guard([this, phone] { publish(phone); }));
}

void MobileDevice::requestTrust(const std::string& udid) {
    queue_.async([this, udid] {
        if (!attached(udid))
            return;
        int status;
        {
            auto connection = backend_->connect(udid);
            if (!connection)
                return;
            status = connection->pair();
        }
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
        Log::shared().add(std::string("lockdown: pair request -> ") + text);
        refreshNow(udid);
    });
}

bool MobileDevice::setAssistiveTouch(const std::string& udid, bool enabled) {
    return queue_.sync([&] {
        return withSession(udid, [&](LockdownConnection& connection) {
                   int status = connection.setValue(kAccessibilityDomain, kAssistiveTouchKey, enabled);
                   Log::shared().add(std::string("lockdown: AssistiveTouch -> ") + (enabled ? "true" : "false") + " (" +
                                     std::to_string(status) + ")");
                   return status == 0;
               })
            .value_or(false);
    });
}

std::optional<bool> MobileDevice::assistiveTouchEnabled(const std::string& udid) {
    return queue_.sync([&]() -> std::optional<bool> {
        auto value = withSession(udid, [&](LockdownConnection& connection) {
            return connection.copyValue(kAccessibilityDomain, kAssistiveTouchKey);
        });
        if (value && *value && (*value)->is_boolean())
            return (*value)->get<bool>();
        return std::nullopt;
    });
}

std::string MobileDevice::debugDomain(const std::string& udid, const std::string& domain) {
    return queue_.sync([&] {
        auto text = withSession(udid, [&](LockdownConnection& connection) -> std::string {
            auto value = connection.copyValue(domain, std::nullopt);
            return value ? describeLockdownValue(*value) : "nil";
        });
        return text.value_or("no session");
    });
}

} // namespace pokescope
