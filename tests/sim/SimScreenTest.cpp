// The simulated screen's pages, transitions, gestures and rendering, checked through its frame.
#include "tests/sim/SimScreenFixture.hpp"

#include <cmath>

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

class SimScreenTest : public SimScreenFixture {};

constexpr double kSettingsIconX = 171, kSettingsIconY = 315; // the first icon of the home grid

TEST_F(SimScreenTest, HomeScreenShowsEveryAppLabelInReadingOrder) {
    render();
    for (const char* label :
         {"Settings",   "Notes",     "Podcasts", "Safari",   "Photos", "Camera",   "Messages",
          "Mail",       "Clock",     "Weather",  "Maps",     "Music",  "Calendar", "App Store",
          "Calculator", "Reminders", "Files",    "Contacts", "Health", "Wallet",   "Search"})
        EXPECT_TRUE(shows(label)) << label;
    auto texts = screen.drawnTexts();
    for (std::size_t i = 1; i < texts.size(); ++i) {
        const DrawnText &a = texts[i - 1], &b = texts[i];
        bool sameLine = std::abs((a.y + a.height / 2) - (b.y + b.height / 2)) < 20;
        EXPECT_TRUE(sameLine ? a.x < b.x : a.y < b.y) << a.text << " before " << b.text;
    }
    EXPECT_NEAR(find("Settings")->y, find("Safari")->y, 2); // one row of the grid
    EXPECT_LT(find("Settings")->x, find("Notes")->x);
    EXPECT_EQ(screen.location(), "home");
    savePng("home");
}

TEST_F(SimScreenTest, TappingAnIconOpensTheAppOnlyAfterItsLaunchAnimation) {
    render();
    Image home = frame;
    screen.tap(kSettingsIconX, kSettingsIconY, now);
    now += 80ms;
    EXPECT_EQ(screen.location(), "home");
    EXPECT_TRUE(screen.animating());

    wait(120ms);
    Image middle = frame;
    savePng("launch");
    EXPECT_EQ(screen.location(), "home");
    EXPECT_TRUE(screen.animating());

    wait(300ms);
    EXPECT_FALSE(screen.animating());
    EXPECT_EQ(screen.location(), "Settings");
    EXPECT_TRUE(shows("Airplane Mode"));
    EXPECT_GT(differences(middle, home), 10000);
    EXPECT_GT(differences(middle, frame), 10000);
}

TEST_F(SimScreenTest, OpeningAnUnknownAppFails) {
    EXPECT_FALSE(screen.openApp("Pokedex", now));
    EXPECT_EQ(screen.location(), "home");
}

TEST_F(SimScreenTest, DraggingUpRevealsRowsBelowOneToOneAndStopsAtTheEnd) {
    open("Settings");
    savePng("settings");
    auto general = find("General");
    ASSERT_TRUE(general);
    EXPECT_FALSE(shows("Wallpaper"));

    drag(600, 2000, 600, 1200, 800ms, 10, 150ms); // resting before the lift: no momentum
    settle();
    EXPECT_EQ(find("General")->y, general->y - 800);
    EXPECT_TRUE(shows("Wallpaper"));
    EXPECT_FALSE(shows("Airplane Mode"));

    for (int i = 0; i < 20 && !shows("Developer"); ++i)
        drag(600, 2000, 600, 1000, 900ms);
    drag(600, 2000, 600, 1000, 900ms);
    settle();
    ASSERT_TRUE(shows("Developer"));
    auto texts = screen.drawnTexts();
    EXPECT_EQ(texts.back().text, "Developer"); // nothing below the last row

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
    savePng("settings-end");
}

TEST_F(SimScreenTest, AQuickDragFlingsFurtherThanASlowOneOfTheSameLength) {
    open("Settings");
    drag(600, 2000, 600, 1400, 300ms);
    EXPECT_TRUE(screen.animating()); // momentum after the lift
    Image lifted = frame;
    settle();
    EXPECT_GT(differences(lifted, frame), 10000);
    EXPECT_FALSE(screen.animating());
    auto fast = screen.drawnTexts();

    SimScreen slowScreen;
    Image slowFrame;
    TimePoint t = now;
    slowScreen.openApp("Settings", t);
    for (int i = 0; i < 40; ++i)
        slowScreen.render(slowFrame, t += 17ms);
    slowScreen.touchDown(600, 2000, t);
    for (int i = 1; i <= 10; ++i)
        slowScreen.touchMove(600, 2000 - 60 * i, t + 70ms * i);
    slowScreen.touchUp(600, 1400, t += 700ms);
    EXPECT_TRUE(slowScreen.animating()); // lifted while moving: it glides on, but less far
    for (int i = 0; i < 300 && slowScreen.animating(); ++i)
        slowScreen.render(slowFrame, t += 17ms);
    slowScreen.render(slowFrame, t += 17ms);
    auto slow = slowScreen.drawnTexts();

    // A row on both screens sits much higher on the flung one.
    int compared = 0;
    for (const DrawnText& f : fast)
        for (const DrawnText& s : slow)
            if (f.text == s.text && f.y > 300 && s.y > 300 && f.x == s.x) {
                EXPECT_LT(f.y, s.y - 400) << f.text;
                ++compared;
            }
    EXPECT_GT(compared, 0);
}

TEST_F(SimScreenTest, BackButtonAndLeftEdgeSwipePopPagesAndLeaveTheApp) {
    open("Settings");
    tapText("General");
    EXPECT_EQ(screen.location(), "Settings/General");
    for (const char* row :
         {"About", "Software Update", "AirDrop", "iPhone Storage", "Date & Time", "Keyboard"})
        EXPECT_TRUE(shows(row)) << row;
    tapText("About");
    EXPECT_EQ(screen.location(), "Settings/General/About");
    for (const char* value : {"Simulated iPhone", "17.5.1", "iPhone 14 Pro", "MQ0E3LL/A", "F2LXK0SIMPH1",
                              "A4:C3:F0:85:1D:2E", "128 GB", "71.4 GB"})
        EXPECT_TRUE(shows(value)) << value;
    auto back = find("General");
    ASSERT_TRUE(back);
    EXPECT_LT(back->x, 500);
    EXPECT_GT(back->y, 105);
    EXPECT_LT(back->y + back->height, 330);
    savePng("about");

    screen.tap(back->x + back->width / 2.0, back->y + back->height / 2.0, now);
    now += 200ms;
    render();
    EXPECT_EQ(screen.location(), "Settings/General/About"); // still sliding
    settle();
    EXPECT_EQ(screen.location(), "Settings/General");

    drag(6, 1200, 400, 1220, 250ms);
    settle();
    EXPECT_EQ(screen.location(), "Settings");
    drag(6, 1200, 60, 1220, 250ms); // too short to go back
    settle();
    EXPECT_EQ(screen.location(), "Settings");
    drag(6, 1200, 400, 1220, 250ms);
    settle();
    EXPECT_EQ(screen.location(), "home");
}

TEST_F(SimScreenTest, BottomEdgeSwipeAndCommandHGoHomeWithAZoomOut) {
    open("Settings");
    Image app = frame;
    drag(590, 2545, 590, 2300, 150ms);
    now += 100ms;
    render();
    EXPECT_TRUE(screen.animating());
    EXPECT_GT(differences(app, frame), 10000);
    settle();
    EXPECT_EQ(screen.location(), "home");

    open("Notes");
    key(0x0B, 0x08);
    settle();
    EXPECT_EQ(screen.location(), "home");
    key(0x0B, 0x01); // control+H is nothing
    EXPECT_EQ(screen.location(), "home");
}

TEST_F(SimScreenTest, LongPressesAndMovedTouchesAreNotTaps) {
    render();
    screen.touchDown(kSettingsIconX, kSettingsIconY, now);
    now += 700ms;
    screen.touchUp(kSettingsIconX, kSettingsIconY, now);
    settle();
    EXPECT_EQ(screen.location(), "home");

    screen.touchDown(kSettingsIconX, kSettingsIconY, now);
    screen.touchMove(kSettingsIconX + 40, kSettingsIconY, now + 50ms);
    now += 100ms;
    screen.touchUp(kSettingsIconX + 40, kSettingsIconY, now);
    settle();
    EXPECT_EQ(screen.location(), "home");

    screen.touchDown(kSettingsIconX, kSettingsIconY, now);
    now += 150ms;
    screen.touchUp(kSettingsIconX + 20, kSettingsIconY + 10, now); // within the slop: still a tap
    settle();
    EXPECT_EQ(screen.location(), "Settings");
}

TEST_F(SimScreenTest, SwitchesChangeTheStateTheyShow) {
    open("Settings");
    tapText("Wi-Fi", 300);
    EXPECT_TRUE(shows("HomeNet-5G"));
    tapText("Cafe Guest");
    EXPECT_NEAR(find("Cafe Guest")->y, find("Wi-Fi", 300)->y + 132, 3); // now the joined network
    auto toggle = find("Wi-Fi", 300);
    tapAt(1000, toggle->y + toggle->height / 2.0);
    EXPECT_FALSE(shows("Cafe Guest"));
    tapText("Settings");
    EXPECT_TRUE(shows("Off"));
    EXPECT_FALSE(shows("HomeNet-5G"));
}

TEST_F(SimScreenTest, AssistiveTouchSwitchInSettingsIsTheSameState) {
    open("Settings");
    scrollToAndTap("Accessibility");
    scrollToAndTap("Touch");
    tapText("AssistiveTouch", 300);
    EXPECT_EQ(screen.location(), "Settings/Accessibility/Touch/AssistiveTouch");
    EXPECT_FALSE(screen.assistiveTouch());
    std::uint32_t buttonBefore = pixel(frame, 1000, 1704);

    auto row = find("AssistiveTouch", 300);
    ASSERT_TRUE(row);
    tapAt(300, row->y + row->height / 2.0); // the row itself does not flip the switch
    EXPECT_FALSE(screen.assistiveTouch());
    tapAt(1007, row->y + row->height / 2.0);
    EXPECT_TRUE(screen.assistiveTouch());
    EXPECT_LT(luma(pixel(frame, 1000, 1704)), luma(buttonBefore) - 60); // the floating button appeared
    savePng("assistivetouch");

    screen.setAssistiveTouch(false);
    render();
    EXPECT_EQ(pixel(frame, 1000, 1704), buttonBefore);
    tapText("Touch");
    EXPECT_TRUE(shows("Off"));
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
    EXPECT_TRUE(shows("Don't Trust"));
    EXPECT_TRUE(shows("Settings"));   // dimmed but readable
    EXPECT_FALSE(shows("App Store")); // covered by the alert
    savePng("trust");
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

TEST_F(SimScreenTest, PodcastsPlaysItsEpisodeOnceWithMovingProgress) {
    std::vector<std::string> spoken;
    std::string whereWhileSpeaking;
    screen.setSpeechHandler([&](const std::string& s) {
        spoken.push_back(s);
        whereWhileSpeaking = screen.location();
    });
    open("Podcasts");
    EXPECT_TRUE(shows("Morning Briefing"));
    auto play = find("Play");
    ASSERT_TRUE(play);
    screen.tap(play->x + play->width / 2.0, play->y + play->height / 2.0, now);
    wait(100ms);
    ASSERT_EQ(spoken.size(), 1u);
    EXPECT_EQ(whereWhileSpeaking, "Podcasts");
    EXPECT_GE(std::count(spoken[0].begin(), spoken[0].end(), '.'), 2);
    EXPECT_LE(std::count(spoken[0].begin(), spoken[0].end(), '.'), 3);
    EXPECT_TRUE(shows("Playing"));
    EXPECT_TRUE(screen.animating());

    Image early = frame;
    auto stats = screen.renderStats();
    wait(3s);
    EXPECT_TRUE(shows("0:03"));
    EXPECT_TRUE(shows("-0:09"));
    EXPECT_EQ(screen.renderStats().fullRedraws, stats.fullRedraws);
    EXPECT_TRUE(differencesWithin(early, frame, {Box{0, 1530, 1179, 150}}));
    savePng("podcasts");
    screen.tap(play->x + play->width / 2.0, play->y + play->height / 2.0, now);
    EXPECT_EQ(spoken.size(), 1u);

    wait(10s);
    EXPECT_TRUE(shows("Play"));
    EXPECT_FALSE(screen.animating());
}

TEST_F(SimScreenTest, AHardFlingStopsAtTheEndOfTheList) {
    open("Settings");
    for (int i = 0; i < 4; ++i) {
        drag(600, 2200, 600, 600, 120ms);
        settle();
    }
    EXPECT_FALSE(screen.animating());
    auto texts = screen.drawnTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back().text, "Developer");
    EXPECT_LT(texts.back().y + texts.back().height, SimScreen::kHeight - 102);
    EXPECT_GT(texts.back().y, SimScreen::kHeight - 500);
}

TEST_F(SimScreenTest, ATouchDuringAFlingStopsItWithoutTapping) {
    open("Settings");
    drag(600, 2000, 600, 1300, 200ms);
    wait(100ms);
    ASSERT_TRUE(screen.animating());
    screen.touchDown(600, 1200, now);
    screen.touchUp(600, 1200, now + 60ms);
    now += 100ms;
    render();
    EXPECT_FALSE(screen.animating());
    EXPECT_EQ(screen.location(), "Settings");
    Image stopped = frame;
    wait(500ms);
    EXPECT_EQ(differences(stopped, frame), 0);
}

TEST_F(SimScreenTest, AppsKeepTheirPagesWhenOpenedAgain) {
    open("Settings");
    tapText("General");
    screen.goHome(now);
    settle();
    EXPECT_EQ(screen.location(), "home");
    open("Settings");
    EXPECT_EQ(screen.location(), "Settings/General");
    EXPECT_TRUE(screen.openApp("Settings", now)); // already open: nothing moves
    EXPECT_FALSE(screen.animating());
}

TEST_F(SimScreenTest, DockIconsOpenTheirApps) {
    render();
    tapAt(171, 2381); // Phone, only in the dock
    EXPECT_EQ(screen.location(), "Phone");
    EXPECT_TRUE(shows("Phone"));
    drag(6, 1200, 400, 1200, 200ms);
    settle();
    EXPECT_EQ(screen.location(), "home");
    tapAt(450, 2381);
    EXPECT_EQ(screen.location(), "Safari");
}

TEST_F(SimScreenTest, EveryOtherRowOpensAPlainPageOfItsOwn) {
    open("Settings");
    tapText("Notifications");
    EXPECT_EQ(screen.location(), "Settings/Notifications");
    EXPECT_TRUE(shows("Options"));
    auto title = find("Notifications");
    ASSERT_TRUE(title);
    EXPECT_NEAR(title->x + title->width / 2.0, SimScreen::kWidth / 2.0, 3); // centred in the bar
    tapText("Options");
    EXPECT_EQ(screen.location(), "Settings/Notifications/Options");
    tapText("Notifications");
    tapText("Settings");
    scrollToAndTap("Mail");
    EXPECT_EQ(screen.location(), "Settings/Mail");
    EXPECT_TRUE(shows("ALLOW MAIL TO ACCESS"));
}

} // namespace
