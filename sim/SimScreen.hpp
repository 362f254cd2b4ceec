// What the simulated iPhone shows and how touching it behaves: the screen of one phone model (by default
// an iPhone 14 Pro, 1179 × 2556 at 3×, with its Dynamic Island; an SE with a Home button, a notched mini or
// a Pro Max lay the same apps out on their own screens) with a status bar and running clock, a home screen of
// labelled app icons, a Settings app with a long list of real rows and sub-pages, a Notes app with a text
// field and on-screen keyboard, Spotlight, and an app that speaks. With AssistiveTouch on, a translucent
// pointer disc follows the pointer and the AssistiveTouch button sits at the screen edge.
//
// The screen is a model plus a renderer. Input changes the model; `render` brings a persistent BGRA frame
// up to date, redrawing only the regions that changed (the clock, a blinking caret, the pointer disc)
// and the whole screen only while something moves (app launches, pushes, scrolling).
//
// Thread contract: every member may be called from any thread; one internal mutex serialises them.
// Callbacks (`setSpeechHandler`) run on the caller's thread after the mutex is released.
#pragma once

#include "platform/Dispatch.hpp"
#include "platform/Image.hpp"
#include "sim/SimSettings.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pokescope::sim {

// A text drawn on the screen and its box in device pixels: the ground truth for recognition tests.
struct DrawnText {
    std::string text;
    int x = 0, y = 0, width = 0, height = 0;
    // A text of several words: each with its own box, so that what covers part of the text leaves the
    // others readable.
    std::vector<DrawnText> words{};
};

// Something the phone's own software notices, for its system log and crash reports.
struct SimEvent {
    enum class Kind { launched, closed, pageOpened, key, keyboardConnected, keyboardDisconnected, crashed };
    Kind kind = Kind::launched;
    std::string app;              // the app's Home Screen label (launched, closed, pageOpened, crashed)
    std::string page;             // pageOpened: the page's title
    int usage = 0, modifiers = 0; // key
};

class SimScreen {
public:
    // The standard model's screen (an iPhone 14 Pro); `width()` and `height()` give this screen's own.
    static constexpr int kWidth = 1179;
    static constexpr int kHeight = 2556;
    // How long the AssistiveTouch pointer disc stays after the last motion or button.
    static constexpr Duration kPointerIdleTime = std::chrono::seconds(4);

    explicit SimScreen(const SimModel& model = SimModel::standard());
    ~SimScreen();
    SimScreen(const SimScreen&) = delete;
    SimScreen& operator=(const SimScreen&) = delete;

    const SimModel& model() const;
    int width() const { return model().width; }
    int height() const { return model().height; }
    double scale() const { return model().scale; }

    // Brings `frame` (width × height BGRA, kept by the caller between calls) up to date for time `now`:
    // advances animations, scrolling momentum and the caret blink, then redraws what changed. Returns
    // whether any pixel changed. The first call (or a frame of another size) draws everything.
    bool render(Image& frame, TimePoint now);
    // The earliest time at which the picture changes without further input (an animation step, the caret
    // blink, the pointer disc hiding, a held touch turning into a long press, the next minute of the
    // clock); none when it is still.
    std::optional<TimePoint> nextChange(TimePoint now) const;

    // --- input, in device pixels ---------------------------------------------------------------------
    // Where the pointer is (set by the HID host after acceleration and clamping). Moving it shows the
    // AssistiveTouch disc again; the disc hides after kPointerIdleTime without motion or buttons. Without
    // `at`, the move counts from the next time the screen sees (its next render).
    void setPointer(double x, double y);
    // The status bar's clock shows `wall` at screen time `at` and runs on with the screen's times (by
    // default it shows the machine's time).
    void setWallClock(TimePoint at, std::chrono::system_clock::time_point wall);
    void setPointer(double x, double y, TimePoint at);
    std::pair<double, double> pointer() const;
    // Where the last touch went down (the pointer's place at its button press), in device pixels.
    std::pair<double, double> lastTouchDown() const;
    // A finger (the primary button with AssistiveTouch) going down, moving and lifting; a short touch
    // without much movement is a tap, a longer one a long press; movement drags and scrolls, with
    // momentum taken from the finger's speed over its last moments (none after a pause before the lift);
    // a drag from the left edge goes back, from the bottom edge home (not on a phone with a Home button). A
    // home icon held for half a second opens its menu.
    void touchDown(double x, double y, TimePoint at);
    void touchMove(double x, double y, TimePoint at);
    void touchUp(double x, double y, TimePoint at);
    // Convenience for tests: a tap at a point (down and up 80 ms apart).
    void tap(double x, double y, TimePoint at);
    // A key press on the hardware keyboard: a HID usage with modifier bits (0x01 control, 0x02 shift,
    // 0x04 option, 0x08 command). Command+H goes home, Command+Space opens Spotlight, Return submits or
    // opens Spotlight's top hit, Backspace deletes, arrows move; printable keys type into the focused field.
    void keyPress(int usage, int modifiers, TimePoint at);
    // Text typed into the focused text field, if any (tests; the HID host types key by key).
    void typeText(const std::string& text, TimePoint at);

    // --- control (tests and the simulated phone) -------------------------------------------------------
    void goHome(TimePoint at);
    // Opens an app by its home-screen label ("Settings", "Notes", "Podcasts", …), as a tap on its icon
    // would; false when there is no such app.
    bool openApp(const std::string& name, TimePoint at);
    // Shows a banner with `text` near the top of the screen until `hideBanner` (tests of recognition and
    // change detection).
    void showBanner(const std::string& text);
    void hideBanner();
    void setAssistiveTouch(bool on);
    bool assistiveTouch() const;
    // A hardware (Bluetooth) keyboard is connected: a focused field shows its caret but no on-screen
    // keyboard, as on a phone; the keyboard slides up again when it goes away.
    void setHardwareKeyboard(bool connected);
    bool hardwareKeyboard() const;
    // The dark appearance: Settings, Notes, Spotlight, alerts and the keyboard in dark colours with light
    // text, and a dimmed wallpaper.
    void setDarkMode(bool dark);
    bool darkMode() const;
    // How long page pushes and pops and app launches and closes take (350 ms by default); the keyboard's
    // slide and how long a fling coasts scale with it. Zero turns animations and momentum off.
    void setAnimationTime(std::chrono::milliseconds length);
    // Shows the phone's trust prompt ("Trust This Computer?"); `onAnswer(true)` when Trust is tapped.
    void showTrustPrompt(std::function<void(bool trusted)> onAnswer);
    // Locked and dark (asleep); any key or touch wakes it to what it showed before (no passcode), and does
    // nothing else.
    void setAsleep(bool asleep);

    // --- what is shown (tests) -------------------------------------------------------------------------
    // "home", "spotlight", or the open app's name; with a sub-page: "Settings/General/About".
    std::string location() const;
    // The text of the focused field (Notes' note, Spotlight's search), empty when none.
    std::string fieldText() const;
    // Every text drawn in the last rendered frame with its box, in reading order.
    std::vector<DrawnText> drawnTexts() const;
    // True while an animation, fling or transition runs.
    bool animating() const;

    // The speaking app asks for speech to be played (the simulated phone's sound produces it).
    void setSpeechHandler(std::function<void(const std::string& utterance)> handler);
    // Hears what the phone's software notices (launches, pages, keys, a keyboard connecting, crashes), on
    // the thread that caused it, after the screen's lock is released.
    void setEventHandler(std::function<void(const SimEvent&)> handler);
    // These apps crash as they finish launching: the app shrinks back to the Home Screen as a crashed app
    // does, and a `crashed` event follows.
    void setCrashingApps(std::set<std::string> labels);

    // Frame rendering cost control for tests and benchmarks: how many full redraws and partial redraws
    // `render` has made.
    struct RenderStats {
        long fullRedraws = 0;
        long partialRedraws = 0;
    };
    RenderStats renderStats() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pokescope::sim
