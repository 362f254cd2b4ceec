// The simulated iPhone's HID host: it reads the two HID channels like a phone does, checks every input
// report against the published descriptor, and turns reports into pointer motion (with a phone's speed-
// dependent acceleration), touches, key presses and typing on the simulated screen. Reports reach it as
// over the air: late, unevenly, and some never (SimPointerSettings).
#pragma once

#include "sim/SimHidDescriptor.hpp"
#include "sim/SimScreen.hpp"
#include "sim/SimSettings.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace pokescope::sim {

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
    // Reports lost on the air (`SimPointerSettings::loss`).
    long lostReports() const { return lost_.load(); }
    std::string lastRejection() const;

    // Takes one interrupt message as it leaves this computer: it reaches the phone after the link's
    // latency and jitter, in order, unless the air loses it.
    void receive(const std::vector<std::uint8_t>& message);

private:
    struct Delivery {
        std::uint8_t reportID = 0;
        std::vector<std::vector<int>> fields;
        std::chrono::steady_clock::time_point at;
    };
    void readLoop(std::uint16_t psm, int fd);
    void deliveryLoop();
    void apply(const Delivery& delivery);
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
    double smoothedSpeed_ = 0; // units per ms, over the last reports
    bool buttonDown_ = false;
    std::deque<Delivery> deliveries_; // on the air, in order
    std::chrono::steady_clock::time_point lastArrival_{};
    std::condition_variable delivered_;
    bool stopping_ = false;
    std::thread deliverer_;
    std::set<int> keysDown_;
    std::mt19937 random_{7};
    std::atomic<long> accepted_{0}, rejected_{0}, lost_{0};
    std::string lastRejection_;
};

} // namespace pokescope::sim
