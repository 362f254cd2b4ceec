// The tools that read the phone's own records, through the composition root on the simulated phone: an app
// that crashes as it opens shows in the log and in a crash report that can be read, the phone's state is its
// model's, and bad arguments, no phone and an untrusted phone get their sentences.
#include "agent/ToolSet.hpp"
#include "tests/support/SimServices.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pokescope;
using namespace pokescope::test;
using nlohmann::json;
using testing::HasSubstr;

namespace {

std::string textOf(const json& result) {
    EXPECT_FALSE(result.contains("isError")) << result.dump();
    return result["content"][0].value("text", "");
}

std::string errorOf(ToolSet& tools, const std::string& name, const json& arguments) {
    json result = tools.call(name, arguments);
    EXPECT_EQ(result.value("isError", false), true) << result.dump();
    return result["content"][0]["text"];
}

sim::SimOptions crashingPodcasts() {
    auto options = SimServices::withPointer();
    options.settings.crashOnOpen.insert("Podcasts");
    return options;
}

} // namespace

TEST(ToolsOnThePhonesRecords, PodcastsCrashingAsItOpensShowsInTheLogAndInACrashReportThatReadsBackAndTheStateIsTheModels) {
    SimServices sim(crashingPodcasts(), SimServices::calibration());
    ToolSet& tools = *sim->tools;
    sim.main->run([&] { sim->model.start(); });
    ASSERT_TRUE(eventually([&] { return sim->hid.state() == BluetoothHID::State::ready; }));
    ASSERT_TRUE(eventually([&] { return sim->capture.latestImage() != nullptr; }));

    EXPECT_EQ(textOf(tools.call("device_info", json::object())),
              "name: Simulated iPhone\nmodel: iPhone 14 Pro (iPhone15,2)\niOS: 17.5.1\nscreen: 1179 x 2556 pixels\n"
              "battery: 82%, charging\nstorage: 71.4 GB free of 128 GB\nbluetooth: a4:c3:f0:85:1d:2e\ntrusted: yes\n"
              "AssistiveTouch: on");
    EXPECT_EQ(textOf(tools.call("list_apps", json::object())),
              "No apps installed by the user on Simulated iPhone. Call list_apps with include_system true to list the "
              "apps that came with iOS.");
    const auto apps = splitLines(textOf(tools.call("list_apps", {{"include_system", true}})));
    ASSERT_EQ(apps.size(), 22u);
    EXPECT_EQ(apps[0], "21 apps on Simulated iPhone (with those that came with iOS): name — bundle identifier — version");
    EXPECT_EQ(apps[1], "App Store — com.apple.AppStore — 3.0");
    EXPECT_THAT(apps, testing::Contains("Podcasts — com.apple.podcasts — 1.1.0"));
    EXPECT_EQ(apps.back(), "Weather — com.apple.weather — 1.0");
    EXPECT_EQ(textOf(tools.call("crash_reports", json::object())), "No crash reports from Simulated iPhone.");

    // The app launches, crashes and the phone is back on its Home Screen.
    json opened = tools.call("open_app", {{"name", "Podcasts"}});
    EXPECT_FALSE(opened.contains("isError")) << opened.dump();
    ASSERT_TRUE(eventually([&] { return sim.phone->screen().location() == "home"; }));
    std::string log;
    ASSERT_TRUE(eventually([&] {
        log = textOf(tools.call("device_log", {{"process", "podcasts"}}));
        return log.find("Terminating app") != std::string::npos;
    }));
    const auto lines = splitLines(log);
    ASSERT_EQ(lines.size(), 4u) << log;
    EXPECT_EQ(lines[0], "3 log lines of process podcasts from the last 60 s, newest last:");
    EXPECT_THAT(lines[1], testing::EndsWith(" Simulated-iPhone Podcasts(UIKitCore)[412] <Notice>: Application did "
                                            "finish launching (com.apple.podcasts 1.1.0)"));
    EXPECT_THAT(lines[3], HasSubstr("Podcasts(CoreFoundation)[412] <Error>: *** Terminating app"));
    // The typing into Spotlight went by too, one key at a time, and the newest line comes last.
    const std::string everything = textOf(tools.call("device_log", {{"seconds", 120}, {"max_lines", 2}}));
    EXPECT_THAT(everything, testing::StartsWith("2 log lines from the last 120 s, newest last (the newest of "));
    EXPECT_THAT(everything, HasSubstr("Process exited"));
    EXPECT_THAT(textOf(tools.call("device_log", {{"contains", "usage 0x13"}})), HasSubstr("backboardd[67] <Notice>: HID keyboard event: usage 0x13"));
    EXPECT_EQ(textOf(tools.call("device_log", {{"process", "Weather"}})), "No log lines of process Weather in the last 60 s.");

    const auto reports = splitLines(textOf(tools.call("crash_reports", json::object())));
    ASSERT_EQ(reports.size(), 2u);
    const auto folder = sim.home.path() / ".local/share/pokescope/crash-reports" / sim.phone->identity().udid;
    EXPECT_EQ(reports[0], "Crash reports from Simulated iPhone, newest first (1 copied now; 1 kept in " + folder.string() +
                              "): time — process — name");
    const std::string name = reports[1].substr(reports[1].rfind(" — ") + 5);
    EXPECT_THAT(name, testing::MatchesRegex("Podcasts-20[0-9][0-9]-[0-9][0-9]-[0-9][0-9]-[0-9]{6}\\.ips"));
    EXPECT_THAT(reports[1], HasSubstr(" — Podcasts — " + name));
    const std::string report = textOf(tools.call("crash_reports", {{"name", name}}));
    EXPECT_THAT(report, testing::StartsWith("Crash report " + name + " ("));
    EXPECT_THAT(report, HasSubstr(" KiB, kept at " + (folder / name).string() + "):\n{\"app_name\":\"Podcasts\""));
    EXPECT_THAT(report, HasSubstr("\"bundleID\":\"com.apple.podcasts\""));
    EXPECT_THAT(report, HasSubstr("\"modelCode\": \"iPhone15,2\""));
    EXPECT_THAT(textOf(tools.call("crash_reports", json::object())), HasSubstr("(0 copied now; 1 kept in "));

    // The window shows the battery and storage under the phone's name.
    EXPECT_TRUE(eventually([&] { return sim->model.snapshot().phoneVitals == "Battery 82%, charging · 71.4 GB free of 128 GB"; }));
}

TEST(ToolsOnThePhonesRecords, BadArgumentsAndNoPhoneGetTheirSentencesAndKeptReportsStayReadable) {
    SimServices sim; // not started: no phone on USB yet
    ToolSet& tools = *sim->tools;
    EXPECT_EQ(errorOf(tools, "device_log", {{"seconds", 0}}), "seconds must be more than 0");
    EXPECT_EQ(errorOf(tools, "device_log", {{"seconds", 3600.5}}), "seconds must be at most 3600");
    EXPECT_EQ(errorOf(tools, "device_log", {{"max_lines", 2001}}), "max_lines must be from 1 to 2000");
    EXPECT_EQ(errorOf(tools, "device_log", {{"max_lines", 0}}), "max_lines must be from 1 to 2000");
    EXPECT_EQ(errorOf(tools, "device_log", {{"process", std::string(101, 'p')}}), "process is too long: at most 100 characters");
    EXPECT_EQ(errorOf(tools, "device_log", {{"contains", std::string(201, 'c')}}), "contains is too long: at most 200 characters");
    for (const char* bad : {"../settings.json", ".hidden", "a/b.ips"})
        EXPECT_EQ(errorOf(tools, "crash_reports", {{"name", bad}}),
                  "name must be a crash report's file name, as crash_reports lists it");
    for (const char* tool : {"list_apps", "device_log", "crash_reports", "device_info"})
        EXPECT_EQ(errorOf(tools, tool, json::object()), "No iPhone is connected over USB.") << tool;
    // A report kept from an earlier visit is readable with no phone at all.
    writeFile(sim.home.path() / ".local/share/pokescope/crash-reports/0000-OLD/Notes-2025-12-01-101010.ips", "{\"old\":1}\n");
    EXPECT_EQ(textOf(tools.call("crash_reports", {{"name", "Notes-2025-12-01-101010.ips"}})),
              "Crash report Notes-2025-12-01-101010.ips (1 KiB, kept at " +
                  (sim.home.path() / ".local/share/pokescope/crash-reports/0000-OLD/Notes-2025-12-01-101010.ips").string() +
                  "):\n{\"old\":1}\n");
}

TEST(ToolsOnThePhonesRecords, AnUntrustedPhoneIsAskedToTrustThisComputer) {
    sim::SimOptions untrusted;
    untrusted.trusted = false;
    untrusted.trustOnPrompt = false;
    SimServices stranger(untrusted);
    stranger.main->run([&] { stranger->model.start(); });
    ASSERT_TRUE(eventually([&] { return stranger->device.phones().size() == 1; }));
    for (const char* tool : {"list_apps", "device_log", "crash_reports", "device_info"})
        EXPECT_EQ(errorOf(*stranger->tools, tool, json::object()), "The iPhone isn't trusted yet: unlock it and tap Trust.") << tool;
}
