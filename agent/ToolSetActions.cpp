// The input actions agents ask for, in the agent's screenshot coordinates, each run as one block on the
// input engine's queue so that no other call's gesture can slip in between a move and its click.
#include "agent/ToolSet.hpp"

#include "capture/ScreenCapture.hpp"
#include "input/InputEngine.hpp"
#include "input/Keymap.hpp"
#include "platform/WaitLedger.hpp"
#include "vision/ScreenText.hpp"

#include <algorithm>
#include <cmath>
#include <thread>

namespace pokescope {

using nlohmann::json;
using namespace ToolArguments;

namespace {

constexpr double kMaxHoldSeconds = 60;
constexpr double kMaxSwipeMs = 10000;
constexpr std::size_t kMaxTypedCharacters = 1000;
constexpr std::size_t kListedTexts = 40;

void sleepMs(double ms) {
    if (ms > 0)
        WaitLedger::sleep(std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(ms)));
}

std::string requiredString(const json& arguments, const char* key, std::size_t maxCharacters = ToolArguments::kMaxString) {
    auto value = string(arguments, key, maxCharacters);
    if (!value)
        throw ToolError(std::string(key) + " is required");
    return *value;
}

} // namespace

ImageRef ToolSet::latestFrame() {
    auto frame = services_.capture.latestImage();
    if (!frame)
        throw InputEngine::InputError(InputEngine::ErrorCase::noScreen);
    return frame;
}


// Moves to `at` with correction, marks the tap and clicks, all in one block on the input queue.
void ToolSet::tapAt(PointD at) {
    auto& engine = services_.input;
    onEngine([&] {
        engine.moveTo(at, true, 0);
        engine.mark({ActionMark::Kind::tap, at, {}, {}});
        engine.click();
    });
}


void ToolSet::tapText(const json& arguments) {
    auto query = string(arguments, "text", ToolArguments::kMaxLabel);
    if (!query || query->empty()) // an empty query would tap the first text on screen
        throw ToolError("text is required");
    int occurrence = clampedInteger(arguments, "occurrence", 1, -1e6, 1e6);
    const auto items = view(latestFrame()).text;
    auto item = ScreenText::find(*query, items, occurrence);
    if (!item) {
        std::string visible;
        for (std::size_t i = 0; i < items.size() && i < kListedTexts; ++i)
            visible += (i ? " | " : "") + items[i].text;
        throw ToolError("No text matching \"" + *query + "\" on screen. Visible text: " + visible);
    }
    tapAt({double(item->x + item->width / 2), double(item->y + item->height / 2)});
}

void ToolSet::typeText(const json& arguments, std::vector<std::string>* notes) {
    std::string text = requiredString(arguments, "text", SIZE_MAX); // its own limit counts what is typed
    auto characters = Keymap::graphemes(text);
    if (characters.size() > kMaxTypedCharacters)
        throw ToolError("text is too long; type at most 1000 characters per call");
    std::string skipped;
    for (const auto& character : characters)
        if (!Keymap::usage(character))
            skipped += character;
    auto& engine = services_.input;
    onEngine([&] {
        engine.type(text);
        if (boolean(arguments, "submit").value_or(false))
            engine.press("return");
    });
    if (!skipped.empty() && notes)
        notes->push_back("Not typed (no US keyboard key): " + skipped + ".");
}

void ToolSet::openApp(const json& arguments) {
    std::string name = requiredString(arguments, "name", ToolArguments::kMaxName);
    auto& engine = services_.input;
    onEngine([&] {
        engine.mark({ActionMark::Kind::text, {}, {}, "Open " + name});
        engine.goHome();
        sleepMs(500);
        engine.press("cmd+space");
        sleepMs(700);
        engine.type(name);
        sleepMs(600);
        engine.press("return");
    });
}

std::pair<int, int> Tools::screenshotSize(int width, int height) {
    int shorter = std::min(width, height);
    if (shorter <= 590)
        return {width, height};
    double ratio = shorter / 590.0;
    int w = static_cast<int>(std::round(width / ratio));
    if (w >= width)
        return {width, height};
    return {w, static_cast<int>(std::round(static_cast<double>(height) * w / width))};
}

double Tools::scaleFor(int width, int height) {
    // A frame already smaller than a screenshot is sent as it is, so its pixels are the agent's pixels.
    return std::max(1.0, std::min(width, height) / 590.0);
}

double ToolSet::scale() {
    auto frame = services_.capture.latestImage();
    return frame ? Tools::scaleFor(frame->width(), frame->height()) : 1.0;
}

PointD ToolSet::point(const json& arguments, const char* xKey, const char* yKey) {
    auto x = number(arguments, xKey), y = number(arguments, yKey);
    if (!x || !y)
        throw ToolError(std::string(xKey) + " and " + yKey + " are required");
    auto frame = services_.capture.latestImage();
    if (frame) {
        auto [w, h] = Tools::screenshotSize(frame->width(), frame->height());
        // Just off the edge still works (edge swipes); a screen or more beyond is a mistake.
        if (*x < -w || *x > 2.0 * w || *y < -h || *y > 2.0 * h)
            throw ToolError("Coordinates are outside the screen (the screenshot is " + std::to_string(w) + "x" +
                            std::to_string(h) + ").");
    }
    double s = scale();
    return {*x * s, *y * s};
}

std::pair<PointD, PointD> Tools::scrollPath(const std::string& direction, double amount, int width, int height) {
    amount = std::clamp(amount, 0.1, 0.8);
    double cx = width / 2.0, cy = height / 2.0;
    double dy = amount * height / 2, dx = amount * width / 2;
    if (direction == "up")
        return {{cx, cy - dy}, {cx, cy + dy}};
    if (direction == "left")
        return {{cx - dx, cy}, {cx + dx, cy}};
    if (direction == "right")
        return {{cx + dx, cy}, {cx - dx, cy}};
    return {{cx, cy + dy}, {cx, cy - dy}};
}

bool ToolSet::performAction(const std::string& name, const json& arguments, std::vector<std::string>* notes) {
    auto& engine = services_.input;
    if (name == "tap") {
        tapAt(point(arguments, "x", "y"));
    } else if (name == "tap_text") {
        tapText(arguments);
    } else if (name == "long_press") {
        PointD at = point(arguments, "x", "y");
        double seconds = number(arguments, "seconds").value_or(1.0);
        if (seconds > kMaxHoldSeconds)
            throw ToolError("seconds must be at most 60");
        seconds = std::max(0.0, seconds);
        onEngine([&] { engine.longPress(at, seconds); });
    } else if (name == "swipe") {
        PointD from = point(arguments, "from_x", "from_y");
        PointD to = point(arguments, "to_x", "to_y");
        auto duration = integer(arguments, "duration_ms").value_or(600);
        if (duration > kMaxSwipeMs)
            throw ToolError("duration_ms must be at most 10000");
        duration = std::max(0.0, duration);
        onEngine([&] { engine.swipe(from, to, duration); });
    } else if (name == "scroll") {
        const auto direction = ToolArguments::oneOf(arguments, "direction", ToolArguments::kDirections, "down");
        auto frame = latestFrame();
        auto path = Tools::scrollPath(direction,
                               number(arguments, "amount").value_or(0.5), frame->width(), frame->height());
        onEngine([&] { engine.swipe(path.first, path.second, 800); });
    } else if (name == "type_text") {
        typeText(arguments, notes);
    } else if (name == "press_key") {
        std::string key = requiredString(arguments, "key", ToolArguments::kMaxKey);
        onEngine([&] { engine.press(key); });
    } else if (name == "open_app") {
        openApp(arguments);
    } else if (name == "wait") {
        // In slices, so that a caller who goes away does not keep a place for the whole wait.
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(clampedInteger(arguments, "ms", 500, 0, 10000));
        for (auto now = std::chrono::steady_clock::now(); now < until; now = std::chrono::steady_clock::now()) {
            if (callCancellation::gone())
                throw InputEngine::InputError(InputEngine::ErrorCase::cancelled);
            WaitLedger::sleep(std::min<Duration>(until - now, std::chrono::milliseconds(50)));
        }
    } else {
        return false;
    }
    return true;
}

} // namespace pokescope
