// App and row icons: a coloured rounded square with a simple white glyph drawn from paths (never text, so
// icons do not read as words).
#pragma once

#include "sim/SimScreenPainter.hpp"

namespace pokescope::sim::detail {

enum class Glyph {
    gear,
    notes,
    podcasts,
    compass,
    flower,
    camera,
    bubble,
    envelope,
    clock,
    sun,
    pin,
    musicNote,
    calendar,
    appStore,
    calculator,
    checklist,
    folder,
    person,
    heart,
    cards,
    phone,
    airplane,
    wifi,
    bluetooth,
    antenna,
    hotspot,
    bell,
    speaker,
    moon,
    hourglass,
    toggles,
    brightness,
    grid,
    accessibility,
    wallpaper,
    standby,
    siri,
    faceId,
    sos,
    exposure,
    battery,
    hand,
    key,
    book,
    tv,
    game,
    wrench,
    globe,
    mic,
    shortcuts,
    ruler,
    translate,
    video,
    news,
};

struct IconArt {
    Colour top, bottom; // a vertical gradient
    Glyph glyph;
};

// The icon filling `r` with rounded corners of `radius`.
void drawIcon(cairo_t* cr, const Rect& r, double radius, const IconArt& art);
// The glyph alone, centred at (cx, cy) in a square of `size`.
void drawGlyph(cairo_t* cr, Glyph glyph, double cx, double cy, double size, const Colour& colour);

} // namespace pokescope::sim::detail
