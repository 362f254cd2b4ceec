#include "platform/Dispatch.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace pokescope {

namespace {

thread_local DispatchQueue* tlsCurrent = nullptr;

// Work that throws must not take the queue's thread down with it; the message goes to standard error
// because this layer knows nothing of the application's log.
void runGuarded(const std::string& label, const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        std::string line = "pokescope: uncaught exception on " + label + ": " + e.what() + "\n";
        [[maybe_unused]] auto n = ::write(2, line.data(), line.size());
    } catch (...) {
        std::string line = "pokescope: uncaught exception on " + label + "\n";
        [[maybe_unused]] auto n = ::write(2, line.data(), line.size());
    }
}

class AsioDriver final : public QueueDriver {
public:
    explicit AsioDriver(asio::io_context& io) : io_(io) {}
    void post(std::function<void()> fn) override { asio::post(io_, std::move(fn)); }
    void postAfter(Duration delay, std::function<void()> fn) override {
        auto timer = std::make_shared<asio::steady_timer>(io_, delay);
        timer->async_wait([timer, fn = std::move(fn)](const std::error_code& ec) {
            if (!ec)
                fn();
        });
    }

private:
    asio::io_context& io_;
};

} // namespace

void setThreadName(const std::string& label) {
    std::string name = label.substr(0, 15);
    pthread_setname_np(pthread_self(), name.c_str());
}

// ---------------------------------------------------------------------------------------------------
// Clocks

Clock& Clock::system() {
    static auto* clock = new SystemClock(); // never destroyed: timers may fire during exit
    return *clock;
}

void SystemClock::schedule(DispatchQueue& queue, Duration delay, std::function<void()> fn) {
    queue.postAfter(delay, std::move(fn));
}

struct ManualClock::State {
    mutable std::mutex mutex;
    TimePoint now = std::chrono::steady_clock::now();
    std::uint64_t sequence = 0;
    struct Entry {
        DispatchQueue* queue;
        std::function<void()> fn;
    };
    std::map<std::pair<TimePoint, std::uint64_t>, Entry> entries;
};

ManualClock::ManualClock() : state_(std::make_unique<State>()) {}
ManualClock::~ManualClock() = default;

TimePoint ManualClock::now() const {
    std::lock_guard lock(state_->mutex);
    return state_->now;
}

void ManualClock::schedule(DispatchQueue& queue, Duration delay, std::function<void()> fn) {
    std::lock_guard lock(state_->mutex);
    auto key = std::make_pair(state_->now + std::max(delay, Duration::zero()), state_->sequence++);
    state_->entries.emplace(key, State::Entry{&queue, std::move(fn)});
}

void ManualClock::advance(Duration by) {
    // Steps through the due work one piece at a time, each run to completion at its own deadline, so work
    // that schedules more work within the window sees the time it would see with a real clock.
    TimePoint target;
    {
        std::lock_guard lock(state_->mutex);
        target = state_->now + by;
    }
    for (;;) {
        State::Entry entry;
        {
            std::lock_guard lock(state_->mutex);
            auto first = state_->entries.begin();
            if (first == state_->entries.end() || first->first.first > target) {
                state_->now = target;
                return;
            }
            state_->now = std::max(state_->now, first->first.first);
            entry = std::move(first->second);
            state_->entries.erase(first);
        }
        entry.queue->sync(entry.fn);
    }
}

std::size_t ManualClock::pending() const {
    std::lock_guard lock(state_->mutex);
    return state_->entries.size();
}

// ---------------------------------------------------------------------------------------------------
// Serial queues

struct DispatchQueue::Impl {
    asio::io_context io{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard;
    std::thread thread;
    bool isMain = false;
    std::atomic<std::thread::id> mainThread{};
    std::mutex driverMutex;
    std::unique_ptr<QueueDriver> driver;
};

DispatchQueue::DispatchQueue(std::string label) : label_(std::move(label)), impl_(std::make_unique<Impl>()) {
    impl_->driver = std::make_unique<AsioDriver>(impl_->io);
    impl_->guard.emplace(impl_->io.get_executor());
    impl_->thread = std::thread([this] {
        setThreadName(label_);
        tlsCurrent = this;
        impl_->io.run();
        tlsCurrent = nullptr;
    });
}

DispatchQueue::DispatchQueue(MainTag) : label_("main"), impl_(std::make_unique<Impl>()) {
    impl_->isMain = true;
    impl_->driver = std::make_unique<AsioDriver>(impl_->io);
}

DispatchQueue::~DispatchQueue() {
    if (impl_->isMain)
        return;
    impl_->guard.reset();
    impl_->io.stop();
    if (impl_->thread.joinable()) {
        if (impl_->thread.get_id() == std::this_thread::get_id())
            impl_->thread.detach();
        else
            impl_->thread.join();
    }
}

DispatchQueue& DispatchQueue::main() {
    static auto* queue = new DispatchQueue(MainTag{}); // lives for the whole process
    return *queue;
}

void DispatchQueue::runMain() {
    auto& queue = main();
    queue.impl_->mainThread.store(std::this_thread::get_id());
    tlsCurrent = &queue;
    auto guard = asio::make_work_guard(queue.impl_->io);
    queue.impl_->io.restart();
    queue.impl_->io.run();
    tlsCurrent = nullptr;
}

void DispatchQueue::stopMain() { main().impl_->io.stop(); }

void DispatchQueue::setDriver(std::unique_ptr<QueueDriver> driver) {
    std::lock_guard lock(impl_->driverMutex);
    impl_->driver = std::move(driver);
    if (impl_->isMain)
        impl_->mainThread.store(std::this_thread::get_id());
}

bool DispatchQueue::isCurrent() const {
    if (impl_->isMain)
        return impl_->mainThread.load() == std::this_thread::get_id();
    return tlsCurrent == this;
}

DispatchQueue* DispatchQueue::current() {
    if (tlsCurrent)
        return tlsCurrent;
    auto& mainQueue = main();
    return mainQueue.isCurrent() ? &mainQueue : nullptr;
}

void DispatchQueue::async(std::function<void()> fn) {
    std::lock_guard lock(impl_->driverMutex);
    impl_->driver->post([this, fn = std::move(fn)] { runGuarded(label_, fn); });
}

void DispatchQueue::postAfter(Duration delay, std::function<void()> fn) {
    std::lock_guard lock(impl_->driverMutex);
    impl_->driver->postAfter(delay, [this, fn = std::move(fn)] { runGuarded(label_, fn); });
}

WorkItemPtr DispatchQueue::asyncAfter(Duration delay, std::function<void()> fn, Clock& clock) {
    auto item = std::make_shared<WorkItem>();
    clock.schedule(*this, delay, [item, fn = std::move(fn)] {
        if (!item->isCancelled())
            fn();
    });
    return item;
}

asio::io_context* DispatchQueue::ioContext() {
    std::lock_guard lock(impl_->driverMutex);
    if (impl_->isMain && !dynamic_cast<AsioDriver*>(impl_->driver.get()))
        return nullptr;
    return &impl_->io;
}

// ---------------------------------------------------------------------------------------------------
// Concurrent pool

struct ConcurrentQueue::Impl {
    std::string label;
    std::size_t maxThreads;
    std::size_t keepThreads;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> work;
    std::size_t threads = 0;
    std::size_t idle = 0;
    bool stopping = false;

    static void worker(const std::shared_ptr<Impl>& self) {
        setThreadName(self->label);
        std::unique_lock lock(self->mutex);
        for (;;) {
            while (self->work.empty()) {
                if (self->stopping) {
                    --self->threads;
                    return;
                }
                ++self->idle;
                bool woke = self->wake.wait_for(lock, std::chrono::seconds(20),
                                                [&] { return !self->work.empty() || self->stopping; });
                --self->idle;
                if (!woke && self->threads > self->keepThreads) {
                    --self->threads;
                    return;
                }
            }
            auto fn = std::move(self->work.front());
            self->work.pop_front();
            lock.unlock();
            runGuarded(self->label, fn);
            fn = nullptr; // release captures before taking the lock again
            lock.lock();
        }
    }
};

ConcurrentQueue::ConcurrentQueue(std::string label, std::size_t maxThreads, std::size_t keepThreads)
    : label_(std::move(label)), impl_(std::make_shared<Impl>()) {
    impl_->label = label_;
    impl_->maxThreads = std::max<std::size_t>(1, maxThreads);
    impl_->keepThreads = keepThreads;
}

ConcurrentQueue::~ConcurrentQueue() {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    impl_->wake.notify_all();
}

void ConcurrentQueue::async(std::function<void()> fn) {
    std::unique_lock lock(impl_->mutex);
    impl_->work.push_back(std::move(fn));
    // Every idle thread takes one piece of work; start another thread when there are not enough of them.
    if (impl_->idle >= impl_->work.size() || impl_->threads >= impl_->maxThreads) {
        impl_->wake.notify_one();
        return;
    }
    ++impl_->threads;
    lock.unlock();
    std::thread(&Impl::worker, impl_).detach();
}

std::size_t ConcurrentQueue::threadCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->threads;
}

ConcurrentQueue& DispatchQueue::global() {
    static auto* pool = new ConcurrentQueue("pokescope.global"); // lives for the whole process
    return *pool;
}

} // namespace pokescope
