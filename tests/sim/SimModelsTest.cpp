// Every phone model lays the same apps out on its own screen, with its own furniture: the frame's size,
// the Dynamic Island, notch or neither, the home indicator and its swipe, texts that fit, labels and rows
// that open what they name, and the animation length a run can set.
#include "sim/SimPhone.hpp"
#include "sim/SimScreen.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace pokescope;
using namespace pokescope::sim;
using namespace std::chrono_literals;

namespace pokescope::sim {
void PrintTo(const SimModel& model, std::ostream* out) {
    *out << model.key;
}
} // namespace pokescope::sim

namespace {

struct Furniture {
    int width, height;
    double statusBarPt;
    bool island, notch, homeIndicator; // no home indicator: a Home button with Touch ID
    std::string name;                  // as About shows it
};

const std::map<std::string, Furniture> kFurniture{
    {"iphone-se", {750, 1334, 20, false, false, false, "iPhone SE"}},
    {"iphone-13-mini", {1080, 2340, 50, false, true, true, "iPhone 13 mini"}},
    {"iphone-14-pro", {1179, 2556, 54, true, false, true, "iPhone 14 Pro"}},
    {"iphone-15-pro-max", {1290, 2796, 54, true, false, true, "iPhone 15 Pro Max"}},
};

bool overlap(const DrawnText& a, const DrawnText& b) {
    return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

class SimModelsTest : public ::testing::TestWithParam<SimModel> {
protected:
    const SimModel& model = GetParam();
    const Furniture& expected = kFurniture.at(GetParam().key);
    SimScreen screen{GetParam()};
    Image frame;
    TimePoint now = TimePoint{} + 100h;

    SimModelsTest() {
        screen.setWallClock(now,
                            std::chrono::system_clock::from_time_t(test::localTime(2026, 1, 9, 9, 41, 0)));
        screen.render(frame, now);
    }

    double pt(double points) const { return points * model.scale; }
    // Lets time pass (long enough for any transition) and draws the screen as it is then.
    void step(Duration d = 1s) {
        now += d;
        screen.render(frame, now);
    }
    void tapAt(double x, double y) {
        screen.tap(x, y, now);
        step();
    }
    std::optional<DrawnText> find(const std::string& text) const {
        for (const DrawnText& t : screen.drawnTexts())
            if (t.text == text)
                return t;
        return std::nullopt;
    }
    // Scrolls the list up, a third of the screen at a time, until `text` shows.
    void reveal(const std::string& text) {
        for (int i = 0; i < 8 && !find(text); ++i) {
            drag(model.width / 2.0, model.height * 0.7, model.height * 0.4, 300ms);
            step();
        }
    }
    void tapText(const std::string& text) {
        reveal(text);
        auto t = find(text);
        ASSERT_TRUE(t) << "no \"" << text << "\" on screen";
        tapAt(t->x + t->width / 2.0, t->y + t->height / 2.0);
    }
    std::uint32_t pixel(double x, double y) const {
        const std::uint8_t* p = frame.row(int(y)) + int(x) * 4;
        return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
    }
    // A straight drag over 100 ms, lifted after resting for `rest`.
    void drag(double x, double y0, double y1, Duration rest = 0ms) {
        screen.touchDown(x, y0, now);
        for (int i = 1; i <= 10; ++i)
            screen.touchMove(x, y0 + (y1 - y0) * i / 10, now + 10ms * i);
        now += 100ms + rest;
        screen.touchUp(x, y1, now);
    }
};

TEST_P(SimModelsTest, TheFrameHasTheModelsSizeStatusBarAndFurniture) {
    EXPECT_EQ(frame.width(), expected.width);
    EXPECT_EQ(frame.height(), expected.height);
    EXPECT_EQ(screen.width(), expected.width);

    auto clock = find("9:41");
    ASSERT_TRUE(clock);
    EXPECT_GT(clock->y, 0);
    EXPECT_LE(clock->y + clock->height, pt(expected.statusBarPt));
    if (expected.island || expected.notch)
        EXPECT_LT(clock->x + clock->width, expected.width / 2 - pt(60)); // left of the island or notch
    else
        EXPECT_NEAR(clock->x + clock->width / 2.0, expected.width / 2.0, 2); // a Home-button phone centres it

    // Black at the top centre: a notch reaches the top edge, the island floats below it.
    double x = expected.width / 2.0 + pt(30);
    EXPECT_EQ(pixel(x, pt(4)) == 0, expected.notch);
    EXPECT_EQ(pixel(x, pt(29)) == 0, expected.island || expected.notch);
    EXPECT_EQ(pixel(expected.width / 2.0, expected.height - pt(8)) == 0xFFFFFF, expected.homeIndicator);
}

TEST_P(SimModelsTest, EveryDrawnTextFitsTheScreenClearOfOthersAndOfTheIslandOrNotch) {
    DrawnText cutout{"", 0, 0, 0, 0};
    if (expected.island)
        cutout = {"the island", int(expected.width / 2 - pt(63)), int(pt(11)), int(pt(126)), int(pt(37))};
    if (expected.notch)
        cutout = {"the notch", int(expected.width / 2 - pt(82.5)), 0, int(pt(165)), int(pt(32))};
    auto check = [&](const std::string& where) {
        SCOPED_TRACE(where);
        step();
        auto texts = screen.drawnTexts();
        EXPECT_GT(texts.size(), 2u);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const DrawnText& t = texts[i];
            EXPECT_TRUE(t.x >= 0 && t.y >= 0 && t.x + t.width <= expected.width &&
                        t.y + t.height <= expected.height)
                << t.text << " at " << t.x << "," << t.y << " " << t.width << "×" << t.height;
            EXPECT_FALSE(cutout.width > 0 && overlap(t, cutout)) << t.text << " under " << cutout.text;
            for (std::size_t j = i + 1; j < texts.size(); ++j)
                EXPECT_FALSE(overlap(t, texts[j])) << t.text << " overlaps " << texts[j].text;
        }
    };
    check("home");
    screen.openApp("Settings", now);
    check("Settings");
    tapText("Accessibility");
    check("Accessibility");
    tapAt(pt(30), pt(expected.statusBarPt + 22)); // back
    tapText("General");
    tapText("About");
    check("About");
    screen.openApp("Notes", now);
    step();
    tapAt(expected.width / 2.0, expected.height * 0.3);
    screen.typeText("The quick brown fox jumps over the lazy dog, twice over to wrap a line.", now);
    check("Notes with the keyboard");
    screen.keyPress(0x2C, 0x08, now); // Command+Space
    screen.typeText("s", now);
    check("Spotlight");
    screen.openApp("Podcasts", now);
    step();
    tapText("Play");
    check("Podcasts");
    screen.showTrustPrompt(nullptr);
    check("the trust prompt");
}

TEST_P(SimModelsTest, TappingAHomeScreenLabelOpensItsApp) {
    std::vector<DrawnText> labels;
    for (const DrawnText& t : screen.drawnTexts())
        if (t.y > pt(expected.statusBarPt) && t.text != "Search")
            labels.push_back(t);
    ASSERT_EQ(labels.size(), 20u);
    for (const DrawnText& label : labels) {
        SCOPED_TRACE(label.text);
        tapAt(label.x + label.width / 2.0, label.y + label.height / 2.0);
        EXPECT_EQ(screen.location(), label.text);
        screen.goHome(now);
        step();
    }
}

TEST_P(SimModelsTest, SettingsRowsNavigationButtonsAndTheStatusBarDoWhatTheyShow) {
    screen.openApp("Settings", now);
    step();
    std::string passcode = expected.homeIndicator ? "Face ID & Passcode" : "Touch ID & Passcode";
    std::string other = expected.homeIndicator ? "Touch ID & Passcode" : "Face ID & Passcode";
    reveal(passcode);
    EXPECT_TRUE(find(passcode));
    EXPECT_FALSE(find(other));
    EXPECT_FALSE(find("Simulated User"));
    tapAt(pt(40), pt(expected.statusBarPt) / 2); // the status bar scrolls the list back to the top
    EXPECT_TRUE(find("Simulated User"));

    tapText("General");
    EXPECT_EQ(screen.location(), "Settings/General");
    tapText("About");
    EXPECT_EQ(screen.location(), "Settings/General/About");
    EXPECT_TRUE(find(expected.name));
    auto back = find("General"); // the back button names the page it goes back to
    ASSERT_TRUE(back);
    tapAt(back->x + back->width + pt(24), back->y + back->height / 2.0); // just past it: nothing
    EXPECT_EQ(screen.location(), "Settings/General/About");
    tapAt(back->x + back->width / 2.0, back->y + back->height / 2.0);
    EXPECT_EQ(screen.location(), "Settings/General");

    screen.openApp("Notes", now);
    step();
    tapAt(expected.width / 2.0, expected.height * 0.3);
    screen.typeText("note", now);
    step();
    auto done = find("Done");
    ASSERT_TRUE(done);
    tapAt(done->x - pt(20), done->y + done->height / 2.0); // beside it: the note keeps its keyboard
    EXPECT_EQ(screen.fieldText(), "note");
    tapAt(done->x + done->width / 2.0, done->y + done->height / 2.0);
    EXPECT_EQ(screen.fieldText(), "");
}

TEST_P(SimModelsTest, TheAnimationsSettingSetsHowLongAPushTakesAndAFlingCoasts) {
    struct Case {
        std::string words;
        std::vector<bool> pushing; // 1, 349, 350, 999 and 1000 ms after the finger lifts
        double coasting;           // how long a flick coasts, relative to the standard animation time
    };
    const std::vector<Case> cases{
        {"", {true, true, false, false, false}, 1},
        {",animations=1000", {true, true, true, true, false}, 1000.0 / 350},
        {",animations=0", {false, false, false, false, false}, 0},
    };
    std::optional<Duration> standard;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words);
        // The phone a run makes from its settings, unplugged so that only this test draws its screen.
        SimOptions options;
        options.pluggedIn = false;
        options.settings = SimSettings::parse("model=" + model.key + c.words);
        SimPhone phone(options);
        SimScreen& s = phone.screen();
        ASSERT_EQ(s.width(), expected.width);
        s.openApp("Settings", now);
        now += 1s;
        s.render(frame, now);
        std::optional<DrawnText> wifi;
        for (const DrawnText& t : s.drawnTexts())
            if (t.text == "Wi-Fi")
                wifi = t;
        ASSERT_TRUE(wifi);
        s.tap(wifi->x + 10, wifi->y + 10, now);
        TimePoint lifted = now + 80ms;
        std::vector<bool> pushing;
        for (Duration t : {1ms, 349ms, 350ms, 999ms, 1000ms}) {
            s.render(frame, lifted + t);
            pushing.push_back(s.animating());
        }
        EXPECT_EQ(pushing, c.pushing);
        EXPECT_EQ(s.location(), "Settings/Wi-Fi");

        // Back to the first page, then a flick up it: how long the list coasts, to 50 ms.
        now = lifted + 2s;
        s.tap(pt(60), pt(expected.statusBarPt + 22), now);
        now += 2s;
        s.render(frame, now);
        ASSERT_EQ(s.location(), "Settings");
        double x = expected.width / 2.0, y = expected.height * 0.7;
        s.touchDown(x, y, now);
        for (int i = 1; i <= 10; ++i)
            s.touchMove(x, y - pt(3) * i, now + 10ms * i);
        now += 100ms;
        s.touchUp(x, y - pt(30), now);
        TimePoint start = now;
        while (s.animating() && now - start < 60s) {
            now += 50ms;
            s.render(frame, now);
        }
        double seconds = std::chrono::duration<double>(now - start).count();
        if (!standard) {
            standard = now - start;
            EXPECT_GT(seconds, 1.0);
        }
        EXPECT_NEAR(seconds / std::chrono::duration<double>(*standard).count(), c.coasting, 0.15);
    }
}

INSTANTIATE_TEST_SUITE_P(Models, SimModelsTest, ::testing::ValuesIn(SimModel::all()),
                         [](const ::testing::TestParamInfo<SimModel>& info) {
                             std::string name = info.param.key;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
