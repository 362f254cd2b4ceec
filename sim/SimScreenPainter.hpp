// Drawing on the simulated screen: cached Pango layouts and a painter that culls to the damaged region and
// records every text it draws with its ink box in device pixels.
#pragma once

#include "sim/SimScreen.hpp"
#include "sim/SimScreenLayout.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

typedef struct _cairo cairo_t;
typedef struct _PangoLayout PangoLayout;
typedef struct _PangoContext PangoContext;
typedef struct _PangoFontMap PangoFontMap;

namespace pokescope::sim::detail {

struct Colour {
    double r = 0, g = 0, b = 0, a = 1;
};
// A colour from 0xRRGGBB and an opacity.
constexpr Colour rgb(unsigned hex, double alpha = 1.0) {
    return {((hex >> 16) & 0xFF) / 255.0, ((hex >> 8) & 0xFF) / 255.0, (hex & 0xFF) / 255.0, alpha};
}

enum class Weight { regular = 400, medium = 500, semibold = 600, bold = 700 };
struct Font {
    double px = 51;
    Weight weight = Weight::regular;
};
enum class Align { left, center, right };

// One laid-out text: extents in pixels relative to the layout's top left corner.
struct TextLayout {
    PangoLayout* layout = nullptr;
    Rect ink, logical;
    double baseline = 0;
    ~TextLayout();
};

class TextCache {
public:
    TextCache();
    ~TextCache();
    TextCache(const TextCache&) = delete;
    TextCache& operator=(const TextCache&) = delete;

    // `wrapWidth` > 0 wraps at word boundaries into lines no wider than that; `align` places the lines.
    const TextLayout& get(const Font& font, std::string_view text, double wrapWidth = 0,
                          Align align = Align::left);
    // Drops everything when the cache has grown large; only call between frames.
    void trim();

private:
    PangoFontMap* fontMap_ = nullptr;
    PangoContext* context_ = nullptr;
    std::unordered_map<std::string, std::unique_ptr<TextLayout>> layouts_;
};

class Painter {
public:
    // `damage` is in device pixels; `record` (may be null) receives the texts drawn.
    Painter(cairo_t* cr, TextCache& texts, const Geometry& geometry, const Rect& damage,
            std::vector<DrawnText>* record);

    cairo_t* cr() const { return cr_; }
    TextCache& texts() const { return texts_; }
    const Geometry& geo() const { return geo_; }

    // Whether `r` (user coordinates) touches the region being redrawn.
    bool needs(const Rect& r) const;
    Rect toDevice(const Rect& r) const;

    // Single-line text with its baseline at `baseline`; `x` is its left edge, centre or right edge.
    // Returns the text's advance width. A text drawn as decoration (a shadow) is not `recorded`.
    double text(const Font& font, const Colour& colour, std::string_view s, double x, double baseline,
                Align align = Align::left, bool recorded = true);
    // Single-line text whose capitals are centred on `midY`.
    double textMid(const Font& font, const Colour& colour, std::string_view s, double x, double midY,
                   Align align = Align::left);
    // Wrapped text from `top`; each line is recorded on its own. Returns the height used.
    double paragraph(const Font& font, const Colour& colour, std::string_view s, double x, double top,
                     double width, Align align = Align::left);

    // Clips drawing to `r`; texts not wholly inside every pushed clip are drawn but not recorded.
    void pushClip(const Rect& r);
    void popClip();
    // Something opaque now covers `r`: texts recorded so far underneath it are no longer visible.
    void occlude(const Rect& r);

    void setColour(const Colour& c) const;
    void fill(const Rect& r, const Colour& c) const;
    void fillRound(const Rect& r, double radius, const Colour& c) const;

private:
    // `layout`, drawn with its origin at `originX`, holds `s` from its byte `start`, on one line: the words
    // are boxed too.
    void record(std::string_view s, const Rect& inkUser, PangoLayout* layout = nullptr, int start = 0,
                double originX = 0);

    cairo_t* cr_;
    TextCache& texts_;
    const Geometry& geo_;
    Rect damage_;
    std::vector<DrawnText>* record_;
    std::vector<Rect> visible_; // device-space clip stack
};

// Adds a rounded rectangle to the current path.
void roundedRect(cairo_t* cr, const Rect& r, double radius);
// The cap height of Inter at `px`, for centring text on a line.
inline double capHeight(double px) {
    return px * 0.727;
}

// Sorts texts into reading order: lines top to bottom, each line left to right.
void sortReadingOrder(std::vector<DrawnText>& texts);

} // namespace pokescope::sim::detail
