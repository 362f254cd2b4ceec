// Queues the rest of the system is written for: named serial queues with a thread each, one concurrent
// pool for agent requests, and the main queue that the application's run loop drains.
//
// Thread contract: every member may be called from any thread. Work posted to one serial queue runs in
// order, one item at a time, on that queue's thread. `sync` runs the work inline when called from the
// queue itself, so a queue may call into its own services without deadlocking.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <type_traits>

namespace asio {
class io_context;
}

namespace pokescope {

using Duration = std::chrono::steady_clock::duration;
using TimePoint = std::chrono::steady_clock::time_point;

inline Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}
inline Duration milliseconds(long long ms) { return std::chrono::milliseconds(ms); }

// A piece of delayed work that can be called off until the moment it starts.
class WorkItem {
public:
    void cancel() { cancelled_.store(true); }
    bool isCancelled() const { return cancelled_.load(); }

private:
    std::atomic<bool> cancelled_{false};
};
using WorkItemPtr = std::shared_ptr<WorkItem>;

class DispatchQueue;
class ConcurrentQueue;

// Where delayed work takes its time from. Production code uses `Clock::system()`; tests that drive
// timers (reconnects, recording limits) pass a ManualClock and advance it by hand.
class Clock {
public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
    // Runs `fn` on `queue` once `delay` has passed on this clock.
    virtual void schedule(DispatchQueue& queue, Duration delay, std::function<void()> fn) = 0;
    static Clock& system();
};

class SystemClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    void schedule(DispatchQueue& queue, Duration delay, std::function<void()> fn) override;
};

// Time that moves only when `advance` is called; due work runs on its queue in deadline order, each piece
// at its own deadline and to completion before the next.
class ManualClock final : public Clock {
public:
    ManualClock();
    ~ManualClock() override;
    TimePoint now() const override;
    void schedule(DispatchQueue& queue, Duration delay, std::function<void()> fn) override;
    // Moves time forward, running every piece of work that becomes due on its queue, earliest first;
    // returns when all of it has run.
    void advance(Duration by);
    // Number of scheduled pieces of work that are not yet due.
    std::size_t pending() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// How a queue gets its closures run. A serial queue owns an Asio loop on its own thread; the main queue's
// driver can be replaced by the window toolkit's event loop.
class QueueDriver {
public:
    virtual ~QueueDriver() = default;
    virtual void post(std::function<void()> fn) = 0;
    virtual void postAfter(Duration delay, std::function<void()> fn) = 0;
};

class DispatchQueue {
public:
    // A serial queue with a thread of its own, named after the label.
    explicit DispatchQueue(std::string label);
    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // The main queue: its work runs on the thread that calls `runMain` (or in the window toolkit's loop).
    static DispatchQueue& main();
    // The process-wide concurrent pool for agent requests and background work.
    static ConcurrentQueue& global();
    // Drains the main queue on the calling thread until `stopMain`; the calling thread becomes the main
    // thread.
    static void runMain();
    static void stopMain();
    // Replaces how the main queue runs its work (the window application hands it to Qt's event loop).
    void setDriver(std::unique_ptr<QueueDriver> driver);

    const std::string& label() const { return label_; }
    bool isCurrent() const;
    static DispatchQueue* current();

    void async(std::function<void()> fn);

    // Runs `fn` on this queue and waits for it; exceptions thrown by `fn` reach the caller.
    template <class F> auto sync(F&& fn) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if (isCurrent())
            return fn();
        std::packaged_task<R()> task(std::forward<F>(fn));
        auto future = task.get_future();
        async([&task] { task(); });
        return future.get();
    }

    // Runs `fn` on this queue once `delay` has passed on `clock`, unless the returned item is cancelled
    // first.
    WorkItemPtr asyncAfter(Duration delay, std::function<void()> fn, Clock& clock = Clock::system());

    // The Asio loop behind this queue, for platform backends whose I/O completes on the queue. Null for
    // the main queue when another driver runs it.
    asio::io_context* ioContext();

    // Used by clocks: post without cancellation handling.
    void postAfter(Duration delay, std::function<void()> fn);

private:
    struct MainTag {};
    explicit DispatchQueue(MainTag);
    struct Impl;
    friend struct Impl;
    std::string label_;
    std::unique_ptr<Impl> impl_;
};

// The concurrent pool: runs work on as many threads as there is work in flight, up to a cap, so that a
// quick request is never stuck behind long ones. Threads that have been idle for a while go away.
class ConcurrentQueue {
public:
    explicit ConcurrentQueue(std::string label, std::size_t maxThreads = 64, std::size_t keepThreads = 2);
    ~ConcurrentQueue();
    ConcurrentQueue(const ConcurrentQueue&) = delete;
    ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

    void async(std::function<void()> fn);
    std::size_t threadCount() const;
    const std::string& label() const { return label_; }

private:
    struct Impl;
    std::string label_;
    std::shared_ptr<Impl> impl_;
};

// Names the calling thread (shown by debuggers and `top -H`); long labels are cut to the system's limit.
void setThreadName(const std::string& label);

} // namespace pokescope
