// What kind of phone the simulated iPhone is and how its capture path and Bluetooth link behave: the
// settings of a --simulate run, given in POKESCOPE_SIM as comma-separated words and key=value pairs
// ("model=iphone-se,dark,latency=200"). The defaults are an iPhone 14 Pro on a clean, quick path.
#pragma once

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pokescope::sim {

// A phone model: its screen in device pixels and points, and what sits around the content.
struct SimModel {
    std::string key;         // the setting's value: "iphone-14-pro"
    std::string productType; // as lockdown reports it: "iPhone15,2"
    int width = 0, height = 0;
    double scale = 3;             // device pixels per point
    double statusBarPt = 54;      // the status bar's height
    double bottomInsetPt = 34;    // the home indicator's safe area; 0 on a phone with a Home button
    bool homeButton = false;      // Touch ID and a Home button: no home indicator, no swipe home
    bool dynamicIsland = true;    // else a notch, or nothing on a Home-button phone

    double widthPt() const { return width / scale; }
    double heightPt() const { return height / scale; }

    static const std::vector<SimModel>& all();
    // The default model (iPhone 14 Pro).
    static const SimModel& standard();
    static const SimModel* named(const std::string& key);
};

// How the phone's screen reaches this computer. Settable while the phone runs.
struct SimSwitches {
    std::chrono::milliseconds latency{45}; // from drawing a frame to its delivery
    std::chrono::milliseconds jitter{0};   // a uniform extra latency per frame, up to this
    int fps = 60;                          // most frames a second the source delivers
    int noise = 6;                         // strength of the encoder's artefacts around changes; 0 for none
    double dropRate = 0.0;                 // share of changed frames that never arrive
    bool frozen = false;                   // the stream keeps showing an old picture
};

// How the phone's pointer follows HID units and how reports cross the air. The gain (pixels of a 3× screen
// per unit: the pointer moves in points on every model) grows with the pointer's speed, smoothed over the
// last reports as pointer acceleration does, from `slowGain` to `fastGain`; the phone's tracking-speed
// setting scales both.
struct SimPointerSettings {
    double slowGain = 1.5;
    double fastGain = 4.0;
    double saturation = 2.0; // units per ms at which the gain stops growing
    double exponent = 1.2;
    std::chrono::milliseconds smoothing{40}; // how long a burst of speed keeps raising the gain
    bool tooFast = false;                    // the top tracking speed, beyond what can be calibrated
    double tooFastGain = 28.0;
    std::chrono::milliseconds maxJitter{6}; // Bluetooth delivery jitter
    std::chrono::milliseconds latency{0};   // Bluetooth delivery latency
    double loss = 0.0;                      // share of reports lost on the air
    bool wholePoints = false;               // the pointer rests on whole points, not sub-pixels

    // The curve of the phone's tracking-speed slider at `tracking` (0 slowest, 1 fastest; 0.5 is the
    // phone's default curve); the link's settings stay as they are.
    void setTracking(double tracking);
    static SimPointerSettings forTracking(double tracking);
    double tracking = 0.5;
};

// The words of POKESCOPE_SIM, applied in order.
struct SimSettings {
    SimModel model = SimModel::standard();
    SimSwitches capture;
    SimPointerSettings pointer;
    std::optional<bool> assistiveTouch; // unset: as the run decides
    bool bluetoothOn = true;
    bool dark = false;
    bool adapter = false;                            // the screen through an HDMI capture adapter
    std::optional<std::chrono::milliseconds> animations; // page pushes, app launches, scroll deceleration
    std::set<std::string> crashOnOpen;                   // apps (Home Screen labels) that crash as they open

    // Reads `words` over `base`. Throws std::invalid_argument with a sentence naming the first word it
    // does not know or whose value is out of range.
    static SimSettings parse(const std::string& words, SimSettings base);
    static SimSettings parse(const std::string& words) { return parse(words, SimSettings()); }
    // Every setting in force, in POKESCOPE_SIM's own words (feeding it back gives the same phone).
    std::string describe() const;
};

} // namespace pokescope::sim
