// The marks drawn over a recording (rings, swipes, captions) pixel by pixel; and the screen recorder's rules on
// the simulated phone, with a movie writer that keeps what it is given.
#include "media/ActionOverlay.hpp"
#include "media/ScreenRecorder.hpp"

#include "tests/media/CapturedPhone.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <limits>
#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using ErrorCase = ScreenRecorder::ErrorCase;
using Refusal = std::pair<ErrorCase, std::string>;

namespace {

// Accent colour channels in 0–255, as the overlay draws them.
constexpr double kRed = 0.27 * 255, kGreen = 0.53 * 255, kBlue = 1.0 * 255;
const TimePoint kNow = TimePoint{} + std::chrono::hours(1);
using Kind = ActionMark::Kind;

TimedMark mark(Kind kind, PointD from, PointD to, double age, std::string s = {}) {
    return {{kind, from, to, std::move(s)},
            kNow - std::chrono::duration_cast<TimePoint::duration>(std::chrono::duration<double>(age))};
}
TimedMark tap(double x, double y, double age) { return mark(Kind::tap, {x, y}, {}, age); }
TimedMark press(double x, double y, double age) { return mark(Kind::press, {x, y}, {}, age); }
TimedMark swipe(PointD from, PointD to, double age) { return mark(Kind::swipe, from, to, age); }
TimedMark text(const std::string& s, double age) { return mark(Kind::text, {}, {}, age, s); }

Image grey(int width, int height, std::uint8_t level) {
    Image image(width, height, Image::Format::bgra);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width * 4; ++x)
            image.row(y)[x] = x % 4 == 3 ? 255 : level;
    return image;
}

struct Pixel { int b, g, r, a; };
Pixel at(const Image& image, int x, int y) {
    const std::uint8_t* p = image.row(y) + std::size_t(x) * 4;
    return {p[0], p[1], p[2], p[3]};
}
// `under` covered by the accent colour at `alpha`.
Pixel accentOver(Pixel under, double alpha) {
    auto mix = [&](double c, int u) { return int(std::lround(c * alpha + u * (1 - alpha))); };
    return {mix(kBlue, under.b), mix(kGreen, under.g), mix(kRed, under.r), 255};
}
Pixel accentOver(int level, double alpha) { return accentOver(Pixel{level, level, level, 255}, alpha); }
Pixel blackOver(double level, double alpha) {
    const int v = int(std::lround(level * (1 - alpha)));
    return {v, v, v, 255};
}

::testing::AssertionResult near(const Image& image, int x, int y, Pixel expected, int tolerance = 2) {
    const Pixel p = at(image, x, y);
    if (std::abs(p.b - expected.b) <= tolerance && std::abs(p.g - expected.g) <= tolerance &&
        std::abs(p.r - expected.r) <= tolerance && p.a == expected.a)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "(" << x << ", " << y << ") is BGR " << p.b << "," << p.g << "," << p.r
                                         << ", expected about " << expected.b << "," << expected.g << "," << expected.r;
}
::testing::AssertionResult untouched(const Image& image, int x, int y, int level) {
    return near(image, x, y, {level, level, level, 255}, 0);
}

constexpr int bg = 100; // the grey of the frame captions are drawn on
const Image kCaptionFrame = grey(400, 800, bg), &before = kCaptionFrame;

Image drawn(Image frame, const std::vector<TimedMark>& marks, double scale = 1, PointD offset = {}) {
    ActionOverlay::draw(frame, marks, kNow, scale, offset);
    return frame;
}
bool sameBytes(const Image& a, const Image& b) {
    return a.byteCount() == b.byteCount() && std::equal(a.data(), a.data() + a.byteCount(), b.data());
}

struct Box {
    int left = std::numeric_limits<int>::max(), top = std::numeric_limits<int>::max(), right = -1, bottom = -1;
    bool empty() const { return right < 0; }
    int width() const { return right - left + 1; }
    int height() const { return bottom - top + 1; }
    void add(int x, int y) {
        left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
    }
};
// The smallest rectangle holding the pixels of `area` brighter than `threshold` (grey frames: the blue
// channel stands for all), or of the whole frame that differ from `before`.
Box brighter(const Image& image, const Box& area, int threshold, const Image* before = nullptr) {
    Box box;
    for (int y = area.top; y <= area.bottom; ++y)
        for (int x = area.left; x <= area.right; ++x)
            if (before ? !std::equal(before->row(y) + x * 4, before->row(y) + x * 4 + 4, image.row(y) + x * 4)
                       : at(image, x, y).b > threshold)
                box.add(x, y);
    return box;
}
Box changed(const Image& before, const Image& after) {
    return brighter(after, {0, 0, after.width() - 1, after.height() - 1}, 0, &before);
}

// Keeps the frames' times and the last frame; can be made failing or slow to finish.
struct WriterLog {
    std::mutex mutex;
    std::vector<std::int64_t> times;
    Image lastFrame;
    std::string failure;
    std::string finishError;             // finish fails with this when set
    std::shared_future<void> finishGate; // finish waits for this when valid
    std::atomic<int> finished{0};
    MovieSettings settings;
};

class FakeWriter : public MovieWriter {
public:
    FakeWriter(std::shared_ptr<WriterLog> log, const MovieSettings& settings) : log_(std::move(log)) {
        log_->settings = settings;
    }
    bool hasAudio() const override { return log_->settings.audio; }
    bool readyForVideo() const override { return true; }
    bool appendVideo(const Image& frame, std::int64_t time) override {
        std::lock_guard lock(log_->mutex);
        if (!log_->failure.empty())
            return false;
        EXPECT_EQ(std::pair(frame.width(), frame.height()), std::pair(log_->settings.width, log_->settings.height));
        log_->times.push_back(time);
        log_->lastFrame = frame;
        return true;
    }
    bool appendAudio(const AudioBuffer&, double) override { return hasAudio(); }
    std::string failure() const override { return std::lock_guard(log_->mutex), log_->failure; }
    bool finish(std::string& error) override {
        if (log_->finishGate.valid())
            log_->finishGate.wait();
        ++log_->finished;
        error = log_->finishError;
        return error.empty();
    }

private:
    std::shared_ptr<WriterLog> log_;
};

class RecorderTest : public testing::Test, protected CapturedPhone {
protected:
    ManualClock clock;
    std::shared_ptr<WriterLog> writer = std::make_shared<WriterLog>();
    std::string factoryError; // the factory refuses with this when set
    std::function<void()> inFactory;
    std::time_t wallTime = 1'780'000'000;
    std::mutex linesMutex;
    std::vector<std::string> lines;
    std::mutex changesMutex;
    std::vector<std::pair<bool, std::optional<ScreenRecorder::Result>>> changes;
    std::unique_ptr<ScreenRecorder> recorder;

    void SetUp() override {
        ScreenRecorder::Options options;
        options.writerFactory = [this](const MovieSettings& s, std::string& error) -> std::unique_ptr<MovieWriter> {
            if (inFactory)
                inFactory();
            if (error = factoryError; !error.empty())
                return nullptr;
            return std::make_unique<FakeWriter>(writer, s);
        };
        options.folder = [this] { return folder.path() / "Recordings"; };
        options.wallClock = [this] { return wallTime; };
        options.clock = &clock;
        options.log = [this](const std::string& line) { std::lock_guard lock(linesMutex); lines.push_back(line); };
        recorder = std::make_unique<ScreenRecorder>(capture, settings, main, options);
        recorder->setOnChange([this](bool on, std::optional<ScreenRecorder::Result> result) {
            std::lock_guard lock(changesMutex);
            changes.emplace_back(on, result);
        });
    }
    void TearDown() override { recorder.reset(); main.sync([&] { capture.stop(); }); }
    // The case and the sentence of the error that `action` throws.
    Refusal failure(const std::function<void()>& action) {
        auto error = thrown<ScreenRecorder::RecorderError>(action);
        return error ? Refusal(error->which, error->what()) : Refusal();
    }
    std::size_t frames() { return std::lock_guard(writer->mutex), writer->times.size(); }
    Image lastFrame() { return std::lock_guard(writer->mutex), writer->lastFrame; }
    std::size_t changeCount() { return std::lock_guard(changesMutex), changes.size(); }
    // Whether a line starting with `start` and ending with `end` was logged.
    bool logged(const std::string& start, const std::string& end) {
        return std::lock_guard(linesMutex), std::ranges::any_of(lines, [&](const std::string& l) {
                   return l.starts_with(start) && l.ends_with(end) && l.size() >= start.size() + end.size();
               });
    }
    bool nothingSaved() const {
        std::error_code missing;
        return std::filesystem::is_empty(folder.path() / "Recordings", missing) || missing;
    }
};

} // namespace

TEST(ActionOverlayRings, TapsAndPressesGrowAndFadeOverTheirLivesAndMarksOutsideTheFrameChangeNothing) {
    // A 3-wide ring of radius 14 (tap) or 22 (press) growing by 26 as it fades, around a dot at 0.55 of its
    // alpha; `on` lies wholly on the ring, `inside` and `outside` just off it.
    struct Row { bool isPress; double age, alpha; int on, inside, outside; } rows[] = {{false, 0, 1, 13, 11, 16},     {false, 0.35, 0.5, 26, 24, 29},   {true, 0, 1, 21, 19, 24},
                {true, 0.7, 0.5, 34, 32, 37}, {true, 1.3, 1.0 / 14, 45, 43, 48}};
    for (const auto& row : rows) {
        const int bg = 60;
        const Image frame = drawn(grey(400, 400, bg), {row.isPress ? press(200, 200, row.age) : tap(200, 200, row.age)});
        for (auto [dx, dy] : {std::pair{row.on, 0}, {-row.on - 1, 0}, {0, row.on}, {0, -row.on - 1}})
            EXPECT_TRUE(near(frame, 200 + dx, 200 + dy, accentOver(bg, row.alpha))) << row.age;
        EXPECT_TRUE(untouched(frame, 200 + row.inside, 200, bg)) << row.age;
        EXPECT_TRUE(untouched(frame, 200 + row.outside, 200, bg)) << row.age;
        EXPECT_TRUE(row.age > 1 || near(frame, 200, 200, accentOver(bg, row.alpha * 0.55))) << row.age; // the dot
        const Box box = changed(grey(400, 400, bg), frame); // and nothing beyond
        EXPECT_TRUE(box.left >= 200 - row.outside && box.right < 200 + row.outside) << row.age;
    }
    for (const auto& gone : {tap(150, 150, 0.7), press(150, 150, 1.4), swipe({100, 200}, {300, 200}, 0.9),
                             text("Back", 1.6)}) // at the end of its life, no trace
        EXPECT_TRUE(sameBytes(kCaptionFrame, drawn(kCaptionFrame, {gone})));

    using std::chrono::milliseconds;
    for (auto [kind, ms] : {std::pair{Kind::tap, 700}, {Kind::press, 1400}, {Kind::swipe, 900}, {Kind::text, 1600}}) {
        EXPECT_DOUBLE_EQ(ActionOverlay::lifetime(kind), ms / 1000.0);
        const TimedMark m{{kind, {10, 10}, {20, 20}, "x"}, kNow - milliseconds(ms)};
        EXPECT_FALSE(ActionOverlay::expired(m, kNow)) << ms;
        EXPECT_TRUE(ActionOverlay::expired(m, kNow + std::chrono::microseconds(1))) << ms;
    }

    const int bg = 60;
    const Image before = grey(400, 500, bg);
    const double inf = std::numeric_limits<double>::infinity(), nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(sameBytes(before, drawn(before, {}, 0.5, {30, 40})));
    EXPECT_TRUE(sameBytes(before, drawn(before, {tap(-500, -500, 0), tap(1e12, -3e11, 0.1), press(5e300, 5e300, 0.2),
                                                 tap(nan, 10, 0), press(inf, -inf, 0),
                                                 swipe({-1e15, 4e14}, {3e15, -2e15}, 0), swipe({nan, 0}, {10, 10}, 0),
                                                 swipe({1e6, 1e6}, {2e6, 3e6}, 0), swipe({10, 10}, {inf, 10}, 0)})));
    // A ring whose centre is just off the frame still shows its edge.
    EXPECT_TRUE(near(drawn(before, {tap(-10, 250, 0)}), 3, 250, accentOver(bg, 1)));
    // Absurd fits must not crash.
    drawn(before, {tap(100, 100, 0), swipe({0, 0}, {10, 10}, 0), text("x", 0)}, 1e200, {-1e200, 1e200});
    drawn(before, {tap(100, 100, 0), swipe({0, 0}, {10, 10}, 0)}, nan, {0, 0});
}

TEST(ActionOverlaySwipe, LineArrowheadAtTheEndAndDotAtTheStart) {
    const int bg = 0;
    const Image frame = drawn(grey(400, 400, bg), {swipe({100, 200}, {300, 200}, 0)});
    const Pixel line = accentOver(bg, 0.9);
    // The line is 5 wide (197.5 to 202.5) with round caps; the arrowhead's corner lies over its end.
    EXPECT_TRUE(near(frame, 200, 199, line) && near(frame, 200, 201, line));
    EXPECT_TRUE(near(frame, 301, 200, accentOver(line, 0.9)));
    EXPECT_TRUE(untouched(frame, 200, 203, bg) && untouched(frame, 304, 200, bg));
    // The arrowhead points back from the end at ±0.5 rad; none at the start.
    EXPECT_TRUE(near(frame, 292, 203, line) && near(frame, 292, 196, line));
    EXPECT_TRUE(untouched(frame, 307, 203, bg) && untouched(frame, 110, 205, bg));
    // The start dot, radius 8 at alpha 0.6, over the line; none at the end.
    EXPECT_TRUE(near(frame, 95, 200, accentOver(bg, 0.6)) && near(frame, 100, 200, accentOver(line, 0.6)));
    EXPECT_TRUE(untouched(frame, 90, 200, bg) && untouched(frame, 300, 212, bg));

    // A swipe that goes nowhere: a dot and an arrow pointing right, its sides to the left of the point.
    const Image still = drawn(grey(400, 400, bg), {swipe({200, 200}, {200, 200}, 0)});
    EXPECT_TRUE(near(still, 188, 205, line) && near(still, 188, 194, line));
    EXPECT_TRUE(near(still, 205, 200, accentOver(bg, 0.6)) && untouched(still, 210, 200, bg));

    const Image faded = drawn(grey(400, 400, bg), {swipe({100, 200}, {300, 200}, 0.45)});
    EXPECT_TRUE(near(faded, 200, 200, accentOver(bg, 0.45)) && near(faded, 94, 200, accentOver(bg, 0.3)));

    const Image across = drawn(grey(400, 400, bg), {swipe({-1e9, 200}, {1e9, 200}, 0)});
    EXPECT_TRUE(near(across, 0, 200, accentOver(bg, 0.9)) && near(across, 399, 201, accentOver(bg, 0.9)));
    EXPECT_TRUE(untouched(across, 200, 203, bg));
}

TEST(ActionOverlayCaption, ABlackPill120AboveTheBottomCentredWithWhiteTextForTheNewestOnlyFadingAfterHalfItsLife) {
    const Image frame = drawn(before, {text("Typing", 0.2)});
    const Box box = changed(before, frame);
    ASSERT_FALSE(box.empty());
    EXPECT_EQ(box.bottom, 679);
    EXPECT_TRUE(near(frame, 200, 679, blackOver(bg, 0.72)));
    EXPECT_NEAR(box.left, 399 - box.right, 1);
    // A line of 15-pixel text (ascent and descent about 1.2 × 15) with 9 pixels above and below, 14 aside.
    EXPECT_TRUE(box.height() >= 15 + 18 && box.height() <= 20 + 18) << box.height();
    EXPECT_FALSE(brighter(frame, box, 249).empty());
    const Box ink = brighter(frame, box, 150);
    ASSERT_FALSE(ink.empty());
    EXPECT_TRUE(ink.left >= box.left + 13 && ink.left <= box.left + 14 + 3) << ink.left;
    EXPECT_TRUE(ink.right <= box.right - 13 && ink.right >= box.right - 14 - 3) << ink.right;
    EXPECT_GE(ink.top, box.top + 9);
    EXPECT_LE(ink.bottom, box.bottom - 10); // the descenders stop short of the bottom padding
    // Solid across its middle, rounded at its ends.
    const int middle = (box.top + box.bottom) / 2;
    for (int x : {box.left + 1, box.right - 1})
        EXPECT_TRUE(near(frame, x, middle, blackOver(bg, 0.72)));
    EXPECT_TRUE(untouched(frame, box.left + 1, box.top + 1, bg) && untouched(frame, box.right - 1, box.bottom - 1, bg));

    // Sizes are in pixels of the output width: twice as wide, twice as big.
    const Image wideBefore = grey(800, 1000, 100);
    const Box wide = changed(wideBefore, drawn(wideBefore, {text("Typing", 0.2)}));
    EXPECT_EQ(wide.bottom, 1000 - 240 - 1);
    EXPECT_NEAR(wide.height(), 2 * box.height(), 2);
    EXPECT_NEAR(wide.width(), 2 * box.width(), 3);

    // Only the newest caption shows, and it fades after half its lifetime.
    const TimedMark older = text("A much longer caption typed first", 0.5), newer = text("Hi", 0.2);
    const Image both = drawn(before, {older, newer, tap(50, 50, 0)});
    EXPECT_TRUE(sameBytes(both, drawn(before, {newer, tap(50, 50, 0)})));
    EXPECT_TRUE(untouched(both, 200 - 60, 679, bg));

    EXPECT_TRUE(near(drawn(before, {text("Back", 0.8)}), 200, 679, blackOver(bg, 0.72)));
    // At 1.2 s, alpha 0.5: the halfBox is black at 0.36 and the brightest text pixel white at 0.5 over it.
    const Image half = drawn(before, {text("Back", 1.2)});
    EXPECT_TRUE(near(half, 200, 679, blackOver(bg, 0.36)));
    const Box halfBox = changed(before, half);
    ASSERT_FALSE(halfBox.empty());
    EXPECT_FALSE(brighter(half, halfBox, 157).empty()); // 255 × 0.5 + 100 × 0.64 × 0.5, give or take 2
    EXPECT_TRUE(brighter(half, halfBox, 161).empty());

    // Long text: the halfBox is at most 400 − 40 wide; the text starts 14 in and runs on past it to the edge.
    const Image longText = drawn(before, {text(std::string(300, 'W'), 0)});
    const Box full = changed(before, longText);
    ASSERT_FALSE(full.empty());
    const int row = (full.top + full.bottom) / 2;
    EXPECT_TRUE(untouched(longText, 19, row, bg) && near(longText, 20, row, blackOver(bg, 0.72)));
    EXPECT_NEAR(brighter(longText, full, 150).left, 34, 3);
    EXPECT_FALSE(brighter(longText, {381, full.top, 399, full.bottom}, 230).empty());

    for (const char* s : {"⌨  héllo…", "abc\xff\xfe\ndef"}) { // still one line in one centred pill
        const Image drawnText = drawn(before, {text(s, 0)});
        const Box b = changed(before, drawnText);
        ASSERT_FALSE(b.empty()) << s;
        EXPECT_EQ(b.bottom, 679) << s;
        EXPECT_LE(b.height(), 20 + 18) << s;
        EXPECT_NEAR(b.left, 399 - b.right, 1) << s;
        EXPECT_FALSE(brighter(drawnText, b, 240).empty()) << s;
    }
}

TEST(ActionOverlayDraw, PointsFollowTheFitSizesTheOutputWidthAndNewerMarksLieOnTop) {
    const int bg = 0;
    // 800 wide: u = 2. Frame point (300, 400) lands at (300 × 0.5 + 100, 400 × 0.5 + 50) = (250, 250).
    const Image frame = drawn(grey(800, 1000, bg), {tap(300, 400, 0.35)}, 0.5, {100, 50});
    // Ring radius 54, 6 wide (51 to 57); dot radius 18.
    for (auto [dx, dy] : {std::pair{53, 0}, {55, 0}, {-54, 0}, {0, 54}, {0, -55}})
        EXPECT_TRUE(near(frame, 250 + dx, 250 + dy, accentOver(bg, 0.5)));
    EXPECT_TRUE(near(frame, 250 + 16, 250, accentOver(bg, 0.275)));
    for (auto [x, y] : {std::pair{250 + 49, 250}, {250 + 58, 250}, {250 + 19, 250}, {300, 400}})
        EXPECT_TRUE(untouched(frame, x, y, bg));

    // Newer marks lie on top: a caption of blanks is an empty pill, a fresh tap's ring crosses it at (213, 670).
    const Image light = grey(400, 800, 200);
    const TimedMark pill = text("          ", 0), ring = tap(200, 670, 0);
    const Pixel accent = accentOver(200, 1);
    EXPECT_TRUE(near(drawn(light, {pill, ring}), 213, 670, accent));
    const Pixel covered = {int(std::lround(accent.b * 0.28)), int(std::lround(accent.g * 0.28)),
                           int(std::lround(accent.r * 0.28)), 255};
    EXPECT_TRUE(near(drawn(light, {ring, pill}), 213, 670, covered));
}

TEST(ActionOverlayDraw, CaptionsDrawnFromTwoThreadsAtOnceComeOutRight) {
    const std::vector<TimedMark> home = {text("Home", 0)}, open = {text("Open Settings", 0.4)};
    const Image homeAlone = drawn(before, home), openAlone = drawn(before, open);
    ASSERT_FALSE(sameBytes(homeAlone, openAlone));
    int wrong[2] = {0, 0};
    // Each thread alternates, so the cached caption keeps changing under the other one.
    auto work = [&](int which) {
        for (int i = 0; i < 40; ++i) {
            const bool first = (i + which) % 2 == 0;
            wrong[which] += !sameBytes(drawn(before, first ? home : open), first ? homeAlone : openAlone);
        }
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_EQ(wrong[0] + wrong[1], 0);
}

TEST(RecorderRules, OutputSizesAreTruncatedThenEvenFilesNamedByTheLocalTimeAndFramesFittedWholeAndCentred) {
    EXPECT_EQ(ScreenRecorder::outputSize(1179, 2556, AppSettings::Quality::full), std::make_pair(1178, 2556));
    EXPECT_EQ(ScreenRecorder::outputSize(1179, 2556, AppSettings::Quality::smaller), std::make_pair(788, 1712));
    EXPECT_EQ(ScreenRecorder::outputSize(1920, 1080, AppSettings::Quality::smaller), std::make_pair(1286, 722));
    EXPECT_EQ(ScreenRecorder::fileName(localTime(2026, 12, 5, 15, 23, 29)), "Pokescope 2026-12-05 at 15.23.29.mp4");
    // Each pixel's blue its column, green its row (both wrapped) and red 7.
    auto pattern = [](int width, int height) {
        Image image(width, height, Image::Format::bgra);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                std::uint8_t* p = image.row(y) + 4 * x;
                p[0] = std::uint8_t(x), p[1] = std::uint8_t(y), p[2] = 7, p[3] = 255;
            }
        return image;
    };
    Image frame = grey(100, 200, 200), output(100, 100, Image::Format::bgra);
    double scale = 0;
    PointD offset{};
    ScreenRecorder::fit(frame, output, scale, offset);
    EXPECT_EQ(std::tuple(scale, offset.x, offset.y), std::tuple(0.5, 25.0, 0.0));
    EXPECT_EQ(output.row(50)[4 * 10], 0);          // the bar on the left
    EXPECT_EQ(output.row(50)[4 * 90], 0);          // and on the right
    EXPECT_NEAR(output.row(50)[4 * 50], 200, 2); // the picture between them
    // The phone's 1179-pixel width in a 1178-pixel movie: unscaled, its first column cut.
    Image phone = pattern(1179, 2556), movie(1178, 2556, Image::Format::bgra);
    ScreenRecorder::fit(phone, movie, scale, offset);
    EXPECT_EQ(std::tuple(scale, offset.x, offset.y), std::tuple(1.0, -1.0, 0.0));
    for (int x : {0, 500, 1177}) // frame point x + 1 lands at x
        for (int y : {0, 1300, 2555}) {
            const std::uint8_t* p = movie.row(y) + 4 * x;
            EXPECT_EQ(std::tuple(p[0], p[1], p[2]), std::tuple(std::uint8_t(x + 1), std::uint8_t(y), std::uint8_t(7)));
        }
}

TEST_F(RecorderTest, ARecordingTakesFramesWithIncreasingTimesSaysWhatItSavedAndKeepsMarksOnlyWithTheOverlayOn) {
    withScreen();
    auto file = recorder->start(true, false, std::nullopt);
    EXPECT_EQ(file, folder.path() / "Recordings" / ScreenRecorder::fileName(wallTime));
    EXPECT_TRUE(recorder->recording());
    const auto& movie = writer->settings;
    EXPECT_EQ(std::tuple(movie.width, movie.height, movie.videoBitRate, movie.audio), std::tuple(1178, 2556, 8'000'000, false));
    EXPECT_TRUE(logged("recorder: started " + file.filename().string() + " (1178x2556, full, overlay true, audio false)",
                       ""));
    ASSERT_TRUE(eventually([&] { return frames() >= 10; }));
    auto result = recorder->stop();
    EXPECT_EQ(result.url, file);
    EXPECT_FALSE(result.stoppedBecause);
    EXPECT_GT(result.seconds, 0.2);
    EXPECT_EQ(writer->finished, 1);
    EXPECT_FALSE(recorder->recording());
    {
        std::lock_guard lock(writer->mutex);
        EXPECT_LT(writer->times.front(), 600 / 30 * 3); // the first tick runs at once; times only increase
        EXPECT_EQ(std::ranges::adjacent_find(writer->times, std::greater_equal<>()), writer->times.end());
    }
    // After the stop no tick appends any more.
    const auto after = frames();
    EXPECT_EQ(static_cast<std::size_t>(recorder->tickStats().appended), after);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(frames(), after);
    ASSERT_TRUE(eventually([&] { return changeCount() == 2; }));
    EXPECT_TRUE(changes[0].first && !changes[0].second && !changes[1].first);
    EXPECT_EQ(changes[1].second, result);

    // Marks are kept only while recording with the overlay on.
    recorder->mark({ActionMark::Kind::tap, {500, 1000}, {}, {}}); // idle: ignored
    const auto earlier = frames();
    recorder->start(false, false, std::nullopt);
    recorder->mark({ActionMark::Kind::tap, {500, 1000}, {}, {}}); // overlay off: ignored
    ASSERT_TRUE(eventually([&] { return frames() >= earlier + 3; }));
    const Image plain = lastFrame();
    recorder->stop();
    recorder->start(true, false, std::nullopt);
    recorder->mark({ActionMark::Kind::tap, {500, 1000}, {}, {}});
    const auto before = frames();
    ASSERT_TRUE(eventually([&] { return frames() >= before + 2; }));
    const Image marked = lastFrame();
    recorder->stop();
    // Without the overlay the tap left no trace; with it, the ring shows around the tapped point.
    int differing = 0;
    for (int y = 1000 - 60; y <= 1000 + 60; ++y)
        for (int x = 500 - 60; x <= 500 + 60; ++x)
            differing += std::memcmp(plain.row(y) + 4 * x, marked.row(y) + 4 * x, 3) != 0;
    EXPECT_GT(differing, 100);
}

TEST_F(RecorderTest, StartsAreRefusedWithoutAScreenOrWhileRecordingEvenWhenSimultaneousAndNeverReplaceAnEarlierFile) {
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }),
              Refusal(ErrorCase::noScreen, "No screen frame available (is the iPhone connected by USB and unlocked?)"));
    EXPECT_TRUE(nothingSaved());

    withScreen();
    factoryError = "no encoder";
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }),
              Refusal(ErrorCase::writer, "Couldn't write the video: no encoder"));
    EXPECT_TRUE(nothingSaved()); // the reserved name is given back
    EXPECT_FALSE(recorder->recording());

    factoryError.clear();
    auto first = recorder->start(false, false, std::nullopt);
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }),
              Refusal(ErrorCase::alreadyRecording, "A recording is already running. Call stop_recording first."));
    EXPECT_TRUE(recorder->recording());
    EXPECT_EQ(recorder->currentFile(), first);
    recorder->stop();

    // Recordings in the same second get a number instead of replacing the last.
    std::filesystem::resize_file(first, 1000); // what the writer left
    auto second = recorder->start(true, false, std::nullopt);
    recorder->stop();
    auto third = recorder->start(true, false, std::nullopt);
    recorder->stop();
    const std::string stem = first.stem().string();
    EXPECT_EQ(std::tuple(second.filename(), third.filename()), std::tuple(stem + " 2.mp4", stem + " 3.mp4"));
    EXPECT_EQ(std::filesystem::file_size(first), 1000u);

    // Of two simultaneous starts only one passes.
    std::promise<void> inside, release;
    auto gate = release.get_future().share();
    std::atomic<bool> once{false};
    inFactory = [&] {
        if (once.exchange(true))
            return;
        inside.set_value();
        gate.wait();
    };
    auto racing = std::async(std::launch::async, [&] { return recorder->start(true, false, std::nullopt); });
    inside.get_future().wait(); // the first start is past its check, creating its writer
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }).first, ErrorCase::alreadyRecording);
    release.set_value();
    auto file = racing.get();
    EXPECT_EQ(recorder->stop().url, file);
}

TEST_F(RecorderTest, TheTimeLimitStopsTheRecordingAndTheNextStopHandsOverItsResultOnceWaitingForAFinishUnderWay) {
    withScreen();
    recorder->start(true, false, 5.0);
    recorder->stop();
    auto file = recorder->start(true, false, 5.0);
    clock.advance(4900ms); // the first recording's limit has run out, and must not stop the second
    EXPECT_TRUE(recorder->recording());
    clock.advance(100ms);
    EXPECT_FALSE(recorder->recording());
    EXPECT_TRUE(logged("recorder: saved " + file.filename().string() + " (",
                       " KB), stopped because the time limit was reached"));
    auto result = recorder->stop();
    EXPECT_EQ(std::tuple(result.url, result.stoppedBecause), std::tuple(file, "the time limit was reached"));
    EXPECT_EQ(failure([&] { recorder->stop(); }).first, ErrorCase::notRecording);

    // A stop during an automatic finish waits and gets that result.
    std::promise<void> release;
    writer->finishGate = release.get_future().share();
    file = recorder->start(true, false, 5.0);
    std::thread limit([&] { clock.advance(5s); }); // the automatic finish blocks in the writer
    ASSERT_TRUE(eventually([&] { return !recorder->recording(); }));
    auto stopped = std::async(std::launch::async, [&] { return recorder->stop(); });
    auto started = std::async(std::launch::async, [&] { return recorder->start(true, false, std::nullopt); });
    EXPECT_EQ(stopped.wait_for(200ms), std::future_status::timeout);
    release.set_value();
    limit.join();
    result = stopped.get();
    EXPECT_EQ(std::tuple(result.url, result.stoppedBecause), std::tuple(file, "the time limit was reached"));
    // The start waited too, then began a recording of its own.
    auto second = started.get();
    EXPECT_NE(second, file);
    auto secondResult = recorder->stop();
    EXPECT_EQ(secondResult.url, second);
    EXPECT_FALSE(secondResult.stoppedBecause);
}

TEST_F(RecorderTest, TheScreenGoingAwayOrTheWriterFailingStopsTheRecordingWithItsReasonAndAFailedFinishIsAnError) {
    withScreen();
    const std::pair<std::function<void()>, std::string> stops[] = {
        {[&] { recorder->screenLost("the iPhone was disconnected"); },
         "the iPhone was disconnected"},
        {[&] {
             ASSERT_TRUE(eventually([&] { return frames() >= 2; }));
             std::lock_guard lock(writer->mutex);
             writer->failure = "the disk is full (12 MB left)";
         },
         "Couldn't write the video: the disk is full (12 MB left)"}};
    for (const auto& [trigger, reason] : stops) {
        auto file = recorder->start(true, false, std::nullopt);
        trigger();
        ASSERT_TRUE(eventually([&] { return !recorder->recording(); })) << reason;
        auto result = recorder->stop();
        EXPECT_EQ(std::tuple(result.url, result.stoppedBecause), std::tuple(file, reason));
    }
    // A finish that fails is an error, yet the recording ends and the window stops showing it. (The stops
    // above tell the window on the main queue: their changes are all in before counting.)
    writer->failure.clear();
    ASSERT_TRUE(eventually([&] {
        const auto seen = changeCount();
        std::this_thread::sleep_for(300ms);
        return changeCount() == seen;
    }));
    const auto before = changeCount();
    recorder->start(true, false, std::nullopt);
    writer->finishError = "the trailer could not be written";
    EXPECT_EQ(failure([&] { recorder->stop(); }),
              Refusal(ErrorCase::writer, "Couldn't write the video: the trailer could not be written"));
    EXPECT_FALSE(recorder->recording());
    ASSERT_TRUE(eventually([&] { return changeCount() == before + 2; }));
    EXPECT_FALSE(changes[before + 1].first);
    writer->finishError.clear();
    recorder->start(true, false, std::nullopt); // and a new recording can start
    recorder->stop();
}
