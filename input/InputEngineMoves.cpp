// Pointer moves and gestures: a move starts from where the pointer was last seen (adaptive timing) or from a
// parked corner, turns pixels into HID units with the calibration and what earlier moves taught, then
// checks where the pointer landed and corrects. A move from a sighting that does not land falls back to
// the parked procedure.
#include "input/InputEngine.hpp"

#include "bluetooth/HIDReports.hpp"

#include <algorithm>
#include <cmath>

namespace pokescope {

namespace {

constexpr int kTravelStep = 8;
constexpr double kEdgeMargin = 60;
constexpr double kPhoneWidth = 1179; // a phone's own picture width, where the edge margin was set
constexpr double kFarEdge = 0.93;
constexpr double kEdgeDamping = 0.7;
constexpr double kMaxHoldSeconds = 3600;
constexpr double kTrimThreshold = 3; // pixels of remaining miss worth single steps
// Pixels of miss after a move from a sighting: up to this, single steps take it out unchecked (adaptive
// timing); beyond, another move does.
constexpr double kFarMiss = 100;
constexpr double kLeastToLearn = 60; // pixels: shorter moves say more about detection than about the phone
constexpr double kAsideShare = 1.0 / 6; // of the screen's width: how far a step aside goes
constexpr double kRatioWeight = 0.25;   // of a move's lesson, once a few were learnt

int roundAway(double value) { return static_cast<int>(std::round(value)); } // halves away from zero

std::string point(double x, double y) {
    return std::to_string(static_cast<long long>(x)) + "," + std::to_string(static_cast<long long>(y));
}
std::string point(PointD p) { return point(p.x, p.y); }

} // namespace

void InputEngine::travel(int unitsX, int unitsY, std::uint8_t buttons, bool together) {
    if (unitsX == 0 && unitsY == 0)
        return;
    const int step = std::min<int>(step_, kTravelStep);
    if (together) {
        // Spread evenly: the shorter axis's units ride along in the longer one's reports.
        const int reports = (std::max(std::abs(unitsX), std::abs(unitsY)) + step - 1) / step;
        int sentX = 0, sentY = 0;
        for (int i = 1; i <= reports; ++i) {
            const int x = roundAway(static_cast<double>(unitsX) * i / reports);
            const int y = roundAway(static_cast<double>(unitsY) * i / reports);
            pacedReport(buttons, x - sentX, y - sentY);
            sentX = x;
            sentY = y;
        }
        return;
    }
    if (unitsX != 0 && unitsY != 0 && buttons == 0) {
        travel(unitsX, 0, 0);
        sleepMs(200);
        unitsX = 0;
    }
    while (unitsX != 0 || unitsY != 0) {
        int dx = std::clamp(unitsX, -step, step);
        int dy = std::clamp(unitsY, -step, step);
        sendPointer(buttons, dx, dy);
        unitsX -= dx;
        unitsY -= dy;
        sleep(std::chrono::microseconds(stepInterval_));
    }
}

void InputEngine::debugTravel(int unitsX, int unitsY, int step, int intervalMs) {
    forgetSighting();
    step = std::clamp(step, 1, 127);
    while (unitsX != 0 || unitsY != 0) {
        int dx = std::clamp(unitsX, -step, step);
        int dy = std::clamp(unitsY, -step, step);
        sendPointer(0, dx, dy);
        unitsX -= dx;
        unitsY -= dy;
        sleepMs(intervalMs);
    }
}

int InputEngine::units(double px, int axis, double gain, double offset) const {
    std::vector<std::pair<int, double>> landed;
    std::optional<Calibration> calibration;
    {
        std::lock_guard lock(mutex_);
        landed = landed_[axis];
        calibration = calibration_;
    }
    auto it = std::find_if(landed.begin(), landed.end(), [&](const auto& entry) { return entry.second >= px; });
    if (it != landed.end() && it != landed.begin() && it->second > std::prev(it)->second) {
        auto [u0, p0] = *std::prev(it);
        auto [u1, p1] = *it;
        return roundAway(u0 + (px - p0) * (u1 - u0) / (p1 - p0));
    }
    const auto& curve = calibration ? (axis == 0 ? calibration->curveX : calibration->curveY) : std::nullopt;
    if (curve && curve->size() >= 2) {
        const auto& c = *curve;
        std::size_t i = c.size() - 1;
        for (std::size_t k = 0; k < c.size(); ++k)
            if (c[k].second >= px) {
                i = k;
                break;
            }
        std::size_t j = i < 2 ? 1 : std::min(i, c.size() - 1);
        if (c[j].second > c[j - 1].second) {
            double u = c[j - 1].first + (px - c[j - 1].second) * (c[j].first - c[j - 1].first) /
                                            (c[j].second - c[j - 1].second);
            return std::max(0, roundAway(u));
        }
        return std::max(0, roundAway(c[j - 1].first));
    }
    return std::max(0, roundAway((px - offset) / gain));
}

void InputEngine::remember(int units, int axis, double px) {
    if (units < 1)
        return;
    std::lock_guard lock(mutex_);
    auto& list = landed_[axis];
    std::erase_if(list, [&](const auto& entry) { return entry.first == units; });
    list.emplace_back(units, px);
    std::sort(list.begin(), list.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    if (list.size() > kLandedLimit)
        list.erase(list.begin(), list.end() - kLandedLimit);
}

double InputEngine::estimate(int units, double target, double measured, double origin, double frameSize,
                             double gain, double edgeMargin) {
    double next;
    if (units >= 11 && measured - origin > 20) {
        next = units * (target - origin) / (measured - origin);
        if (measured < edgeMargin || measured > kFarEdge * frameSize) // the screen edge may have stopped it
            next = std::min(next, kEdgeDamping * units);
        next = std::round(next);
    } else {
        next = units + std::round((target - measured) / gain);
    }
    return std::max(0.0, next);
}

std::optional<PointD> InputEngine::sighting(int width, int height, bool& believed) const {
    std::lock_guard lock(mutex_);
    if (known_ == Known::no || !pointer_ || seenOnFrame_ != std::pair{width, height} ||
        timer_.now() - pointerSeenAt_ > kSightingLife)
        return std::nullopt;
    believed = known_ == Known::believed;
    return pointer_;
}

void InputEngine::forgetSighting() {
    std::lock_guard lock(mutex_);
    known_ = Known::no;
}

void InputEngine::believeAfterDrag(PointD start, PointD end) {
    PointD believed;
    {
        std::lock_guard lock(mutex_);
        believed = {start.x + (end.x - start.x) * dragRatio_[0], start.y + (end.y - start.y) * dragRatio_[1]};
        drag_ = {start, believed};
    }
    notePointer(believed, Known::believed);
}

void InputEngine::noteSighting(PointD seen) { notePointer(seen, Known::seen); }

void InputEngine::notePointer(PointD at, Known known) {
    auto frame = latestFrame().image;
    std::lock_guard lock(mutex_);
    pointer_ = at;
    pointerSeenAt_ = timer_.now();
    known_ = known;
    aside_ = false;
    if (frame)
        seenOnFrame_ = {frame->width(), frame->height()};
}

int InputEngine::unitsFor(double px, int axis) const {
    auto cal = calibration();
    if (!cal)
        return 0;
    // The curve and the landings measure travel from the top-left park point.
    const double origin = axis == 0 ? cal->offsetX : cal->offsetY;
    return units(origin + px, axis, axis == 0 ? cal->gainX : cal->gainY, origin);
}

bool InputEngine::checkLanding(PointD target, const std::string& what, const std::string& units,
                               std::optional<PointD>& seen) {
    seen = locatePointer(target);
    if (!seen)
        seen = locatePointer(std::nullopt);
    if (!seen) {
        log("input: " + what + ": pointer not found");
        std::lock_guard lock(mutex_);
        pointer_.reset();
        known_ = Known::no;
        return false;
    }
    noteSighting(*seen);
    log("input: " + what + " with " + units + " units: pointer at " + point(*seen));
    return finishFrom(target, *seen, false);
}

bool InputEngine::finishFrom(PointD target, PointD seen, bool inMove) {
    auto within = [&](double reach) { return std::abs(seen.x - target.x) <= reach && std::abs(seen.y - target.y) <= reach; };
    auto cal = calibration();
    // Single steps move by the measured fine gain, a few percent at most off: with adaptive timing, a miss
    // seen where the move's own frames show the whole disc (a drag that ended elsewhere than believed leaves
    // tens of pixels) is taken out by them without another search, their error staying a few pixels; on a
    // phone whose stream is late, a search costs seconds. A wiggle's sighting may be off by more (its nudges
    // move by the phone's own measure), so a miss beyond the tolerance found by one is corrected with a look
    // after the steps.
    if (within(kArrivalTolerance) ||
        (inMove && timing() == Timing::adaptive && cal && cal->fineGain && within(kFarMiss))) {
        trim(target, seen);
        return true;
    }
    return cal && cal->fineGain && std::abs(seen.x - target.x) <= kFineRange &&
           std::abs(seen.y - target.y) <= kFineRange &&
           fineCorrect(target, seen, *cal->fineGain, cal->fineStep.value_or(1));
}

bool InputEngine::moveFrom(PointD from, PointD target, bool believed, bool again) {
    const double dx = target.x - from.x, dy = target.y - from.y;
    if (std::abs(dx) <= kArrivalTolerance && std::abs(dy) <= kArrivalTolerance) {
        if (!believed) {
            trim(target, from);
            return true;
        }
        std::optional<PointD> seen; // where a drag should have left it: look before tapping there
        return checkLanding(target, "after a drag to " + point(from), "0,0", seen);
    }
    std::array<double, 2> ratio;
    {
        std::lock_guard lock(mutex_);
        ratio = relativeRatio_;
    }
    // Straight there: every report takes the gain of the pointer's speed, which the longer axis sets, so the
    // shorter axis goes the share of the way that its units are of the longer axis's, whatever that gain
    // was. The longer axis alone follows the curve and what earlier moves taught about it.
    const bool wide = std::abs(dx) >= std::abs(dy);
    const PointD planned{wide ? dx / ratio[0] : 0.0, wide ? 0.0 : dy / ratio[1]};
    const int uLong = unitsFor(std::abs(wide ? planned.x : planned.y), wide ? 0 : 1);
    const int uShort = roundAway(uLong * std::abs(wide ? dy / dx : dx / dy));
    const int uX = wide ? uLong : uShort, uY = wide ? uShort : uLong;
    const ImageRef before = latestFrame().image;
    travel(dx < 0 ? -uX : uX, dy < 0 ? -uY : uY, 0, true);
    const std::string what =
        "move from " + point(from) + (believed ? " (where a drag ended)" : "") + " to " + point(target);
    const std::string units = std::to_string(dx < 0 ? -uX : uX) + "," + std::to_string(dy < 0 ? -uY : uY);
    // The move's own frames usually show where the pointer went: no wiggle to find it.
    if (auto shown = seenInMove(before, from, target)) {
        noteSighting(*shown);
        learnFrom(from, target, *shown, planned, believed);
        log("input: " + what + " with " + units + " units: pointer at " + point(*shown) + ", seen in the move");
        // Where it is, is known: single steps take it the rest of the way, or the caller parks and starts
        // again; another search would only find it where it is. A miss too far for a few single steps (a
        // drag that went further than believed) is one more move, which its own frames show again.
        if (again && (std::abs(shown->x - target.x) > kFarMiss || std::abs(shown->y - target.y) > kFarMiss))
            return moveFrom(*shown, target, false, false);
        return finishFrom(target, *shown, true);
    }
    std::optional<PointD> seen;
    const bool landed = checkLanding(target, what, units, seen);
    if (seen)
        learnFrom(from, target, *seen, planned, believed);
    return landed;
}

bool InputEngine::stepAside() {
    auto [width, height] = requireReady();
    bool believed = false;
    auto from = sighting(width, height, believed);
    if (!from || !calibration())
        return false;
    double ratio;
    {
        std::lock_guard lock(mutex_);
        ratio = relativeRatio_[0];
    }
    // Sideways, towards the middle: more than three diameters, so that the disc clears its old place even
    // when the phone's acceleration takes it half as far as planned.
    const double dx = (from->x < width / 2.0 ? 1 : -1) * kAsideShare * width;
    const int u = unitsFor(std::abs(dx) / ratio, 0);
    const PointD planned{from->x + dx, from->y};
    const ImageRef before = latestFrame().image;
    travel(dx < 0 ? -u : u, 0, 0);
    if (auto shown = seenInMove(before, *from, planned)) {
        noteSighting(*shown);
        log("input: aside from " + point(*from) + ": pointer at " + point(*shown) + ", seen in the move");
    } else {
        forgetSighting();
        log("input: aside from " + point(*from) + ": pointer not seen in the move");
    }
    std::lock_guard lock(mutex_);
    aside_ = true;
    return true;
}

bool InputEngine::steppedAside() const {
    std::lock_guard lock(mutex_);
    return aside_;
}

void InputEngine::learnFrom(PointD from, PointD target, PointD seen, PointD planned, bool believed) {
    if (!believed) {
        learnRelative(from, seen, planned);
        return;
    }
    // The move itself went as planned (its plan already holds what moves from a sighting taught): what it
    // missed by is what the belief missed by, where the drag really ended. Drags of the same speed go alike,
    // so the next belief is corrected by the same share.
    const PointD ended{seen.x - (target.x - from.x), seen.y - (target.y - from.y)};
    std::lock_guard lock(mutex_);
    const auto [start, thought] = drag_;
    const double went[2] = {ended.x - start.x, ended.y - start.y}, meant[2] = {thought.x - start.x, thought.y - start.y};
    for (int axis = 0; axis < 2; ++axis)
        if (std::abs(meant[axis]) >= kLeastToLearn && (went[axis] > 0) == (meant[axis] > 0))
            dragRatio_[axis] *= std::clamp(went[axis] / meant[axis], 0.5, 2.0);
}

void InputEngine::learnRelative(PointD from, PointD seen, PointD planned) {
    const double went[2] = {seen.x - from.x, seen.y - from.y}, plan[2] = {planned.x, planned.y};
    std::lock_guard lock(mutex_);
    for (int axis = 0; axis < 2; ++axis) {
        if (std::abs(plan[axis]) < kLeastToLearn || (went[axis] > 0) != (plan[axis] > 0))
            continue;
        // The mean of the first few, then a slow average: one move's own scatter (a report's timing changes
        // the phone's acceleration) is no lesson for the next, which it would only push the other way.
        const double sample = std::clamp(went[axis] / plan[axis], 0.7, 1.4);
        const double weight = std::max(kRatioWeight, 1.0 / ++relativeSamples_[axis]);
        relativeRatio_[axis] += weight * (sample - relativeRatio_[axis]);
    }
}

void InputEngine::moveTo(PointD target, bool correct, std::uint8_t buttons) {
    auto [width, height] = requireReady();
    auto calibration = this->calibration();
    if (!calibration)
        throw InputError(ErrorCase::notCalibrated);
    const Calibration& cal = *calibration;
    // Correctness first: a move from a sighting that does not land is done again from a parked corner.
    if (correct && buttons == 0 && timing() == Timing::adaptive)
        if (bool believed = false; auto from = sighting(width, height, believed))
            if (moveFrom(*from, target, believed, true))
                return;
    const bool right = cal.rightX && target.x > 0.5 * width;
    const double targetX = right ? *cal.rightX - target.x + cal.offsetX : target.x;
    int uX = units(targetX, 0, cal.gainX, cal.offsetX);
    int uY = units(target.y, 1, cal.gainY, cal.offsetY);

    for (int attempt = 1; attempt <= kMoveAttempts; ++attempt) {
        park(right);
        travel(right ? -uX : uX, uY, buttons);
        {
            std::lock_guard lock(mutex_);
            pointer_ = target;
        }
        if (!correct || buttons != 0)
            return;
        std::optional<PointD> seen;
        const bool landed =
            checkLanding(target, "move to " + point(target), std::to_string(uX) + "," + std::to_string(uY), seen);
        if (!seen)
            return;
        if (!right)
            remember(uX, 0, seen->x);
        remember(uY, 1, seen->y);
        if (landed || attempt == kMoveAttempts)
            return;
        double measuredX = right ? *cal.rightX - seen->x + cal.offsetX : seen->x;
        // Near the edge means the same share of the screen at any frame size: 60 pixels of a phone's own
        // 1179-pixel-wide picture, fewer in the smaller picture of a capture adapter.
        const double edgeMargin = kEdgeMargin * std::min(1.0, width / kPhoneWidth);
        uX = static_cast<int>(estimate(uX, targetX, measuredX, cal.offsetX, width, cal.gainX, edgeMargin));
        uY = static_cast<int>(estimate(uY, target.y, seen->y, cal.offsetY, height, cal.gainY, edgeMargin));
    }
}

bool InputEngine::fineCorrect(PointD to, PointD from, double gain, int step) {
    PointD current = from;
    const double perStep = gain * step;
    for (int round = 0; round < kFineRounds; ++round) {
        fineTravel(roundAway((to.x - current.x) / perStep), roundAway((to.y - current.y) / perStep), step);
        {
            std::lock_guard lock(mutex_);
            pointer_ = to;
        }
        auto seen = locatePointer(to);
        if (!seen) {
            std::lock_guard lock(mutex_);
            pointer_.reset();
            known_ = Known::no;
            return false;
        }
        noteSighting(*seen);
        log("input: fine to " + point(to.x, to.y) + ": pointer at " + point(seen->x, seen->y));
        if (std::abs(seen->x - to.x) <= kArrivalTolerance && std::abs(seen->y - to.y) <= kArrivalTolerance) {
            trim(to, *seen);
            return true;
        }
        current = *seen;
    }
    return false;
}

void InputEngine::trim(PointD target, PointD seen) {
    // Near the target, detection still errs by a few pixels: take out what is left with
    // single steps, which move predictably, so that the detection error and the remaining miss do not
    // add up beyond the tolerance.
    auto calibration = this->calibration();
    if (!calibration || !calibration->fineGain)
        return;
    const int step = calibration->fineStep.value_or(1);
    const double perStep = *calibration->fineGain * step;
    auto steps = [&](double error) { return std::abs(error) > kTrimThreshold ? roundAway(error / perStep) : 0; };
    int dx = steps(target.x - seen.x), dy = steps(target.y - seen.y);
    if (dx == 0 && dy == 0)
        return;
    fineTravel(dx, dy, step);
    std::lock_guard lock(mutex_);
    pointer_ = PointD{seen.x + dx * perStep, seen.y + dy * perStep};
}

void InputEngine::click() {
    // The pointer comes to rest before the press: 150 ms after its last report, or (adaptive timing) once the
    // phone has had the time it takes to show a report (reports arrive in order, and the pointer keeps no
    // speed of its own), or, before that time is known, as soon as a frame captured after that report shows
    // the pointer's last step and stillness since.
    const Duration rest = std::chrono::milliseconds(150);
    if (timing() == Timing::exact) {
        sleep(rest);
    } else if (auto lag = reportLag()) {
        if (const Duration left = std::min(rest, std::max(*lag, kClickStill)) - (timer_.now() - lastReportAt_);
            left > Duration::zero())
            sleep(left);
    } else if (const Duration left = rest - (timer_.now() - lastReportAt_); left > Duration::zero()) {
        const TimePoint last = lastReportAt_;
        awaitFrames(left, [&](const Stillness& facts, TimePoint now) {
            return facts.changedAfter(last) && facts.still(last, kClickStill, now);
        });
    }
    sendPointer(HIDReports::kPrimaryButton, 0, 0);
    sleepMs(70);
    sendPointer(0, 0, 0);
}

void InputEngine::longPress(PointD at, double seconds) {
    moveTo(at, true, 0);
    mark({ActionMark::Kind::press, at, {}, {}});
    double hold = std::isfinite(seconds) ? std::clamp(seconds, 0.0, kMaxHoldSeconds) : 0.0;
    sendPointer(HIDReports::kPrimaryButton, 0, 0);
    sleepMs(hold * 1000.0);
    sendPointer(0, 0, 0);
}

void InputEngine::swipe(PointD from, PointD to, double durationMs, double restMs) {
    auto calibration = this->calibration();
    if (!calibration)
        throw InputError(ErrorCase::notCalibrated);
    moveTo(from, true, 0);
    mark({ActionMark::Kind::swipe, from, to, {}});
    sendPointer(HIDReports::kPrimaryButton, 0, 0);
    sleepMs(60);
    const long uX = roundAway((to.x - from.x) / calibration->gainX);
    const long uY = roundAway((to.y - from.y) / calibration->gainY);
    long steps = std::max(std::labs(uX), std::labs(uY)) / kTravelStep;
    if (steps < 2)
        steps = 1;
    double interval = std::isfinite(durationMs) ? durationMs / static_cast<double>(steps) : 0;
    if (interval < 5)
        interval = 4;
    long previousX = 0, previousY = 0;
    for (long i = 1; i <= steps; ++i) {
        long x = uX * i / steps, y = uY * i / steps;
        sendPointer(HIDReports::kPrimaryButton, static_cast<int>(x - previousX), static_cast<int>(y - previousY));
        previousX = x;
        previousY = y;
        sleepMs(interval);
    }
    sleepMs(restMs);
    sendPointer(0, 0, 0);
    // The drag moved it by the phone's own measure, which its speed sets: where it ended is believed, not
    // known, until the next move looks.
    believeAfterDrag(from, to);
}

} // namespace pokescope
