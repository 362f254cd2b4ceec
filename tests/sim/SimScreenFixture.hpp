// A simulated screen rendered into a real frame, with helpers that touch, drag and read it the way the
// rest of the system does: through its pixels and its drawn texts.
#pragma once

#include "sim/SimScreen.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>
#include <string>

namespace pokescope::sim::test {

using namespace std::chrono_literals;

// Pixel rectangle for comparisons.
struct Box {
    int x = 0, y = 0, w = 0, h = 0;
    bool contains(int px, int py) const { return px >= x && px < x + w && py >= y && py < y + h; }
};

inline Box around(double cx, double cy, int radius) {
    return {int(cx) - radius, int(cy) - radius, 2 * radius + 1, 2 * radius + 1};
}

// Where the status bar's clock is drawn.
inline const Box kClockArea{0, 0, 420, 162};

class SimScreenFixture : public ::testing::Test {
protected:
    SimScreen screen;
    Image frame;
    TimePoint now = TimePoint{} + 100h;

    // The clock reads 9:41 at the start and turns only when a test lets a minute pass.
    SimScreenFixture() {
        screen.setWallClock(now, std::chrono::system_clock::from_time_t(pokescope::test::localTime(2026, 1, 9, 9, 41, 0)));
    }

    bool render() { return screen.render(frame, now); }
    void wait(Duration d) {
        now += d;
        render();
    }
    // Renders frame by frame until nothing moves.
    void settle() {
        for (int i = 0; i < 1000 && screen.animating(); ++i)
            wait(17ms);
        render();
    }
    void tapAt(double x, double y) {
        screen.tap(x, y, now);
        now += 100ms;
        settle();
    }
    // A straight drag in `steps` moves lasting `duration`, then a lift after resting for `rest`.
    void drag(double x0, double y0, double x1, double y1, Duration duration, int steps = 10,
              Duration rest = Duration::zero()) {
        screen.touchDown(x0, y0, now);
        for (int i = 1; i <= steps; ++i) {
            double f = double(i) / steps;
            screen.touchMove(x0 + (x1 - x0) * f, y0 + (y1 - y0) * f, now + duration * i / steps);
            if (i < steps)
                screen.render(frame, now + duration * i / steps);
        }
        now += duration + rest;
        screen.touchUp(x1, y1, now);
        render();
    }
    void open(const std::string& app) {
        ASSERT_TRUE(screen.openApp(app, now));
        settle();
    }
    void key(int usage, int modifiers = 0) {
        screen.keyPress(usage, modifiers, now);
        now += 30ms;
    }

    std::optional<DrawnText> find(const std::string& text, int minY = 0) const {
        for (const DrawnText& t : screen.drawnTexts())
            if (t.text == text && t.y >= minY)
                return t;
        return std::nullopt;
    }
    bool shows(const std::string& text) const { return find(text).has_value(); }
    void tapText(const std::string& text, int minY = 0) {
        auto t = find(text, minY);
        ASSERT_TRUE(t) << "no \"" << text << "\" on screen";
        tapAt(t->x + t->width / 2.0, t->y + t->height / 2.0);
    }
    std::uint32_t pixel(const Image& image, int x, int y) const {
        const std::uint8_t* p = image.row(y) + x * 4;
        return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
    }
    static int luma(std::uint32_t rgb) {
        return int(0.299 * ((rgb >> 16) & 0xFF) + 0.587 * ((rgb >> 8) & 0xFF) + 0.114 * (rgb & 0xFF));
    }
    // Pixels that differ between two frames, outside `ignore`.
    long differences(const Image& a, const Image& b, const Box& ignore = kClockArea) const {
        long n = 0;
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x)
                if (!ignore.contains(x, y) && pixel(a, x, y) != pixel(b, x, y))
                    ++n;
        return n;
    }
    // Whether every differing pixel (outside the clock) lies in one of `allowed`.
    bool differencesWithin(const Image& a, const Image& b, std::initializer_list<Box> allowed) const {
        for (int y = 0; y < a.height(); ++y)
            for (int x = 0; x < a.width(); ++x)
                if (!kClockArea.contains(x, y) && pixel(a, x, y) != pixel(b, x, y) &&
                    std::none_of(allowed.begin(), allowed.end(),
                                 [&](const Box& b) { return b.contains(x, y); }))
                    return false;
        return true;
    }
};

} // namespace pokescope::sim::test
