// The application model: the agent configuration texts the user copies (exact for ordinary paths, valid
// JSON for any path), saving screenshots and calibrating from the window.
#include "model/AppModel.hpp"
#include "model/AgentConfiguration.hpp"
#include "model/ScreenshotSaving.hpp"
#include "tests/support/LogLines.hpp"
#include "tests/support/SimServices.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace pokescope;
using namespace pokescope::test;

TEST(AppModelConfiguration, TheStdioEntryIsExactForOrdinaryPathsValidJsonForAnyPathAndCarriesThePortAndSimulation) {
    EXPECT_EQ(AgentConfiguration::stdioJSON("/opt/pokescope/bin/pokescope"),
              "{\n  \"mcpServers\": {\n    \"pokescope\": { \"command\": \"/opt/pokescope/bin/pokescope\", "
              "\"args\": [\"--stdio\"] }\n  }\n}");
    const std::string odd = "/home/a \"b\"\\c/pokescope";
    auto parsed = nlohmann::json::parse(AgentConfiguration::stdioJSON(odd), nullptr, false);
    ASSERT_FALSE(parsed.is_discarded());
    EXPECT_EQ(parsed["mcpServers"]["pokescope"]["command"], odd);
    EXPECT_EQ(parsed["mcpServers"]["pokescope"]["args"], nlohmann::json::array({"--stdio"}));
    // Another port and a simulated run go with the entry, so its bridge reaches this application.
    EXPECT_EQ(AgentConfiguration::stdioJSON("/p", 5000, true),
              "{\n  \"mcpServers\": {\n    \"pokescope\": { \"command\": \"/p\", "
              "\"args\": [\"--stdio\", \"--port\", \"5000\", \"--simulate\"] }\n  }\n}");
    EXPECT_EQ(nlohmann::json::parse(AgentConfiguration::stdioJSON("/p", 47811, true))["mcpServers"]["pokescope"]["args"],
              nlohmann::json::array({"--stdio", "--simulate"}));
}

// --- the model's operations, with the main queue running on a thread of its own ---------------------------

namespace {

class AppModelOperations : public testing::Test {
protected:
    SimServices sim;
    AppModel& model = sim->model;
    MainQueueThread& main = *sim.main;
    std::filesystem::path folder = sim.home.path() / "shots";

    void SetUp() override { main.run([&] { model.setScreenshotFolder(folder); }); }
    void TearDown() override { main.run([&] { sim->capture.stop(); }); }
    AppModel::State state() { return model.snapshot(); }
    std::vector<std::filesystem::path> files() const {
        std::vector<std::filesystem::path> out;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
            out.push_back(entry.path());
        std::sort(out.begin(), out.end());
        return out;
    }
};

} // namespace

TEST(AppModelScreenshotName, IsTheLocalTimeInTheFixedPattern) {
    EXPECT_EQ(ScreenshotSaving::fileName(localTime(2026, 3, 4, 9, 5, 7)), "iPhone 2026-03-04 at 09.05.07.png");
}

TEST_F(AppModelOperations, ScreenshotsAreSavedAsPngsAndTwoInOneSecondKeepBoth) {
    main.run([&] { sim->capture.start(); });
    ASSERT_TRUE(eventually([&] { return sim->capture.latestImage() != nullptr; }));
    std::vector<ImageRef> copied;
    main.run([&] {
        model.setClipboard([&](const ImageRef& image) { copied.push_back(image); return true; });
        model.saveScreenshot();
        model.saveScreenshot();
    });
    ASSERT_TRUE(eventually([&] { return files().size() == 2 && copied.size() == 2; }));
    const auto saved = files();
    for (const auto& file : saved) {
        const std::string name = file.filename().string();
        EXPECT_TRUE(name.starts_with("iPhone 20") && name.ends_with(".png") && name.find(" at ") == 17) << name;
        auto picture = decoded(readFile(file));
        ASSERT_TRUE(picture) << name;
        EXPECT_EQ(std::pair(picture->width(), picture->height()), std::pair(1179, 2556));
    }
    // Both names come from the same second or from two seconds in a row; neither replaced the other.
    EXPECT_NE(saved[0], saved[1]);
    ASSERT_TRUE(eventually([&] { return state().lastScreenshot.has_value(); }));
    EXPECT_TRUE(std::find(saved.begin(), saved.end(), *state().lastScreenshot) != saved.end());
    EXPECT_FALSE(state().recordingError);
    EXPECT_EQ(countLogged("screenshot: saved iPhone "), 2);
}

TEST_F(AppModelOperations, AScreenshotWithoutAScreenOrIntoAFolderThatCannotBeWrittenSaysWhyAndWritesNothing) {
    main.run([&] { model.saveScreenshot(); });
    EXPECT_EQ(state().recordingError, "No screen to capture — is the iPhone connected and unlocked?");
    EXPECT_TRUE(files().empty());
    writeFile(folder, "a file where the folder should be");
    main.run([&] { sim->capture.start(); });
    ASSERT_TRUE(eventually([&] { return sim->capture.latestImage() != nullptr; }));
    main.run([&] { model.saveScreenshot(); });
    ASSERT_TRUE(eventually([&] { return state().recordingError->starts_with("Couldn't save the screenshot: "); }))
        << *state().recordingError;
    EXPECT_FALSE(state().lastScreenshot);
}

TEST_F(AppModelOperations, AFailedCalibrationLeavesItsSentenceAndStopsCalibrating) {
    std::vector<bool> seen;
    main.run([&] {
        model.setOnChange([&] { seen.push_back(model.snapshot().calibrating); });
        model.calibrate();
    });
    ASSERT_TRUE(eventually([&] { return !state().calibrating && state().calibrationError; }));
    main.run([&] {
        model.setOnChange(nullptr);
        EXPECT_EQ(seen, (std::vector<bool>{true, false})); // calibrating while it ran, then not
    });
    EXPECT_EQ(*state().calibrationError, InputEngine::InputError::text(InputEngine::ErrorCase::notConnected));
    EXPECT_FALSE(state().calibration);
}
