// Drawing the simulated screen's parts: pages (home, Settings, Notes, Podcasts, plain apps) and what lies
// over them (status bar, keyboard, Spotlight, banner, alert, AssistiveTouch).
#pragma once

#include "sim/SimScreenModel.hpp"

typedef struct _cairo_surface cairo_surface_t;

namespace pokescope::sim::detail {

// The system colours of one appearance (light or dark).
struct Palette {
    Colour background, groupedBackground, cell, label, secondaryLabel, separator, tint, chevron;
    Colour switchOff, searchFill, fieldText;
    Colour keyboard, key, specialKey, keyShadow, keyLabel, keyboardGlyph;
    Colour alert, banner, card, spotlightField, spotlightDim, dock, wallpaperDim;
};
const Palette& palette(bool dark);

// Everything a frame is drawn from.
struct Scene {
    const Screen& screen;
    TimePoint now;
    cairo_surface_t* wallpaper = nullptr; // the home screen's gradient, full size
    cairo_surface_t* blurred = nullptr;   // what lies under Spotlight, at 1/kBlurScale size
    std::string clock;                    // the status bar's time
    Rect caret;                           // out: where the focused field's caret is, in device pixels
    bool* discLight = nullptr;            // in/out: the pointer disc's shade, kept between frames
    const Palette& colours() const { return palette(screen.dark); }
};
inline constexpr int kBlurScale = 8;

// The whole picture, bottom to top.
void drawScene(Painter& p, Scene& scene);
// The home screen or the app (with its transitions), without anything over it.
void drawBase(Painter& p, Scene& scene);

void drawHome(Painter& p, Scene& scene);
// An app's page as it fills the screen; `path` is a Settings page's place below the first page.
void drawAppPage(Painter& p, Scene& scene, const std::string& app, const std::vector<std::string>& path,
                 double scroll);

void drawStatusBar(Painter& p, const std::string& time, bool light);
void drawHomeIndicator(Painter& p, bool light);
void drawKeyboard(Painter& p, Scene& scene);
void drawSpotlight(Painter& p, Scene& scene);
void drawBanner(Painter& p, const std::string& text, const Palette& colours);
void drawAlert(Painter& p, const Palette& colours);
// The AssistiveTouch button, and the pointer disc while it shows.
void drawAssistiveTouch(Painter& p, Scene& scene);
// A home icon's long-press menu over the dimmed home screen.
void drawIconMenu(Painter& p, Scene& scene);

// Shared pieces.
void drawChevron(Painter& p, double right, double midY, const Colour& colour);
void drawBackButton(Painter& p, const std::string& label, const Colour& tint);
// A field's text from `top`, wrapped to `width`, with the caret where the field's caret is (recorded
// in `scene.caret`) and lit when `caretOn`.
void drawFieldText(Painter& p, Scene& scene, const TextField& field, const Font& font, const Colour& colour,
                   double x, double top, double width, const Colour& caretColour);

// The time the status bar shows now: 12-hour "H:MM" of local time.
std::string clockText(std::chrono::system_clock::time_point wall);

} // namespace pokescope::sim::detail
