// What the product's tests rely on in the simulated screen beyond its drawing (which the capture, text
// and engine tests read): frames only when something changed, and a trust prompt that answers once.
#include "tests/sim/SimScreenFixture.hpp"

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

using SimScreenTest = SimScreenFixture;

TEST_F(SimScreenTest, AStillScreenChangesOnlyAtTheMinuteAnAnimationFrameOrTheCaretBlink) {
    EXPECT_TRUE(render());
    now += 200ms;
    EXPECT_FALSE(render());
    screen.setPointer(500, 1200); // without AssistiveTouch the pointer moves but draws nothing
    EXPECT_FALSE(render());
    auto idle = screen.nextChange(now);
    ASSERT_TRUE(idle);
    EXPECT_EQ(*idle - now, 60s - 200ms); // the clock's next minute
    now = *idle - 1ms;
    EXPECT_FALSE(render());
    now = *idle;
    EXPECT_TRUE(render());
    EXPECT_TRUE(find("9:42"));
    EXPECT_FALSE(find("9:41"));

    screen.tap(171, 315, now); // the Settings icon
    now += 80ms;
    render();
    using Milliseconds = std::chrono::duration<double, std::milli>;
    EXPECT_NEAR(Milliseconds(*screen.nextChange(now) - now).count(), 16.7, 0.5); // the next animation frame
    settle();
    EXPECT_EQ(screen.location(), "Settings");

    // In a note the caret blinks every half second, and nothing else is due.
    screen.goHome(now);
    open("Notes");
    tapAt(600, 900);
    auto edge = screen.nextChange(now);
    ASSERT_TRUE(edge);
    EXPECT_GT(*edge, now);
    EXPECT_LE(*edge - now, 500ms);
    now = *edge;
    EXPECT_TRUE(render());
    EXPECT_EQ(*screen.nextChange(now), now + 500ms);
}

TEST_F(SimScreenTest, TrustPromptAnswersOnceAndReleasesTheLockFirst) {
    render();
    std::vector<bool> answers;
    std::string whereDuringAnswer;
    screen.showTrustPrompt([&](bool trusted) {
        answers.push_back(trusted);
        whereDuringAnswer = screen.location(); // would deadlock if called under the lock
    });
    render();
    EXPECT_TRUE(shows("Trust This Computer?"));
    auto button = find("Trust");
    ASSERT_TRUE(button);
    const double x = button->x + button->width / 2.0, y = button->y + button->height / 2.0;
    screen.tap(x, y, now);
    screen.tap(x, y, now + 200ms); // the prompt is gone: a second tap answers nothing
    EXPECT_EQ(answers, std::vector<bool>{true});
    EXPECT_EQ(whereDuringAnswer, "home");
}

} // namespace
