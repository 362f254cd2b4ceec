// Going back: tap the screen's back button when one can be read, else swipe from the left edge.
#include "input/InputEngine.hpp"

#include <cmath>

namespace pokescope {

namespace {

constexpr double kChangedAfterTap = 0.03;

std::string trimmed(const std::string& text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    std::size_t start = 0, end = text.size();
    while (start < end && blank(text[start]))
        ++start;
    while (end > start && blank(text[end - 1]))
        --end;
    return text.substr(start, end - start);
}

bool isBackLabel(const std::string& text) {
    std::string t = trimmed(text);
    if (t.starts_with("<") || t.starts_with("‹"))
        return true;
    if (t.size() != 4)
        return false;
    for (std::size_t i = 0; i < 4; ++i)
        if (std::tolower(static_cast<unsigned char>(t[i])) != "back"[i])
            return false;
    return true;
}

} // namespace

void InputEngine::back() {
    auto before = latestFrame().image;
    if (!before)
        throw InputError(ErrorCase::noScreen);
    const int W = before->width(), H = before->height();
    const auto items = options_.readText ? options_.readText(*before) : std::vector<TextItem>{};
    std::optional<PointD> target;
    std::string label;
    for (const auto& item : items) {
        if (!(item.y > static_cast<int>(0.035 * H) && item.y < static_cast<int>(0.13 * H) &&
              item.x < static_cast<int>(0.45 * W)))
            continue;
        if (isBackLabel(item.text)) {
            target = PointD{double(item.x + item.width / 2), double(item.y + item.height / 2)};
            label = item.text;
            break;
        }
    }
    const bool found = target.has_value();
    if (!found)
        target = PointD{0.093 * W, 0.096 * H};
    moveTo(*target, true, 0);
    mark({ActionMark::Kind::text, {}, {}, "Back"});
    mark({ActionMark::Kind::tap, *target, {}, {}});
    const TimePoint clicked = timer_.now(); // a page may change as the press goes down
    click();
    auto changed = [&] {
        auto after = latestFrame().image;
        return after && FrameDiff::changedFraction(*before, *after) > kChangedAfterTap;
    };
    // The tap worked once the screen shows it (adaptive timing looks at each new frame, and stops at the
    // first that does), or not within 700 ms.
    TimePoint looked{};
    const bool shown = awaitFrames(std::chrono::milliseconds(700), [&](const Stillness& facts, TimePoint) {
        if (!facts.changedAfter(clicked) || facts.lastChangeCaptured == looked)
            return false;
        looked = facts.lastChangeCaptured;
        return changed();
    });
    if (shown || changed()) {
        std::lock_guard lock(mutex_);
        lastBackMethod_ = found ? "tapped \"" + label + "\"" : "tapped the back chevron";
        return;
    }
    swipe({4, 0.45 * H}, {0.7 * W, 0.45 * H}, 400);
    std::lock_guard lock(mutex_);
    lastBackMethod_ = "no back button found; tried an edge swipe";
}

} // namespace pokescope
