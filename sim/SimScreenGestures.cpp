// Touches: taps, long presses, scrolling drags with momentum, and the edge swipes for back and home.
#include "sim/SimScreenModel.hpp"

#include <cmath>

namespace pokescope::sim::detail {
namespace {

const Rect kNotesDone{kW - 300, kStatusBarH, 300, kNavBottom - kStatusBarH};

double ms(Duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

void Touch::moved(TimePoint at, double x, double y) {
    if (!path.empty() && path.back().x == x && path.back().y == y)
        return; // a finger resting in place reports nothing new
    path.push_back({at, x, y});
    // Only the last moments matter for the speed; one older sample anchors the window.
    while (path.size() > 2 && path[1].at < at - 2 * kVelocityWindow)
        path.erase(path.begin());
}

double Touch::releaseVelocityY(TimePoint liftAt) const {
    if (path.size() < 2 || liftAt - path.back().at > kFlingPause)
        return 0;
    const Sample& last = path.back();
    TimePoint from = last.at - kVelocityWindow;
    TimePoint t0 = path.front().at;
    double y0 = path.front().y;
    for (std::size_t i = path.size() - 1; i > 0; --i) {
        const Sample &a = path[i - 1], &b = path[i];
        if (a.at <= from) {
            double f = b.at > a.at ? ms(from - a.at) / ms(b.at - a.at) : 1;
            t0 = from;
            y0 = a.y + (b.y - a.y) * f;
            break;
        }
    }
    double span = ms(last.at - t0);
    return span > 0 ? (last.y - y0) / span : 0;
}

IconMenu iconMenuLayout(int icon) {
    constexpr double width = 750, itemH = 132, gap = 24;
    constexpr double labelH = kLabelGap + 48; // the menu leaves the icon's label readable
    Rect r = homeIconRect(icon);
    IconMenu menu;
    menu.icon = icon;
    double h = itemH * double(iconMenuItems().size());
    double x = icon % kHomeColumns < kHomeColumns / 2 ? r.x : r.right() - width;
    // Below the icon, or above it when the icon sits low on the screen.
    double y = r.bottom() + labelH + gap + h <= kDockRect.y ? r.bottom() + labelH + gap : r.y - gap - h;
    menu.box = {x, y, width, h};
    for (std::size_t i = 0; i < iconMenuItems().size(); ++i)
        menu.items.push_back({x, y + itemH * double(i), width, itemH});
    return menu;
}

std::optional<int> Screen::homeIconAt(double x, double y) const {
    const auto& grid = homeApps();
    for (std::size_t i = 0; i < grid.size(); ++i)
        if (homeIconRect(int(i)).inflated(12).contains(x, y))
            return int(i);
    return std::nullopt;
}

std::optional<TimePoint> Screen::longPressAt() const {
    // Only home-screen icons answer a long press here; elsewhere a long touch is just not a tap.
    if (touch.mode != Touch::Mode::pending || !current.empty() || spotlight || transition || alert ||
        iconMenu || !homeIconAt(touch.downX, touch.downY))
        return std::nullopt;
    return touch.downAt + kLongPress;
}

void Screen::longPress() {
    touch.mode = Touch::Mode::ignored;
    iconMenu = homeIconAt(touch.downX, touch.downY);
    changed();
}

void Screen::touchDown(double x, double y, TimePoint at) {
    advance(at);
    pointerActive = now;
    touch = Touch{};
    touch.downX = x;
    touch.downY = y;
    touch.downAt = now;
    touch.path.push_back({now, x, y});
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
    if (alert || iconMenu)
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
    if (touch.mode == Touch::Mode::idle)
        return;
    pointerActive = now;
    touch.moved(now, x, y);
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
    if (touch.mode == Touch::Mode::pending && held < kLongPress && !touch.noTap)
        tapAt(touch.downX, touch.downY);
    if (touch.mode == Touch::Mode::scrolling)
        startFling(-touch.releaseVelocityY(now)); // the list keeps the finger's last speed
    touch.mode = Touch::Mode::idle;
    touch.path.clear();
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
    if (iconMenu) {
        tapIconMenu(x, y);
        return;
    }
    if (settings.assistiveTouch && assistiveButtonRect(keyboard.top(now)).contains(x, y))
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

void Screen::tapIconMenu(double x, double y) {
    int icon = *iconMenu;
    iconMenu.reset();
    changed();
    // The lifted icon still opens its app; a menu item or anywhere else closes the menu.
    if (homeIconRect(icon).contains(x, y))
        launch(homeApps()[std::size_t(icon)].label, homeIconRect(icon));
}

void Screen::tapHome(double x, double y) {
    if (auto icon = homeIconAt(x, y)) {
        launch(homeApps()[std::size_t(*icon)].label, homeIconRect(*icon));
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
