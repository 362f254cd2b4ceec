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
                screen.setAssistiveTouch(false);
                auto now = std::chrono::steady_clock::now();
                if (std::string(place) != "home")
                    screen.openApp(place, now);
                Image frame;
                screen.render(frame, now + std::chrono::seconds(3));
                EXPECT_FALSE(ScreenText::assistiveTouchButton(frame)); // nothing else is taken for the button (an icon)
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

// The AssistiveTouch button is found where the phone draws it, on every model, light or dark, and nothing
// else is taken for it (a switch's knob is a white disc too); text that runs under it is not read as a
// shorter word, and the rest of the screen is read as without it.
TEST(ScreenTextModels, TheAssistiveTouchButtonIsFoundAndTheTextItCutsIsLeftOut) {
    auto recognizer = TextRecognizer::system();
    for (const SimModel& model : SimModel::all())
        for (bool dark : {false, true}) {
            SCOPED_TRACE(model.key + (dark ? " dark" : " light"));
            SimScreen screen(model);
            screen.setDarkMode(dark);
            auto now = std::chrono::steady_clock::now();
            screen.openApp("Settings", now);
            Image frame;
            screen.setAssistiveTouch(false);
            screen.render(frame, now + std::chrono::seconds(3));
            EXPECT_FALSE(ScreenText::assistiveTouchButton(frame));
            // A label under the button: the row's text reaches to where the button stands.
            screen.setAssistiveTouch(true);
            screen.render(frame, now + std::chrono::seconds(4));
            const auto button = ScreenText::assistiveTouchButton(frame);
            ASSERT_TRUE(button);
            const double side = 60 * model.scale, w = model.width, h = model.height;
            EXPECT_NEAR(button->x + button->width / 2.0, w - 3 * model.scale - side / 2, 0.02 * w);
            EXPECT_NEAR(button->y + button->height / 2.0, 2 * h / 3, 0.1 * h);
            EXPECT_NEAR(button->width, side, 0.15 * side);
            const auto items = ScreenText::read(frame, *recognizer);
            for (const TextItem& item : items)
                EXPECT_FALSE(ScreenText::overlaps(*button, item)) << "\"" << item.text << "\" read under the button";
            int found = 0;
            for (const DrawnText& text : screen.drawnTexts())
                found += std::any_of(items.begin(), items.end(), [&](const TextItem& item) { return item.text == text.text; });
            EXPECT_GE(found * 4, static_cast<int>(screen.drawnTexts().size()) * 3);
        }
}
