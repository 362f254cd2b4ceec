// The phone's hands: turns taps, swipes, typing and key presses in frame pixels into HID reports. The
// phone never tells where its pointer is, so the engine finds it by wiggling it and differencing captured
// frames, calibrates how far one HID unit moves it, parks it in a known corner before a move (or, with
// adaptive timing, moves from where it last saw it), and checks and corrects where it landed.
//
// Timing: "exact" waits the fixed times the pointer was designed around; "adaptive" (the default) ends
// each of those waits as soon as the captured frames show what it waits for (a report's effect, then a
// still screen), the fixed time being its limit; a search whose frames did not show the pointer is done
// again with the full waits, and calibration always takes them. Waits that frames cannot show (the
// phone's acceleration forgetting a burst of reports, the press of a click) stay fixed in both.
//
// Threads: every operation blocks (it sleeps between reports) and must run on `queue()`
// ("pokescope.input"), one at a time; the accessors may be called from any thread.
#pragma once

#include "capture/Stillness.hpp"
#include "input/Calibration.hpp"
#include "input/FrameDiff.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Image.hpp"
#include "vision/ScreenText.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pokescope {

class BluetoothHID;
class ScreenCapture;

// A mark of an action for the screen recorder's overlay.
struct ActionMark {
    enum class Kind { tap, press, swipe, text };
    Kind kind = Kind::tap;
    PointD point;     // tap, press, swipe start
    PointD end;       // swipe end
    std::string text; // text
    bool operator==(const ActionMark&) const = default;
};

class InputEngine {
public:
    enum class ErrorCase { notConnected, noScreen, notCalibrated, pointerNotFound, tooFast, cancelled };
    struct InputError : std::runtime_error {
        explicit InputError(ErrorCase which);
        ErrorCase which;
        static std::string text(ErrorCase which);
    };
    // A general failure (an unknown key or modifier): its message is the text shown.
    struct GeneralError : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    // The HID link as the engine needs it. `pointer`/`keyboard` write one report and say whether it went.
    struct Link {
        virtual ~Link() = default;
        virtual bool ready() = 0;
        virtual bool pointer(std::uint8_t buttons, int dx, int dy) = 0;
        virtual bool keyboard(std::uint8_t modifiers, const std::vector<std::uint8_t>& usages) = 0;
    };
    // The latest captured frame and when it arrived (on the clock of `Timer::now`).
    struct Frames {
        virtual ~Frames() = default;
        struct Latest {
            ImageRef image;
            TimePoint at{};
        };
        virtual Latest latest() = 0;
        // When the source captured its frames; a source that cannot tell leaves `known` false.
        virtual Stillness stillness() {
            Stillness unknown;
            unknown.known = false;
            return unknown;
        }
    };
    // Time for the engine's waits; tests run the engine on a virtual one.
    struct Timer {
        virtual ~Timer() = default;
        virtual TimePoint now() = 0;
        virtual void sleep(Duration duration) = 0;
        static Timer& real();
    };
    enum class Timing { adaptive, exact };

    struct Options {
        std::filesystem::path calibrationFile; // empty: no file
        std::function<void(const std::string&)> log;
        std::function<std::optional<std::string>()> debugDir; // none: no diagnostics
        Timer* timer = nullptr;                                // null: real time
        // The screen's text, for finding a back button; none reads no text.
        std::function<std::vector<TextItem>(const Image&)> readText;
        std::function<Timing()> timing; // none: adaptive
    };

    static constexpr double kArrivalTolerance = 12;
    // The pointer's disc is about a twentieth of the screen's width on every phone.
    static constexpr double kDiscShare = 0.05;
    static constexpr double kFineRange = 700;
    static constexpr int kMoveAttempts = 4;
    static constexpr int kFineRounds = 4;
    static constexpr std::size_t kLandedLimit = 40;
    // How long after a burst of travel the phone's acceleration has forgotten its speed: the rest after a
    // park, and before calibration's single steps.
    static constexpr Duration kForget = std::chrono::milliseconds(350);
    // The least rest between the pointer's last report and a press (adaptive timing).
    static constexpr Duration kClickStill = std::chrono::milliseconds(40);
    // How long a sighting of the pointer stays good enough to move from it instead of parking first.
    static constexpr Duration kSightingLife = std::chrono::seconds(60);

    InputEngine(std::shared_ptr<Link> link, std::shared_ptr<Frames> frames, Options options);
    ~InputEngine();
    InputEngine(const InputEngine&) = delete;
    InputEngine& operator=(const InputEngine&) = delete;

    // While one lives (on the queue, around one action), the action stops at its next report or wait once
    // `flag` is set: what it holds down is released and `cancelled` is thrown. A flag already set throws at
    // once.
    class Cancellation {
    public:
        Cancellation(InputEngine& engine, std::shared_ptr<const std::atomic<bool>> flag);
        ~Cancellation();
        Cancellation(const Cancellation&) = delete;
        Cancellation& operator=(const Cancellation&) = delete;

    private:
        InputEngine& engine_;
    };

    // The engine's view of a HID link and of a screen capture.
    static std::shared_ptr<Link> linkTo(BluetoothHID& hid);
    static std::shared_ptr<Frames> framesOf(ScreenCapture& capture);
    DispatchQueue& queue() { return queue_; }

    // --- state ---------------------------------------------------------------------------------------
    std::optional<Calibration> calibration() const;
    void setCalibration(std::optional<Calibration> calibration);
    std::optional<PointD> pointer() const;
    TimePoint pointerSeenAt() const;
    std::string lastBackMethod() const;
    Timing timing() const;
    std::array<std::vector<std::pair<int, double>>, 2> landed() const;
    void setMarkSink(std::function<void(const ActionMark&)> sink);
    static std::optional<std::string> debugDirFromEnvironment(const std::string& preference);

    // --- detection and calibration (on the queue) ----------------------------------------------------
    // Throws notConnected or noScreen; the frame's width and height.
    std::pair<int, int> requireReady();
    // The pointer was seen recently enough, on a screen of this size, to travel from where it is; or a drag
    // left it where it is `believed` to be.
    std::optional<PointD> sighting(int width, int height, bool& believed) const;
    std::optional<PointD> locatePointer(std::optional<PointD> near);
    void park(bool right);
    // `stepsX` and `stepsY` reports of `step` units each, one at a time, at the slow-motion gain: one axis
    // after the other, or (adaptive timing) both in the same reports while both have steps left, a single
    // step being slow motion on either axis.
    void fineTravel(int stepsX, int stepsY, int step = 1);
    // `progress` is told of each step ("Calibrating: sample 3 of 11", …).
    Calibration calibrate(const std::function<void(const std::string&)>& progress = {});

    // --- moves and gestures (on the queue) -----------------------------------------------------------
    // Travel at the calibrated speed: with no button held, one axis and then the other after a rest (the
    // calibration measured each alone, from rest), unless `together`: then straight, each report no longer
    // on either axis than one axis's travel step, so that the phone takes it at the speed it was measured.
    void travel(int unitsX, int unitsY, std::uint8_t buttons, bool together = false);
    // Travel with another step size and report interval, for diagnostics: both axes together.
    void debugTravel(int unitsX, int unitsY, int step, int intervalMs);
    int units(double px, int axis, double gain, double offset) const;
    void remember(int units, int axis, double px);
    void moveTo(PointD point, bool correct, std::uint8_t buttons);
    bool fineCorrect(PointD to, PointD from, double gain, int step);
    // The pointer is at the target: 150 ms after the last report (adaptive: what is left of them), button
    // down, 70 ms, button up.
    void click();
    void longPress(PointD at, double seconds);
    // A drag from `from` to `to` over `durationMs`, resting `restMs` before lifting: a rest of 100 ms or more
    // leaves a list no momentum, so it moves by the drag alone and stops at once.
    void swipe(PointD from, PointD to, double durationMs, double restMs = 60);
    // Moves the pointer out of the way of what lies under it, for reading the screen: a sixth of the screen's
    // width sideways, towards the middle, from where it is known to be, then finds it in the move's own
    // frames (or forgets it). False when its place is not known, so that nothing moved.
    bool stepAside();
    // The pointer's place comes from a step aside: reading the screen does not move it again.
    bool steppedAside() const;
    // The longest a recent single report took to show in a captured frame (the link's latency and the
    // phone's next refresh); none before a few were timed.
    std::optional<Duration> reportLag() const;
    void type(const std::string& text);
    void press(const std::string& key);
    void goHome();
    void back();
    // Posts a mark to the recorder.
    void mark(const ActionMark& mark);

private:
    // Where the engine's idea of the pointer comes from: a sighting (and single steps after it), or where a
    // drag should have left it; neither (a park's corner, a guess) is nothing to move from.
    enum class Known { no, seen, believed };
    void log(const std::string& line) const;
    // Waits in slices, so that a cancelled action stops within one.
    void sleep(Duration duration);
    void stopIfCancelled();
    static constexpr Duration kCancelSlice = std::chrono::milliseconds(50);
    void sleepMs(double ms);
    // One report; a passing failure on a ready link is retried once, a lost link releases what is held
    // and throws notConnected.
    void sendPointer(std::uint8_t buttons, int dx, int dy);
    void sendKeyboard(std::uint8_t modifiers, const std::vector<std::uint8_t>& usages);
    // A travel report, one travel interval after the report before it at the earliest.
    void pacedReport(std::uint8_t buttons, int dx, int dy);
    void requireLink();
    Frames::Latest latestFrame();
    // One search by wiggling; `wiggled` tells whether all its nudges were sent and shown.
    std::optional<PointD> wiggle(std::optional<PointD> near, bool& wiggled);
    // With adaptive timing, waits until `done` holds of the captured frames, at most `limit`; exact timing
    // waits the whole limit. True when `done` held.
    bool awaitFrames(Duration limit, const std::function<bool(const Stillness&, TimePoint now)>& done);
    // After a report written at `written`: until a change captured after it has been followed by `still`.
    bool awaitEffect(TimePoint written, Duration limit, Duration still);
    void forgetSighting();
    // After a drag from `start` towards `end`: where it likely ended, as earlier drags went.
    void believeAfterDrag(PointD start, PointD end);
    // One attempt from where the pointer was seen (or is `believed` to be), and one more from where its frames
    // show it when it missed far and `again`; false when it did not land (the caller parks).
    bool moveFrom(PointD from, PointD target, bool believed, bool again);
    // Learns from a move from `from` to `target` that went to `seen`: how moves from a sighting go, or where a
    // drag ended.
    void learnFrom(PointD from, PointD target, PointD seen, PointD planned, bool believed);
    // Learns from a move from a sighting that was planned for `planned` pixels and went from `from` to `seen`.
    void learnRelative(PointD from, PointD seen, PointD planned);
    // Where the frames of a move from `from` show the pointer: its disc appeared between `before` and the
    // first still frame after the move's last report, within `search` pixels of `target` (none: an eighth of
    // the screen's width) and away from `from`. None when they do not show exactly that (no still frame,
    // other changes there, nothing disc-sized): then a wiggle looks.
    std::optional<PointD> seenInMove(const ImageRef& before, PointD from, PointD target,
                                     std::optional<double> search = std::nullopt);
    // Finds the pointer after a move (`seen`, logged as `what` with `units`), then trims or fine-corrects;
    // true when it ends within the arrival tolerance.
    bool checkLanding(PointD target, const std::string& what, const std::string& units, std::optional<PointD>& seen);
    // From where the pointer was seen: trims when it is within the arrival tolerance (adaptive, when a move's
    // own frames showed it there: up to 100 pixels), else fine-corrects when it is within reach of single steps;
    // true when it ends within the tolerance.
    bool finishFrom(PointD target, PointD seen, bool inMove);
    // Until a frame captured after the last report showed its effect and the screen then stayed still for
    // the travel's quiet, at most 500 ms (adaptive timing: and the time that proving quiet takes); true when
    // it did.
    bool awaitTravelShown();
    void noteSighting(PointD seen);
    // The pointer is at `at`, as `known`, on the latest frame's size, now.
    void notePointer(PointD at, Known known);
    // The units that move `px` pixels of travel on one axis along the calibrated curve.
    int unitsFor(double px, int axis) const;
    // After the wiggle's last report: true when the frames show the pointer went back from where the nudged
    // frame `away` shows it to where the frame `home` does.
    bool confirmRestored(const ImageRef& home, const ImageRef& away, PointD found, int sign);
    void keySequence(std::uint8_t modifiers, std::uint8_t usage);
    void writeDebugFrames(const std::string& directory, const std::array<ImageRef, 4>& frames);
    // Single steps for what is left of a miss within the tolerance.
    void trim(PointD target, PointD seen);
    // The units for the next attempt on one axis, from where the last one landed.
    static double estimate(int units, double target, double measured, double origin, double frameSize,
                           double gain, double edgeMargin);

    std::shared_ptr<Link> link_;
    std::shared_ptr<Frames> frames_;
    Options options_;
    Timer& timer_;
    DispatchQueue queue_{"pokescope.input"};
    std::int8_t step_ = 8;
    std::uint32_t stepInterval_ = 8000; // microseconds between travel reports

    mutable std::mutex mutex_; // the fields below, read from other threads
    std::optional<Calibration> calibration_;
    std::optional<PointD> pointer_;
    TimePoint pointerSeenAt_{};
    Known known_ = Known::no; // where pointer_ comes from
    bool aside_ = false;      // pointer_ is where a step aside took it
    std::pair<PointD, PointD> drag_{}; // that drag's start and believed end
    std::array<double, 2> dragRatio_{1.0, 1.0}; // how far drags went on each axis for each pixel planned
    std::pair<int, int> seenOnFrame_{}; // the frame size of that sighting
    TimePoint lastReportAt_{};
    std::pair<TimePoint, TimePoint> parkedAt_{}; // the last park's first and last reports
    bool exactNow_ = false; // the full waits for this search, whatever the setting
    static constexpr std::size_t kLeastLags = 3;
    std::array<Duration, 8> lags_{}; // the last single reports' lags (reportLag); under mutex_
    std::size_t lagCount_ = 0;
    std::array<std::vector<std::pair<int, double>>, 2> landed_;
    // How far moves from a sighting went on each axis for each pixel they were planned for: the phone's
    // acceleration treats them a little differently from travel out of a parked corner.
    std::array<double, 2> relativeRatio_{1.0, 1.0};
    std::array<int, 2> relativeSamples_{0, 0}; // the moves that taught it
    std::string lastBackMethod_;
    std::function<void(const ActionMark&)> markSink_;
    std::uint8_t buttonsHeld_ = 0;
    bool keysHeld_ = false;
    std::shared_ptr<const std::atomic<bool>> cancel_; // on the queue only
};

} // namespace pokescope
