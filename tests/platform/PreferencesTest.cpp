#include "platform/Preferences.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

class PreferencesTest : public testing::Test {
protected:
    TempFolder folder;
    fs::path file = folder.path() / "config/settings.json";
    std::vector<std::string> problems;
    Preferences::Reporter reporter = [this](const std::string& message) { problems.push_back(message); };
};

std::vector<fs::path> setAside(const fs::path& file) {
    std::vector<fs::path> found;
    for (auto& entry : fs::directory_iterator(file.parent_path()))
        if (entry.path().filename().string().rfind("settings.json.corrupt-", 0) == 0)
            found.push_back(entry.path());
    return found;
}

} // namespace

// Defaults are read but never written; a stored value of the wrong type reads as the fallback, not the
// default, as do keys with neither a value nor a default.
TEST_F(PreferencesTest, DefaultsAreNeverWrittenAndValuesOfTheWrongTypeReadAsTheFallback) {
    const std::string stored =
        R"({"flag": "yes", "count": "10", "name": 5, "half": 2.5, "whole": 30.0, "big": 18446744073709551615})";
    writeFile(file, stored);
    Preferences store(file, reporter);
    store.registerDefaults({{"flag", true}, {"count", 10}, {"name", "x"}, {"half", 1}, {"on", true}, {"ten", 10},
                            {"x", "x"}});
    EXPECT_TRUE(store.boolForKey("on"));
    EXPECT_EQ(store.integerForKey("ten"), 10);
    EXPECT_EQ(store.stringForKey("x"), "x");
    EXPECT_FALSE(store.storedValue("on"));
    for (const char* key : {"flag", "missing"})
        EXPECT_FALSE(store.boolForKey(key)) << key;
    for (const char* key : {"count", "half", "missing"})
        EXPECT_EQ(store.integerForKey(key), 0) << key;
    for (const char* key : {"name", "missing"})
        EXPECT_EQ(store.stringForKey(key), std::nullopt) << key;
    EXPECT_EQ(store.integerForKey("whole"), 30);
    EXPECT_EQ(store.integerForKey("big"), LLONG_MAX);
    EXPECT_EQ(readFile(file), stored);
    EXPECT_TRUE(problems.empty());
}

// Every write is on disk when set returns, and two writers keep each other's changes.
TEST_F(PreferencesTest, EveryWriteIsOnDiskWhenSetReturns) {
    {
        Preferences store(file, reporter), other(file, reporter);
        store.set("flag", false);
        store.set("count", 30);
        other.set("name", "smaller");
        store.set("gone", 1);
        store.remove("gone");
    }
    EXPECT_EQ(json::parse(readFile(file)), json({{"flag", false}, {"count", 30}, {"name", "smaller"}}));
    Preferences reopened(file, reporter);
    EXPECT_FALSE(reopened.boolForKey("flag"));
    EXPECT_EQ(reopened.integerForKey("count"), 30);
    EXPECT_EQ(reopened.stringForKey("name"), "smaller");
    EXPECT_TRUE(problems.empty());
}

TEST_F(PreferencesTest, UnreadableFilesAreKeptAsideAndFailedWritesReportedButNeverLost) {
    writeFile(file, "{\"flag\": tru");
    Preferences store(file, reporter);
    store.registerDefaults({{"flag", true}});
    EXPECT_TRUE(store.boolForKey("flag"));
    auto aside = setAside(file);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFile(aside[0]), "{\"flag\": tru");
    ASSERT_EQ(problems.size(), 1u);
    for (const auto& part : {std::string("settings: can't read "), std::string("it is not valid JSON"),
                             aside[0].filename().string()})
        EXPECT_NE(problems[0].find(part), std::string::npos) << problems[0];

    store.set("count", 3);
    EXPECT_EQ(json::parse(readFile(file)), json({{"count", 3}}));

    // Valid JSON that is not an object goes aside too.
    writeFile(file, "[1, 2]");
    Preferences again(file, reporter);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[1].find("it does not hold a JSON object"), std::string::npos) << problems[1];
    EXPECT_EQ(setAside(file).size(), 2u);

    // A failed write is reported and the value stays for this process.
    writeFile(folder.path() / "blocker", "a file where a folder should be");
    Preferences blocked(folder.path() / "blocker/settings.json", reporter);
    blocked.set("flag", true);
    EXPECT_TRUE(blocked.boolForKey("flag"));
    ASSERT_GT(problems.size(), 2u);
    EXPECT_NE(problems.back().find("settings: can't save \"flag\""), std::string::npos) << problems.back();
}

// A process killed at any moment of a write leaves a file holding the old or the new settings: fifty kills
// at random moments.
TEST_F(PreferencesTest, SurvivesAKillDuringAWrite) {
    Preferences(file, reporter).set("counter", 0);
    std::mt19937 random(12345);
    long long lastSeen = 0;
    const std::string padding(4000, 'p');
    for (int trial = 0; trial < 50; ++trial) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // Ready once one write is whole, so that a slow machine still kills some writes halfway and the
            // counter moves on.
            Preferences writer(file);
            for (long long next = writer.integerForKey("counter") + 1;; ++next, ready[1] = -1) {
                writer.set("padding", padding + std::to_string(next));
                writer.set("counter", next);
                [[maybe_unused]] auto n = ready[1] >= 0 ? ::write(ready[1], "x", 1) : 0;
            }
        }
        ::close(ready[1]);
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);

        Preferences reader(file, reporter);
        ASSERT_TRUE(problems.empty()) << "trial " << trial << ": " << problems.front();
        const long long counter = reader.integerForKey("counter");
        EXPECT_GE(counter, lastSeen) << "trial " << trial;
        if (auto padded = reader.stringForKey("padding")) {
            ASSERT_EQ(padded->substr(0, padding.size()), padding) << "trial " << trial;
        }
        lastSeen = counter;
    }
    EXPECT_GT(lastSeen, 0);
    EXPECT_TRUE(setAside(file).empty());
}
