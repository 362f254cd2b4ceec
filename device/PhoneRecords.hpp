// What a trusted phone tells this computer about itself: its apps, its system log, its crash reports and
// its state (battery, storage, screen), through the services its lockdown session starts.
//
// The log: while a trusted phone is attached, its log relay runs and fills a ring (PhoneLog: at most
// 20000 lines and 4 MiB per phone). The ring outlives a detach by kKeepDetached, so a phone unplugged for a
// moment keeps what it logged; a relay that the phone stops is started again at the next change of the
// phone or the next read of the log, and the gap shows as a line of ours in the log.
//
// Crash reports are copied into `reportsFolder`/<udid>/ and kept there: a report the phone later deletes
// stays readable. Each is written to a temporary file and renamed into place only once it came whole.
//
// Threads: every exchange with the phone runs on MobileDevice's queue "pokescope.mobiledevice"; the calls
// below post it there and wait at most kTimeout, so they must not be called from that queue. Relays call
// back on their own threads. Every call may come from any other thread.
#pragma once

#include "device/MobileDevice.hpp"
#include "device/PhoneLog.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pokescope {

// A failure whose `what()` is a sentence for the user or agent, saying what to do.
class PhoneRecordsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PhoneRecords {
public:
    static constexpr Duration kTimeout = std::chrono::seconds(5);
    static constexpr Duration kKeepDetached = std::chrono::minutes(10);
    // At most this many reports are copied in one call, so that a phone full of them still answers in time.
    static constexpr std::size_t kCopiesPerCall = 25;
    static constexpr std::uint64_t kMaxReportBytes = 16 * 1024 * 1024;

    static constexpr const char* kNoPhone = "No iPhone is connected over USB.";
    static constexpr const char* kNotTrusted = "The iPhone isn't trusted yet: unlock it and tap Trust.";

    // `reportsFolder` empty: crash-reports in the application-support folder.
    PhoneRecords(MobileDevice& device, std::filesystem::path reportsFolder = {});
    ~PhoneRecords();
    PhoneRecords(const PhoneRecords&) = delete;
    PhoneRecords& operator=(const PhoneRecords&) = delete;

    // The phone's apps, sorted by name (any letter case). Throws PhoneRecordsError.
    std::vector<InstalledApp> apps(const std::string& udid, bool includeSystem);

    struct LogAnswer {
        PhoneLog::Result result;
        std::optional<std::string> relayProblem; // a sentence: why the relay is not running now, when it is not
    };
    // The phone's log; a relay that stopped is started again first. Throws PhoneRecordsError when no log
    // has ever come from the phone.
    LogAnswer log(const std::string& udid, const PhoneLog::Query& query);

    struct Report {
        std::string name; // the file name
        std::string process;
        std::chrono::system_clock::time_point time;
        std::uint64_t size = 0;
    };
    struct ReportList {
        std::vector<Report> reports; // newest first, at most `limit`
        std::size_t kept = 0;        // reports kept on this computer for the phone
        std::size_t copied = 0;      // new ones copied by this call
        std::size_t waiting = 0;     // new ones left on the phone for the next call
        std::vector<std::string> notKept; // reports that came only in part, with why
        std::filesystem::path folder;
    };
    // Copies the phone's new reports, then lists those kept. Throws PhoneRecordsError.
    ReportList crashReports(const std::string& udid, std::size_t limit);
    // A kept report's text and its path; it is copied first if it is not kept yet. Without `udid` (no phone),
    // any phone's kept report of that name. Throws PhoneRecordsError.
    std::pair<std::string, std::filesystem::path> crashReport(const std::optional<std::string>& udid,
                                                              const std::string& name);

    struct State {
        std::string name, productType, iosVersion, bluetoothAddress;
        std::optional<int> screenWidth, screenHeight;
        std::optional<int> battery; // percent
        std::optional<bool> charging;
        std::optional<std::uint64_t> storageFree, storageTotal;
        std::optional<bool> assistiveTouch;
    };
    // Throws PhoneRecordsError.
    State state(const std::string& udid);
    // The battery and storage alone, for the window: none when they cannot be read.
    std::optional<State> vitals(const std::string& udid);

    // "82%, charging"; "71.4 GB free of 128 GB" (decimal gigabytes, as the phone's Settings shows them).
    static std::string batteryText(const State& state);
    static std::string storageText(const State& state);
    // Where a phone's reports are kept.
    std::filesystem::path folderFor(const std::string& udid) const;

private:
    struct Feed;
    void phonesChanged(const std::vector<PhoneInfo>& phones);
    void startRelay(const std::shared_ptr<Feed>& feed, const std::string& udid);
    std::shared_ptr<Feed> feed(const std::string& udid) const;
    // Runs `body` in a session with the phone on the device queue; waits at most kTimeout.
    template <class T> T exchange(const std::string& udid, std::function<T(LockdownConnection&)> body);
    std::string sentenceFor(const LockdownServiceError& error, const std::string& udid);
    std::vector<Report> kept(const std::string& udid) const;
    void copyReports(LockdownConnection& connection, const std::string& udid, ReportList& list);

    MobileDevice& device_;
    const std::filesystem::path folder_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Feed>> feeds_;
};

} // namespace pokescope
