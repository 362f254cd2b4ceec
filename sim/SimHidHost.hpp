// The simulated iPhone's HID host: it reads the two HID channels like a phone does, checks every input
// report against the published descriptor, and turns reports into pointer motion (with a phone's speed-
// dependent acceleration), touches, key presses and typing on the simulated screen.
#pragma once

#include "sim/SimHidDescriptor.hpp"
#include "sim/SimScreen.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace pokescope::sim {

// How the phone's pointer follows HID units: the gain (screen pixels per unit) grows with speed (units
// per millisecond) from `slowGain` to `fastGain`; a phone set to its top tracking speed moves far faster.
struct SimPointerSettings {
    double slowGain = 1.5;
    double fastGain = 4.0;
    double saturation = 2.0; // units per ms at which the gain stops growing
    double exponent = 1.2;
    bool tooFast = false;
    double tooFastGain = 28.0;
    std::chrono::milliseconds maxJitter{6}; // Bluetooth delivery jitter
};

class SimHidHost {
public:
    SimHidHost(SimScreen& screen, HidDescriptor descriptor);
    ~SimHidHost();
    SimHidHost(const SimHidHost&) = delete;
    SimHidHost& operator=(const SimHidHost&) = delete;

    // Takes the phone's end of a channel and reads it until it ends. While the interrupt channel of a
    // device with a keyboard is open, the screen has a hardware keyboard (no on-screen keyboard).
    void attach(std::uint16_t psm, int fd);
    // Closes the phone's ends of both channels and waits for the readers.
    void detachAll();
    bool attached(std::uint16_t psm) const;

    // Sends one control message to the computer (0x13 suspend, 0x14 exit suspend, 0x15 unplug, requests).
    bool sendControl(const std::vector<std::uint8_t>& message);
    // What the computer has answered on the control channel, in order.
    std::vector<std::uint8_t> controlReplies() const;

    void setPointerSettings(const SimPointerSettings& settings);
    long acceptedReports() const { return accepted_.load(); }
    long rejectedReports() const { return rejected_.load(); }
    std::string lastRejection() const;

    // Applies one interrupt message as if it had arrived now (used by the reader and by tests).
    void receive(const std::vector<std::uint8_t>& message);

private:
    void readLoop(std::uint16_t psm, int fd);
    void pointerReport(const std::vector<std::vector<int>>& fields, std::chrono::steady_clock::time_point at);
    void keyboardReport(const std::vector<std::vector<int>>& fields,
                        std::chrono::steady_clock::time_point at);

    SimScreen& screen_;
    HidDescriptor descriptor_;
    const bool keyboard_; // the descriptor declares a keyboard, so the phone treats us as one
    mutable std::mutex mutex_;
    std::map<std::uint16_t, int> fds_;
    std::vector<std::thread> readers_;
    std::vector<std::uint8_t> controlReplies_;
    SimPointerSettings settings_;
    std::optional<std::chrono::steady_clock::time_point> lastPointerReport_;
    bool buttonDown_ = false;
    std::set<int> keysDown_;
    std::mt19937 random_{7};
    std::atomic<long> accepted_{0}, rejected_{0};
    std::string lastRejection_;
};

} // namespace pokescope::sim
