#include "sim/SimLockdown.hpp"

namespace pokescope::sim {

namespace {

// lockdown status codes as a phone gives them
constexpr int kInvalidHostID = -21;
constexpr int kNoSession = -17;
constexpr int kNotConnected = -5;

class SimConnection final : public LockdownConnection {
public:
    explicit SimConnection(std::shared_ptr<SimPhone> phone) : phone_(std::move(phone)) {}

    bool isPaired() override { return phone_->pluggedIn() && phone_->trusted(); }
    int validatePairing() override { return !phone_->pluggedIn() ? kNotConnected : phone_->trusted() ? 0 : kInvalidHostID; }
    int startSession() override {
        if (!phone_->pluggedIn())
            return kNotConnected;
        if (!phone_->trusted())
            return kInvalidHostID;
        session_ = true;
        return 0;
    }
    void stopSession() override { session_ = false; }
    std::optional<LockdownValue> copyValue(const std::optional<std::string>& domain,
                                           const std::optional<std::string>& key) override {
        // A phone unplugged in the middle of a read answers nothing more.
        if (!phone_->pluggedIn())
            return std::nullopt;
        return phone_->lockdownValue(domain, key, session_);
    }
    int setValue(const std::string& domain, const std::string& key, const LockdownValue& value) override {
        if (!phone_->pluggedIn())
            return kNotConnected;
        if (!session_)
            return kNoSession;
        return phone_->setLockdownValue(domain, key, value);
    }
    int pair() override { return phone_->pluggedIn() ? phone_->requestPairing() : kNotConnected; }

private:
    std::shared_ptr<SimPhone> phone_;
    bool session_ = false;
};

} // namespace

SimLockdown::SimLockdown(std::shared_ptr<SimPhone> phone) : phone_(std::move(phone)) {}

SimLockdown::~SimLockdown() {
    phone_->setPlugListener("lockdown", nullptr);
    events_.sync([] {});
}

int SimLockdown::subscribe(std::function<void(const Event&)> handler) {
    std::string udid = phone_->identity().udid;
    events_.sync([&] { handler_ = std::move(handler); });
    phone_->setPlugListener("lockdown", [this, udid](bool pluggedIn) {
        events_.async([this, udid, pluggedIn] {
            if (handler_)
                handler_(Event{pluggedIn ? Event::Kind::attached : Event::Kind::detached, udid, true});
        });
    });
    if (phone_->pluggedIn())
        events_.async([this, udid] {
            if (handler_)
                handler_(Event{Event::Kind::attached, udid, true});
        });
    return 0;
}

std::unique_ptr<LockdownConnection> SimLockdown::connect(const std::string& udid) {
    if (!phone_->pluggedIn() || udid != phone_->identity().udid)
        return nullptr;
    return std::make_unique<SimConnection>(phone_);
}

} // namespace pokescope::sim
