#include "platform/Paths.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

using namespace pokescope;
using namespace pokescope::test;
namespace fs = std::filesystem;

TEST(Paths, DefaultsLiveUnderHomeAndAreCreatedOnFirstUse) {
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
}

TEST(Paths, HonoursTheXdgVariablesAndTheUserDirectoriesFile) {
    TempHome home;
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
