// Work queued for an object that may run after the object is gone (on the main queue, which outlives every
// service): closures wrapped by `guard` run only while the object lives. The owner calls `end()` first in
// its destructor; it waits for a guarded closure that is running now, and later ones do nothing.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace pokescope {

class Lifetime {
    struct State {
        std::recursive_mutex mutex; // held while guarded work runs
        bool alive = true;
    };

public:
    // Copyable, for threads that queue work for the object: guards as the Lifetime does.
    class Token {
    public:
        std::function<void()> guard(std::function<void()> work) const {
            return [state = state_, work = std::move(work)] {
                std::lock_guard lock(state->mutex);
                if (state->alive)
                    work();
            };
        }

    private:
        friend class Lifetime;
        explicit Token(std::shared_ptr<State> state) : state_(std::move(state)) {}
        std::shared_ptr<State> state_;
    };

    Lifetime() = default;
    ~Lifetime() { end(); }
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    Token token() const { return Token(state_); }
    std::function<void()> guard(std::function<void()> work) const { return token().guard(std::move(work)); }
    void end() {
        std::lock_guard lock(state_->mutex);
        state_->alive = false;
    }

private:
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace pokescope
