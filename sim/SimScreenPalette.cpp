// The light and dark appearances' system colours, as the phone's own apps use them.
#include "sim/SimScreenDraw.hpp"

namespace pokescope::sim::detail {

const Palette& palette(bool dark) {
    static const Palette light{
        .background = rgb(0xFFFFFF),
        .groupedBackground = rgb(0xF2F2F7),
        .cell = rgb(0xFFFFFF),
        .label = rgb(0x000000),
        .secondaryLabel = rgb(0x8A8A8E),
        .separator = rgb(0xC6C6C8),
        .tint = rgb(0x007AFF),
        .chevron = rgb(0xC4C4C7),
        .switchOff = rgb(0xE9E9EA),
        .searchFill = rgb(0xE3E3E8),
        .fieldText = rgb(0x000000),
        .keyboard = rgb(0xD1D4DA),
        .key = rgb(0xFFFFFF),
        .specialKey = rgb(0xABB0BA),
        .keyShadow = rgb(0x898A8D),
        .keyLabel = rgb(0x000000),
        .keyboardGlyph = rgb(0x50555C),
        .alert = rgb(0xF2F2F2, 0.98),
        .banner = rgb(0xF7F7F7, 0.98),
        .card = rgb(0xFFFFFF, 0.92),
        .spotlightField = rgb(0xFFFFFF, 0.85),
        .spotlightDim = rgb(0x000000, 0.22),
        .dock = rgb(0xFFFFFF, 0.22),
        .wallpaperDim = rgb(0x000000, 0),
    };
    static const Palette night{
        .background = rgb(0x000000),
        .groupedBackground = rgb(0x000000),
        .cell = rgb(0x1C1C1E),
        .label = rgb(0xFFFFFF),
        .secondaryLabel = rgb(0x8D8D93),
        .separator = rgb(0x38383A),
        .tint = rgb(0x0A84FF),
        .chevron = rgb(0x5A5A5F),
        .switchOff = rgb(0x39393D),
        .searchFill = rgb(0x1C1C1E),
        .fieldText = rgb(0xFFFFFF),
        .keyboard = rgb(0x2B2B2D),
        .key = rgb(0x6B6B6D),
        .specialKey = rgb(0x464648),
        .keyShadow = rgb(0x141414),
        .keyLabel = rgb(0xFFFFFF),
        .keyboardGlyph = rgb(0xA5A5AA),
        .alert = rgb(0x252527, 0.98),
        .banner = rgb(0x2C2C2E, 0.97),
        .card = rgb(0x1C1C1E, 0.90),
        .spotlightField = rgb(0x3A3A3C, 0.85),
        .spotlightDim = rgb(0x000000, 0.45),
        .dock = rgb(0xFFFFFF, 0.14),
        .wallpaperDim = rgb(0x000000, 0.3), // the dark appearance dims the wallpaper
    };
    return dark ? night : light;
}

} // namespace pokescope::sim::detail
