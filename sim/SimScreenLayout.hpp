// Geometry of the simulated screen in device pixels (1 pt = 3 px), shared by drawing and hit testing so a
// tap lands exactly on what was drawn there.
#pragma once

#include <string>
#include <vector>

namespace pokescope::sim::detail {

struct Rect {
    double x = 0, y = 0, w = 0, h = 0;

    double right() const { return x + w; }
    double bottom() const { return y + h; }
    double midX() const { return x + w / 2; }
    double midY() const { return y + h / 2; }
    bool empty() const { return w <= 0 || h <= 0; }
    bool contains(double px, double py) const { return px >= x && px < x + w && py >= y && py < y + h; }
    bool contains(const Rect& o) const {
        return o.x >= x && o.y >= y && o.right() <= right() && o.bottom() <= bottom();
    }
    bool intersects(const Rect& o) const {
        return !empty() && !o.empty() && o.x < right() && x < o.right() && o.y < bottom() && y < o.bottom();
    }
    Rect inflated(double d) const { return {x - d, y - d, w + 2 * d, h + 2 * d}; }
    Rect translated(double dx, double dy) const { return {x + dx, y + dy, w, h}; }
    Rect united(const Rect& o) const;
    Rect intersected(const Rect& o) const;
    // The smallest rectangle on whole pixels that covers this one.
    Rect outward() const;
};

inline constexpr double kW = 1179;
inline constexpr double kH = 2556;
inline const Rect kScreen{0, 0, kW, kH};

// Status bar and navigation bar.
inline constexpr double kStatusBarH = 162;
inline constexpr double kNavBottom = 294; // a 44 pt navigation bar under the status bar
inline const Rect kIsland{400.5, 33, 378, 111};
inline const Rect kClockRect{40, 36, 300, 104}; // covers any "H:MM" the clock can show
inline constexpr double kBottomInset = 102;     // the 34 pt home-indicator safe area

// Home indicator: 402 × 15 px, centred 24 px above the bottom edge.
inline const Rect kHomeIndicator{388.5, kH - 24 - 7.5, 402, 15};

// Home screen: four columns of 180 px icons, rows 318 px apart, a search pill and the dock.
inline constexpr double kIconSize = 180;
inline constexpr double kIconRadius = 40;
inline constexpr int kHomeColumns = 4;
Rect homeIconRect(int index);
Rect dockIconRect(int index);
inline const Rect kDockRect{30, 2246, 1119, 270};
inline const Rect kSearchPill{466, 2114, 247, 80};
inline constexpr double kLabelGap = 14; // between an icon's bottom edge and its label's top

// Grouped lists (Settings): 16 pt side insets, 44 pt rows, 29 pt row icons.
inline constexpr double kGroupX = 48;
inline constexpr double kGroupW = kW - 2 * kGroupX;
inline constexpr double kGroupRadius = 30;
inline constexpr double kRowH = 132;
inline constexpr double kAccountRowH = 228;
inline constexpr double kRowIconSize = 87;
inline constexpr double kRowIconX = kGroupX + 48;
inline constexpr double kRowTextXIcon = kRowIconX + kRowIconSize + 45;
inline constexpr double kRowTextX = kGroupX + 60;
inline constexpr double kRowRight = kGroupX + kGroupW - 48; // right edge of values, chevrons and switches
inline constexpr double kSwitchW = 153, kSwitchH = 93;
inline constexpr double kLargeTitleBlock = 150;
inline constexpr double kSearchFieldH = 108;

// Back button hit area in a navigation bar.
inline const Rect kBackButton{0, kStatusBarH, 480, kNavBottom - kStatusBarH};

// On-screen keyboard: 291 pt high, four rows of 42 pt keys.
inline constexpr double kKeyboardH = 873;
inline constexpr double kKeyboardTop = kH - kKeyboardH;

// AssistiveTouch: the pointer disc and the floating button at the right edge.
inline constexpr double kDiscDiameter = 60; // 20 pt
// The 60 pt button rests at the right edge two-thirds of the way down, and rises above the on-screen
// keyboard when that would cover it.
Rect assistiveButtonRect(double keyboardTop);
inline constexpr double kAssistiveRadius = 42;
// The pixels a disc centred at (x, y) can touch, anti-aliased rim included.
Rect discRect(double x, double y);

// Spotlight.
inline const Rect kSpotlightField{48, 192, 846, 108};
inline const Rect kSpotlightCancel{930, 180, 249, 132};
inline constexpr double kSpotlightTop = 360;
inline constexpr double kResultHeaderH = 96;
inline constexpr double kResultRowH = 168;
inline constexpr double kResultIcon = 120;
inline constexpr int kMaxOtherResults = 4;

// Notes.
inline constexpr double kNoteMargin = 60;
inline constexpr double kNoteTop = kNavBottom + 36;

// Podcasts' episode page.
inline const Rect kArtwork{289.5, 342, 600, 600};
inline const Rect kPlayButton{319.5, 1338, 540, 150};
inline const Rect kProgressArea{0, 1530, kW, 150}; // the bar and its times, redrawn while playing
inline const Rect kProgressTrack{139.5, 1560, 900, 12};

} // namespace pokescope::sim::detail
