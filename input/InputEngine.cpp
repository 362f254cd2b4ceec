#include "input/InputEngine.hpp"

#include "core/Log.hpp"
#include "bluetooth/BluetoothHID.hpp"
#include "capture/ScreenCapture.hpp"
#include "platform/WaitLedger.hpp"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace pokescope {

namespace {

constexpr int kNudge = 10;
constexpr int kParkReports = 45;
constexpr int kParkStep = 127;
// A screen that shows no change for this long after a nudge's effect shows the nudge alone; after travel,
// whose reports cross the link with their own jitter, longer.
constexpr auto kNudgeStill = std::chrono::milliseconds(40);
constexpr auto kTravelStill = std::chrono::milliseconds(80);
constexpr auto kMaxLagStill = std::chrono::milliseconds(250); // a phone slower to show a report than this
constexpr auto kPoll = std::chrono::milliseconds(5);
// The longest to wait for the wiggle's last report to show before sending it again.
constexpr auto kRestoreLimit = std::chrono::milliseconds(1000);
constexpr long kMovedPixels = 6; // grey pixels at the search's width: less is noise, not a moved disc

struct RealTimer : InputEngine::Timer {
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    void sleep(Duration duration) override { WaitLedger::sleep(duration); }
};

struct HIDLink : InputEngine::Link {
    explicit HIDLink(BluetoothHID& hid) : hid(hid) {}
    bool ready() override { return hid.state() == BluetoothHID::State::ready; }
    bool pointer(std::uint8_t buttons, int dx, int dy) override { return hid.pointer(buttons, dx, dy); }
    bool keyboard(std::uint8_t modifiers, const std::vector<std::uint8_t>& usages) override {
        return hid.keyboard(modifiers, usages);
    }
    BluetoothHID& hid;
};

struct CaptureFrames : InputEngine::Frames {
    explicit CaptureFrames(ScreenCapture& capture) : capture(capture) {}
    Latest latest() override {
        auto snapshot = capture.snapshot();
        return {snapshot.latest, snapshot.lastFrameAt};
    }
    Stillness stillness() override { return capture.stillness(); }
    ScreenCapture& capture;
};

} // namespace

InputEngine::InputError::InputError(ErrorCase which) : std::runtime_error(text(which)), which(which) {}

std::string InputEngine::InputError::text(ErrorCase which) {
    switch (which) {
    case ErrorCase::notConnected:
        return "Not connected to the iPhone over Bluetooth. Open Settings > Bluetooth on the iPhone and tap this "
               "computer under My Devices.";
    case ErrorCase::noScreen:
        return "No screen frame available (is the iPhone connected by USB and unlocked?)";
    case ErrorCase::notCalibrated:
        return "The pointer isn't calibrated yet. Run calibration from the app.";
    case ErrorCase::pointerNotFound:
        return "Couldn't see the pointer. Check AssistiveTouch is on and the iPhone is unlocked.";
    case ErrorCase::cancelled:
        return "The action stopped: its caller went away.";
    case ErrorCase::tooFast:
        return "The iPhone's pointer moves too fast for accurate taps. On the iPhone, set Settings › "
               "Accessibility › Touch › AssistiveTouch › Tracking Speed to the middle, then calibrate again.";
    }
    return "";
}

InputEngine::Timer& InputEngine::Timer::real() {
    static RealTimer timer;
    return timer;
}

InputEngine::InputEngine(std::shared_ptr<Link> link, std::shared_ptr<Frames> frames, Options options)
    : link_(std::move(link)), frames_(std::move(frames)), options_(std::move(options)),
      timer_(options_.timer ? *options_.timer : Timer::real()) {
    if (!options_.calibrationFile.empty())
        calibration_ = Calibration::load(options_.calibrationFile, [this](const std::string& line) { log(line); });
}

InputEngine::~InputEngine() { queue_.sync([] {}); }

std::shared_ptr<InputEngine::Link> InputEngine::linkTo(BluetoothHID& hid) { return std::make_shared<HIDLink>(hid); }

std::shared_ptr<InputEngine::Frames> InputEngine::framesOf(ScreenCapture& capture) {
    return std::make_shared<CaptureFrames>(capture);
}

std::optional<std::string> InputEngine::debugDirFromEnvironment(const std::string& preference) {
    if (const char* value = std::getenv("POKESCOPE_DEBUG_DIR"))
        return std::string(value);
    if (!preference.empty())
        return preference;
    return std::nullopt;
}

// --- state -----------------------------------------------------------------------------------------------

std::optional<Calibration> InputEngine::calibration() const {
    std::lock_guard lock(mutex_);
    return calibration_;
}

void InputEngine::setCalibration(std::optional<Calibration> calibration) {
    std::lock_guard lock(mutex_);
    calibration_ = std::move(calibration);
    relativeRatio_ = {1.0, 1.0};
    relativeSamples_ = {0, 0};
}

std::optional<PointD> InputEngine::pointer() const {
    std::lock_guard lock(mutex_);
    return pointer_;
}

TimePoint InputEngine::pointerSeenAt() const {
    std::lock_guard lock(mutex_);
    return pointerSeenAt_;
}

std::string InputEngine::lastBackMethod() const {
    std::lock_guard lock(mutex_);
    return lastBackMethod_;
}

InputEngine::Timing InputEngine::timing() const {
    if (exactNow_)
        return Timing::exact;
    return options_.timing ? options_.timing() : Timing::adaptive;
}

std::array<std::vector<std::pair<int, double>>, 2> InputEngine::landed() const {
    std::lock_guard lock(mutex_);
    return landed_;
}

void InputEngine::setMarkSink(std::function<void(const ActionMark&)> sink) {
    std::lock_guard lock(mutex_);
    markSink_ = std::move(sink);
}

void InputEngine::mark(const ActionMark& mark) {
    std::function<void(const ActionMark&)> sink;
    {
        std::lock_guard lock(mutex_);
        sink = markSink_;
    }
    if (sink)
        sink(mark);
}

void InputEngine::log(const std::string& line) const {
    if (options_.log)
        options_.log(line);
}

InputEngine::Cancellation::Cancellation(InputEngine& engine, std::shared_ptr<const std::atomic<bool>> flag)
    : engine_(engine) {
    if (flag && *flag)
        throw InputError(ErrorCase::cancelled); // the caller left while the action waited for the queue
    engine_.cancel_ = std::move(flag);
}

InputEngine::Cancellation::~Cancellation() { engine_.cancel_.reset(); }

void InputEngine::stopIfCancelled() {
    if (!cancel_ || !cancel_->load())
        return;
    // A phone left with a finger or a key down would keep dragging or repeating.
    if (buttonsHeld_)
        link_->pointer(0, 0, 0);
    if (keysHeld_)
        link_->keyboard(0, {});
    buttonsHeld_ = 0;
    keysHeld_ = false;
    cancel_.reset();
    throw InputError(ErrorCase::cancelled);
}

void InputEngine::sleep(Duration duration) {
    if (!cancel_) {
        timer_.sleep(duration);
        return;
    }
    while (duration > Duration::zero()) {
        stopIfCancelled();
        const Duration slice = std::min<Duration>(duration, kCancelSlice);
        timer_.sleep(slice);
        duration -= slice;
    }
    stopIfCancelled();
}

void InputEngine::sleepMs(double ms) {
    if (!(ms > 0))
        return;
    sleep(std::chrono::duration_cast<Duration>(std::chrono::duration<double, std::milli>(ms)));
}

// --- sending ---------------------------------------------------------------------------------------------

void InputEngine::sendPointer(std::uint8_t buttons, int dx, int dy) {
    stopIfCancelled();
    if (link_->pointer(buttons, dx, dy) || (link_->ready() && link_->pointer(buttons, dx, dy))) {
        buttonsHeld_ = buttons;
        lastReportAt_ = timer_.now();
        return;
    }
    if (buttonsHeld_ || buttons)
        link_->pointer(0, 0, 0); // a phone left with a finger down would keep dragging
    buttonsHeld_ = 0;
    throw InputError(ErrorCase::notConnected);
}

void InputEngine::sendKeyboard(std::uint8_t modifiers, const std::vector<std::uint8_t>& usages) {
    stopIfCancelled();
    if (link_->keyboard(modifiers, usages) || (link_->ready() && link_->keyboard(modifiers, usages))) {
        keysHeld_ = modifiers || !usages.empty();
        return;
    }
    if (keysHeld_ || modifiers || !usages.empty())
        link_->keyboard(0, {});
    keysHeld_ = false;
    throw InputError(ErrorCase::notConnected);
}

void InputEngine::requireLink() {
    if (!link_->ready())
        throw InputError(ErrorCase::notConnected);
}

InputEngine::Frames::Latest InputEngine::latestFrame() { return frames_->latest(); }

bool InputEngine::awaitFrames(Duration limit, const std::function<bool(const Stillness&, TimePoint now)>& done) {
    const TimePoint end = timer_.now() + limit;
    if (timing() == Timing::exact) {
        sleep(limit);
        return false;
    }
    for (;;) {
        const TimePoint now = timer_.now();
        if (done(frames_->stillness(), now))
            return true;
        if (now >= end)
            return false;
        sleep(std::min<Duration>(kPoll, end - now));
    }
}

bool InputEngine::awaitEffect(TimePoint written, Duration limit, Duration still) {
    // One report moves the pointer once: quiet for `still` after the frame that shows it arrived is enough,
    // without the allowance for frames still on their way that a longer change needs. The first frame that
    // shows it tells how long the phone takes to show a report.
    bool timed = false;
    return awaitFrames(limit, [&](Stillness facts, TimePoint now) {
        if (!facts.changedAfter(written))
            return false;
        if (!timed) {
            timed = true;
            std::lock_guard lock(mutex_);
            lags_[lagCount_++ % lags_.size()] = facts.lastChangeCaptured - written;
        }
        // Quiet counted from that frame's arrival: its own delay stands for the longest one.
        facts.delay = facts.lastChangeArrived - facts.lastChangeCaptured;
        facts.interval = Duration::zero();
        return facts.still(written, still, now);
    });
}

std::pair<int, int> InputEngine::requireReady() {
    requireLink();
    auto frame = latestFrame();
    if (!frame.image)
        throw InputError(ErrorCase::noScreen);
    return {frame.image->width(), frame.image->height()};
}

// --- detection -------------------------------------------------------------------------------------------

std::optional<PointD> InputEngine::locatePointer(std::optional<PointD> near) {
    bool wiggled = false;
    auto found = wiggle(near, wiggled);
    // Correctness first: a wiggle whose frames did not show the pointer is done again with the full waits.
    if (!found && wiggled && timing() == Timing::adaptive) {
        log("input: the pointer did not show in the frames; looking again with the full waits");
        exactNow_ = true;
        found = wiggle(near, wiggled);
        exactNow_ = false;
    }
    return found;
}

std::optional<PointD> InputEngine::wiggle(std::optional<PointD> near, bool& wiggled) {
    wiggled = false;
    // The pointer must be at rest, its last reports shown: a frame captured after the last report showed
    // its effect, and nothing changed after it. (Quiet alone proves nothing: a late report may yet land.)
    awaitTravelShown();
    auto first = latestFrame();
    if (!first.image)
        return std::nullopt;
    const double width = first.image->width();
    // A pointer pinned against the right edge cannot move right, so near the right edge the wiggle goes
    // left first.
    std::optional<PointD> believed = near ? near : pointer();
    bool mirrored = believed && believed->x > 0.5 * width;
    int sign = mirrored ? -1 : 1;

    std::array<ImageRef, 4> frames{first.image, nullptr, nullptr, nullptr};
    const int nudges[3] = {kNudge * sign, -kNudge * sign, kNudge * sign};
    for (int i = 0; i < 3; ++i) {
        sendPointer(0, nudges[i], 0);
        TimePoint written = timer_.now();
        if (awaitEffect(written, std::chrono::milliseconds(400), kNudgeStill)) {
            frames[i + 1] = latestFrame().image;
            continue;
        }
        // A phone sends frames only when its picture changes: a frame that came after the nudge already
        // shows it, and waiting for yet another one on a still screen would only cost time. Without any
        // frame since the nudge, wait a little longer for a late one.
        TimePoint limit = timer_.now() + std::chrono::milliseconds(250);
        while (latestFrame().at <= written && timer_.now() < limit)
            sleepMs(10);
        frames[i + 1] = latestFrame().image;
        if (!frames[i + 1])
            return std::nullopt;
        // Not one frame since the first nudge: nothing on the screen moved with it (a pointer pinned
        // against an edge, or none shown), and no later cycle could make the difference the search needs.
        if (i == 0 && frames[1] == frames[0]) {
            sendPointer(0, -kNudge * sign, 0);
            sleepMs(40);
            return std::nullopt;
        }
    }
    sendPointer(0, -kNudge * sign, 0);
    wiggled = true;
    if (timing() == Timing::exact)
        sleepMs(40);

    // The blob's centre lies half a nudge beyond the resting pointer. A lone nudge moves at the phone's
    // slow-motion gain, which the fine gain measures; the average gain of fast travel would overshoot it.
    auto calibration = this->calibration();
    double gain = calibration ? calibration->fineGain.value_or(calibration->gainX) : 2.5;
    double shift = gain * kNudge * 0.5;
    auto debugDir = options_.debugDir ? options_.debugDir() : std::nullopt;
    if (debugDir)
        writeDebugFrames(*debugDir, frames);
    FrameDiff::MaskCounts counts;
    auto found = FrameDiff::pointerCentroid(*frames[0], *frames[1], *frames[2], *frames[3], near,
                                            near ? std::optional<double>(0.25) : std::nullopt, &counts);
    if (debugDir)
        log("input: diff pixels ab=" + std::to_string(counts.ab) + " ab&cd=" + std::to_string(counts.abcd) +
            " mask=" + std::to_string(counts.mask));
    if (!found)
        return std::nullopt;
    // A report lost on the way leaves the pointer a nudge away from where it was found.
    if (timing() == Timing::adaptive && !confirmRestored(frames[2], frames[3], *found, sign))
        return std::nullopt;
    return PointD{found->x - shift * sign, found->y};
}

std::optional<Duration> InputEngine::reportLag() const {
    std::lock_guard lock(mutex_);
    if (lagCount_ < kLeastLags)
        return std::nullopt;
    return *std::max_element(lags_.begin(), lags_.begin() + std::min(lagCount_, lags_.size()));
}

bool InputEngine::awaitTravelShown() {
    const TimePoint lastReport = lastReportAt_;
    // A park's last reports push a pointer already pinned in its corner: no frame can show them, and any of
    // its reports landing late leaves it where it is. A change after its first report shows it arrived.
    const TimePoint mustShow = parkedAt_.second == lastReport ? parkedAt_.first : lastReport;
    // A source that sends only changes proves stillness by quiet longer than its frames take to be sent and
    // to arrive: on a late or slow one, that alone may take longer than the fixed limit, which adaptive
    // timing extends by as much.
    Duration limit = std::chrono::milliseconds(500);
    // The last report shows in a frame captured within the phone's measured lag after it: quiet for as long
    // after the last change proves the travel over (never less than a nudge's quiet), and the limit grows by
    // what proving quiet takes.
    Duration still = kTravelStill;
    const std::optional<Duration> lag = timing() == Timing::adaptive ? reportLag() : std::nullopt;
    if (timing() == Timing::adaptive) {
        const auto facts = frames_->stillness();
        if (lag)
            still = std::clamp<Duration>(*lag, kNudgeStill, kMaxLagStill);
        limit += still + 2 * facts.interval + facts.delay;
    }
    return awaitFrames(limit, [&](Stillness facts, TimePoint now) {
        if (!facts.changedAfter(mustShow))
            return false;
        if (facts.still(lastReport, still, now))
            return true;
        // Reports arrive in order and the pointer keeps no speed: the last one shows in a frame captured
        // within the phone's lag after it, give or take one of the source's intervals. Once such a frame
        // would have arrived, with nothing changed after that time, the travel is over as soon as its last
        // change has had the quiet a single report's effect gets.
        if (!lag || mustShow != lastReport || facts.framePending || facts.lastChangeCaptured > lastReport + *lag ||
            now < lastReport + *lag + facts.interval + facts.delay)
            return false;
        facts.interval = Duration::zero();
        return facts.still(lastReport, kNudgeStill, now);
    });
}

std::optional<PointD> InputEngine::seenInMove(const ImageRef& before, PointD from, PointD target,
                                              std::optional<double> search) {
    const bool settled = awaitTravelShown();
    auto after = latestFrame().image;
    if (!settled || !before || !after || before->width() != after->width() || before->height() != after->height())
        return std::nullopt;
    const double width = after->width();
    // Where the move ended, the frames must show a whole disc appearing (densely changed), and not much else
    // changing around it: a caret, an encoder's noise or a page moving is no pointer.
    const double disc = kDiscShare * width;
    auto found = FrameDiff::appearedDisc(*before, *after, target, disc, search.value_or(0.12 * width));
    if (!found || std::hypot(found->centre.x - from.x, found->centre.y - from.y) < 1.5 * disc)
        return std::nullopt;
    if (found->density < 0.7 || found->inside < 0.6 * found->discArea || found->around > 3.0 * found->discArea)
        return std::nullopt;
    return found->centre;
}

bool InputEngine::confirmRestored(const ImageRef& home, const ImageRef& away, PointD found, int sign) {
    const double radius = 0.06 * away->width(); // the disc and its nudge, on any phone
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt > 0)
            sendPointer(0, -kNudge * sign, 0);
        const TimePoint written = lastReportAt_;
        TimePoint looked{};
        bool back = false;
        // Lost only when the pointer has not moved back for a second, far longer than a report takes to show
        // (sending it again after a late one would leave the pointer a nudge beyond); another change on the
        // screen (a caret, the clock) is no answer either way.
        awaitFrames(kRestoreLimit, [&](const Stillness& facts, TimePoint) {
            if (facts.changedAfter(written) && facts.lastChangeCaptured != looked) {
                looked = facts.lastChangeCaptured;
                // Back where it was found: unlike the nudged frame, and nearer the frame before the nudge
                // (an encoder's noise keeps it from being equal).
                if (auto frame = latestFrame().image) {
                    const long fromAway = FrameDiff::changedAround(*away, *frame, found, radius);
                    const long fromHome = FrameDiff::changedAround(*home, *frame, found, radius);
                    back = fromAway >= kMovedPixels && fromHome < fromAway;
                }
            }
            return back;
        });
        if (back)
            return true;
        log("input: the pointer did not come back from its wiggle; sending the last report again");
    }
    return false;
}

void InputEngine::writeDebugFrames(const std::string& directory, const std::array<ImageRef, 4>& frames) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        auto small = scaled(frames[i], 300);
        auto jpeg = small ? encoded(*small, ImageType::jpeg, 0.8) : std::nullopt;
        if (!jpeg)
            continue;
        std::ofstream out(std::filesystem::path(directory) / ("wiggle" + std::to_string(i) + ".jpg"),
                          std::ios::binary | std::ios::trunc);
        out << *jpeg;
    }
    log("input: debug frames written to " + directory);
}

void InputEngine::park(bool right) {
    TimePoint first{};
    for (int i = 0; i < kParkReports; ++i) {
        sendPointer(0, right ? kParkStep : -kParkStep, -kParkStep);
        if (i == 0)
            first = lastReportAt_;
        sleepMs(4);
    }
    parkedAt_ = {first, lastReportAt_};
    auto calibration = this->calibration();
    auto frame = latestFrame();
    double width = frame.image ? frame.image->width() : 0;
    PointD corner;
    if (!right)
        corner = calibration ? PointD{calibration->offsetX, calibration->offsetY} : PointD{0, 0};
    else
        corner = calibration ? PointD{calibration->rightX.value_or(width), calibration->offsetY} : PointD{width, 0};
    {
        std::lock_guard lock(mutex_);
        pointer_ = corner;
        known_ = Known::no;
    }
    // The phone's acceleration remembers the burst: travel starting sooner would fly further than calibrated.
    sleep(kForget);
}

void InputEngine::fineTravel(int stepsX, int stepsY, int step) {
    // With adaptive timing, single steps go at the pace of travel's reports and share the diagonal: the fine
    // gain is measured by these same steps during calibration, so the pace is part of what it measures.
    // Adaptive steps keep their pace from the report before them, so that whatever follows the last one
    // (a press's rest, a look) starts at once.
    const bool adaptive = timing() == Timing::adaptive;
    auto report = [&](int dx, int dy) {
        if (adaptive)
            pacedReport(0, dx, dy);
        else {
            sendPointer(0, dx, dy);
            sleepMs(16);
        }
    };
    if (adaptive)
        for (; stepsX != 0 && stepsY != 0; stepsX -= stepsX > 0 ? 1 : -1, stepsY -= stepsY > 0 ? 1 : -1)
            report(stepsX > 0 ? step : -step, stepsY > 0 ? step : -step);
    for (int i = 0; i < std::abs(stepsX); ++i)
        report(stepsX > 0 ? step : -step, 0);
    if (stepsX != 0 && stepsY != 0)
        sleepMs(150);
    for (int i = 0; i < std::abs(stepsY); ++i)
        report(0, stepsY > 0 ? step : -step);
}

void InputEngine::pacedReport(std::uint8_t buttons, int dx, int dy) {
    if (const Duration left = lastReportAt_ + std::chrono::microseconds(stepInterval_) - timer_.now();
        left > Duration::zero())
        sleep(left);
    sendPointer(buttons, dx, dy);
}

} // namespace pokescope
