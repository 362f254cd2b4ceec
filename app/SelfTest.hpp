// Command-line diagnostics: `pokescope --selftest <mode> [arguments…]` exercises one part of the system
// without the windows, reports through the log (which prints every line) and ends the process: 0 when
// the mode finishes, 1 when the wiggle or the input test times out (or the input test cannot calibrate),
// 2 for an unknown mode.
//
// Modes:
// - "usb": the phones on USB, AssistiveTouch, camera permission, and after 10 s the captured frames,
//   with the latest written to /tmp/pokescope-shot.jpg;
// - "transcribe <file> [language]": the file's speech;
// - "wiggle": two circles of the pointer over Bluetooth once the link is ready;
// - "input": calibration, four targets pointed at and found again, the screen's text, and the frame
//   written to /tmp/pokescope-input.jpg;
// - the drawing modes of SelfTestWindows.
// With --simulate the modes that need a phone run against the simulated one.
//
// Pictures under /tmp are this user's only (0600) and replace whatever has the name, never writing
// through it: a symbolic link planted there is replaced, a folder makes the write fail with a line
// saying so.
//
// Test hooks, read by the self-tests only (a bad value ends the run with a line saying so, status 2):
// - POKESCOPE_SELFTEST_TIMEOUT_SECONDS: seconds (above 0) that replace the wiggle's 120 s and the input
//   test's 240 s time-out, so that a test of the time-out need not wait for it.
// The simulated phone of a --simulate run is what POKESCOPE_SIM describes (see sim::SimSettings); unless it
// says otherwise, a self-test's has AssistiveTouch on, as a phone set up for the pointer has.
#pragma once

#include "app/Entry.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Image.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pokescope::SelfTest {

constexpr const char* kTimeoutVariable = "POKESCOPE_SELFTEST_TIMEOUT_SECONDS";
constexpr const char* kShotPath = "/tmp/pokescope-shot.jpg";
constexpr const char* kInputPicturePath = "/tmp/pokescope-input.jpg";
constexpr int kWiggleSteps = 120;

// Starts the mode on the main queue and runs the main queue; the mode ends the process itself.
void run(const std::string& mode, const std::vector<std::string>& extra, const Entry::Options& options);

// The relative pointer move of wiggle step `step` (0 to 119): (12·cos θ, 12·sin θ) with
// θ = step / 120 × 4π, each truncated toward zero.
std::pair<std::int8_t, std::int8_t> wiggleStep(int step);

// The time-out that the test hook's `text` asks for; none when there is no text. Throws
// std::invalid_argument (with the sentence to show) unless it is a number of seconds above 0.
std::optional<Duration> timeoutFrom(const char* text);

// Writes `image` scaled to at most 600 pixels wide as a JPEG of quality 0.8 to `path` (see above for how).
// None when written, else why not.
std::optional<std::string> writePicture(const ImageRef& image, const std::filesystem::path& path);

} // namespace pokescope::SelfTest
