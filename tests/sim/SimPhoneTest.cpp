// The simulated phone as a capture source: what it delivers, when, and how it misbehaves when asked to;
// and the speech recordings it reads.
#include "sim/SimPhone.hpp"
#include "sim/SimSpeech.hpp"
#include "tests/sim/FrameCollector.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

using namespace pokescope;
using namespace pokescope::sim;
using namespace std::chrono_literals;

TEST(SimPhoneFrames, ArriveOnlyOnChangeAfterTheLatencyWithNoiseOnlyWhereTheyChanged) {
    Collector collector; // outlives the phone, whose threads call into it
    SimPhone phone;
    phone.setSwitches({.latency = 60ms, .noise = 8});
    collector.attach(phone);
    ASSERT_TRUE(collector.waitForFrames(1));
    std::this_thread::sleep_for(300ms);
    auto still = collector.frameCount();
    EXPECT_LE(still, 2u); // the first picture (and at most a clock tick)

    phone.screen().showBanner("Low Battery");
    ASSERT_TRUE(collector.waitForFrames(still + 1));
    std::lock_guard lock(collector.mutex);
    const auto& frame = collector.frames.back();
    EXPECT_EQ(frame.image->width(), SimScreen::kWidth);
    EXPECT_EQ(frame.image->height(), SimScreen::kHeight);
    EXPECT_GE(collector.deliveredAt.back() - frame.time, 60ms);
    // The bottom rows (below any banner) are byte-identical between the two frames.
    const Image& a = *collector.frames[still - 1].image;
    for (int y = SimScreen::kHeight - 200; y < SimScreen::kHeight; ++y)
        ASSERT_EQ(std::memcmp(a.row(y), frame.image->row(y), static_cast<std::size_t>(a.width()) * 4), 0)
            << "row " << y;
}

TEST(SimPhoneFrames, UnpluggedStoppedFrozenAndDroppingPhonesDeliverNothing) {
    Collector collector; // outlives the phone, whose threads call into it
    SimPhone phone;
    collector.attach(phone);
    ASSERT_TRUE(collector.waitForFrames(1));
    std::vector<bool> plugEvents;
    phone.setPlugListener("test", [&](bool plugged) { plugEvents.push_back(plugged); });

    auto check = [&](const std::function<void()>& misbehave, const std::function<void()>& heal, const char* what) {
        misbehave();
        std::this_thread::sleep_for(100ms);
        auto before = collector.frameCount();
        phone.screen().showBanner(std::string("change while ") + what);
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(collector.frameCount(), before) << what;
        heal();
        phone.screen().showBanner(std::string("after ") + what);
        EXPECT_TRUE(collector.waitForFrames(before + 1)) << what;
    };
    check([&] { phone.unplug(); }, [&] { phone.replug(); }, "unplugged");
    check([&] { phone.stopScreen(); }, [&] { phone.resumeScreen(); }, "stopped");
    check([&] { phone.setSwitches(SimSwitches{.frozen = true}); }, [&] { phone.setSwitches(SimSwitches{}); },
          "frozen");
    check([&] { phone.setSwitches(SimSwitches{.dropRate = 1.0}); }, [&] { phone.setSwitches(SimSwitches{}); },
          "dropping");
    EXPECT_EQ(plugEvents, (std::vector<bool>{false, true}));
    phone.setPlugListener("test", nullptr);
}

// A link that drops frames skips pictures, never the last one: each change arrives, however many of its
// frames are lost, one frame time after the last one dropped.
TEST(SimPhoneFrames, ADroppedFrameIsSentAgainAtTheNextFrameTime) {
    Collector collector;
    SimPhone phone;
    collector.attach(phone);
    ASSERT_TRUE(collector.waitForFrames(1));
    phone.screen().setAssistiveTouch(true);
    phone.setSwitches(SimSwitches{.dropRate = 0.5});
    std::this_thread::sleep_for(300ms);
    int arrived = 0;
    for (int i = 0; i < 20; ++i) {
        const auto before = collector.frameCount();
        phone.screen().setPointer(300 + 30 * i, 900); // one picture: the disc in its new place
        arrived += collector.waitForFrames(before + 1, 10s); // a busy machine draws a frame in hundreds of ms
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(arrived, 20);
}

TEST(SimSpeechWav, ReadsPcmAndRefusesEverythingElse) {
    auto wav = [](std::uint16_t format, std::uint16_t bits, std::uint32_t declared, const std::string& data) {
        std::string out = "RIFF";
        auto put32 = [&](std::uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); };
        auto put16 = [&](std::uint16_t v) { out.append(reinterpret_cast<const char*>(&v), 2); };
        put32(0x7FFFFFFF), out += "WAVEfmt ", put32(16);
        put16(format), put16(1), put32(22050), put32(44100), put16(2), put16(bits); // mono, 22050 Hz
        out += "data", put32(declared);
        return out + data;
    };
    std::string samples("\x00\x40\x00\xC0", 4); // +0.5, -0.5
    std::vector<float> out;
    int rate = 0;
    ASSERT_TRUE(SimSpeech::parseWav(wav(1, 16, 0x7FFFFFFF, samples), out, rate)); // streamed: size too large
    EXPECT_EQ(rate, 22050);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_FLOAT_EQ(out[0], 0.5f);
    EXPECT_FLOAT_EQ(out[1], -0.5f);
    EXPECT_FALSE(SimSpeech::parseWav(wav(3, 32, 4, samples), out, rate)); // float samples
    EXPECT_FALSE(SimSpeech::parseWav("RIFF", out, rate));
    EXPECT_FALSE(SimSpeech::parseWav("", out, rate));
    EXPECT_FALSE(SimSpeech::parseWav(wav(1, 16, 4, samples).substr(0, 30), out, rate));
    auto up = SimSpeech::resample({0.0f, 1.0f}, 1, 2);
    EXPECT_EQ(up, (std::vector<float>{0.0f, 0.5f, 1.0f, 1.0f}));
}
