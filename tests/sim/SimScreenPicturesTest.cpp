// The screens a recognition benchmark reads, in both appearances: each is saved under /tmp/simshots/ for a
// person to look at, and every text the screen reports must be where its pixels are.
#include "tests/sim/SimScreenFixture.hpp"

#include <filesystem>
#include <map>

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

class SimScreenPicturesTest : public SimScreenFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        screen.setDarkMode(GetParam());
        std::filesystem::create_directories("/tmp/simshots");
    }
    void shoot(const std::string& name) {
        render();
        auto png = encoded(frame, ImageType::png, 1);
        ASSERT_TRUE(png);
        std::ofstream("/tmp/simshots/" + name + (GetParam() ? "-dark" : "-light") + ".png", std::ios::binary)
            << *png;
        checkTexts(name);
    }

    // The colour most common on the ring just outside a box: the background the text is drawn on.
    std::uint32_t background(const DrawnText& t) const {
        std::map<std::uint32_t, int> counts;
        auto count = [&](int x, int y) {
            if (x >= 0 && y >= 0 && x < frame.width() && y < frame.height())
                ++counts[pixel(frame, x, y)];
        };
        for (int x = t.x - 3; x <= t.x + t.width + 2; ++x)
            count(x, t.y - 3), count(x, t.y + t.height + 2);
        for (int y = t.y - 3; y <= t.y + t.height + 2; ++y)
            count(t.x - 3, y), count(t.x + t.width + 2, y);
        return std::max_element(counts.begin(), counts.end(),
                                [](const auto& a, const auto& b) { return a.second < b.second; })
            ->first;
    }
    // Each reported box holds its text's ink tightly, and no two reported texts overlap.
    void checkTexts(const std::string& name) {
        auto texts = screen.drawnTexts();
        ASSERT_FALSE(texts.empty()) << name;
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const DrawnText& t = texts[i];
            SCOPED_TRACE(name + ": \"" + t.text + "\"");
            EXPECT_GE(t.x, 0);
            EXPECT_GE(t.y, 0);
            EXPECT_LE(t.x + t.width, frame.width());
            EXPECT_LE(t.y + t.height, frame.height());
            for (std::size_t j = i + 1; j < texts.size(); ++j) {
                const DrawnText& o = texts[j];
                bool overlap = t.x < o.x + o.width && o.x < t.x + t.width && t.y < o.y + o.height &&
                               o.y < t.y + t.height;
                EXPECT_FALSE(overlap) << "overlaps \"" << o.text << "\"";
            }
            int bg = luma(background(t));
            int minX = 1 << 20, minY = 1 << 20, maxX = -1, maxY = -1;
            for (int y = t.y; y < t.y + t.height; ++y)
                for (int x = t.x; x < t.x + t.width; ++x)
                    if (std::abs(luma(pixel(frame, x, y)) - bg) > 40) {
                        minX = std::min(minX, x), maxX = std::max(maxX, x);
                        minY = std::min(minY, y), maxY = std::max(maxY, y);
                    }
            ASSERT_GE(maxX, 0) << "no ink in the box";
            EXPECT_LE(minX - t.x, 3);
            EXPECT_LE(t.x + t.width - 1 - maxX, 3);
            EXPECT_LE(minY - t.y, 3);
            EXPECT_LE(t.y + t.height - 1 - maxY, 3);
        }
    }
};

TEST_P(SimScreenPicturesTest, HomeScreen) {
    shoot("home");
}

TEST_P(SimScreenPicturesTest, SettingsAndASubPage) {
    open("Settings");
    shoot("settings");
    tapText("General");
    tapText("About");
    shoot("settings-about");
}

TEST_P(SimScreenPicturesTest, NotesWithTextAndCaret) {
    open("Notes");
    tapAt(600, 900);
    screen.typeText("Shopping list\nMilk, eggs and bread\nCall the garage at 4 pm", now);
    shoot("notes");
    screen.setHardwareKeyboard(true);
    settle();
    shoot("notes-hardware-keyboard");
}

TEST_P(SimScreenPicturesTest, SpotlightWithResults) {
    render();
    key(0x2C, 0x08);
    screen.typeText("m", now);
    settle();
    shoot("spotlight");
}

TEST_P(SimScreenPicturesTest, TrustPromptAndAssistiveTouch) {
    open("Settings");
    screen.setAssistiveTouch(true);
    screen.setPointer(600, 1400, now);
    screen.showTrustPrompt([](bool) {});
    shoot("trust");
    screen.setPointer(SimScreen::kWidth - 10, 700, now); // a disc clipped at the edge
    shoot("assistivetouch");
}

TEST_P(SimScreenPicturesTest, LongPressMenuOnAnIcon) {
    render();
    screen.touchDown(171, 315, now);
    now += 600ms;
    screen.touchUp(171, 315, now);
    shoot("icon-menu");
}

INSTANTIATE_TEST_SUITE_P(Appearances, SimScreenPicturesTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Dark" : "Light"; });

} // namespace
