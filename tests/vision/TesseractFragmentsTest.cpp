// From engine words to fragments, junk rejection, and the frame preparation the engine reads.
#include "platform/linux/TesseractFragments.hpp"
#include "platform/linux/TesseractPrepare.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace pokescope;
using namespace pokescope::ocr;

namespace {

Word word(const char* text, int x, int y, int w, int h = 40, float confidence = 95) {
    return {text, x, y, w, h, confidence};
}

std::vector<std::string> texts(const std::vector<RecognizedText>& fragments) {
    std::vector<std::string> out;
    for (const auto& f : fragments)
        out.push_back(f.text);
    return out;
}

TEST(TesseractFragments, LabelAndValueOnOneRowAreSeparateFragments) {
    // Words arrive in the engine's order; the value sits two pixels higher than the label, so it comes
    // first.
    auto f = fragments({word("Wi-Fi", 229, 1129, 122), word("HomeNet-5G", 722, 1127, 313),
                        word("Sounds", 230, 1894, 180, 49), word("&", 425, 1896, 30, 40),
                        word("Haptics", 470, 1894, 183, 49)});
    ASSERT_EQ(texts(f), (std::vector<std::string>{"HomeNet-5G", "Wi-Fi", "Sounds & Haptics"}));
    EXPECT_EQ(f[2].x, 230);
    EXPECT_EQ(f[2].y, 1894);
    EXPECT_EQ(f[2].width, 653 - 230);
    EXPECT_EQ(f[2].height, 49);
}

TEST(TesseractFragments, GapsSplitOnlyWhenWiderThanTheWordsAreTall) {
    // 39 px apart at 40 px high stays one fragment; 41 px splits.
    EXPECT_EQ(texts(fragments({word("Screen", 100, 500, 150), word("Time", 289, 500, 100)})),
              (std::vector<std::string>{"Screen Time"}));
    EXPECT_EQ(texts(fragments({word("Notes", 100, 500, 150), word("Safari", 291, 500, 100)})),
              (std::vector<std::string>{"Notes", "Safari"}));
}

TEST(TesseractFragments, RowsNeedHalfTheSmallerHeightInCommon) {
    // A subtitle just below its title is another row, and comes after it even when further left.
    auto f = fragments({word("Apple", 294, 756, 100, 38), word("Simulated", 297, 680, 200, 47),
                        word("User", 510, 680, 90, 47), word("ID,", 400, 740, 40, 38)});
    EXPECT_EQ(texts(f), (std::vector<std::string>{"Simulated User", "Apple ID,"}));
}

TEST(TesseractFragments, MarksAtTheEdgesAndCaretsAreDropped) {
    auto f = fragments({word("<", 20, 200, 30), word("Settings", 60, 200, 160), word(">", 1000, 400, 20),
                        word("On", 900, 400, 60), word("|", 980, 400, 6), word("Friday|", 100, 600, 140),
                        word("—", 300, 800, 40)});
    EXPECT_EQ(texts(f), (std::vector<std::string>{"Settings", "On", "Friday"}));
}

TEST(TesseractFragments, JunkIsUnsureTextOrAnIconsGlyph) {
    EXPECT_FALSE(isJunk(word("Bluetooth", 0, 0, 200, 40, 92)));
    EXPECT_TRUE(isJunk(word("eo", 0, 0, 60, 40, 45)));          // unsure
    EXPECT_TRUE(isJunk(word("e", 0, 0, 96, 106, 90)));          // a letter as tall as an icon
    EXPECT_FALSE(isJunk(word("q", 0, 0, 32, 50, 79)));          // a key of the keyboard
    EXPECT_FALSE(isJunk(word("&", 0, 0, 30, 40, 92)));          // a sure mark
    EXPECT_TRUE(isJunk(word("&)", 0, 0, 98, 106, 57)));         // an unsure one
    EXPECT_TRUE(isJunk(word("Settings", 0, 0, 0, 40, 95)));     // no box
    EXPECT_FALSE(isJunk(word("Settings", 0, 0, 400, 100, 95))); // a large title is no lone letter
    EXPECT_TRUE(isJunk(word("a", 0, 0, 14, 10, 90)));           // smaller than any text drawn
    EXPECT_FALSE(isJunk(word("on", 0, 0, 40, 20, 90)));         // small text without ascenders
}

TEST(TesseractFragments, StatusBarGlyphsAndTheMagnifierAreNoText) {
    // In a 2556-row frame: the clock is sure, the signal and battery bars read as letters are not.
    EXPECT_FALSE(isStatusGlyph(word("12:17", 106, 70, 122, 38, 96.8f), 2556));
    EXPECT_TRUE(isStatusGlyph(word("als", 866, 72, 116, 36, 66), 2556));
    // The same unsure word lower down is left to the other rules.
    EXPECT_FALSE(isStatusGlyph(word("als", 866, 700, 116, 36, 66), 2556));
    EXPECT_TRUE(isGlyphLetter("Q", 20, 20));
    EXPECT_FALSE(isGlyphLetter("Q", 28, 36)); // a Q of the phone's fonts is taller than wide
    EXPECT_FALSE(isGlyphLetter("O", 20, 20));
}

// A BGRA frame of one colour with a block of another.
Image frameWithBlock(std::uint32_t ground, std::uint32_t ink, int x, int y, int w, int h) {
    Image frame(120, 240, Image::Format::bgra);
    for (int py = 0; py < frame.height(); ++py)
        for (int px = 0; px < frame.width(); ++px) {
            const bool in = px >= x && px < x + w && py >= y && py < y + h;
            const std::uint32_t c = in ? ink : ground;
            std::uint8_t* p = frame.row(py) + 4 * px;
            p[0] = c & 0xFF, p[1] = (c >> 8) & 0xFF, p[2] = (c >> 16) & 0xFF, p[3] = 0xFF;
        }
    return frame;
}

TEST(TesseractPrepare, InkIsDarkOnWhiteWhateverThePolarityOrColour) {
    // A thin stroke: white on black (dark mode), orange on white, white on blue.
    for (auto [ground, ink] : {std::pair{0x000000u, 0xFFFFFFu}, std::pair{0xFFFFFFu, 0xFF9F0Au},
                               std::pair{0x007AFFu, 0xFFFFFFu}}) {
        const Image grey = preparedGrey(frameWithBlock(ground, ink, 40, 100, 6, 30), 2);
        ASSERT_EQ(grey.format(), Image::Format::gray);
        ASSERT_EQ(grey.width(), 60);
        ASSERT_EQ(grey.height(), 120);
        EXPECT_EQ(grey.row(60)[21], 0) << std::hex << ground;   // inside the stroke
        EXPECT_EQ(grey.row(10)[50], 255) << std::hex << ground; // the ground
    }
}

TEST(TesseractPrepare, FilledShapesAreErasedButStrokesKept) {
    // A 60 × 60 px filled square (an icon) disappears; a 6 px stroke of the same height stays.
    EXPECT_EQ(preparedGrey(frameWithBlock(0xFFFFFF, 0x34C759, 20, 40, 60, 60), 2).row(35)[25], 255);
    EXPECT_EQ(preparedGrey(frameWithBlock(0xFFFFFF, 0x34C759, 20, 40, 6, 60), 2).row(35)[11], 0);
    // A stroke taller than any letter (an icon's edge) goes; one as tall as a large title's letter stays.
    EXPECT_EQ(preparedGrey(frameWithBlock(0xFFFFFF, 0x34C759, 20, 40, 6, 130), 2).row(50)[11], 255);
    EXPECT_EQ(preparedGrey(frameWithBlock(0xFFFFFF, 0x34C759, 20, 40, 6, 96), 2).row(50)[11], 0);
}

// A text field's caret (a thin bar in the tint colour) is erased before reading, whether it stands apart
// from the letter before it or touches it; a thin coloured letter beside coloured letters stays.
TEST(TesseractPrepare, ACaretBesideTextIsErasedButColouredLettersStay) {
    struct Block {
        std::uint32_t colour;
        int x, y, w, h;
    };
    const std::uint32_t black = 0x000000, blue = 0x007AFF, yellow = 0xE5B000;
    const Block blocks[] = {
        {black, 100, 100, 24, 40}, {blue, 132, 94, 6, 54},    // a letter, then the caret a little apart
        {black, 300, 100, 24, 40}, {yellow, 324, 94, 6, 54},  // the caret touching the letter
        {blue, 500, 100, 24, 40},  {blue, 532, 94, 6, 54},    // coloured text: "…el" of a tinted label
    };
    Image frame(1179, 240, Image::Format::bgra);
    for (int py = 0; py < frame.height(); ++py)
        for (int px = 0; px < frame.width(); ++px) {
            std::uint32_t c = 0xFFFFFF;
            for (const Block& b : blocks)
                if (px >= b.x && px < b.x + b.w && py >= b.y && py < b.y + b.h)
                    c = b.colour;
            std::uint8_t* p = frame.row(py) + 4 * px;
            p[0] = c & 0xFF, p[1] = (c >> 8) & 0xFF, p[2] = (c >> 16) & 0xFF, p[3] = 0xFF;
        }
    const Image grey = preparedGrey(frame, 2);
    EXPECT_EQ(grey.row(60)[56], 0);    // the black letters stay
    EXPECT_EQ(grey.row(60)[156], 0);
    EXPECT_EQ(grey.row(60)[67], 255);  // both carets are gone
    EXPECT_EQ(grey.row(60)[163], 255);
    EXPECT_EQ(grey.row(50)[163], 255);
    EXPECT_EQ(grey.row(60)[256], 0);   // the coloured letters stay, the thin one too
    EXPECT_EQ(grey.row(60)[267], 0);
}

TEST(TesseractPrepare, BandsCutOnQuietRowsAndCoverTheImage) {
    Image grey(100, 400, Image::Format::gray);
    std::fill(grey.data(), grey.data() + grey.byteCount(), 255);
    // Text-like stripes everywhere except rows 180..189 and 290..299.
    for (int y = 0; y < 400; ++y)
        if (!(y >= 180 && y < 190) && !(y >= 290 && y < 300))
            for (int x = 0; x < 100; x += 4)
                grey.row(y)[x] = 0;
    const auto b = bands(grey, 2);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].top, 0);
    EXPECT_GE(b[0].bottom, 180);
    EXPECT_LT(b[0].bottom, 190);
    EXPECT_EQ(b[1].top, b[0].bottom);
    EXPECT_EQ(b[1].bottom, 400);
    const auto one = bands(grey, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].bottom, 400);
}

} // namespace
