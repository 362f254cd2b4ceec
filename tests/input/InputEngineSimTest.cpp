// The input engine against the simulated phone through the real socket path: our HID device, the phone's
// HID host with its own acceleration and jitter, and frames that arrive late through screen capture.
#include "core/AppSettings.hpp"
#include "core/Log.hpp"
#include "bluetooth/BluetoothHID.hpp"
#include "capture/ScreenCapture.hpp"
#include "input/InputEngine.hpp"
#include "sim/SimBluetooth.hpp"
#include "sim/SimCapture.hpp"
#include "sim/SimHidHost.hpp"
#include "sim/SimPhone.hpp"
#include "tests/support/TestSupport.hpp"

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

// One simulated phone wired to our HID device, a screen capture and an engine.
struct Rig {
    TempFolder folder;
    Preferences store{folder.path() / "settings.json"};
    AppSettings settings{store};
    DispatchQueue main{"test.main"};
    NotificationCenter notifications;
    std::shared_ptr<SimPhone> phone;
    std::shared_ptr<SimBluetooth> host;
    std::unique_ptr<BluetoothHID> hid;
    std::unique_ptr<ScreenCapture> capture;
    std::unique_ptr<InputEngine> engine;
    std::vector<std::string> lines;
    std::mutex linesMutex;

    explicit Rig(SimOptions options, std::optional<SimPointerSettings> pointer = std::nullopt) {
        options.assistiveTouch = true;
        phone = std::make_shared<SimPhone>(options);
        host = std::make_shared<SimBluetooth>(phone);
        hid = std::make_unique<BluetoothHID>(host, main, notifications);
        capture = std::make_unique<ScreenCapture>(std::make_shared<SimCapture>(phone), main, settings, notifications);
        main.sync([&] { capture->start(); });
        hid->setPhoneAddress(options.bluetoothAddress);
        hid->start();
        EXPECT_TRUE(eventually([&] { return hid->state() == BluetoothHID::State::ready; }));
        EXPECT_TRUE(eventually([&] { return capture->latestImage() != nullptr; }));
        if (pointer && host->hidHost())
            host->hidHost()->setPointerSettings(*pointer);
        InputEngine::Options engineOptions;
        engineOptions.calibrationFile = folder.path() / "calibration.json";
        engineOptions.debugDir = [] { return InputEngine::debugDirFromEnvironment(""); };
        engineOptions.log = [this](const std::string& line) {
            std::lock_guard lock(linesMutex);
            lines.push_back(line);
            std::cout << Log::format(line) << std::endl; // beside the link's lines, for reading a failure
        };
        engine = std::make_unique<InputEngine>(InputEngine::linkTo(*hid), InputEngine::framesOf(*capture),
                                               engineOptions);
    }
    ~Rig() {
        engine.reset();
        hid.reset();
        main.sync([&] { capture->stop(); });
        capture.reset();
        main.sync([] {});
    }
    // Runs on the engine's queue, as the application does.
    template <class F> auto run(F&& f) { return engine->queue().sync(std::forward<F>(f)); }
};

struct Errors {
    std::vector<double> values;
    double percentile(double p) {
        std::sort(values.begin(), values.end());
        return values[std::min(values.size() - 1, static_cast<std::size_t>(p * (values.size() - 1) + 0.5))];
    }
};

void calibrateAndTapGrid(Rig& rig, const char* name) {
    auto started = std::chrono::steady_clock::now();
    Calibration c = rig.run([&] { return rig.engine->calibrate(); });
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_TRUE(std::filesystem::exists(rig.folder.path() / "calibration.json"));
    // The calibration predicts where the pointer goes: a plain move (no correction) lands near the target.
    Errors errors;
    int outside = 0;
    // Targets and errors are in frame pixels; through an HDMI adapter a frame pixel covers several of the
    // phone's own.
    auto frame = rig.capture->latestImage();
    ASSERT_TRUE(frame);
    const double width = frame->width(), height = frame->height(), perPhonePixel = width / SimScreen::kWidth;
    for (int row = 0; row < 10; ++row)
        for (int column = 0; column < 5; ++column) {
            PointD target{width * (0.1 + 0.2 * column), height * (0.07 + 0.095 * row)};
            rig.run([&] { rig.engine->moveTo(target, true, 0); });
            auto [phoneX, phoneY] = rig.phone->screen().pointer();
            double x = phoneX * perPhonePixel, y = phoneY * perPhonePixel;
            double error = std::max(std::abs(x - target.x), std::abs(y - target.y));
            errors.values.push_back(error);
            if (std::abs(x - target.x) > 12 || std::abs(y - target.y) > 12) {
                ++outside;
                ADD_FAILURE() << name << ": aimed at " << target.x << "," << target.y << ", the phone's pointer is at "
                              << x << "," << y;
            }
        }
    std::cout << name << ": frame " << width << "x" << height << ", calibration " << seconds << " s, gain " << c.gainX << " x " << c.gainY << ", fine "
              << c.fineGain.value_or(0) << "; landing error median " << errors.percentile(0.5) << " px, p95 "
              << errors.percentile(0.95) << " px, max " << errors.percentile(1.0) << " px, outside " << outside
              << "/50\n";
}

} // namespace

TEST(InputEngineSim, CalibratesAndLandsOnAGridWithThePhonesDefaultPointer) {
    Rig rig(SimOptions{});
    calibrateAndTapGrid(rig, "default pointer");
}

TEST(InputEngineSim, CalibratesAndLandsOnAGridWithASteeperAcceleration) {
    Rig rig(SimOptions{}, SimPointerSettings{.slowGain = 1.0, .fastGain = 6.0, .saturation = 1.5, .exponent = 1.6});
    calibrateAndTapGrid(rig, "steep acceleration");
}

TEST(InputEngineSim, CalibratesAndLandsOnAGridThroughAnHdmiAdapter) {
    SimOptions options;
    options.hdmiAdapter = true;
    Rig rig(options);
    calibrateAndTapGrid(rig, "hdmi adapter");
}

TEST(InputEngineSim, APhoneAtTopTrackingSpeedIsTooFast) {
    Rig rig(SimOptions{}, SimPointerSettings{.tooFast = true});
    try {
        rig.run([&] { rig.engine->calibrate(); });
        ADD_FAILURE() << "calibrated a pointer that flies";
    } catch (const InputEngine::InputError& error) {
        EXPECT_EQ(error.which, InputEngine::ErrorCase::tooFast);
    }
    EXPECT_FALSE(rig.engine->calibration());
}

TEST(InputEngineSim, TypesEveryPrintableAsciiCharacter) {
    Rig rig(SimOptions{});
    rig.phone->screen().openApp("Notes", std::chrono::steady_clock::now());
    std::this_thread::sleep_for(800ms);
    rig.phone->screen().tap(SimScreen::kWidth / 2.0, SimScreen::kHeight * 0.35, std::chrono::steady_clock::now());
    std::this_thread::sleep_for(500ms);
    std::string text;
    for (char c = ' '; c <= '~'; ++c)
        text += c;
    rig.run([&] { rig.engine->type(text); });
    EXPECT_TRUE(eventually([&] { return rig.phone->screen().fieldText() == text; }, 10s))
        << rig.phone->screen().fieldText();
    EXPECT_EQ(rig.host->hidHost()->rejectedReports(), 0) << rig.host->hidHost()->lastRejection();
}
