// The command-line self-tests. Their pieces (the wiggle's circle, the time-out hook, the pictures under
// /tmp) directly, and each mode as the pokescope executable in a temporary home: exact lines and exit
// statuses, against the simulated phone where one is needed and against this computer's own (phoneless)
// backends where not. The modes write fixed names under /tmp, so these tests run one at a time.
#include "app/SelfTest.hpp"

#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <sys/stat.h>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;
namespace fs = std::filesystem;

namespace {

const fs::path kTestData = "/usr/share/pocketsphinx/test/data";

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info.st_mode;
}

// "HH:MM:SS " at the start of a line.
bool stamped(const std::string& line) {
    if (line.size() < 9)
        return false;
    for (int i : {0, 1, 3, 4, 6, 7})
        if (!std::isdigit(static_cast<unsigned char>(line[i])))
            return false;
    return line[2] == ':' && line[5] == ':' && line[8] == ' ';
}

// A frame as the phone gives it: 1179 × 2556 BGRA with a pattern, so that it encodes to a real picture.
ImageRef phoneFrame(int width = 1179, int height = 2556) {
    auto image = std::make_shared<Image>(width, height, Image::Format::bgra);
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = image->row(y);
        for (int x = 0; x < width; ++x) {
            row[4 * x] = static_cast<std::uint8_t>(x);
            row[4 * x + 1] = static_cast<std::uint8_t>(y);
            row[4 * x + 2] = static_cast<std::uint8_t>((x / 64 + y / 64) % 2 ? 220 : 30);
            row[4 * x + 3] = 255;
        }
    }
    return image;
}

// One finished run of `pokescope --selftest …`.
struct Outcome {
    std::optional<int> status;
    std::string output;
    std::string errors;
    // The log's messages, without their time stamps.
    std::vector<std::string> messages() const {
        std::vector<std::string> found;
        std::istringstream lines(output);
        for (std::string line; std::getline(lines, line);)
            if (stamped(line))
                found.push_back(line.substr(9));
        return found;
    }
    // The messages that start with `prefix`, in order.
    std::vector<std::string> starting(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& message : messages())
            if (message.rfind(prefix, 0) == 0)
                found.push_back(message);
        return found;
    }
    // Where the first message starting with `prefix` is, or -1.
    long indexOf(const std::string& prefix) const {
        auto all = messages();
        for (std::size_t i = 0; i < all.size(); ++i)
            if (all[i].rfind(prefix, 0) == 0)
                return static_cast<long>(i);
        return -1;
    }
};

std::ostream& operator<<(std::ostream& out, const Outcome& run) {
    return out << "status " << (run.status ? std::to_string(*run.status) : "none") << "\n--- output:\n"
               << run.output << "--- errors:\n"
               << run.errors;
}

class SelfTestProcess : public testing::Test {
protected:
    TempHome home;
    TempFolder folder;

    Outcome selftest(const std::vector<std::string>& arguments,
                     const std::vector<std::string>& environment = {}, std::chrono::seconds timeout = 300s) {
        std::vector<std::string> command{binaryPath().string(), "--selftest"};
        command.insert(command.end(), arguments.begin(), arguments.end());
        auto variables = home.environment();
        // Only what a test asks for reaches the child.
        variables.push_back(std::string(SelfTest::kTimeoutVariable) + "=");
        variables.push_back(std::string(SelfTest::kSimulatedPhoneVariable) + "=");
        variables.insert(variables.end(), environment.begin(), environment.end());
        Child child(command, variables);
        Outcome run;
        run.status = child.wait(timeout);
        if (!run.status)
            child.signal(SIGKILL);
        // Whatever is still in the pipes.
        for (std::string before; before != child.output();)
            before = child.output();
        run.output = child.output();
        run.errors = child.errors();
        return run;
    }

    // Runs a tool found on the PATH and expects it to succeed.
    static void tool(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "/usr/bin/env");
        Child child(arguments);
        const auto status = child.wait(120s);
        ASSERT_TRUE(status.has_value() && *status == 0) << arguments[1] << ": " << child.errors();
    }
};

// The fixed picture names under /tmp belong to the test while it runs: whatever was there is set aside
// first and put back afterwards.
class TmpName {
public:
    explicit TmpName(fs::path path) : path_(std::move(path)) {
        std::error_code ignored;
        if (fs::exists(fs::symlink_status(path_))) {
            saved_ = path_;
            saved_ += ".set-aside-by-test";
            fs::remove_all(saved_, ignored);
            fs::rename(path_, saved_);
        }
    }
    ~TmpName() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
        if (!saved_.empty())
            fs::rename(saved_, path_, ignored);
    }
    TmpName(const TmpName&) = delete;
    TmpName& operator=(const TmpName&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
    fs::path saved_;
};

void expectPicture(const fs::path& path, int width, int height) {
    ASSERT_FALSE(fs::is_symlink(path)) << path;
    ASSERT_TRUE(fs::is_regular_file(path)) << path;
    EXPECT_EQ(modeOf(path) & 07777, 0600u) << path;
    const std::string bytes = readFile(path);
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ(bytes.substr(0, 3), std::string("\xFF\xD8\xFF")) << "not a JPEG";
    auto picture = decoded(bytes);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), width);
    EXPECT_EQ(picture->height(), height);
}

int numberAfter(const std::string& text, const std::string& label) {
    auto at = text.find(label);
    return at == std::string::npos ? -1 : std::stoi(text.substr(at + label.size()));
}

} // namespace

// --- the pieces ------------------------------------------------------------------------------------------

TEST(SelfTestWiggle, StepsGoRoundTwoCirclesOfTwelveTruncatedTowardZero) {
    using Step = std::pair<std::int8_t, std::int8_t>;
    // The quarter points of the first circle, and the start of the second.
    EXPECT_EQ(SelfTest::wiggleStep(0), Step(12, 0));
    EXPECT_EQ(SelfTest::wiggleStep(15), Step(0, 12));
    EXPECT_EQ(SelfTest::wiggleStep(30), Step(-12, 0));
    EXPECT_EQ(SelfTest::wiggleStep(45), Step(0, -12));
    EXPECT_EQ(SelfTest::wiggleStep(60), Step(12, 0));
    // θ = 7π/30: 12 cos θ = 8.92 and 12 sin θ = 8.03, truncated, not rounded.
    EXPECT_EQ(SelfTest::wiggleStep(7), Step(8, 8));
    // θ = 23π/30: 12 cos θ = -8.92, truncated toward zero, not down.
    EXPECT_EQ(SelfTest::wiggleStep(23), Step(-8, 8));
    // θ = 37π/30: both negative.
    EXPECT_EQ(SelfTest::wiggleStep(37), Step(-8, -8));
    // The second circle repeats the first (where 12 cos θ or 12 sin θ is a whole number, rounding in the
    // last bit of θ may put a step one unit lower).
    for (int step = 0; step < 60; ++step) {
        auto [x1, y1] = SelfTest::wiggleStep(step);
        auto [x2, y2] = SelfTest::wiggleStep(step + 60);
        EXPECT_LE(std::abs(x1 - x2), 1) << step;
        EXPECT_LE(std::abs(y1 - y2), 1) << step;
    }
}

TEST(SelfTestWiggle, EveryStepIsAShortMoveAndTheCircleComesBackNearItsStart) {
    int sumX = 0, sumY = 0;
    for (int step = 0; step < SelfTest::kWiggleSteps; ++step) {
        auto [dx, dy] = SelfTest::wiggleStep(step);
        EXPECT_LE(std::hypot(dx, dy), 12.0) << step;
        EXPECT_GE(std::hypot(dx, dy), 10.0) << step; // truncation loses less than one unit per axis
        sumX += dx;
        sumY += dy;
    }
    // Two whole circles: the pointer ends within a few units of where it started.
    EXPECT_LE(std::abs(sumX), 4);
    EXPECT_LE(std::abs(sumY), 4);
}

TEST(SelfTestTimeoutHook, TakesPositiveSecondsAndNothingElse) {
    EXPECT_EQ(SelfTest::timeoutFrom(nullptr), std::nullopt);
    EXPECT_EQ(SelfTest::timeoutFrom(""), std::nullopt);
    EXPECT_EQ(SelfTest::timeoutFrom("3"), std::optional<Duration>(seconds(3)));
    EXPECT_EQ(SelfTest::timeoutFrom("0.5"), std::optional<Duration>(milliseconds(500)));
    for (const char* bad : {"0", "-2", "soon", "5s", " 5", "nan", "inf", "1e400", "1e9"}) {
        try {
            SelfTest::timeoutFrom(bad);
            ADD_FAILURE() << "took \"" << bad << "\"";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()),
                      "POKESCOPE_SELFTEST_TIMEOUT_SECONDS needs a number of seconds above 0, not \"" +
                          std::string(bad) + "\"");
        }
    }
}

class SelfTestPicture : public testing::Test {
protected:
    TempFolder folder;
    fs::path file = folder.path() / "pokescope-shot.jpg";
};

TEST_F(SelfTestPicture, APhoneFrameIsWrittenSixHundredWideAsAJpegOnlyThisUserCanRead) {
    EXPECT_EQ(SelfTest::writePicture(phoneFrame(), file), std::nullopt);
    // 2556 × 600 / 1179 = 1300.8
    expectPicture(file, 600, 1301);
}

TEST_F(SelfTestPicture, ANarrowFrameKeepsItsSize) {
    EXPECT_EQ(SelfTest::writePicture(phoneFrame(320, 200), file), std::nullopt);
    expectPicture(file, 320, 200);
}

TEST_F(SelfTestPicture, ALinkPlantedAtTheNameIsReplacedNotWrittenThrough) {
    const fs::path victim = folder.path() / "victim";
    writeFile(victim, "not a picture");
    fs::create_symlink(victim, file);
    EXPECT_EQ(SelfTest::writePicture(phoneFrame(), file), std::nullopt);
    EXPECT_EQ(readFile(victim), "not a picture");
    expectPicture(file, 600, 1301);
}

TEST_F(SelfTestPicture, AFolderAtTheNameIsAFailureThatLosesNothing) {
    fs::create_directory(file);
    writeFile(file / "kept", "kept");
    EXPECT_EQ(SelfTest::writePicture(phoneFrame(), file), std::optional<std::string>("Is a directory"));
    EXPECT_EQ(readFile(file / "kept"), "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 1);
}

TEST_F(SelfTestPicture, NoFrameWritesNothing) {
    EXPECT_EQ(SelfTest::writePicture(nullptr, file), std::optional<std::string>("no frame from the iPhone"));
    EXPECT_EQ(SelfTest::writePicture(std::make_shared<Image>(), file),
              std::optional<std::string>("no frame from the iPhone"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
}

// --- the executable: modes without a phone ---------------------------------------------------------------

TEST_F(SelfTestProcess, AnUnknownModeStartsNothingAndExitsWithTwo) {
    auto run =
        selftest({"frobnicate", "--simulate", "--verbose", "x"}, {"POKESCOPE_SELFTEST_SIM=bluetooth-off"});
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_EQ(run.messages(), std::vector<std::string>{"unknown selftest frobnicate"}) << run;
}

TEST_F(SelfTestProcess, ModeNamesAreExact) {
    for (const char* mode : {"USB", "usb ", "Wiggle"}) {
        auto run = selftest({mode, "--simulate"});
        EXPECT_EQ(run.status, 2) << run;
        EXPECT_EQ(run.messages(), std::vector<std::string>{std::string("unknown selftest ") + mode}) << run;
    }
}

TEST_F(SelfTestProcess, ABadTimeOutHookStopsTheRunBeforeAnythingStarts) {
    auto run = selftest({"wiggle", "--simulate"}, {"POKESCOPE_SELFTEST_TIMEOUT_SECONDS=soon"});
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_EQ(run.messages(),
              std::vector<std::string>{
                  "selftest: POKESCOPE_SELFTEST_TIMEOUT_SECONDS needs a number of seconds above 0, "
                  "not \"soon\""})
        << run;
}

TEST_F(SelfTestProcess, AnUnknownSimulatedPhoneSwitchStopsTheRunBeforeThePhoneIsPluggedIn) {
    auto run = selftest({"usb", "--simulate"}, {"POKESCOPE_SELFTEST_SIM=assistive-touch, wobbly"});
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_EQ(run.messages(),
              std::vector<std::string>{"selftest: POKESCOPE_SELFTEST_SIM: unknown simulated-phone "
                                       "switch \"wobbly\" (known: assistive-touch, assistive-touch-off, bluetooth-off)"})
        << run;
}

TEST_F(SelfTestProcess, TranscribingAMovieWithoutSoundSaysItHasNoAudioTrack) {
    const auto movie = folder.path() / "Pokescope 2026-01-02 at 10.00.00.mp4";
    tool({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=black:s=320x240:r=10:d=1", "-c:v", "libx264",
          movie.string()});
    auto run = selftest({"transcribe", movie.string()});
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_EQ(
        run.starting("selftest "),
        std::vector<std::string>{"selftest transcribe failed: Pokescope 2026-01-02 at 10.00.00.mp4 has no "
                                 "audio track (was it recorded with audio off?)."})
        << run;
}

TEST_F(SelfTestProcess, TranscribingWithoutAPathSaysThereIsNoFile) {
    auto run = selftest({"transcribe"});
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_EQ(run.starting("selftest "), std::vector<std::string>{"selftest transcribe failed: No file at ."})
        << run;
}

TEST_F(SelfTestProcess, TranscribingAHumanReadingGivesItsWordsAndTheLanguageUsed) {
    const auto reading = kTestData / "librivox/sense_and_sensibility_01_austen_64kb-0880.wav";
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
    int heard = 0;
    for (const char* word : {" he ", " was ", " not ", " an ", " ill ", " disposed ", " young ", " man"})
        heard += transcript.find(word) != std::string::npos;
    EXPECT_GE(heard, 5) << transcript;
}

TEST_F(SelfTestProcess, TheSecondArgumentIsTheLanguage) {
    const auto reading = kTestData / "librivox/sense_and_sensibility_01_austen_64kb-0880.wav";
    if (!fs::exists(reading))
        GTEST_SKIP() << "pocketsphinx-testdata is not installed";
    auto run = selftest({"transcribe", reading.string(), "xx-YY", "ignored"});
    EXPECT_EQ(run.status, 0) << run;
    auto lines = run.starting("selftest ");
    ASSERT_EQ(lines.size(), 1u) << run;
    EXPECT_TRUE(lines[0].starts_with("selftest transcribe failed: No offline speech model for xx-YY on this "
                                     "computer. "))
        << lines[0];
}

TEST_F(SelfTestProcess, UsbWithoutAPhoneReportsNoFrameAndWritesNothing) {
    TmpName shot(SelfTest::kShotPath);
    writeFile(shot.path(), "an older picture");
    auto run = selftest({"usb"}, {"USBMUXD_SOCKET_ADDRESS=UNIX:" + (folder.path() / "no-usbmuxd").string()});
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_TRUE(run.starting("selftest phone:").empty()) << run;
    EXPECT_EQ(run.starting("selftest camera permission: ").size(), 1u) << run;
    EXPECT_EQ(run.starting("selftest frames="), std::vector<std::string>{"selftest frames=0 size=0x0"})
        << run;
    EXPECT_EQ(
        run.starting("selftest couldn't write "),
        std::vector<std::string>{"selftest couldn't write /tmp/pokescope-shot.jpg: no frame from the iPhone"})
        << run;
    EXPECT_TRUE(run.starting("selftest wrote").empty()) << run;
    EXPECT_EQ(readFile(shot.path()), "an older picture");
}

// --- the executable: against the simulated phone ---------------------------------------------------------

TEST_F(SelfTestProcess, UsbReportsTheSimulatedPhoneAndReplacesALinkPlantedAtThePicturesName) {
    TmpName shot(SelfTest::kShotPath);
    const auto victim = folder.path() / "victim";
    writeFile(victim, "the test's own file");
    fs::create_symlink(victim, shot.path());

    auto run = selftest({"usb", "--simulate"});
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_EQ(run.starting("selftest phone: "),
              std::vector<std::string>{"selftest phone: Simulated iPhone / iPhone 14 Pro / iOS 17.5.1 / bt "
                                       "a4:c3:f0:85:1d:2e / trusted true"})
        << run;
    EXPECT_EQ(run.starting("selftest AssistiveTouch currently: "),
              std::vector<std::string>{"selftest AssistiveTouch currently: true"})
        << run;
    EXPECT_EQ(run.starting("selftest camera permission: "),
              std::vector<std::string>{"selftest camera permission: true"})
        << run;
    auto frames = run.starting("selftest frames=");
    ASSERT_EQ(frames.size(), 1u) << run;
    EXPECT_GT(numberAfter(frames[0], "frames="), 0) << frames[0];
    EXPECT_TRUE(frames[0].ends_with(" size=1179x2556")) << frames[0];
    EXPECT_EQ(run.starting("selftest wrote "),
              std::vector<std::string>{"selftest wrote /tmp/pokescope-shot.jpg"})
        << run;
    EXPECT_TRUE(run.starting("selftest couldn't").empty()) << run;
    // In the order the mode finds things out: permission before frames, the picture last.
    EXPECT_LT(run.indexOf("selftest camera permission: "), run.indexOf("selftest frames="));
    EXPECT_LT(run.indexOf("selftest frames="), run.indexOf("selftest wrote "));

    EXPECT_EQ(readFile(victim), "the test's own file");
    expectPicture(shot.path(), 600, 1301);
}

TEST_F(SelfTestProcess, UsbSaysWhenAFolderHoldsThePicturesNameAndLeavesItAlone) {
    TmpName shot(SelfTest::kShotPath);
    fs::create_directory(shot.path());
    writeFile(shot.path() / "kept", "kept");

    auto run = selftest({"usb", "--simulate"});
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_EQ(run.starting("selftest couldn't write "),
              std::vector<std::string>{"selftest couldn't write /tmp/pokescope-shot.jpg: Is a directory"})
        << run;
    EXPECT_TRUE(run.starting("selftest wrote").empty()) << run;
    EXPECT_TRUE(fs::is_directory(shot.path()));
    EXPECT_EQ(readFile(shot.path() / "kept"), "kept");
}

TEST_F(SelfTestProcess, WiggleDrawsItsCirclesOnceTheLinkIsReadyThenTakesTheLinkDown) {
    auto run = selftest({"wiggle", "--simulate"});
    EXPECT_EQ(run.status, 0) << run;
    auto done = run.starting("selftest wiggle done, frames=");
    ASSERT_EQ(done.size(), 1u) << run;
    EXPECT_GT(numberAfter(done[0], "frames="), 0) << done[0];
    EXPECT_TRUE(run.starting("selftest wiggle:").empty()) << "reports were lost:\n" << run;
    EXPECT_TRUE(run.starting("selftest timeout").empty()) << run;
    EXPECT_LT(run.indexOf("bluetooth: state ready"), run.indexOf("selftest wiggle done"));
    EXPECT_LT(run.indexOf("selftest wiggle done"), run.indexOf("bluetooth: stopped, SDP record removed"));
}

TEST_F(SelfTestProcess, WiggleWithAPhoneThatNeverConnectsTimesOutAndTakesTheDeviceDown) {
    auto run = selftest({"wiggle", "--simulate"},
                        {"POKESCOPE_SELFTEST_SIM=bluetooth-off", "POKESCOPE_SELFTEST_TIMEOUT_SECONDS=4"});
    EXPECT_EQ(run.status, 1) << run;
    EXPECT_EQ(run.starting("selftest "), std::vector<std::string>{"selftest timeout"}) << run;
    EXPECT_EQ(run.indexOf("bluetooth: state ready"), -1) << run;
    EXPECT_GE(run.indexOf("bluetooth: SDP HID record published"), 0) << run;
    EXPECT_LT(run.indexOf("selftest timeout"), run.indexOf("bluetooth: stopped, SDP record removed")) << run;
}

TEST_F(SelfTestProcess, InputWithAPhoneThatNeverConnectsTimesOutSayingTheLinkIsNotReady) {
    auto run = selftest({"input", "--simulate"},
                        {"POKESCOPE_SELFTEST_SIM=bluetooth-off", "POKESCOPE_SELFTEST_TIMEOUT_SECONDS=4"});
    EXPECT_EQ(run.status, 1) << run;
    EXPECT_EQ(run.starting("selftest "), std::vector<std::string>{"selftest timeout (bluetooth ready=false)"})
        << run;
    EXPECT_LT(run.indexOf("selftest timeout"), run.indexOf("bluetooth: stopped, SDP record removed")) << run;
}

TEST_F(SelfTestProcess, InputWithoutAssistiveTouchCannotCalibrateAndEndsAtOnce) {
    TmpName picture(SelfTest::kInputPicturePath);
    auto run = selftest({"input", "--simulate"}, {"POKESCOPE_SELFTEST_SIM=assistive-touch-off"});
    EXPECT_EQ(run.status, 1) << run;
    EXPECT_EQ(
        run.starting("selftest "),
        std::vector<std::string>{"selftest input error: Couldn't see the pointer. Check AssistiveTouch is on "
                                 "and the iPhone is unlocked."})
        << run;
    EXPECT_LT(run.indexOf("selftest input error: "), run.indexOf("bluetooth: stopped, SDP record removed"))
        << run;
    EXPECT_FALSE(fs::exists(fs::symlink_status(picture.path())));
}

TEST_F(SelfTestProcess, InputCalibratesPointsAtFourTargetsReadsTheScreenAndKeepsTheSavedCalibration) {
    TmpName picture(SelfTest::kInputPicturePath);
    auto run = selftest({"input", "--simulate"});
    EXPECT_EQ(run.status, 0) << run;

    auto calibration = run.starting("selftest calibration ");
    ASSERT_EQ(calibration.size(), 1u) << run;
    double gainX = 0, gainY = 0;
    int parkX = -1, parkY = -1, parsed = 0;
    ASSERT_EQ(std::sscanf(calibration[0].c_str(),
                          "selftest calibration %lf x %lf px/unit, park at %d,%d, fine %n", &gainX, &gainY,
                          &parkX, &parkY, &parsed),
              4)
        << calibration[0];
    ASSERT_GT(parsed, 0) << calibration[0];
    EXPECT_GT(gainX, 0.05);
    EXPECT_GT(gainY, 0.05);
    EXPECT_GE(parkX, 0);
    EXPECT_GE(parkY, 0);
    EXPECT_THAT(calibration[0].substr(static_cast<std::size_t>(parsed)),
                HasSubstr(" px/unit, right park at "));

    // The fractions (0.5, 0.5), (0.25, 0.3), (0.75, 0.7) and (0.5, 0.9) of 1179 × 2556, in this order.
    auto targets = run.starting("selftest target ");
    ASSERT_EQ(targets.size(), 4u) << run;
    // Whole pixels, cut toward zero: 589.5, 294.75, 766.8, 884.25, 1789.2, 2300.4.
    const std::string aimed[] = {"589,1278", "294,766", "884,1789", "589,2300"};
    for (int i = 0; i < 4; ++i) {
        const std::string prefix = "selftest target " + aimed[i] + " -> pointer ";
        ASSERT_TRUE(targets[i].starts_with(prefix)) << targets[i];
        int foundX = 0, foundY = 0, parsedTo = 0;
        double error = -1;
        ASSERT_EQ(std::sscanf(targets[i].c_str() + prefix.size(), "%d,%d error %lf px%n", &foundX, &foundY,
                              &error, &parsedTo),
                  3)
            << targets[i];
        EXPECT_EQ(prefix.size() + static_cast<std::size_t>(parsedTo), targets[i].size()) << targets[i];
        // Where the pointer was found is where the error says it is.
        const auto comma = aimed[i].find(',');
        const double dx = foundX - std::stod(aimed[i].substr(0, comma));
        const double dy = foundY - std::stod(aimed[i].substr(comma + 1));
        EXPECT_NEAR(error, std::hypot(dx, dy), 2.0) << targets[i];
        // Calibrated and corrected moves land close; a pointer found far off is a fault.
        EXPECT_LT(error, 40.0) << targets[i];
    }

    auto ocr = run.starting("selftest OCR ");
    ASSERT_EQ(ocr.size(), 1u) << run;
    const auto label = ocr[0].find(" items: ");
    ASSERT_NE(label, std::string::npos) << ocr[0];
    const int count = numberAfter(ocr[0], "selftest OCR ");
    EXPECT_EQ(std::to_string(count), ocr[0].substr(13, label - 13)) << ocr[0];
    EXPECT_GE(count, 5) << ocr[0];
    const std::string items = ocr[0].substr(label + 8);
    EXPECT_EQ(static_cast<int>(std::count(items.begin(), items.end(), '|')), count - 1) << ocr[0];
    EXPECT_THAT(items, HasSubstr("Settings"));

    EXPECT_EQ(run.starting("selftest wrote "),
              std::vector<std::string>{"selftest wrote /tmp/pokescope-input.jpg"})
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
