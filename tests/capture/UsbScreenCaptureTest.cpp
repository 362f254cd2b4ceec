// Capture over the USB cable, end to end above the USB transfers: the simulated phone speaks the device's
// side of the screen-sharing protocol, and the capture sees its pictures, its sound and its failures.
#include "core/AppSettings.hpp"
#include "core/Log.hpp"
#include "capture/ScreenCapture.hpp"
#include "capture/UsbScreenCapture.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimUsbScreen.hpp"
#include "tests/support/LogLines.hpp"
#include "tests/support/ImageDifference.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;

namespace {

class UsbScreenCaptureTest : public testing::Test {
protected:
    TempFolder folder;
    Preferences store{folder.path() / "settings.json"};
    AppSettings settings{store};
    DispatchQueue main{"test.main"};
    std::shared_ptr<sim::SimPhone> phone = std::make_shared<sim::SimPhone>();
    std::shared_ptr<sim::SimUsbScreenHost> host = std::make_shared<sim::SimUsbScreenHost>(phone);
    std::unique_ptr<ScreenCapture> capture;
    std::mutex mutex;
    std::vector<std::string> lost;

    void SetUp() override { settings.setPlayAudioOnMac(false); }
    void start() {
        capture = std::make_unique<ScreenCapture>(std::make_shared<UsbScreenCapture>(host), main, settings);
        capture->setOnScreenLost([this](const std::string& reason) {
            std::lock_guard lock(mutex);
            lost.push_back(reason);
        });
        main.sync([&] { capture->attachIfNeeded(); });
    }
    void TearDown() override {
        if (capture)
            main.sync([&] { capture->stop(); });
        capture.reset();
        phone->stopScreen();
    }
    bool screenLost() { return std::lock_guard(mutex), !lost.empty(); }
};

} // namespace

TEST_F(UsbScreenCaptureTest, FramesArriveAtThePhonesSizeFollowItsScreenAndStoppingEndsSharingInOrder) {
    start();
    ASSERT_TRUE(eventually([&] { return capture->latestImage() != nullptr; }, 60s));
    const auto first = capture->latestImage();
    EXPECT_EQ(std::pair(first->width(), first->height()), std::pair(1179, 2556));

    // AssistiveTouch's button appears at the right edge: a new frame shows it, the rest stays.
    const long before = capture->frameCount();
    phone->setAssistiveTouch(true);
    ASSERT_TRUE(eventually([&] {
        auto now = capture->latestImage();
        return capture->frameCount() > before && now && meanError(*now, *first, 0, 1400, 1179, 500) > 2.0;
    }, 60s));
    const auto after = capture->latestImage();
    EXPECT_LT(meanError(*after, *first, 0, 120, 1179, 400), 3.0); // the top rows of icons are unchanged

    main.sync([&] { capture->stop(); }); // the session stops on the capture's queue
    EXPECT_TRUE(eventually([] { return logged("screen: usb: screen sharing stopped"); }, 30s));
    EXPECT_FALSE(logged("did not confirm the end of screen sharing"));
    EXPECT_FALSE(screenLost());
}

TEST_F(UsbScreenCaptureTest, SoundReachesAListenerAt48kHzOnOneContinuousTimeLine) {
    std::mutex buffersMutex;
    std::vector<AudioBufferRef> buffers;
    bool heard = false;
    start();
    ASSERT_TRUE(eventually([&] { return capture->latestImage() != nullptr; }, 60s));
    capture->setAudioListener("test", [&](const AudioBufferRef& buffer) {
        std::lock_guard lock(buffersMutex);
        buffers.push_back(buffer);
        for (float sample : buffer->samples)
            heard |= std::abs(sample) > 0.05F;
    });
    phone->speak("good morning");
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(buffersMutex);
        return buffers.size() >= 20 && heard;
    }, 60s)) << "the phone's speech reaches the listener";
    capture->setAudioListener("test", nullptr);
    for (std::size_t i = 0; i + 1 < buffers.size(); ++i) {
        EXPECT_EQ(std::pair(buffers[i]->sampleRate, buffers[i]->channels), std::pair(48000, 2));
        const double gap = std::chrono::duration<double>(buffers[i + 1]->time - buffers[i]->time).count();
        const double length = static_cast<double>(buffers[i]->frames()) / 48000.0;
        EXPECT_NEAR(gap, length, 0.0005) << "buffer " << i;
    }
}

// A phone that stops or breaks does so at a later picture, and a still screen sends none: the test keeps
// the screen changing until the screen is lost. One that never answers is given up after the greeting's
// time-out.
namespace {

struct Failure {
    const char* name;
    sim::SimUsbFaults faults;
    const char* logLine;
    friend void PrintTo(const Failure& failure, std::ostream* out) { *out << failure.name; }
};

class UsbScreenCaptureFailure : public UsbScreenCaptureTest, public testing::WithParamInterface<Failure> {};

} // namespace

TEST_P(UsbScreenCaptureFailure, LosesTheScreenWithTheReasonInTheLog) {
    host->setFaults(GetParam().faults);
    start();
    for (int change = 0; change < 300 && !screenLost(); ++change) {
        phone->screen().showBanner("Change " + std::to_string(change));
        std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(screenLost());
    EXPECT_TRUE(logged(GetParam().logLine));
    if (GetParam().faults.neverAnswers) {
        EXPECT_EQ(capture->latestImage(), nullptr);
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(lost.front(), ScreenCapture::kCaptureFailed);
}

INSTANTIATE_TEST_SUITE_P(
    Phones, UsbScreenCaptureFailure,
    testing::Values(Failure{"StopsSharingOnItsOwn", {.stopAfterFeeds = 2, .malformedAfterFeeds = {}},
                            "screen: usb: the iPhone stopped screen sharing"},
                    Failure{"SendsADamagedPacket", {.neverAnswers = false, .stopAfterFeeds = {}, .malformedAfterFeeds = 1},
                            "screen: usb: the iPhone sent a damaged packet"},
                    Failure{"NeverAnswers", {.neverAnswers = true, .stopAfterFeeds = {}, .malformedAfterFeeds = {}},
                            "screen: usb: the iPhone did not answer"}),
    [](const testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

TEST_F(UsbScreenCaptureTest, UnpluggingThePhoneIsADisconnection) {
    start();
    ASSERT_TRUE(eventually([&] { return capture->latestImage() != nullptr; }, 60s));
    phone->unplug();
    ASSERT_TRUE(eventually([&] { return screenLost(); }, 60s));
    std::lock_guard lock(mutex);
    EXPECT_EQ(lost.front(), ScreenCapture::kDisconnected);
}

TEST(UsbScreenCaptureSamples, SixteenBitSamplesBecomeFloatsInRange) {
    usbscreen::Bytes pcm{0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x40};
    EXPECT_EQ(floatSamples(pcm), (std::vector<float>{-1.0F, 32767.0F / 32768.0F, 0.0F, 0.5F}));
    EXPECT_TRUE(floatSamples({0x01}).empty()); // half a sample is no sample
}
