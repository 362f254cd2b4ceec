// Calibration: how many pixels one HID unit moves the phone's pointer, measured from the top-left park.
#include "input/InputEngine.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace pokescope {

namespace {

constexpr int kSamples[] = {24, 48, 96, 160, 240, 360, 520, 720, 1000, 1400, 2000};
constexpr double kStallPx = 4.0;
constexpr double kFastX = 0.6, kFastY = 0.3;
constexpr double kFar = 0.85;
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
    // Everything later rests on these samples: they are taken with the full waits whatever the timing.
    exactNow_ = true;
    struct Restore {
        bool& flag;
        ~Restore() { flag = false; }
    } restore{exactNow_};
    const double W = width, H = height;

    tell("finding the pointer");
    park(false);
    Calibration::Curve curves[2];
    double parkPoint[2] = {0, 0};
    if (auto seen = locatePointer(std::nullopt)) {
        curves[0].push_back({0, seen->x});
        curves[1].push_back({0, seen->y});
        parkPoint[0] = seen->x;
        parkPoint[1] = seen->y;
    }
    const double fastLimit[2] = {kFastX * W, kFastY * H};
    const double farLimit[2] = {kFar * W, kFar * H};
    bool finished[2] = {false, false};
    int stalls[2] = {0, 0};

    int sample = 0;
    for (int u : kSamples) {
        if (finished[0] && finished[1])
            break;
        tell("sample " + std::to_string(++sample) + " of at most " + std::to_string(std::size(kSamples)));
        park(false);
        travel(finished[0] ? 0 : u, finished[1] ? 0 : u, 0);
        auto seen = locatePointer(std::nullopt);
        if (!seen)
            continue;
        log("input: calibration sample " + std::to_string(u) + " units -> " + std::to_string(int(seen->x)) + "," +
            std::to_string(int(seen->y)));
        if (u == kSamples[0] && (seen->x > fastLimit[0] || seen->y > fastLimit[1]))
            throw InputError(ErrorCase::tooFast);
        // A phone at its top tracking speed flies several hundred pixels in the first sample while staying
        // inside the limits above, then leaves the screen; more than the fine-step limit per unit already
        // tells that it is too fast.
        if (u == kSamples[0] && ((seen->x - parkPoint[0]) / u > kMaxFineGain || (seen->y - parkPoint[1]) / u > kMaxFineGain))
            throw InputError(ErrorCase::tooFast);
        const double measured[2] = {seen->x, seen->y};
        for (int axis = 0; axis < 2; ++axis) {
            if (finished[axis])
                continue;
            double v = measured[axis];
            auto& curve = curves[axis];
            if (!curve.empty() && curve.back().second + kStallPx >= v) {
                if (++stalls[axis] >= 2)
                    finished[axis] = true;
                continue;
            }
            curve.push_back({double(u), v});
            stalls[axis] = 0;
            if (v > farLimit[axis])
                finished[axis] = true;
        }
    }
    if (curves[0].size() < 3 || curves[1].size() < 3)
        throw InputError(ErrorCase::pointerNotFound);

    tell("the right-hand corner");
    park(true);
    std::optional<double> rightX;
    if (auto seen = locatePointer(std::nullopt))
        rightX = seen->x;

    std::optional<double> fineGain;
    std::optional<int> fineStep;
    // Measured again once when the pointer could not be found on the way (a busy computer, a late frame):
    // without it, moves cannot be corrected by single steps.
    for (int attempt = 0; attempt < 2 && !fineGain && !curves[1].empty(); ++attempt) {
        tell("single steps");
        park(false);
        int unitsX = int(curves[0][2].first);
        int unitsY = int(curves[1].back().first);
        for (const auto& [u, px] : curves[1])
            if (px > kFastY * H) {
                unitsY = int(u);
                break;
            }
        travel(unitsX, unitsY, 0);
        auto p1 = locatePointer(std::nullopt);
        // 20 pixels of a phone's own 1179-pixel-wide picture; fewer in the smaller picture of a capture adapter,
        // where 30 single steps move less than that.
        const double minTravel = kFineMinTravel * std::min(1.0, W / kPhoneWidth);
        // A phone that keeps its pointer on whole points drops a report worth less than a point: then the
        // fine step is the fewest units per report that move it.
        for (int step = 1; p1 && step <= Calibration::kMaxFineStep; step *= 2) {
            fineTravel(0, kFineUnits, step);
            auto p2 = locatePointer(p1);
            if (!p2)
                break;
            if (p2->y > p1->y + minTravel) {
                fineGain = (p2->y - p1->y) / (kFineUnits * step);
                if (step > 1)
                    fineStep = step;
                break;
            }
            p1 = p2;
        }
    }
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
        pointerSeen_ = false;
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
