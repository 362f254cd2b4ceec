// The simulated phone's settings (POKESCOPE_SIM): what each word means, what is refused, and that each
// setting of the Bluetooth link and the capture path does to the phone what it says.
#include "bluetooth/HIDRecord.hpp"
#include "bluetooth/HIDReports.hpp"
#include "sim/SimHidHost.hpp"
#include "sim/SimPhone.hpp"
#include "tests/sim/FrameCollector.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <thread>

using namespace pokescope;
using namespace pokescope::sim;
using namespace pokescope::test;
using namespace std::chrono_literals;

TEST(SimSettingsWords, EachWordSetsItsSettingAndTheDescriptionReadsBackTheSame) {
    const std::pair<const char*, const char*> rows[] = {
        {"", "model=iphone-14-pro,latency=45,jitter=0,fps=60,drop=0,noise=6,tracking=0.5,hid-latency=0,"
             "hid-jitter=6,hid-loss=0"},
        {" model=iphone-se , dark,,latency=200 ",
         "model=iphone-se,latency=200,jitter=0,fps=60,drop=0,noise=6,tracking=0.5,hid-latency=0,hid-jitter=6,"
         "hid-loss=0,dark"},
        {"jitter=60,fps=30,drop=0.25,noise=32,hid-latency=40,hid-jitter=20,hid-loss=0.05,tracking=1,points,"
         "animations=900,adapter,assistive-touch-off,bluetooth-off,model=iphone-15-pro-max",
         "model=iphone-15-pro-max,latency=45,jitter=60,fps=30,drop=0.25,noise=32,tracking=1,hid-latency=40,"
         "hid-jitter=20,hid-loss=0.05,animations=900,points,adapter,assistive-touch-off,bluetooth-off"},
        {"assistive-touch-off,assistive-touch,model=iphone-13-mini",
         "model=iphone-13-mini,latency=45,jitter=0,fps=60,drop=0,noise=6,tracking=0.5,hid-latency=0,hid-jitter=6,"
         "hid-loss=0,assistive-touch"},
        {"crash-on-open=Podcasts,crash-on-open=App Store,crash-on-open=Podcasts",
         "model=iphone-14-pro,latency=45,jitter=0,fps=60,drop=0,noise=6,tracking=0.5,hid-latency=0,hid-jitter=6,"
         "hid-loss=0,crash-on-open=App Store,crash-on-open=Podcasts"},
    };
    for (const auto& [words, described] : rows) {
        SimSettings settings = SimSettings::parse(words);
        EXPECT_EQ(settings.describe(), described) << words;
        EXPECT_EQ(SimSettings::parse(settings.describe()).describe(), described) << words;
    }
    EXPECT_EQ(SimSettings::parse("model=iphone-se").model.productType, "iPhone14,6");
    // The middle tracking is the phone's default curve.
    EXPECT_DOUBLE_EQ(SimSettings::parse("tracking=0.5").pointer.fastGain, SimPointerSettings{}.fastGain);
    // A later tracking keeps the link's settings given before it.
    EXPECT_EQ(SimSettings::parse("hid-loss=0.1,points,tracking=0.2").pointer.loss, 0.1);
    EXPECT_TRUE(SimSettings::parse("points,tracking=0.2").pointer.wholePoints);
}

TEST(SimSettingsWords, AnUnknownWordOrABadValueIsRefusedWithASentenceNamingIt) {
    const std::pair<const char*, const char*> rows[] = {
        {"wobbly", "unknown simulated-phone setting \"wobbly\""},
        {"dark=1", "unknown simulated-phone setting \"dark=1\""},
        {"model", "unknown simulated-phone setting \"model\""},
        {"model=iphone-12", "simulated-phone setting model=iphone-12 is not a known model (iphone-se, iphone-13-mini, "
                            "iphone-14-pro, iphone-15-pro-max)"},
        {"latency=", "simulated-phone setting latency= is not a whole number of milliseconds from 0 to 2000"},
        {"latency=2001", "simulated-phone setting latency=2001 is not a whole number of milliseconds from 0 to 2000"},
        {"latency=12.5", "simulated-phone setting latency=12.5 is not a whole number of milliseconds from 0 to 2000"},
        {"fps=0", "simulated-phone setting fps=0 is not a whole number of frames a second from 1 to 60"},
        {"drop=nan", "simulated-phone setting drop=nan is not a fraction from 0 to 0.9"},
        {"drop=1", "simulated-phone setting drop=1 is not a fraction from 0 to 0.9"},
        {"tracking=-0.1", "simulated-phone setting tracking=-0.1 is not a number from 0 (slowest) to 1 (fastest)"},
        {"hid-loss=0.6", "simulated-phone setting hid-loss=0.6 is not a fraction from 0 to 0.5"},
        {"noise=65", "simulated-phone setting noise=65 is not a whole number of grey levels from 0 to 64"},
        {"animations=99999999999", "simulated-phone setting animations=99999999999 is not a whole number of "
                                   "milliseconds from 0 to 5000"},
        {"crash-on-open=podcasts", "simulated-phone setting crash-on-open=podcasts is not an app on the phone (Settings, "
                                   "Notes, Podcasts, Safari,"},
    };
    for (const auto& [words, sentence] : rows) {
        try {
            SimSettings::parse(std::string("dark,") + words);
            ADD_FAILURE() << words << " was taken";
        } catch (const std::invalid_argument& e) {
            EXPECT_TRUE(std::string(e.what()).starts_with(sentence)) << e.what();
        }
    }
}

namespace {

// A phone's HID host fed straight from this computer's report bytes, as over the air.
struct Air {
    SimScreen screen;
    SimHidHost host{screen, descriptor()};

    explicit Air(SimPointerSettings settings) { host.setPointerSettings(settings); }
    static HidDescriptor descriptor() {
        std::string error;
        return *HidDescriptor::parse({HIDRecord::descriptor.begin(), HIDRecord::descriptor.end()}, error);
    }
    void send(int dx, int dy) {
        auto report = HIDReports::pointer(0, dx, dy);
        host.receive({report.begin(), report.end()});
    }
    double x() { return screen.pointer().first; }
};

} // namespace

TEST(SimSettingsLink, ReportsArriveLateInOrderOrNotAtAllAndThePointerKeepsWholePoints) {
    {
        SCOPED_TRACE("hid-latency");
        Air air({.maxJitter = 0ms, .latency = 150ms});
        double start = air.x();
        air.send(10, 0);
        air.send(10, 0);
        EXPECT_EQ(air.x(), start); // still on the air
        EXPECT_TRUE(eventually([&] { return air.x() > start + 20; }, 2s));
    }
    {
        SCOPED_TRACE("hid-jitter keeps the order: against the screen's edge, moves in another order end elsewhere");
        Air air({.smoothing = 0ms, .tooFast = true, .tooFastGain = 1.0, .maxJitter = 30ms});
        air.screen.setPointer(0, 500);
        const int moves[] = {-3, 5, -7, 2, -4, 6, -9, 1, 3, -2, -8, 4};
        double expected = 0;
        for (int move : moves) {
            air.send(move, 0);
            expected = std::max(0.0, expected + move);
        }
        EXPECT_TRUE(eventually([&] { return air.x() == expected; }, 2s)) << air.x() << " for " << expected;
    }
    {
        SCOPED_TRACE("hid-loss");
        Air air({.maxJitter = 0ms, .loss = 0.3});
        for (int i = 0; i < 400; ++i)
            air.send(1, 0);
        EXPECT_GT(air.host.lostReports(), 80);
        EXPECT_LT(air.host.lostReports(), 160);
        EXPECT_EQ(air.host.acceptedReports(), 400);
    }
    {
        SCOPED_TRACE("points: the pointer rests on whole points, and a move of less than half a point is lost");
        SimPointerSettings slowest = SimPointerSettings::forTracking(0); // under 1 px a unit when slow
        slowest.maxJitter = 0ms;
        slowest.wholePoints = true;
        Air air(slowest);
        air.send(1, 0);
        double rested = air.x();
        EXPECT_EQ(std::fmod(rested, 3.0), 0.0) << rested;
        for (int i = 0; i < 4; ++i) {
            std::this_thread::sleep_for(150ms); // single slow nudges
            air.send(1, 0);
        }
        EXPECT_EQ(air.x(), rested);
        air.send(6, 0);
        EXPECT_GT(air.x(), rested);
        EXPECT_EQ(std::fmod(air.x(), 3.0), 0.0) << air.x();
    }
}

TEST(SimSettingsLink, TheGainFollowsTheRecentSpeedAndTheTrackingSetting) {
    // Ten quick reports of 6 units: the first ones move less per unit than the last, since the phone's
    // speed estimate needs a few reports to catch up.
    auto burst = [](SimPointerSettings settings) {
        settings.maxJitter = 0ms;
        Air air(settings);
        std::vector<double> steps;
        for (int i = 0; i < 10; ++i) {
            double before = air.x();
            air.send(6, 0);
            steps.push_back(air.x() - before);
            std::this_thread::sleep_for(8ms);
        }
        return steps;
    };
    auto steps = burst(SimPointerSettings{});
    EXPECT_LT(steps.front() * 1.3, steps.back());
    auto memoryless = burst(SimPointerSettings{.smoothing = 0ms});
    EXPECT_GT(memoryless[1], steps[1] * 1.2); // without memory the second report is already fast
    auto sum = [](const std::vector<double>& v) { return std::accumulate(v.begin(), v.end(), 0.0); };
    EXPECT_LT(sum(burst(SimPointerSettings::forTracking(0))) * 1.3, sum(steps));
    EXPECT_GT(sum(burst(SimPointerSettings::forTracking(1))), sum(steps) * 1.3);
}

TEST(SimSettingsCapture, FrameRateJitterAndTheEncodersBlocks) {
    {
        SCOPED_TRACE("fps and jitter: at most fps frames a second, each late by up to the jitter, in order");
        Collector frames; // outlives the phone
        SimOptions options;
        options.settings = SimSettings::parse("fps=20,latency=20,jitter=80,assistive-touch");
        SimPhone phone(options);
        frames.attach(phone);
        ASSERT_TRUE(eventually([&] { return frames.frameCount() >= 1; }));
        auto until = std::chrono::steady_clock::now() + 1500ms;
        for (int i = 0; std::chrono::steady_clock::now() < until; ++i) { // the pointer never rests
            phone.screen().setPointer(300 + (i % 50) * 10, 900);
            std::this_thread::sleep_for(5ms);
        }
        std::this_thread::sleep_for(200ms);
        phone.setFrameSink(nullptr);
        std::lock_guard lock(frames.mutex);
        ASSERT_GT(frames.frames.size(), 10u);
        EXPECT_LE(frames.frames.size(), 36u); // 20 a second for 1.7 s
        Duration shortest = 1h, longest{};
        for (std::size_t i = 1; i < frames.frames.size(); ++i) {
            if (i > 1) { // the first frame is the picture a new sink gets at once
                EXPECT_GE(frames.frames[i].time - frames.frames[i - 1].time, 49ms);
            }
            EXPECT_GE(frames.deliveredAt[i], frames.deliveredAt[i - 1]);
            shortest = std::min(shortest, frames.deliveredAt[i] - frames.frames[i].time);
            longest = std::max(longest, frames.deliveredAt[i] - frames.frames[i].time);
        }
        EXPECT_GE(shortest, 20ms);
        EXPECT_GT(longest - shortest, 30ms); // the jitter spreads them
    }
    {
        SCOPED_TRACE("noise: blocks around a change shift by far more than the detection thresholds");
        Collector frames;
        SimOptions options;
        options.settings = SimSettings::parse("noise=40");
        SimPhone phone(options);
        frames.attach(phone);
        ASSERT_TRUE(eventually([&] { return frames.frameCount() >= 1; }));
        phone.screen().showBanner("Low Battery");
        ASSERT_TRUE(eventually([&] { return frames.frameCount() >= 2; }));
        phone.setFrameSink(nullptr);
        std::lock_guard lock(frames.mutex);
        Image clean;
        SimScreen reference;
        reference.showBanner("Low Battery");
        reference.render(clean, std::chrono::steady_clock::now());
        const Image& noisy = *frames.frames.back().image;
        int worst = 0;
        long differing = 0;
        for (int y = 0; y < 600; ++y)
            for (int x = 0; x < noisy.width(); ++x) {
                int d = std::abs(noisy.row(y)[x * 4 + 1] - clean.row(y)[x * 4 + 1]);
                worst = std::max(worst, d);
                differing += d > 19;
            }
        EXPECT_GT(worst, 19);
        EXPECT_GT(differing, 500);
        // Below the banner nothing changed, so nothing is disturbed there.
        for (int y = noisy.height() - 300; y < noisy.height(); ++y)
            ASSERT_EQ(std::memcmp(noisy.row(y), frames.frames.front().image->row(y), noisy.width() * 4u), 0) << y;
    }
}
