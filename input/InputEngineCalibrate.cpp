// Calibration: how many pixels one HID unit moves the phone's pointer, measured from the top-left park.
#include "input/InputEngine.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace pokescope {

namespace {

// Travel out of the parked corner, in units, each sample from the park. The even ones are always measured;
// one between two of them only where the curve bends there (the phone's speed still growing) or where the
// next even one would pin the pointer against the edge.
constexpr int kSamples[] = {24, 48, 96, 160, 240, 360, 520, 720, 1000, 1400, 2000};
constexpr double kStraight = 0.12; // a change of slope under this share counts as a straight curve
constexpr double kStallPx = 4.0;
constexpr double kFastX = 0.6, kFastY = 0.3;
constexpr double kFar = 0.85;
constexpr double kPinned = 0.95; // of the screen: a sample expected beyond it may end against the edge
constexpr int kFineUnits = 30;
constexpr double kFineMinTravel = 20.0;
constexpr double kPhoneWidth = 1179; // a phone's own picture width, where the limits above were set
constexpr double kMaxFineGain = 14.0;

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof text, pattern, value);
    return text;
}

// The two-point line through the first and last pair: (gain, offset).
std::pair<double, double> fit(const Calibration::Curve& curve) {
    auto [u0, p0] = curve.front();
    auto [un, pn] = curve.back();
    double gain = un - u0 >= 1 ? (pn - p0) / (un - u0) : pn - p0;
    double offset = u0 == 0 ? p0 : 0;
    return {gain, offset};
}

} // namespace

Calibration InputEngine::calibrate(const std::function<void(const std::string&)>& progress) {
    auto tell = [&](const std::string& step) {
        if (progress)
            progress("Calibrating: " + step);
    };
    auto [width, height] = requireReady();
    {
        std::lock_guard lock(mutex_);
        landed_ = {};
    }
    const double W = width, H = height;
    const double size[2] = {W, H};
    const double fastLimit[2] = {kFastX * W, kFastY * H};
    const double farLimit[2] = {kFar * W, kFar * H};

    tell("finding the pointer");
    park(false);
    Calibration::Curve curves[2];
    double home[2] = {0, 0};
    std::optional<PointD> parkPoint = locatePointer(std::nullopt);
    if (parkPoint) {
        home[0] = parkPoint->x;
        home[1] = parkPoint->y;
        curves[0].push_back({0, home[0]});
        curves[1].push_back({0, home[1]});
    }
    bool finished[2] = {false, false};
    int stalls[2] = {0, 0};

    // Where the curve so far, stretched to `u` units, puts the pointer (acceleration only adds to it).
    auto expectedAt = [&](int axis, int u) {
        const auto& curve = curves[axis];
        if (curve.empty() || curve.back().first <= 0)
            return home[axis];
        return home[axis] + (curve.back().second - home[axis]) * u / curve.back().first;
    };
    auto record = [&](int axis, int u, double v) {
        auto& curve = curves[axis];
        auto at = std::lower_bound(curve.begin(), curve.end(), std::pair<double, double>{double(u), -1e9});
        if (at != curve.begin() && std::prev(at)->second + kStallPx >= v) { // pinned, or not where it was sent
            if (++stalls[axis] >= 2)
                finished[axis] = true;
            return;
        }
        curve.insert(at, {double(u), v});
        stalls[axis] = 0;
        if (v > farLimit[axis])
            finished[axis] = true;
    };
    // A short travel on an axis that is measured: its curve's second sample (or its last), in units and pixels.
    auto shortTravel = [&](int axis) -> const std::pair<double, double>& {
        const auto& curve = curves[axis];
        return curve[std::min<std::size_t>(2, curve.size() - 1)];
    };
    int count = 0;
    // Adaptive timing: the search in the corner left the pointer parked, after nudges too slow for the
    // phone's acceleration to remember, so the first sample starts from there.
    bool parked = parkPoint && timing() == Timing::adaptive;
    std::optional<PointD> lastSeen; // where the last sample found the pointer
    // One sample: park, travel `u` units on the axes taking part, find where the pointer went, record it.
    auto sample = [&](int u, const bool axes[2]) {
        tell("sample " + std::to_string(++count) + " of at most " + std::to_string(std::size(kSamples)));
        if (!std::exchange(parked, false))
            park(false);
        const ImageRef before = latestFrame().image;
        // An axis that is done still travels a short way, as moves travel on both: the pointer then leaves
        // the edge, where only half its disc shows, and the move's frames find it.
        int units[2];
        PointD expected;
        for (int axis = 0; axis < 2; ++axis) {
            const bool lead = !axes[axis] && curves[axis].size() > 2;
            const auto& leadPoint = shortTravel(axis);
            units[axis] = axes[axis] ? u : lead ? int(leadPoint.first) : 0;
            const double at = axes[axis] ? expectedAt(axis, u) : lead ? leadPoint.second : home[axis];
            (axis == 0 ? expected.x : expected.y) = std::clamp(at, 0.0, size[axis] - 1);
        }
        travel(units[0], units[1], 0);
        {
            std::lock_guard lock(mutex_);
            pointer_ = expected; // which way a wiggle goes: left first near the right edge
        }
        std::optional<PointD> seen;
        if (parkPoint && u > kSamples[0])
            seen = seenInMove(before, *parkPoint, expected, 0.25 * W);
        if (!seen)
            seen = locatePointer(std::nullopt);
        lastSeen = seen;
        if (!seen)
            return false;
        log("input: calibration sample " + std::to_string(u) + " units -> " + std::to_string(int(seen->x)) + "," +
            std::to_string(int(seen->y)));
        if (u == kSamples[0] && (seen->x > fastLimit[0] || seen->y > fastLimit[1]))
            throw InputError(ErrorCase::tooFast);
        // A phone at its top tracking speed flies several hundred pixels in the first sample while staying
        // inside the limits above, then leaves the screen; more than the fine-step limit per unit already
        // tells that it is too fast.
        if (u == kSamples[0] && ((seen->x - home[0]) / u > kMaxFineGain || (seen->y - home[1]) / u > kMaxFineGain))
            throw InputError(ErrorCase::tooFast);
        const double measured[2] = {seen->x, seen->y};
        for (int axis = 0; axis < 2; ++axis)
            if (axes[axis] && !finished[axis])
                record(axis, u, measured[axis]);
        return true;
    };
    // The curve bends at the sample `u` just measured: its slope from the point below differs from the
    // slope below that, and the sample `between` them was not taken. Exact timing takes every sample.
    auto bends = [&](int axis, int u, int between) {
        if (timing() == Timing::exact)
            return true;
        const auto& curve = curves[axis];
        auto at = std::find_if(curve.begin(), curve.end(), [&](const auto& point) { return point.first == u; });
        if (at == curve.end() || at - curve.begin() < 2 || std::prev(at)->first >= between)
            return false;
        auto [u2, v2] = *at;
        auto [u1, v1] = *std::prev(at);
        auto [u0, v0] = *std::prev(at, 2);
        if (u0 == 0) // out of the park every phone starts slower: that bend says nothing of the curve beyond
            return false;
        const double above = (v2 - v1) / (u2 - u1), below = (v1 - v0) / (u1 - u0);
        return std::abs(above - below) > kStraight * std::max(std::abs(above), 1e-9);
    };

    for (std::size_t i = 0; i < std::size(kSamples) && !(finished[0] && finished[1]); i += 2) {
        const int u = kSamples[i], between = i > 0 ? kSamples[i - 1] : 0;
        bool axes[2] = {false, false}, fill[2] = {false, false};
        for (int axis = 0; axis < 2; ++axis) {
            if (finished[axis])
                continue;
            axes[axis] = true;
            // A sample that would only pin the pointer against the edge is not taken (the stretched curve
            // undershoots a growing speed, hence the margin); the one before it is, when it fits, and the axis
            // is done.
            if (curves[axis].size() > 1 && expectedAt(axis, u) >= kPinned * size[axis]) {
                axes[axis] = false;
                fill[axis] = between > 0 && expectedAt(axis, between) < kPinned * size[axis];
                finished[axis] = !fill[axis];
            }
        }
        if (fill[0] || fill[1]) {
            sample(between, fill);
            for (int axis = 0; axis < 2; ++axis)
                if (fill[axis])
                    finished[axis] = true;
        }
        if (!axes[0] && !axes[1])
            continue;
        if (!sample(u, axes)) {
            // Seen neither in its corner nor after its first travel: no pointer shows (AssistiveTouch off, a
            // locked phone), and the samples left would not show it either.
            if (!parkPoint && curves[0].empty())
                throw InputError(ErrorCase::pointerNotFound);
            continue;
        }
        for (int axis = 0; axis < 2; ++axis)
            fill[axis] = axes[axis] && between > 0 && bends(axis, u, between);
        if (fill[0] || fill[1])
            sample(between, fill);
    }
    if (curves[0].size() < 3 || curves[1].size() < 3)
        throw InputError(ErrorCase::pointerNotFound);

    // Adaptive timing takes the single steps from where the last sample left the pointer, and the right-hand
    // corner as the left one mirrored: the phone holds its pointer at either edge alike, and the disc shows
    // as far inside. Exact timing, or a last sample not seen, parks and looks there.
    const bool mirrored = timing() == Timing::adaptive && lastSeen && parkPoint;
    std::optional<PointD> rightPark;
    std::optional<double> rightX;
    if (mirrored) {
        rightX = W - 1 - home[0];
    } else {
        tell("the right-hand corner");
        park(true);
        rightPark = locatePointer(std::nullopt);
        if (rightPark)
            rightX = rightPark->x;
    }

    // 20 pixels of a phone's own 1179-pixel-wide picture; fewer in the smaller picture of a capture adapter,
    // where 30 single steps move less than that.
    const double minTravel = kFineMinTravel * std::min(1.0, W / kPhoneWidth);
    std::optional<double> fineGain;
    std::optional<int> fineStep;
    // Single steps down from `p1` (up, in the screen's lower half); a phone that keeps its pointer on whole
    // points drops a report worth less than a point: then the fine step is the fewest units per report that
    // move it.
    auto measureFine = [&](std::optional<PointD> p1) {
        const int down = p1 && p1->y > H / 2 ? -1 : 1;
        for (int step = 1; p1 && step <= Calibration::kMaxFineStep; step *= 2) {
            fineTravel(0, down * kFineUnits, step);
            auto p2 = locatePointer(p1);
            if (!p2)
                return;
            if (down * (p2->y - p1->y) > minTravel) {
                fineGain = down * (p2->y - p1->y) / (kFineUnits * step);
                if (step > 1)
                    fineStep = step;
                return;
            }
            p1 = p2;
        }
    };
    // A travel into the screen from a parked corner (`right` or the left one), then single steps down.
    auto fineFrom = [&](bool right, std::optional<PointD> parked) {
        if (!parked) {
            park(right);
            parked = PointD{right ? rightX.value_or(W - 1) : home[0], home[1]};
        }
        // Out of the corner first (there the phone holds the pointer at the edge while its disc is seen a
        // little inside), to where the Y curve passes a fifth of the height.
        const auto& curveY = curves[1];
        const auto& aside = shortTravel(0);
        auto down = std::find_if(curveY.begin(), curveY.end(), [&](const auto& point) { return point.second > 0.2 * H; });
        if (down == curveY.end())
            down = std::prev(curveY.end());
        travel(right ? -int(aside.first) : int(aside.first), int(down->first), 0);
        {
            std::lock_guard lock(mutex_);
            pointer_ = PointD{right ? parked->x - (aside.second - home[0]) : aside.second, down->second};
        }
        measureFine(locatePointer(std::nullopt));
    };
    tell("single steps");
    // From where the last sample was seen, once the phone has forgotten the travel's speed; else from the
    // right-hand corner where the pointer was just found, else from the left one; then, when the pointer
    // could not be found on the way (a busy computer, a late frame), from the left one again, at most twice:
    // without the fine gain, moves cannot be corrected by single steps.
    if (mirrored) {
        sleep(std::max(Duration::zero(), kForget - (timer_.now() - lastReportAt_)));
        measureFine(lastSeen);
    }
    if (!fineGain)
        fineFrom(rightPark.has_value(), rightPark);
    for (int attempt = 0; attempt < 2 && !fineGain; ++attempt)
        fineFrom(false, std::nullopt);
    log("input: fine gain " + (fineGain ? format("%.2f", *fineGain) : std::string("?")) + " px/unit" +
        (fineStep ? " in steps of " + std::to_string(*fineStep) + " units" : std::string()));
    if (fineGain && *fineGain > kMaxFineGain)
        throw InputError(ErrorCase::tooFast);
    log("input: right park at " + (rightX ? std::to_string(static_cast<long long>(*rightX)) : std::string("?")));

    auto [gainX, offsetX] = fit(curves[0]);
    auto [gainY, offsetY] = fit(curves[1]);
    for (double gain : {gainX, gainY})
        if (!(gain > 0.05 && gain < 30))
            throw InputError(ErrorCase::pointerNotFound);

    Calibration result{gainX, gainY, offsetX, offsetY, curves[0], curves[1], rightX, fineGain, fineStep};
    {
        std::lock_guard lock(mutex_);
        calibration_ = result;
        pointer_.reset();
        known_ = Known::no;
    }
    if (!options_.calibrationFile.empty()) {
        std::string failure;
        result.save(options_.calibrationFile, failure); // the calibration holds for this run regardless
    }
    char line[200];
    std::snprintf(line, sizeof line, "input: calibrated %d x %d points, average %.2f x %.2f px/unit, park at %.0f,%.0f",
                  int(curves[0].size()), int(curves[1].size()), gainX, gainY, offsetX, offsetY);
    log(line);
    return result;
}

} // namespace pokescope
