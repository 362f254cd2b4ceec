// Reading rendered screens of the simulated iPhone: the words, their order and their boxes.
#include "vision/ScreenText.hpp"

#include "tests/sim/SimScreenFixture.hpp"

#include <algorithm>
#include <cstdint>

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

class ScreenTextReadTest : public SimScreenFixture {
protected:
    std::vector<TextItem> items;
    std::shared_ptr<TextRecognizer> recognizer = TextRecognizer::system();

    void read() {
        render();
        items = ScreenText::read(frame, *recognizer);
    }
    std::optional<TextItem> item(const std::string& text) const {
        for (const TextItem& i : items)
            if (i.text == text)
                return i;
        return std::nullopt;
    }
    // The drawn text is read back as one item of exactly its text whose box covers its centre.
    void expectRead(const std::string& text) const {
        const auto drawn = find(text);
        ASSERT_TRUE(drawn) << text << " is not on the screen";
        const auto got = item(text);
        ASSERT_TRUE(got) << text << " was not read as an item of its own";
        const double cx = drawn->x + drawn->width / 2.0, cy = drawn->y + drawn->height / 2.0;
        EXPECT_TRUE(cx >= got->x && cx <= got->x + got->width && cy >= got->y && cy <= got->y + got->height)
            << text << " read at " << got->x << "," << got->y << " " << got->width << "x" << got->height;
    }
    void expectSorted() const {
        EXPECT_TRUE(std::is_sorted(items.begin(), items.end(), [](const TextItem& a, const TextItem& b) {
            return a.y < b.y || (a.y == b.y && a.x < b.x);
        }));
    }
    // A settings list read back row by row: each label and its value as separate items.
    void expectSettingsRows() {
        for (const char* t :
             {"Settings", "Airplane Mode", "Wi-Fi", "HomeNet-5G", "Bluetooth", "On", "Cellular",
              "Personal Hotspot", "Off", "Notifications", "Sounds & Haptics", "Focus"})
            expectRead(t);
        expectSorted();
        // A label comes before its value unless the value's box starts higher.
        const auto label = item("Bluetooth"), value = item("On");
        ASSERT_TRUE(label && value);
        EXPECT_LT(std::abs(label->y - value->y), 20);
        EXPECT_LT(label->x + label->width, value->x);
        // Nothing is read where the screen shows no text (the icons beside the rows).
        for (const TextItem& i : items)
            EXPECT_GE(i.x + i.width, 200) << "\"" << i.text << "\" read over the row icons";
        const auto wifi = ScreenText::find(" wi-fi", items, 1);
        ASSERT_TRUE(wifi);
        EXPECT_EQ(wifi->text, "Wi-Fi");
    }
};

TEST_F(ScreenTextReadTest, SettingsRowsReadAsLabelsAndValuesLightOrDark) {
    open("Settings");
    for (bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        screen.setDarkMode(dark);
        read();
        expectSettingsRows();
    }
}

TEST_F(ScreenTextReadTest, AboutPageValuesAndTheNoteText) {
    open("Settings");
    tapText("General");
    tapText("About");
    read();
    for (const char* t : {"iOS Version", "17.5.1", "Model Name", "iPhone 14 Pro", "Capacity", "128 GB"})
        expectRead(t);
    expectSorted();

    screen.goHome(now);
    open("Notes");
    tapAt(600, 900);
    screen.typeText("Buy milk and eggs before Friday", now);
    settle();
    read();
    expectRead("Buy milk and eggs before Friday");
    expectRead("Done");
}

// The first row of app labels sits right under the dynamic island's row of glyphs and beside the icons;
// every label must come back, and the status bar's glyphs and the search field's magnifier must not.
TEST_F(ScreenTextReadTest, HomeScreenLabelsOnTheWallpaperAndNoGlyphJunk) {
    for (bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        screen.setDarkMode(dark);
        read();
        for (const char* t : {"Settings", "Notes", "Podcasts", "Safari", "Health", "Wallet", "Camera", "Photos",
                              "Messages", "Mail", "Contacts"})
            expectRead(t);
        expectSorted();
        const auto clock = std::find_if(items.begin(), items.end(), [](const TextItem& i) {
            return i.text.find(':') != std::string::npos && i.y < kStatusBarHeight;
        });
        EXPECT_NE(clock, items.end()) << "the clock was not read";
        // Only the clock is text in the status bar; the signal, network and battery glyphs are not.
        for (const TextItem& i : items) {
            if (i.y + i.height < kStatusBarHeight) {
                EXPECT_EQ(&i, &*clock) << "\"" << i.text << "\" read in the status bar";
            }
        }
        const auto search = item("Search");
        ASSERT_TRUE(search) << "the search button was not read as Search alone";
        for (const TextItem& i : items)
            EXPECT_NE(i.text, "Q") << "the magnifier was read as a letter";
    }
}

} // namespace

// What a capture adds where the picture has edges: a little noise that differs from frame to frame.
static Image withEdgeNoise(const Image& clean, std::uint64_t seed) {
    Image noisy = clean;
    auto grey = [](const std::uint8_t* p) { return (p[0] * 29 + p[1] * 150 + p[2] * 77) >> 8; };
    for (int y = 0; y < clean.height(); ++y) {
        const std::uint8_t* source = clean.row(y);
        std::uint8_t* target = noisy.row(y);
        for (int x = 1; x < clean.width(); ++x) {
            if (std::abs(grey(source + x * 4) - grey(source + (x - 1) * 4)) < 40)
                continue;
            std::uint64_t h = (std::uint64_t(x) * 0x9E3779B97F4A7C15ULL) ^ (std::uint64_t(y) * 0xC2B2AE3D27D4EB4FULL) ^
                              (seed * 0x165667B19E3779F9ULL);
            h ^= h >> 29;
            const int n = int(h % 13) - 6;
            for (int c = 0; c < 3; ++c)
                target[x * 4 + c] = std::uint8_t(std::clamp(target[x * 4 + c] + n, 0, 255));
        }
    }
    return noisy;
}

// Typed text is read whole whether the caret beside its last word is lit or not: the caret is no letter,
// and the word beside it must not turn into "agent|" or be dropped as doubtful.
TEST_F(ScreenTextReadTest, TypedTextIsReadWithTheCaretLitOrDark) {
    open("Notes");
    tapAt(590, 1400);
    screen.typeText("Hello from the agent", now);
    settle();
    for (int phase = 0; phase < 2; ++phase) {
        render();
        for (std::uint64_t seed = 1; seed <= 4; ++seed) {
            items = ScreenText::read(withEdgeNoise(frame, seed), *recognizer);
            expectRead("Hello from the agent");
        }
        now += std::chrono::milliseconds(500);
    }
}
