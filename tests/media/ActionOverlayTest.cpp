#include "media/ActionOverlay.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using namespace pokescope;

namespace {

// Accent colour channels in 0–255, as the overlay draws them.
constexpr double kRed = 0.27 * 255, kGreen = 0.53 * 255, kBlue = 1.0 * 255;

const TimePoint kNow = TimePoint{} + std::chrono::hours(1);

TimePoint ago(double seconds) {
    return kNow - std::chrono::duration_cast<TimePoint::duration>(std::chrono::duration<double>(seconds));
}

TimedMark tap(double x, double y, double age) {
    return {{ActionMark::Kind::tap, {x, y}, {}, {}}, ago(age)};
}
TimedMark press(double x, double y, double age) {
    return {{ActionMark::Kind::press, {x, y}, {}, {}}, ago(age)};
}
TimedMark swipe(PointD from, PointD to, double age) {
    return {{ActionMark::Kind::swipe, from, to, {}}, ago(age)};
}
TimedMark text(const std::string& s, double age) {
    return {{ActionMark::Kind::text, {}, {}, s}, ago(age)};
}

Image grey(int width, int height, std::uint8_t level) {
    Image image(width, height, Image::Format::bgra);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = image.row(y) + std::size_t(x) * 4;
            p[0] = p[1] = p[2] = level;
            p[3] = 255;
        }
    return image;
}

struct Pixel {
    int b, g, r, a;
};

Pixel at(const Image& image, int x, int y) {
    const std::uint8_t* p = image.row(y) + std::size_t(x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

// `background` (a grey level) covered by the accent colour at `alpha`.
Pixel accentOver(double background, double alpha) {
    auto mix = [&](double c) { return int(std::lround(c * alpha + background * (1 - alpha))); };
    return {mix(kBlue), mix(kGreen), mix(kRed), 255};
}

// A coloured `background` covered by the accent colour at `alpha`.
Pixel accentOver(Pixel background, double alpha) {
    auto mix = [&](double c, int under) { return int(std::lround(c * alpha + under * (1 - alpha))); };
    return {mix(kBlue, background.b), mix(kGreen, background.g), mix(kRed, background.r), 255};
}

// `background` covered by black at `alpha`.
Pixel blackOver(double background, double alpha) {
    const int v = int(std::lround(background * (1 - alpha)));
    return {v, v, v, 255};
}

::testing::AssertionResult near(const Image& image, int x, int y, Pixel expected, int tolerance = 2) {
    const Pixel p = at(image, x, y);
    if (std::abs(p.b - expected.b) <= tolerance && std::abs(p.g - expected.g) <= tolerance &&
        std::abs(p.r - expected.r) <= tolerance && p.a == expected.a)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is BGRA " << p.b << "," << p.g
                                         << "," << p.r << "," << p.a << ", expected about " << expected.b
                                         << "," << expected.g << "," << expected.r << "," << expected.a;
}

::testing::AssertionResult untouched(const Image& image, int x, int y, int level) {
    return near(image, x, y, {level, level, level, 255}, 0);
}

Image drawn(Image frame, const std::vector<TimedMark>& marks, double scale = 1, PointD offset = {}) {
    ActionOverlay::draw(frame, marks, kNow, scale, offset);
    return frame;
}

// The smallest rectangle holding every pixel that differs from `before` (empty when none does).
struct Box {
    int left = std::numeric_limits<int>::max(), top = std::numeric_limits<int>::max(), right = -1,
        bottom = -1;
    bool empty() const { return right < 0; }
    int width() const { return right - left + 1; }
    int height() const { return bottom - top + 1; }
};

Box changed(const Image& before, const Image& after) {
    Box box;
    for (int y = 0; y < after.height(); ++y)
        for (int x = 0; x < after.width(); ++x)
            if (!std::equal(before.row(y) + std::size_t(x) * 4, before.row(y) + std::size_t(x) * 4 + 4,
                            after.row(y) + std::size_t(x) * 4)) {
                box.left = std::min(box.left, x), box.right = std::max(box.right, x);
                box.top = std::min(box.top, y), box.bottom = std::max(box.bottom, y);
            }
    return box;
}

// Pixels brighter than `threshold` (grey frames: the blue channel stands for all) inside `area`.
Box brighter(const Image& image, const Box& area, int threshold) {
    Box box;
    for (int y = area.top; y <= area.bottom; ++y)
        for (int x = area.left; x <= area.right; ++x)
            if (at(image, x, y).b > threshold) {
                box.left = std::min(box.left, x), box.right = std::max(box.right, x);
                box.top = std::min(box.top, y), box.bottom = std::max(box.bottom, y);
            }
    return box;
}

int brightest(const Image& image, const Box& area) {
    int best = 0;
    for (int y = area.top; y <= area.bottom; ++y)
        for (int x = area.left; x <= area.right; ++x)
            best = std::max(best, at(image, x, y).b);
    return best;
}

bool sameBytes(const Image& a, const Image& b) {
    return a.byteCount() == b.byteCount() && std::equal(a.data(), a.data() + a.byteCount(), b.data());
}

} // namespace

// --- lifetimes and expiry ---------------------------------------------------------------------------------

TEST(ActionOverlayLifetime, EachKindHasItsOwn) {
    EXPECT_DOUBLE_EQ(ActionOverlay::lifetime(ActionMark::Kind::tap), 0.7);
    EXPECT_DOUBLE_EQ(ActionOverlay::lifetime(ActionMark::Kind::press), 1.4);
    EXPECT_DOUBLE_EQ(ActionOverlay::lifetime(ActionMark::Kind::swipe), 0.9);
    EXPECT_DOUBLE_EQ(ActionOverlay::lifetime(ActionMark::Kind::text), 1.6);
}

TEST(ActionOverlayLifetime, AMarkExactlyAtItsLifetimeIsStillLive) {
    using std::chrono::milliseconds;
    const std::pair<ActionMark::Kind, int> kinds[] = {{ActionMark::Kind::tap, 700},
                                                      {ActionMark::Kind::press, 1400},
                                                      {ActionMark::Kind::swipe, 900},
                                                      {ActionMark::Kind::text, 1600}};
    for (const auto& [kind, ms] : kinds) {
        const TimedMark mark{{kind, {10, 10}, {20, 20}, "x"}, kNow - milliseconds(ms)};
        EXPECT_FALSE(ActionOverlay::expired(mark, kNow - milliseconds(ms))) << ms; // just posted
        EXPECT_FALSE(ActionOverlay::expired(mark, kNow - milliseconds(1))) << ms;
        EXPECT_FALSE(ActionOverlay::expired(mark, kNow)) << ms;
        EXPECT_TRUE(ActionOverlay::expired(mark, kNow + std::chrono::microseconds(1))) << ms;
        EXPECT_TRUE(ActionOverlay::expired(mark, kNow + milliseconds(500))) << ms;
    }
}

// --- taps and long presses
// ----------------------------------------------------------------------------------

TEST(ActionOverlayTap, HalfwayTheRingIsAt27WithHalfAlphaAndTheDotAt0275) {
    const int bg = 100;
    const Image frame = drawn(grey(400, 600, bg), {tap(200, 300, 0.35)});
    // Ring: radius 14 + 0.5 × 26 = 27, 3 wide (25.5 to 28.5), alpha 0.5. Pixels wholly on it, at 0°, 90°,
    // 180°, 270°, 45° and 135°.
    const Pixel ring = accentOver(bg, 0.5);
    EXPECT_TRUE(near(frame, 226, 300, ring));
    EXPECT_TRUE(near(frame, 227, 300, ring));
    EXPECT_TRUE(near(frame, 200, 326, ring));
    EXPECT_TRUE(near(frame, 173, 300, ring));
    EXPECT_TRUE(near(frame, 200, 273, ring));
    EXPECT_TRUE(near(frame, 219, 319, ring));
    EXPECT_TRUE(near(frame, 180, 319, ring));
    // Just inside and just outside the ring, and between the ring and the dot.
    EXPECT_TRUE(untouched(frame, 224, 300, bg));
    EXPECT_TRUE(untouched(frame, 229, 300, bg));
    EXPECT_TRUE(untouched(frame, 200, 329, bg));
    EXPECT_TRUE(untouched(frame, 215, 300, bg));
    // Dot: radius 9 at alpha 0.5 × 0.55.
    const Pixel dot = accentOver(bg, 0.275);
    EXPECT_TRUE(near(frame, 200, 300, dot));
    EXPECT_TRUE(near(frame, 199, 299, dot));
    EXPECT_TRUE(near(frame, 207, 300, dot));
    EXPECT_TRUE(untouched(frame, 210, 300, bg));
    // Nothing far away.
    EXPECT_TRUE(untouched(frame, 10, 10, bg));
    const Box box = changed(grey(400, 600, bg), frame);
    EXPECT_GE(box.left, 200 - 29);
    EXPECT_LE(box.right, 200 + 28);
    EXPECT_GE(box.top, 300 - 29);
    EXPECT_LE(box.bottom, 300 + 28);
}

TEST(ActionOverlayTap, AFreshTapIsOpaqueAtRadius14) {
    const Image frame = drawn(grey(400, 400, 0), {tap(100, 100, 0)});
    EXPECT_TRUE(near(frame, 113, 100, accentOver(0, 1)));
    EXPECT_TRUE(near(frame, 100, 86, accentOver(0, 1)));
    EXPECT_TRUE(untouched(frame, 116, 100, 0));
    EXPECT_TRUE(untouched(frame, 111, 100, 0));
    EXPECT_TRUE(near(frame, 100, 100, accentOver(0, 0.55)));
}

TEST(ActionOverlayTap, AtTheEndOfItsLifeATapLeavesNoTrace) {
    const Image before = grey(300, 300, 80);
    EXPECT_TRUE(sameBytes(before, drawn(before, {tap(150, 150, 0.7)})));
}

TEST(ActionOverlayPress, StartsAt22AndGrowsTowards48) {
    const int bg = 0;
    const Image fresh = drawn(grey(400, 400, bg), {press(200, 200, 0)});
    // Radius 22, 20.5 to 23.5; opaque.
    EXPECT_TRUE(near(fresh, 221, 200, accentOver(bg, 1)));
    EXPECT_TRUE(near(fresh, 200, 178, accentOver(bg, 1)));
    EXPECT_TRUE(untouched(fresh, 224, 200, bg));
    EXPECT_TRUE(untouched(fresh, 219, 200, bg));
    EXPECT_TRUE(near(fresh, 200, 200, accentOver(bg, 0.55)));

    // Halfway (0.7 s): radius 35 at alpha 0.5.
    const Image half = drawn(grey(400, 400, bg), {press(200, 200, 0.7)});
    EXPECT_TRUE(near(half, 234, 200, accentOver(bg, 0.5)));
    EXPECT_TRUE(near(half, 165, 200, accentOver(bg, 0.5)));
    EXPECT_TRUE(untouched(half, 237, 200, bg));
    EXPECT_TRUE(untouched(half, 232, 200, bg));
    EXPECT_TRUE(near(half, 200, 200, accentOver(bg, 0.275)));

    // 1.3 s: radius 22 + 26 × 13/14 ≈ 46.1 (44.6 to 47.6) at alpha 1/14, nearly the final 48.
    const Image late = drawn(grey(400, 400, bg), {press(200, 200, 1.3)});
    EXPECT_TRUE(near(late, 245, 200, accentOver(bg, 1.0 / 14)));
    EXPECT_TRUE(near(late, 246, 200, accentOver(bg, 1.0 / 14)));
    EXPECT_TRUE(untouched(late, 248, 200, bg));
    EXPECT_TRUE(untouched(late, 243, 200, bg));

    // At 1.4 s it has faded out completely.
    const Image before = grey(400, 400, bg);
    EXPECT_TRUE(sameBytes(before, drawn(before, {press(200, 200, 1.4)})));
}

// --- swipes -----------------------------------------------------------------------------------------------

TEST(ActionOverlaySwipe, LineArrowheadAtTheEndAndDotAtTheStart) {
    const int bg = 0;
    const Image frame = drawn(grey(400, 400, bg), {swipe({100, 200}, {300, 200}, 0)});
    const Pixel line = accentOver(bg, 0.9);
    // The line, 5 wide (197.5 to 202.5), round caps.
    EXPECT_TRUE(near(frame, 200, 199, line));
    EXPECT_TRUE(near(frame, 200, 201, line));
    // The end of the line, under the arrowhead's corner.
    EXPECT_TRUE(near(frame, 301, 200, accentOver(line, 0.9)));
    EXPECT_TRUE(untouched(frame, 200, 203, bg));
    EXPECT_TRUE(untouched(frame, 200, 196, bg));
    EXPECT_TRUE(untouched(frame, 304, 200, bg));
    // The arrowhead points back from the end at ±0.5 rad: its sides go up-left and down-left.
    EXPECT_TRUE(near(frame, 292, 203, line));
    EXPECT_TRUE(near(frame, 292, 196, line));
    EXPECT_TRUE(untouched(frame, 307, 203, bg));
    EXPECT_TRUE(untouched(frame, 307, 196, bg));
    EXPECT_TRUE(untouched(frame, 110, 205, bg)); // no arrowhead at the start
    // The start dot, radius 8 at alpha 0.6, drawn over the line.
    EXPECT_TRUE(near(frame, 95, 200, accentOver(bg, 0.6)));
    EXPECT_TRUE(near(frame, 100, 200, accentOver(accentOver(bg, 0.9), 0.6)));
    EXPECT_TRUE(untouched(frame, 90, 200, bg));
    EXPECT_TRUE(untouched(frame, 300, 212, bg)); // no dot at the end
}

TEST(ActionOverlaySwipe, TheArrowFollowsTheDirection) {
    const int bg = 50;
    // Downwards: the arrowhead's sides rise to the left and right of the end.
    const Image down = drawn(grey(400, 400, bg), {swipe({200, 100}, {200, 300}, 0)});
    const Pixel line = accentOver(bg, 0.9);
    EXPECT_TRUE(near(down, 203, 292, line));
    EXPECT_TRUE(near(down, 196, 292, line));
    EXPECT_TRUE(untouched(down, 203, 307, bg));
    EXPECT_TRUE(untouched(down, 196, 307, bg));
    EXPECT_TRUE(near(down, 200, 95, accentOver(bg, 0.6)));

    // Up and to the left, at 45°: the arrowhead opens towards the start.
    const Image diagonal = drawn(grey(400, 400, bg), {swipe({300, 300}, {100, 100}, 0)});
    // θ = atan2(−200, −200) = −3π/4: both sides run back down and to the right; 12 pixels along each is
    // stroked.
    const double theta = std::atan2(-200.0, -200.0);
    for (double side : {-0.5, 0.5}) {
        const double x = 100 - 12 * std::cos(theta + side), y = 100 - 12 * std::sin(theta + side);
        EXPECT_TRUE(near(diagonal, int(x), int(y), line, 6)) << side;
    }
    EXPECT_TRUE(untouched(diagonal, 88, 96, bg));
    EXPECT_TRUE(untouched(diagonal, 96, 88, bg));
}

TEST(ActionOverlaySwipe, FadesOverItsLifetime) {
    const int bg = 0;
    const Image frame = drawn(grey(400, 400, bg), {swipe({100, 200}, {300, 200}, 0.45)});
    EXPECT_TRUE(near(frame, 200, 200, accentOver(bg, 0.45)));
    EXPECT_TRUE(near(frame, 94, 200, accentOver(bg, 0.3)));
    const Image before = grey(400, 400, bg);
    EXPECT_TRUE(sameBytes(before, drawn(before, {swipe({100, 200}, {300, 200}, 0.9)})));
}

TEST(ActionOverlaySwipe, ASwipeThatGoesNowhereDrawsADotAndAnArrowPointingRight) {
    const int bg = 0;
    const Image frame = drawn(grey(400, 400, bg), {swipe({200, 200}, {200, 200}, 0)});
    const Pixel line = accentOver(bg, 0.9);
    // θ = 0: the sides run to the left of the point.
    EXPECT_TRUE(near(frame, 188, 205, line));
    EXPECT_TRUE(near(frame, 188, 194, line));
    EXPECT_TRUE(untouched(frame, 211, 205, bg));
    EXPECT_TRUE(untouched(frame, 211, 194, bg));
    // The dot (and the round cap of the empty line under it).
    EXPECT_TRUE(near(frame, 205, 200, accentOver(bg, 0.6)));
    EXPECT_TRUE(untouched(frame, 210, 200, bg));
    EXPECT_EQ(at(frame, 200, 200).b, at(frame, 201, 199).b);
}

TEST(ActionOverlaySwipe, ALineThroughTheFrameFromFarAwayIsStillDrawn) {
    const int bg = 0;
    const Image frame = drawn(grey(400, 400, bg), {swipe({-1e9, 200}, {1e9, 200}, 0)});
    EXPECT_TRUE(near(frame, 0, 200, accentOver(bg, 0.9)));
    EXPECT_TRUE(near(frame, 200, 200, accentOver(bg, 0.9)));
    EXPECT_TRUE(near(frame, 399, 201, accentOver(bg, 0.9)));
    EXPECT_TRUE(untouched(frame, 200, 203, bg));
    EXPECT_TRUE(untouched(frame, 200, 196, bg));
}

// --- captions ---------------------------------------------------------------------------------------------

TEST(ActionOverlayCaption, ABlackPill120AboveTheBottomCentredWithWhiteText) {
    const int bg = 100;
    const Image before = grey(400, 800, bg);
    const Image frame = drawn(before, {text("Typing", 0.2)});
    const Box box = changed(before, frame);
    ASSERT_FALSE(box.empty());
    // The bottom edge lies on the row boundary 120 above the frame's bottom.
    EXPECT_EQ(box.bottom, 679);
    EXPECT_TRUE(near(frame, 200, 679, blackOver(bg, 0.72)));
    EXPECT_TRUE(untouched(frame, 200, 680, bg));
    // Centred: as much room left as right.
    EXPECT_NEAR(box.left, 399 - box.right, 1);
    // A line of 15-pixel text (ascent and descent together about 1.2 × 15) with 9 pixels above and below.
    EXPECT_GE(box.height(), 15 + 18);
    EXPECT_LE(box.height(), 20 + 18);
    // The text is white at full strength, inside the box with 14 pixels on either side and 9 above and below.
    EXPECT_GE(brightest(frame, box), 250);
    const Box ink = brighter(frame, box, 150);
    ASSERT_FALSE(ink.empty());
    EXPECT_GE(ink.left, box.left + 13);
    EXPECT_LE(ink.left, box.left + 14 + 3);
    EXPECT_LE(ink.right, box.right - 13);
    EXPECT_GE(ink.right, box.right - 14 - 3);
    EXPECT_GE(ink.top, box.top + 9);
    // The descenders of "y", "p" and "g" stop short of the bottom padding by what is left of the descent.
    EXPECT_LE(ink.bottom, box.bottom - 10);
    // The pill is solid across its middle and rounded at its ends.
    const int middle = (box.top + box.bottom) / 2;
    EXPECT_TRUE(near(frame, box.left + 1, middle, blackOver(bg, 0.72)));
    EXPECT_TRUE(near(frame, box.right - 1, middle, blackOver(bg, 0.72)));
    EXPECT_TRUE(untouched(frame, box.left + 1, box.top + 1, bg));
    EXPECT_TRUE(untouched(frame, box.right - 1, box.bottom - 1, bg));
}

TEST(ActionOverlayCaption, SizesAreInPixelsOfTheOutputWidth) {
    const int bg = 200;
    const Image narrowBefore = grey(400, 1000, bg), wideBefore = grey(800, 1000, bg);
    const Box narrow = changed(narrowBefore, drawn(narrowBefore, {text("Open Settings", 0)}));
    const Box wide = changed(wideBefore, drawn(wideBefore, {text("Open Settings", 0)}));
    ASSERT_FALSE(narrow.empty());
    ASSERT_FALSE(wide.empty());
    EXPECT_EQ(narrow.bottom, 1000 - 120 - 1);
    EXPECT_EQ(wide.bottom, 1000 - 240 - 1);
    EXPECT_NEAR(wide.height(), 2 * narrow.height(), 2);
    EXPECT_NEAR(wide.width(), 2 * narrow.width(), 3);
    EXPECT_NEAR(wide.left, 799 - wide.right, 1);
}

TEST(ActionOverlayCaption, OnlyTheNewestCaptionShows) {
    const int bg = 200;
    const Image before = grey(400, 800, bg);
    const TimedMark older = text("A much longer caption typed first", 0.5);
    const TimedMark newer = text("Hi", 0.2);
    const Image both = drawn(before, {older, newer});
    EXPECT_TRUE(sameBytes(both, drawn(before, {newer})));
    EXPECT_FALSE(sameBytes(both, drawn(before, {older})));
    const Box box = changed(before, both);
    EXPECT_LT(box.width(), 100);
    // A later tap does not bring the older caption back.
    const Image withTap = drawn(before, {older, newer, tap(50, 50, 0)});
    EXPECT_TRUE(untouched(withTap, 200 - 60, 679, bg));
}

TEST(ActionOverlayCaption, FadesAfterHalfItsLifetime) {
    const int bg = 100;
    const Image before = grey(400, 800, bg);
    // Full strength up to 0.8 s.
    const Image full = drawn(before, {text("Back", 0.8)});
    EXPECT_TRUE(near(full, 200, 679, blackOver(bg, 0.72)));
    // At 1.2 s, alpha 0.5: the box is black at 0.36 and the brightest text pixel is white at 0.5 over it.
    const Image half = drawn(before, {text("Back", 1.2)});
    EXPECT_TRUE(near(half, 200, 679, blackOver(bg, 0.36)));
    const Box box = changed(before, half);
    ASSERT_FALSE(box.empty());
    EXPECT_NEAR(brightest(half, box), 255 * 0.5 + bg * 0.64 * 0.5, 2);
    // Invisible at 1.6 s, and dropped after.
    EXPECT_TRUE(sameBytes(before, drawn(before, {text("Back", 1.6)})));
    EXPECT_FALSE(ActionOverlay::expired(text("Back", 1.6), kNow));
    EXPECT_TRUE(ActionOverlay::expired(text("Back", 1.601), kNow));
}

TEST(ActionOverlayCaption, TextTooLongRunsPastTheWidestBox) {
    const int bg = 100;
    const Image before = grey(400, 800, bg);
    const Image frame = drawn(before, {text(std::string(300, 'W'), 0)});
    const Box box = changed(before, frame);
    ASSERT_FALSE(box.empty());
    const int middle = (box.top + box.bottom) / 2;
    // The box is 400 − 40 wide: from 20 to 380.
    EXPECT_TRUE(untouched(frame, 19, middle, bg));
    EXPECT_TRUE(near(frame, 20, middle, blackOver(bg, 0.72)));
    EXPECT_TRUE(near(frame, 25, middle, blackOver(bg, 0.72)));
    // The text starts 14 in and is not cut at the box: it reaches the frame's right edge, outside the box.
    const Box ink = brighter(frame, box, 150);
    ASSERT_FALSE(ink.empty());
    EXPECT_NEAR(ink.left, 34, 3);
    EXPECT_GE(ink.right, 395);
    EXPECT_GT(brightest(frame, {381, box.top, 399, box.bottom}), 230);
}

TEST(ActionOverlayCaption, UnicodeAndBrokenTextDraw) {
    const int bg = 128;
    const Image before = grey(400, 800, bg);
    const Image frame = drawn(before, {text("⌨  héllo…", 0)});
    const Box box = changed(before, frame);
    ASSERT_FALSE(box.empty());
    EXPECT_EQ(box.bottom, 679);
    EXPECT_NEAR(box.left, 399 - box.right, 1);
    EXPECT_GT(brightest(frame, box), 240);
    // A caption with ill-formed bytes and a line break is still one line in one pill.
    const Image broken = drawn(before, {text("abc\xff\xfe\ndef", 0)});
    const Box brokenBox = changed(before, broken);
    ASSERT_FALSE(brokenBox.empty());
    EXPECT_EQ(brokenBox.bottom, 679);
    EXPECT_LE(brokenBox.height(), 20 + 18);
}

// --- the whole overlay ------------------------------------------------------------------------------------

TEST(ActionOverlayDraw, NoMarksChangeNothing) {
    const Image before = grey(400, 800, 77);
    EXPECT_TRUE(sameBytes(before, drawn(before, {})));
    EXPECT_TRUE(sameBytes(before, drawn(before, {}, 0.5, {30, 40})));
}

TEST(ActionOverlayDraw, PointsFollowTheFitAndSizesTheOutputWidth) {
    const int bg = 0;
    // 800 wide: u = 2. Frame point (300, 400) lands at (300 × 0.5 + 100, 400 × 0.5 + 50) = (250, 250).
    const Image frame = drawn(grey(800, 1000, bg), {tap(300, 400, 0.35)}, 0.5, {100, 50});
    // Ring radius 54, 6 wide: 51 to 57.
    const Pixel ring = accentOver(bg, 0.5);
    EXPECT_TRUE(near(frame, 250 + 53, 250, ring));
    EXPECT_TRUE(near(frame, 250 + 55, 250, ring));
    EXPECT_TRUE(near(frame, 250 - 54, 250, ring));
    EXPECT_TRUE(near(frame, 250, 250 + 54, ring));
    EXPECT_TRUE(near(frame, 250, 250 - 55, ring));
    EXPECT_TRUE(untouched(frame, 250 + 49, 250, bg));
    EXPECT_TRUE(untouched(frame, 250 + 58, 250, bg));
    // Dot radius 18.
    EXPECT_TRUE(near(frame, 250 + 16, 250, accentOver(bg, 0.275)));
    EXPECT_TRUE(near(frame, 250, 250, accentOver(bg, 0.275)));
    EXPECT_TRUE(untouched(frame, 250 + 19, 250, bg));
    // Where the point would be without the fit, nothing.
    EXPECT_TRUE(untouched(frame, 300, 400, bg));
}

TEST(ActionOverlayDraw, NewerMarksLieOnTop) {
    const int bg = 200;
    const Image before = grey(400, 800, bg);
    // A caption of blanks is an empty pill; a fresh tap's ring crosses it at (213, 670).
    const TimedMark pill = text("          ", 0);
    const TimedMark ring = tap(200, 670, 0);
    const Image tapFirst = drawn(before, {ring, pill});
    const Image pillFirst = drawn(before, {pill, ring});
    EXPECT_TRUE(near(pillFirst, 213, 670, accentOver(bg, 1)));
    const Pixel accent = accentOver(bg, 1);
    const Pixel covered = {int(std::lround(accent.b * 0.28)), int(std::lround(accent.g * 0.28)),
                           int(std::lround(accent.r * 0.28)), 255};
    EXPECT_TRUE(near(tapFirst, 213, 670, covered));
}

TEST(ActionOverlayDraw, MarksOutsideTheFrameAreHarmless) {
    const int bg = 60;
    const Image before = grey(400, 500, bg);
    const double inf = std::numeric_limits<double>::infinity(),
                 nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<TimedMark> marks = {
        tap(-500, -500, 0),
        tap(1e12, -3e11, 0.1),
        press(5e300, 5e300, 0.2),
        tap(nan, 10, 0),
        press(inf, -inf, 0),
        swipe({-1e15, 4e14}, {3e15, -2e15}, 0),
        swipe({nan, 0}, {10, 10}, 0),
        swipe({1e6, 1e6}, {2e6, 3e6}, 0),
        swipe({10, 10}, {inf, 10}, 0),
    };
    EXPECT_TRUE(sameBytes(before, drawn(before, marks)));
    // A ring whose centre is just off the frame still shows its edge.
    const Image edge = drawn(before, {tap(-10, 250, 0)});
    EXPECT_TRUE(near(edge, 3, 250, accentOver(bg, 1)));
    EXPECT_TRUE(near(edge, 4, 250, accentOver(bg, 1)));
    // Absurd fits do not crash either.
    drawn(before, {tap(100, 100, 0), swipe({0, 0}, {10, 10}, 0), text("x", 0)}, 1e200, {-1e200, 1e200});
    drawn(before, {tap(100, 100, 0), swipe({0, 0}, {10, 10}, 0)}, nan, {0, 0});
}

TEST(ActionOverlayDraw, EverythingTogetherOnARecordingSizedFrame) {
    const int bg = 90;
    const Image before = grey(1178, 2556, bg);
    const Image frame =
        drawn(before, {tap(589, 1000, 0.35), swipe({300, 1500}, {900, 1500}, 0.1), text("⌨  hello", 0.3)});
    const double u = 1178 / 400.0;
    // The tap's ring at 27u from its centre.
    EXPECT_TRUE(near(frame, int(589 + 27 * u), 1000, accentOver(bg, 0.5)));
    // The swipe's line at alpha (1 − 0.1 / 0.9) × 0.9 = 0.8.
    EXPECT_TRUE(near(frame, 600, 1500, accentOver(bg, 0.8)));
    // The caption's box bottom edge at 2556 − 120u.
    const double bottom = 2556 - 120 * u;
    EXPECT_TRUE(near(frame, 589, int(std::floor(bottom)) - 2, blackOver(bg, 0.72)));
    EXPECT_TRUE(untouched(frame, 589, int(std::ceil(bottom)) + 1, bg));
}

TEST(ActionOverlayDraw, CaptionsDrawnFromTwoThreadsAtOnceComeOutRight) {
    const Image before = grey(400, 800, 100);
    const std::vector<TimedMark> home = {text("Home", 0)}, open = {text("Open Settings", 0.4)};
    const Image homeAlone = drawn(before, home), openAlone = drawn(before, open);
    ASSERT_FALSE(sameBytes(homeAlone, openAlone));
    int wrong[2] = {0, 0};
    auto work = [&](int which) {
        for (int i = 0; i < 40; ++i) {
            // Each thread alternates, so the cached caption keeps changing under the other one.
            const bool first = (i + which) % 2 == 0;
            if (!sameBytes(drawn(before, first ? home : open), first ? homeAlone : openAlone))
                ++wrong[which];
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_EQ(wrong[0], 0);
    EXPECT_EQ(wrong[1], 0);
}
