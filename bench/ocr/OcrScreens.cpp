#include "bench/ocr/OcrScreens.hpp"

#include "sim/SimScreen.hpp"
#include "sim/SimSettings.hpp"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace pokescope::bench {

namespace {

using namespace std::chrono_literals;
using sim::SimScreen;

constexpr int kSpace = 0x2C, kCommand = 0x08, kShift = 0x02;

// A screen driven the way an agent drives it, rendered into a frame kept between steps. The computer is
// the phone's Bluetooth keyboard then, so no on-screen keyboard covers the lower half. Places are given on
// the default phone's 1179 × 2556 picture and scaled to the model's.
struct Stage {
    explicit Stage(const sim::SimModel& model)
        : screen(model), sx(model.width / 1179.0), sy(model.height / 2556.0) {
        screen.setHardwareKeyboard(true);
    }
    SimScreen screen;
    const double sx, sy;
    Image frame;
    TimePoint now = TimePoint{} + 100h;

    void render() { screen.render(frame, now); }
    void settle() {
        render();
        for (int i = 0; i < 1000 && screen.animating(); ++i) {
            now += 17ms;
            render();
        }
        now += 17ms;
        render();
    }
    void tapAt(double x, double y) {
        screen.tap(x * sx, y * sy, now);
        now += 100ms;
        settle();
    }
    bool tapText(const std::string& text) {
        for (const auto& t : screen.drawnTexts())
            if (t.text == text && t.y > 300 * sy) {
                screen.tap(t.x + t.width / 2.0, t.y + t.height / 2.0, now);
                now += 100ms;
                settle();
                return true;
            }
        return false;
    }
    void open(const std::string& app) {
        screen.openApp(app, now);
        settle();
    }
    void scrollUp(double by) {
        const double x = 600 * sx, y = 1900 * sy;
        by *= sy;
        screen.touchDown(x, y, now);
        for (int i = 1; i <= 10; ++i) {
            now += 90ms;
            screen.touchMove(x, y - by * i / 10, now);
            render();
        }
        screen.touchUp(x, y - by, now);
        settle();
    }
    // The pointer's disc at the first place, row by row, whose surroundings hold no drawn text.
    void pointerOffText() {
        const double w = screen.width(), h = screen.height(), clear = 0.05 * w;
        for (double y = 0.2 * h; y < 0.9 * h; y += 0.04 * h)
            for (double x = 0.15 * w; x < 0.9 * w; x += 0.07 * w) {
                const auto texts = screen.drawnTexts();
                const bool free = std::none_of(texts.begin(), texts.end(), [&](const auto& t) {
                    return t.x < x + clear && x - clear < t.x + t.width && t.y < y + clear && y - clear < t.y + t.height;
                });
                if (free) {
                    screen.setPointer(x, y, now);
                    settle();
                    return;
                }
            }
    }
    void key(int usage, int modifiers = 0) {
        screen.keyPress(usage, modifiers, now);
        now += 30ms;
    }
};

// Switches the simulated phone's appearance where the simulator offers it.
template <class Screen> bool setDark(Screen& screen, bool dark) {
    if constexpr (requires(Screen & s) { s.setDarkMode(true); }) {
        screen.setDarkMode(dark);
        return true;
    } else {
        return !dark;
    }
}

const std::vector<std::pair<std::string, std::function<void(Stage&)>>>& scripts() {
    static const std::vector<std::pair<std::string, std::function<void(Stage&)>>> all{
        {"home", [](Stage&) {}},
        {"settings", [](Stage& s) { s.open("Settings"); }},
        {"settings-scrolled",
         [](Stage& s) {
             s.open("Settings");
             s.scrollUp(900);
         }},
        {"general",
         [](Stage& s) {
             s.open("Settings");
             s.tapText("General");
         }},
        {"about",
         [](Stage& s) {
             s.open("Settings");
             s.tapText("General");
             s.tapText("About");
         }},
        {"wifi",
         [](Stage& s) {
             s.open("Settings");
             s.tapText("Wi-Fi");
         }},
        {"accessibility",
         [](Stage& s) {
             s.open("Settings");
             s.scrollUp(700);
             s.tapText("Accessibility");
         }},
        {"notes",
         [](Stage& s) {
             s.open("Notes");
             s.tapAt(600, 900);
             s.screen.typeText("Buy milk and eggs before Friday", s.now);
             s.settle();
         }},
        {"spotlight",
         [](Stage& s) {
             s.key(kSpace, kCommand);
             s.settle();
         }},
        {"spotlight-search",
         [](Stage& s) {
             s.key(kSpace, kCommand);
             s.key(0x10, kShift);
             s.settle();
         }},
        {"podcasts", [](Stage& s) { s.open("Podcasts"); }},
        {"trust-prompt",
         [](Stage& s) {
             s.screen.showTrustPrompt([](bool) {});
             s.settle();
         }},
        {"banner",
         [](Stage& s) {
             s.open("Settings");
             s.screen.showBanner("Pokescope is controlling this iPhone");
             s.settle();
         }},
    };
    return all;
}

bool writeScreen(const std::filesystem::path& dir, const std::string& name, Stage& stage) {
    auto png = encoded(stage.frame, ImageType::png, 1);
    if (!png)
        return false;
    std::ofstream(dir / (name + ".png"), std::ios::binary) << *png;
    std::ofstream truth(dir / (name + ".txt"));
    for (const auto& t : stage.screen.drawnTexts())
        truth << t.text << '\t' << t.x << ' ' << t.y << ' ' << t.width << ' ' << t.height << '\n';
    return true;
}

} // namespace

int renderScreens(const std::filesystem::path& dir) {
    std::filesystem::create_directories(dir);
    int written = 0;
    for (const auto& model : sim::SimModel::all()) {
        // "iphone-13-mini" names the set "13mini": a set's name has no '-'.
        std::string short_ = model.key.substr(model.key.find('-') + 1);
        short_.erase(std::remove(short_.begin(), short_.end(), '-'), short_.end());
        // Each screen plain, and as an agent's phone shows it: the AssistiveTouch button on, and the
        // pointer's disc where the tools leave it before reading (stepped off the text).
        for (const char* mode : {"light", "dark", "lightat", "darkat"}) {
            const bool dark = std::string(mode).starts_with("dark"), at = std::string(mode).ends_with("at");
            for (const auto& [name, script] : scripts()) {
                Stage stage(model);
                if (!setDark(stage.screen, dark)) {
                    std::cerr << "the simulated phone has no dark mode; dark screens skipped\n";
                    break;
                }
                stage.screen.setAssistiveTouch(at);
                stage.settle();
                script(stage);
                stage.settle();
                if (at)
                    stage.pointerOffText();
                written += writeScreen(dir, short_ + "_" + mode + "-" + name, stage);
            }
        }
    }
    return written;
}

} // namespace pokescope::bench
