#include "capture/ScreenCapture.hpp"
#include "core/Notifications.hpp"

#include "core/AppSettings.hpp"
#include "core/Log.hpp"
#include "tests/capture/FakeCapture.hpp"
#include "tests/support/LogLines.hpp"
#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
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
    NotificationCenter notifications;
    std::shared_ptr<FakeCapture> backend = std::make_shared<FakeCapture>();
    std::unique_ptr<ScreenCapture> capture;

    void SetUp() override {
        backend->list = {phoneDevice()};
        capture = std::make_unique<ScreenCapture>(backend, main, settings, notifications);
    }
    void TearDown() override { capture.reset(); }

    FakeSession& attach() {
        main.sync([&] { capture->attachIfNeeded(); });
        EXPECT_TRUE(eventually([&] {
            auto* s = backend->session();
            std::lock_guard lock(s->mutex);
            return static_cast<bool>(s->frame);
        }));
        return *backend->session();
    }
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

TEST_F(ScreenCaptureTest, KeepsTheLatestFrameWithItsCountAndTime) {
    auto& session = attach();
    EXPECT_TRUE(logged("screen: streaming from iPhone Screen"));
    EXPECT_EQ(capture->deviceUniqueID(), "usb-1-2:video0");
    auto before = captureClockNow();
    session.push(picture(100));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 1; }));
    auto snapshot = capture->snapshot();
    EXPECT_GE(snapshot.lastFrameAt, before);
    EXPECT_EQ(snapshot.latest->width(), 400);
    // An unchanged picture is not a new frame; a changed one is.
    session.push(picture(100));
    session.push(picture(180));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 2; }));
    EXPECT_EQ(capture->latestImage()->row(0)[0], 180);
}

TEST_F(ScreenCaptureTest, FramesOfANewSizeArriveAtTheirSize) {
    auto& session = attach();
    session.push(picture(100, 400, 800));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 1; }));
    session.push(picture(100, 800, 400));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 2; }));
    EXPECT_EQ(capture->latestImage()->width(), 800);
}

TEST_F(ScreenCaptureTest, StoppingEmptiesTheFrameAndAQueuedFrameCannotRefillIt) {
    auto& session = attach();
    session.push(picture(100));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 1; }));
    auto lastAt = capture->lastFrameAt();
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
    EXPECT_EQ(capture->latestImage(), nullptr);
    EXPECT_EQ(capture->frameCount(), countAtStop);
    EXPECT_GE(capture->lastFrameAt(), lastAt);
    EXPECT_EQ(capture->deviceUniqueID(), std::nullopt);
    EXPECT_TRUE(eventually([&] { return session.stopped; }));
}

TEST_F(ScreenCaptureTest, UnpluggingPostsScreenLostOnceAndEmptiesTheFrame) {
    std::vector<std::optional<std::string>> reasons;
    auto observer = notifications.addObserver(kScreenLostNotification,
                                                             [&](const auto& reason) { reasons.push_back(reason); });
    auto& session = attach();
    session.push(picture(90));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() == 1; }));
    auto lastAt = capture->lastFrameAt();
    backend->event("some-other-device", false);
    backend->event("usb-1-2:video0", false);
    session.fail("No such device", true); // the session notices too; still one notice
    main.sync([] {});
    main.sync([] {});
    EXPECT_EQ(reasons, std::vector<std::optional<std::string>>{std::string("the iPhone was disconnected")});
    EXPECT_EQ(capture->latestImage(), nullptr);
    EXPECT_EQ(capture->lastFrameAt(), lastAt);
    EXPECT_TRUE(logged("screen: iPhone video source disconnected"));
    // Plugging it back attaches again.
    backend->event("usb-1-2:video0", true);
    main.sync([] {});
    EXPECT_EQ(capture->deviceUniqueID(), "usb-1-2:video0");
    EXPECT_EQ(backend->opened, 2);
}

TEST_F(ScreenCaptureTest, ARuntimeErrorIsLoggedAndRetriedTwoSecondsLater) {
    ManualClock clock;
    capture = std::make_unique<ScreenCapture>(backend, main, settings, notifications, clock);
    std::vector<std::optional<std::string>> reasons;
    auto observer = notifications.addObserver(kScreenLostNotification,
                                                             [&](const auto& reason) { reasons.push_back(reason); });
    auto& session = attach();
    session.fail("Input/output error", false);
    main.sync([] {});
    EXPECT_TRUE(logged("screen: capture error Input/output error"));
    EXPECT_EQ(reasons, std::vector<std::optional<std::string>>{std::string("screen capture failed")});
    EXPECT_EQ(capture->deviceUniqueID(), std::nullopt);
    clock.advance(1900ms);
    main.sync([] {});
    EXPECT_EQ(backend->opened, 1);
    clock.advance(200ms);
    main.sync([] {});
    main.sync([] {});
    EXPECT_EQ(backend->opened, 2);
}

TEST_F(ScreenCaptureTest, ADeviceThatWillNotOpenIsLogged) {
    backend->list = {CaptureDeviceInfo{"x", "Broken", "iOS Device", "Apple Inc.", "", true}};
    main.sync([&] { capture->attachIfNeeded(); });
    EXPECT_TRUE(logged("screen: can't open Broken: device busy"));
    EXPECT_EQ(capture->deviceUniqueID(), std::nullopt);
}

TEST_F(ScreenCaptureTest, NoPhoneAmongTheDevicesSaysHowToChooseOneOnce) {
    backend->list = {CaptureDeviceInfo{"w", "Integrated Camera", "", "Chicony", "/dev/video0", true}};
    main.sync([&] { capture->attachIfNeeded(); });
    main.sync([&] { capture->attachIfNeeded(); });
    auto lines = Log::shared().lines();
    auto count = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("screen: no iPhone capture device; to use one of the capture devices here, set "
                         "POKESCOPE_CAPTURE_DEVICE") != std::string::npos;
    });
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(logged("screen: capture device \"Integrated Camera\" at /dev/video0"));
    EXPECT_EQ(backend->opened, 0);
}

TEST_F(ScreenCaptureTest, SoundReachesListenersOnlyWhileRegistered) {
    auto& session = attach();
    std::atomic<int> heard{0};
    std::atomic<bool> removed{false};
    std::atomic<bool> calledAfterRemoval{false};
    ASSERT_TRUE(capture->setAudioListener("recorder", [&](const AudioBufferRef& buffer) {
        if (removed)
            calledAfterRemoval = true;
        EXPECT_EQ(buffer->frames(), 960u);
        std::this_thread::sleep_for(2ms);
        ++heard;
    }));
    EXPECT_TRUE(session.hasAudioOutput());
    std::atomic<bool> pushing{true};
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
}

TEST_F(ScreenCaptureTest, ListenersMayRegisterAndRemoveListenersFromTheirOwnCall) {
    auto& session = attach();
    std::atomic<int> second{0};
    std::atomic<bool> done{false};
    ASSERT_TRUE(capture->setAudioListener("transcriber", [&](const AudioBufferRef&) {
        if (!done.exchange(true)) {
            capture->setAudioListener("recorder", [&](const AudioBufferRef&) { ++second; });
            capture->setAudioListener("transcriber", nullptr);
        }
    }));
    for (int i = 0; i < 50 && second == 0; ++i) {
        session.pushSound(0.1f);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_GT(second, 0);
    capture->setAudioListener("recorder", nullptr);
}

TEST_F(ScreenCaptureTest, AListenerThatThrowsIsLoggedAndOthersKeepHearing) {
    auto& session = attach();
    std::atomic<int> heard{0};
    capture->setAudioListener("transcriber", [](const AudioBufferRef&) { throw std::runtime_error("bad buffer"); });
    capture->setAudioListener("recorder", [&](const AudioBufferRef&) { ++heard; });
    for (int i = 0; i < 20 && heard < 3; ++i) {
        session.pushSound(0.1f);
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_GE(heard, 3);
    EXPECT_TRUE(eventually([] { return logged("screen: the transcriber sound listener failed: bad buffer"); }));
}

TEST_F(ScreenCaptureTest, AFeedWithoutSoundRefusesListenersAndKeepsNone) {
    backend->list = {phoneDevice(false)};
    attach();
    EXPECT_FALSE(capture->setAudioListener("recorder", [](const AudioBufferRef&) {}));
    EXPECT_TRUE(logged("screen: the iPhone feed has no audio"));
    EXPECT_TRUE(capture->setAudioListener("recorder", nullptr));
}

TEST_F(ScreenCaptureTest, SoundStaysConnectedWhileTheLinkIsReadyAndTheSettingAsks) {
    std::atomic<bool> ready{false};
    capture->setLinkReady([&] { return ready.load(); });
    auto& session = attach();
    EXPECT_FALSE(session.hasAudioOutput());
    ready = true;
    notifications.post(kBluetoothStateChangedNotification);
    main.sync([] {});
    EXPECT_TRUE(session.hasAudioOutput());
    // With nothing to play on, the preview is tried once and reported.
    EXPECT_TRUE(logged("screen: can't play the iPhone's sound on this computer: no sound output on this computer"));
    settings.setKeepAudioConnected(false);
    {
        std::lock_guard lock(capture->audioConfigLock());
        capture->updateAudio();
    }
    EXPECT_FALSE(session.hasAudioOutput());
}

TEST_F(ScreenCaptureTest, TurningPlaybackOffKeepsListenersHearing) {
    auto& session = attach();
    session.canPlay = true;
    std::atomic<int> heard{0};
    ASSERT_TRUE(capture->setAudioListener("recorder", [&](const AudioBufferRef&) { ++heard; }));
    EXPECT_TRUE(session.hasPlayback());
    settings.setPlayAudioOnMac(false);
    {
        std::lock_guard lock(capture->audioConfigLock());
        capture->updateAudio();
    }
    EXPECT_FALSE(session.hasPlayback());
    EXPECT_TRUE(session.hasAudioOutput());
    session.pushSound(0.2f);
    EXPECT_TRUE(eventually([&] { return heard > 0; }));
    capture->setAudioListener("recorder", nullptr);
}

TEST_F(ScreenCaptureTest, TheWindowGetsAtMostFifteenFramesASecond) {
    std::atomic<int> shown{0};
    capture->setOnFrame([&](const ImageRef&) { ++shown; });
    auto& session = attach();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 120; ++i) {
        session.push(picture(static_cast<std::uint8_t>(i % 2 ? 50 : 200)));
        std::this_thread::sleep_for(4ms);
    }
    main.sync([] {});
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(capture->frameCount(), 30);
    EXPECT_GE(shown, 1);
    EXPECT_LE(shown, static_cast<int>(elapsed * 15) + 1);
}

TEST_F(ScreenCaptureTest, ReadersAlwaysSeeAConsistentSnapshot) {
    auto& session = attach();
    std::atomic<bool> running{true};
    std::vector<std::thread> readers;
    std::atomic<int> problems{0};
    for (int r = 0; r < 4; ++r)
        readers.emplace_back([&] {
            long lastCount = 0;
            TimePoint lastTime{};
            while (running) {
                auto snapshot = capture->snapshot();
                if (snapshot.frameCount < lastCount || snapshot.lastFrameAt < lastTime ||
                    (snapshot.frameCount > 0 && !snapshot.latest))
                    ++problems;
                lastCount = snapshot.frameCount;
                lastTime = snapshot.lastFrameAt;
            }
        });
    for (int i = 0; i < 200; ++i)
        session.push(picture(static_cast<std::uint8_t>(i % 2 ? 40 : 220)));
    ASSERT_TRUE(eventually([&] { return capture->frameCount() > 10; }));
    running = false;
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(problems, 0);
}
