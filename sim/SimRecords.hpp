// What the simulated phone keeps about itself and hands a computer it trusts: its apps (those on its Home
// Screen and in Spotlight, under Apple's identifiers), its system log as it streams (lines its software
// writes when apps launch and close, pages open, keys arrive, a keyboard connects, an app crashes), its
// crash reports, and its battery, storage and screen values. Switches make each service misbehave as a
// real phone's can.
//
// Thread contract: every member may be called from any thread. Relays hear their bytes on the records' own
// thread, in order; once `closeRelay` returns, that relay's callbacks are never entered again.
#pragma once

#include "platform/Dispatch.hpp"
#include "platform/GuardedCallback.hpp"
#include "platform/Lockdown.hpp"
#include "sim/SimScreen.hpp"
#include "sim/SimSettings.hpp"

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pokescope::sim {

class SimRecords {
public:
    // The phone as its records name it: its name, model and iOS version.
    SimRecords(std::string deviceName, SimModel model, std::string iosVersion);
    ~SimRecords();
    SimRecords(const SimRecords&) = delete;
    SimRecords& operator=(const SimRecords&) = delete;

    // Every app came with iOS; none came from the App Store.
    std::vector<InstalledApp> apps(bool includeSystem) const;

    // A relay of the log from now on; none while relays are refused.
    std::optional<int> openRelay(std::function<void(std::string_view bytes)> onBytes,
                                 std::function<void(const std::string& why)> onEnd);
    void closeRelay(int id);
    // The log lines and the crash report for what the phone's software noticed.
    void noticed(const SimEvent& event);
    // One log line as `process` (with its subsystem in brackets, if any) with process id `pid` writes it, at
    // `level` ("Notice", "Error").
    void log(const std::string& process, int pid, const std::string& message, const std::string& level = "Notice");

    // --- switches (tests) ---------------------------------------------------------------------------
    // Bytes to every relay exactly as given: text that is not UTF-8, bursts.
    void sendRaw(std::string bytes);
    // The relay daemon quits: every open relay ends with `why`.
    void stopRelays(const std::string& why);
    // The phone refuses to start its log relay.
    void setRelayRefused(bool refused);
    // Each service answer (the apps, the report folder, a report) comes this much later.
    void setServiceDelay(std::chrono::milliseconds delay);
    std::chrono::milliseconds serviceDelay() const;

    // --- crash reports ------------------------------------------------------------------------------
    std::vector<PhoneFile> reports() const;
    // The report's bytes as the phone hands them out (only the first `cut` bytes of one whose copy is cut);
    // none when there is no such report.
    std::optional<std::string> report(const std::string& name) const;
    void addReport(const std::string& name, std::string contents, std::chrono::system_clock::time_point modified);
    // The phone hands out only the first `bytes` of this report, as if it were still being written.
    void cutReport(const std::string& name, std::size_t bytes);

    // Values of a lockdown domain that the records keep (battery, disk usage, the screen); none for others.
    std::optional<LockdownValue> domain(const std::string& name) const;

private:
    struct Relay {
        std::shared_ptr<GuardedCallback<std::string_view>> bytes;
        std::shared_ptr<GuardedCallback<const std::string&>> end;
        bool running = true; // false once the phone has stopped it; it stays until closed
    };
    void send(std::string bytes);
    void crashed(const std::string& label, int pid, std::chrono::system_clock::time_point when);
    int pidFor(const std::string& label);

    const std::string host_; // the device name as a host name
    const SimModel model_;
    const std::string iosVersion_;
    mutable std::mutex mutex_;
    std::map<int, Relay> relays_;
    int nextRelay_ = 1;
    bool refused_ = false;
    std::chrono::milliseconds delay_{0};
    std::map<std::string, int> pids_; // running apps
    int nextPid_ = 412;
    struct Report {
        std::string contents;
        std::chrono::system_clock::time_point modified;
        std::optional<std::size_t> cut;
    };
    std::map<std::string, Report> reports_;
    DispatchQueue queue_{"sim.syslog"}; // last: drained before the rest goes
};

} // namespace pokescope::sim
