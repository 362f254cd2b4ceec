#include "platform/Preferences.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

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

TEST_F(PreferencesTest, RegisteredDefaultsAreReadButNeverWritten) {
    Preferences store(file, reporter);
    store.registerDefaults({{"flag", true}, {"count", 10}, {"name", "x"}});
    EXPECT_TRUE(store.boolForKey("flag"));
    EXPECT_EQ(store.integerForKey("count"), 10);
    EXPECT_EQ(store.stringForKey("name"), "x");
    EXPECT_FALSE(store.storedValue("flag"));
    EXPECT_FALSE(fs::exists(file));
    // Keys with neither a value nor a default read as the fallbacks.
    EXPECT_FALSE(store.boolForKey("missing"));
    EXPECT_EQ(store.integerForKey("missing"), 0);
    EXPECT_EQ(store.stringForKey("missing"), std::nullopt);
}

TEST_F(PreferencesTest, AStoredValueOfTheWrongTypeReadsAsTheFallbackNotTheDefault) {
    writeFile(file, R"({"flag": "yes", "count": "10", "name": 5, "half": 2.5, "whole": 30.0, "big": 18446744073709551615})");
    Preferences store(file, reporter);
    store.registerDefaults({{"flag", true}, {"count", 10}, {"name", "x"}, {"half", 1}});
    EXPECT_FALSE(store.boolForKey("flag"));
    EXPECT_EQ(store.integerForKey("count"), 0);
    EXPECT_EQ(store.stringForKey("name"), std::nullopt);
    EXPECT_EQ(store.integerForKey("half"), 0);
    EXPECT_EQ(store.integerForKey("whole"), 30);
    EXPECT_EQ(store.integerForKey("big"), LLONG_MAX);
    EXPECT_TRUE(problems.empty());
}

TEST_F(PreferencesTest, EveryWriteIsOnDiskWhenSetReturns) {
    {
        Preferences store(file, reporter);
        store.set("flag", false);
        store.set("count", 30);
        store.set("name", "smaller");
        store.set("gone", 1);
        store.remove("gone");
    }
    json onDisk = json::parse(readFile(file));
    EXPECT_EQ(onDisk, json({{"flag", false}, {"count", 30}, {"name", "smaller"}}));
    Preferences reopened(file, reporter);
    EXPECT_FALSE(reopened.boolForKey("flag"));
    EXPECT_EQ(reopened.integerForKey("count"), 30);
    EXPECT_EQ(reopened.stringForKey("name"), "smaller");
    EXPECT_TRUE(problems.empty());
}

TEST_F(PreferencesTest, ACorruptOrNonObjectFileIsKeptAsideReportedAndNeverOverwritten) {
    writeFile(file, "{\"flag\": tru");
    Preferences store(file, reporter);
    store.registerDefaults({{"flag", true}});
    EXPECT_TRUE(store.boolForKey("flag"));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("settings: can't read "), std::string::npos) << problems[0];
    EXPECT_NE(problems[0].find("it is not valid JSON"), std::string::npos) << problems[0];
    auto aside = setAside(file);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(readFile(aside[0]), "{\"flag\": tru");
    EXPECT_NE(problems[0].find(aside[0].filename().string()), std::string::npos);

    store.set("count", 3);
    EXPECT_EQ(json::parse(readFile(file)), json({{"count", 3}}));
    EXPECT_EQ(readFile(aside[0]), "{\"flag\": tru");

    // Valid JSON that is not an object goes aside too.
    writeFile(file, "[1, 2]");
    Preferences again(file, reporter);
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[1].find("it does not hold a JSON object"), std::string::npos) << problems[1];
    EXPECT_EQ(setAside(file).size(), 2u);
}

TEST_F(PreferencesTest, TwoWritersKeepEachOthersChanges) {
    Preferences application(file, reporter);
    Preferences selftest(file, reporter);
    application.set("a", 1);
    selftest.set("b", 2);
    application.set("c", 3);
    EXPECT_EQ(json::parse(readFile(file)), json({{"a", 1}, {"b", 2}, {"c", 3}}));
}

TEST_F(PreferencesTest, AFailedWriteIsReportedAndTheValueStaysForThisProcess) {
    writeFile(folder.path() / "blocker", "a file where a folder should be");
    Preferences store(folder.path() / "blocker/settings.json", reporter);
    store.set("flag", true);
    EXPECT_TRUE(store.boolForKey("flag"));
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems.back().find("settings: can't save \"flag\""), std::string::npos) << problems.back();
}

// A process killed at any moment of a write leaves a file holding the old or the new settings: a hundred
// kills at random moments.
TEST_F(PreferencesTest, SurvivesAKillDuringAWrite) {
    {
        Preferences seed(file, reporter);
        seed.set("counter", 0);
    }
    std::mt19937 random(12345);
    long long lastSeen = 0;
    const std::string padding(4000, 'p');
    for (int trial = 0; trial < 100; ++trial) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            Preferences writer(file);
            // Ready once one write is whole, so that a slow machine still kills some writes halfway
            // and the counter moves on.
            for (long long next = writer.integerForKey("counter") + 1;; ++next) {
                writer.set("padding", padding + std::to_string(next));
                writer.set("counter", next);
                if (ready[1] >= 0) {
                    [[maybe_unused]] auto n = ::write(ready[1], "x", 1);
                    ready[1] = -1;
                }
            }
        }
        ::close(ready[1]);
        char byte;
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 4000));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        Preferences reader(file, reporter);
        ASSERT_TRUE(problems.empty()) << "trial " << trial << ": " << problems.front();
        long long counter = reader.integerForKey("counter");
        EXPECT_GE(counter, lastSeen) << "trial " << trial;
        if (auto padded = reader.stringForKey("padding")) {
            ASSERT_EQ(padded->substr(0, padding.size()), padding) << "trial " << trial;
        }
        lastSeen = counter;
    }
    EXPECT_GT(lastSeen, 0);
    EXPECT_TRUE(setAside(file).empty());
}
