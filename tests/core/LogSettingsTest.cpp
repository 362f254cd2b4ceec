// The shared log (stamps, its copies, file modes, whole lines from threads and processes) and the
// application's settings over the preferences store.
#include "core/AppSettings.hpp"
#include "core/Log.hpp"

#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <mutex>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The console side of a log: a pipe whose read end the test drains.
struct ConsolePipe {
    int fds[2];
    ConsolePipe() { EXPECT_EQ(::pipe2(fds, O_NONBLOCK), 0); }
    ~ConsolePipe() { ::close(fds[0]); ::close(fds[1]); }
    std::string drain() {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }
};

class LogTest : public testing::Test {
protected:
    TempFolder folder;
    fs::path path = folder.path() / "Pokescope.log";
};

class AppSettingsTest : public testing::Test {
protected:
    TempFolder folder;
    std::filesystem::path file = folder.path() / "settings.json";
    Preferences store{file};
};

} // namespace

TEST_F(LogTest, StampsEachLineWithTheLocalTimeAndWritesItUnchangedToConsoleFileMemoryAndListenerEvenWithoutAFile) {
    EXPECT_TRUE(std::regex_match(Log::format("mcp: hello"),
                                 std::regex(R"(([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9] mcp: hello)")));
    ConsolePipe console;
    Log log(path, Log::FileMode::recreate, console.fds[1]);
    std::vector<std::string> heard;
    log.setOnLine([&](const std::string& line) { heard.push_back(line); });
    log.add("screen: first");
    log.add("mcp: two\nlines"); // a newline inside a message is not escaped
    auto memory = log.lines();
    ASSERT_EQ(memory.size(), 2u);
    EXPECT_THAT(memory[0], testing::EndsWith(" screen: first"));
    EXPECT_THAT(memory[1], testing::EndsWith(" mcp: two\nlines"));
    EXPECT_EQ(heard, memory);
    EXPECT_EQ(console.drain(), memory[0] + "\n" + memory[1] + "\n");
    EXPECT_EQ(readFile(path), memory[0] + "\n" + memory[1] + "\n");

    // Without a writable file it still logs to the console and memory.
    writeFile(folder.path() / "not-a-folder", "x");
    Log fileless(folder.path() / "not-a-folder/Pokescope.log", Log::FileMode::recreate, console.fds[1]);
    fileless.add("screen: still here");
    EXPECT_EQ(fileless.lines().size(), 1u);
    EXPECT_THAT(console.drain(), testing::EndsWith(" screen: still here\n"));
}

TEST_F(LogTest, TheApplicationRecreatesTheFileOtherModesAppendAndMemoryKeepsTheLast500Lines) {
    writeFile(path, "12:00:00 old: line of an earlier run\n");
    Log(path, Log::FileMode::recreate, -1).add("app: started");
    Log log(path, Log::FileMode::append, -1);
    for (int i = 1; i <= 501; ++i)
        log.add("test: " + std::to_string(i));
    auto memory = log.lines();
    ASSERT_EQ(memory.size(), 500u);
    EXPECT_THAT(memory.front(), testing::EndsWith(" test: 2"));
    EXPECT_THAT(memory.back(), testing::EndsWith(" test: 501"));
    auto lines = splitLines(readFile(path));
    ASSERT_EQ(lines.size(), 502u);
    EXPECT_THAT(lines[0], testing::EndsWith(" app: started"));
    EXPECT_THAT(lines[1], testing::EndsWith(" test: 1"));
}

TEST_F(LogTest, LinesFromManyThreadsArriveWhole) {
    Log log(path, Log::FileMode::recreate, -1);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i)
                log.add("thread" + std::to_string(t) + ": line " + std::to_string(i) + " " + std::string(100, 'x'));
        });
    for (auto& thread : threads)
        thread.join();
    auto lines = splitLines(readFile(path));
    EXPECT_EQ(lines.size(), 1600u);
    std::regex whole(R"(\d\d:\d\d:\d\d thread[0-7]: line \d+ x{100})");
    for (auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_EQ(log.lines().size(), 500u);
}

TEST_F(LogTest, TwoProcessesAppendingNeverInterleaveWithinALine) {
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Log log(path, Log::FileMode::append, -1);
            for (int i = 0; i < 1000; ++i)
                log.add("process" + std::to_string(p) + ": " + std::string(300, static_cast<char>('a' + p)));
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto lines = splitLines(readFile(path));
    EXPECT_EQ(lines.size(), 2000u);
    std::regex whole(R"(\d\d:\d\d:\d\d process(0: a{300}|1: b{300}))");
    for (auto& line : lines)
        ASSERT_TRUE(std::regex_match(line, whole)) << line.substr(0, 80);
}

TEST_F(AppSettingsTest, DefaultsAreReadWithoutWritingEachWriteIsStoredWithItsTypeAndSoundSettingsUpdateTheCapture) {
    {
        AppSettings s(store);
        EXPECT_EQ(std::tuple(s.recordAudio(), s.showActions(), s.recordingLimitMinutes(), s.recordingLimitSeconds(),
                             s.quality(), s.copyScreenshots(), s.transcriptionLanguage(), s.transcriptionEnabled(),
                             s.keepAudioConnected(), s.playAudioOnMac()),
                  std::tuple(true, true, 10, std::optional(600.0), AppSettings::Quality::full, true, "", false, true,
                             true));
        EXPECT_FALSE(std::filesystem::exists(file));
        std::vector<std::pair<bool, bool>> seen; // the sound settings update the capture at once, no others
        s.setAudioUpdate([&] { seen.emplace_back(s.keepAudioConnected(), s.playAudioOnMac()); });
        s.setRecordingLimitMinutes(0);
        EXPECT_EQ(s.recordingLimitSeconds(), std::nullopt);
        s.setRecordingLimitMinutes(240);
        EXPECT_EQ(s.recordingLimitSeconds(), 14400.0);
        s.setRecordAudio(false);
        s.setShowActions(false);
        s.setRecordingLimitMinutes(30);
        s.setQuality(AppSettings::Quality::smaller);
        s.setCopyScreenshots(false);
        s.setTranscriptionLanguage("en-GB");
        s.setTranscriptionEnabled(true);
        s.setKeepAudioConnected(false);
        s.setPlayAudioOnMac(false);
        EXPECT_EQ(seen, (std::vector<std::pair<bool, bool>>{{false, true}, {false, false}}));
    }
    EXPECT_EQ(json::parse(readFile(file)),
              json({{"recordAudio", false}, {"showActions", false}, {"recordingLimitMinutes", 30},
                    {"videoQuality", "smaller"}, {"copyScreenshots", false}, {"transcriptionLanguage", "en-GB"},
                    {"transcriptionEnabled", true}, {"keepAudioConnected", false}, {"playAudioOnMac", false}}));
    Preferences again(file);
    AppSettings reopened(again);
    EXPECT_EQ(std::tuple(reopened.quality(), reopened.transcriptionLanguage(), reopened.transcriptionEnabled()),
              std::tuple(AppSettings::Quality::smaller, "en-GB", true));
}

TEST_F(AppSettingsTest, AFileEditedByHandIsTakenOnReloadWithTheSettersEffectsAndABrokenOneChangesNothing) {
    AppSettings s(store);
    int audioUpdates = 0;
    std::vector<std::string> stopped;
    std::mutex mutex;
    s.setAudioUpdate([&] { ++audioUpdates; });
    s.setListeningStop([&](const std::string& reason) { std::lock_guard lock(mutex); stopped.push_back(reason); });
    s.setTranscriptionEnabled(true);
    EXPECT_FALSE(s.reload()); // the file as written: nothing new
    writeFile(file, R"({"pointerTiming": "exact", "transcriptionEnabled": false, "playAudioOnMac": false,
                        "videoQuality": "smaller"})");
    EXPECT_TRUE(s.reload());
    EXPECT_EQ(std::tuple(s.pointerTiming(), s.transcriptionEnabled(), s.playAudioOnMac(), s.quality()),
              std::tuple(AppSettings::PointerTiming::exact, false, false, AppSettings::Quality::smaller));
    EXPECT_EQ(audioUpdates, 1);
    EXPECT_TRUE(eventually([&] { std::lock_guard lock(mutex); return stopped.size() == 1; }));
    EXPECT_EQ(stopped.front(), AppSettings::kTranscriptionOffReason);
    writeFile(file, R"({"pointerTiming": "adaptive")");
    EXPECT_FALSE(s.reload());
    EXPECT_EQ(s.pointerTiming(), AppSettings::PointerTiming::exact);
    EXPECT_EQ(audioUpdates, 1);
}

TEST_F(AppSettingsTest, StoredValuesOfTheWrongTypeOrUnknownReadAsTheFallbackWithoutRewritingTheStore) {
    const std::string stored = R"({"recordAudio": "yes", "recordingLimitMinutes": "30", "videoQuality": 1,
                                   "transcriptionLanguage": false, "playAudioOnMac": 1})";
    writeFile(file, stored);
    Preferences existing(file);
    AppSettings settings(existing);
    EXPECT_EQ(std::tuple(settings.recordAudio(), settings.recordingLimitMinutes(), settings.recordingLimitSeconds(),
                         settings.quality(), settings.transcriptionLanguage(), settings.playAudioOnMac()),
              std::tuple(false, 0, std::optional<double>(), AppSettings::Quality::full, "", false));
    EXPECT_EQ(readFile(file), stored);
    existing.set("videoQuality", "ultra");
    EXPECT_EQ(settings.quality(), AppSettings::Quality::full);
    EXPECT_EQ(json::parse(readFile(file))["videoQuality"], "ultra");
    existing.set("recordingLimitMinutes", -5); // a negative limit is no limit either
    EXPECT_EQ(AppSettings(existing).recordingLimitSeconds(), std::nullopt);
}
