// What the product's tests rely on in the simulated screen: frames only when something changed, the
// AssistiveTouch disc that calibration looks for, texts reported where their pixels are, and the trust
// prompt and speaking app the device and transcriber tests drive.
#include "tests/sim/SimScreenFixture.hpp"

#include <thread>

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

constexpr double kSettingsIconX = 171, kSettingsIconY = 315; // the first icon of the home grid

class SimScreenTest : public SimScreenFixture {
protected:
    // The reported box holds the pixels passing `ink` in and just around it, and hugs them.
    template <class Ink> void expectTight(const DrawnText& t, Ink ink) const {
        int minX = 1 << 20, maxX = -1, minY = 1 << 20, maxY = -1;
        for (int y = std::max(0, t.y - 4); y < std::min(frame.height(), t.y + t.height + 4); ++y)
            for (int x = std::max(0, t.x - 4); x < std::min(frame.width(), t.x + t.width + 4); ++x)
                if (ink(pixel(frame, x, y)))
                    minX = std::min(minX, x), maxX = std::max(maxX, x), minY = std::min(minY, y),
                    maxY = std::max(maxY, y);
        ASSERT_GE(maxX, 0) << t.text << " has no ink";
        EXPECT_GE(minX, t.x - 1) << t.text;
        EXPECT_GE(minY, t.y - 1) << t.text;
        EXPECT_LE(maxX + 1, t.x + t.width + 1) << t.text;
        EXPECT_LE(maxY + 1, t.y + t.height + 1) << t.text;
        EXPECT_LE(minX - t.x, 3) << t.text;
        EXPECT_LE(t.x + t.width - maxX - 1, 3) << t.text;
    }
};

TEST_F(SimScreenTest, AStillScreenChangesOnlyAtTheMinuteAnAnimationFrameOrTheCaretBlink) {
    EXPECT_TRUE(render());
    EXPECT_EQ(screen.renderStats().fullRedraws, 1);
    Image still = frame;
    now += 200ms;
    EXPECT_FALSE(render());
    EXPECT_EQ(screen.renderStats().partialRedraws, 0);
    EXPECT_EQ(differences(still, frame, Box{}), 0);
    // Without AssistiveTouch the pointer moves but draws nothing.
    screen.setPointer(500, 1200);
    EXPECT_FALSE(render());

    auto idle = screen.nextChange(now);
    ASSERT_TRUE(idle);
    EXPECT_EQ(*idle - now, 60s - 200ms); // the clock's next minute
    now += 59s;
    render();
    EXPECT_TRUE(find("9:41"));
    now += 1s;
    EXPECT_TRUE(render());
    EXPECT_TRUE(find("9:42"));
    EXPECT_FALSE(find("9:41"));

    screen.tap(kSettingsIconX, kSettingsIconY, now);
    now += 80ms;
    render();
    double frameMs = std::chrono::duration<double, std::milli>(*screen.nextChange(now) - now).count();
    EXPECT_NEAR(frameMs, 16.7, 0.5);
    settle();
    EXPECT_EQ(screen.location(), "Settings");

    screen.goHome(now);
    settle();
    open("Notes");
    tapAt(600, 900);
    Image lit = frame;
    auto stats = screen.renderStats();
    auto edge = screen.nextChange(now);
    ASSERT_TRUE(edge);
    EXPECT_GT(*edge, now);
    EXPECT_LE(*edge - now, 500ms);
    now = *edge;
    EXPECT_TRUE(render());
    EXPECT_EQ(screen.renderStats().fullRedraws, stats.fullRedraws);
    EXPECT_GT(differences(lit, frame), 100); // the caret went out
    EXPECT_TRUE(differencesWithin(lit, frame, {Box{40, 300, 60, 120}}));
    EXPECT_EQ(*screen.nextChange(now), now + 500ms);
}

TEST_F(SimScreenTest, TheDiscRedrawsInPlaceAndShowsOverDarkAndLightPages) {
    screen.setAssistiveTouch(true);
    screen.setPointer(300, 1000);
    render();
    Image before = frame;
    auto stats = screen.renderStats();
    screen.setPointer(700, 1900);
    EXPECT_EQ(screen.nextChange(now), now);
    EXPECT_TRUE(render());
    EXPECT_EQ(screen.renderStats().fullRedraws, stats.fullRedraws);
    EXPECT_EQ(screen.renderStats().partialRedraws, stats.partialRedraws + 1);
    EXPECT_TRUE(differencesWithin(before, frame, {around(300, 1000, 32), around(700, 1900, 32)}));
    EXPECT_GT(differences(before, frame), 2 * 2000); // both discs changed: about 2550 px each
    EXPECT_EQ(pixel(frame, 700 + 40, 1900), pixel(before, 700 + 40, 1900)); // beyond the disc

    // Over the dark wallpaper the disc lightens what is under it; over a light page it darkens it.
    for (bool lightPage : {false, true}) {
        if (lightPage)
            open("Settings");
        screen.setPointer(700, 1900);
        screen.setAssistiveTouch(false);
        render();
        int bare = luma(pixel(frame, 700, 1900));
        ASSERT_TRUE(lightPage ? bare > 200 : bare < 110) << bare;
        screen.setAssistiveTouch(true);
        render();
        EXPECT_NEAR(luma(pixel(frame, 700, 1900)), lightPage ? bare * 0.67 : bare + 0.45 * (255 - bare), 6);
    }
}

class SimScreenPointerTest : public SimScreenFixture {
protected:
    static constexpr int kX = 600, kY = 1200;
    std::uint32_t bare = 0; // the pixel under the pointer without the disc

    void SetUp() override {
        open("Settings");
        bare = pixel(frame, kX, kY);
        screen.setAssistiveTouch(true);
        screen.setPointer(kX, kY, now);
        render();
    }
    bool discShown() const { return luma(pixel(frame, kX, kY)) < luma(bare) - 40; }
};

TEST_F(SimScreenPointerTest, TheDiscHidesAfterIdlingAndComesBackOnMotion) {
    ASSERT_TRUE(discShown());
    TimePoint moved = now;
    wait(SimScreen::kPointerIdleTime - 100ms);
    EXPECT_TRUE(discShown());
    // The hide is a change of its own, so a frame is delivered when the disc goes.
    auto next = screen.nextChange(now);
    ASSERT_TRUE(next);
    EXPECT_LE(*next, moved + SimScreen::kPointerIdleTime);
    now = moved + SimScreen::kPointerIdleTime;
    EXPECT_TRUE(render());
    EXPECT_EQ(pixel(frame, kX, kY), bare);
    EXPECT_FALSE(render());
    // The first nudge brings it back at once.
    now += 10s;
    screen.setPointer(kX + 3, kY, now);
    EXPECT_EQ(screen.nextChange(now), now);
    EXPECT_TRUE(render());
    EXPECT_TRUE(discShown());
}

// Text recognition is checked against these boxes: dark text on a light page, white labels on the
// wallpaper, and a wrapped banner listed line by line.
TEST_F(SimScreenTest, DrawnTextBoxesHoldTheirTextsPixels) {
    render();
    int labels = 0;
    for (const DrawnText& t : screen.drawnTexts())
        if (t.y >= 162 && t.y <= 2000) { // the labels of the grid
            expectTight(t, [](std::uint32_t rgb) { return luma(rgb) > 200; });
            ++labels;
        }
    EXPECT_EQ(labels, 20);

    const std::string banner =
        "The nightly build finished with three warnings and one flaky test that passed on retry";
    screen.showBanner(banner);
    render();
    std::vector<DrawnText> lines;
    for (const DrawnText& t : screen.drawnTexts())
        if (t.y > 162 && t.y < 420)
            lines.push_back(t);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text + " " + lines[1].text + " " + lines[2].text, banner);
    for (const DrawnText& t : lines)
        expectTight(t, [](std::uint32_t rgb) { return luma(rgb) < 100; });
}

TEST_F(SimScreenTest, TrustPromptAnswersOnceAndReleasesTheLockFirst) {
    render();
    int answers = 0;
    bool trusted = false;
    std::string whereDuringAnswer;
    screen.showTrustPrompt([&](bool t) {
        ++answers;
        trusted = t;
        whereDuringAnswer = screen.location(); // would deadlock if called under the lock
    });
    render();
    EXPECT_TRUE(shows("Trust This Computer?"));
    auto button = find("Trust");
    ASSERT_TRUE(button);
    screen.tap(button->x + button->width / 2.0, button->y + button->height / 2.0, now);
    EXPECT_EQ(answers, 1);
    EXPECT_TRUE(trusted);
    EXPECT_EQ(whereDuringAnswer, "home");
    screen.tap(button->x + button->width / 2.0, button->y + button->height / 2.0, now + 200ms);
    EXPECT_EQ(answers, 1);

    // A second prompt replaces a first one that nobody answered: the first hears "not trusted".
    std::vector<bool> first, second;
    screen.showTrustPrompt([&](bool t) { first.push_back(t); });
    screen.showTrustPrompt([&](bool t) { second.push_back(t); });
    EXPECT_EQ(first, std::vector<bool>{false});
    now += 1s;
    render();
    tapText("Don't Trust");
    EXPECT_EQ(second, std::vector<bool>{false});
    EXPECT_EQ(first.size(), 1u);
}

} // namespace

TEST_F(SimScreenTest, PodcastsPlaysItsEpisodeOnceWithMovingProgress) {
    std::vector<std::string> spoken;
    std::string whereWhileSpeaking;
    screen.setSpeechHandler([&](const std::string& s) {
        spoken.push_back(s);
        whereWhileSpeaking = screen.location();
    });
    open("Podcasts");
    auto play = find("Play");
    ASSERT_TRUE(play);
    screen.tap(play->x + play->width / 2.0, play->y + play->height / 2.0, now);
    wait(100ms);
    ASSERT_EQ(spoken.size(), 1u);
    EXPECT_EQ(whereWhileSpeaking, "Podcasts");
    EXPECT_TRUE(shows("Playing"));

    Image early = frame;
    auto stats = screen.renderStats();
    wait(3s);
    EXPECT_TRUE(shows("0:03"));
    EXPECT_TRUE(shows("-0:09"));
    EXPECT_EQ(screen.renderStats().fullRedraws, stats.fullRedraws);
    EXPECT_TRUE(differencesWithin(early, frame, {Box{0, 1530, 1179, 150}}));
    screen.tap(play->x + play->width / 2.0, play->y + play->height / 2.0, now);
    EXPECT_EQ(spoken.size(), 1u);
    wait(10s);
    EXPECT_TRUE(shows("Play"));
    EXPECT_FALSE(screen.animating());
}
