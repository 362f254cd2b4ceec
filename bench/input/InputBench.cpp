// The pointer engine's costs: finding the pointer in four full phone frames (grey copies and the wiggle
// blob), and, against the simulated phone over the real HID socket path, how long calibration takes and
// how far moves to random targets land from them, as the phone itself reports its pointer. With --sim,
// the phone is the one those POKESCOPE_SIM words describe (once per --sim: the matrix of phones).
//
// Usage: input-bench [--detect-only] [--targets N] [--sim WORDS]...
#include "core/AppSettings.hpp"
#include "core/Log.hpp"
#include "bluetooth/BluetoothHID.hpp"
#include "capture/ScreenCapture.hpp"
#include "input/InputEngine.hpp"
#include "platform/Preferences.hpp"
#include "sim/SimBluetooth.hpp"
#include "sim/SimCapture.hpp"
#include "sim/SimPhone.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace pokescope;
using namespace pokescope::sim;
using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct Figures {
    double median, p90, p95, max;
};

Figures summarise(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    auto at = [&](double p) { return values[static_cast<std::size_t>(p * (values.size() - 1) + 0.5)]; };
    return {at(0.5), at(0.9), at(0.95), values.back()};
}

// Four frames of the simulated home screen with the pointer disc wiggled 20 px, as detection sees them.
std::vector<Image> wiggleFrames() {
    SimScreen screen;
    screen.setAssistiveTouch(true);
    auto now = SteadyClock::now();
    std::vector<Image> frames;
    for (int i = 0; i < 4; ++i) {
        screen.setPointer(600 + (i % 2) * 20, 1300);
        Image frame;
        screen.render(frame, now);
        frames.push_back(std::move(frame));
    }
    return frames;
}

void detection() {
    auto frames = wiggleFrames();
    std::vector<double> ms;
    std::optional<PointD> found;
    for (int run = 0; run < 60; ++run) {
        auto start = SteadyClock::now();
        found = FrameDiff::pointerCentroid(frames[0], frames[1], frames[2], frames[3], std::nullopt, std::nullopt);
        ms.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
    }
    ms.erase(ms.begin()); // warm-up
    auto f = summarise(ms);
    std::printf("detect: gray x4 + pointerCentroid on 1179x2556 frames: median %.2f ms, p90 %.2f ms, max %.2f ms"
                " (found %s)\n",
                f.median, f.p90, f.max, found ? "yes" : "no");
    std::vector<double> grey;
    for (int run = 0; run < 60; ++run) {
        auto start = SteadyClock::now();
        auto g = FrameDiff::gray(frames[0], 300);
        grey.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
    }
    f = summarise(grey);
    std::printf("detect: one gray(300): median %.2f ms\n", f.median);
}

void againstThePhone(int targets, const std::string& words) {
    auto folder = std::filesystem::temp_directory_path() / ("input-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    Preferences store(folder / "settings.json");
    AppSettings settings(store);
    DispatchQueue main("bench.main");
    SimOptions options;
    options.settings = SimSettings::parse("assistive-touch," + words);
    std::printf("phone: %s\n", options.settings.describe().c_str());
    auto phone = std::make_shared<SimPhone>(options);
    auto host = std::make_shared<SimBluetooth>(phone);
    BluetoothHID hid(host, main);
    ScreenCapture capture(std::make_shared<SimCapture>(phone), main, settings);
    main.sync([&] { capture.start(); });
    hid.setPhoneAddress(options.bluetoothAddress);
    hid.start();
    for (int i = 0; i < 3000 && (hid.state() != BluetoothHID::State::ready || !capture.latestImage()); ++i)
        std::this_thread::sleep_for(10ms);
    InputEngine::Options engineOptions;
    engineOptions.calibrationFile = folder / "calibration.json";
    engineOptions.log = [](const std::string& line) { Log::shared().add(line); };
    InputEngine engine(InputEngine::linkTo(hid), InputEngine::framesOf(capture), engineOptions);

    auto start = SteadyClock::now();
    Calibration calibration;
    try {
        calibration = engine.queue().sync([&] { return engine.calibrate(); });
    } catch (const std::exception& e) {
        std::printf("phone: calibration failed after %.1f s: %s\n",
                    std::chrono::duration<double>(SteadyClock::now() - start).count(), e.what());
        hid.stop();
        main.sync([&] { capture.stop(); });
        std::filesystem::remove_all(folder);
        return;
    }
    double calibrationSeconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    std::printf("phone: calibration %.1f s (gain %.2f x %.2f px/unit, fine %.2f)\n", calibrationSeconds,
                calibration.gainX, calibration.gainY, calibration.fineGain.value_or(0));

    // Targets in frame pixels, which through an adapter are not the phone's own.
    auto frame = capture.latestImage();
    const double perPhonePixel = static_cast<double>(frame->width()) / phone->screen().width();
    std::mt19937 random(2024);
    std::uniform_real_distribution<double> x(40, frame->width() - 40), y(60, frame->height() - 60);
    std::vector<double> errors, seconds;
    int within = 0;
    const auto air = options.settings.pointer.latency + options.settings.pointer.maxJitter + 20ms;
    for (int i = 0; i < targets; ++i) {
        PointD target{x(random), y(random)};
        auto moveStart = SteadyClock::now();
        engine.queue().sync([&] { engine.moveTo(target, true, 0); });
        seconds.push_back(std::chrono::duration<double>(SteadyClock::now() - moveStart).count());
        std::this_thread::sleep_for(air); // the last reports reach the phone
        auto [px, py] = phone->screen().pointer();
        px *= perPhonePixel, py *= perPhonePixel;
        double error = std::max(std::abs(px - target.x), std::abs(py - target.y));
        errors.push_back(error);
        within += error <= 12;
    }
    auto e = summarise(errors);
    auto s = summarise(seconds);
    std::printf("phone: moveTo over %d random targets: landing error (larger axis) median %.1f px, p95 %.1f px, "
                "max %.1f px; within 12 px: %d/%d; time per move median %.2f s, p95 %.2f s\n",
                targets, e.median, e.p95, e.max, within, targets, s.median, s.p95);
    hid.stop();
    main.sync([&] { capture.stop(); });
    std::filesystem::remove_all(folder);
}

} // namespace

int main(int argc, char** argv) {
    bool detectOnly = false;
    int targets = 50;
    std::vector<std::string> phones;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--detect-only") == 0)
            detectOnly = true;
        else if (std::strcmp(argv[i], "--targets") == 0 && i + 1 < argc)
            targets = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--sim") == 0 && i + 1 < argc)
            phones.push_back(argv[++i]);
    }
    if (phones.empty())
        phones.push_back("");
    detection();
    if (!detectOnly)
        for (const auto& words : phones)
            againstThePhone(targets, words);
    return 0;
}
