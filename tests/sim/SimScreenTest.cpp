// What the product's tests rely on in the simulated screen beyond its drawing (which the capture, text
// and engine tests read): frames only when something changed, and a trust prompt that answers once.
#include "tests/sim/SimScreenFixture.hpp"

#include <algorithm>

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

// What the screen says it shows is what a full drawing shows: a text the pointer's disc hid is there again
// once the disc has moved off it, on every place the disc passes.
TEST_F(SimScreenTest, TheDrawnTextsAfterThePointerPassesAreThoseOfAFullDrawing) {
    screen.setAssistiveTouch(true);
    open("Settings");
    tapText("Wi-Fi");
    auto names = [](const std::vector<DrawnText>& texts) {
        std::vector<std::string> out;
        for (const DrawnText& t : texts)
            out.push_back(t.text + " @ " + std::to_string(t.x) + "," + std::to_string(t.y));
        std::sort(out.begin(), out.end());
        return out;
    };
    screen.setPointer(20, 20, now);
    wait(17ms);
    const auto before = names(screen.drawnTexts());
    for (const DrawnText& t : screen.drawnTexts()) {
        if (t.y < kStatusBarHeight)
            continue;
        screen.setPointer(t.x + t.width / 2.0, t.y + t.height / 2.0, now);
        wait(17ms);
        screen.setPointer(20, 20, now);
        wait(17ms);
        EXPECT_EQ(names(screen.drawnTexts()), before) << "after the disc lay on " << t.text;
    }
}

// What covers part of a line (the AssistiveTouch button over the Podcasts paragraph) leaves its other words
// readable: the screen says so word by word, each inside the line's box, never the whole line.
TEST_F(SimScreenTest, APartlyCoveredLineLeavesItsOtherWordsInTheDrawnTexts) {
    open("Podcasts");
    settle();
    const std::vector<DrawnText> plain = screen.drawnTexts();
    screen.setAssistiveTouch(true);
    settle();
    const std::vector<DrawnText> covered = screen.drawnTexts();
    auto has = [](const std::vector<DrawnText>& texts, const DrawnText& t) {
        return std::any_of(texts.begin(), texts.end(), [&](const DrawnText& o) {
            return o.text == t.text && o.x == t.x && o.y == t.y && o.width == t.width && o.height == t.height;
        });
    };
    int partly = 0;
    for (const DrawnText& line : plain) {
        if (has(covered, line))
            continue;
        std::size_t left = 0;
        for (const DrawnText& word : line.words) {
            EXPECT_TRUE(word.x >= line.x && word.x + word.width <= line.x + line.width) << word.text;
            left += has(covered, word);
        }
        if (left > 0) {
            ++partly;
            EXPECT_LT(left, line.words.size()) << line.text;
        }
    }
    EXPECT_GE(partly, 1); // the paragraph's lines beside the button
}

} // namespace
