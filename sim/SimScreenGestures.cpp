// Touches: taps, long presses, scrolling drags with momentum, and the edge swipes for back and home.
#include "sim/SimScreenModel.hpp"

#include <cmath>

namespace pokescope::sim::detail {
namespace {

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

IconMenu iconMenuLayout(const Geometry& g, int icon) {
    double width = g.px(750), itemH = g.px(132), gap = g.px(24);
    double labelH = g.labelGap + g.px(48); // the menu leaves the icon's label readable
    Rect r = g.homeIconRect(icon);
    IconMenu menu;
    menu.icon = icon;
    double h = itemH * double(iconMenuItems().size());
    double x = icon % Geometry::kHomeColumns < Geometry::kHomeColumns / 2 ? r.x : r.right() - width;
    // Below the icon, or above it when the icon sits low on the screen.
    double y = r.bottom() + labelH + gap + h <= g.dock.y ? r.bottom() + labelH + gap : r.y - gap - h;
    menu.box = {x, y, width, h};
    for (std::size_t i = 0; i < iconMenuItems().size(); ++i)
        menu.items.push_back({x, y + itemH * double(i), width, itemH});
    return menu;
}

std::optional<int> Screen::homeIconAt(double x, double y) const {
    const auto& grid = homeApps();
    for (std::size_t i = 0; i < grid.size(); ++i)
        if (geo.homeIconHitRect(int(i)).contains(x, y))
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
    touch.edgeBack = x < geo.backEdge;
    touch.edgeHome = geo.homeIndicator && y >= geo.h - geo.homeEdge; // a Home-button phone has no such swipe
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
        return dy > 0 && touch.downY > geo.navBottom && touch.downY < geo.searchPill.y ? Touch::Mode::pull
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
        if (std::hypot(dx, dy) <= geo.tapSlop)
            return;
        touch.mode = classifyDrag(dx, dy);
    }
    switch (touch.mode) {
    case Touch::Mode::back:
        if (dx > geo.edgeSwipe) {
            touch.mode = Touch::Mode::ignored;
            back();
        }
        break;
    case Touch::Mode::home:
        if (-dy > geo.edgeSwipe) {
            touch.mode = Touch::Mode::ignored;
            goHome();
        }
        break;
    case Touch::Mode::pull:
        if (dy > geo.edgeSwipe) {
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
        AlertLayout layout = alertLayout(geo, texts);
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
    if (settings.assistiveTouch && geo.assistiveButtonRect(keyboard.top(now)).contains(x, y))
        return; // the AssistiveTouch button takes the tap
    if (banner && bannerRect(geo, texts, *banner).contains(x, y))
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
    if (geo.homeIconRect(icon).contains(x, y))
        launch(homeApps()[std::size_t(icon)].label, geo.homeIconRect(icon));
}

void Screen::tapHome(double x, double y) {
    if (auto icon = homeIconAt(x, y)) {
        launch(homeApps()[std::size_t(*icon)].label, geo.homeIconRect(*icon));
        return;
    }
    const auto& dock = dockApps();
    for (std::size_t i = 0; i < dock.size(); ++i)
        if (geo.dockIconRect(int(i)).inflated(geo.px(12)).contains(x, y)) {
            launch(dock[i].label, geo.dockIconRect(int(i)));
            return;
        }
    if (geo.searchPill.contains(x, y))
        openSpotlight();
}

void Screen::tapSettings(double x, double y) {
    AppState& a = *app();
    std::vector<std::string> path = settingsPath(a, a.pages.size() - 1);
    PageContent content = settingsPage(path, settings);
    if (y < geo.statusBarH) {
        // Tapping the status bar scrolls back to the top.
        fling.reset();
        scrollTo(0);
        return;
    }
    if (!path.empty() &&
        backButtonRect(geo, texts, settingsBackLabel(geo, texts, path, content.title)).contains(x, y)) {
        back();
        return;
    }
    if (y < geo.navBottom)
        return;
    ListLayout layout = layoutList(geo, content);
    double contentY = y - geo.navBottom + a.pages.back().scroll;
    if (x < geo.groupX || x >= geo.groupX + geo.groupW)
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
        if (x >= geo.rowRight - geo.switchW - geo.px(24)) {
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
    if (backButtonRect(geo, texts, "Notes").contains(x, y)) {
        goHome();
        return;
    }
    if (focus == Focus::note && doneButtonRect(geo, texts).contains(x, y)) {
        unfocus();
        return;
    }
    if (y >= geo.navBottom) // the navigation bar's empty space does nothing
        focusField(Focus::note);
}

void Screen::tapPodcasts(double x, double y) {
    if (backButtonRect(geo, texts, "Library").contains(x, y))
        goHome();
    else if (geo.playButton.contains(x, y))
        play();
}

void Screen::tapSpotlight(double x, double y) {
    if (geo.spotlightCancel.contains(x, y)) {
        closeSpotlight();
        return;
    }
    if (geo.spotlightField.contains(x, y))
        return;
    for (const SpotlightSlot& slot : spotlightSlots(geo, search.text))
        if (slot.row.contains(x, y)) {
            launch(slot.app->label, slot.icon);
            return;
        }
    closeSpotlight();
}

void Screen::tapKeyboard(double x, double y) {
    for (const KeyCap& key : keyboardKeys(geo, keyboard, keyboard.top(now)))
        if (key.rect.inflated(geo.keyGap / 2).contains(x, y)) {
            pressKey(key);
            return;
        }
}

} // namespace pokescope::sim::detail
