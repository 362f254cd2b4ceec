// How the simulated screen draws: partial redraws, the texts it reports, and when it changes next.
#include "tests/sim/SimScreenFixture.hpp"

#include <atomic>
#include <thread>

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

class SimScreenRenderTest : public SimScreenFixture {
protected:
    // The box around pixels in and just around `t` that pass `ink`.
    template <class Ink> Box inkBox(const DrawnText& t, Ink ink) const {
        int minX = 1 << 20, minY = 1 << 20, maxX = -1, maxY = -1;
        for (int y = std::max(0, t.y - 4); y < std::min(frame.height(), t.y + t.height + 4); ++y)
            for (int x = std::max(0, t.x - 4); x < std::min(frame.width(), t.x + t.width + 4); ++x)
                if (ink(pixel(frame, x, y))) {
                    minX = std::min(minX, x), maxX = std::max(maxX, x);
                    minY = std::min(minY, y), maxY = std::max(maxY, y);
                }
        return maxX < 0 ? Box{} : Box{minX, minY, maxX - minX + 1, maxY - minY + 1};
    }
    // The ink lies inside the reported box, and the box hugs it.
    void expectTight(const DrawnText& t, const Box& ink) const {
        ASSERT_GT(ink.w, 0) << t.text << " has no ink";
        EXPECT_GE(ink.x, t.x - 1) << t.text;
        EXPECT_GE(ink.y, t.y - 1) << t.text;
        EXPECT_LE(ink.x + ink.w, t.x + t.width + 1) << t.text;
        EXPECT_LE(ink.y + ink.h, t.y + t.height + 1) << t.text;
        EXPECT_LE(ink.x - t.x, 3) << t.text;
        EXPECT_LE(t.x + t.width - ink.x - ink.w, 3) << t.text;
    }
};

constexpr double kSettingsIconX = 171, kSettingsIconY = 315;

TEST_F(SimScreenRenderTest, PointerMovesRedrawOnlyTheOldAndNewDisc) {
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

    // Over the dark wallpaper the disc lightens what is under it, so it stays visible.
    screen.setAssistiveTouch(false);
    render();
    int without = luma(pixel(frame, 700, 1900));
    ASSERT_LT(without, 110);
    screen.setAssistiveTouch(true);
    render();
    EXPECT_NEAR(luma(pixel(frame, 700, 1900)), without + 0.45 * (255 - without), 6);
    EXPECT_EQ(pixel(frame, 700 + 40, 1900), pixel(before, 700 + 40, 1900));
    // Over a light page it darkens it by about a third.
    screen.openApp("Settings", now);
    for (int i = 0; i < 60; ++i) {
        now += std::chrono::milliseconds(17);
        render();
    }
    screen.setPointer(700, 1900);
    screen.setAssistiveTouch(false);
    render();
    int light = luma(pixel(frame, 700, 1900));
    ASSERT_GT(light, 200);
    screen.setAssistiveTouch(true);
    render();
    EXPECT_NEAR(luma(pixel(frame, 700, 1900)), light * 0.67, 6);
}

TEST_F(SimScreenRenderTest, WithoutAssistiveTouchThePointerDrawsNothing) {
    render();
    Image before = frame;
    screen.setPointer(500, 1200);
    EXPECT_FALSE(render());
    EXPECT_EQ(differences(before, frame, Box{}), 0);
    EXPECT_EQ(screen.pointer(), std::make_pair(500.0, 1200.0));
}

TEST_F(SimScreenRenderTest, NextChangeFollowsAnimationFramesThenTheCaretBlink) {
    render();
    auto idle = screen.nextChange(now);
    ASSERT_TRUE(idle);
    EXPECT_EQ(*idle - now, 60s); // the clock's next minute
    EXPECT_TRUE(find("9:41"));
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

    screen.goHome(now);
    settle();
    open("Notes");
    tapAt(600, 900);
    EXPECT_EQ(screen.location(), "Notes");
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

TEST_F(SimScreenRenderTest, DrawnTextBoxesHoldTheTextPixels) {
    open("Settings");
    tapText("General");
    int checked = 0;
    for (const DrawnText& t : screen.drawnTexts()) {
        // Ink: pixels clearly darker than the light page around the text (grey values included).
        expectTight(t, inkBox(t, [](std::uint32_t rgb) { return luma(rgb) < 170; }));
        ++checked;
    }
    EXPECT_GE(checked, 15);
}

TEST_F(SimScreenRenderTest, BannerIsDrawnAndRemovedInPlace) {
    render();
    Image before = frame;
    auto stats = screen.renderStats();
    screen.showBanner("Build finished: 3 warnings");
    render();
    EXPECT_TRUE(shows("Build finished: 3 warnings"));
    auto banner = find("Build finished: 3 warnings");
    EXPECT_GT(banner->y, 162);
    EXPECT_LT(banner->y, 400);
    savePng("banner");
    screen.hideBanner();
    render();
    EXPECT_FALSE(shows("Build finished: 3 warnings"));
    EXPECT_EQ(differences(before, frame), 0);
    EXPECT_EQ(screen.renderStats().fullRedraws, stats.fullRedraws);
    EXPECT_EQ(screen.renderStats().partialRedraws, stats.partialRedraws + 2);
}

TEST_F(SimScreenRenderTest, AsleepTheScreenIsBlackAndATouchWakesItAsItWas) {
    open("Settings");
    screen.setAsleep(true);
    render();
    EXPECT_TRUE(screen.drawnTexts().empty());
    EXPECT_EQ(pixel(frame, 600, 1200), 0u);
    EXPECT_EQ(pixel(frame, 100, 80), 0u);
    auto row = find("Airplane Mode");
    EXPECT_FALSE(row);
    tapAt(300, 1300); // wakes; does not open the row under it
    EXPECT_EQ(screen.location(), "Settings");
    EXPECT_TRUE(shows("Airplane Mode"));

    screen.setAsleep(true);
    render();
    key(0x04);
    render();
    EXPECT_TRUE(shows("Airplane Mode"));
}

TEST_F(SimScreenRenderTest, WhiteLabelBoxesHoldTheirPixels) {
    render();
    int checked = 0;
    for (const DrawnText& t : screen.drawnTexts()) {
        if (t.y < 162 || t.y > 2000)
            continue; // the labels of the grid
        expectTight(t, inkBox(t, [](std::uint32_t rgb) { return luma(rgb) > 200; }));
        ++checked;
    }
    EXPECT_EQ(checked, 20);
}

TEST_F(SimScreenRenderTest, RenderingAStillScreenChangesNothing) {
    EXPECT_TRUE(render());
    auto stats = screen.renderStats();
    EXPECT_EQ(stats.fullRedraws, 1);
    Image before = frame;
    now += 200ms;
    EXPECT_FALSE(render());
    EXPECT_EQ(screen.renderStats().fullRedraws, 1);
    EXPECT_EQ(screen.renderStats().partialRedraws, 0);
    EXPECT_EQ(differences(before, frame, Box{}), 0);
}

TEST_F(SimScreenRenderTest, AFrameOfAnotherSizeOrAnotherBufferIsDrawnWhole) {
    frame = Image(10, 10, Image::Format::bgra);
    EXPECT_TRUE(render());
    EXPECT_EQ(frame.width(), SimScreen::kWidth);
    EXPECT_EQ(frame.height(), SimScreen::kHeight);
    EXPECT_TRUE(shows("Settings"));

    Image other(SimScreen::kWidth, SimScreen::kHeight, Image::Format::bgra);
    EXPECT_TRUE(screen.render(other, now));
    EXPECT_EQ(screen.renderStats().fullRedraws, 2);
    EXPECT_EQ(differences(frame, other), 0);
}

TEST_F(SimScreenRenderTest, WrappedTextsAreListedLineByLine) {
    screen.showBanner(
        "The nightly build finished with three warnings and one flaky test that passed on retry");
    render();
    std::vector<DrawnText> lines;
    for (const DrawnText& t : screen.drawnTexts())
        if (t.y > 162 && t.y < 420)
            lines.push_back(t);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text + " " + lines[1].text + " " + lines[2].text,
              "The nightly build finished with three warnings and one flaky test that passed on retry");
    EXPECT_LT(lines[0].y + lines[0].height, lines[1].y + 5);
    EXPECT_LT(lines[1].y + lines[1].height, lines[2].y + 5);
    for (const DrawnText& t : lines)
        expectTight(t, inkBox(t, [](std::uint32_t rgb) { return luma(rgb) < 100; }));
}

TEST_F(SimScreenRenderTest, ALongNoteScrollsToKeepTheCaretAboveTheKeyboard) {
    open("Notes");
    tapAt(600, 900);
    std::string text;
    for (int i = 1; i <= 40; ++i)
        text += "Line " + std::to_string(i) + "\n";
    text += "Last line";
    screen.typeText(text, now);
    settle();
    auto last = find("Last line");
    ASSERT_TRUE(last);
    EXPECT_LT(last->y + last->height, SimScreen::kHeight - 873);
    EXPECT_FALSE(shows("Line 1"));
    for (const DrawnText& t : screen.drawnTexts())
        if (t.text.rfind("Line ", 0) == 0) {
            EXPECT_GE(t.y, 294) << t.text; // lines under the navigation bar are cut off, not listed
        }
}

TEST_F(SimScreenRenderTest, IllFormedTextIsShownWithReplacementCharacters) {
    screen.showBanner("bad \xC3 byte");
    render();
    EXPECT_TRUE(shows("bad \xEF\xBF\xBD byte"));
    open("Notes");
    tapAt(600, 900);
    screen.typeText("a\xFF\xFE"
                    "b",
                    now);
    EXPECT_EQ(screen.fieldText(), "a\xEF\xBF\xBD\xEF\xBF\xBD"
                                  "b");
    screen.keyPress(0x2A, 0, now);
    screen.keyPress(0x2A, 0, now);
    EXPECT_EQ(screen.fieldText(), "a\xEF\xBF\xBD");
}

TEST_F(SimScreenRenderTest, AsleepNothingChangesUntilWoken) {
    screen.setAsleep(true);
    render();
    EXPECT_FALSE(screen.nextChange(now));
    screen.setPointer(10, 10);
    screen.showBanner("hidden");
    render();
    EXPECT_TRUE(screen.drawnTexts().empty());
    screen.setAsleep(false);
    render();
    EXPECT_TRUE(shows("hidden"));
    EXPECT_TRUE(screen.nextChange(now));
}

TEST_F(SimScreenRenderTest, CallersOnManyThreadsShareTheScreenSafely) {
    std::atomic<int> spoken{0};
    screen.setSpeechHandler([&](const std::string&) {
        ++spoken;
        screen.showBanner("spoken"); // calls back in from the handler
    });
    screen.setAssistiveTouch(true);
    screen.openApp("Podcasts", now);
    std::atomic<bool> done{false};
    std::thread renderer([&] {
        Image own;
        TimePoint t = now;
        while (!done)
            screen.render(own, t += 5ms);
    });
    std::thread pointer([&] {
        for (int i = 0; i < 300; ++i)
            screen.setPointer(100 + i, 500 + i);
    });
    for (int i = 0; i < 40; ++i) {
        screen.tap(589, 1413, now += 400ms); // the Play button
        screen.keyPress(0x2C, 0x08, now);
        screen.keyPress(0x2C, 0x08, now);
        (void)screen.drawnTexts();
        (void)screen.nextChange(now);
    }
    pointer.join();
    done = true;
    renderer.join();
    EXPECT_GE(spoken.load(), 1);
}

} // namespace

namespace {

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

    // The first nudge brings it back at once, where the pointer now is.
    now += 10s;
    screen.setPointer(kX + 3, kY, now);
    EXPECT_EQ(screen.nextChange(now), now);
    EXPECT_TRUE(render());
    EXPECT_TRUE(discShown());
}

TEST_F(SimScreenPointerTest, AHeldButtonKeepsTheDiscAndAMoveWithoutATimeCountsFromTheNextFrame) {
    screen.touchDown(kX, kY, now);
    wait(SimScreen::kPointerIdleTime * 2);
    EXPECT_TRUE(discShown());
    screen.touchUp(kX, kY, now);
    wait(SimScreen::kPointerIdleTime - 100ms);
    EXPECT_TRUE(discShown());
    wait(200ms);
    EXPECT_FALSE(discShown());

    now += 1h; // the screen has not drawn for a long time
    screen.setPointer(kX, kY);
    render();
    EXPECT_TRUE(discShown());
    wait(SimScreen::kPointerIdleTime - 100ms);
    EXPECT_TRUE(discShown());
}

TEST_F(SimScreenPointerTest, TheDiscIsClippedAtTheEdgeAndTheButtonSitsTwoThirdsDown) {
    Image before = frame;
    screen.setPointer(SimScreen::kWidth - 1, kY, now);
    render();
    // Half a disc shows at the right edge; the left edge of the disc lies about 30 px in.
    EXPECT_LT(luma(pixel(frame, SimScreen::kWidth - 20, kY)),
              luma(pixel(before, SimScreen::kWidth - 20, kY)) - 40);
    EXPECT_EQ(pixel(frame, SimScreen::kWidth - 40, kY), pixel(before, SimScreen::kWidth - 40, kY));
    // The button: dark over the light page at the right edge, near two-thirds of the height.
    int buttonY = SimScreen::kHeight * 2 / 3;
    EXPECT_LT(luma(pixel(frame, SimScreen::kWidth - 170, buttonY)), 160);
    EXPECT_GT(luma(pixel(frame, SimScreen::kWidth - 230, buttonY)), 230);
    // A tap on the button does nothing; a tap beside it still reaches the row below.
    auto row = find("General");
    ASSERT_TRUE(row);
    tapAt(SimScreen::kWidth - 100, buttonY);
    EXPECT_EQ(screen.location(), "Settings");
    tapText("General");
    EXPECT_EQ(screen.location(), "Settings/General");
}

TEST_F(SimScreenRenderTest, DarkModeDrawsLightTextOnDarkPages) {
    screen.setDarkMode(true);
    open("Settings");
    EXPECT_TRUE(screen.darkMode());
    EXPECT_LT(luma(pixel(frame, 10, 1200)), 20);
    auto general = find("General");
    ASSERT_TRUE(general);
    int brightest = 0;
    for (int y = general->y; y < general->y + general->height; ++y)
        for (int x = general->x; x < general->x + general->width; ++x)
            brightest = std::max(brightest, luma(pixel(frame, x, y)));
    EXPECT_GT(brightest, 230);
    EXPECT_TRUE(shows("HomeNet-5G")); // values are still their own texts
    EXPECT_TRUE(shows("Wi-Fi"));

    screen.setDarkMode(false);
    render();
    EXPECT_GT(luma(pixel(frame, 10, 1200)), 230);
}

} // namespace
