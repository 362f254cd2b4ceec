// The tools agents call: the catalogue that tools/list serves and the execution of tools/call.
//
// Thread contract: every function may run on several request threads at once; the tools keep no state
// between calls.
#pragma once

#include "device/MobileDevice.hpp"
#include "input/Calibration.hpp"
#include "input/FrameDiff.hpp"
#include "platform/Dispatch.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace pokescope {

class ToolProvider;

namespace Tools {

// The four transcription tools, offered only while transcription is turned on.
const std::set<std::string>& transcription();

// Every tool description, in catalogue order.
const nlohmann::json& allDefinitions();
// The served list: all tools, or all but the transcription tools.
const nlohmann::json& definitions(bool transcriptionEnabled);
// The served list for the current settings.
const nlohmann::json& definitions();

// Carries out one tools/call and returns the tool result; never throws.
nlohmann::json call(const std::string& name, const nlohmann::json& arguments);

// {"content": [{"type": "text", "text": s}]}
nlohmann::json text(const std::string& s);
// {"content": [{"type": "text", "text": message}], "isError": true}
nlohmann::json errorResult(const std::string& message);

// The tool layer as the agent server uses it.
std::shared_ptr<ToolProvider> provider();

// What the tools learn from and tell the application model.
struct Environment {
    // The phone the user selected (else the first on USB).
    std::function<std::optional<PhoneInfo>()> selectedPhone;
    // A calibration made by the calibrate tool.
    std::function<void(const Calibration&)> calibrated;
};
void setEnvironment(Environment environment);
// With the simulated phone: what it shows, for the hidden debug_simulator tool (tests drive the whole
// application as an agent and check the phone's own state).
void setSimulatorProbe(std::function<nlohmann::json()> probe);

// Runs one input action; false when `name` is not an action. Throws on bad arguments or a failed gesture.
// `notes` receives text items to show before the screenshot (characters that could not be typed).
bool performAction(const std::string& name, const nlohmann::json& arguments,
                   std::vector<std::string>* notes = nullptr);
// The screenshot result: a JPEG of the frame scaled so its shorter side is 590, and its text.
nlohmann::json screenshot(bool includeText);
// Device pixels per screenshot pixel for the latest frame (1.0 without one, or for frames already small).
double scale();
// Two numeric arguments as device pixels.
PointD point(const nlohmann::json& arguments, const char* xKey, const char* yKey);
std::string statusText();
// Waits until no new frame has come for `still` (counted from the later of the last frame and `since`),
// at most `limit` in all.
void settle(Duration limit, Duration still, TimePoint since);
nlohmann::json batch(const nlohmann::json& arguments);
// The transcription tools.
nlohmann::json transcribe(const nlohmann::json& arguments);
nlohmann::json startListening(const nlohmann::json& arguments);
nlohmann::json getTranscript(const nlohmann::json& arguments);
nlohmann::json stopListening();
nlohmann::json scrollTo(const nlohmann::json& arguments);

// Pure pieces, exposed for tests.
// The screenshot's size for a frame of `width` × `height`.
std::pair<int, int> screenshotSize(int width, int height);
// From and to of a scroll in device pixels.
std::pair<PointD, PointD> scrollPath(const std::string& direction, double amount, int width, int height);
// The text part of a screenshot result.
struct Item {
    std::string text;
    int x, y, width, height;
};
std::string screenshotText(int shotWidth, int shotHeight, double ratio, const std::vector<Item>& items,
                           bool includeText);

} // namespace Tools

// Lenient argument reading: a value of the wrong JSON type counts as absent.
namespace ToolArguments {
std::optional<double> number(const nlohmann::json& arguments, const char* key);
// A number without a fractional part (5.0 counts), as a double so that huge values clamp safely.
std::optional<double> integer(const nlohmann::json& arguments, const char* key);
std::optional<std::string> string(const nlohmann::json& arguments, const char* key);
std::optional<bool> boolean(const nlohmann::json& arguments, const char* key);
// A number clamped to [low, high] as an int, or `fallback` when absent.
int clampedInteger(const nlohmann::json& arguments, const char* key, int fallback, double low, double high);
} // namespace ToolArguments

// A failure of a tool with its own sentence for the agent.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace pokescope
