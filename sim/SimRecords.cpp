#include "sim/SimRecords.hpp"

#include "sim/SimScreenModel.hpp"

#include <cstdio>
#include <ctime>
#include <thread>

namespace pokescope::sim {

namespace {

// The phone's own processes, with the ids they keep while it runs.
constexpr int kSpringBoard = 58, kBackboardd = 67, kBluetoothd = 96, kReportCrash = 1187;

struct AppRecord {
    const char* label;
    const char* process;
    const char* bundleId;
    const char* version;
    const char* build;
};

// Each app on the Home Screen and in Spotlight, as iOS names it.
const std::vector<AppRecord>& appRecords() {
    static const std::vector<AppRecord> records{
        {"Settings", "Preferences", "com.apple.Preferences", "1.0", "1"},
        {"Notes", "MobileNotes", "com.apple.mobilenotes", "4.11", "3104.5.3"},
        {"Podcasts", "Podcasts", "com.apple.podcasts", "1.1.0", "4022.500.1"},
        {"Safari", "MobileSafari", "com.apple.mobilesafari", "17.5", "8618.2.12.10.5"},
        {"Photos", "MobileSlideShow", "com.apple.mobileslideshow", "1.0", "645.4.110"},
        {"Camera", "Camera", "com.apple.camera", "1.0", "1"},
        {"Messages", "MobileSMS", "com.apple.MobileSMS", "14.0", "1300.100.91"},
        {"Mail", "MobileMail", "com.apple.mobilemail", "16.0", "3774.600.62"},
        {"Clock", "MobileTimer", "com.apple.mobiletimer", "1.0", "1"},
        {"Weather", "Weather", "com.apple.weather", "1.0", "1"},
        {"Maps", "Maps", "com.apple.Maps", "3.0", "2070.35.17.9.5"},
        {"Music", "Music", "com.apple.Music", "1.4.5", "1.4.5.1"},
        {"Calendar", "MobileCal", "com.apple.mobilecal", "1.0", "1"},
        {"App Store", "AppStore", "com.apple.AppStore", "3.0", "1"},
        {"Calculator", "Calculator", "com.apple.calculator", "1.0", "1"},
        {"Reminders", "Reminders", "com.apple.reminders", "1.0", "1"},
        {"Files", "Files", "com.apple.DocumentsApp", "1.0", "1"},
        {"Contacts", "Contacts", "com.apple.MobileAddressBook", "1.0", "1"},
        {"Health", "Health", "com.apple.Health", "1.0", "1"},
        {"Wallet", "Passbook", "com.apple.Passbook", "1.0", "1"},
        {"Phone", "MobilePhone", "com.apple.mobilephone", "1.0", "1"},
    };
    return records;
}

const AppRecord* recordFor(const std::string& label) {
    for (const AppRecord& record : appRecords())
        if (label == record.label)
            return &record;
    return nullptr;
}

std::string formatted(std::chrono::system_clock::time_point when, const char* pattern) {
    std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, pattern, &local);
    return text;
}

std::string hex(int value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

// A UUID-shaped identifier that stays the same for the same seed.
std::string uuid(std::uint64_t seed) {
    seed = seed * 0x9E3779B97F4A7C15ULL + 0x632BE59BD9B4E019ULL;
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(seed >> 32),
                  static_cast<unsigned>(seed >> 16) & 0xFFFF, 0x4000 | (static_cast<unsigned>(seed) & 0x0FFF),
                  0x8000 | (static_cast<unsigned>(seed >> 8) & 0x3FFF),
                  static_cast<unsigned long long>(seed * 31 + 7) & 0xFFFFFFFFFFFFULL);
    return text;
}

} // namespace

SimRecords::SimRecords(std::string deviceName, SimModel model, std::string iosVersion)
    : host_([&] {
          std::string host = deviceName;
          for (char& c : host)
              if (c == ' ')
                  c = '-';
          return host;
      }()),
      model_(std::move(model)), iosVersion_(std::move(iosVersion)) {}

SimRecords::~SimRecords() {
    std::map<int, Relay> relays;
    {
        std::lock_guard lock(mutex_);
        relays.swap(relays_);
    }
    for (auto& [id, relay] : relays) {
        relay.bytes->withdraw();
        relay.end->withdraw();
    }
    queue_.sync([] {});
}

std::vector<InstalledApp> SimRecords::apps(bool includeSystem) const {
    std::vector<InstalledApp> apps;
    if (!includeSystem)
        return apps;
    for (const detail::AppInfo* info : detail::searchableApps())
        if (const AppRecord* record = recordFor(info->label))
            apps.push_back({record->bundleId, info->label, record->version, true});
    return apps;
}

std::optional<int> SimRecords::openRelay(std::function<void(std::string_view)> onBytes,
                                         std::function<void(const std::string&)> onEnd) {
    std::lock_guard lock(mutex_);
    if (refused_)
        return std::nullopt;
    int id = nextRelay_++;
    relays_[id] = Relay{std::make_shared<GuardedCallback<std::string_view>>(std::move(onBytes)),
                        std::make_shared<GuardedCallback<const std::string&>>(std::move(onEnd))};
    return id;
}

void SimRecords::closeRelay(int id) {
    Relay relay;
    {
        std::lock_guard lock(mutex_);
        auto it = relays_.find(id);
        if (it == relays_.end())
            return;
        relay = it->second;
        relays_.erase(it);
    }
    relay.bytes->withdraw();
    relay.end->withdraw();
}

void SimRecords::send(std::string bytes) {
    std::vector<std::shared_ptr<GuardedCallback<std::string_view>>> sinks;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, relay] : relays_)
            if (relay.running)
                sinks.push_back(relay.bytes);
    }
    if (sinks.empty())
        return;
    queue_.async([sinks = std::move(sinks), bytes = std::move(bytes)] {
        for (auto& sink : sinks)
            sink->call(bytes);
    });
}

void SimRecords::sendRaw(std::string bytes) { send(std::move(bytes)); }

void SimRecords::stopRelays(const std::string& why) {
    std::lock_guard lock(mutex_);
    // After the bytes already on their way, as a socket closes after its last data.
    for (auto& [id, relay] : relays_)
        if (relay.running) {
            relay.running = false;
            queue_.async([end = relay.end, why] { end->call(why); });
        }
}

void SimRecords::setRelayRefused(bool refused) {
    std::lock_guard lock(mutex_);
    refused_ = refused;
}

void SimRecords::setServiceDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(mutex_);
    delay_ = delay;
}

std::chrono::milliseconds SimRecords::serviceDelay() const {
    std::lock_guard lock(mutex_);
    return delay_;
}

void SimRecords::log(const std::string& process, int pid, const std::string& message, const std::string& level) {
    // As the phone's relay sends a line: "Mar  5 09:41:07 Host Process(Subsystem)[pid] <Notice>: text".
    send(formatted(std::chrono::system_clock::now(), "%b %e %H:%M:%S") + " " + host_ + " " + process + "[" +
         std::to_string(pid) + "] <" + level + ">: " + message + "\n");
}

int SimRecords::pidFor(const std::string& label) {
    std::lock_guard lock(mutex_);
    auto [it, added] = pids_.try_emplace(label, 0);
    if (added)
        it->second = nextPid_++;
    return it->second;
}

void SimRecords::noticed(const SimEvent& event) {
    using Kind = SimEvent::Kind;
    const AppRecord* app = recordFor(event.app);
    const std::string process = app ? app->process : event.app;
    const std::string bundle = app ? app->bundleId : event.app;
    switch (event.kind) {
    case Kind::launched: {
        int pid = pidFor(event.app);
        log("SpringBoard(FrontBoard)", kSpringBoard, "[app<" + bundle + ">:" + std::to_string(pid) + "] Bootstrap success!");
        log(process + "(UIKitCore)", pid, "Application did finish launching (" + bundle + " " +
                                              (app ? app->version : "") + ")");
        log(process + "(UIKitCore)", pid, "Scene became active: " + event.app);
        break;
    }
    case Kind::closed:
        log(process + "(UIKitCore)", pidFor(event.app), "Scene moved to the background: " + event.app);
        break;
    case Kind::pageOpened:
        log(process + "(UIKitCore)", pidFor(event.app), "Presenting page \"" + event.page + "\"");
        break;
    case Kind::key:
        log("backboardd", kBackboardd, "HID keyboard event: usage " + hex(event.usage, 2) + ", modifiers " +
                                          hex(event.modifiers, 2));
        break;
    case Kind::keyboardConnected:
        log("bluetoothd", kBluetoothd, "HID device connected: keyboard and pointer");
        break;
    case Kind::keyboardDisconnected:
        log("bluetoothd", kBluetoothd, "HID device disconnected: keyboard and pointer");
        break;
    case Kind::crashed: {
        int pid = pidFor(event.app);
        {
            std::lock_guard lock(mutex_);
            pids_.erase(event.app); // it starts afresh with a new process next time
        }
        log(process + "(CoreFoundation)", pid, "*** Terminating app due to uncaught exception "
                                                "'NSInternalInconsistencyException', reason: 'Unable to restore "
                                                "the library state'",
            "Error");
        crashed(event.app, pid, std::chrono::system_clock::now());
        log("SpringBoard(FrontBoard)", kSpringBoard, "[app<" + bundle + ">:" + std::to_string(pid) +
                                                         "] Process exited: <RBSProcessExitContext| specific, "
                                                         "status:<RBSProcessExitStatus| domain:signal(2) "
                                                         "code:SIGABRT(6)>>");
        break;
    }
    }
}

// A report as the phone writes one: a one-line JSON header, then the JSON body.
void SimRecords::crashed(const std::string& label, int pid, std::chrono::system_clock::time_point when) {
    const AppRecord* app = recordFor(label);
    const std::string process = app ? app->process : label, bundle = app ? app->bundleId : label,
                      version = app ? app->version : "1.0", build = app ? app->build : "1";
    const std::string incident = uuid(static_cast<std::uint64_t>(when.time_since_epoch().count()) ^ pid);
    const std::string os = "iPhone OS " + iosVersion_ + " (21F90)";
    const std::string stamp = formatted(when, "%Y-%m-%d %H:%M:%S.00 %z");
    nlohmann::json header{{"app_name", process},     {"timestamp", stamp},   {"app_version", version},
                          {"slice_uuid", uuid(pid)}, {"build_version", build}, {"platform", 2},
                          {"bundleID", bundle},      {"share_with_app_devs", 0}, {"is_first_party", 1},
                          {"bug_type", "309"},       {"os_version", os},     {"roots_installed", 0},
                          {"name", process},         {"incident_id", incident}};
    nlohmann::json frames = nlohmann::json::array();
    const char* symbols[][2] = {{"libsystem_kernel.dylib", "__pthread_kill"},
                                {"libsystem_pthread.dylib", "pthread_kill"},
                                {"libsystem_c.dylib", "abort"},
                                {"libc++abi.dylib", "abort_message"},
                                {"libobjc.A.dylib", "_objc_terminate()"},
                                {"CoreFoundation", "__exceptionPreprocess"},
                                {"UIKitCore", "-[UIApplication _run]"},
                                {process.c_str(), "main"},
                                {"dyld", "start"}};
    for (int i = 0; i < 9; ++i)
        frames.push_back({{"imageOffset", 4096 * (i + 3) + 52 * i}, {"symbol", symbols[i][1]},
                          {"symbolLocation", 8 * i}, {"imageIndex", i}});
    nlohmann::json body{
        {"uptime", 86400},
        {"procRole", "Foreground"},
        {"version", 2},
        {"userID", 501},
        {"modelCode", model_.productType},
        {"osVersion", {{"isEmbedded", true}, {"train", "iPhone OS " + iosVersion_}, {"releaseType", "User"}, {"build", "21F90"}}},
        {"captureTime", formatted(when, "%Y-%m-%d %H:%M:%S.0000 %z")},
        {"incident", incident},
        {"pid", pid},
        {"cpuType", "ARM-64"},
        {"procName", process},
        {"procPath", "/Applications/" + process + ".app/" + process},
        {"bundleInfo", {{"CFBundleShortVersionString", version}, {"CFBundleVersion", build}, {"CFBundleIdentifier", bundle}}},
        {"exception", {{"codes", "0x0000000000000000, 0x0000000000000000"}, {"rawCodes", {0, 0}}, {"type", "EXC_CRASH"}, {"signal", "SIGABRT"}}},
        {"asi", {{"libsystem_c.dylib", {"abort() called"}}}},
        {"faultingThread", 0},
        {"threads", {{{"triggered", true}, {"id", 100000 + pid}, {"queue", "com.apple.main-thread"}, {"frames", frames}}}},
    };
    std::string name = process + formatted(when, "-%Y-%m-%d-%H%M%S");
    {
        std::lock_guard lock(mutex_);
        std::string unique = name;
        for (int n = 2; reports_.count(unique + ".ips"); ++n)
            unique = name + "-" + std::to_string(n);
        name = unique + ".ips";
        reports_[name] = Report{header.dump() + "\n" + body.dump(2) + "\n", when, std::nullopt};
    }
    log("ReportCrash", kReportCrash, "Saved type '309(<private>)' report (1 of max 25) at "
                                     "/private/var/mobile/Library/Logs/CrashReporter/" + name);
}

std::vector<PhoneFile> SimRecords::reports() const {
    std::lock_guard lock(mutex_);
    std::vector<PhoneFile> files;
    for (const auto& [name, report] : reports_)
        files.push_back({name, report.contents.size(), report.modified});
    return files;
}

std::optional<std::string> SimRecords::report(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = reports_.find(name);
    if (it == reports_.end())
        return std::nullopt;
    const Report& report = it->second;
    return report.cut ? report.contents.substr(0, *report.cut) : report.contents;
}

void SimRecords::addReport(const std::string& name, std::string contents, std::chrono::system_clock::time_point modified) {
    std::lock_guard lock(mutex_);
    reports_[name] = Report{std::move(contents), modified, std::nullopt};
}

void SimRecords::cutReport(const std::string& name, std::size_t bytes) {
    std::lock_guard lock(mutex_);
    if (auto it = reports_.find(name); it != reports_.end())
        it->second.cut = bytes;
}

std::optional<LockdownValue> SimRecords::domain(const std::string& name) const {
    if (name == "com.apple.mobile.battery")
        return LockdownValue{{"BatteryCurrentCapacity", 82}, {"BatteryIsCharging", true},
                             {"ExternalChargeCapable", true}, {"ExternalConnected", true},
                             {"FullyCharged", false}, {"HasBattery", true}};
    if (name == "com.apple.disk_usage") // what Settings › General › About shows: 128 GB, 71.4 GB available
        return LockdownValue{{"TotalDiskCapacity", 128000000000LL}, {"TotalDataCapacity", 119453224960LL},
                             {"TotalDataAvailable", 71400000000LL}, {"AmountDataAvailable", 71400000000LL},
                             {"AmountDataReserved", 209715200}, {"TotalSystemCapacity", 8546775040LL},
                             {"TotalSystemAvailable", 1602719744}};
    if (name == "com.apple.mobile.iTunes")
        return LockdownValue{{"ScreenWidth", model_.width}, {"ScreenHeight", model_.height},
                             {"ScreenScaleFactor", model_.scale}};
    return std::nullopt;
}

} // namespace pokescope::sim
