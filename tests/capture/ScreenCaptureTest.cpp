#include "capture/ScreenCapture.hpp"

#include "core/AppSettings.hpp"
#include "tests/capture/FakeCapture.hpp"
#include "tests/support/LogLines.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;

namespace {

ImageRef picture(std::uint8_t level, int width = 400, int height = 800) {
    auto image = std::make_shared<Image>(width, height, Image::Format::bgra);
    std::fill(image->data(), image->data() + image->byteCount(), level);
    return image;
}

class ScreenCaptureTest : public testing::Test {
protected:
    TempFolder folder;
    Preferences store{folder.path() / "settings.json"};
    AppSettings settings{store};
    DispatchQueue main{"test.main"};
    std::shared_ptr<FakeCapture> backend = std::make_shared<FakeCapture>();
    ManualClock clock; // retries wait for it
    std::unique_ptr<ScreenCapture> capture;
    std::vector<std::string> reasons; // of each lost screen

    void SetUp() override {
        backend->list = {phoneDevice()};
        capture = std::make_unique<ScreenCapture>(backend, main, settings, clock);
        capture->setOnScreenLost([this](const std::string& reason) { reasons.push_back(reason); });
    }

    FakeSession& attach() {
        main.sync([&] { capture->attachIfNeeded(); });
        EXPECT_TRUE(eventually([&] {
            auto* s = backend->session();
            std::lock_guard lock(s->mutex);
            return static_cast<bool>(s->frame);
        }));
        return *backend->session();
    }
    void updateAudio() { std::lock_guard lock(capture->audioConfigLock()); capture->updateAudio(); }
};

} // namespace

TEST(ScreenCaptureChoice, FollowsTheVariableThenThePhonesOwnRules) {
    CaptureDeviceInfo webcam{"usb-3:video0", "Integrated Camera", "", "Chicony", "/dev/video0", true};
    CaptureDeviceInfo appleDisplay{"usb-4:video2", "Studio Display Camera", "", "Apple Inc.", "/dev/video2", true};
    CaptureDeviceInfo stick{"usb-5:video4", "USB3 HDMI Capture", "", "MacroSilicon", "/dev/video4", true};
    CaptureDeviceInfo named{"usb-6:video6", "HDMI for iPhone", "", "Generic", "/dev/video6", false};
    CaptureDeviceInfo phone = phoneDevice();

    EXPECT_EQ(ScreenCapture::chooseDevice({webcam, appleDisplay, stick}, std::nullopt), std::nullopt);
    EXPECT_EQ(ScreenCapture::chooseDevice({webcam, named, phone}, std::nullopt)->uniqueID, phone.uniqueID);
    EXPECT_EQ(ScreenCapture::chooseDevice({webcam, named}, std::nullopt)->uniqueID, named.uniqueID);
    EXPECT_EQ(ScreenCapture::chooseDevice({webcam, stick, phone}, "/dev/video4")->uniqueID, stick.uniqueID);
    EXPECT_EQ(ScreenCapture::chooseDevice({webcam, stick, phone}, "hdmi")->uniqueID, stick.uniqueID);
    EXPECT_EQ(ScreenCapture::chooseDevice({webcam, stick, phone}, "/dev/video9"), std::nullopt);
}

TEST_F(ScreenCaptureTest, KeepsTheLatestFrameAtItsSizeWithItsCountAndTime) {
    auto& session = attach();
    EXPECT_TRUE(logged("screen: streaming from iPhone Screen"));
    auto before = captureClockNow();
    session.push(picture(100));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 1; }));
    EXPECT_GE(capture->snapshot().lastFrameAt, before);
    // An unchanged picture is not a new frame; a changed one is.
    session.push(picture(100));
    session.push(picture(180));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 2; }));
    EXPECT_EQ(capture->latestImage()->row(0)[0], 180);
    session.push(picture(180, 800, 400));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 3; }));
    EXPECT_EQ(capture->latestImage()->width(), 800);
}

TEST_F(ScreenCaptureTest, StoppingEmptiesTheFrameAndAQueuedFrameCannotRefillIt) {
    auto& session = attach();
    session.push(picture(100));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 1; }));
    // Frames in flight while stopping must not come back as the latest frame.
    std::atomic<bool> pushing{true};
    std::thread pusher([&] {
        for (int level = 0; pushing; level = (level + 37) % 256)
            session.push(picture(static_cast<std::uint8_t>(level)));
    });
    std::this_thread::sleep_for(20ms);
    main.sync([&] { capture->stop(); });
    auto countAtStop = capture->frameCount();
    std::this_thread::sleep_for(100ms);
    pushing = false;
    pusher.join();
    EXPECT_EQ(std::tuple(capture->latestImage(), capture->frameCount(), capture->deviceUniqueID()),
              std::tuple(nullptr, countAtStop, std::nullopt));
    EXPECT_TRUE(eventually([&] { return session.stopped; }));
}

TEST_F(ScreenCaptureTest, UnpluggingOrAnErrorLosesTheScreenOnceAndAnErrorIsRetriedTwoSecondsLater) {
    auto& session = attach();
    session.push(picture(90));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 1; }));
    auto lastAt = capture->lastFrameAt();
    backend->event("some-other-device", false);
    backend->event("usb-1-2:video0", false);
    session.fail("No such device", true); // the session notices too; still one notice
    main.sync([] {});
    main.sync([] {});
    EXPECT_EQ(reasons, std::vector<std::string>{"the iPhone was disconnected"});
    EXPECT_EQ(capture->latestImage(), nullptr);
    EXPECT_EQ(capture->lastFrameAt(), lastAt);
    EXPECT_TRUE(logged("screen: iPhone video source disconnected"));
    backend->event("usb-1-2:video0", true);
    main.sync([] {});
    EXPECT_EQ(capture->deviceUniqueID(), "usb-1-2:video0");
    EXPECT_EQ(backend->opened, 2);

    reasons.clear();
    attach().fail("Input/output error", false); // once the new session has started
    main.sync([] {});
    EXPECT_TRUE(logged("screen: capture error Input/output error"));
    EXPECT_EQ(reasons, std::vector<std::string>{"screen capture failed"});
    EXPECT_EQ(capture->deviceUniqueID(), std::nullopt);
    clock.advance(1900ms);
    main.sync([] {});
    EXPECT_EQ(backend->opened, 2);
    clock.advance(200ms);
    main.sync([] {});
    main.sync([] {});
    EXPECT_EQ(backend->opened, 3);
}

TEST_F(ScreenCaptureTest, WithoutAPhoneOrWithOneThatWillNotOpenNothingIsAttachedAndTheLogSaysWhy) {
    backend->list = {CaptureDeviceInfo{"x", "Broken", "iOS Device", "Apple Inc.", "", true}};
    main.sync([&] { capture->attachIfNeeded(); });
    EXPECT_TRUE(logged("screen: can't open Broken: device busy"));
    EXPECT_EQ(capture->deviceUniqueID(), std::nullopt);

    // No phone among the devices: how to choose one is said once.
    backend->list = {CaptureDeviceInfo{"w", "Integrated Camera", "", "Chicony", "/dev/video0", true}};
    main.sync([&] { capture->attachIfNeeded(); });
    main.sync([&] { capture->attachIfNeeded(); });
    EXPECT_EQ(countLogged("screen: no iPhone capture device; to use one of the capture devices here, set "
                          "POKESCOPE_CAPTURE_DEVICE"),
              1);
    EXPECT_TRUE(logged("screen: capture device \"Integrated Camera\" at /dev/video0"));
    EXPECT_EQ(backend->opened, 0);
    // A feed without sound refuses listeners and keeps none.
    backend->list = {phoneDevice(false)};
    attach();
    EXPECT_FALSE(capture->setAudioListener("recorder", [](const AudioBufferRef&) {}));
    EXPECT_TRUE(logged("screen: the iPhone feed has no audio"));
    EXPECT_TRUE(capture->setAudioListener("recorder", nullptr));
}

TEST_F(ScreenCaptureTest, SoundReachesListenersOnlyWhileRegisteredAndEachOnItsOwn) {
    auto& session = attach();
    std::atomic<int> heard{0}, others{0};
    std::atomic<bool> removed{false}, calledAfterRemoval{false}, pushing{true}, done{false};
    ASSERT_TRUE(capture->setAudioListener("recorder", [&](const AudioBufferRef&) {
        calledAfterRemoval = calledAfterRemoval || removed;
        std::this_thread::sleep_for(2ms); // so that removal meets a call under way
        ++heard;
    }));
    EXPECT_TRUE(session.hasAudioOutput());
    std::thread pusher([&] {
        while (pushing)
            session.pushSound(0.5f);
    });
    ASSERT_TRUE(eventually([&] { return heard > 5; }));
    EXPECT_TRUE(capture->setAudioListener("recorder", nullptr));
    removed = true;
    std::this_thread::sleep_for(50ms);
    pushing = false;
    pusher.join();
    EXPECT_FALSE(calledAfterRemoval);
    EXPECT_FALSE(session.hasAudioOutput()); // nobody listens and nothing keeps it connected

    // Listeners may change listeners from their own call, and one that throws stops no other.
    ASSERT_TRUE(capture->setAudioListener("transcriber", [&](const AudioBufferRef&) {
        if (!done.exchange(true)) {
            capture->setAudioListener("recorder", [&](const AudioBufferRef&) { ++others; });
            capture->setAudioListener("transcriber", [](const AudioBufferRef&) { throw std::runtime_error("bad buffer"); });
        }
    }));
    for (int i = 0; i < 50 && others < 3; ++i) {
        session.pushSound(0.1f);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_GE(others, 3);
    EXPECT_TRUE(eventually([] { return logged("screen: the transcriber sound listener failed: bad buffer"); }));
    capture->setAudioListener("recorder", nullptr);
}



TEST_F(ScreenCaptureTest, SoundStaysConnectedWhileTheLinkIsReadyAndTheSettingsAsk) {
    std::atomic<bool> ready{false};
    capture->setLinkReady([&] { return ready.load(); });
    auto& session = attach();
    EXPECT_FALSE(session.hasAudioOutput());
    ready = true;
    updateAudio(); // as the link's change makes the composition root do
    EXPECT_TRUE(session.hasAudioOutput());
    // With nothing to play on, the preview is tried once and reported.
    EXPECT_TRUE(logged("screen: can't play the iPhone's sound on this computer: no sound output on this computer"));
    settings.setKeepAudioConnected(false);
    updateAudio();
    EXPECT_FALSE(session.hasAudioOutput());

    // Playback that works, turned off, leaves listeners hearing.
    capture = std::make_unique<ScreenCapture>(backend, main, settings);
    auto& playing = attach();
    playing.canPlay = true;
    std::atomic<int> heard{0};
    ASSERT_TRUE(capture->setAudioListener("recorder", [&](const AudioBufferRef&) { ++heard; }));
    EXPECT_TRUE(playing.hasPlayback());
    settings.setPlayAudioOnMac(false);
    updateAudio();
    EXPECT_FALSE(playing.hasPlayback());
    EXPECT_TRUE(playing.hasAudioOutput());
    playing.pushSound(0.2f);
    EXPECT_TRUE(eventually([&] { return heard > 0; }));
    capture->setAudioListener("recorder", nullptr);
}

// A source's pace is measured between the frames of one change: a phone that stutters under load sends an
// animation's frames 200 ms apart, and quiet shorter than that proves nothing; the pause between two
// changes is no frame interval.
TEST_F(ScreenCaptureTest, MeasuresTheSourcesPaceBetweenTheFramesOfAChange) {
    auto& session = attach();
    const TimePoint start = captureClockNow() - 10s;
    long count = 0;
    auto push = [&](int level, Duration at) {
        session.push(picture(static_cast<std::uint8_t>(level)), start + at);
        ASSERT_TRUE(eventually([&] { return capture->frameCount() == count + 1; }));
        ++count;
    };
    for (int i = 0; i < 6; ++i)
        push(40 * i, 200ms * i);
    EXPECT_EQ(capture->stillness().interval, 200ms);
    for (int i = 0; i < 5; ++i) // a pointer wiggled a second later, each move ten frames at 60 a second
        push(240 - 40 * (i % 2), 2s + 700ms * i);
    EXPECT_EQ(capture->stillness().interval, 200ms);
    for (int i = 0; i < 6; ++i)
        push(40 * i, 6s + 17ms * i);
    EXPECT_EQ(capture->stillness().interval, 17ms);
}

// The screen is at rest once a frame captured `still` after the last change (and after the action) showed
// nothing new, or, from a source that sends only changes, once a change captured `still` after the last
// one would have arrived (two of the source's intervals and the longest delay later); never while a
// delivered frame waits to be read. The last change's own delay is not counted twice.
TEST(ScreenCaptureStillness, ByALaterUnchangedFrameOrByQuietLongerThanTheDelay) {
    using namespace std::chrono_literals;
    const TimePoint t0 = TimePoint{} + 100s, action = t0 + 1s;
    auto facts = [&](Duration seen, Duration change, Duration arrived, Duration delay, bool pending = false,
                     Duration interval = 0ms) {
        return Stillness{t0 + seen, t0 + change, t0 + arrived, delay, interval, pending};
    };
    struct Case {
        const char* what;
        Stillness facts;
        Duration now;
        bool still;
    } cases[] = {
        {"an unchanged frame captured 300 ms after the action", facts(1300ms, 500ms, 560ms, 60ms), 1310ms, true},
        {"the newest frame is too early", facts(1250ms, 500ms, 560ms, 60ms), 1310ms, false},
        {"a change after the action restarts the count", facts(1500ms, 1300ms, 1360ms, 60ms), 1560ms, false},
        {"and a frame 300 ms after it ends it", facts(1600ms, 1300ms, 1360ms, 60ms), 1660ms, true},
        {"quiet since the action, shorter than still plus the delay", facts(0ms, 500ms, 560ms, 250ms), 1500ms, false},
        {"quiet since the action, longer than still plus the delay", facts(0ms, 500ms, 560ms, 250ms), 1560ms, true},
        {"quiet, but a frame waits to be read", facts(0ms, 500ms, 560ms, 250ms, true), 1900ms, false},
        {"a late change arrived after the action", facts(0ms, 1200ms, 1450ms, 250ms), 1740ms, false},
        {"and quiet long enough after its capture", facts(0ms, 1200ms, 1450ms, 250ms), 1750ms, true},
        {"350 ms more, from a source that sends a change's frames 200 ms apart",
         facts(0ms, 1200ms, 1450ms, 250ms, false, 200ms), 2100ms, false},
        {"and 400 ms more (two of its intervals)", facts(0ms, 1200ms, 1450ms, 250ms, false, 200ms), 2150ms, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.facts.still(action, 300ms, t0 + c.now), c.still) << c.what;
}
