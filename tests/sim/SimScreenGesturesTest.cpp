// How touches turn into taps, long presses, drags and flings: the thresholds in time and distance, the
// list following the finger one to one, and momentum from the finger's speed as it lifts. The engine's
// scrolling and tapping are measured against these.
#include "tests/sim/SimScreenFixture.hpp"

#include <utility>
#include <vector>

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

constexpr double kSettingsIconX = 171, kSettingsIconY = 315; // the first icon of the home grid

class SimScreenGesturesTest : public SimScreenFixture {
protected:
    struct Outcome {
        double scrolled = -1;
        bool glided = false; // still moving right after the lift
    };
    // On a fresh Settings list: a vertical drag at x = 600 through (time since touch-down, y) points,
    // lifted at the last point after `rest`; how far the list ends up scrolled once still.
    static Outcome dragList(const std::vector<std::pair<Duration, double>>& points, Duration rest = 0ms) {
        SimScreen list;
        Image image;
        TimePoint t = TimePoint{} + 100h;
        list.openApp("Settings", t);
        for (int i = 0; i < 40; ++i)
            list.render(image, t += 17ms);
        double before = rowY(list);
        TimePoint down = t;
        list.touchDown(600, points.front().second, down);
        for (std::size_t i = 1; i < points.size(); ++i) {
            list.touchMove(600, points[i].second, down + points[i].first);
            list.render(image, down + points[i].first);
        }
        t = down + points.back().first + rest;
        list.touchUp(600, points.back().second, t);
        Outcome outcome;
        outcome.glided = list.animating();
        for (int i = 0; i < 1000 && list.animating(); ++i)
            list.render(image, t += 17ms);
        list.render(image, t += 17ms);
        outcome.scrolled = before - rowY(list);
        return outcome;
    }
    static double rowY(const SimScreen& list) {
        for (const DrawnText& text : list.drawnTexts())
            if (text.text == "General")
                return text.y;
        ADD_FAILURE() << "\"General\" is not on screen";
        return 0;
    }
};

TEST_F(SimScreenGesturesTest, ALiftWhileMovingGlidesOnAndOnlyTheLastMomentsSetItsSpeed) {
    // 200 px up in 100 ms: 2 px per ms, in 25 ms steps.
    const std::vector<std::pair<Duration, double>> quick{
        {0ms, 1800}, {25ms, 1750}, {50ms, 1700}, {75ms, 1650}, {100ms, 1600}};
    Outcome moving = dragList(quick);
    EXPECT_TRUE(moving.glided);
    EXPECT_GT(moving.scrolled, 200 + 600);
    Outcome shortPause = dragList(quick, 60ms); // a hesitation too short to matter
    EXPECT_TRUE(shortPause.glided);
    EXPECT_NEAR(shortPause.scrolled, moving.scrolled, 1);
    Outcome rested = dragList(quick, 150ms);
    EXPECT_FALSE(rested.glided);
    EXPECT_NEAR(rested.scrolled, 200, 1); // exactly where the finger left it

    // The same 400 px in the same 700 ms: slow then quick, or quick then slow.
    Outcome flick = dragList({{0ms, 1900}, {200ms, 1833}, {400ms, 1767}, {600ms, 1700}, {625ms, 1650},
                              {650ms, 1600}, {675ms, 1550}, {700ms, 1500}});
    Outcome brake = dragList({{0ms, 1900}, {25ms, 1850}, {50ms, 1800}, {75ms, 1750}, {100ms, 1700},
                              {300ms, 1633}, {500ms, 1567}, {700ms, 1500}});
    EXPECT_TRUE(flick.glided);
    EXPECT_GT(flick.scrolled, brake.scrolled + 500);
    EXPECT_GE(brake.scrolled, 400 - 1);
}

TEST_F(SimScreenGesturesTest, AListFollowsTheFingerOneToOneAndStopsAtItsEnds) {
    open("Settings");
    auto general = find("General");
    ASSERT_TRUE(general);
    EXPECT_FALSE(shows("Wallpaper"));
    drag(600, 2000, 600, 1200, 800ms, 10, 150ms); // resting before the lift: no momentum
    settle();
    EXPECT_EQ(find("General")->y, general->y - 800);
    EXPECT_TRUE(shows("Wallpaper"));

    // A hard fling ends at the last row, which stays above the home indicator.
    for (int i = 0; i < 4; ++i) {
        drag(600, 2200, 600, 600, 120ms);
        settle();
    }
    auto texts = screen.drawnTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back().text, "Developer");
    EXPECT_LT(texts.back().y + texts.back().height, SimScreen::kHeight - 102);
    EXPECT_GT(texts.back().y, SimScreen::kHeight - 500);
    Image end = frame;
    long fullBefore = screen.renderStats().fullRedraws;
    drag(600, 2000, 600, 1000, 900ms);
    settle();
    EXPECT_EQ(differences(end, frame), 0);
    EXPECT_EQ(screen.renderStats().fullRedraws, fullBefore);

    auto upper = *std::find_if(texts.begin(), texts.end(), [](const DrawnText& t) { return t.y > 400; });
    drag(600, 1000, 600, 1600, 900ms); // and back down again
    ASSERT_TRUE(find(upper.text, 400));
    EXPECT_EQ(find(upper.text, 400)->y, upper.y + 600);
}

TEST_F(SimScreenGesturesTest, TenPointsOfMovementTurnATouchIntoADrag) {
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
}

} // namespace

// Moved touches and taps within the slop are the test above's.
TEST_F(SimScreenGesturesTest, AHeldIconOpensItsMenuAtHalfASecond) {
    render();
    TimePoint down = now;
    screen.touchDown(kSettingsIconX, kSettingsIconY, down);
    auto next = screen.nextChange(down);
    ASSERT_TRUE(next);
    EXPECT_LE(*next, down + 500ms); // a frame is due when the press turns long
    now = down + 450ms;
    render();
    EXPECT_FALSE(shows("Edit Home Screen"));
    now = down + 500ms;
    EXPECT_TRUE(render());
    EXPECT_TRUE(shows("Edit Home Screen"));
    screen.touchUp(kSettingsIconX, kSettingsIconY, now += 300ms);
    settle();
    EXPECT_EQ(screen.location(), "home"); // the lift after a long press is not a tap
    tapAt(600, 1900);                     // elsewhere: the menu closes and nothing opens
    EXPECT_FALSE(shows("Edit Home Screen"));
    EXPECT_EQ(screen.location(), "home");
}
