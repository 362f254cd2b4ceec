// Tools that save the agent round trips: a batch of actions with one screenshot at the end, and scrolling
// until a text shows.
#include "agent/ToolSet.hpp"

#include "capture/ScreenCapture.hpp"
#include "input/InputEngine.hpp"
#include "vision/ScreenText.hpp"

#include <algorithm>

namespace pokescope {

using Tools::errorResult;
using Tools::textItem;

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kMaxActions = 25;
constexpr int kMaxScrolls = 20;

std::string joined(const std::vector<std::string>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i)
        out += (i ? "\n" : "") + lines[i];
    return out;
}

} // namespace

json ToolSet::batch(const json& arguments) {
    auto actions = arguments.find("actions");
    bool usable = actions != arguments.end() && actions->is_array() && !actions->empty() &&
                  std::all_of(actions->begin(), actions->end(), [](const json& a) { return a.is_object(); });
    if (!usable)
        throw ToolError("actions must be a non-empty array of {tool, arguments}");
    if (actions->size() > kMaxActions)
        throw ToolError("At most 25 actions per batch");

    std::vector<std::string> log, notes;
    bool failed = false;
    TimePoint lastActionEnd{};
    for (std::size_t n = 1; n <= actions->size() && !callCancellation::gone(); ++n) {
        const json& action = (*actions)[n - 1];
        auto tool = ToolArguments::string(action, "tool");
        if (!tool)
            tool = ToolArguments::string(action, "name").value_or("");
        auto args = action.find("arguments");
        if (args == action.end() || !args->is_object())
            args = action.find("args");
        progress("Action " + std::to_string(n) + " of " + std::to_string(actions->size()) + ": " + *tool);
        static const json empty = json::object();
        const json& actionArguments = args != action.end() && args->is_object() ? *args : empty;
        std::string failure;
        try {
            if (!performAction(*tool, actionArguments, &notes))
                failure = *tool + " can't be used in a batch";
        } catch (const std::exception& error) {
            failure = error.what();
        }
        lastActionEnd = std::chrono::steady_clock::now();
        if (!failure.empty()) {
            log.push_back("✗ " + std::to_string(n) + ". " + *tool + ": " + failure + " — stopped here");
            failed = true;
            break;
        }
        log.push_back("✓ " + std::to_string(n) + ". " + *tool);
        if (*tool != "wait" && n < actions->size())
            settle(800ms, kStill, lastActionEnd);
    }
    if (callCancellation::gone()) // nobody is left to read the rest
        return errorResult(InputEngine::InputError::text(InputEngine::ErrorCase::cancelled));
    settle(kSettleLimit, kStill, lastActionEnd);
    for (const auto& note : notes)
        log.push_back(note);
    json result;
    try {
        result = screenshot(true);
    } catch (const std::exception& error) {
        // The actions ran: say so, so that the agent does not repeat them.
        json out = errorResult(error.what());
        out["content"].insert(out["content"].begin(), textItem(joined(log)));
        return out;
    }
    result["content"].insert(result["content"].begin(), textItem(joined(log)));
    if (failed)
        result["isError"] = true;
    return result;
}

json ToolSet::scrollTo(const json& arguments) {
    auto text = ToolArguments::string(arguments, "text", ToolArguments::kMaxLabel);
    if (!text || text->empty())
        throw ToolError("text is required");
    std::string direction = ToolArguments::oneOf(arguments, "direction", ToolArguments::kDirections, "down");
    int max = ToolArguments::clampedInteger(arguments, "max_scrolls", 8, -1e6, 1e6);
    max = std::clamp(max, 1, kMaxScrolls);

    std::optional<std::vector<std::string>> previous;
    auto textsOf = [](const std::vector<TextItem>& items) {
        std::vector<std::string> texts;
        for (const auto& item : items)
            texts.push_back(item.text);
        return texts;
    };
    for (int k = 0;; ++k) {
        // After a drag, the pointer's disc lies where the drag ended, on rows the page before showed lower
        // down and was read on: the text is read as it is, and the pointer steps aside only for the page
        // that holds the text (its screenshot and place come from the page read whole), for the first, and
        // for the last, where a label the disc hides would otherwise be missed for good.
        ImageRef frame = latestFrame();
        std::vector<TextItem> items;
        if (k > 0)
            items = readText(*frame);
        std::vector<std::string> texts = textsOf(items);
        const bool atEnd = k > 0 && previous && texts == *previous;
        if (k == 0 || atEnd || ScreenText::find(*text, items, 1)) {
            auto seen = view(frame, k > 0 ? std::optional(std::move(items)) : std::nullopt);
            frame = seen.frame;
            items = std::move(seen.text);
            if (k == 0)
                texts = textsOf(items);
        }
        if (auto match = ScreenText::find(*text, items, 1)) {
            json result = screenshotOf(frame, items); // the frame the text was found in
            double ratio = Tools::scaleFor(frame->width(), frame->height());
            long cx = static_cast<long>((match->x + match->width / 2) / ratio);
            long cy = static_cast<long>((match->y + match->height / 2) / ratio);
            result["content"].insert(result["content"].begin(),
                                     textItem("Found \"" + match->text + "\" at (" + std::to_string(cx) + ", " +
                                              std::to_string(cy) + ") after " + std::to_string(k) +
                                              " scroll(s)."));
            return result;
        }
        if (atEnd)
            throw ToolError("\"" + *text + "\" not found: reached the end of the list after " + std::to_string(k) +
                            " scroll(s).");
        if (k == max)
            throw ToolError("\"" + *text + "\" not found after " + std::to_string(max) +
                            " scrolls. Try scrolling the other direction or a shorter search text.");
        progress("Scroll " + std::to_string(k + 1) + " of at most " + std::to_string(max) + ", looking for \"" + *text +
                 "\"");
        // A drag over most of the screen that rests before lifting: the list moves by the drag alone and
        // stops at once, instead of coasting for seconds, and consecutive pages still overlap.
        auto path = Tools::scrollPath(direction, kScrollToAmount, frame->width(), frame->height());
        const auto began = std::chrono::steady_clock::now(); // the list moves during the drag, not after it
        onEngine([&] { services_.input.swipe(path.first, path.second, 500, 200); });
        settle(kSettleLimit, kStill, began);
        previous = std::move(texts);
    }
}

} // namespace pokescope
