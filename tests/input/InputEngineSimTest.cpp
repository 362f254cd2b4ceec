// The input engine against the simulated phone through the real socket path, built as the application
// builds it: our HID device, the phone's HID host with its own acceleration and link, and frames that
// arrive late through screen capture, under the phone settings an engine must cope with.
#include "tests/support/SimServices.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <thread>

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::test;
using namespace std::chrono_literals;

namespace {

// The services on a simulated phone of the given settings, started and linked.
struct Started {
    SimServices sim;
    explicit Started(SimOptions options) : sim(options) {
        sim.main->run([&] { sim->model.start(); });
        EXPECT_TRUE(eventually([&] { return sim->hid.state() == BluetoothHID::State::ready; }, 20s));
        EXPECT_TRUE(eventually([&] { return sim->capture.latestImage() != nullptr; }, 20s));
    }
    template <class F> auto run(F&& f) { return sim->input.queue().sync(std::forward<F>(f)); }
};

SimOptions phoneWith(const std::string& words) {
    SimOptions options;
    options.settings = SimSettings::parse("assistive-touch," + words);
    return options;
}

struct Errors {
    std::vector<double> values;
    double percentile(double p) {
        std::sort(values.begin(), values.end());
        return values[std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5))];
    }
};

// Calibrates, then moves to a 5 × 10 grid of targets with a plain move (no correction): the calibration
// must predict where the pointer goes. The error is where the phone says its pointer is.
void calibrateAndTapGrid(const std::string& words) {
    SimOptions options = phoneWith(words);
    Started started(options);
    SimServices& sim = started.sim;
    auto& engine = sim->input;
    auto since = std::chrono::steady_clock::now();
    Calibration c = started.run([&] { return engine.calibrate(); });
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    // Targets and errors are in frame pixels; through an HDMI adapter a frame pixel covers several of the
    // phone's own.
    auto frame = sim->capture.latestImage();
    ASSERT_TRUE(frame);
    const double width = frame->width(), height = frame->height();
    const double perPhonePixel = width / sim.phone->screen().width();
    Errors errors;
    int outside = 0;
    for (int row = 0; row < 10; ++row)
        for (int column = 0; column < 5; ++column) {
            PointD target{width * (0.1 + 0.2 * column), height * (0.07 + 0.095 * row)};
            started.run([&] { engine.moveTo(target, true, 0); });
            // What the phone shows once the last reports have crossed the air.
            std::this_thread::sleep_for(std::chrono::milliseconds(
                options.settings.pointer.latency.count() + options.settings.pointer.maxJitter.count() + 20));
            auto [phoneX, phoneY] = sim.phone->screen().pointer();
            double x = phoneX * perPhonePixel, y = phoneY * perPhonePixel;
            double error = std::max(std::abs(x - target.x), std::abs(y - target.y));
            errors.values.push_back(error);
            if (std::abs(x - target.x) > 12 || std::abs(y - target.y) > 12) {
                ++outside;
                ADD_FAILURE() << words << ": aimed at " << target.x << "," << target.y
                              << ", the phone's pointer is at " << x << "," << y;
            }
        }
    std::cout << words << ": frame " << width << "x" << height << ", calibration " << seconds << " s, gain "
              << c.gainX << " x " << c.gainY << ", fine " << c.fineGain.value_or(0) << "; landing error median "
              << errors.percentile(0.5) << " px, p95 " << errors.percentile(0.95) << " px, max "
              << errors.percentile(1.0) << " px, outside " << outside << "/50\n";
}

} // namespace

// The phones the pointer must work on: with the agent scenarios (a mini at 30 frames a second, a big dark
// phone over USB, a small dark phone on a slow path) and the tools tests (the default phone) they cover every
// model, a slow and jittery capture path, a slow pointer on whole points (single units are lost: the fine
// step must be measured) over a late and lossy link, a fast pointer, the dark appearance and an HDMI adapter.
// `scripts/bench input-matrix` runs more.
TEST(InputEngineSim, CalibratesAndLandsOnAGridOnASmallPhoneWithASlowPointerOnWholePointsOverALossyLink) {
    calibrateAndTapGrid("model=iphone-se,points,tracking=0.2,hid-latency=30,hid-jitter=20,hid-loss=0.01,noise=24,"
                        "latency=150,jitter=40");
}

TEST(InputEngineSim, CalibratesAndLandsOnAGridOnABigDarkPhoneWithAFastPointerThroughASlowAdapter) {
    calibrateAndTapGrid("model=iphone-15-pro-max,adapter,dark,tracking=0.9,latency=250,jitter=60");
}

TEST(InputEngineSim, APhoneAtTopTrackingSpeedIsTooFast) {
    SimOptions options = phoneWith("");
    options.settings.pointer.tooFast = true;
    Started started(options);
    try {
        started.run([&] { started.sim->input.calibrate(); });
        ADD_FAILURE() << "calibrated a pointer that flies";
    } catch (const InputEngine::InputError& error) {
        EXPECT_EQ(error.which, InputEngine::ErrorCase::tooFast);
    }
    EXPECT_FALSE(started.sim->input.calibration());
}

TEST(InputEngineSim, TypesEveryPrintableAsciiCharacterOverALateLink) {
    Started started(phoneWith("hid-latency=40,hid-jitter=20"));
    auto& screen = started.sim.phone->screen();
    screen.openApp("Notes", std::chrono::steady_clock::now());
    std::this_thread::sleep_for(800ms);
    screen.tap(screen.width() / 2.0, screen.height() * 0.35, std::chrono::steady_clock::now());
    std::this_thread::sleep_for(500ms);
    std::string text;
    for (char c = ' '; c <= '~'; ++c)
        text += c;
    started.run([&] { started.sim->input.type(text); });
    EXPECT_TRUE(eventually([&] { return screen.fieldText() == text; }, 10s)) << screen.fieldText();
}
