// Grey copies, change fraction and the wiggle blob: thresholds, blob sizes, hints and ties.
#include "input/FrameDiff.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

using namespace pokescope;
using namespace pokescope::FrameDiff;

namespace {

Gray flat(int width, int height, std::uint8_t value) {
    return {std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height, value), width, height};
}

// Sets `count` pixels of a horizontal run starting at (x, y), wrapping onto following rows at column x.
void paint(Gray& g, int x, int y, int count, std::uint8_t value, int runWidth = 10) {
    for (int i = 0; i < count; ++i)
        g.bytes[static_cast<std::size_t>(y + i / runWidth) * g.width + x + i % runWidth] = value;
}

// Four frames in which a blob of `count` pixels at (x, y) wiggles: a/c show 100, b/d show 100 + change.
struct Wiggle {
    Gray a = flat(300, 650, 100), b = a, c = a, d = a;
    void blob(int x, int y, int count, int change = 40, int runWidth = 10) {
        for (Gray* g : {&b, &d})
            paint(*g, x, y, count, static_cast<std::uint8_t>(100 + change), runWidth);
    }
    std::optional<PointD> centroid(std::optional<PointD> around = {}, std::optional<double> radius = {},
                                   MaskCounts* counts = nullptr) {
        return pointerCentroid(a, b, c, d, 1.0, 300, around, radius, counts);
    }
};

Image bgra(int width, int height, std::uint8_t grey) {
    Image image(width, height, Image::Format::bgra);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 4; ++x)
            image.row(y)[x] = x % 4 == 3 ? 255 : grey;
    return image;
}

} // namespace

TEST(FrameDiffGray, HasTheStatedSizeWithTruncatedHeight) {
    auto g = gray(bgra(1179, 2556, 80), 300);
    ASSERT_TRUE(g);
    EXPECT_EQ(std::tuple(g->width, g->height, g->bytes.size()), std::tuple(300, 650, 300u * 650u)); // 650.38 cut
    EXPECT_NEAR(g->bytes[1000], 80, 2);
    // Rows not a multiple of four: no padding in the copy.
    EXPECT_EQ(gray(bgra(1179, 2556, 80), 150).value_or(Gray{}).bytes.size(), 150u * 325u);
    EXPECT_FALSE(gray(Image(), 300));
}

TEST(FrameDiffChange, CountsOnlyDifferencesAboveThirtyAndFramesOfOtherSizesAreRejected) {
    Image a = bgra(300, 600, 100);
    EXPECT_EQ(changedFraction(a, a), 0.0);
    EXPECT_EQ(changedFraction(a, bgra(300, 600, 130)), 0.0); // exactly 30: unchanged
    EXPECT_EQ(changedFraction(a, bgra(300, 600, 140)), 1.0);
    Image half = a;
    for (int y = 0; y < 300; ++y)
        std::memset(half.row(y), 0, 300 * 4);
    EXPECT_NEAR(changedFraction(a, half), 0.5, 0.01);
    EXPECT_EQ(changedFraction(a, bgra(600, 300, 100)), 1.0); // turned: changed, never read out of bounds
    EXPECT_FALSE(pointerCentroid(a, a, a, bgra(300, 601, 100), std::nullopt, std::nullopt));
}

TEST(FrameDiffCentroid, MaskThresholdsAreInclusiveAndExclusiveWhereStated) {
    // a→b and c→d change by exactly 19 while a/c and b/d differ by 13: in the mask.
    Wiggle w;
    paint(w.b, 100, 100, 20, 119);
    paint(w.c, 100, 100, 20, 113);
    paint(w.d, 100, 100, 20, 132);
    MaskCounts counts;
    auto found = w.centroid(std::nullopt, std::nullopt, &counts);
    ASSERT_TRUE(found);
    EXPECT_EQ(counts.mask, 20);
    EXPECT_EQ(*found, (PointD{105.0, 101.0}));
    // A difference of 14 between a and c removes them.
    paint(w.c, 100, 100, 20, 114);
    paint(w.d, 100, 100, 20, 133);
    EXPECT_FALSE(w.centroid(std::nullopt, std::nullopt, &counts));
    EXPECT_EQ(std::tuple(counts.mask, counts.ab, counts.abcd), std::tuple(0, 20, 20));
    // A change of 18 is not a wiggle.
    Wiggle weak;
    weak.blob(100, 100, 20, 18);
    EXPECT_FALSE(weak.centroid());
}

TEST(FrameDiffCentroid, BlobsOfFiveOrMoreThanFifteenHundredPixelsAreIgnored) {
    for (auto [count, runWidth, found] : {std::tuple{5, 10, false}, {6, 10, true}, {1501, 300, false}, {1500, 300, true}}) {
        Wiggle w;
        w.blob(0, 10, count, 40, runWidth);
        EXPECT_EQ(w.centroid().has_value(), found) << count;
    }
}

TEST(FrameDiffCentroid, HintsScoreByDistanceAndTheRadiusDropsFarBlobs) {
    Wiggle w;
    w.blob(10, 10, 100);  // large, top left
    w.blob(200, 500, 30); // small, far from it
    auto plain = w.centroid();
    ASSERT_TRUE(plain);
    EXPECT_LT(plain->x, 30);
    EXPECT_GT(w.centroid(PointD{205, 501}).value_or(PointD{}).x, 190);
    // With a radius of a quarter of the width (75 px here) the large blob is out of reach however big.
    Wiggle far;
    far.blob(10, 10, 1000, 40, 50);
    EXPECT_FALSE(far.centroid(PointD{250, 600}, 0.25));
    // The scale turns grey pixels into frame pixels.
    EXPECT_NEAR(pointerCentroid(w.a, w.b, w.c, w.d, 4.0, 1200, {}, {}).value_or(PointD{}).x, plain->x * 4, 1e-9);
    // Equal scores keep the blob found first in row-major order.
    Wiggle tie;
    tie.blob(200, 50, 20);
    tie.blob(20, 60, 20);
    EXPECT_GT(tie.centroid().value_or(PointD{}).x, 200);
}

TEST(FrameDiffCentroid, TheTwoCrescentsOfAMovedDiscAreOnePointer) {
    // A dark disc of radius 8 moved 4 pixels right: its interior stays dark, so only a crescent on each
    // side changes. The centre found is halfway between the two positions, not on one crescent.
    Wiggle w;
    auto disc = [](Gray& g, double cx, double cy) {
        for (int y = 0; y < g.height; ++y)
            for (int x = 0; x < g.width; ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= 64)
                    g.bytes[static_cast<std::size_t>(y) * g.width + x] = 30;
    };
    for (Gray* g : {&w.a, &w.c})
        disc(*g, 150, 300);
    for (Gray* g : {&w.b, &w.d})
        disc(*g, 154, 300);
    auto found = w.centroid();
    ASSERT_TRUE(found);
    EXPECT_TRUE(std::abs(found->x - 152.5) <= 0.6 && std::abs(found->y - 300.5) <= 0.6) << found->x << "," << found->y;
    // Changes farther apart than a pointer are not merged: the larger wins alone.
    Wiggle apart;
    apart.blob(20, 20, 30);
    apart.blob(200, 400, 20);
    EXPECT_LT(apart.centroid().value_or(PointD{999, 0}).x, 40);
}



// Where a move ended, a whole disc appearing is the pointer: found at its centre, and told by its density and
// by what changed around it from a caret's blink or a page that moved.
TEST(FrameDiffAppearedDisc, AWholeDiscIsFoundAtItsCentreAndToldFromOtherChanges) {
    auto paint = [](Image& image, auto inside, std::uint8_t grey) {
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (inside(x, y))
                    std::memset(image.row(y) + x * 4, grey, 3);
    };
    const Image before = bgra(300, 600, 100);
    Image disc = before, caret = before, page = before;
    paint(disc, [](int x, int y) { return (x - 120) * (x - 120) + (y - 200) * (y - 200) <= 56; }, 40);
    paint(caret, [](int x, int y) { return x >= 125 && x < 127 && y >= 190 && y < 210; }, 20);
    paint(page, [](int, int y) { return y % 3 != 0; }, 160);

    auto found = appearedDisc(before, disc, {130, 210}, 15, 36);
    ASSERT_TRUE(found);
    EXPECT_NEAR(found->centre.x, 120.5, 1.0);
    EXPECT_NEAR(found->centre.y, 200.5, 1.0);
    EXPECT_GE(found->density, 0.9);
    EXPECT_NEAR(static_cast<double>(found->inside), found->discArea, 0.25 * found->discArea);
    EXPECT_LE(found->around, found->inside);

    auto blink = appearedDisc(before, caret, {130, 210}, 15, 36);
    ASSERT_TRUE(blink);
    EXPECT_LT(blink->density, 0.5);
    auto moved = appearedDisc(before, page, {130, 210}, 15, 36);
    ASSERT_TRUE(moved);
    EXPECT_GT(moved->around, 3 * moved->discArea);

    EXPECT_FALSE(appearedDisc(before, before, {130, 210}, 15, 36)); // nothing changed
    EXPECT_FALSE(appearedDisc(before, disc, {130, 400}, 15, 36));   // not within reach of where it went
    EXPECT_FALSE(appearedDisc(before, bgra(300, 601, 100), {130, 210}, 15, 36));
}

// What lies around the disc, and the screen without the pointer: the disc the move took away is filled
// from the frame after the move, everything else (the disc's new place included) is the frame it was read
// from.
TEST(FrameDiffWithoutDisc, TextBesideTheDiscIsSeenAndTheGoneDiscIsFilledFromTheMovedFrameAlone) {
    auto disc = [](Image& image, int cx, int cy, std::uint8_t grey) {
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= 56)
                    std::memset(image.row(y) + x * 4, grey, 3);
    };
    Image screen = bgra(300, 600, 200);
    for (int x = 100; x < 200; x += 3) // a line of "text" under the pointer
        for (int y = 195; y < 205; ++y)
            std::memset(screen.row(y) + x * 4, 30, 3);
    EXPECT_GT(busyAround(screen, {120, 200}, 10, 25), 0.05); // the "text" goes on beside the disc
    EXPECT_EQ(busyAround(bgra(300, 600, 200), {120, 200}, 10, 25), 0.0);
    EXPECT_EQ(busyAround(screen, {-100, 200}, 10, 25), 0.0); // off the frame
    Image shown = screen, moved = screen;
    disc(shown, 120, 200, 120);
    disc(moved, 170, 200, 120);
    auto clean = withoutDisc(shown, moved, {123, 198}, 15, 8);
    ASSERT_TRUE(clean);
    for (int y = 0; y < 600; ++y) {
        const bool same = std::memcmp(clean->row(y), screen.row(y), 140 * 4) == 0; // the old place: the screen
        ASSERT_TRUE(same) << "row " << y;
    }
    EXPECT_EQ(std::memcmp(clean->row(200) + 160 * 4, shown.row(200) + 160 * 4, 20 * 4), 0); // the new place: as read

    Image page = screen; // the screen itself changed there: no disc went, nothing is taken
    for (int y = 0; y < 600; y += 2)
        std::memset(page.row(y), 0, 300 * 4);
    EXPECT_FALSE(withoutDisc(shown, page, {123, 198}, 15, 8));
    EXPECT_FALSE(withoutDisc(shown, shown, {123, 198}, 15, 8)); // it was hidden: nothing went
    EXPECT_FALSE(withoutDisc(shown, bgra(300, 601, 200), {123, 198}, 15, 8));
}
