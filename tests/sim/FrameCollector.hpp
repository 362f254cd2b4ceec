// What the simulated phone delivers as a capture source, with when each frame arrived.
#pragma once

#include "sim/SimPhone.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace pokescope::sim {

// Collects what the phone delivers.
struct Collector {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<CapturedFrame> frames;
    std::vector<TimePoint> deliveredAt;

    void attach(SimPhone& phone) {
        phone.setFrameSink([this](const CapturedFrame& frame) {
            std::lock_guard lock(mutex);
            frames.push_back(frame);
            deliveredAt.push_back(std::chrono::steady_clock::now());
            arrived.notify_all();
        });
    }
    std::size_t frameCount() { return std::lock_guard(mutex), frames.size(); }
    bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return frames.size() >= count; });
    }
};

} // namespace pokescope::sim
