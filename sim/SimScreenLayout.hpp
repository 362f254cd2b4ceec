// Geometry of the simulated screen in device pixels, shared by drawing and hit testing so a tap lands
// exactly on what was drawn there.
#pragma once

#include "sim/SimSettings.hpp"

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

// The screen's geometry for one phone model. Every length is in device pixels: the apps are laid out in
// points (multiplied by the model's scale), with widths that flow with the screen's width in points, as
// the same apps lay themselves out on each phone. The sizes below are written as pixels of a 3× screen
// and converted with `px`, so a 3× model draws exactly these numbers.
struct Geometry {
    explicit Geometry(const SimModel& model);

    // Device pixels for a length given in pixels of a 3× screen.
    double px(double threeX) const { return threeX * k; }

    double scale = 3;
    double k = 1; // scale / 3
    double w = 0, h = 0;
    Rect screen;
    bool homeButton = false;   // a Touch ID phone: no home indicator, no swipe home, a 20 pt status bar
    bool homeIndicator = true; // the bar at the bottom edge that a swipe up goes home from

    // Status bar and navigation bar.
    double statusBarH = 0;
    double navBottom = 0; // a 44 pt navigation bar under the status bar
    double navMid = 0;
    Rect island; // the Dynamic Island; empty on other models
    Rect notch;  // the notch; empty on models without one
    double clockX = 0, clockMidY = 0, clockFont = 0;
    Rect clockRect;         // covers any "H:MM" the clock can show
    double bottomInset = 0; // the home indicator's safe area; 0 on a Home-button phone
    Rect homeIndicatorRect; // empty on a Home-button phone

    // Home screen: four columns of 60 pt icons, five rows, a search pill and the dock.
    static constexpr int kHomeColumns = 4;
    double iconSize = 0, iconRadius = 0;
    double columnX = 0, columnPitch = 0, rowY = 0, rowPitch = 0;
    Rect dock;
    double dockRadius = 0;
    Rect searchPill;
    double labelGap = 0; // between an icon's bottom edge and its label's top
    double labelFont = 0;
    Rect homeIconRect(int index) const;
    Rect dockIconRect(int index) const;
    // Where a tap opens a home icon's app: the icon, a little around it, and its label below.
    Rect homeIconHitRect(int index) const;

    // Grouped lists (Settings): 16 pt side insets (20 pt on the widest phones), 44 pt rows, 29 pt row icons.
    double groupX = 0, groupW = 0, groupRadius = 0;
    double rowH = 0, accountRowH = 0, rowIconSize = 0, rowIconX = 0, rowTextXIcon = 0, rowTextX = 0;
    double rowRight = 0; // right edge of values, chevrons and switches
    double switchW = 0, switchH = 0;
    double largeTitleBlock = 0, searchFieldH = 0;

    // On-screen keyboard: four rows of 42 pt keys, with the globe and dictation strip and the home
    // indicator's inset below them on phones without a Home button (291 pt on a 14 Pro, 216 pt on an SE).
    double keyboardH = 0;
    double keyW = 0, keyGap = 0, keyH = 0, keyRowPitch = 0, keyTopPad = 0, sideKeyW = 0, keyMargin = 0;
    bool keyboardStrip = true;

    // AssistiveTouch: the pointer disc and the floating button at the right edge.
    double discDiameter = 0, assistiveSize = 0, assistiveRadius = 0;
    // The button rests at the right edge two-thirds of the way down, and rises above the on-screen
    // keyboard when that would cover it.
    Rect assistiveButtonRect(double keyboardTop) const;
    // The pixels a disc centred at (x, y) can touch, anti-aliased rim included.
    Rect discRect(double x, double y) const;

    // Spotlight.
    Rect spotlightField, spotlightCancel;
    double spotlightTop = 0, resultHeaderH = 0, resultRowH = 0, resultIcon = 0;
    static constexpr int kMaxOtherResults = 4;

    // Notes.
    double noteMargin = 0, noteTop = 0;

    // Podcasts' episode page.
    Rect artwork, playButton;
    Rect progressArea; // the bar and its times, redrawn while playing
    Rect progressTrack;
    // A height on the episode page, given as on a 3× screen whose navigation bar ends at 294 px.
    double episodeY(double threeX) const { return navBottom + px(threeX - 294); }

    // Touches.
    double tapSlop = 0;   // 10 pt of movement turns a touch into a drag
    double edgeSwipe = 0; // how far an edge swipe travels before it acts
    double backEdge = 0;  // a drag starting this close to the left edge goes back
    double homeEdge = 0;  // a drag up starting this close to the bottom edge goes home
    double flingStop = 0; // px per ms below which momentum ends
};

} // namespace pokescope::sim::detail
