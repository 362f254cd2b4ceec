// Where the application keeps its files; whole-file writes, never through whatever someone else left at the
// name in a shared folder; and the settings store on top of them.
#include "platform/AtomicFile.hpp"
#include "platform/FolderWatch.hpp"
#include "platform/Paths.hpp"
#include "platform/Preferences.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
using nlohmann::json;
namespace fs = std::filesystem;

TEST(Paths, DefaultsLiveUnderHomeAreCreatedOnFirstUseAndHonourTheXdgVariablesAndTheUserDirectoriesFile) {
    TempHome home;
    EXPECT_FALSE(fs::exists(home.path() / ".local"));
    EXPECT_EQ(Paths::logFile(), home.path() / ".local/state/pokescope/Pokescope.log");
    EXPECT_EQ(Paths::settingsFile(), home.path() / ".config/pokescope/settings.json");
    EXPECT_EQ(Paths::appSupport(), home.path() / ".local/share/pokescope");
    EXPECT_EQ(Paths::screenshots(), home.path() / "Pictures/Pokescope");
    EXPECT_EQ(Paths::recordings(), home.path() / "Videos/Pokescope");
    for (auto folder : {Paths::stateFolder(), Paths::configFolder(), Paths::appSupport(), Paths::screenshots(),
                        Paths::recordings()})
        EXPECT_TRUE(fs::is_directory(folder)) << folder;

    ScopedEnvironment environment;
    environment.set("XDG_STATE_HOME", (home.path() / "state").string());
    environment.set("XDG_CONFIG_HOME", (home.path() / "config").string());
    environment.set("XDG_DATA_HOME", (home.path() / "data").string());
    environment.set("XDG_VIDEOS_DIR", (home.path() / "Movies").string());
    EXPECT_EQ(Paths::logFile(), home.path() / "state/pokescope/Pokescope.log");
    EXPECT_EQ(Paths::settingsFile(), home.path() / "config/pokescope/settings.json");
    EXPECT_EQ(Paths::appSupport(), home.path() / "data/pokescope");
    EXPECT_EQ(Paths::recordings(), home.path() / "Movies/Pokescope");
    // A relative value is not a valid XDG folder and is ignored.
    environment.set("XDG_STATE_HOME", "relative/state");
    EXPECT_EQ(Paths::logFile(), home.path() / ".local/state/pokescope/Pokescope.log");

    // The user directories file (in the configuration folder) names the pictures folder.
    environment.set("XDG_VIDEOS_DIR", std::nullopt);
    writeFile(home.path() / "config/user-dirs.dirs",
              "# written by xdg-user-dirs-update\n"
              "XDG_PICTURES_DIR=\"$HOME/Bilder\"\n"
              "XDG_VIDEOS_DIR=\"$HOME/\"\n");
    EXPECT_EQ(Paths::screenshots(), home.path() / "Bilder/Pokescope");
    // A user directory set to the home folder itself means it is not configured.
    EXPECT_EQ(Paths::recordings(), home.path() / "Videos/Pokescope");
}

namespace {

class AtomicFileTest : public testing::Test {
protected:
    TempFolder folder;
    fs::path file = folder.path() / "picture.jpg";

    // Everything in the folder, so that a test sees a temporary file left behind.
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder.path()))
            found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    }
    static mode_t modeOf(const fs::path& path) {
        struct stat info {};
        EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
        return info.st_mode;
    }
};

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

TEST_F(AtomicFileTest, WritesOrReplacesAFileThatOnlyThisUserCanReadWhateverTheUmask) {
    std::string failure = "not cleared";
    const mode_t old = ::umask(0277);
    const bool written = writeFileAtomically(file, "first", failure);
    ::umask(old);
    ASSERT_TRUE(written) << failure;
    EXPECT_EQ(failure, "");
    EXPECT_EQ(readFile(file), "first");
    EXPECT_TRUE(S_ISREG(modeOf(file)));
    EXPECT_EQ(modeOf(file) & 07777, 0600u);

    writeFile(file, "old contents that are longer than the new");
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_TRUE(writeFileAtomically(file, "new", failure)) << failure;
    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(modeOf(file) & 07777, 0600u);
    EXPECT_EQ(names(), std::vector<std::string>{"picture.jpg"});
}

TEST_F(AtomicFileTest, OrphanedTemporariesOfKilledWritesGoButAYoungOneAndOtherFilesStay) {
    writeFile(file, "kept");
    const fs::path dir = file.parent_path();
    const std::string stem = file.filename().string() + ".tmp-";
    for (const char* suffix : {"0123456789abcdef", "fedcba9876543210", "young00000000000", "0123456789abcdeg"})
        writeFile(dir / (stem + suffix), "partial");
    writeFile(dir / "other.jpg.tmp-0123456789abcdef", "another file's");
    ASSERT_EQ(::mkdir((dir / (stem + "aaaaaaaaaaaaaaaa")).c_str(), 0700), 0); // not a file: stays
    const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().find("young") == std::string::npos)
            fs::last_write_time(entry.path(), old);
    fs::rename(dir / (stem + "young00000000000"), dir / (stem + "00000000000000aa")); // renamed: still young
    EXPECT_EQ(removeOrphanedTemporaries(file, std::chrono::seconds(60)), 2);
    auto left = names();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"other.jpg.tmp-0123456789abcdef", "picture.jpg",
                                              stem + "00000000000000aa", stem + "0123456789abcdeg",
                                              stem + "aaaaaaaaaaaaaaaa"}));
    EXPECT_EQ(readFile(file), "kept");
}

// Nothing is written through a symbolic link at the name (which is replaced), nor through links planted at
// guessable temporary names.
TEST_F(AtomicFileTest, ASymbolicLinkAtTheNameIsReplacedAndNothingIsWrittenWhereItPoints) {
    const fs::path victim = folder.path() / "victim.txt";
    writeFile(victim, "precious");
    ASSERT_EQ(::chmod(victim.c_str(), 0644), 0);
    fs::create_symlink(victim, file);

    std::string failure;
    ASSERT_TRUE(writeFileAtomically(file, "picture", failure)) << failure;
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_EQ(modeOf(victim) & 07777, 0644u);
    EXPECT_TRUE(S_ISREG(modeOf(file))); // the link itself is gone: a regular file in its place
    EXPECT_EQ(modeOf(file) & 07777, 0600u);
    EXPECT_EQ(readFile(file), "picture");
    EXPECT_EQ(names(), (std::vector<std::string>{"picture.jpg", "victim.txt"}));

    // A dangling one creates nothing where it points.
    const fs::path nowhere = folder.path() / "created-through-the-link";
    fs::remove(file);
    fs::create_symlink(nowhere, file);
    ASSERT_TRUE(writeFileAtomically(file, "picture", failure)) << failure;
    EXPECT_FALSE(fs::exists(nowhere));
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(readFile(file), "picture");

    // Links planted at the names a predictable scheme would pick for the temporary file (the process id and a
    // counter) are never written through.
    fs::remove(file);
    for (int counter = 0; counter < 10; ++counter) {
        fs::path planted = file;
        planted += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter);
        fs::create_symlink(victim, planted);
    }
    ASSERT_TRUE(writeFileAtomically(file, "picture", failure)) << failure;
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_FALSE(fs::is_symlink(file));
    EXPECT_EQ(readFile(file), "picture");
    EXPECT_EQ(names().size(), 12u); // the file, the victim and the ten links, nothing else
}

TEST_F(AtomicFileTest, AFolderAtTheNameOrAMissingOrReadOnlyFolderIsAClearFailure) {
    fs::create_directory(file);
    writeFile(file / "inside.txt", "kept");

    std::string failure;
    EXPECT_FALSE(writeFileAtomically(file, "picture", failure));
    EXPECT_EQ(failure, "Is a directory");
    EXPECT_TRUE(fs::is_directory(file));
    EXPECT_EQ(readFile(file / "inside.txt"), "kept");
    // No temporary file is left beside it.
    EXPECT_EQ(names(), std::vector<std::string>{"picture.jpg"});

    EXPECT_FALSE(writeFileAtomically(folder.path() / "missing" / "settings.json", "{}", failure));
    EXPECT_EQ(failure, "No such file or directory");
    EXPECT_EQ(names(), std::vector<std::string>{"picture.jpg"});
    if (::geteuid() == 0)
        return; // the superuser writes into any folder

    // A folder that cannot be written: the old file stays.
    const fs::path old = folder.path() / "old.txt";
    writeFile(old, "old");
    ASSERT_EQ(::chmod(folder.path().c_str(), 0500), 0);
    const bool written = writeFileAtomically(old, "new", failure);
    ::chmod(folder.path().c_str(), 0700);
    EXPECT_FALSE(written);
    EXPECT_EQ(failure, "Permission denied");
    EXPECT_EQ(readFile(old), "old");
    EXPECT_EQ(names(), (std::vector<std::string>{"old.txt", "picture.jpg"}));
}

TEST_F(PreferencesTest, DefaultsAreNeverWrittenAndValuesOfTheWrongTypeReadAsTheFallback) {
    const std::string stored =
        R"({"flag": "yes", "count": "10", "name": 5, "half": 2.5, "whole": 30.0, "big": 18446744073709551615})";
    writeFile(file, stored);
    Preferences store(file, reporter);
    store.registerDefaults({{"flag", true}, {"count", 10}, {"name", "x"}, {"half", 1}, {"on", true}, {"ten", 10},
                            {"x", "x"}});
    EXPECT_EQ(std::tuple(store.boolForKey("on"), store.integerForKey("ten"), store.stringForKey("x")),
              std::tuple(true, 10, std::optional<std::string>("x")));
    EXPECT_FALSE(store.storedValue("on"));
    for (const char* key : {"flag", "missing"})
        EXPECT_FALSE(store.boolForKey(key)) << key;
    for (const char* key : {"count", "half", "missing"})
        EXPECT_EQ(store.integerForKey(key), 0) << key;
    for (const char* key : {"name", "missing"})
        EXPECT_EQ(store.stringForKey(key), std::nullopt) << key;
    EXPECT_EQ(std::pair(store.integerForKey("whole"), store.integerForKey("big")), std::pair(30LL, LLONG_MAX));
    EXPECT_EQ(readFile(file), stored);
    EXPECT_TRUE(problems.empty());
}

TEST_F(PreferencesTest, EveryWriteIsOnDiskWhenSetReturnsAndTwoWritersKeepEachOthersChanges) {
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
    EXPECT_EQ(std::tuple(reopened.boolForKey("flag"), reopened.integerForKey("count"), reopened.stringForKey("name")),
              std::tuple(false, 30, std::optional<std::string>("smaller")));
    EXPECT_TRUE(problems.empty());
}

TEST_F(PreferencesTest, AFileEditedWhileRunningIsSeenByTheWatchAndReReadButABrokenEditKeepsTheValuesInUse) {
    writeFile(file, R"({"count": 1})");
    Preferences store(file, reporter);
    // Set on the watch's own thread, where the reports are written: a reload found the file broken. (One
    // rename may wake the watch twice, so a late reload of the good file is no sign of the broken edit.)
    std::atomic<bool> brokenRead{false};
    FolderWatch watch(file.parent_path(), file.filename().string(), [&] {
        store.reload();
        if (!problems.empty() && problems.back().starts_with("settings: can't read "))
            brokenRead = true;
    });
    std::string failure;
    ASSERT_TRUE(writeFileAtomically(file.parent_path() / "other.json", "{}", failure)); // another file: nothing
    ASSERT_TRUE(writeFileAtomically(file, R"({"count": 2, "name": "edited"})", failure)); // a rename into place
    ASSERT_TRUE(eventually([&] { return store.integerForKey("count") == 2; }));
    EXPECT_EQ(store.stringForKey("name"), "edited");
    writeFile(file, R"({"count": 3)"); // an editor saving in place, half-typed
    ASSERT_TRUE(eventually([&] { return brokenRead.load(); }));
    EXPECT_EQ(store.integerForKey("count"), 2);
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems.back(), "settings: can't read " + file.string() + " (it is not valid JSON); keeping the settings in use");
    EXPECT_TRUE(setAside(file).empty()); // the user's half-typed file stays where it is
    writeFile(file, R"({"count": 3})");
    EXPECT_TRUE(eventually([&] { return store.integerForKey("count") == 3; }));
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
