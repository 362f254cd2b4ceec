// Reading every phone model's screens: a 2× phone's smaller letters and a big phone's larger picture are
// read at the density the recogniser was tuned on. The floor is where reading stands on every model; the
// recogniser's benchmark asks for far more.
#include "sim/SimScreen.hpp"
#include "vision/ScreenText.hpp"

#include <gtest/gtest.h>

#include <iostream>

using namespace pokescope;
using namespace pokescope::sim;

TEST(ScreenTextModels, EveryModelsHomeScreenAndSettingsAreReadLightAndDark) {
    auto recognizer = TextRecognizer::system();
    for (const SimModel& model : SimModel::all())
        for (bool dark : {false, true})
            for (const char* place : {"home", "Settings"}) {
                SCOPED_TRACE(model.key + (dark ? " dark " : " light ") + place);
                SimScreen screen(model);
                screen.setDarkMode(dark);
                auto now = std::chrono::steady_clock::now();
                if (std::string(place) != "home")
                    screen.openApp(place, now);
                Image frame;
                screen.render(frame, now + std::chrono::seconds(3));
                auto items = ScreenText::read(frame, *recognizer);
                int found = 0, drawn = 0;
                std::string missed;
                for (const DrawnText& text : screen.drawnTexts()) {
                    ++drawn;
                    const double cx = text.x + text.width / 2.0, cy = text.y + text.height / 2.0;
                    bool read = std::any_of(items.begin(), items.end(), [&](const TextItem& item) {
                        return item.text == text.text && cx >= item.x && cx <= item.x + item.width &&
                               cy >= item.y && cy <= item.y + item.height;
                    });
                    found += read;
                    if (!read)
                        missed += " \"" + text.text + "\"";
                }
                std::cout << model.key << (dark ? " dark " : " light ") << place << ": " << found << "/" << drawn
                          << " read;" << (missed.empty() ? " none missed" : " missed" + missed) << "\n";
                EXPECT_GE(found * 4, drawn * 3) << "missed" << missed;
            }
}
