// The Bluetooth self-tests: the pointer drawn in circles ("wiggle") and calibrated pointing with the
// screen's text read back ("input"). Both wait on the main queue for a ready link, do their blocking part
// on a queue of their own, and end on the main queue, so that a time-out can always end them.
#include "app/SelfTest.hpp"
#include "app/SelfTestModes.hpp"

#include "core/Log.hpp"
#include "app/Services.hpp"
#include "capture/ScreenCapture.hpp"
#include "device/MobileDevice.hpp"
#include "input/InputEngine.hpp"
#include "platform/Process.hpp"
#include "vision/ScreenText.hpp"

#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

namespace pokescope::SelfTest::Modes {

namespace {

constexpr auto kStepInterval = std::chrono::milliseconds(25);
constexpr auto kSettle = std::chrono::milliseconds(150);
constexpr PointD kTargets[] = {{0.5, 0.5}, {0.25, 0.3}, {0.75, 0.7}, {0.5, 0.9}};

bool linkReady(Services& services) {
    return services.hid.state() == BluetoothHID::State::ready;
}

// Takes the HID device down, so the phone is not left paired to a keyboard that no longer answers, and
// ends the process; on the main queue.
[[noreturn]] void end(Services& services, int status) {
    services.hid.stop();
    exitProcess(status);
}

// Device discovery, screen capture and the HID device for the first phone that trusts this computer and
// has told its Bluetooth address.
void startPhone(Services& services) {
    auto& device = services.device;
    device.setOnChange([&services](const std::vector<PhoneInfo>& phones) {
        auto& hid = services.hid;
        for (const auto& phone : phones) {
            if (!phone.paired || phone.bluetoothAddress.empty())
                continue;
            if (hid.phoneAddress() != BluetoothHID::normalisedAddress(phone.bluetoothAddress)) {
                hid.setPhoneAddress(phone.bluetoothAddress);
                hid.start();
            }
            return;
        }
    });
    device.start();
    services.capture.start();
}

// Checks every second until the link is ready, then runs `then` once.
void whenReady(Services& services, std::function<void()> then) {
    DispatchQueue::main().asyncAfter(std::chrono::seconds(1), [&services, then = std::move(then)]() mutable {
        if (linkReady(services))
            then();
        else
            whenReady(services, std::move(then));
    });
}

DispatchQueue& worker() {
    static auto* queue = new DispatchQueue("pokescope.selftest"); // lives until the process ends
    return *queue;
}

// Pixel positions as whole pixels, cut as the input engine's own lines cut them, so both read alike.
std::string whole(double value) {
    return std::to_string(static_cast<long long>(value));
}

std::string summary(const Calibration& calibration) {
    char text[200];
    std::snprintf(text, sizeof text, "%.2f x %.2f px/unit, park at %.0f,%.0f, fine ", calibration.gainX,
                  calibration.gainY, calibration.offsetX, calibration.offsetY);
    std::string line = text;
    if (calibration.fineGain) {
        std::snprintf(text, sizeof text, "%.2f px/unit", *calibration.fineGain);
        line += text;
    } else {
        line += "? px/unit";
    }
    line += ", right park at " + (calibration.rightX ? whole(*calibration.rightX) : std::string("?"));
    return line;
}

// The self-test's own engine: it calibrates without replacing the calibration the application keeps.
InputEngine& engine(Services& services) {
    static auto* made = new InputEngine(
        InputEngine::linkTo(services.hid), InputEngine::framesOf(services.capture),
        InputEngine::Options{{},
                             [](const std::string& line) { Log::shared().add(line); },
                             [] { return InputEngine::debugDirFromEnvironment(""); },
                             nullptr,
                             {},
                             [&services] { return services.pointerTiming(); }});
    return *made;
}

// True when the pointer was found within the engine's arrival tolerance of `target`.
bool pointAt(InputEngine& input, PointD target) {
    const std::string aimed = "selftest target " + whole(target.x) + "," + whole(target.y);
    try {
        input.moveTo(target, true, 0);
        std::this_thread::sleep_for(kSettle);
        auto found = input.locatePointer(target);
        if (!found) {
            Log::shared().add(aimed + " -> pointer not found");
            return false;
        }
        char error[32];
        std::snprintf(error, sizeof error, "%.1f", std::hypot(found->x - target.x, found->y - target.y));
        Log::shared().add(aimed + " -> pointer " + whole(found->x) + "," + whole(found->y) + " error " +
                          error + " px");
        return std::abs(found->x - target.x) <= InputEngine::kArrivalTolerance &&
               std::abs(found->y - target.y) <= InputEngine::kArrivalTolerance;
    } catch (const std::exception& e) {
        Log::shared().add(std::string("selftest input error: ") + e.what());
        return false;
    }
}

void calibrateAndPoint(Services& services) {
    auto& input = engine(services);
    Calibration calibration;
    try {
        calibration = input.calibrate();
    } catch (const std::exception& e) {
        Log::shared().add(std::string("selftest input error: ") + e.what());
        // Pointing needs a calibration: nothing is left to test.
        DispatchQueue::main().async([&services] { end(services, 1); });
        return;
    }
    Log::shared().add("selftest calibration " + summary(calibration));

    auto frame = services.capture.latestImage();
    const double width = frame ? frame->width() : 0, height = frame ? frame->height() : 0;
    bool landed = true;
    for (PointD fraction : kTargets)
        landed = pointAt(input, {fraction.x * width, fraction.y * height}) && landed;

    frame = services.capture.latestImage();
    auto items = frame ? ScreenText::read(*frame, *services.backends().recognizer) : std::vector<TextItem>{};
    std::string texts;
    for (const auto& item : items)
        texts += (texts.empty() ? "" : " | ") + item.text;
    Log::shared().add("selftest OCR " + std::to_string(items.size()) + " items: " + texts);
    const bool passed = reportPicture(frame, kInputPicturePath) && landed;
    DispatchQueue::main().async([&services, passed] { end(services, passed ? 0 : 1); });
}

} // namespace

void wiggle(Services& services, Duration timeout) {
    startPhone(services);
    DispatchQueue::main().asyncAfter(timeout, [&services] {
        Log::shared().add("selftest timeout");
        end(services, 1);
    });
    whenReady(services, [&services] {
        worker().async([&services] {
            auto& hid = services.hid;
            int unsent = 0;
            const auto started = std::chrono::steady_clock::now();
            for (int step = 0; step < kWiggleSteps; ++step) {
                std::this_thread::sleep_until(started + step * kStepInterval);
                auto [dx, dy] = wiggleStep(step);
                if (!hid.pointer(0, dx, dy))
                    ++unsent;
            }
            if (unsent)
                Log::shared().add("selftest wiggle: " + std::to_string(unsent) + " of " +
                                  std::to_string(kWiggleSteps) + " reports were not sent");
            DispatchQueue::main().async([&services, unsent] {
                Log::shared().add("selftest wiggle done, frames=" + std::to_string(services.capture.frameCount()));
                end(services, unsent ? 1 : 0);
            });
        });
    });
}

void input(Services& services, Duration timeout) {
    startPhone(services);
    DispatchQueue::main().asyncAfter(timeout, [&services] {
        Log::shared().add(std::string("selftest timeout (bluetooth ready=") +
                          (linkReady(services) ? "true" : "false") + ")");
        end(services, 1);
    });
    whenReady(services, [&services] { engine(services).queue().async([&services] { calibrateAndPoint(services); }); });
}

} // namespace pokescope::SelfTest::Modes
