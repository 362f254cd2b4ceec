// How touches turn into taps and drags, which the engine's tapping and scrolling rely on: the slop, the
// list following the finger one to one, and no momentum from a finger at rest as it lifts.
#include "tests/sim/SimScreenFixture.hpp"

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

using SimScreenGesturesTest = SimScreenFixture;

TEST_F(SimScreenGesturesTest, PastTheSlopATouchIsADragThatFollowsTheFingerAndStopsWhereARestingFingerLifts) {
    open("Settings");
    double y = find("General")->y;
    screen.touchDown(600, 1800, now);
    screen.touchMove(600, 1775, now + 50ms); // 25 px: still a touch
    wait(50ms);
    EXPECT_EQ(find("General")->y, y);
    screen.touchMove(600, 1765, now + 50ms); // past 30 px: the list follows the finger
    wait(50ms);
    EXPECT_EQ(find("General")->y, y - 35);
    now += 200ms;
    screen.touchUp(600, 1765, now);
    EXPECT_FALSE(screen.animating()); // a finger at rest before the lift leaves the list where it is
    settle();
    EXPECT_EQ(find("General")->y, y - 35);
    EXPECT_EQ(screen.location(), "Settings");

    // A touch held long on a list is neither a tap nor a long press.
    auto general = find("General");
    double gy = general->y + general->height / 2.0;
    screen.touchDown(400, gy, now);
    wait(800ms);
    screen.touchUp(400, gy, now);
    settle();
    EXPECT_EQ(screen.location(), "Settings");
    EXPECT_FALSE(shows("Edit Home Screen"));
    // One that wanders less than the slop is still a tap on the row it started on.
    screen.touchDown(400, gy, now);
    screen.touchMove(420, gy - 15, now + 40ms);
    now += 90ms;
    screen.touchUp(420, gy - 15, now);
    settle();
    EXPECT_EQ(screen.location(), "Settings/General");

    // A swipe in from the left edge goes back a page, and on an app's first page does nothing.
    auto edgeSwipe = [&] {
        screen.touchDown(4, 1200, now);
        for (int i = 1; i <= 10; ++i)
            screen.touchMove(4 + 40 * i, 1200, now + 10ms * i);
        now += 120ms;
        screen.touchUp(404, 1200, now);
        settle();
    };
    edgeSwipe();
    EXPECT_EQ(screen.location(), "Settings");
    edgeSwipe();
    EXPECT_EQ(screen.location(), "Settings");
}

} // namespace
