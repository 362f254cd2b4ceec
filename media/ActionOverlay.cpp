// The action overlay: short-lived marks of the agent's taps, presses, swipes and typing, drawn with Cairo
// straight into the memory of a BGRA output frame (Cairo's ARGB32 is premultiplied BGRA in memory on a
// little-endian machine; the frames are opaque, so drawing over them needs no conversion).
#include "media/ActionOverlay.hpp"

#include "platform/Utf8.hpp"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

namespace pokescope::ActionOverlay {

namespace {

constexpr double kAccentRed = 0.27, kAccentGreen = 0.53, kAccentBlue = 1.0;

constexpr double kTapRadius = 14, kPressRadius = 22, kRingGrowth = 26, kRingWidth = 3;
constexpr double kDotRadius = 9, kDotAlpha = 0.55;
constexpr double kSwipeWidth = 5, kSwipeAlpha = 0.9, kArrowSide = 16, kArrowAngle = 0.5;
constexpr double kStartDotRadius = 8, kStartDotAlpha = 0.6;
constexpr double kCaptionSize = 15, kCaptionPadX = 14, kCaptionPadY = 9, kCaptionMargin = 40,
                 kCaptionBottom = 120, kCaptionBoxAlpha = 0.72;

double seconds(TimePoint from, TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

bool finite(PointD p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

PointD mapped(PointD p, double scale, PointD offset) {
    return {p.x * scale + offset.x, p.y * scale + offset.y};
}

void accent(cairo_t* cr, double alpha) {
    cairo_set_source_rgba(cr, kAccentRed, kAccentGreen, kAccentBlue, alpha);
}

// Whether a shape reaching `reach` pixels around `p` can touch the frame at all. Shapes far outside are
// skipped: Cairo's fixed-point coordinates do not survive arbitrarily distant points.
bool near(PointD p, double reach, int width, int height) {
    return p.x > -reach && p.y > -reach && p.x < width + reach && p.y < height + reach;
}

// The part of the segment a→b inside the rectangle [lo, hi]², or false when none of it is (Liang–Barsky).
// The clipped segment keeps its direction, so the stroke looks the same inside the rectangle.
bool clipped(PointD& a, PointD& b, PointD lo, PointD hi) {
    double t0 = 0, t1 = 1;
    const double dx = b.x - a.x, dy = b.y - a.y;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {a.x - lo.x, hi.x - a.x, a.y - lo.y, hi.y - a.y};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0)
                return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1)
            return false;
    }
    const PointD start = a;
    a = {start.x + t0 * dx, start.y + t0 * dy};
    b = {start.x + t1 * dx, start.y + t1 * dy};
    return true;
}

// The Pango state the captions need: a font map and context of the overlay's own (Pango's default font
// map belongs to whichever thread first asked for it), and the last caption's layout, since the same
// caption is drawn on every frame of its life. Frames are drawn one at a time, but nothing ties them to
// one thread, so the state lives behind a mutex; it is made once and kept for the life of the process.
class Captions {
public:
    static Captions& cache() {
        static auto* captions = new Captions; // never destroyed: a late frame may still draw at exit
        return *captions;
    }

    // Draws `text` in its pill for an output `width` × `height` with unit `u`, at caption alpha `alpha`.
    void draw(cairo_t* cr, const std::string& text, double u, int width, int height, double alpha) {
        std::lock_guard guard(mutex_);
        PangoLayout* layout = layoutFor(text, u);
        if (!layout)
            return;
        const double boxWidth = std::min(textWidth_ + 2 * kCaptionPadX * u, width - kCaptionMargin * u);
        const double boxHeight = textHeight_ + 2 * kCaptionPadY * u;
        const double boxX = (width - boxWidth) / 2;
        const double boxBottom = height - kCaptionBottom * u;
        const double boxY = boxBottom - boxHeight;

        // The pill: a rectangle with semicircular ends (corner radius half its height).
        const double radius = std::min(boxHeight / 2, std::max(0.0, boxWidth / 2));
        cairo_new_path(cr);
        cairo_arc(cr, boxX + boxWidth - radius, boxY + radius, radius, -M_PI / 2, 0);
        cairo_arc(cr, boxX + boxWidth - radius, boxBottom - radius, radius, 0, M_PI / 2);
        cairo_arc(cr, boxX + radius, boxBottom - radius, radius, M_PI / 2, M_PI);
        cairo_arc(cr, boxX + radius, boxY + radius, radius, M_PI, 3 * M_PI / 2);
        cairo_close_path(cr);
        cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
        cairo_set_source_rgba(cr, 0, 0, 0, kCaptionBoxAlpha * alpha);
        cairo_fill(cr);

        // The line's baseline sits its descent above the bottom padding, so the line's full height (ascent
        // and descent) fills the box between the paddings; the layout is placed by its top left corner.
        const double descent = textY_ + textHeight_ - baseline_;
        const double baseline = boxBottom - kCaptionPadY * u - descent;
        cairo_set_source_rgba(cr, 1, 1, 1, alpha);
        cairo_move_to(cr, boxX + kCaptionPadX * u - textX_, baseline - baseline_);
        pango_cairo_show_layout(cr, layout);
        cairo_new_path(cr);
    }

private:
    Captions() {
        fontMap_ = pango_cairo_font_map_new();
        context_ = pango_font_map_create_context(fontMap_);
        // Unhinted and unrounded, so that text sizes follow u exactly at every output size.
        cairo_font_options_t* options = cairo_font_options_create();
        cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
        cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
        cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
        pango_cairo_context_set_font_options(context_, options);
        cairo_font_options_destroy(options);
        pango_context_set_round_glyph_positions(context_, FALSE);
    }

    PangoLayout* layoutFor(const std::string& text, double u) {
        if (layout_ && text == text_ && u == u_)
            return layout_;
        if (!layout_)
            layout_ = pango_layout_new(context_);
        if (!layout_)
            return nullptr;
        PangoFontDescription* description = pango_font_description_from_string("Sans");
        pango_font_description_set_weight(description, PANGO_WEIGHT_SEMIBOLD);
        pango_font_description_set_absolute_size(description, kCaptionSize * u * PANGO_SCALE);
        pango_layout_set_font_description(layout_, description);
        pango_font_description_free(description);
        // One line whatever the text holds: line breaks show as symbols instead of starting new lines.
        pango_layout_set_single_paragraph_mode(layout_, TRUE);
        const std::string valid = utf8::sanitized(text);
        pango_layout_set_text(layout_, valid.data(), static_cast<int>(valid.size()));
        PangoRectangle logical;
        pango_layout_get_extents(layout_, nullptr, &logical);
        textX_ = double(logical.x) / PANGO_SCALE;
        textY_ = double(logical.y) / PANGO_SCALE;
        textWidth_ = double(logical.width) / PANGO_SCALE;
        textHeight_ = double(logical.height) / PANGO_SCALE;
        baseline_ = double(pango_layout_get_baseline(layout_)) / PANGO_SCALE;
        text_ = text;
        u_ = u;
        return layout_;
    }

    std::mutex mutex_;
    PangoFontMap* fontMap_ = nullptr;
    PangoContext* context_ = nullptr;
    PangoLayout* layout_ = nullptr;
    std::string text_;
    double u_ = 0;
    // The line's logical extents and its baseline, from the layout's top left corner.
    double textX_ = 0, textY_ = 0, textWidth_ = 0, textHeight_ = 0, baseline_ = 0;
};

void drawRing(cairo_t* cr, const TimedMark& timed, double age, double u, double scale, PointD offset,
              int width, int height) {
    const bool press = timed.mark.kind == ActionMark::Kind::press;
    const double f = age / lifetime(timed.mark.kind);
    const double alpha = std::min(1.0, std::max(0.0, 1 - f));
    if (alpha <= 0 || !finite(timed.mark.point))
        return;
    const PointD c = mapped(timed.mark.point, scale, offset);
    const double r = ((press ? kPressRadius : kTapRadius) + f * kRingGrowth) * u;
    if (!near(c, r + kRingWidth * u, width, height))
        return;

    cairo_new_path(cr);
    cairo_arc(cr, c.x, c.y, r, 0, 2 * M_PI);
    cairo_set_line_width(cr, kRingWidth * u);
    accent(cr, alpha);
    cairo_stroke(cr);

    cairo_arc(cr, c.x, c.y, kDotRadius * u, 0, 2 * M_PI);
    accent(cr, alpha * kDotAlpha);
    cairo_fill(cr);
}

void drawSwipe(cairo_t* cr, const TimedMark& timed, double age, double u, double scale, PointD offset,
               int width, int height) {
    const double alpha = std::min(1.0, std::max(0.0, 1 - age / lifetime(ActionMark::Kind::swipe)));
    if (alpha <= 0 || !finite(timed.mark.point) || !finite(timed.mark.end))
        return;
    const PointD from = mapped(timed.mark.point, scale, offset);
    const PointD to = mapped(timed.mark.end, scale, offset);
    const double theta = std::atan2(to.y - from.y, to.x - from.x); // 0 for a swipe that goes nowhere

    cairo_set_line_width(cr, kSwipeWidth * u);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    accent(cr, alpha * kSwipeAlpha);

    // The line, cut to a margin around the frame so that distant ends stay within Cairo's range.
    const double margin = kSwipeWidth * u + 2;
    PointD a = from, b = to;
    if (clipped(a, b, {-margin, -margin}, {width + margin, height + margin})) {
        cairo_new_path(cr);
        cairo_move_to(cr, a.x, a.y);
        cairo_line_to(cr, b.x, b.y);
        cairo_stroke(cr);
    }

    if (near(to, (kArrowSide + kSwipeWidth) * u, width, height)) {
        cairo_new_path(cr);
        for (double side : {-kArrowAngle, kArrowAngle}) {
            cairo_move_to(cr, to.x, to.y);
            cairo_line_to(cr, to.x - kArrowSide * u * std::cos(theta + side),
                          to.y - kArrowSide * u * std::sin(theta + side));
        }
        cairo_stroke(cr);
    }

    if (near(from, kStartDotRadius * u, width, height)) {
        cairo_new_path(cr);
        cairo_arc(cr, from.x, from.y, kStartDotRadius * u, 0, 2 * M_PI);
        accent(cr, alpha * kStartDotAlpha);
        cairo_fill(cr);
    }
}

} // namespace

double lifetime(ActionMark::Kind kind) {
    switch (kind) {
    case ActionMark::Kind::tap:
        return 0.7;
    case ActionMark::Kind::press:
        return 1.4;
    case ActionMark::Kind::swipe:
        return 0.9;
    case ActionMark::Kind::text:
        return 1.6;
    }
    return 0;
}

bool expired(const TimedMark& mark, TimePoint now) {
    return seconds(mark.at, now) > lifetime(mark.mark.kind);
}

void draw(Image& frame, const std::vector<TimedMark>& marks, TimePoint now, double scale, PointD offset) {
    if (marks.empty() || frame.empty() || frame.format() != Image::Format::bgra)
        return;
    if (!std::isfinite(scale) || !finite(offset))
        return;
    const int width = frame.width(), height = frame.height();
    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(frame.data(), CAIRO_FORMAT_ARGB32, width, height, frame.stride());
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return;
    }
    cairo_t* cr = cairo_create(surface);
    if (cairo_status(cr) != CAIRO_STATUS_SUCCESS) {
        cairo_destroy(cr);
        cairo_surface_destroy(surface);
        return;
    }

    const double u = width / 400.0;
    // Only the newest caption shows; older ones still alive are hidden behind it.
    const TimedMark* caption = nullptr;
    for (const TimedMark& timed : marks)
        if (timed.mark.kind == ActionMark::Kind::text)
            caption = &timed;

    for (const TimedMark& timed : marks) {
        // A mark is never older than the frame that draws it; one stamped later counts as just posted.
        const double age = std::max(0.0, seconds(timed.at, now));
        switch (timed.mark.kind) {
        case ActionMark::Kind::tap:
        case ActionMark::Kind::press:
            drawRing(cr, timed, age, u, scale, offset, width, height);
            break;
        case ActionMark::Kind::swipe:
            drawSwipe(cr, timed, age, u, scale, offset, width, height);
            break;
        case ActionMark::Kind::text:
            if (&timed == caption) {
                const double alpha =
                    std::min(1.0, 2 * std::max(0.0, 1 - age / lifetime(ActionMark::Kind::text)));
                if (alpha > 0)
                    Captions::cache().draw(cr, timed.mark.text, u, width, height, alpha);
            }
            break;
        }
    }

    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);
}

} // namespace pokescope::ActionOverlay
