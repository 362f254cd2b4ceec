#include "capture/ScreenCaptureGate.hpp"

#include "sim/SimPhone.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>

using namespace pokescope;
using namespace std::chrono_literals;

namespace {

// A 16:9 frame with a phone-shaped picture between black bars.
ImageRef letterboxed(int pictureWidth, std::uint8_t level, int markX = -1, int markY = -1) {
    auto frame = std::make_shared<Image>(1920, 1080, Image::Format::bgra);
    int left = (1920 - pictureWidth) / 2;
    for (int y = 0; y < 1080; ++y)
        for (int x = 0; x < 1920; ++x) {
            auto* p = frame->row(y) + x * 4;
            bool inside = x >= left && x < left + pictureWidth;
            p[0] = p[1] = p[2] = inside ? level : 0;
            p[3] = 255;
        }
    if (markX >= 0)
        for (int y = markY; y < markY + 20; ++y)
            for (int x = markX; x < markX + 12; ++x) {
                auto* p = frame->row(y) + x * 4;
                p[0] = p[1] = p[2] = 10;
            }
    return frame;
}

} // namespace

TEST(FrameGate, CropsToThePictureAndPassesOnlyChanges) {
    FrameGate gate;
    auto first = gate.admit(letterboxed(498, 230));
    ASSERT_TRUE(first);
    EXPECT_EQ(std::pair(first->width(), first->height()), std::pair(498, 1080));
    EXPECT_EQ(gate.crop(), (FrameGate::Rect{711, 0, 498, 1080}));
    // The same picture again, however often, is not news.
    EXPECT_FALSE(gate.admit(letterboxed(498, 230)));
    EXPECT_FALSE(gate.admit(letterboxed(498, 232)));
    // One character-sized mark is.
    auto marked = gate.admit(letterboxed(498, 230, 900, 500));
    ASSERT_TRUE(marked);
    EXPECT_EQ(marked->width(), 498);
}

TEST(FrameGate, AnAdaptersBlackFrameIsShownAFullFrameIsNotCroppedNorDarkContentAtOneEdge) {
    FrameGate gate;
    // A phone that is locked from the start: black, the whole frame, until a picture shows the bars.
    auto black = gate.admit(letterboxed(0, 0));
    ASSERT_TRUE(black);
    EXPECT_EQ(black->width(), 1920);
    EXPECT_FALSE(gate.admit(letterboxed(0, 0)));
    auto full = std::make_shared<Image>(1179, 2556, Image::Format::bgra);
    std::fill(full->data(), full->data() + full->byteCount(), 200);
    EXPECT_EQ(gate.admit(full), full); // no copy for a frame that is all picture
    EXPECT_FALSE(gate.admit(full));

    // A dark sidebar inside the phone's own screen, at the picture's left edge.
    auto frame = letterboxed(498, 230);
    for (int y = 0; y < 1080; ++y)
        for (int x = 711; x < 780; ++x) {
            auto* p = const_cast<Image&>(*frame).row(y) + x * 4;
            p[0] = p[1] = p[2] = 5;
        }
    auto picture = gate.admit(frame);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), 498);
    // The phone locks: its black picture is news, at the picture's size.
    auto locked = gate.admit(letterboxed(0, 0));
    ASSERT_TRUE(locked);
    EXPECT_EQ(locked->width(), 498);
}

TEST(FrameGate, ADarkScreenKeepsThePhonesShapeThroughAnAdapterAndItsFullSizeOnThePhonesOwnStream) {
    // Dark mode: only text in the middle of the phone's picture is brighter than the bars.
    auto dark = [](int width, int height, int left, int right) {
        auto frame = std::make_shared<Image>(width, height, Image::Format::bgra);
        std::fill(frame->data(), frame->data() + frame->byteCount(), 0);
        for (int y = 40; y < height - 40; y += 60)
            for (int x = left; x < right; ++x)
                for (int row = y; row < y + 20; ++row) {
                    auto* p = frame->row(row) + x * 4;
                    p[0] = p[1] = p[2] = 235;
                }
        return frame;
    };
    FrameGate adapter;
    auto picture = adapter.admit(dark(1920, 1080, 800, 1120)); // 320 px of text in a 498-wide picture
    ASSERT_TRUE(picture);
    EXPECT_EQ(adapter.crop(), (FrameGate::Rect{711, 0, 498, 1080}));
    // A brighter screen later keeps the same size.
    auto bright = adapter.admit(letterboxed(498, 230));
    ASSERT_TRUE(bright);
    EXPECT_EQ(bright->width(), 498);

    FrameGate own;
    own.reset(false);
    auto first = dark(1179, 2556, 300, 880);
    EXPECT_EQ(own.admit(first), first);
    EXPECT_FALSE(own.crop());
    auto lockedBlack = dark(1179, 2556, 0, 0);
    EXPECT_EQ(own.admit(lockedBlack), lockedBlack);
}

// The simulated HDMI adapter sends 30 noisy frames a second of a still screen: the gate passes the first
// and nothing more until the screen changes.
TEST(FrameGate, OnTheSimulatedAdapterAStillScreenPublishesNoNewFrames) {
    sim::SimOptions options;
    options.settings.adapter = true;
    sim::SimPhone phone(options);
    // The clock's next minute would change the picture: it starts a minute away.
    phone.screen().setWallClock(std::chrono::steady_clock::now(),
                                std::chrono::system_clock::from_time_t(test::localTime(2026, 1, 9, 9, 41, 0)));
    FrameGate gate; // used on the phone's delivery thread until the sink is removed
    std::atomic<int> received{0}, admitted{0};
    phone.setFrameSink([&](const CapturedFrame& frame) {
        admitted += gate.admit(frame.image) ? 1 : 0;
        ++received; // after `admitted`, so a count read after it includes that frame's verdict
    });
    auto waitFor = [&](int frames) { return test::eventually([&] { return received >= frames; }, 30s); };
    ASSERT_TRUE(waitFor(12));
    // The first frame, and any the screen shows while it settles after start; from then on nothing new.
    ASSERT_TRUE(test::eventually([&] { return !phone.screen().animating(); }));
    ASSERT_TRUE(waitFor(received + 3)); // frames of the last change still on their way
    const int settled = admitted;
    EXPECT_GE(settled, 1);
    ASSERT_TRUE(waitFor(received + 12));
    EXPECT_EQ(admitted, settled);
    phone.screen().showBanner("Battery 20%");
    ASSERT_TRUE(waitFor(received + 12));
    phone.setFrameSink(nullptr);
    EXPECT_GE(admitted, settled + 1);
    EXPECT_EQ(gate.crop()->width, 498);
}
