// Queues (serial, delayed, on a manual clock, growing pools, the main queue) and notifications delivered
// through them.
#include "platform/Dispatch.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

using namespace pokescope;
using namespace std::chrono_literals;

TEST(DispatchQueue, RunsWorkInOrderOnItsOwnThreadSyncInlineAndSurvivesExceptionsAndTheMainQueueOnItsRunner) {
    DispatchQueue queue("test.order");
    std::vector<int> seen;
    std::thread::id worker;
    for (int i = 0; i < 1000; ++i)
        queue.async([&, i] { seen.push_back(i); worker = std::this_thread::get_id(); });
    queue.sync([] {});
    ASSERT_EQ(seen.size(), 1000u);
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(seen[i], i);
    EXPECT_NE(worker, std::this_thread::get_id());

    // Sync from the queue's own thread runs inline instead of deadlocking.
    int value = queue.sync([&] { EXPECT_TRUE(queue.isCurrent()); return queue.sync([] { return 41; }) + 1; });
    EXPECT_EQ(value, 42);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_EQ(DispatchQueue::current(), nullptr);

    // Exceptions reach the sync caller and never stop the queue.
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    queue.async([] { throw std::runtime_error("lost"); });
    EXPECT_EQ(queue.sync([] { return 7; }), 7);

    // The main queue runs posted work on the thread that runs it.
    std::thread::id ranOn;
    std::thread runner([&] {
        DispatchQueue::main().async([&] {
            ranOn = std::this_thread::get_id();
            EXPECT_TRUE(DispatchQueue::main().isCurrent());
            DispatchQueue::stopMain();
        });
        DispatchQueue::runMain();
        EXPECT_EQ(ranOn, std::this_thread::get_id());
    });
    runner.join();
    EXPECT_NE(ranOn, std::thread::id{});
}

TEST(ManualClock, FiresOnlyDueWorkInDeadlineOrderAndOnTheSystemClockAfterItsDelayUnlessCancelled) {
    DispatchQueue queue("test.manual");
    ManualClock clock;
    std::vector<std::string> fired;
    queue.asyncAfter(3s, [&] { fired.push_back("c"); }, clock);
    queue.asyncAfter(1s, [&] { fired.push_back("a"); }, clock);
    auto cancelled = queue.asyncAfter(2s, [&] { fired.push_back("cancelled"); }, clock);
    queue.asyncAfter(2s, [&] { fired.push_back("b"); }, clock);
    cancelled->cancel();
    EXPECT_EQ(clock.pending(), 4u);

    clock.advance(999ms);
    queue.sync([] {});
    EXPECT_TRUE(fired.empty());

    clock.advance(1ms);
    queue.sync([] {});
    EXPECT_EQ(fired, std::vector<std::string>{"a"});

    clock.advance(5s);
    queue.sync([] {});
    EXPECT_EQ(fired, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(clock.pending(), 0u);

    // On the system clock, delayed work runs after its delay unless cancelled.
    DispatchQueue delayed("test.delay");
    std::atomic<bool> ran = false, cancelledRan = false;
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point ranAt;
    delayed.asyncAfter(30ms, [&] { cancelledRan = true; })->cancel();
    delayed.asyncAfter(60ms, [&] { ranAt = std::chrono::steady_clock::now(), ran = true; });
    ASSERT_TRUE(test::eventually([&] { return ran.load(); }, 10s));
    EXPECT_GE(ranAt - start, 60ms);
    EXPECT_FALSE(cancelledRan); // it was due before the other on the same queue
}

TEST(ConcurrentQueue, GrowsWithWorkInFlightSoBlockedWorkNeverStarvesNewWorkButNeverExceedsItsCap) {
    ConcurrentQueue pool("test.pool", 64, 2);
    constexpr int blockers = 20;
    // Shared with the work: the pool's threads are detached and may still be leaving a latch's wait when the
    // test ends.
    auto started = std::make_shared<std::latch>(blockers), release = std::make_shared<std::latch>(1),
         quick = std::make_shared<std::latch>(1);
    for (int i = 0; i < blockers; ++i)
        pool.async([started, release] { started->count_down(); release->wait(); });
    // All twenty run at once: none waits for another to finish.
    started->wait();
    EXPECT_GE(pool.threadCount(), static_cast<size_t>(blockers));
    // And one more piece of work still runs while they all block.
    pool.async([quick] { quick->count_down(); });
    quick->wait();
    release->count_down();

    ConcurrentQueue capped("test.cap", 3, 1);
    std::atomic<int> running{0}, peak{0}, finished{0};
    for (int i = 0; i < 12; ++i)
        capped.async([&] {
            int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(20ms);
            --running;
            ++finished;
        });
    ASSERT_TRUE(test::eventually([&] { return finished.load() == 12; }));
    EXPECT_LE(peak.load(), 3);
    EXPECT_LE(capped.threadCount(), 3u);
}

