// The tools agents call: one table of {name, definition, handler} gives both the catalogue that
// tools/list serves and the dispatch of tools/call, so the two cannot drift apart.
//
// Thread contract: `call` may run on several request threads at once; the tools keep no state between
// calls. Every pointer operation runs as one block on the input engine's queue (`onEngine`).
#pragma once

#include "agent/MCPServer.hpp"
#include "device/MobileDevice.hpp"
#include "input/Calibration.hpp"
#include "input/FrameDiff.hpp"
#include "input/InputEngine.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Image.hpp"
#include "vision/ScreenText.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace pokescope {

class AppSettings;
class BluetoothHID;
class PhoneRecords;
class ScreenCapture;
class ScreenRecorder;
class TextRecognizer;
class Transcriber;

// The services the tools act through; each outlives the tool set.
struct ToolServices {
    AppSettings& settings;
    MobileDevice& device;
    ScreenCapture& capture;
    BluetoothHID& hid;
    InputEngine& input;
    TextRecognizer& recognizer;
    ScreenRecorder& recorder;
    Transcriber& transcriber;
    PhoneRecords& records;
};

// A failure of a tool with its own sentence for the agent.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A screenshot that could not be made; its sentence is the agent's.
class ScreenshotError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ToolSet final : public ToolProvider {
public:
    using Handler = std::function<nlohmann::json(const nlohmann::json& arguments)>;
    struct Tool {
        std::string name;
        nlohmann::json definition;
        Handler handler;
    };
    // What the tools learn from the application model.
    struct Environment {
        std::function<std::optional<PhoneInfo>()> selectedPhone; // none: the first phone on USB
        std::function<void(const Calibration&)> calibrated;      // told of each new calibration
    };

    explicit ToolSet(ToolServices services);

    // The definitions tools/list serves: the catalogue, less the transcription tools while transcription
    // is turned off.
    nlohmann::json definitions() override;
    // Runs a tool; every failure becomes a tool result with isError.
    nlohmann::json call(const std::string& name, const nlohmann::json& arguments) override;
    // The same, telling `progress` of calibration samples, scrolls and batch actions.
    nlohmann::json callReporting(const std::string& name, const nlohmann::json& arguments,
                                 const Progress& progress) override;
    // Tells the progress listener of the call running on this thread, if it has one.
    static void progress(const std::string& message);

    void setEnvironment(Environment environment);
    // Simulated runs only: the unlisted debug tools, `probe` describing the simulated phone, and the
    // status line naming the simulated phone's settings (`settings`).
    void addDebugTools(std::function<nlohmann::json()> probe, std::string settings);

    // Every definition of the catalogue, in order, whatever the settings.
    nlohmann::json allDefinitions() const;
    // The listing of a tool that only simulated runs have (debug_*, wait).
    static nlohmann::json debugDefinition(const std::string& name);
    // The four transcription tools, offered only while transcription is turned on.
    static const std::set<std::string>& transcription();

    // Runs `work` as one block on the input engine's queue and returns its result.
    // A call whose client has gone never starts its action, and stops one in progress at its next step.
    template <class F> auto onEngine(F&& work) -> decltype(work()) {
        awaitLinkAtStart();
        auto gone = callCancellation::current();
        return services_.input.queue().sync([&]() -> decltype(work()) {
            InputEngine::Cancellation cancellation(services_.input, gone);
            return work();
        });
    }
    // In the first seconds after start the Bluetooth link is still coming up: a tool called then waits up to
    // `kLinkWait` for it instead of failing at once. A link that is off (never started) is not waited for.
    static constexpr Duration kStartGrace = std::chrono::seconds(20);
    static constexpr Duration kLinkWait = std::chrono::seconds(5);

    // The pieces the tools share; public for the benches.
    nlohmann::json screenshot(bool includeText);
    // A frame and the text read from it.
    struct View {
        ImageRef frame;
        std::vector<TextItem> text;
    };
    // `frame` and its text, read around the pointer: when the pointer's disc lies on text, the pointer steps
    // aside and both are taken from the frame without the disc (the screen as it is, with its text whole).
    // The same frame again (the capture publishes a new one only when the picture changed) is not read again:
    // a tap_text right after a screenshot reads nothing; nor is a frame whose `text` the caller read already.
    View view(ImageRef frame, std::optional<std::vector<TextItem>> text = std::nullopt);
    // The screenshot of `frame`, with `text` as read from it (none: without text).
    nlohmann::json screenshotOf(const ImageRef& frame, const std::optional<std::vector<TextItem>>& text);
    std::string statusText();
    // Runs one input action (also a batch's step); false when `name` is not one.
    bool performAction(const std::string& name, const nlohmann::json& arguments,
                       std::vector<std::string>* notes = nullptr);
    // Device pixels per screenshot pixel for the latest frame.
    double scale();
    // A point of the arguments, in device pixels.
    PointD point(const nlohmann::json& arguments, const char* xKey, const char* yKey);
    // Waits until the screen has shown no change for `still` since `since` (see Stillness), at
    // most `limit`.
    void settle(Duration limit, Duration still, TimePoint since);
    // The longest wait for the screen to come to rest after an action, before its screenshot: page pushes
    // and app launches end well within it, a long fling's coasting too; a screen that never rests (a video)
    // costs no more than this.
    static constexpr Duration kSettleLimit = std::chrono::seconds(3);
    // How long the screen must show no change for a settle to end, counted once the action's last report has
    // had time to show: two frame intervals even at 30 frames a second (a source that sends only changes adds
    // two of its own intervals to prove it), and longer than an app takes to start what a release or a key
    // asks for (a page push, a launch: within a frame or two).
    static constexpr Duration kStill = std::chrono::milliseconds(70);
    // How much of the screen one of scroll_to's drags moves the list (the phone's acceleration may add a
    // quarter): pages overlap by a few rows, so that no label falls between two of them.
    static constexpr double kScrollToAmount = 0.6;
    // How long the settle waits for an action's first change on screen before quiet alone may end it.
    static constexpr Duration kFirstChange = std::chrono::seconds(1);

private:
    void awaitLinkAtStart();
    const TimePoint createdAt_ = std::chrono::steady_clock::now();
    std::vector<Tool> catalogue();
    std::vector<Tool> debugTools(std::function<nlohmann::json()> probe);
    const Tool* find(const std::string& name) const;

    nlohmann::json action(const std::string& name, const nlohmann::json& arguments);
    nlohmann::json calibrate();
    nlohmann::json startRecording(const nlohmann::json& arguments);
    nlohmann::json stopRecording();
    nlohmann::json batch(const nlohmann::json& arguments);
    nlohmann::json scrollTo(const nlohmann::json& arguments);
    nlohmann::json transcribe(const nlohmann::json& arguments);
    nlohmann::json startListening(const nlohmann::json& arguments);
    nlohmann::json getTranscript(const nlohmann::json& arguments);
    nlohmann::json stopListening();
    nlohmann::json listApps(const nlohmann::json& arguments);
    nlohmann::json deviceLog(const nlohmann::json& arguments);
    nlohmann::json crashReports(const nlohmann::json& arguments);
    nlohmann::json deviceInfo();
    // The selected phone, trusted; throws the sentence saying what to do when there is none.
    PhoneInfo trustedPhone();

    ImageRef latestFrame();
    std::vector<TextItem> readText(const Image& frame);
    // `view` without its memory: what was seen, and the frame that now shows it (the frame after a step
    // aside, when the pointer moved).
    std::pair<ImageRef, View> readAround(ImageRef frame, std::optional<std::vector<TextItem>> text);
    std::optional<PhoneInfo> selectedPhone();
    void tapAt(PointD at);
    void tapText(const nlohmann::json& arguments);
    void typeText(const nlohmann::json& arguments, std::vector<std::string>* notes);
    void openApp(const nlohmann::json& arguments);

    ToolServices services_;
    std::vector<Tool> table_;
    mutable std::mutex mutex_; // the environment and the debug tools
    Environment environment_;
    std::vector<Tool> debug_;
    std::string simulated_; // the simulated phone's settings, in simulated runs
    std::mutex viewMutex_;  // the last view and the frame it stands for
    std::pair<ImageRef, View> lastView_;
    // Reading ahead: while a settle proves the screen's last quiet, the frame likely to stay is read on a
    // queue of its own, and reading that frame then waits only for what is left of it.
    void readAhead(ImageRef frame);
    std::mutex aheadMutex_; // the frame read ahead and its reading
    ImageRef aheadFrame_;
    std::shared_future<std::vector<TextItem>> ahead_;
    DispatchQueue aheadQueue_{"pokescope.read-ahead"}; // last: it goes first, finishing the frame it reads
};

// The pure pieces of the tools' results.
namespace Tools {

// {"content": [{"type": "text", "text": s}]}, a whole tool result.
nlohmann::json text(const std::string& s);
// A text result with isError.
nlohmann::json errorResult(const std::string& message);
// {"type": "text", "text": s}, one content item of a tool result.
inline nlohmann::json textItem(const std::string& s) {
    return nlohmann::json{{"type", "text"}, {"text", s}};
}

// The screenshot's size for a frame of `width` × `height`.
std::pair<int, int> screenshotSize(int width, int height);
// Device pixels per screenshot pixel for a frame of this size: frames already small are sent as they are.
double scaleFor(int width, int height);
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
// A string of at most `maxCharacters` (code points); a longer one is refused with a ToolError naming the
// key: every call stays bounded (a name is typed key by key, a text searched on every frame).
constexpr std::size_t kMaxString = 4096;
constexpr std::size_t kMaxName = 100;   // an app's name, typed into Spotlight
constexpr std::size_t kMaxLabel = 200;  // a text to find on screen
constexpr std::size_t kMaxKey = 64;     // a key or combination
inline const std::vector<std::string> kDirections{"up", "down", "left", "right"};
std::optional<std::string> string(const nlohmann::json& arguments, const char* key,
                                  std::size_t maxCharacters = kMaxString);
// One of `values` (or `fallback` when absent); anything else is refused with a ToolError that lists them.
std::string oneOf(const nlohmann::json& arguments, const char* key, const std::vector<std::string>& values,
                  const std::string& fallback);
std::optional<bool> boolean(const nlohmann::json& arguments, const char* key);
// A number clamped to [low, high] as an int, or `fallback` when absent.
int clampedInteger(const nlohmann::json& arguments, const char* key, int fallback, double low, double high);
} // namespace ToolArguments

} // namespace pokescope
