#include "device/PhoneRecords.hpp"

#include "core/Log.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/Paths.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <future>
#include <set>
#include <sstream>
#include <thread>

namespace pokescope {

namespace fs = std::filesystem;

namespace {

constexpr auto kCopyBudget = std::chrono::seconds(3); // of kTimeout, for copying reports
constexpr auto kDetachGrace = std::chrono::milliseconds(600);

TimePoint now() { return std::chrono::steady_clock::now(); }

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// What a service is to the person reading the sentence.
std::string serviceName(const std::string& service) {
    if (service == LockdownServices::kInstallationProxy)
        return "app list";
    if (service == LockdownServices::kSyslogRelay)
        return "system log relay";
    return "crash report service";
}

// The failure without the service's name in front, which the sentence gives already.
std::string detailOf(const LockdownServiceError& error) {
    std::string text = error.what();
    const std::string prefix = error.service() + ": ";
    return text.rfind(prefix, 0) == 0 ? text.substr(prefix.size()) : text;
}

// The process in a report's file name: what comes before "-YYYY-MM-DD-HHMMSS".
std::string processOfReport(const std::string& name) {
    auto digits = [&](std::size_t at, std::size_t count) {
        for (std::size_t i = at; i < at + count; ++i)
            if (i >= name.size() || !std::isdigit(static_cast<unsigned char>(name[i])))
                return false;
        return true;
    };
    for (std::size_t dash = name.find('-'); dash != std::string::npos; dash = name.find('-', dash + 1))
        if (dash > 0 && digits(dash + 1, 4) && name[dash + 5] == '-' && digits(dash + 6, 2) &&
            name[dash + 8] == '-' && digits(dash + 9, 2) && name[dash + 11] == '-' && digits(dash + 12, 6))
            return name.substr(0, dash);
    return fs::path(name).stem().string();
}

std::string gigabytes(std::uint64_t bytes) {
    double gb = static_cast<double>(bytes) / 1e9;
    char text[32];
    std::snprintf(text, sizeof text, gb >= 100 ? "%.0f GB" : "%.1f GB", gb);
    return text;
}

std::optional<std::int64_t> number(const std::optional<LockdownValue>& domain, const char* key) {
    if (!domain || !domain->is_object())
        return std::nullopt;
    auto it = domain->find(key);
    if (it == domain->end() || !it->is_number())
        return std::nullopt;
    return it->is_number_float() ? static_cast<std::int64_t>(it->get<double>()) : it->get<std::int64_t>();
}

std::optional<bool> flag(const std::optional<LockdownValue>& domain, const char* key) {
    if (!domain || !domain->is_object())
        return std::nullopt;
    auto it = domain->find(key);
    return it != domain->end() && it->is_boolean() ? std::optional(it->get<bool>()) : std::nullopt;
}

std::string text(LockdownConnection& connection, const char* key) {
    auto value = connection.copyValue(std::nullopt, key);
    return value && value->is_string() ? value->get<std::string>() : std::string();
}

// Battery and storage, as the phone's lockdown domains give them.
void readVitals(LockdownConnection& connection, PhoneRecords::State& state) {
    auto battery = connection.copyValue("com.apple.mobile.battery", std::nullopt);
    if (auto level = number(battery, "BatteryCurrentCapacity"))
        state.battery = static_cast<int>(*level);
    state.charging = flag(battery, "BatteryIsCharging");
    auto disk = connection.copyValue("com.apple.disk_usage", std::nullopt);
    auto total = number(disk, "TotalDiskCapacity");
    if (!total)
        total = number(disk, "TotalDataCapacity");
    auto free = number(disk, "TotalDataAvailable");
    if (!free)
        free = number(disk, "AmountDataAvailable");
    if (total && *total > 0)
        state.storageTotal = static_cast<std::uint64_t>(*total);
    if (free && *free >= 0)
        state.storageFree = static_cast<std::uint64_t>(*free);
}

} // namespace

struct PhoneRecords::Feed {
    std::shared_ptr<PhoneLog> log = std::make_shared<PhoneLog>();
    std::unique_ptr<LogRelay> relay; // on the device queue only
    std::atomic<bool> running{false};
    std::mutex mutex;
    std::optional<std::string> problem; // why the relay is not running
    bool attached = true;               // under PhoneRecords::mutex_
    TimePoint detachedAt{};

    void setProblem(std::optional<std::string> why) {
        std::lock_guard lock(mutex);
        problem = std::move(why);
    }
    std::optional<std::string> currentProblem() {
        std::lock_guard lock(mutex);
        return problem;
    }
};

PhoneRecords::PhoneRecords(MobileDevice& device, fs::path reportsFolder)
    : device_(device), folder_(reportsFolder.empty() ? Paths::appSupport() / "crash-reports" : std::move(reportsFolder)) {
    device_.setWatcher("records", [this](const std::vector<PhoneInfo>& phones) { phonesChanged(phones); });
}

PhoneRecords::~PhoneRecords() {
    device_.setWatcher("records", nullptr);
    device_.queue().sync([this] {
        std::lock_guard lock(mutex_);
        for (auto& [udid, feed] : feeds_)
            feed->relay.reset();
    });
}

fs::path PhoneRecords::folderFor(const std::string& udid) const { return folder_ / udid; }

std::shared_ptr<PhoneRecords::Feed> PhoneRecords::feed(const std::string& udid) const {
    std::lock_guard lock(mutex_);
    auto it = feeds_.find(udid);
    return it == feeds_.end() ? nullptr : it->second;
}

void PhoneRecords::phonesChanged(const std::vector<PhoneInfo>& phones) {
    std::vector<std::pair<std::string, std::shared_ptr<Feed>>> start, stop;
    {
        std::lock_guard lock(mutex_);
        std::set<std::string> trusted;
        for (const PhoneInfo& phone : phones)
            if (phone.paired)
                trusted.insert(phone.udid);
        for (const std::string& udid : trusted) {
            auto& feed = feeds_[udid];
            if (!feed)
                feed = std::make_shared<Feed>();
            feed->attached = true;
            if (!feed->running)
                start.emplace_back(udid, feed);
        }
        for (auto it = feeds_.begin(); it != feeds_.end();) {
            auto& feed = it->second;
            if (!trusted.count(it->first) && feed->attached) {
                feed->attached = false;
                feed->detachedAt = now();
                stop.emplace_back(it->first, feed);
            }
            // A phone gone for long takes its lines with it.
            if (!feed->attached && now() - feed->detachedAt > kKeepDetached && !trusted.count(it->first))
                it = feeds_.erase(it);
            else
                ++it;
        }
    }
    for (auto& [udid, feed] : start)
        device_.queue().async([this, udid = udid, feed = feed] { startRelay(feed, udid); });
    for (auto& [udid, feed] : stop)
        device_.queue().async([udid = udid, feed = feed] {
            if (feed->running.exchange(false))
                feed->log->note("Pokescope: the iPhone went away; its log goes on when it is back.", now());
            feed->relay.reset();
            feed->setProblem("The iPhone is not connected: these are the lines from before it went away. Plug it in "
                             "again to see new ones.");
        });
}

void PhoneRecords::startRelay(const std::shared_ptr<Feed>& feed, const std::string& udid) {
    if (feed->running)
        return;
    feed->relay.reset(); // one the phone stopped
    const bool again = feed->log->size() > 0;
    std::optional<std::string> failure;
    // Running before the relay starts, so that a relay the phone stops at once still says so.
    feed->running = true;
    try {
        auto problem = device_.inSession(udid, [&](LockdownConnection& connection) {
            std::weak_ptr<Feed> weak = feed;
            feed->relay = connection.startLogRelay(
                [log = feed->log](std::string_view bytes) { log->append(bytes, now()); },
                [weak, udid](const std::string& why) {
                    auto feed = weak.lock();
                    if (!feed || !feed->running.exchange(false))
                        return;
                    Log::shared().add("records: log relay of " + udid + " stopped: " + why);
                    feed->log->note("Pokescope: the iPhone's log relay stopped (" + why +
                                        "); lines until it starts again are missing.",
                                    now());
                    feed->setProblem("The iPhone's log relay stopped (" + why + "); it starts again at the next call.");
                });
        });
        if (problem == MobileDevice::SessionProblem::notTrusted)
            failure = kNotTrusted;
        else if (problem != MobileDevice::SessionProblem::none)
            failure = kNoPhone;
    } catch (const LockdownServiceError& error) {
        failure = sentenceFor(error, udid);
    }
    if (failure) {
        feed->running = false;
        Log::shared().add("records: no log relay for " + udid + ": " + *failure);
        feed->setProblem(failure);
        return;
    }
    if (!feed->running)
        return; // stopped by the phone already, which its note says
    feed->setProblem(std::nullopt);
    Log::shared().add("records: log relay of " + udid + " started");
    if (again)
        feed->log->note("Pokescope: the iPhone's log relay started again.", now());
}

std::string PhoneRecords::sentenceFor(const LockdownServiceError& error, const std::string& udid) {
    // The detach event can come a moment after the broken exchange.
    for (auto until = now() + kDetachGrace; now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(50)))
        if (!device_.attached(udid))
            return "The iPhone was unplugged during the call. Plug it in again, unlock it and try again.";
    return "The iPhone's " + serviceName(error.service()) + " (" + error.service() + ") failed: " + detailOf(error) +
           ". Unlock the iPhone and try again; if it keeps failing, unplug it and plug it in again.";
}

template <class T> T PhoneRecords::exchange(const std::string& udid, std::function<T(LockdownConnection&)> body) {
    // Shared with the work, which may finish after a caller who stopped waiting.
    auto promise = std::make_shared<std::promise<T>>();
    auto future = promise->get_future();
    device_.queue().async([this, udid, body = std::move(body), promise] {
        try {
            std::optional<T> value;
            switch (device_.inSession(udid, [&](LockdownConnection& connection) { value = body(connection); })) {
            case MobileDevice::SessionProblem::none:
                promise->set_value(std::move(*value));
                return;
            case MobileDevice::SessionProblem::notTrusted:
                throw PhoneRecordsError(kNotTrusted);
            case MobileDevice::SessionProblem::noConnection:
                throw PhoneRecordsError("The iPhone doesn't answer over USB. Unplug it, plug it in again and unlock it.");
            case MobileDevice::SessionProblem::notAttached:
                break;
            }
            throw PhoneRecordsError(kNoPhone);
        } catch (const LockdownServiceError& error) {
            promise->set_exception(std::make_exception_ptr(PhoneRecordsError(sentenceFor(error, udid))));
        } catch (...) {
            promise->set_exception(std::current_exception());
        }
    });
    if (future.wait_for(kTimeout) != std::future_status::ready)
        throw PhoneRecordsError("The iPhone didn't answer within 5 seconds. Unlock it and try again; if it keeps "
                                "happening, unplug it and plug it in again.");
    return future.get();
}

std::vector<InstalledApp> PhoneRecords::apps(const std::string& udid, bool includeSystem) {
    auto apps = exchange<std::vector<InstalledApp>>(
        udid, [includeSystem](LockdownConnection& connection) { return connection.installedApps(includeSystem); });
    std::sort(apps.begin(), apps.end(), [](const InstalledApp& a, const InstalledApp& b) {
        auto x = lowered(a.name), y = lowered(b.name);
        return x != y ? x < y : a.bundleId < b.bundleId;
    });
    return apps;
}

PhoneRecords::LogAnswer PhoneRecords::log(const std::string& udid, const PhoneLog::Query& query) {
    auto found = feed(udid);
    // A relay that is not running (stopped by the phone, or not yet started) is started now, in time.
    if (device_.attached(udid) && (!found || !found->running)) {
        if (!found) {
            std::lock_guard lock(mutex_);
            auto& made = feeds_[udid];
            if (!made)
                made = std::make_shared<Feed>();
            found = made;
        }
        auto done = std::make_shared<std::promise<void>>();
        auto waited = done->get_future();
        device_.queue().async([this, udid, feed = found, done] {
            startRelay(feed, udid);
            done->set_value();
        });
        waited.wait_for(kTimeout);
    }
    if (!found)
        throw PhoneRecordsError(kNoPhone);
    LogAnswer answer;
    answer.result = found->log->query(query, now());
    if (!found->running) {
        answer.relayProblem = found->currentProblem().value_or(kNoPhone);
        // With nothing ever logged, the reason is the answer.
        if (found->log->size() == 0)
            throw PhoneRecordsError(*answer.relayProblem);
    }
    return answer;
}

std::vector<PhoneRecords::Report> PhoneRecords::kept(const std::string& udid) const {
    std::vector<Report> reports;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folderFor(udid), error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name[0] == '.' || name.find(".tmp-") != std::string::npos ||
            !entry.is_regular_file(error))
            continue;
        Report report{name, processOfReport(name), {}, entry.file_size(error)};
        report.time = fs::file_time_type::clock::to_sys(entry.last_write_time(error));
        reports.push_back(std::move(report));
    }
    std::sort(reports.begin(), reports.end(), [](const Report& a, const Report& b) {
        return a.time != b.time ? a.time > b.time : a.name < b.name;
    });
    return reports;
}

void PhoneRecords::copyReports(LockdownConnection& connection, const std::string& udid, ReportList& list) {
    auto folder = connection.openCrashReports();
    auto files = folder->list();
    std::sort(files.begin(), files.end(), [](const PhoneFile& a, const PhoneFile& b) { return a.modified > b.modified; });
    const fs::path dir = folderFor(udid);
    std::error_code error;
    fs::create_directories(dir, error);
    const auto started = now();
    for (const PhoneFile& file : files) {
        if (file.name.empty() || file.name[0] == '.' || file.name.find('/') != std::string::npos)
            continue;
        const fs::path local = dir / file.name;
        if (fs::exists(local, error) && fs::file_size(local, error) == file.size)
            continue;
        if (list.copied >= kCopiesPerCall || now() - started > kCopyBudget) {
            ++list.waiting;
            continue;
        }
        std::string contents;
        try {
            contents = folder->read(file.name, kMaxReportBytes);
        } catch (const LockdownServiceError& failure) {
            if (!device_.attached(udid))
                throw;
            list.notKept.push_back(file.name + ": " + detailOf(failure));
            continue;
        }
        // A report the phone is still writing comes short: it is left for a later call.
        if (contents.size() != file.size) {
            list.notKept.push_back(file.name + " came in part (" + std::to_string(contents.size()) + " of " +
                                   std::to_string(file.size) + " bytes)");
            continue;
        }
        std::string problem;
        if (!writeFileAtomically(local, contents, problem)) {
            list.notKept.push_back(file.name + " could not be kept: " + problem);
            continue;
        }
        fs::last_write_time(local, fs::file_time_type::clock::from_sys(file.modified), error);
        ++list.copied;
    }
    for (const auto& why : list.notKept)
        Log::shared().add("records: crash report not kept: " + why);
}

PhoneRecords::ReportList PhoneRecords::crashReports(const std::string& udid, std::size_t limit) {
    auto copied = exchange<std::shared_ptr<ReportList>>(udid, [this, udid](LockdownConnection& connection) {
        auto list = std::make_shared<ReportList>();
        copyReports(connection, udid, *list);
        return list;
    });
    ReportList list = std::move(*copied);
    list.folder = folderFor(udid);
    list.reports = kept(udid);
    list.kept = list.reports.size();
    if (list.reports.size() > limit)
        list.reports.resize(limit);
    return list;
}

std::pair<std::string, fs::path> PhoneRecords::crashReport(const std::optional<std::string>& udid,
                                                           const std::string& name) {
    auto find = [&]() -> std::optional<fs::path> {
        std::error_code error;
        if (udid) {
            fs::path file = folderFor(*udid) / name;
            return fs::is_regular_file(file, error) ? std::optional(file) : std::nullopt;
        }
        for (const auto& entry : fs::directory_iterator(folder_, error))
            if (fs::is_regular_file(entry.path() / name, error))
                return entry.path() / name;
        return std::nullopt;
    };
    auto file = find();
    if (!file && udid) {
        crashReports(*udid, 0);
        file = find();
    }
    if (!file)
        throw PhoneRecordsError("No crash report is named \"" + name + "\". Call crash_reports without a name to list them.");
    std::ifstream in(*file, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return {contents.str(), *file};
}

PhoneRecords::State PhoneRecords::state(const std::string& udid) {
    return exchange<State>(udid, [](LockdownConnection& connection) {
        State state;
        state.name = text(connection, "DeviceName");
        state.productType = text(connection, "ProductType");
        state.iosVersion = text(connection, "ProductVersion");
        state.bluetoothAddress = lowered(text(connection, "BluetoothAddress"));
        auto screen = connection.copyValue("com.apple.mobile.iTunes", std::nullopt);
        if (auto width = number(screen, "ScreenWidth"))
            state.screenWidth = static_cast<int>(*width);
        if (auto height = number(screen, "ScreenHeight"))
            state.screenHeight = static_cast<int>(*height);
        readVitals(connection, state);
        auto touch = connection.copyValue(MobileDevice::kAccessibilityDomain, MobileDevice::kAssistiveTouchKey);
        if (touch && touch->is_boolean())
            state.assistiveTouch = touch->get<bool>();
        return state;
    });
}

std::optional<PhoneRecords::State> PhoneRecords::vitals(const std::string& udid) {
    try {
        return exchange<State>(udid, [](LockdownConnection& connection) {
            State state;
            readVitals(connection, state);
            return state;
        });
    } catch (const PhoneRecordsError&) {
        return std::nullopt;
    }
}

std::string PhoneRecords::batteryText(const State& state) {
    if (!state.battery)
        return "unknown";
    return std::to_string(*state.battery) + "%" + (state.charging == true ? ", charging" : "");
}

std::string PhoneRecords::storageText(const State& state) {
    if (!state.storageFree || !state.storageTotal)
        return "unknown";
    return gigabytes(*state.storageFree) + " free of " + gigabytes(*state.storageTotal);
}

} // namespace pokescope
