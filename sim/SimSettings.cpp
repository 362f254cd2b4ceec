#include "sim/SimSettings.hpp"

#include "sim/SimScreenApps.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace pokescope::sim {

const std::vector<SimModel>& SimModel::all() {
    // Status bars and safe areas in points, as each model lays out its screen.
    static const std::vector<SimModel> models{
        {"iphone-se", "iPhone14,6", 750, 1334, 2, 20, 0, true, false},
        {"iphone-13-mini", "iPhone14,4", 1080, 2340, 3, 50, 34, false, false},
        {"iphone-14-pro", "iPhone15,2", 1179, 2556, 3, 54, 34, false, true},
        {"iphone-15-pro-max", "iPhone16,2", 1290, 2796, 3, 54, 34, false, true},
    };
    return models;
}

const SimModel& SimModel::standard() { return *named("iphone-14-pro"); }

const SimModel* SimModel::named(const std::string& key) {
    for (const SimModel& model : all())
        if (model.key == key)
            return &model;
    return nullptr;
}

void SimPointerSettings::setTracking(double value) {
    // The slider's middle is the phone's default curve; its ends halve and double the fast gain, and move
    // the slow gain less, as a tracking-speed setting does.
    tracking = value;
    slowGain = 1.5 * std::pow(1.6, 2 * value - 1);
    fastGain = 4.0 * std::pow(2.0, 2 * value - 1);
}

SimPointerSettings SimPointerSettings::forTracking(double tracking) {
    SimPointerSettings settings;
    settings.setTracking(tracking);
    return settings;
}

namespace {

const char* kKnown = "model=, latency=, jitter=, fps=, drop=, noise=, tracking=, hid-latency=, hid-jitter=, "
                     "hid-loss=, animations=, crash-on-open=, points, dark, adapter, assistive-touch, assistive-touch-off, "
                     "bluetooth-off";

std::string trimmed(std::string word) {
    word.erase(0, word.find_first_not_of(" \t"));
    word.erase(word.find_last_not_of(" \t") + 1);
    return word;
}

[[noreturn]] void badValue(const std::string& key, const std::string& value, const std::string& wanted) {
    throw std::invalid_argument("simulated-phone setting " + key + "=" + value + " is not " + wanted);
}

// `value` read as a T from `low` to `high`, or the sentence saying it is not `wanted`.
template <class T>
T inRange(const std::string& key, const std::string& value, T low, T high, const std::string& wanted) {
    T result{};
    auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), result);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() ||
        !std::isfinite(static_cast<double>(result)) || result < low || result > high)
        badValue(key, value, wanted);
    return result;
}

std::chrono::milliseconds millis(const std::string& key, const std::string& value, int high) {
    return std::chrono::milliseconds(
        inRange(key, value, 0, high, "a whole number of milliseconds from 0 to " + std::to_string(high)));
}

std::string decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string appLabels() {
    std::string labels;
    for (const detail::AppInfo* app : detail::searchableApps())
        labels += (labels.empty() ? "" : ", ") + app->label;
    return labels;
}

std::string modelKeys() {
    std::string keys;
    for (const SimModel& model : SimModel::all())
        keys += (keys.empty() ? "" : ", ") + model.key;
    return keys;
}

} // namespace

SimSettings SimSettings::parse(const std::string& words, SimSettings base) {
    std::size_t start = 0;
    while (start <= words.size()) {
        std::size_t end = std::min(words.find(',', start), words.size());
        std::string word = trimmed(words.substr(start, end - start));
        start = end + 1;
        if (word.empty())
            continue;
        std::size_t equals = word.find('=');
        std::string key = trimmed(word.substr(0, equals));
        std::string value = equals == std::string::npos ? "" : trimmed(word.substr(equals + 1));
        bool valued = equals != std::string::npos;
        if (!valued && key == "points")
            base.pointer.wholePoints = true;
        else if (!valued && key == "dark")
            base.dark = true;
        else if (!valued && key == "adapter")
            base.adapter = true;
        else if (!valued && key == "assistive-touch")
            base.assistiveTouch = true;
        else if (!valued && key == "assistive-touch-off")
            base.assistiveTouch = false;
        else if (!valued && key == "bluetooth-off")
            base.bluetoothOn = false;
        else if (valued && key == "model") {
            const SimModel* model = SimModel::named(value);
            if (!model)
                badValue(key, value, "a known model (" + modelKeys() + ")");
            base.model = *model;
        } else if (valued && key == "latency")
            base.capture.latency = millis(key, value, 2000);
        else if (valued && key == "jitter")
            base.capture.jitter = millis(key, value, 1000);
        else if (valued && key == "fps")
            base.capture.fps = inRange(key, value, 1, 60, "a whole number of frames a second from 1 to 60");
        else if (valued && key == "drop")
            base.capture.dropRate = inRange(key, value, 0.0, 0.9, "a fraction from 0 to 0.9");
        else if (valued && key == "noise")
            base.capture.noise = inRange(key, value, 0, 64, "a whole number of grey levels from 0 to 64");
        else if (valued && key == "tracking") {
            base.pointer.setTracking(inRange(key, value, 0.0, 1.0, "a number from 0 (slowest) to 1 (fastest)"));
        } else if (valued && key == "hid-latency")
            base.pointer.latency = millis(key, value, 1000);
        else if (valued && key == "hid-jitter")
            base.pointer.maxJitter = millis(key, value, 1000);
        else if (valued && key == "hid-loss")
            base.pointer.loss = inRange(key, value, 0.0, 0.5, "a fraction from 0 to 0.5");
        else if (valued && key == "animations")
            base.animations = millis(key, value, 5000);
        else if (valued && key == "crash-on-open") {
            if (!detail::findApp(value))
                badValue(key, value, "an app on the phone (" + appLabels() + ")");
            base.crashOnOpen.insert(value);
        }
        else
            throw std::invalid_argument("unknown simulated-phone setting \"" + word + "\" (known: " + kKnown + ")");
    }
    return base;
}

std::string SimSettings::describe() const {
    std::string text = "model=" + model.key + ",latency=" + std::to_string(capture.latency.count()) +
                       ",jitter=" + std::to_string(capture.jitter.count()) + ",fps=" + std::to_string(capture.fps) +
                       ",drop=" + decimal(capture.dropRate) + ",noise=" + std::to_string(capture.noise) +
                       ",tracking=" + decimal(pointer.tracking) +
                       ",hid-latency=" + std::to_string(pointer.latency.count()) +
                       ",hid-jitter=" + std::to_string(pointer.maxJitter.count()) +
                       ",hid-loss=" + decimal(pointer.loss);
    if (animations)
        text += ",animations=" + std::to_string(animations->count());
    if (pointer.wholePoints)
        text += ",points";
    if (dark)
        text += ",dark";
    if (adapter)
        text += ",adapter";
    if (assistiveTouch)
        text += *assistiveTouch ? ",assistive-touch" : ",assistive-touch-off";
    if (!bluetoothOn)
        text += ",bluetooth-off";
    for (const std::string& app : crashOnOpen)
        text += ",crash-on-open=" + app;
    return text;
}

} // namespace pokescope::sim
