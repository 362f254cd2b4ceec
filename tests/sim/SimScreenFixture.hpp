// A simulated screen rendered into a real frame on a clock of the test's, with helpers that touch, type
// and read it by its drawn texts.
#pragma once

#include "sim/SimScreen.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <optional>
#include <string>

namespace pokescope::sim::test {

using namespace std::chrono_literals;

// The rows of the status bar, where the clock is drawn.
constexpr int kStatusBarHeight = 162;

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
    void wait(Duration d) { now += d; render(); }
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
    void open(const std::string& app) { ASSERT_TRUE(screen.openApp(app, now)); settle(); }
    void key(int usage, int modifiers = 0) { screen.keyPress(usage, modifiers, now); now += 30ms; }

    std::optional<DrawnText> find(const std::string& text) const {
        for (const DrawnText& t : screen.drawnTexts())
            if (t.text == text && t.y >= 0) // on screen
                return t;
        return std::nullopt;
    }
    bool shows(const std::string& text) const { return find(text).has_value(); }
    void tapText(const std::string& text) {
        auto t = find(text);
        ASSERT_TRUE(t) << "no \"" << text << "\" on screen";
        tapAt(t->x + t->width / 2.0, t->y + t->height / 2.0);
    }
};

} // namespace pokescope::sim::test
