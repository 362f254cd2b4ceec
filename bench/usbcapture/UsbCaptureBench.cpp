// The screen straight over the USB cable against the capture adapter, on the same simulated phone:
//   decode  what one 1179 × 2556 picture from the phone costs to decode into BGRA (key pictures and the
//           pictures between them, from a run of simulated screens), with what the simulated phone pays to
//           encode it;
//   latency how long after the phone's screen changes the capture's latest frame shows the change, for a
//           change of the whole screen and for a small one (the pointer moving), through the USB
//           protocol path, through an HDMI capture adapter (1920 × 1080 at 30 frames a second, cropped),
//           and straight from the simulated phone (its own stream, which both others start from);
//   rate    frames reaching the latest frame per second while the screen changes all the time.
// The adapter's MJPEG decoding cost is measured beside this by capture-bench (scripts/bench usbcapture
// runs both).
//
// Usage: usbcapture-bench [--changes N]
#include "core/AppSettings.hpp"
#include "core/Log.hpp"
#include "capture/ScreenCapture.hpp"
#include "capture/UsbScreenCapture.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Preferences.hpp"
#include "platform/VideoCodec.hpp"
#include "sim/SimCapture.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimUsbScreen.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace pokescope;
using namespace pokescope::sim;
using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

struct Figures {
    double median = 0, p95 = 0, max = 0;
    std::size_t count = 0;
};

Figures summarise(std::vector<double> values) {
    if (values.empty())
        return {};
    std::sort(values.begin(), values.end());
    auto at = [&](double p) { return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5)]; };
    return {at(0.5), at(0.95), values.back(), values.size()};
}

double millisecondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count();
}

// The mean absolute difference of two pictures' colour channels over a rectangle given in shares of
// their (equal) size.
double difference(const Image& a, const Image& b, double x0, double y0, double x1, double y1) {
    if (a.width() != b.width() || a.height() != b.height())
        return 255;
    const int left = static_cast<int>(x0 * a.width()), right = static_cast<int>(x1 * a.width());
    const int top = static_cast<int>(y0 * a.height()), bottom = static_cast<int>(y1 * a.height());
    double total = 0;
    for (int y = top; y < bottom; ++y) {
        const std::uint8_t* pa = a.row(y);
        const std::uint8_t* pb = b.row(y);
        for (int x = left; x < right; ++x)
            for (int c = 0; c < 3; ++c)
                total += std::abs(int(pa[x * 4 + c]) - int(pb[x * 4 + c]));
    }
    return total / (3.0 * std::max(1, (right - left) * (bottom - top)));
}

// --- decode ---------------------------------------------------------------------------------------------

// The simulated screens a session goes through: home, Settings, scrolled, General, dark, the pointer
// moving; each picture as the phone draws it.
std::vector<Image> screens() {
    SimScreen screen;
    screen.setAssistiveTouch(true);
    auto now = SteadyClock::now();
    std::vector<Image> pictures;
    auto draw = [&](std::chrono::milliseconds later) {
        now += later;
        Image picture;
        if (!pictures.empty())
            picture = pictures.back();
        screen.render(picture, now);
        pictures.push_back(std::move(picture));
    };
    draw(0ms);
    for (int i = 0; i < 8; ++i) {
        screen.setPointer(300 + i * 60, 900 + i * 40, now);
        draw(16ms);
    }
    screen.openApp("Settings", now);
    for (int i = 0; i < 30; ++i)
        draw(16ms); // the app opening
    screen.setDarkMode(true);
    draw(16ms);
    screen.setDarkMode(false);
    draw(16ms);
    for (int i = 0; i < 8; ++i) {
        screen.setPointer(800 - i * 50, 1500 - i * 30, now);
        draw(16ms);
    }
    return pictures;
}

void decode() {
    auto pictures = screens();
    auto encoder = H264Encoder::create(SimScreen::kWidth, SimScreen::kHeight);
    std::vector<std::vector<NalUnit>> units;
    std::vector<double> encodeKey, encodeBetween;
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        const bool key = i == 0 || i == pictures.size() / 2;
        auto start = SteadyClock::now();
        units.push_back(encoder->encode(pictures[i], key));
        (key ? encodeKey : encodeBetween).push_back(millisecondsSince(start));
    }
    std::vector<double> decodeKey, decodeBetween;
    double worst = 0;
    for (int run = 0; run < 3; ++run) {
        auto decoder = H264Decoder::create(encoder->parameterSets().sps, encoder->parameterSets().pps,
                                           SimScreen::kWidth, SimScreen::kHeight);
        for (std::size_t i = 0; i < units.size(); ++i) {
            auto start = SteadyClock::now();
            auto picture = decoder->decode(units[i]);
            const double ms = millisecondsSince(start);
            if (!picture) {
                std::printf("decode: picture %zu gave nothing\n", i);
                continue;
            }
            (nal::isKeyframe(units[i]) ? decodeKey : decodeBetween).push_back(ms);
            if (run == 0)
                worst = std::max(worst, difference(*picture, pictures[i], 0, 0, 1, 1));
        }
    }
    std::size_t bytes = 0;
    for (const auto& unit : units)
        for (const auto& nal : unit)
            bytes += nal.size();
    auto show = [](const char* what, const std::vector<double>& values) {
        auto f = summarise(values);
        std::printf("  %-40s median %6.1f ms  p95 %6.1f ms  max %6.1f ms  (%zu)\n", what, f.median, f.p95, f.max,
                    f.count);
    };
    std::printf("decode: 1179x2556 H.264 to BGRA, %zu pictures of simulated screens, %.0f kB in all\n",
                pictures.size(), static_cast<double>(bytes) / 1024.0);
    show("decode, key picture (IDR)", decodeKey);
    show("decode, picture between (P)", decodeBetween);
    show("simulated phone's encode, key picture", encodeKey);
    show("simulated phone's encode, picture between", encodeBetween);
    std::printf("  largest mean error of a decoded picture: %.2f grey levels\n", worst);
}

// --- latency ----------------------------------------------------------------------------------------------

struct Path {
    const char* name;
    bool adapter;
    bool usb;
    const char* leaving; // what "leaving" means on this path; none when it cannot be told apart
};

struct Measured {
    double fromChange = -1; // from the screen changing on the phone
    double fromSent = -1;   // from the changed picture leaving the phone (FEED) or the adapter
};

class Rig {
public:
    explicit Rig(const Path& path) : usb_(path.usb) {
        store_ = std::make_unique<Preferences>(std::filesystem::path(std::getenv("HOME")) / "settings.json");
        settings_ = std::make_unique<AppSettings>(*store_);
        settings_->setPlayAudioOnMac(false);
        SimOptions options;
        options.settings.adapter = path.adapter;
        options.settings.assistiveTouch = true;
        phone = std::make_shared<SimPhone>(options);
        std::shared_ptr<CaptureBackend> backend;
        if (usb_) {
            auto host = std::make_shared<SimUsbScreenHost>(phone);
            host->setFeedObserver([this](SteadyClock::time_point sent) {
                std::lock_guard lock(mutex_);
                feeds_.push_back(sent);
            });
            backend = std::make_shared<UsbScreenCapture>(host);
        } else {
            backend = std::make_shared<SimCapture>(phone);
        }
        capture = std::make_unique<ScreenCapture>(backend, main_, *settings_);
        main_.sync([&] { capture->attachIfNeeded(); });
    }
    ~Rig() {
        main_.sync([&] { capture->stop(); });
        capture.reset();
        phone->stopScreen();
    }

    // Waits until the latest frame is `still` old, so that the next change starts from a quiet stream.
    ImageRef quiet(std::chrono::milliseconds still) {
        auto limit = SteadyClock::now() + 20s;
        while (SteadyClock::now() < limit) {
            if (capture->latestImage() && SteadyClock::now() - capture->lastFrameAt() >= still)
                return capture->latestImage();
            std::this_thread::sleep_for(5ms);
        }
        return capture->latestImage();
    }

    // Makes a change and measures until the latest frame shows it (negative figures when it never does).
    Measured measure(const std::function<void()>& change,
                     const std::function<bool(const Image& before, const Image& now)>& shows) {
        ImageRef before = quiet(250ms);
        if (!before)
            return {};
        const long delivered = phone->framesDelivered();
        std::optional<SteadyClock::time_point> leftAdapter;
        auto start = SteadyClock::now();
        change();
        while (millisecondsSince(start) < 5000) {
            if (!leftAdapter && phone->framesDelivered() != delivered)
                leftAdapter = SteadyClock::now();
            ImageRef now = capture->latestImage();
            if (now && now != before && shows(*before, *now)) {
                auto shown = SteadyClock::now();
                Measured measured;
                measured.fromChange = std::chrono::duration<double, std::milli>(shown - start).count();
                std::optional<SteadyClock::time_point> sent = leftAdapter;
                if (usb_) {
                    sent.reset();
                    std::lock_guard lock(mutex_);
                    for (auto at : feeds_)
                        if (at >= start) {
                            sent = at;
                            break;
                        }
                    feeds_.clear();
                }
                if (sent)
                    measured.fromSent = std::chrono::duration<double, std::milli>(shown - *sent).count();
                return measured;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(250));
        }
        return {};
    }

    std::shared_ptr<SimPhone> phone;
    std::unique_ptr<ScreenCapture> capture;

private:
    bool usb_;
    std::unique_ptr<Preferences> store_;
    std::unique_ptr<AppSettings> settings_;
    DispatchQueue main_{"bench.main"};
    std::mutex mutex_;
    std::vector<SteadyClock::time_point> feeds_;
};

void latency(int changes) {
    const Path paths[] = {{"USB screen sharing (H.264)", false, true, "from its FEED"},
                          {"HDMI capture adapter (1080p, 30/s)", true, false, nullptr},
                          {"phone's own stream, no coding", false, false, "from its delivery"}};
    std::printf("latency: until the latest frame shows a change, %d changes of each kind: from the change on the\n"
                "phone's screen (the simulated phone takes 45 ms to put out a picture it drew, and encodes it for\n"
                "USB), and from the changed picture leaving the phone (the adapter sends 30 pictures a second, so\n"
                "which one carries the change is not known there)\n",
                changes);
    for (const auto& path : paths) {
        Rig rig(path);
        auto ready = SteadyClock::now() + 60s;
        while (!rig.capture->latestImage() && SteadyClock::now() < ready)
            std::this_thread::sleep_for(10ms);
        if (!rig.capture->latestImage()) {
            std::printf("  %-36s no frame within 60 s\n", path.name);
            continue;
        }
        auto& screen = rig.phone->screen();
        screen.openApp("Settings", SteadyClock::now()); // a light page, so that dark mode changes all of it
        std::vector<double> whole, wholeSent, small, smallSent;
        int missed = 0;
        bool dark = false;
        auto keep = [&missed](const Measured& m, std::vector<double>& fromChange, std::vector<double>& fromSent) {
            if (m.fromChange < 0) {
                ++missed;
                return;
            }
            fromChange.push_back(m.fromChange);
            if (m.fromSent >= 0)
                fromSent.push_back(m.fromSent);
        };
        for (int i = 0; i < changes; ++i) {
            // The whole screen: Settings in dark mode or light.
            keep(rig.measure([&] { screen.setDarkMode(dark = !dark); },
                             [](const Image& before, const Image& now) {
                                 return difference(before, now, 0.1, 0.3, 0.9, 0.7) > 40;
                             }),
                 whole, wholeSent);
            // A small change: the pointer moves a fifth of the screen's width.
            const double x = i % 2 ? 0.35 : 0.55, y = 0.62;
            keep(rig.measure([&] { screen.setPointer(x * SimScreen::kWidth, y * SimScreen::kHeight); },
                             [x, y](const Image& before, const Image& now) {
                                 return difference(before, now, x - 0.03, y - 0.015, x + 0.03, y + 0.015) > 8;
                             }),
                 small, smallSent);
        }
        auto row = [&](const char* what, const std::vector<double>& values) {
            auto f = summarise(values);
            std::printf("  %-36s %-30s median %6.1f ms  p95 %6.1f ms  (%zu)\n", path.name, what, f.median, f.p95,
                        f.count);
        };
        const std::string leaving = path.leaving ? path.leaving : "";
        row("whole screen, from change", whole);
        if (path.leaving)
            row(("whole screen, " + leaving).c_str(), wholeSent);
        row("pointer, from change", small);
        if (path.leaving)
            row(("pointer, " + leaving).c_str(), smallSent);
        if (missed)
            std::printf("  %-36s %d changes never shown\n", path.name, missed);

        // Frames per second while the pointer moves all the time (a drag across the screen).
        rig.quiet(250ms);
        const long before = rig.capture->frameCount();
        auto start = SteadyClock::now();
        for (int step = 0; millisecondsSince(start) < 3000; ++step) {
            screen.setPointer(200 + (step * 7) % 800, 600 + (step * 3) % 1200);
            std::this_thread::sleep_for(8ms);
        }
        const double seconds = millisecondsSince(start) / 1000.0;
        std::printf("  %-36s %.1f frames a second while the pointer moves without pause\n", path.name,
                    static_cast<double>(rig.capture->frameCount() - before) / seconds);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char** argv) {
    int changes = 30;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--changes") == 0 && i + 1 < argc) {
            changes = std::max(1, std::atoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: usbcapture-bench [--changes N]\n");
            return 2;
        }
    }
    // A home of its own: the log and settings of the bench never touch the user's.
    const auto home = std::filesystem::temp_directory_path() / ("usbcapture-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"})
        ::unsetenv(name);
    Log::shared().configure(Log::FileMode::append, -1);

    decode();
    latency(changes);
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return 0;
}
