#include "sim/SimLockdown.hpp"

#include <thread>

namespace pokescope::sim {

namespace {

// lockdown status codes as a phone gives them
constexpr int kInvalidHostID = -21;
constexpr int kNoSession = -17;
constexpr int kNotConnected = -5;
constexpr int kServiceProhibited = -16; // a service the phone will not start
constexpr int kAfcReadError = 4;        // a file read that broke off

// Where the phone's relay goes when the computer closes it.
class SimRelay final : public LogRelay {
public:
    SimRelay(std::shared_ptr<SimPhone> phone, int id) : phone_(std::move(phone)), id_(id) {}
    ~SimRelay() override { phone_->records().closeRelay(id_); }

private:
    std::shared_ptr<SimPhone> phone_;
    int id_;
};

// Every answer takes the records' service delay; a phone unplugged meanwhile gives none.
void answerLater(SimPhone& phone, const char* service) {
    std::this_thread::sleep_for(phone.records().serviceDelay());
    if (!phone.pluggedIn())
        throw LockdownServiceError(service, kNotConnected, "the iPhone went away");
}

class SimFolder final : public CrashReportFolder {
public:
    explicit SimFolder(std::shared_ptr<SimPhone> phone) : phone_(std::move(phone)) {}
    std::vector<PhoneFile> list() override {
        answerLater(*phone_, LockdownServices::kCrashReportCopy);
        return phone_->records().reports();
    }
    std::string read(const std::string& name, std::uint64_t limit) override {
        answerLater(*phone_, LockdownServices::kCrashReportCopy);
        auto contents = phone_->records().report(name);
        if (!contents || contents->size() > limit)
            throw LockdownServiceError(LockdownServices::kCrashReportCopy, kAfcReadError, name + " could not be read whole");
        return *contents;
    }

private:
    std::shared_ptr<SimPhone> phone_;
};

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

    std::vector<InstalledApp> installedApps(bool includeSystem) override {
        startService(LockdownServices::kInstallationProxy);
        answerLater(*phone_, LockdownServices::kInstallationProxy);
        return phone_->records().apps(includeSystem);
    }
    std::unique_ptr<LogRelay> startLogRelay(std::function<void(std::string_view)> onBytes,
                                            std::function<void(const std::string&)> onEnd) override {
        startService(LockdownServices::kSyslogRelay);
        auto id = phone_->records().openRelay(std::move(onBytes), std::move(onEnd));
        if (!id)
            throw LockdownServiceError(LockdownServices::kSyslogRelay, kServiceProhibited, "the iPhone would not start it");
        return std::make_unique<SimRelay>(phone_, *id);
    }
    std::unique_ptr<CrashReportFolder> openCrashReports() override {
        startService(LockdownServices::kCrashReportMover);
        startService(LockdownServices::kCrashReportCopy);
        return std::make_unique<SimFolder>(phone_);
    }

private:
    // A service starts only inside a session, on a phone still plugged in.
    void startService(const char* name) {
        if (!phone_->pluggedIn())
            throw LockdownServiceError(name, kNotConnected, "the iPhone went away");
        if (!session_)
            throw LockdownServiceError(name, kNoSession, "the iPhone would not start it");
    }

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
