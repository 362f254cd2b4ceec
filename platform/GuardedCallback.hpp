// A callback that can be withdrawn safely while other threads may be calling it: once `withdraw`
// returns, the callback is not running on any other thread and will never be entered again. A callback
// may withdraw itself (or others) from inside its own call without deadlock.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace pokescope {

template <class... Args> class GuardedCallback {
public:
    explicit GuardedCallback(std::function<void(Args...)> fn) : fn_(std::move(fn)) {}

    // Calls the callback unless it has been withdrawn; returns whether it ran.
    bool call(Args... args) {
        {
            std::lock_guard lock(mutex_);
            if (!active_)
                return false;
            callers_.push_back(std::this_thread::get_id());
        }
        try {
            fn_(args...);
        } catch (...) {
            leave();
            throw;
        }
        leave();
        return true;
    }

    void withdraw() {
        std::unique_lock lock(mutex_);
        active_ = false;
        auto self = std::this_thread::get_id();
        idle_.wait(lock, [&] {
            return std::all_of(callers_.begin(), callers_.end(), [&](auto id) { return id == self; });
        });
    }

private:
    void leave() {
        std::lock_guard lock(mutex_);
        callers_.erase(std::find(callers_.begin(), callers_.end(), std::this_thread::get_id()));
        idle_.notify_all();
    }

    std::function<void(Args...)> fn_;
    std::mutex mutex_;
    std::condition_variable idle_;
    bool active_ = true;
    std::vector<std::thread::id> callers_;
};

} // namespace pokescope
