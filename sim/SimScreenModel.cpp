#include "sim/SimScreenModel.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace pokescope::sim::detail {
namespace {

double fraction(Duration elapsed, Duration total) {
    if (total <= Duration::zero())
        return 1; // no animation: done at once
    return std::clamp(std::chrono::duration<double>(elapsed) / std::chrono::duration<double>(total), 0.0,
                      1.0);
}
double milliseconds(Duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

double easeOut(double t) {
    return 1 - std::pow(1 - std::clamp(t, 0.0, 1.0), 3);
}

double Transition::progress(TimePoint t) const {
    return fraction(t - start, length);
}

double Keyboard::shownFraction(TimePoint t) const {
    double p = changed ? easeOut(fraction(t - *changed, slideTime)) : 1;
    return shown ? p : 1 - p;
}

Screen::Screen(const SimModel& model) : geo(model), pointerX(geo.w / 2), pointerY(geo.h / 2) {
    settings.setModel(model);
    keyboard.screenH = geo.h;
    keyboard.height = geo.keyboardH;
    setAnimationTime(kTransitionTime);
}

void Screen::setAnimationTime(Duration length) {
    length = std::max(length, Duration::zero());
    transitionTime = length;
    keyboard.slideTime = kKeyboardTime * length.count() / kTransitionTime.count();
    // A fling coasts for a time in proportion: its velocity decays as slowly as the animations run.
    flingDecay = length > Duration::zero()
                     ? std::pow(kFlingDecay, kTransitionTime / std::chrono::duration<double>(length))
                     : 0;
}

void Screen::advance(TimePoint t) {
    now = std::max(now, t);
    if (pointerWoken) {
        pointerActive = now;
        pointerWoken = false;
    }
    if (auto at = longPressAt(); at && now >= *at)
        longPress();
    if (transition && now >= transition->end()) {
        transition.reset();
        changed();
    }
    if (playingSince && now >= *playingSince + seconds(kEpisodeSeconds)) {
        playingSince.reset();
        changed();
    }
    if (fling)
        stepFling(now);
    if (crashAt && now >= *crashAt)
        crash();
}

void Screen::notify(SimEvent event) {
    if (events)
        deferred.emplace_back([handler = events, event = std::move(event)] { handler(event); });
}

// The app dies as it finishes launching: it shrinks back into its icon, and starts afresh next time.
void Screen::crash() {
    crashAt.reset();
    const AppState* a = app();
    if (!a)
        return;
    const std::string name = a->name;
    transition = Transition{Transition::Kind::close, now, *appIconRect(geo, name), *a, {}, location(), transitionTime};
    current.clear();
    apps.erase(name);
    changed();
    notify({SimEvent::Kind::crashed, name, {}, 0, 0});
}

bool Screen::moving(TimePoint t) const {
    return transition || fling || keyboard.moving(t);
}

bool Screen::animating() const {
    return moving(now) || playingSince.has_value();
}

bool Screen::playingVisible() const {
    const AppState* a = app();
    return playingSince && a && a->name == "Podcasts" && !transition && !spotlight;
}

bool Screen::caretOn(TimePoint t) const {
    if (focus == Focus::none || t < caretEpoch)
        return focus != Focus::none;
    return ((t - caretEpoch) / kBlinkPhase) % 2 == 0;
}

void Screen::movePointer(double x, double y, std::optional<TimePoint> at) {
    pointerX = x;
    pointerY = y;
    if (at && *at >= now)
        pointerActive = *at;
    else if (at)
        pointerActive = now; // a late report still shows the pointer from the latest time seen
    else
        pointerWoken = true;
}

bool Screen::discVisible(TimePoint t) const {
    if (!settings.assistiveTouch || asleep)
        return false;
    if (pointerWoken || touch.mode != Touch::Mode::idle)
        return true;
    return pointerActive && t < *pointerActive + SimScreen::kPointerIdleTime;
}

std::optional<TimePoint> Screen::discHidesAt() const {
    if (!settings.assistiveTouch || asleep || pointerWoken || touch.mode != Touch::Mode::idle ||
        !pointerActive)
        return std::nullopt;
    return *pointerActive + SimScreen::kPointerIdleTime;
}

void Screen::setHardwareKeyboard(bool connected) {
    if (hardwareKeyboard == connected)
        return;
    hardwareKeyboard = connected;
    updateKeyboard();
    notify({connected ? SimEvent::Kind::keyboardConnected : SimEvent::Kind::keyboardDisconnected, {}, {}, 0, 0});
}

AppState* Screen::app() {
    auto it = current.empty() ? apps.end() : apps.find(current);
    return it == apps.end() ? nullptr : &it->second;
}

const AppState* Screen::app() const {
    auto it = current.empty() ? apps.end() : apps.find(current);
    return it == apps.end() ? nullptr : &it->second;
}

AppKind Screen::appKind() const {
    const AppInfo* info = current.empty() ? nullptr : findApp(current);
    return info ? info->kind : AppKind::plain;
}

std::string Screen::location() const {
    if (transition)
        return transition->from;
    if (spotlight)
        return "spotlight";
    const AppState* a = app();
    if (!a)
        return "home";
    std::string where;
    for (const Page& p : a->pages)
        where += (where.empty() ? "" : "/") + p.title;
    return where;
}

bool Screen::launch(const std::string& name, std::optional<Rect> from) {
    const AppInfo* info = findApp(name);
    if (!info)
        return false;
    std::string before = location();
    closeSpotlight();
    unfocus();
    fling.reset();
    iconMenu.reset();
    if (current == name && !transition)
        return true;
    crashAt.reset();
    if (crashing.count(name))
        crashAt = now + transitionTime + std::chrono::milliseconds(150);
    notify({SimEvent::Kind::launched, name, {}, 0, 0});
    AppState& state = apps[name];
    if (state.pages.empty())
        state = {name, {{name, 0}}};
    current = name;
    transition = Transition{Transition::Kind::launch,
                            now,
                            from.value_or(*appIconRect(geo, name)),
                            {},
                            {},
                            before,
                            transitionTime};
    changed();
    return true;
}

void Screen::goHome() {
    std::string before = location();
    closeSpotlight();
    unfocus();
    fling.reset();
    if (iconMenu) {
        iconMenu.reset();
        changed();
    }
    crashAt.reset();
    const AppState* a = app();
    if (!a)
        return;
    notify({SimEvent::Kind::closed, a->name, {}, 0, 0});
    transition =
        Transition{Transition::Kind::close, now, *appIconRect(geo, a->name), *a, {}, before, transitionTime};
    current.clear();
    changed();
}

void Screen::push(const std::string& title) {
    AppState* a = app();
    if (!a)
        return;
    std::string before = location();
    fling.reset();
    a->pages.push_back({title, 0});
    transition = Transition{Transition::Kind::push, now, {}, {}, {}, before, transitionTime};
    changed();
    notify({SimEvent::Kind::pageOpened, a->name, title, 0, 0});
}

void Screen::back() {
    AppState* a = app();
    if (!a || a->pages.size() == 1) // an app's first page has nothing to go back to
        return;
    std::string before = location();
    fling.reset();
    Page popped = a->pages.back();
    a->pages.pop_back();
    transition = Transition{Transition::Kind::pop, now, {}, {}, popped, before, transitionTime};
    changed();
}

void Screen::openSpotlight() {
    if (spotlight)
        return;
    fling.reset();
    iconMenu.reset();
    spotlight = true;
    search = {};
    focusField(Focus::search);
    changed();
}

void Screen::closeSpotlight() {
    if (!spotlight)
        return;
    spotlight = false;
    if (focus == Focus::search)
        unfocus();
    changed();
}

void Screen::focusField(Focus f) {
    if (focus == f)
        return;
    focus = f;
    updateKeyboard();
    keyboard.shift = false;
    keyboard.layer = Keyboard::Layer::letters;
    if (f == Focus::note)
        note.caret = note.text.size();
    caretEpoch = now;
    changed();
}

void Screen::unfocus() {
    if (focus == Focus::none)
        return;
    focus = Focus::none;
    updateKeyboard();
    changed();
}

void Screen::updateKeyboard() {
    bool wanted = focus != Focus::none && !hardwareKeyboard;
    if (keyboard.shown == wanted)
        return;
    keyboard.shown = wanted;
    keyboard.changed = now;
    changed();
}

TextField* Screen::field() {
    return const_cast<TextField*>(std::as_const(*this).field());
}

const TextField* Screen::field() const {
    switch (focus) {
    case Focus::note:
        return &note;
    case Focus::search:
        return &search;
    case Focus::none:
        break;
    }
    return nullptr;
}

void Screen::wake() {
    asleep = false;
    changed();
}

void Screen::play() {
    if (playingSince)
        return;
    playingSince = now;
    // The handler is copied now so a later setSpeechHandler does not race with this utterance.
    deferred.emplace_back([handler = speech] {
        if (handler)
            handler(kEpisodeUtterance);
    });
    changed();
}

void Screen::answerTrust(bool trusted) {
    if (!alert)
        return;
    alert = false;
    deferred.emplace_back([answer = std::move(trustAnswer), trusted] {
        if (answer)
            answer(trusted);
    });
    trustAnswer = nullptr;
    changed();
}

std::vector<std::string> Screen::settingsPath(const AppState& a, std::size_t depth) const {
    std::vector<std::string> path;
    for (std::size_t i = 1; i <= depth && i < a.pages.size(); ++i)
        path.push_back(a.pages[i].title);
    return path;
}

double Screen::maxScroll() const {
    const AppState* a = app();
    if (!a || appKind() != AppKind::settings)
        return 0;
    ListLayout layout = layoutList(geo, settingsPage(settingsPath(*a, a->pages.size() - 1), settings));
    return std::max(0.0, layout.height + geo.bottomInset - (geo.h - geo.navBottom));
}

void Screen::scrollTo(double offset) {
    AppState* a = app();
    if (!a)
        return;
    double clamped = std::clamp(offset, 0.0, maxScroll());
    if (clamped != a->pages.back().scroll) {
        a->pages.back().scroll = clamped;
        changed();
    }
}

void Screen::startFling(double velocity) {
    AppState* a = app();
    if (!a || std::abs(velocity) < geo.flingStop || flingDecay <= 0)
        return;
    double scroll = a->pages.back().scroll;
    if ((velocity < 0 && scroll <= 0) || (velocity > 0 && scroll >= maxScroll()))
        return; // already at the end it would move towards
    fling = Fling{now, scroll, velocity};
}

void Screen::stepFling(TimePoint t) {
    AppState* a = app();
    if (!a || !fling) {
        fling.reset();
        return;
    }
    // Velocity decays by a constant factor every millisecond; the distance is its closed-form integral.
    double lnDecay = std::log(flingDecay);
    double stopAfter = std::log(geo.flingStop / std::abs(fling->velocity)) / lnDecay;
    double elapsed = std::min(milliseconds(t - fling->start), stopAfter);
    double target = fling->from + fling->velocity * (std::pow(flingDecay, elapsed) - 1) / lnDecay;
    double limit = maxScroll();
    scrollTo(target);
    if (elapsed >= stopAfter || target <= 0 || target >= limit)
        fling.reset();
}

} // namespace pokescope::sim::detail
