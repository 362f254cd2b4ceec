// The phone's records: the log ring under bad input and bursts, and the relay, the crash-report copy and the
// calls' failures on the simulated phone (a relay that stops or is refused, a report that comes in part, a
// phone unplugged mid-call or too slow to answer).
#include "device/PhoneRecords.hpp"

#include "sim/SimLockdown.hpp"
#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

const std::string kLine = "Mar  5 09:41:07 Simulated-iPhone ";

std::vector<std::string> all(const PhoneLog& log, TimePoint now, PhoneLog::Query query = {}) {
    query.window = 1h;
    query.maxLines = 100000;
    return log.query(query, now).lines;
}

std::string messageOf(const std::function<void()>& call) {
    auto error = thrown<PhoneRecordsError>(call);
    return error ? error->what() : "";
}

// The records of a simulated phone, through its lockdown service, with the crash reports in a temporary folder.
class PhoneRecordsOnTheSimulatedPhone : public testing::Test {
protected:
    TempFolder folder;
    DispatchQueue main{"test.main"};
    std::shared_ptr<sim::SimPhone> phone = std::make_shared<sim::SimPhone>();
    MobileDevice device{std::make_shared<sim::SimLockdown>(phone), main};
    PhoneRecords records{device, folder.path()};
    const std::string udid = phone->identity().udid;

    void SetUp() override {
        device.start();
        ASSERT_TRUE(eventually([&] {
            try {
                return !records.log(udid, {}).relayProblem;
            } catch (const PhoneRecordsError&) {
                return false; // the phone is not known yet
            }
        }));
    }
    void TearDown() override { main.sync([] {}); }
    std::vector<std::string> lines() { return records.log(udid, {1h, {}, {}, 2000}).result.lines; }
    bool shows(const std::string& text) {
        auto now = lines();
        return std::any_of(now.begin(), now.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }
};

} // namespace

TEST(PhoneLogRing, BytesBecomeLinesWithTheirProcessEscapesAndBadUtf8AreRepairedNeverDroppedAndLongLinesCut) {
    PhoneLog log;
    const TimePoint t = std::chrono::steady_clock::now();
    // A line arriving in pieces; NUL and line feed both end one; empty lines vanish.
    log.append(kLine + "Podcasts(UIKitCore)[412] <Notice>: Scene bec", t);
    log.append("ame active\n\0\n" + kLine + "backboardd[67] <Notice>: caf\\M-C\\M-) \\M^@x\r\n", t);
    log.append(kLine + "SpringBoard[58] <Error>: bad \xff\xfe bytes" + std::string(1, '\0'), t);
    log.append("not a relay line\n", t);
    log.append(std::string(PhoneLog::kMaxLineBytes + 100, 'a') + "\n", t);
    const auto got = all(log, t);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], kLine + "Podcasts(UIKitCore)[412] <Notice>: Scene became active");
    EXPECT_EQ(got[1], kLine + "backboardd[67] <Notice>: café \xef\xbf\xbdx"); // a lone 0x80 is no UTF-8
    EXPECT_EQ(got[2], kLine + "SpringBoard[58] <Error>: bad \xef\xbf\xbd\xef\xbf\xbd bytes");
    EXPECT_EQ(got[3], "not a relay line");
    EXPECT_EQ(got[4], std::string(PhoneLog::kMaxLineBytes, 'a') + " [cut]");

    EXPECT_EQ(PhoneLog::processOf(got[0]), "Podcasts");
    EXPECT_EQ(PhoneLog::processOf(got[1]), "backboardd");
    EXPECT_EQ(PhoneLog::processOf(got[3]), "");
    EXPECT_EQ(PhoneLog::processOf("Mar 15 09:41:07 Host [58] <Notice>: x"), "");
    // Filters ignore letter case; the process must be the whole name.
    EXPECT_EQ(all(log, t, {0s, "PODCASTS", {}, 0}), std::vector<std::string>{got[0]});
    EXPECT_EQ(all(log, t, {0s, "Pod", {}, 0}), std::vector<std::string>{});
    EXPECT_EQ(all(log, t, {0s, {}, "CAFÉ", 0}).size(), 0u); // only ASCII letters fold
    EXPECT_EQ(all(log, t, {0s, {}, "BAD", 0}), std::vector<std::string>{got[2]});
}

TEST(PhoneLogRing, ABurstBeyondTheRingDropsTheOldestCountsThemAndTheWindowAndMaxLinesPickTheNewest) {
    PhoneLog log;
    const TimePoint start = std::chrono::steady_clock::now();
    log.append(kLine + "old[1] <Notice>: long ago\n", start);
    std::string burst;
    for (std::size_t i = 0; i < PhoneLog::kMaxLines + 4999; ++i)
        burst += kLine + "burst[2] <Notice>: line " + std::to_string(i) + "\n";
    log.append(burst, start + 10min);
    EXPECT_EQ(log.size(), PhoneLog::kMaxLines);
    EXPECT_EQ(log.dropped(), 5000u);
    const TimePoint now = start + 10min + 1s;
    auto result = log.query({30min, {}, {}, 3}, now);
    EXPECT_EQ(result.matched, PhoneLog::kMaxLines);
    EXPECT_EQ(result.lines, (std::vector<std::string>{kLine + "burst[2] <Notice>: line 24996", kLine + "burst[2] <Notice>: line 24997",
                                                      kLine + "burst[2] <Notice>: line 24998"}));
    EXPECT_EQ(result.dropped, 5000u); // the window reaches past what is kept
    // A window that starts after the burst arrived lost nothing, and shows nothing.
    result = log.query({500ms, {}, {}, 3}, now);
    EXPECT_EQ(std::tuple(result.dropped, result.lines.size()), std::tuple(0u, 0u));

    // The byte bound holds as well: long lines fill 4 MiB before 20000 of them.
    PhoneLog wide;
    const std::string text(1000, 'w');
    for (int i = 0; i < 5000; ++i)
        wide.append(text + "\n", start);
    EXPECT_EQ(wide.size(), PhoneLog::kMaxBytes / 1000);
    EXPECT_EQ(wide.dropped(), 5000u - PhoneLog::kMaxBytes / 1000);
}

TEST_F(PhoneRecordsOnTheSimulatedPhone, TheRelayFillsTheLogAndAfterItStopsOrIsRefusedOrThePhoneGoesTheLinesStayAndTheReasonIsSaid) {
    phone->records().log("Tester", 7, "hello from the phone");
    phone->records().sendRaw(kLine + "Tester[7] <Notice>: not \xc3( UTF-8\n");
    ASSERT_TRUE(eventually([&] { return shows("Tester[7] <Notice>: not \xef\xbf\xbd( UTF-8"); }));
    EXPECT_TRUE(shows("Tester[7] <Notice>: hello from the phone"));
    EXPECT_EQ(records.log(udid, {}).relayProblem, std::nullopt);

    // The relay daemon quits: the gap is a line of ours, and the next read starts the relay again.
    phone->records().stopRelays("relay daemon quit");
    ASSERT_TRUE(eventually([&] { return shows("log relay stopped (relay daemon quit)"); }));
    auto answer = records.log(udid, {});
    EXPECT_EQ(answer.relayProblem, std::nullopt);
    EXPECT_THAT(answer.result.lines, testing::Contains("Pokescope: the iPhone's log relay stopped (relay daemon quit); "
                                                       "lines until it starts again are missing."));
    EXPECT_EQ(answer.result.lines.back(), "Pokescope: the iPhone's log relay started again.");
    phone->records().log("Tester", 7, "after the restart");
    ASSERT_TRUE(eventually([&] { return shows("after the restart"); }));

    // Refused: the lines from before stay, with the refusal named.
    phone->records().setRelayRefused(true);
    phone->records().stopRelays("relay daemon quit");
    ASSERT_TRUE(eventually([&] { return records.log(udid, {}).relayProblem.has_value(); }));
    answer = records.log(udid, {1h, {}, {}, 2000});
    EXPECT_EQ(answer.relayProblem, "The iPhone's system log relay (com.apple.syslog_relay) failed: the iPhone would not "
                                   "start it (status -16). Unlock the iPhone and try again; if it keeps failing, unplug "
                                   "it and plug it in again.");
    EXPECT_THAT(answer.result.lines, testing::Contains(testing::HasSubstr("hello from the phone")));

    // Unplugged: still readable, and said; plugged in again, the relay runs again.
    phone->records().setRelayRefused(false);
    phone->unplug();
    ASSERT_TRUE(eventually([&] { return device.phones().empty(); }));
    main.sync([] {});
    EXPECT_TRUE(eventually([&] {
        return records.log(udid, {}).relayProblem.value_or("").starts_with("The iPhone is not connected: these are the lines");
    }));
    EXPECT_TRUE(shows("hello from the phone"));
    phone->replug();
    ASSERT_TRUE(eventually([&] { return !records.log(udid, {}).relayProblem; }));
    phone->records().log("Tester", 7, "back again");
    EXPECT_TRUE(eventually([&] { return shows("back again"); }));
}

TEST_F(PhoneRecordsOnTheSimulatedPhone, ReportsAreCopiedOnceAndKeptAndOneThatComesInPartIsNotKeptUntilItComesWhole) {
    using namespace std::chrono;
    const auto when = system_clock::now() - 1h;
    phone->records().addReport("Notes-2026-01-09-094100.ips", "{\"name\":\"MobileNotes\"}\n{}\n", when);
    phone->records().addReport("Safari-2026-01-09-094200.ips", std::string(5000, 's'), when + 1min);
    phone->records().cutReport("Safari-2026-01-09-094200.ips", 1200);
    auto list = records.crashReports(udid, 20);
    EXPECT_EQ(list.copied, 1u);
    ASSERT_EQ(list.reports.size(), 1u);
    EXPECT_EQ(list.reports[0].process, "Notes");
    EXPECT_EQ(list.reports[0].name, "Notes-2026-01-09-094100.ips");
    EXPECT_EQ(duration_cast<std::chrono::seconds>(list.reports[0].time.time_since_epoch()), duration_cast<std::chrono::seconds>(when.time_since_epoch()));
    EXPECT_EQ(list.notKept, std::vector<std::string>{"Safari-2026-01-09-094200.ips came in part (1200 of 5000 bytes)"});
    // Nothing of the half copy is left: no file, no temporary.
    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(folder.path() / udid))
        files.push_back(entry.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"Notes-2026-01-09-094100.ips"});

    // Whole now: copied; what was copied already is not copied again, and survives the phone deleting it.
    phone->records().addReport("Safari-2026-01-09-094200.ips", std::string(5000, 's'), when + 1min);
    list = records.crashReports(udid, 20);
    EXPECT_EQ(std::tuple(list.copied, list.kept, list.notKept.size()), std::tuple(1u, 2u, 0u));
    EXPECT_EQ(list.reports[0].process, "Safari"); // newest first
    EXPECT_EQ(records.crashReports(udid, 1).copied, 0u);
    auto [text, path] = records.crashReport(std::nullopt, "Notes-2026-01-09-094100.ips");
    EXPECT_EQ(text, "{\"name\":\"MobileNotes\"}\n{}\n");
    EXPECT_EQ(path, folder.path() / udid / "Notes-2026-01-09-094100.ips");
    EXPECT_EQ(messageOf([&] { records.crashReport(udid, "Gone.ips"); }),
              "No crash report is named \"Gone.ips\". Call crash_reports without a name to list them.");
}

TEST_F(PhoneRecordsOnTheSimulatedPhone, APhoneUnpluggedMidCallOneTooSlowOneUntrustedAndNoPhoneEachGetTheirSentence) {
    phone->records().setServiceDelay(600ms);
    auto call = std::async(std::launch::async, [&] { return messageOf([&] { records.apps(udid, true); }); });
    std::this_thread::sleep_for(150ms);
    phone->unplug();
    EXPECT_EQ(call.get(), "The iPhone was unplugged during the call. Plug it in again, unlock it and try again.");
    EXPECT_EQ(messageOf([&] { records.state(udid); }), PhoneRecords::kNoPhone);

    phone->records().setServiceDelay(5500ms);
    phone->replug();
    ASSERT_TRUE(eventually([&] { return device.phones().size() == 1 && device.phones()[0].paired; }));
    EXPECT_EQ(messageOf([&] { records.apps(udid, true); }),
              "The iPhone didn't answer within 5 seconds. Unlock it and try again; if it keeps happening, unplug it "
              "and plug it in again.");
    phone->records().setServiceDelay(0ms);
    EXPECT_EQ(records.apps(udid, true).size(), 21u); // the late answer went nowhere; the next is in time

    phone->setTrusted(false);
    EXPECT_EQ(messageOf([&] { records.crashReports(udid, 20); }), PhoneRecords::kNotTrusted);
    EXPECT_EQ(records.vitals(udid), std::nullopt);
    phone->setTrusted(true);
    auto vitals = records.vitals(udid);
    ASSERT_TRUE(vitals);
    EXPECT_EQ(PhoneRecords::batteryText(*vitals) + "; " + PhoneRecords::storageText(*vitals),
              "82%, charging; 71.4 GB free of 128 GB");
}
