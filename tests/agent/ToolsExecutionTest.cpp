// Tool execution: argument checks with their exact sentences, the lenient reading of arguments, the
// screenshot and scroll geometry and the result envelope, and taps on the simulated phone in process.
#include "agent/ToolSet.hpp"
#include "platform/Base64.hpp"
#include "platform/WaitLedger.hpp"
#include "sim/SimBluetooth.hpp"
#include "sim/SimHidHost.hpp"
#include "tests/support/SimServices.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using nlohmann::json;

namespace {

// The mean difference of the green channel of two BGRA pictures of one size, within `r` pixels of (x, y).
double meanDifference(const Image& a, const Image& b, int x, int y, int r) {
    double sum = 0;
    int count = 0;
    for (int v = std::max(0, y - r); v < std::min({a.height(), b.height(), y + r}); ++v)
        for (int u = std::max(0, x - r); u < std::min({a.width(), b.width(), x + r}); ++u, ++count)
            sum += std::abs(int(a.row(v)[4 * u + 1]) - int(b.row(v)[4 * u + 1]));
    return count ? sum / count : 255;
}

// The services on the simulated phone, not started: no link, no frame and no phone on USB yet.
class ToolsExecution : public testing::Test {
protected:
    SimServices sim;
    ToolSet& tools = *sim->tools;

    std::string errorOf(const std::string& name, const json& arguments) {
        json result = tools.call(name, arguments);
        EXPECT_EQ(result.value("isError", false), true) << result.dump();
        EXPECT_EQ(result["content"].size(), 1u) << result.dump();
        return result["content"][0]["text"];
    }
};

// The same, started as the application starts them, with the pointer calibrated from a stored file.
class ToolsOnThePhone : public testing::Test {
protected:
    SimServices sim{SimServices::withPointer(), SimServices::calibration()};
    ToolSet& tools = *sim->tools;

    void SetUp() override {
        // The clock's next minute, which changes the screen, comes a minute after the start.
        sim.phone->screen().setWallClock(std::chrono::steady_clock::now(),
                                         std::chrono::system_clock::from_time_t(localTime(2026, 1, 9, 9, 41, 0)));
        sim.main->run([&] { sim->model.start(); });
        ASSERT_TRUE(eventually([&] { return sim->hid.state() == BluetoothHID::State::ready; }));
        ASSERT_TRUE(eventually([&] { return sim->capture.latestImage() != nullptr; }));
    }
};

} // namespace

TEST_F(ToolsExecution, MissingOrWrongArgumentsGetTheirSentencesBeforeAnythingRuns) {
    EXPECT_EQ(errorOf("tap", json::object()), "x and y are required");
    EXPECT_EQ(errorOf("tap", {{"x", "10"}, {"y", 10}}), "x and y are required"); // a string is no number
    EXPECT_EQ(errorOf("long_press", {{"x", 1}}), "x and y are required");
    EXPECT_EQ(errorOf("swipe", {{"from_x", 1}, {"from_y", 1}}), "to_x and to_y are required");
    EXPECT_EQ(errorOf("swipe", {{"to_x", 1}, {"to_y", 1}}), "from_x and from_y are required");
    EXPECT_EQ(errorOf("tap_text", json::object()), "text is required");
    EXPECT_EQ(errorOf("tap_text", {{"text", ""}}), "text is required"); // would tap the clock
    EXPECT_EQ(errorOf("tap_text", {{"text", 7}}), "text is required");
    EXPECT_EQ(errorOf("type_text", json::object()), "text is required");
    EXPECT_EQ(errorOf("press_key", {{"key", true}}), "key is required");
    EXPECT_EQ(errorOf("open_app", json::object()), "name is required");
    EXPECT_EQ(errorOf("scroll_to", {{"text", ""}}), "text is required");
    EXPECT_EQ(errorOf("long_press", {{"x", 1}, {"y", 1}, {"seconds", 61}}), "seconds must be at most 60");
    EXPECT_EQ(errorOf("swipe", {{"from_x", 1}, {"from_y", 1}, {"to_x", 2}, {"to_y", 2}, {"duration_ms", 10001}}),
              "duration_ms must be at most 10000");
    EXPECT_EQ(errorOf("type_text", {{"text", std::string(1001, 'a')}}),
              "text is too long; type at most 1000 characters per call");
}

TEST_F(ToolsExecution, WithoutALinkAFrameOrARecordingTheToolsSaySo) {
    // Nothing is connected in this process: the input engine's own sentences come back.
    EXPECT_EQ(errorOf("tap", {{"x", 10}, {"y", 10}}).substr(0, 34), "Not connected to the iPhone over B");
    EXPECT_EQ(errorOf("screenshot", json::object()),
              "No screen frame available (is the iPhone connected by USB and unlocked?)");
    EXPECT_EQ(errorOf("scroll", json::object()),
              "No screen frame available (is the iPhone connected by USB and unlocked?)");
    EXPECT_EQ(errorOf("press_key", {{"key", "home"}}).substr(0, 16), "Not connected to");
    EXPECT_EQ(errorOf("stop_recording", json::object()), "No recording is running.");
}

TEST_F(ToolsExecution, BatchesAreCheckedWholeBeforeAnyActionRuns) {
    for (const json& arguments : {json::object(), json{{"actions", json::array()}}, json{{"actions", {1, 2}}}})
        EXPECT_EQ(errorOf("batch", arguments), "actions must be a non-empty array of {tool, arguments}") << arguments;
    json many = json::array();
    for (int i = 0; i < 26; ++i)
        many.push_back({{"tool", "wait"}, {"arguments", {{"ms", 0}}}});
    EXPECT_EQ(errorOf("batch", {{"actions", many}}), "At most 25 actions per batch");
}

TEST_F(ToolsExecution, ABatchLogsEachActionAndStopsAtTheFirstFailure) {
    // Without a frame the closing screenshot fails, yet the log of what ran comes first.
    json result = tools.call("batch", {{"actions",
                                         {{{"name", "wait"}, {"args", {{"ms", 1}}}},
                                          {{"tool", "screenshot"}},
                                          {{"tool", "wait"}}}}});
    EXPECT_EQ(result["isError"], true);
    ASSERT_EQ(result["content"].size(), 2u) << result.dump();
    EXPECT_EQ(result["content"][0]["text"],
              "✓ 1. wait\n✗ 2. screenshot: screenshot can't be used in a batch — stopped here");
    EXPECT_EQ(result["content"][1]["text"],
              "No screen frame available (is the iPhone connected by USB and unlocked?)");
}

TEST_F(ToolsExecution, ABatchWhoseCallerGoesAwayStopsWithinAStepAndTakesNoScreenshot) {
    json waits = json::array();
    for (int i = 0; i < 25; ++i)
        waits.push_back({{"tool", "wait"}, {"arguments", {{"ms", 1000}}}});
    auto gone = std::make_shared<std::atomic<bool>>(false);
    std::thread leaving([gone] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        gone->store(true);
    });
    const auto started = std::chrono::steady_clock::now();
    json result;
    {
        callCancellation::Scope scope(gone);
        result = tools.call("batch", {{"actions", waits}});
    }
    leaving.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)); // not the 25 s asked
    EXPECT_EQ(result, Tools::errorResult("The action stopped: its caller went away."));
}

// (The transcription tools' other sentences: the transcription scenario checks them over MCP.)
TEST_F(ToolsExecution, ATranscribePathStartingWithATildeIsInTheHomeFolder) {
    sim->settings.setTranscriptionEnabled(true);
    const std::string home = std::getenv("HOME");
    EXPECT_EQ(errorOf("transcribe", {{"path", "~/Videos/none.mp4"}}), "No file at " + home + "/Videos/none.mp4.");
    sim->settings.setTranscriptionEnabled(false);
}

TEST_F(ToolsExecution, StatusNamesEveryPartAndSuccessHasNoIsError) {
    json result = tools.call("status", json::object());
    EXPECT_FALSE(result.contains("isError"));
    EXPECT_EQ(result["content"][0]["text"],
              "usb: no iPhone on USB\nscreen: no frame\nbluetooth: off\npointer calibration: not calibrated\n"
              "transcription: off (turn on in Pokescope Settings)\nlistening: off\nrecording: off\n"
              "simulated iPhone: model=iphone-14-pro,latency=45,jitter=0,fps=60,drop=0,noise=6,tracking=0.5,"
              "hid-latency=0,hid-jitter=6,hid-loss=0,assistive-touch"); // on the simulated phone only
}

TEST_F(ToolsOnThePhone, ATapOnALabelOpensItsPageTheScreenshotShowsItAndBackTapsTheBackButton) {
    json probe = tools.call("debug_simulator", json::object()); // only on the simulated phone
    ASSERT_FALSE(probe.contains("isError")) << probe.dump();
    EXPECT_EQ(json::parse(probe["content"][0]["text"].get<std::string>())["location"], "home");
    // The Home Screen as its compressed stream shows it: every label of the top rows is read, also where the
    // wallpaper's gradient lies between two brightness levels and the encoder's block noise splits it.
    json home = tools.call("screenshot", json::object());
    ASSERT_EQ(home["content"].size(), 2u) << home.dump().substr(0, 300);
    for (const char* label : {"Settings", "Notes", "Podcasts", "Safari", "Photos", "Camera", "Messages", "Mail"})
        EXPECT_THAT(home["content"][1]["text"].get<std::string>(),
                    testing::HasSubstr(std::string("\"") + label + "\" @ ("));

    json opened = tools.call("open_app", {{"name", "Settings"}});
    ASSERT_FALSE(opened.contains("isError")) << opened.dump();
    ASSERT_TRUE(eventually([&] { return sim.phone->screen().location() == "Settings"; }, std::chrono::seconds(10)))
        << sim.phone->screen().location();
    const std::size_t before = sim.recognizer->readings().size();
    json tapped = tools.call("tap_text", {{"text", "General"}});
    ASSERT_FALSE(tapped.contains("isError")) << tapped.dump();
    EXPECT_EQ(sim.phone->screen().location(), "Settings/General");
    // What was read ahead while the screen's stillness was being proven is not read again for the
    // screenshot: no picture was read twice.
    auto readings = sim.recognizer->readings();
    readings.erase(readings.begin(), readings.begin() + static_cast<std::ptrdiff_t>(before));
    for (std::size_t i = 0; i < readings.size(); ++i)
        for (std::size_t j = i + 1; j < readings.size(); ++j)
            EXPECT_NE(readings[i].picture, readings[j].picture) << "reading " << i << " and " << j;
    // The result is the screenshot after the tap, taken once the page push has ended: the JPEG, then the
    // text of the whole new page.
    ASSERT_EQ(tapped["content"].size(), 2u);
    EXPECT_EQ(tapped["content"][0]["type"], "image");
    EXPECT_THAT(tapped["content"][1]["text"].get<std::string>(), testing::HasSubstr("\"About\" @ ("));
    // The back button is read with its chevron, and going back taps it by its label.
    EXPECT_THAT(tapped["content"][1]["text"].get<std::string>(), testing::HasSubstr("\"< Settings\" @ ("));
    // Searching up a page already at its top: once a drag no longer moves the list, the search says where it
    // ended (after one drag, or two when the first page was read with the pointer's disc aside).
    json missing = tools.call("scroll_to", {{"text", "Developer"}, {"direction", "up"}});
    EXPECT_EQ(missing.value("isError", false), true);
    EXPECT_THAT(missing["content"][0]["text"].get<std::string>(),
                testing::MatchesRegex(R"re("Developer" not found: reached the end of the list after [12] scroll\(s\)\.)re"));
    json back = tools.call("press_key", {{"key", "back"}});
    ASSERT_FALSE(back.contains("isError")) << back.dump();
    EXPECT_EQ(back["content"][0]["text"], "Back: tapped \"< Settings\".");
    EXPECT_EQ(sim.phone->screen().location(), "Settings");
    // Of the pages that stayed after these actions, some were read ahead (a busy machine may leave one to
    // the screenshot, not all).
    readings = sim.recognizer->readings();
    EXPECT_TRUE(std::any_of(readings.begin() + static_cast<std::ptrdiff_t>(before), readings.end(),
                            [](const auto& reading) { return reading.queue == "pokescope.read-ahead"; }));
}

// After a tap the pointer's disc stands on what was tapped; reading the screen then steps it aside and
// reads the text from the frame without it, so that a label under the pointer is read whole.
TEST_F(ToolsOnThePhone, TextUnderThePointerIsReadWholeAndTheScreenshotShowsItWithoutTheDisc) {
    const auto opened = std::chrono::steady_clock::now();
    sim.phone->screen().openApp("Settings", opened);
    // The captured frames too: the launch's first frame may be late on a busy machine.
    ASSERT_TRUE(eventually([&] { return sim->capture.stillness().changedAfter(opened); }));
    tools.settle(std::chrono::seconds(5), std::chrono::milliseconds(300), opened);
    const std::string shown = tools.call("screenshot", json::object())["content"][1]["text"];
    std::smatch at; // a switch row's label: tapping it changes nothing
    ASSERT_TRUE(std::regex_search(shown, at, std::regex(R"re("Airplane Mode" @ \((\d+), (\d+)\))re"))) << shown;
    const double x = std::stod(at[1]), y = std::stod(at[2]), scale = tools.scale();
    json tapped = tools.call("tap", {{"x", x}, {"y", y}});
    ASSERT_FALSE(tapped.contains("isError")) << tapped.dump().substr(0, 300);
    EXPECT_EQ(sim.phone->screen().location(), "Settings");
    EXPECT_THAT(tapped["content"][1]["text"].get<std::string>(), testing::HasSubstr("\"Airplane Mode\" @ ("));
    // The pointer went aside, and the picture is the screen's own where the disc stood.
    auto [px, py] = sim.phone->screen().pointer();
    EXPECT_GT(std::abs(px - x * scale), 100) << px;
    EXPECT_NEAR(py, y * scale, 20);
    // The same screen again is not read again: its text and its picture without the disc come back at once.
    const auto frame = sim->capture.latestImage();
    const auto reading = WaitLedger::total(WaitLedger::Kind::recognition);
    json again = tools.call("screenshot", json::object());
    ASSERT_EQ(sim->capture.latestImage(), frame); // the disc still shows where it stepped to
    EXPECT_EQ(WaitLedger::total(WaitLedger::Kind::recognition), reading);
    EXPECT_EQ(again["content"][1]["text"], tapped["content"][1]["text"]);
    EXPECT_EQ(again["content"][0]["data"], tapped["content"][0]["data"]);
    auto jpeg = base64Decoded(tapped["content"][0]["data"].get<std::string>());
    auto picture = jpeg ? decoded(*jpeg) : std::nullopt;
    ASSERT_TRUE(picture);
    sim.phone->screen().setPointer(-100, -100); // the disc off the screen: the same page without it
    ASSERT_TRUE(eventually([&] { return sim.phone->screen().pointer().first < 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    json bare = tools.call("screenshot", {{"include_text", false}});
    auto bareJpeg = base64Decoded(bare["content"][0]["data"].get<std::string>());
    auto barePicture = bareJpeg ? decoded(*bareJpeg) : std::nullopt;
    ASSERT_TRUE(barePicture);
    EXPECT_LT(meanDifference(*picture, *barePicture, int(x), int(y), 20), 6.0);
}

// Keys that change nothing on screen are no failure, but the agent is told where they went: nowhere.
TEST_F(ToolsOnThePhone, TypingWithNoFieldFocusedSaysTheScreenDidNotChange) {
    const std::string note = "The screen did not change; is a text field focused?";
    ASSERT_TRUE(eventually([&] { return !sim.phone->screen().animating(); }));
    const auto now = std::chrono::steady_clock::now(); // clear of the pointer's hiding
    if (auto next = sim.phone->screen().nextChange(now); next && *next - now < std::chrono::seconds(4))
        std::this_thread::sleep_until(*next + std::chrono::milliseconds(300));
    json unheard = tools.call("type_text", {{"text", "hello"}});
    ASSERT_FALSE(unheard.contains("isError")) << unheard.dump();
    EXPECT_EQ(unheard["content"][0]["text"], note) << unheard.dump().substr(0, 300);
    EXPECT_EQ(unheard["content"][1]["type"], "image");

    sim.phone->screen().openApp("Notes", std::chrono::steady_clock::now());
    ASSERT_TRUE(eventually([&] { return !sim.phone->screen().animating(); }));
    sim.phone->screen().tap(600, 1200, std::chrono::steady_clock::now());
    json typed = tools.call("type_text", {{"text", "milk"}});
    ASSERT_FALSE(typed.contains("isError")) << typed.dump();
    EXPECT_EQ(typed["content"][0]["type"], "image") << typed.dump().substr(0, 300);
    EXPECT_THAT(typed["content"][1]["text"].get<std::string>(), testing::HasSubstr("milk"));
}

// Right after start the link is still coming up: a tool waits for it instead of failing, and then an
// uncalibrated pointer's sentence names the tool that calibrates it.
TEST(ToolsAtStart, ATapWaitsForTheLinkAndAnUncalibratedPointerNamesTheCalibrateTool) {
    SimServices sim{SimServices::withPointer()};
    sim.main->run([&] { sim->model.start(); });
    ASSERT_TRUE(eventually([&] { return sim->capture.latestImage() != nullptr; }));
    ASSERT_NE(sim->hid.state(), BluetoothHID::State::ready);
    json tapped = sim->tools->call("tap", {{"x", 100}, {"y", 100}});
    EXPECT_EQ(tapped["content"][0]["text"],
              "The pointer isn't calibrated yet. Run calibration from the app.\nCall the calibrate tool first.");
}

// The phone removing this keyboard (its user forgot this computer, say) is respected: no paging until
// the user chooses the phone again, and the status, the window's state and an action all say why.
TEST_F(ToolsOnThePhone, APhoneThatRemovedThisKeyboardIsLeftAloneUntilChosenAgain) {
    auto bluetooth = std::dynamic_pointer_cast<sim::SimBluetooth>(sim->backends().bluetooth);
    ASSERT_TRUE(bluetooth && bluetooth->hidHost());
    ASSERT_TRUE(bluetooth->hidHost()->sendControl({0x15}));
    ASSERT_TRUE(eventually([&] { return sim->model.snapshot().bluetoothRemovedByPhone; }));
    EXPECT_THAT(tools.call("status", json::object())["content"][0]["text"].get<std::string>(),
                testing::HasSubstr("bluetooth: waiting (the iPhone removed this keyboard; not reconnecting until it "
                                   "connects again or is chosen again in Pokescope)"));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500)); // the reconnect after a loss would come by now
    EXPECT_EQ(sim->hid.state(), BluetoothHID::State::waiting);
    json tap = tools.call("tap", {{"x", 100}, {"y", 100}});
    EXPECT_EQ(tap.value("isError", false), true) << tap.dump();

    sim.main->run([&] { sim->model.connectAgain(); });
    ASSERT_TRUE(eventually([&] { return sim->hid.state() == BluetoothHID::State::ready; }));
    EXPECT_FALSE(sim->model.snapshot().bluetoothRemovedByPhone);
}

// The phone leaving ends a running recording by itself: capture tells the services built with it.
TEST_F(ToolsOnThePhone, AnUnpluggedPhoneEndsTheRecordingWithItsReason) {
    json started = tools.call("start_recording", {{"audio", false}});
    ASSERT_FALSE(started.contains("isError")) << started.dump();
    ASSERT_TRUE(eventually([&] { return sim->recorder.recording(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    sim.phone->unplug();
    ASSERT_TRUE(eventually([&] { return !sim->recorder.recording(); }, std::chrono::seconds(10)));
    json stopped = tools.call("stop_recording", json::object());
    ASSERT_FALSE(stopped.contains("isError")) << stopped.dump();
    EXPECT_THAT(stopped["content"][0]["text"].get<std::string>(),
                testing::EndsWith(" It stopped automatically because the iPhone was disconnected."));
}

// A dark screen's black margins are the phone's own picture, not bars to crop; and a phone that locks
// shows black, which is what the next screenshot must show rather than the last bright picture.
TEST(ToolsOnADarkPhone, TheScreenshotKeepsThePhonesFullSizeAndALockedPhoneGivesABlackOne) {
    sim::SimOptions options = SimServices::withPointer();
    options.settings.dark = true;
    SimServices sim(options);
    sim.main->run([&] { sim->model.start(); });
    ASSERT_TRUE(eventually([&] { return sim->capture.latestImage() != nullptr; }));
    sim.phone->screen().openApp("Settings", std::chrono::steady_clock::now());
    ASSERT_TRUE(eventually([&] { return !sim.phone->screen().animating(); }));
    auto textOf = [&] { return sim->tools->call("screenshot", json::object())["content"][1]["text"].get<std::string>(); };
    EXPECT_THAT(textOf(), testing::StartsWith("Screenshot 590x1279 (coordinates for tap/swipe are in this space)."));
    sim.phone->screen().setAsleep(true);
    auto black = [&] {
        auto image = sim->capture.latestImage();
        if (!image || image->width() != 1179 || image->height() != 2556)
            return false;
        for (int y = 0; y < image->height(); y += 7)
            for (int x = 0; x < image->width(); x += 5)
                if (image->row(y)[x * 4 + 1] > 8)
                    return false;
        return true;
    };
    EXPECT_TRUE(eventually(black));
    EXPECT_EQ(textOf(), "Screenshot 590x1279 (coordinates for tap/swipe are in this space).\nNo text detected.");
}

TEST(ToolsGeometry, ScreenshotsAreScaledToAShorterSideOf590AndScrollsMoveTheFingerAgainstTheContent) {
    for (auto [width, height, scaled] : {std::tuple{1170, 2532, std::pair{590, 1277}}, {2532, 1170, {1277, 590}},
                                         {1179, 2556, {590, 1279}}, {590, 1280, {590, 1280}}, {400, 800, {400, 800}}})
        EXPECT_EQ(Tools::screenshotSize(width, height), scaled) << width << "x" << height; // never enlarged
    // The amount is kept within 0.1 and 0.8 of the screen; an unknown direction scrolls down.
    for (auto [direction, amount, from, to] : {std::tuple{"down", 0.5, PointD{500, 1500}, PointD{500, 500}},
                                               {"up", 2.0, {500, 200}, {500, 1800}}, {"left", 0.0, {450, 1000}, {550, 1000}},
                                               {"right", 0.5, {750, 1000}, {250, 1000}},
                                               {"sideways", 0.5, {500, 1500}, {500, 500}}})
        EXPECT_EQ(Tools::scrollPath(direction, amount, 1000, 2000), std::pair(from, to)) << direction;
}

TEST(ToolsGeometry, TheScreenshotTextGivesCentresInScreenshotPixels) {
    double ratio = 1170.0 / 590;
    EXPECT_EQ(Tools::screenshotText(590, 1277, ratio, {{"Settings", 100, 800, 220, 60}, {"Wi-Fi", 0, 0, 1, 1}}, true),
              "Screenshot 590x1277 (coordinates for tap/swipe are in this space).\n"
              "On-screen text (centre points):\n\"Settings\" @ (105, 418)\n\"Wi-Fi\" @ (0, 0)");
    EXPECT_EQ(Tools::screenshotText(590, 1277, ratio, {}, true),
              "Screenshot 590x1277 (coordinates for tap/swipe are in this space).\nNo text detected.");
    EXPECT_EQ(Tools::screenshotText(590, 1277, ratio, {{"x", 1, 1, 1, 1}}, false),
              "Screenshot 590x1277 (coordinates for tap/swipe are in this space).");
}

TEST(ToolArgumentsTest, ReadLenientlyAndClampBeforeConverting) {
    json args = {{"whole", 5.0}, {"half", 5.5}, {"text", "5"}, {"huge", 1e300}, {"flag", true}, {"negative", -3}};
    EXPECT_EQ(ToolArguments::integer(args, "whole"), 5.0);
    EXPECT_FALSE(ToolArguments::integer(args, "half"));
    EXPECT_EQ(ToolArguments::number(args, "half"), 5.5);
    EXPECT_FALSE(ToolArguments::number(args, "text"));
    EXPECT_FALSE(ToolArguments::boolean(args, "text"));
    EXPECT_EQ(ToolArguments::string(args, "text"), "5");
    EXPECT_EQ(ToolArguments::clampedInteger(args, "huge", 8, 1, 20), 20);
    EXPECT_EQ(ToolArguments::clampedInteger(args, "negative", 8, 0, 20), 0);
    EXPECT_EQ(ToolArguments::clampedInteger(args, "missing", 8, 0, 20), 8);
    EXPECT_EQ(ToolArguments::boolean(args, "flag"), true);
}
