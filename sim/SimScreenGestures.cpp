// Touches: taps, long presses, scrolling drags with momentum, and the edge swipes for back and home.
#include "sim/SimScreenModel.hpp"

#include <cmath>

namespace pokescope::sim::detail {
namespace {

const Rect kNotesDone{kW - 300, kStatusBarH, 300, kNavBottom - kStatusBarH};

} // namespace

void Screen::touchDown(double x, double y, TimePoint at) {
    advance(at);
    touch = Touch{};
    touch.downX = x;
    touch.downY = y;
    touch.downAt = now;
    if (asleep) {
        wake();
        touch.mode = Touch::Mode::ignored; // the touch that wakes the phone does nothing else
        return;
    }
    if (transition) {
        touch.mode = Touch::Mode::ignored;
        return;
    }
    touch.mode = Touch::Mode::pending;
    if (fling) {
        fling.reset(); // a touch catches a moving list; it is not a tap
        touch.noTap = true;
    }
    touch.edgeBack = x < 20;
    touch.edgeHome = y >= kH - 40;
    const AppState* a = app();
    touch.startScroll = a ? a->pages.back().scroll : 0;
}

Touch::Mode Screen::classifyDrag(double dx, double dy) const {
    bool vertical = std::abs(dy) >= std::abs(dx);
    if (alert)
        return Touch::Mode::other;
    if (touch.edgeBack && dx > 0 && !vertical && !current.empty() && !spotlight)
        return Touch::Mode::back;
    if (touch.edgeHome && dy < 0 && vertical && (!current.empty() || spotlight))
        return Touch::Mode::home;
    if (!vertical || spotlight)
        return Touch::Mode::other;
    if (current.empty())
        return dy > 0 && touch.downY > kNavBottom && touch.downY < kSearchPill.y ? Touch::Mode::pull
                                                                                 : Touch::Mode::other;
    if (focus != Focus::none && touch.downY >= keyboard.top(now))
        return Touch::Mode::other;
    return Touch::Mode::scrolling;
}

void Screen::touchMove(double x, double y, TimePoint at) {
    advance(at);
    double dx = x - touch.downX, dy = y - touch.downY;
    if (touch.mode == Touch::Mode::pending) {
        if (std::hypot(dx, dy) <= kTapSlop)
            return;
        touch.mode = classifyDrag(dx, dy);
    }
    switch (touch.mode) {
    case Touch::Mode::back:
        if (dx > kEdgeSwipe) {
            touch.mode = Touch::Mode::ignored;
            back();
        }
        break;
    case Touch::Mode::home:
        if (-dy > kEdgeSwipe) {
            touch.mode = Touch::Mode::ignored;
            goHome();
        }
        break;
    case Touch::Mode::pull:
        if (dy > kEdgeSwipe) {
            touch.mode = Touch::Mode::ignored;
            openSpotlight();
        }
        break;
    case Touch::Mode::scrolling:
        scrollTo(touch.startScroll - dy); // the content follows the finger
        break;
    default:
        break;
    }
}

void Screen::touchUp(double x, double y, TimePoint at) {
    touchMove(x, y, at);
    Duration held = now - touch.downAt;
    if (touch.mode == Touch::Mode::pending && held < kTapLimit && !touch.noTap)
        tapAt(touch.downX, touch.downY);
    if (touch.mode == Touch::Mode::scrolling && held < kFlingLimit) {
        double ms = std::max(1.0, std::chrono::duration<double, std::milli>(held).count());
        startFling((touch.downY - y) / ms);
    }
    touch.mode = Touch::Mode::idle;
}

void Screen::tapAt(double x, double y) {
    if (alert) {
        AlertLayout layout = alertLayout(texts);
        if (layout.trust.contains(x, y))
            answerTrust(true);
        else if (layout.dontTrust.contains(x, y))
            answerTrust(false);
        return;
    }
    if (settings.assistiveTouch && kAssistiveButton.contains(x, y))
        return; // the AssistiveTouch button takes the tap
    if (banner && bannerRect(texts, *banner).contains(x, y))
        return;
    if (focus != Focus::none && y >= keyboard.top(now)) {
        tapKeyboard(x, y);
        return;
    }
    if (spotlight) {
        tapSpotlight(x, y);
        return;
    }
    if (current.empty()) {
        tapHome(x, y);
        return;
    }
    switch (appKind()) {
    case AppKind::settings:
        tapSettings(x, y);
        break;
    case AppKind::notes:
        tapNotes(x, y);
        break;
    case AppKind::podcasts:
        tapPodcasts(x, y);
        break;
    case AppKind::plain:
        break;
    }
}

void Screen::tapHome(double x, double y) {
    const auto& grid = homeApps();
    for (std::size_t i = 0; i < grid.size(); ++i)
        if (homeIconRect(int(i)).inflated(12).contains(x, y)) {
            launch(grid[i].label, homeIconRect(int(i)));
            return;
        }
    const auto& dock = dockApps();
    for (std::size_t i = 0; i < dock.size(); ++i)
        if (dockIconRect(int(i)).inflated(12).contains(x, y)) {
            launch(dock[i].label, dockIconRect(int(i)));
            return;
        }
    if (kSearchPill.contains(x, y))
        openSpotlight();
}

void Screen::tapSettings(double x, double y) {
    AppState& a = *app();
    if (a.pages.size() > 1 && kBackButton.contains(x, y)) {
        back();
        return;
    }
    if (y < kNavBottom)
        return;
    PageContent content = settingsPage(settingsPath(a, a.pages.size() - 1), settings);
    ListLayout layout = layoutList(content);
    double contentY = y - kNavBottom + a.pages.back().scroll;
    if (x < kGroupX || x >= kGroupX + kGroupW)
        return;
    for (const RowSlot& slot : layout.rows)
        if (contentY >= slot.y && contentY < slot.y + slot.h) {
            activateRow(content.sections[slot.section].rows[slot.row], x);
            return;
        }
}

void Screen::activateRow(const Row& row, double x) {
    switch (row.style) {
    case RowStyle::link:
        push(row.title);
        break;
    case RowStyle::account:
        push("Apple ID");
        break;
    case RowStyle::toggle:
        // Only the switch itself flips, as on the phone.
        if (x >= kRowRight - kSwitchW - 24) {
            settings.setToggle(row.key, !row.on);
            changed();
        }
        break;
    case RowStyle::check:
        if (settings.network != row.key) {
            settings.network = row.key;
            changed();
        }
        break;
    case RowStyle::value:
    case RowStyle::action:
        break;
    }
}

void Screen::tapNotes(double x, double y) {
    if (kBackButton.contains(x, y) && x < 400) {
        goHome();
        return;
    }
    if (focus == Focus::note && kNotesDone.contains(x, y)) {
        unfocus();
        return;
    }
    if (y >= kNavBottom)
        focusField(Focus::note);
    else
        unfocus();
}

void Screen::tapPodcasts(double x, double y) {
    if (kBackButton.contains(x, y) && x < 400)
        goHome();
    else if (kPlayButton.contains(x, y))
        play();
}

void Screen::tapSpotlight(double x, double y) {
    if (kSpotlightCancel.contains(x, y)) {
        closeSpotlight();
        return;
    }
    if (kSpotlightField.contains(x, y))
        return;
    for (const SpotlightSlot& slot : spotlightSlots(search.text))
        if (slot.row.contains(x, y)) {
            launch(slot.app->label, slot.icon);
            return;
        }
    closeSpotlight();
}

void Screen::tapKeyboard(double x, double y) {
    for (const KeyCap& key : keyboardKeys(keyboard, keyboard.top(now)))
        if (key.rect.inflated(9).contains(x, y)) {
            pressKey(key);
            return;
        }
}

} // namespace pokescope::sim::detail
