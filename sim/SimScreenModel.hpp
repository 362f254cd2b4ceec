// The simulated screen's state and behaviour without locking: what is shown, the transitions between
// screens, touches and keys. `SimScreen` wraps one of these in its mutex.
#pragma once

#include "platform/Dispatch.hpp"
#include "sim/SimScreen.hpp"
#include "sim/SimScreenApps.hpp"

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope::sim::detail {

using namespace std::chrono_literals;

// The standard lengths of animations; `Screen::setAnimationTime` changes them.
inline constexpr Duration kTransitionTime = 350ms;
inline constexpr Duration kKeyboardTime = 250ms;
inline constexpr Duration kBlinkPhase = 500ms;
inline constexpr Duration kLongPress = 500ms;     // a touch held this long is a long press, not a tap
inline constexpr Duration kVelocityWindow = 80ms; // the finger's speed at release is measured over this
inline constexpr Duration kFlingPause = 100ms;    // resting this long before lifting leaves no momentum
inline constexpr Duration kFrameTime = 16667us;
inline constexpr double kFlingDecay = 0.998; // velocity kept per millisecond at the standard animation time

double easeOut(double t);

struct Page {
    std::string title;
    double scroll = 0;
};

struct AppState {
    std::string name;
    std::vector<Page> pages; // the first page, then each page pushed on it
};

struct Transition {
    enum class Kind { launch, close, push, pop };
    Kind kind = Kind::launch;
    TimePoint start{};
    Rect icon;        // launch and close: the icon the app grows from or shrinks into
    AppState closing; // close: the app shrinking away
    Page popped;      // pop: the page sliding off
    std::string from; // what location() reports until the transition ends
    Duration length = kTransitionTime;
    double progress(TimePoint t) const;
    TimePoint end() const { return start + length; }
};

struct Fling {
    TimePoint start{};
    double from = 0;
    double velocity = 0; // scroll offset change in px per ms
};

enum class Focus { none, note, search };

// A text field's contents with the caret as a byte offset at a character boundary.
struct TextField {
    std::string text;
    std::size_t caret = 0;
    void insert(std::string_view s);
    void backspace();
    void left();
    void right();
    void up();
    void down();
};

struct Keyboard {
    enum class Layer { letters, numbers, symbols };
    bool shown = false;
    std::optional<TimePoint> changed; // when it last started to slide
    Layer layer = Layer::letters;
    bool shift = false;
    double screenH = 0, height = 0; // the screen's height and the keyboard's
    Duration slideTime = kKeyboardTime;
    // How far it has slid up at `t`: 0 hidden, 1 fully shown.
    double shownFraction(TimePoint t) const;
    bool moving(TimePoint t) const { return changed && t < *changed + slideTime; }
    double top(TimePoint t) const { return screenH - height * shownFraction(t); }
};

struct KeyCap {
    enum class Kind { character, shift, backspace, layer, space, enter };
    Kind kind = Kind::character;
    std::string label;
    Rect rect;
    Keyboard::Layer target = Keyboard::Layer::letters; // what a layer key switches to
};
// The on-screen keyboard's keys, for its current layer and shift, with its top edge at `top`.
std::vector<KeyCap> keyboardKeys(const Geometry& g, const Keyboard& keyboard, double top);

// Spotlight's results for a query: labels containing it (any case), those starting with it first.
std::vector<const AppInfo*> spotlightResults(std::string_view query);
struct SpotlightSlot {
    const AppInfo* app = nullptr;
    Rect icon, row;
    bool topHit = false;
};
// Where each result (or, for an empty query, each suggestion) is drawn and tapped.
std::vector<SpotlightSlot> spotlightSlots(const Geometry& g, std::string_view query);

// Rows of a grouped list in content coordinates (0 at the top of the scrolling area).
struct RowSlot {
    int section = 0, row = 0;
    double y = 0, h = 0;
    bool first = false, last = false;
};
struct HeaderSlot {
    std::string text;
    double baseline = 0;
};
struct ListLayout {
    std::vector<RowSlot> rows;
    std::vector<HeaderSlot> headers;
    Rect search; // the root page's search field
    double height = 0;
};
ListLayout layoutList(const Geometry& g, const PageContent& page);

// Rectangles of the trust prompt, which depend on how its message wraps.
struct AlertLayout {
    Rect box, trust, dontTrust;
    double titleBaseline = 0, messageTop = 0;
};
inline constexpr const char* kTrustTitle = "Trust This Computer?";
inline constexpr const char* kTrustMessage =
    "Your settings and data will be accessible from this computer when connected.";
AlertLayout alertLayout(const Geometry& g, TextCache& texts);
// The label of a Settings page's back button: the page it goes back to, or nothing when the page's title
// leaves room only for the chevron.
std::string settingsBackLabel(const Geometry& g, TextCache& texts, const std::vector<std::string>& path,
                              const std::string& title);
// Where a tap goes back: the chevron and its label, in the navigation bar.
Rect backButtonRect(const Geometry& g, TextCache& texts, const std::string& label);
// Where a tap hits the Done button at the right of a navigation bar: its label and a little around it.
Rect doneButtonRect(const Geometry& g, TextCache& texts);
// The banner's box, and the width its text wraps to.
Rect bannerRect(const Geometry& g, TextCache& texts, const std::string& text);
double bannerWrap(const Geometry& g);

struct Touch {
    enum class Mode { idle, pending, scrolling, back, home, pull, other, ignored };
    struct Sample {
        TimePoint at;
        double x = 0, y = 0;
    };
    Mode mode = Mode::idle;
    double downX = 0, downY = 0, startScroll = 0;
    TimePoint downAt{};
    bool edgeBack = false, edgeHome = false, noTap = false;
    std::vector<Sample> path; // where the finger has been, down point first, one sample per change

    void moved(TimePoint at, double x, double y);
    // The vertical speed in px per ms over the last kVelocityWindow of motion before `liftAt`; zero after
    // a pause of kFlingPause or more.
    double releaseVelocityY(TimePoint liftAt) const;
};

// The menu a long press on a home-screen icon opens.
struct IconMenu {
    int icon = 0;
    Rect box;
    std::vector<Rect> items;
};
inline const std::vector<std::string>& iconMenuItems() {
    static const std::vector<std::string> items{"Share App", "Edit Home Screen", "Remove App"};
    return items;
}
IconMenu iconMenuLayout(const Geometry& g, int icon);

struct Screen {
    explicit Screen(const SimModel& model);

    const Geometry geo;
    TimePoint now{}; // the latest time seen; time never runs backwards
    // The status bar's clock: screen time `wallAnchor` is wall time `wallAtAnchor`, so the clock runs with
    // the times the screen is given rather than with the machine's own clock.
    TimePoint wallAnchor = std::chrono::steady_clock::now();
    std::chrono::system_clock::time_point wallAtAnchor = std::chrono::system_clock::now();
    std::chrono::system_clock::time_point wallTime(TimePoint t) const {
        return wallAtAnchor + std::chrono::duration_cast<std::chrono::system_clock::duration>(t - wallAnchor);
    }

    std::map<std::string, AppState> apps; // every app opened so far keeps its pages
    std::string current;                  // the open app; empty on the home screen
    std::optional<Transition> transition;
    bool spotlight = false;
    Focus focus = Focus::none;
    TextField note, search;
    Keyboard keyboard;
    TimePoint caretEpoch{};
    std::optional<Fling> fling;
    // Page pushes and pops and app launches and closes take this long; the keyboard's slide and a fling's
    // coasting scale with it.
    Duration transitionTime = kTransitionTime;
    double flingDecay = kFlingDecay; // velocity kept per millisecond; 0: no momentum
    void setAnimationTime(Duration length);
    Touch touch;
    SettingsState settings;
    double pointerX = 0, pointerY = 0;
    std::optional<TimePoint> pointerActive; // the last pointer motion or button
    bool pointerWoken = false;              // moved at a time not yet known: counts from the next advance
    bool hardwareKeyboard = false;
    bool dark = false;
    std::optional<int> iconMenu; // the home icon whose long-press menu is open
    std::optional<std::string> banner;
    bool alert = false;
    std::function<void(bool)> trustAnswer;
    bool asleep = false;
    std::optional<TimePoint> playingSince;
    std::function<void(const std::string&)> speech;
    std::function<void(const SimEvent&)> events;
    std::set<std::string> crashing;   // apps that crash as they finish launching
    std::optional<TimePoint> crashAt; // when the app being launched crashes
    // Tells the event handler of `event` once the lock is released.
    void notify(SimEvent event);
    void crash();

    std::vector<std::function<void()>> deferred; // callbacks to run once the lock is released
    long version = 0;                            // changes whenever the whole picture must be redrawn
    TextCache texts;

    void changed() { ++version; }
    // Moves time forward to `t`: ends finished transitions, playback and momentum.
    void advance(TimePoint t);
    bool moving(TimePoint t) const; // a transition, the keyboard or momentum moves the whole picture
    bool animating() const;
    bool playingVisible() const;
    bool caretOn(TimePoint t) const;
    // The pointer disc: shown after motion or while a button is down, hidden after kPointerIdleTime.
    void movePointer(double x, double y, std::optional<TimePoint> at);
    bool discVisible(TimePoint t) const;
    std::optional<TimePoint> discHidesAt() const;
    // When a touch still held becomes a long press, if it can.
    std::optional<TimePoint> longPressAt() const;
    void setHardwareKeyboard(bool connected);

    // Navigation.
    AppState* app();
    const AppState* app() const;
    AppKind appKind() const;
    std::string location() const;
    bool launch(const std::string& name, std::optional<Rect> from);
    void goHome();
    void push(const std::string& title);
    void back();
    void openSpotlight();
    void closeSpotlight();
    void focusField(Focus f);
    void unfocus();
    void updateKeyboard(); // the on-screen keyboard shows for a focused field without a hardware keyboard
    TextField* field();
    const TextField* field() const;
    void wake();
    void play();
    void answerTrust(bool trusted);

    // Settings pages and scrolling.
    std::vector<std::string> settingsPath(const AppState& a, std::size_t depth) const;
    double maxScroll() const;
    void scrollTo(double offset);
    void startFling(double velocity);
    void stepFling(TimePoint t);

    // Touches (SimScreenGestures.cpp).
    void touchDown(double x, double y, TimePoint at);
    void touchMove(double x, double y, TimePoint at);
    void touchUp(double x, double y, TimePoint at);
    void tapAt(double x, double y);
    void longPress();

    // Keys and typing (SimScreenKeys.cpp).
    void keyPress(int usage, int modifiers, TimePoint at);
    void typeText(std::string_view text);
    void pressKey(const KeyCap& key);
    void submit();
    void edited();

private:
    Touch::Mode classifyDrag(double dx, double dy) const;
    void tapHome(double x, double y);
    void tapIconMenu(double x, double y);
    std::optional<int> homeIconAt(double x, double y) const;
    void tapSettings(double x, double y);
    void activateRow(const Row& row, double x);
    void tapNotes(double x, double y);
    void tapPodcasts(double x, double y);
    void tapSpotlight(double x, double y);
    void tapKeyboard(double x, double y);
};

} // namespace pokescope::sim::detail
