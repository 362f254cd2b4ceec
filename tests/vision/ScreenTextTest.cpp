// The tap-text matching rule, the items, and reading: the engine's words to fragments, the frame preparation,
// and rendered screens of the simulated iPhone read back.
#include "platform/linux/TesseractFragments.hpp"
#include "platform/linux/TesseractPrepare.hpp"
#include "vision/ScreenText.hpp"

#include "tests/sim/SimScreenFixture.hpp"
#include "tests/support/LogLines.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

using namespace pokescope;
using namespace pokescope::ocr;
using namespace pokescope::sim;
using namespace pokescope::sim::test;

namespace {

std::vector<TextItem> list(std::initializer_list<const char*> texts) {
    std::vector<TextItem> items;
    int y = 100;
    for (const char* t : texts) {
        items.push_back({t, 50, y, 200, 40});
        y += 100;
    }
    return items;
}

std::string found(std::string_view query, const std::vector<TextItem>& items, int occurrence = 1) {
    auto item = ScreenText::find(query, items, occurrence);
    return item ? item->text + "@" + std::to_string(item->y) : "none";
}

TEST(ScreenTextFind, TheBestRankWinsOccurrencesCountFromTheTopAndTheQueryIsTrimmedAndLowerCased) {
    const auto items = list({"About General", "General Settings", "General"});
    EXPECT_EQ(found("general", items), "General@300");
    EXPECT_EQ(found("general", items, 2), "General@300"); // only one exact match: back to the first
    EXPECT_EQ(found("GENERAL SET", items), "General Settings@200");
    EXPECT_EQ(found("about", items), "About General@100");
    EXPECT_EQ(found("neral", items), "About General@100");
    EXPECT_EQ(found("neral", items, 3), "General@300"); // three contain it, counted from the top
    EXPECT_EQ(found("neral", items, 4), "About General@100");
    EXPECT_EQ(found("Privacy", items), "none");
    EXPECT_EQ(found("general", {}), "none");

    const auto onOff = list({"On", "Off", "On", "On"});
    for (auto [occurrence, at] : {std::pair{1, "On@100"}, {2, "On@300"}, {3, "On@400"}, {4, "On@100"}, {0, "On@100"},
                                  {-2, "On@100"}})
        EXPECT_EQ(found("on", onOff, occurrence), at) << occurrence;
    // Lower ranks never stand in for a missing occurrence of the best one.
    EXPECT_EQ(found("of", list({"Off", "Proof of Work"}), 2), "Off@100");

    // The query is trimmed of spaces and tabs only; case is ignored with full Unicode lower-casing and no other
    // folding; an empty query is a prefix of everything.
    const auto wifi = list({"Wi-Fi Settings", "WI-FI"});
    EXPECT_EQ(found("  Wi-Fi ", wifi), "WI-FI@200");
    EXPECT_EQ(found("\tWi-Fi\t", wifi), "WI-FI@200");
    // A line break is part of the query, so nothing matches it.
    EXPECT_EQ(found("Wi-Fi\n", wifi), "none");
    // The item's own spaces are kept: a padded text is no exact match.
    EXPECT_EQ(found("wi-fi", list({" Wi-Fi", "Wi-Fi Calling"})), "Wi-Fi Calling@200");
    const auto accented = list({"ECOLE", "ÉCOLE", "ΣΟΦΊΑ"});
    EXPECT_EQ(found("école", accented), "ÉCOLE@200");
    EXPECT_EQ(found("ecole", accented), "ECOLE@100"); // accents must match
    EXPECT_EQ(found("σοφία", accented), "ΣΟΦΊΑ@300");
    EXPECT_EQ(found("İstanbul", list({"i̇stanbul"})), "i̇stanbul@100"); // İ lower-cases to i + dot above
    EXPECT_EQ(found("wi-fi", list({"Wi–Fi"})), "none");               // an en dash is no hyphen
    EXPECT_EQ(found("", list({"Settings", "Notes", ""})), "@300"); // the empty text is its one exact match
    EXPECT_EQ(found("   ", list({"Settings", "Notes"})), "Settings@100");
    EXPECT_EQ(found("", list({"Settings", "Notes"}), 2), "Notes@200");
}

TEST(ScreenTextItems, NumbersAreTruncatedTowardZeroSortedStablyAndEncodedWithExactlyTheFiveKeys) {
    const auto items =
        ScreenText::items({{"Settings", 100.99, 100.5, 500.7, 99.999}, {"Edge", -0.7, 2555.9, 0.4, -1.5}});
    EXPECT_EQ(items, (std::vector<TextItem>{{"Settings", 100, 100, 500, 99}, {"Edge", 0, 2555, 0, -1}}));
    std::vector<std::string> order;
    for (const auto& item : ScreenText::items({{"lower left", 10, 201, 50, 30}, {"right", 600, 200, 50, 30},
                                               {"left", 40.8, 200.2, 50, 30}, {"top", 900, 50, 50, 30},
                                               {"twin b", 40, 200, 60, 30}, {"twin c", 40, 200, 70, 30}}))
        order.push_back(item.text);
    // "left" truncates to (40, 200) like the twins and keeps its place among them.
    EXPECT_EQ(order, (std::vector<std::string>{"top", "left", "twin b", "twin c", "right", "lower left"}));

    const nlohmann::json j = TextItem{"Wi-Fi", 229, 1129, 122, 39};
    EXPECT_EQ(j.dump(), R"({"height":39,"text":"Wi-Fi","width":122,"x":229,"y":1129})");
    EXPECT_EQ(j.get<TextItem>(), (TextItem{"Wi-Fi", 229, 1129, 122, 39}));
    EXPECT_THROW(nlohmann::json({{"text", "a"}, {"x", 1}}).get<TextItem>(), nlohmann::json::exception);
}

// Of a line the AssistiveTouch button reaches into, the words clear of it stay, as the runs they form on
// either side of it; a fragment whose words are unknown goes whole, and one clear of it stays as it is.
TEST(ScreenTextItems, TheAssistiveTouchButtonTakesOutOnlyTheWordsItReachesInto) {
    const ScreenText::Box button{900, 1000, 150, 150};
    auto word = [](const char* text, double x) { return RecognizedText{text, x, 1050, 100, 40, {}}; };
    const std::vector<RecognizedText> recognized{
        {"Alpha Beta cut Gamma", 100, 1050, 1100, 40, {word("Alpha", 100), word("Beta", 250), word("cut", 880),
                                                       word("Gamma", 1100)}},
        {"Unknown words", 700, 1120, 300, 40, {}},
        {"Clear", 100, 1300, 200, 40, {}}};
    std::vector<std::string> kept;
    for (const TextItem& item : ScreenText::items(ScreenText::clearOf(button, recognized)))
        kept.push_back(item.text + " " + std::to_string(item.x) + "+" + std::to_string(item.width));
    EXPECT_EQ(kept, (std::vector<std::string>{"Alpha Beta 100+250", "Gamma 1100+100", "Clear 100+200"}));
}

class ScriptedRecognizer : public TextRecognizer {
public:
    std::vector<RecognizedText> result;
    bool fail = false;
    int calls = 0;
    std::vector<RecognizedText> recognize(const Image&) override {
        ++calls;
        if (fail)
            throw TextRecognitionError("the model is missing");
        return result;
    }
};

TEST(ScreenTextRead, FailuresGiveAnEmptyListAndALogLine) {
    pokescope::test::TempHome home;
    ScriptedRecognizer recognizer;
    recognizer.result = {{"Settings", 1, 2, 3, 4}};
    Image frame(40, 20, Image::Format::bgra);
    EXPECT_EQ(ScreenText::read(frame, recognizer).size(), 1u);
    recognizer.fail = true;
    EXPECT_TRUE(ScreenText::read(frame, recognizer).empty());
    EXPECT_TRUE(pokescope::test::logged("ScreenText: text recognition failed: the model is missing"));
    EXPECT_TRUE(ScreenText::read(Image(40, 20, Image::Format::rgb), recognizer).empty());
    EXPECT_TRUE(pokescope::test::logged("ScreenText: cannot read a RGB frame of 40x20 pixels; expected BGRA"));
    EXPECT_TRUE(ScreenText::read(Image(), recognizer).empty());
    EXPECT_TRUE(pokescope::test::logged("ScreenText: cannot read a BGRA frame of 0x0 pixels; expected BGRA"));
    EXPECT_EQ(recognizer.calls, 2);
    // The real recogniser refuses them too, rather than reading garbage.
    EXPECT_THROW(TextRecognizer::system()->recognize(Image(40, 20, Image::Format::gray)), TextRecognitionError);
}

Word word(const char* text, int x, int y, int w, int h = 40, float confidence = 95) {
    return {text, x, y, w, h, confidence};
}

std::vector<std::string> texts(const std::vector<RecognizedText>& fragments) {
    std::vector<std::string> out;
    for (const auto& f : fragments)
        out.push_back(f.text);
    return out;
}

TEST(TesseractFragments, LabelsValuesGapsRowsEdgeMarksAndCaretsDecideTheFragments) {
    const std::pair<std::vector<Word>, std::vector<std::string>> cases[] = {
        // A gap splits only when wider than the words are tall: 39 px at 40 px high stays one fragment.
        {{word("Screen", 100, 500, 150), word("Time", 289, 500, 100)}, {"Screen Time"}},
        {{word("Notes", 100, 500, 150), word("Safari", 291, 500, 100)}, {"Notes", "Safari"}},
        // Rows need half the smaller height in common: a subtitle just below its title is another row, and
        // comes after it even when further left.
        {{word("Apple", 294, 756, 100, 38), word("Simulated", 297, 680, 200, 47), word("User", 510, 680, 90, 47),
          word("ID,", 400, 740, 40, 38)},
         {"Simulated User", "Apple ID,"}},
        // Marks at the edges and carets are dropped, but a back button's chevron stays with its label (and a
        // lone one goes).
        {{word("<", 20, 200, 30), word("Settings", 60, 200, 160), word(">", 1000, 400, 20), word("On", 900, 400, 60),
          word("|", 980, 400, 6), word("Friday|", 100, 600, 140), word("—", 300, 800, 40), word("‹", 20, 900, 30)},
         {"< Settings", "On", "Friday"}},
        {{word("Done", 900, 200, 90), word("<", 1000, 200, 30)}, {"Done"}},
    };
    for (const auto& [words, expected] : cases)
        EXPECT_EQ(texts(fragments(words)), expected);

    // Words arrive in the engine's order; the value sits two pixels higher than the label, so it comes
    // first.
    auto f = fragments({word("Wi-Fi", 229, 1129, 122), word("HomeNet-5G", 722, 1127, 313),
                        word("Sounds", 230, 1894, 180, 49), word("&", 425, 1896, 30, 40),
                        word("Haptics", 470, 1894, 183, 49)});
    ASSERT_EQ(texts(f), (std::vector<std::string>{"HomeNet-5G", "Wi-Fi", "Sounds & Haptics"}));
    EXPECT_EQ(std::tuple(f[2].x, f[2].y, f[2].width, f[2].height), std::tuple(230, 1894, 653 - 230, 49));
}

TEST(TesseractFragments, JunkIsUnsureTextOrAnIconsGlyphAndStatusBarGlyphsAndTheMagnifierAreNoText) {
    EXPECT_FALSE(isJunk(word("Bluetooth", 0, 0, 200, 40, 92)));
    EXPECT_TRUE(isJunk(word("eo", 0, 0, 60, 40, 45)));          // unsure
    EXPECT_TRUE(isJunk(word("e", 0, 0, 96, 106, 90)));          // a letter as tall as an icon
    EXPECT_FALSE(isJunk(word("q", 0, 0, 32, 50, 79)));          // a key of the keyboard
    EXPECT_FALSE(isJunk(word("&", 0, 0, 30, 40, 92)));          // a sure mark
    EXPECT_TRUE(isJunk(word("&)", 0, 0, 98, 106, 57)));         // an unsure one
    EXPECT_FALSE(isJunk(word("‹", 0, 0, 30, 40, 57)));          // a chevron, kept if beside a label
    EXPECT_TRUE(isJunk(word("Settings", 0, 0, 0, 40, 95)));     // no box
    EXPECT_FALSE(isJunk(word("Settings", 0, 0, 400, 100, 95))); // a large title is no lone letter
    EXPECT_TRUE(isJunk(word("a", 0, 0, 14, 10, 90)));           // smaller than any text drawn
    EXPECT_FALSE(isJunk(word("on", 0, 0, 40, 20, 90)));         // small text without ascenders

    // In a 2556-row frame: the clock is sure, the signal and battery bars read as letters are not.
    EXPECT_FALSE(isStatusGlyph(word("12:17", 106, 70, 122, 38, 96.8f), 2556));
    EXPECT_TRUE(isStatusGlyph(word("als", 866, 72, 116, 36, 66), 2556));
    // The same unsure word lower down is left to the other rules.
    EXPECT_FALSE(isStatusGlyph(word("als", 866, 700, 116, 36, 66), 2556));
    EXPECT_TRUE(isGlyphLetter("Q", 20, 20));
    EXPECT_FALSE(isGlyphLetter("Q", 28, 36)); // a Q of the phone's fonts is taller than wide
    EXPECT_FALSE(isGlyphLetter("O", 20, 20));
    // A lone dash as tall as it is wide is the middle dot of "Today · 12 sec"; a hyphen or a dash is wider.
    EXPECT_TRUE(isMiddleDot("-", 4, 4));
    EXPECT_FALSE(isMiddleDot("-", 14, 4));
    EXPECT_FALSE(isMiddleDot("—", 4, 4));
}

// A BGRA frame of one colour with blocks of others, the later ones on top.
struct Block {
    std::uint32_t colour;
    int x, y, w, h;
};
Image frameOf(int width, std::uint32_t ground, std::initializer_list<Block> blocks, int height = 240) {
    Image frame(width, height, Image::Format::bgra);
    for (int py = 0; py < frame.height(); ++py)
        for (int px = 0; px < frame.width(); ++px) {
            std::uint32_t c = ground;
            for (const Block& b : blocks)
                if (px >= b.x && px < b.x + b.w && py >= b.y && py < b.y + b.h)
                    c = b.colour;
            std::uint8_t* p = frame.row(py) + 4 * px;
            p[0] = c & 0xFF, p[1] = (c >> 8) & 0xFF, p[2] = (c >> 16) & 0xFF, p[3] = 0xFF;
        }
    return frame;
}

TEST(TesseractPrepare, InkIsDarkOnWhiteWhateverThePolarityOrColourAndFilledShapesAreErasedButStrokesKept) {
    // A thin stroke: white on black (dark mode), orange on white, white on blue.
    for (auto [ground, ink] : {std::pair{0x000000u, 0xFFFFFFu}, std::pair{0xFFFFFFu, 0xFF9F0Au},
                               std::pair{0x007AFFu, 0xFFFFFFu}}) {
        const Image grey = preparedGrey(frameOf(120, ground, {{ink, 40, 100, 6, 30}}), 2);
        ASSERT_EQ(std::tuple(grey.format(), grey.width(), grey.height()), std::tuple(Image::Format::gray, 60, 120));
        EXPECT_EQ(grey.row(60)[21], 0) << std::hex << ground;   // inside the stroke
        EXPECT_EQ(grey.row(10)[50], 255) << std::hex << ground; // the ground
    }

    auto green = [](int x, int y, int w, int h) {
        return preparedGrey(frameOf(120, 0xFFFFFF, {{0x34C759, x, y, w, h}}), 2);
    };
    // A 60 × 60 px filled square (an icon) disappears; a 6 px stroke of the same height stays.
    EXPECT_EQ(green(20, 40, 60, 60).row(35)[25], 255);
    EXPECT_EQ(green(20, 40, 6, 60).row(35)[11], 0);
    // A stroke taller than any letter (an icon's edge) goes; one as tall as a large title's letter stays.
    EXPECT_EQ(green(20, 40, 6, 130).row(50)[11], 255);
    EXPECT_EQ(green(20, 40, 6, 96).row(50)[11], 0);
}

// A text field's caret (a thin bar in the tint colour) is erased before reading, whether it stands apart
// from the letter before it or touches it; a thin coloured letter beside coloured letters stays.
TEST(TesseractPrepare, ACaretBesideTextIsErasedButColouredLettersStayAndBandsCutOnQuietRows) {
    const std::uint32_t black = 0x000000, blue = 0x007AFF, yellow = 0xE5B000;
    const Image frame = frameOf(1179, 0xFFFFFF, {
        {black, 100, 100, 24, 40}, {blue, 132, 94, 6, 54},    // a letter, then the caret a little apart
        {black, 300, 100, 24, 40}, {yellow, 324, 94, 6, 54},  // the caret touching the letter
        {blue, 500, 100, 24, 40},  {blue, 532, 94, 6, 54},    // coloured text: "…el" of a tinted label
    });
    const Image grey = preparedGrey(frame, 2);
    // The black letters and the coloured ones (the thin one too) stay; both carets are gone.
    for (auto [y, x, ink] : {std::tuple{60, 56, 0}, {60, 156, 0}, {60, 256, 0}, {60, 267, 0}, {60, 67, 255},
                             {60, 163, 255}, {50, 163, 255}})
        EXPECT_EQ(grey.row(y)[x], ink) << x << "," << y;

    Image stripes(100, 400, Image::Format::gray);
    std::fill(stripes.data(), stripes.data() + stripes.byteCount(), 255);
    // Text-like stripes everywhere except rows 180..189 and 290..299.
    for (int y = 0; y < 400; ++y)
        if (!(y >= 180 && y < 190) && !(y >= 290 && y < 300))
            for (int x = 0; x < 100; x += 4)
                stripes.row(y)[x] = 0;
    const auto b = bands(stripes, 2);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].top, 0);
    EXPECT_GE(b[0].bottom, 180);
    EXPECT_LT(b[0].bottom, 190);
    EXPECT_EQ(std::pair(b[1].top, b[1].bottom), std::pair(b[0].bottom, 400));
    const auto one = bands(stripes, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].bottom, 400);
}

// The home indicator drawn across a line of text at the bottom of a page is taken out, and the letters it
// crossed go on through its rows; the same bar higher up the page is page content and stays.
TEST(TesseractPrepare, TheHomeIndicatorAcrossALineOfTextIsTakenOutAndTheLettersItCrossedStay) {
    const std::uint32_t black = 0x000000, white = 0xF2F2F7;
    // A 1179 × 2556 page (3×): the bar is 402 × 15 px, 24 px above the bottom edge; two letters' stems cross it.
    const Image frame = frameOf(1179, white, {
        {black, 388, 2517, 402, 15}, {black, 450, 2490, 8, 50}, {black, 600, 2490, 8, 50},
        {black, 388, 1500, 402, 15}, {black, 450, 1473, 8, 50}, {black, 600, 1473, 8, 50},
    }, 2556);
    const Image grey = preparedGrey(frame, 2);
    // At the bottom: the bar between and beside the stems is ground, the stems go on through its rows.
    for (auto [x, y, ink] : {std::tuple{262, 1262, 255}, {350, 1262, 255}, {200, 1262, 255}, {380, 1262, 255},
                             {227, 1262, 0}, {302, 1262, 0}, {227, 1250, 0}, {302, 1266, 0}})
        EXPECT_EQ(grey.row(y)[x], ink) << x << "," << y;
    // Higher up, the same shapes are no home indicator: the bar stays as the stems' ink.
    EXPECT_EQ(grey.row(754)[262], 0);
}

class ScreenTextReadTest : public SimScreenFixture {
protected:
    std::vector<TextItem> items;
    std::shared_ptr<TextRecognizer> recognizer = TextRecognizer::system();

    void read() { render(); items = ScreenText::read(frame, *recognizer); }
    std::optional<TextItem> item(const std::string& text) const {
        auto it = std::ranges::find(items, text, &TextItem::text);
        return it == items.end() ? std::nullopt : std::optional(*it);
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
    // Each text is read, and the items come top to bottom, then left to right.
    void expectAllRead(std::initializer_list<const char*> texts) const {
        for (const char* text : texts)
            expectRead(text);
        EXPECT_TRUE(std::is_sorted(items.begin(), items.end(), [](const TextItem& a, const TextItem& b) {
            return a.y < b.y || (a.y == b.y && a.x < b.x);
        }));
    }
};

TEST_F(ScreenTextReadTest, SettingsRowsReadAsLabelsAndValuesLightOrDarkAndTheAboutPagesValues) {
    open("Settings");
    for (bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        screen.setDarkMode(dark);
        read();
        expectAllRead({"Settings", "Airplane Mode", "Wi-Fi", "HomeNet-5G", "Bluetooth", "On", "Cellular",
                       "Personal Hotspot", "Off", "Notifications", "Sounds & Haptics", "Focus"});
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
    screen.setDarkMode(false);
    tapText("General");
    tapText("About");
    read();
    expectAllRead({"iOS Version", "17.5.1", "Model Name", "iPhone 14 Pro", "Capacity", "128 GB"});
}

// The first row of app labels sits right under the dynamic island's row of glyphs and beside the icons;
// every label must come back, and the status bar's glyphs and the search field's magnifier must not.
TEST_F(ScreenTextReadTest, HomeScreenLabelsOnTheWallpaperAndNoGlyphJunk) {
    for (bool dark : {false, true}) {
        SCOPED_TRACE(dark ? "dark" : "light");
        screen.setDarkMode(dark);
        read();
        expectAllRead({"Settings", "Notes", "Podcasts", "Safari", "Health", "Wallet", "Camera", "Photos", "Messages",
                       "Mail", "Contacts"});
        const auto clock = std::find_if(items.begin(), items.end(), [](const TextItem& i) {
            return i.text.find(':') != std::string::npos && i.y < kStatusBarHeight;
        });
        EXPECT_NE(clock, items.end()) << "the clock was not read";
        // Only the clock is text in the status bar; the signal, network and battery glyphs are not.
        for (const TextItem& i : items) {
            EXPECT_TRUE(i.y + i.height >= kStatusBarHeight || &i == &*clock) << "\"" << i.text << "\" in the status bar";
            EXPECT_NE(i.text, "Q") << "the magnifier was read as a letter";
        }
        EXPECT_TRUE(item("Search")) << "the search button was not read as Search alone";
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
    read();
    expectRead("Done");
}
