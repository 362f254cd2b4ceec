// The command-line self-tests. Their pieces (the wiggle's circle, the time-out hook, the pictures under
// /tmp) directly, and each mode as the pokescope executable in a temporary home: exact lines and exit
// statuses, against the simulated phone where one is needed and against this computer's own (phoneless)
// backends where not. The modes write fixed names under /tmp, so these tests run one at a time.
#include "app/SelfTest.hpp"
#include "sim/SimPhone.hpp"

#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <sstream>
#include <sys/stat.h>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::MatchesRegex;
namespace fs = std::filesystem;

namespace {

// A frame as the phone gives it: 1179 × 2556 BGRA with a pattern, so that it encodes to a real picture.
ImageRef phoneFrame(int width = 1179, int height = 2556) {
    auto image = std::make_shared<Image>(width, height, Image::Format::bgra);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = image->row(y) + 4 * x;
            p[0] = std::uint8_t(x), p[1] = std::uint8_t(y), p[2] = (x / 64 + y / 64) % 2 ? 220 : 30, p[3] = 255;
        }
    return image;
}

// One finished run of `pokescope --selftest …`.
struct Outcome {
    std::optional<int> status;
    std::string output, errors;
    // The log's messages: lines that start "HH:MM:SS ", without it.
    std::vector<std::string> messages() const {
        std::vector<std::string> found;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);)
            if (std::regex_match(line, std::regex(R"(\d\d:\d\d:\d\d .*)")))
                found.push_back(line.substr(9));
        return found;
    }
    // The messages that start with `prefix`, in order.
    std::vector<std::string> starting(const std::string& prefix) const {
        std::vector<std::string> found;
        std::ranges::copy_if(messages(), std::back_inserter(found), [&](auto& m) { return m.starts_with(prefix); });
        return found;
    }
    // Where the first message starting with `prefix` is, or -1.
    long indexOf(const std::string& prefix) const {
        auto all = messages();
        auto at = std::ranges::find_if(all, [&](auto& m) { return m.starts_with(prefix); });
        return at == all.end() ? -1 : at - all.begin();
    }
};

std::ostream& operator<<(std::ostream& out, const Outcome& run) {
    return out << "status " << (run.status ? std::to_string(*run.status) : "none") << "\n--- output:\n" << run.output
               << "--- errors:\n" << run.errors;
}

class SelfTestProcess : public testing::Test {
protected:
    TempHome home;
    TempFolder folder;

    Outcome selftest(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
        std::vector<std::string> command{binaryPath().string(), "--selftest"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        auto variables = home.environment();
        // Only what a test asks for reaches the child.
        variables.push_back(std::string(SelfTest::kTimeoutVariable) + "=");
        variables.push_back(std::string(sim::kSettingsVariable) + "=");
        variables.push_back(std::string(sim::kSettingsVariableAlias) + "=");
        variables.insert(variables.end(), environment.begin(), environment.end());
        Child child(command, variables);
        Outcome run{child.wait(300s), "", ""};
        if (!run.status)
            child.signal(SIGKILL);
        // Whatever is still in the pipes.
        for (std::string before; before != child.output();)
            before = child.output();
        run.output = child.output(), run.errors = child.errors();
        return run;
    }
};

// The fixed picture names under /tmp belong to the test while it runs: whatever was there is set aside
// first and put back afterwards.
class TmpName {
public:
    explicit TmpName(fs::path path) : path_(std::move(path)), saved_(path_.string() + ".set-aside-by-test") {
        fs::remove_all(saved_);
        if (!fs::exists(fs::symlink_status(path_)))
            saved_.clear();
        else
            fs::rename(path_, saved_);
    }
    ~TmpName() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
        if (!saved_.empty())
            fs::rename(saved_, path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_, saved_;
};

void expectPicture(const fs::path& path, int width, int height) {
    ASSERT_FALSE(fs::is_symlink(path)) << path;
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    EXPECT_EQ(info.st_mode & 07777, 0600u) << path;
    const std::string bytes = readFile(path);
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ(bytes.substr(0, 3), std::string("\xFF\xD8\xFF")) << "not a JPEG";
    auto picture = decoded(bytes);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), width);
    EXPECT_EQ(picture->height(), height);
}

} // namespace


TEST(SelfTestWiggle, StepsGoRoundTwoCirclesOfTwelveTruncatedTowardZeroComingBackNearTheStart) {
    // The quarter points of the first circle and the start of the second; at θ = 7π/30 12 cos θ = 8.92 and
    // 12 sin θ = 8.03, truncated, not rounded; at 23π/30 -8.92 is truncated toward zero, not down.
    for (auto [step, x, y] : {std::tuple{0, 12, 0}, {15, 0, 12}, {30, -12, 0}, {45, 0, -12}, {60, 12, 0}, {7, 8, 8},
                              {23, -8, 8}, {37, -8, -8}})
        EXPECT_EQ(SelfTest::wiggleStep(step), (std::pair<std::int8_t, std::int8_t>(x, y))) << step;
    // Every step is a short move (truncation loses less than one unit per axis); the second circle repeats
    // the first (rounding in the last bit of θ may put a step one unit lower); after both the pointer ends
    // within a few units of where it started.
    int sumX = 0, sumY = 0;
    for (int step = 0; step < SelfTest::kWiggleSteps; ++step) {
        auto [dx, dy] = SelfTest::wiggleStep(step);
        EXPECT_TRUE(std::hypot(dx, dy) <= 12.0 && std::hypot(dx, dy) >= 10.0) << step;
        if (step < 60) {
            auto [x2, y2] = SelfTest::wiggleStep(step + 60);
            EXPECT_TRUE(std::abs(dx - x2) <= 1 && std::abs(dy - y2) <= 1) << step;
        }
        sumX += dx;
        sumY += dy;
    }
    EXPECT_LE(std::abs(sumX), 4);
    EXPECT_LE(std::abs(sumY), 4);
}

TEST(SelfTestTimeoutHook, TakesPositiveSecondsAndNothingElse) {
    EXPECT_TRUE(!SelfTest::timeoutFrom(nullptr) && !SelfTest::timeoutFrom(""));
    EXPECT_EQ(SelfTest::timeoutFrom("3"), std::optional<Duration>(seconds(3)));
    EXPECT_EQ(SelfTest::timeoutFrom("0.5"), std::optional<Duration>(milliseconds(500)));
    for (const char* bad : {"0", "-2", "soon", "5s", " 5", "nan", "inf", "1e400", "1e9"}) {
        try {
            SelfTest::timeoutFrom(bad);
            ADD_FAILURE() << "took \"" << bad << "\"";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(e.what(), "POKESCOPE_SELFTEST_TIMEOUT_SECONDS needs a number of seconds above 0, not \"" + std::string(bad) + "\"");
        }
    }
}

TEST(SelfTestPicture, IsWrittenAtMostSixHundredWideAsAJpegOnlyThisUserCanReadReplacingALinkButNotAFolder) {
    TempFolder folder;
    const fs::path file = folder.path() / "pokescope-shot.jpg", victim = folder.path() / "victim";
    EXPECT_EQ(SelfTest::writePicture(nullptr, file), std::optional<std::string>("no frame from the iPhone"));
    EXPECT_EQ(SelfTest::writePicture(std::make_shared<Image>(), file),
              std::optional<std::string>("no frame from the iPhone"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    EXPECT_EQ(SelfTest::writePicture(phoneFrame(320, 200), file), std::nullopt);
    expectPicture(file, 320, 200); // a narrow frame keeps its size
    writeFile(victim, "not a picture");
    fs::remove(file);
    fs::create_symlink(victim, file);
    EXPECT_EQ(SelfTest::writePicture(phoneFrame(), file), std::nullopt);
    EXPECT_EQ(readFile(victim), "not a picture");
    expectPicture(file, 600, 1301); // 2556 × 600 / 1179 = 1300.8
    fs::remove(file);
    fs::create_directory(file);
    writeFile(file / "kept", "kept");
    EXPECT_EQ(SelfTest::writePicture(phoneFrame(), file), std::optional<std::string>("Is a directory"));
    EXPECT_EQ(readFile(file / "kept"), "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 2); // and the victim
}


TEST_F(SelfTestProcess, AnUnknownModeStartsNothingAndExitsWithTwoAndModeNamesAreExact) {
    for (const char* mode : {"frobnicate", "USB", "usb "}) {
        auto run = selftest({mode, "--simulate", "--verbose", "x"}, {"POKESCOPE_SELFTEST_SIM=bluetooth-off"});
        EXPECT_EQ(run.status, 2) << run;
        EXPECT_EQ(run.messages(), std::vector<std::string>{std::string("unknown selftest ") + mode}) << run;
    }
}

TEST_F(SelfTestProcess, ABadTimeOutHookOrSimulatedPhoneSwitchStopsTheRunBeforeAnythingStarts) {
    const std::tuple<const char*, std::string, std::string> rows[] = {
        {"wiggle", "POKESCOPE_SELFTEST_TIMEOUT_SECONDS=soon",
         "selftest: POKESCOPE_SELFTEST_TIMEOUT_SECONDS needs a number of seconds above 0, not \"soon\""},
        {"usb", "POKESCOPE_SELFTEST_SIM=assistive-touch, wobbly",
         "pokescope: POKESCOPE_SELFTEST_SIM: unknown simulated-phone setting \"wobbly\" (known: model=, latency=, "
         "jitter=, fps=, drop=, noise=, tracking=, hid-latency=, hid-jitter=, hid-loss=, animations=, crash-on-open=, "
         "points, dark, adapter, assistive-touch, assistive-touch-off, bluetooth-off)\n"},
        {"input", "POKESCOPE_SIM=model=iphone-12",
         "pokescope: POKESCOPE_SIM: simulated-phone setting model=iphone-12 is not a known model (iphone-se, "
         "iphone-13-mini, iphone-14-pro, iphone-15-pro-max)\n"},
        {"usb", "POKESCOPE_SIM=latency=-5",
         "pokescope: POKESCOPE_SIM: simulated-phone setting latency=-5 is not a whole number of milliseconds from 0 "
         "to 2000\n"}};
    for (const auto& [mode, variable, message] : rows) {
        auto run = selftest({mode, "--simulate"}, {variable});
        EXPECT_EQ(run.status, 2) << run;
        if (message.starts_with("pokescope: ")) { // the phone's settings are refused before the log starts
            EXPECT_TRUE(run.messages().empty()) << run;
            EXPECT_EQ(run.errors, message) << run;
        } else {
            EXPECT_EQ(run.messages(), std::vector<std::string>{message}) << run;
        }
    }
}

TEST_F(SelfTestProcess, TranscribingAHumanReadingGivesItsWordsAndTheLanguageUsed) {
    const fs::path reading = "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0880.wav";
    if (!fs::exists(reading))
        GTEST_SKIP() << "pocketsphinx-testdata is not installed";
    auto run = selftest({"transcribe", reading.string()}, {"LANG=C", "LC_ALL=", "LC_MESSAGES="});
    EXPECT_EQ(run.status, 0) << run;
    // The header line, then the transcript's timed rows on the lines that follow it.
    auto header = run.output.find(" selftest transcript (en-US):\n");
    ASSERT_NE(header, std::string::npos) << run;
    std::string transcript = run.output.substr(run.output.find('\n', header) + 1);
    EXPECT_TRUE(transcript.starts_with("[00:00] ")) << transcript;
    // "he was not an ill disposed young man": most of it is heard.
    EXPECT_GE(std::ranges::count_if(std::vector<std::string>{" he ", " was ", " not ", " an ", " ill ", " disposed ", " young ", " man"},
                                    [&](const std::string& word) { return transcript.find(word) != std::string::npos; }),
              5)
        << transcript;
}

TEST_F(SelfTestProcess, TheSecondArgumentIsTheLanguageAndAFailureEndsWithOne) {
    auto run = selftest({"transcribe", (folder.path() / "none.mp4").string(), "xx-YY", "ignored"});
    EXPECT_EQ(run.status, 1) << run;
    EXPECT_THAT(run.starting("selftest "),
                ElementsAre(testing::StartsWith("selftest transcribe failed: No offline speech model for xx-YY on this computer. ")))
        << run;
}


TEST_F(SelfTestProcess, UsbReportsTheSimulatedPhoneAndReplacesALinkPlantedAtThePicturesNameAndFailsWithoutFrames) {
    TmpName shot(SelfTest::kShotPath);
    const auto victim = folder.path() / "victim";
    writeFile(victim, "the test's own file");
    fs::create_symlink(victim, shot.path());

    auto run = selftest({"usb", "--simulate"});
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_EQ(run.starting("selftest phone: "), std::vector<std::string>{"selftest phone: Simulated iPhone / iPhone 14 Pro / "
                                                                         "iOS 17.5.1 / bt a4:c3:f0:85:1d:2e / trusted true"})
        << run;
    EXPECT_EQ(run.starting("selftest AssistiveTouch currently: "), std::vector<std::string>{"selftest AssistiveTouch currently: true"}) << run;
    EXPECT_EQ(run.starting("selftest camera permission: "), std::vector<std::string>{"selftest camera permission: true"}) << run;
    EXPECT_THAT(run.starting("selftest frames="), ElementsAre(MatchesRegex("selftest frames=[1-9][0-9]* size=1179x2556")))
        << run;
    EXPECT_EQ(run.starting("selftest wrote "), std::vector<std::string>{"selftest wrote /tmp/pokescope-shot.jpg"}) << run;
    EXPECT_TRUE(run.starting("selftest couldn't").empty()) << run;
    // In the order the mode finds things out: permission before frames, the picture last.
    EXPECT_LT(run.indexOf("selftest camera permission: "), run.indexOf("selftest frames="));
    EXPECT_LT(run.indexOf("selftest frames="), run.indexOf("selftest wrote "));

    EXPECT_EQ(readFile(victim), "the test's own file");
    expectPicture(shot.path(), 600, 1301);

    // This computer has no phone of its own: no frames is a failed check.
    auto phoneless = selftest({"usb"});
    EXPECT_EQ(phoneless.status, 1) << phoneless;
    EXPECT_THAT(phoneless.starting("selftest frames="), ElementsAre("selftest frames=0 size=0x0")) << phoneless;
}

TEST_F(SelfTestProcess, WiggleDrawsItsCirclesOnceTheLinkIsReadyThenTakesTheLinkDown) {
    auto run = selftest({"wiggle", "--simulate"});
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_THAT(run.starting("selftest wiggle done, frames="),
                ElementsAre(MatchesRegex("selftest wiggle done, frames=[1-9][0-9]*")))
        << run;
    EXPECT_TRUE(run.starting("selftest wiggle:").empty()) << "reports were lost:\n" << run;
    EXPECT_TRUE(run.starting("selftest timeout").empty()) << run;
    EXPECT_LT(run.indexOf("bluetooth: state ready"), run.indexOf("selftest wiggle done"));
    EXPECT_LT(run.indexOf("selftest wiggle done"), run.indexOf("bluetooth: stopped, SDP record removed"));
}

TEST_F(SelfTestProcess, WiggleWithAPhoneThatNeverConnectsTimesOutAndTakesTheDeviceDown) {
    auto run = selftest({"wiggle", "--simulate"}, {"POKESCOPE_SELFTEST_SIM=bluetooth-off", "POKESCOPE_SELFTEST_TIMEOUT_SECONDS=4"});
    EXPECT_EQ(run.status, 1) << run;
    EXPECT_EQ(run.starting("selftest "), std::vector<std::string>{"selftest timeout"}) << run;
    EXPECT_EQ(run.indexOf("bluetooth: state ready"), -1) << run;
    EXPECT_GE(run.indexOf("bluetooth: SDP HID record published"), 0) << run;
    EXPECT_LT(run.indexOf("selftest timeout"), run.indexOf("bluetooth: stopped, SDP record removed")) << run;
}

TEST_F(SelfTestProcess, InputWithoutAssistiveTouchCannotCalibrateAndEndsAtOnce) {
    TmpName picture(SelfTest::kInputPicturePath);
    auto run = selftest({"input", "--simulate"}, {"POKESCOPE_SELFTEST_SIM=assistive-touch-off"});
    EXPECT_EQ(run.status, 1) << run;
    EXPECT_EQ(run.starting("selftest "), std::vector<std::string>{"selftest input error: Couldn't see the pointer. Check "
                                                                  "AssistiveTouch is on and the iPhone is unlocked."})
        << run;
    EXPECT_LT(run.indexOf("selftest input error: "), run.indexOf("bluetooth: stopped, SDP record removed")) << run;
    EXPECT_FALSE(fs::exists(fs::symlink_status(picture.path())));
}

TEST_F(SelfTestProcess, InputCalibratesPointsAtFourTargetsReadsTheScreenAndKeepsTheSavedCalibration) {
    TmpName picture(SelfTest::kInputPicturePath);
    auto run = selftest({"input", "--simulate"});
    EXPECT_EQ(run.status, 0) << run;
    std::smatch m;
    auto calibration = run.starting("selftest calibration ");
    ASSERT_EQ(calibration.size(), 1u) << run;
    ASSERT_TRUE(std::regex_match(calibration[0], m, std::regex(R"(selftest calibration ([\d.]+) x ([\d.]+) px/unit, )"
                                                               R"(park at \d+,\d+, fine .* px/unit, right park at .*)")))
        << calibration[0];
    EXPECT_GT(std::stod(m[1]), 0.05);
    EXPECT_GT(std::stod(m[2]), 0.05);

    // The fractions (0.5, 0.5), (0.25, 0.3), (0.75, 0.7) and (0.5, 0.9) of 1179 × 2556, in this order, in
    // whole pixels cut toward zero: 589.5, 294.75, 766.8, 884.25, 1789.2, 2300.4.
    auto targets = run.starting("selftest target ");
    ASSERT_EQ(targets.size(), 4u) << run;
    const std::pair<int, int> aimed[] = {{589, 1278}, {294, 766}, {884, 1789}, {589, 2300}};
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(std::regex_match(targets[i], m, std::regex(R"(selftest target (\d+),(\d+) -> pointer (-?\d+),(-?\d+) )"
                                                               R"(error ([\d.]+) px)")))
            << targets[i];
        EXPECT_EQ(std::make_pair(std::stoi(m[1]), std::stoi(m[2])), aimed[i]) << targets[i];
        // Where the pointer was found is where the error says it is; a pointer found far off is a fault.
        const double error = std::stod(m[5]);
        EXPECT_NEAR(error, std::hypot(std::stoi(m[3]) - aimed[i].first, std::stoi(m[4]) - aimed[i].second), 2.0);
        EXPECT_LT(error, 40.0) << targets[i];
    }

    auto ocr = run.starting("selftest OCR ");
    ASSERT_EQ(ocr.size(), 1u) << run;
    ASSERT_TRUE(std::regex_match(ocr[0], m, std::regex(R"(selftest OCR (\d+) items: (.*))"))) << ocr[0];
    const std::string items = m[2];
    EXPECT_GE(std::stoi(m[1]), 5) << ocr[0];
    EXPECT_EQ(std::count(items.begin(), items.end(), '|'), std::stoi(m[1]) - 1) << ocr[0];
    EXPECT_THAT(items, HasSubstr("Settings"));

    EXPECT_EQ(run.starting("selftest wrote "), std::vector<std::string>{"selftest wrote /tmp/pokescope-input.jpg"})
        << run;
    expectPicture(picture.path(), 600, 1301);
    // In this order, and the link taken down before the end.
    EXPECT_LT(run.indexOf("selftest calibration "), run.indexOf("selftest target "));
    EXPECT_LT(run.indexOf("selftest target "), run.indexOf("selftest OCR "));
    EXPECT_LT(run.indexOf("selftest OCR "), run.indexOf("selftest wrote "));
    EXPECT_LT(run.indexOf("selftest wrote "), run.indexOf("bluetooth: stopped, SDP record removed"));
    EXPECT_TRUE(run.starting("selftest input error").empty()) << run;
    // A self-test measures; the calibration the application keeps is not its to replace.
    EXPECT_FALSE(fs::exists(home.path() / ".local/share/pokescope/calibration.json"));
}
