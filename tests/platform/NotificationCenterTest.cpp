#include "platform/Dispatch.hpp"
#include "core/Notifications.hpp"
#include "platform/NotificationCenter.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>

using namespace pokescope;
using namespace std::chrono_literals;

TEST(NotificationCenter, DeliversByNameWithTheObjectAndNothingToRemovedObservers) {
    NotificationCenter center;
    std::vector<std::optional<std::string>> lost;
    int bluetooth = 0;
    auto a = center.addObserver(kScreenLostNotification, [&](const auto& object) { lost.push_back(object); });
    auto b = center.addObserver(kBluetoothStateChangedNotification, [&](const auto&) { ++bluetooth; });
    center.post(kScreenLostNotification, "the iPhone was disconnected");
    center.post(kScreenLostNotification);
    center.post("SomethingElse", "x");
    ASSERT_EQ(lost.size(), 2u);
    EXPECT_EQ(lost[0], "the iPhone was disconnected");
    EXPECT_EQ(lost[1], std::nullopt);
    EXPECT_EQ(bluetooth, 0);

    // Removed observers hear nothing, also when a handler removes itself.
    int calls = 0;
    auto observer = center.addObserver("N", [&](const auto&) { ++calls; });
    center.post("N");
    observer.reset();
    center.post("N");
    {
        auto scoped = center.addObserver("N", [&](const auto&) { ++calls; });
        center.post("N");
    }
    center.post("N");
    EXPECT_EQ(calls, 2);

    // A handler may remove its own observer.
    NotificationCenter::Observer self;
    self = center.addObserver("N", [&](const auto&) {
        ++calls;
        self.reset();
    });
    center.post("N");
    center.post("N");
    EXPECT_EQ(calls, 3);
}

TEST(NotificationCenter, DeliversOnTheQueueTheObserverNamed) {
    NotificationCenter center;
    DispatchQueue queue("test.observer");
    std::atomic<bool> onQueue{false};
    std::latch done(1);
    auto observer = center.addObserver(
        "N",
        [&](const auto&) {
            onQueue = queue.isCurrent();
            done.count_down();
        },
        &queue);
    center.post("N");
    done.wait();
    EXPECT_TRUE(onQueue.load());
}

TEST(NotificationCenter, RemovalWaitsForAHandlerRunningOnAnotherThread) {
    NotificationCenter center;
    std::latch entered(1);
    std::atomic<bool> finished{false};
    auto observer = center.addObserver("N", [&](const auto&) {
        entered.count_down();
        std::this_thread::sleep_for(100ms);
        finished = true;
    });
    std::thread poster([&] { center.post("N"); });
    entered.wait();
    observer.reset(); // must not return while the handler still runs
    EXPECT_TRUE(finished.load());
    poster.join();
}
