#include "sim/SimScreenPainter.hpp"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cctype>
#include <cmath>

// Fontconfig loses a small allocation while parsing its configuration files, once per process, out of our
// reach; every binary that draws text inherits this so leak checking stays meaningful for our own code.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the sanitizer runtime looks for exactly this name.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

namespace pokescope::sim::detail {

Rect Rect::united(const Rect& o) const {
    if (empty())
        return o;
    if (o.empty())
        return *this;
    double l = std::min(x, o.x), t = std::min(y, o.y);
    return {l, t, std::max(right(), o.right()) - l, std::max(bottom(), o.bottom()) - t};
}

Rect Rect::intersected(const Rect& o) const {
    double l = std::max(x, o.x), t = std::max(y, o.y);
    double r = std::min(right(), o.right()), b = std::min(bottom(), o.bottom());
    if (r <= l || b <= t)
        return {};
    return {l, t, r - l, b - t};
}

Rect Rect::outward() const {
    double l = std::floor(x), t = std::floor(y);
    return {l, t, std::ceil(right()) - l, std::ceil(bottom()) - t};
}

TextLayout::~TextLayout() {
    if (layout)
        g_object_unref(layout);
}

TextCache::TextCache() {
    // A font map of our own: Pango's default one belongs to whichever thread asked first.
    fontMap_ = pango_cairo_font_map_new();
    context_ = pango_font_map_create_context(fontMap_);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(context_, options);
    cairo_font_options_destroy(options);
}

TextCache::~TextCache() {
    layouts_.clear();
    g_object_unref(context_);
    g_object_unref(fontMap_);
}

void TextCache::trim() {
    if (layouts_.size() > 4000)
        layouts_.clear();
}

const TextLayout& TextCache::get(const Font& font, std::string_view text, double wrapWidth, Align align) {
    std::string key = std::to_string(font.px) + '|' + std::to_string(static_cast<int>(font.weight)) + '|' +
                      std::to_string(wrapWidth) + '|' + std::to_string(static_cast<int>(align)) + '|';
    key.append(text);
    auto found = layouts_.find(key);
    if (found != layouts_.end())
        return *found->second;

    auto entry = std::make_unique<TextLayout>();
    entry->layout = pango_layout_new(context_);
    PangoFontDescription* description = pango_font_description_from_string("Inter, DejaVu Sans");
    pango_font_description_set_absolute_size(description, font.px * PANGO_SCALE);
    pango_font_description_set_weight(description, static_cast<PangoWeight>(font.weight));
    pango_layout_set_font_description(entry->layout, description);
    pango_font_description_free(description);
    pango_layout_set_text(entry->layout, text.data(), static_cast<int>(text.size()));
    if (wrapWidth > 0) {
        pango_layout_set_width(entry->layout, static_cast<int>(wrapWidth * PANGO_SCALE));
        pango_layout_set_wrap(entry->layout, PANGO_WRAP_WORD_CHAR);
        pango_layout_set_alignment(entry->layout, align == Align::center  ? PANGO_ALIGN_CENTER
                                                  : align == Align::right ? PANGO_ALIGN_RIGHT
                                                                          : PANGO_ALIGN_LEFT);
    }
    PangoRectangle ink, logical;
    pango_layout_get_pixel_extents(entry->layout, &ink, &logical);
    entry->ink = {double(ink.x), double(ink.y), double(ink.width), double(ink.height)};
    entry->logical = {double(logical.x), double(logical.y), double(logical.width), double(logical.height)};
    entry->baseline = double(pango_layout_get_baseline(entry->layout)) / PANGO_SCALE;
    return *layouts_.emplace(std::move(key), std::move(entry)).first->second;
}

Painter::Painter(cairo_t* cr, TextCache& texts, const Geometry& geometry, const Rect& damage,
                 std::vector<DrawnText>* record)
    : cr_(cr), texts_(texts), geo_(geometry), damage_(damage), record_(record), visible_{geometry.screen} {}

Rect Painter::toDevice(const Rect& r) const {
    double xs[4] = {r.x, r.right(), r.x, r.right()};
    double ys[4] = {r.y, r.y, r.bottom(), r.bottom()};
    double minX = 1e18, minY = 1e18, maxX = -1e18, maxY = -1e18;
    for (int i = 0; i < 4; ++i) {
        cairo_user_to_device(cr_, &xs[i], &ys[i]);
        minX = std::min(minX, xs[i]);
        maxX = std::max(maxX, xs[i]);
        minY = std::min(minY, ys[i]);
        maxY = std::max(maxY, ys[i]);
    }
    return {minX, minY, maxX - minX, maxY - minY};
}

bool Painter::needs(const Rect& r) const {
    Rect d = toDevice(r);
    return d.intersects(damage_) && d.intersects(visible_.back());
}

double Painter::text(const Font& font, const Colour& colour, std::string_view s, double x, double baseline,
                     Align align, bool recorded) {
    const TextLayout& t = texts_.get(font, s);
    double left = align == Align::left ? x : align == Align::center ? x - t.logical.w / 2 : x - t.logical.w;
    left = std::round(left);
    double top = std::round(baseline - t.baseline);
    Rect ink = t.ink.translated(left, top);
    if (!needs(ink))
        return t.logical.w;
    setColour(colour);
    cairo_move_to(cr_, left, top);
    pango_cairo_show_layout(cr_, t.layout);
    if (recorded)
        record(s, ink, t.layout, 0, left);
    return t.logical.w;
}

double Painter::textMid(const Font& font, const Colour& colour, std::string_view s, double x, double midY,
                        Align align) {
    return text(font, colour, s, x, midY + capHeight(font.px) / 2, align);
}

double Painter::paragraph(const Font& font, const Colour& colour, std::string_view s, double x, double top,
                          double width, Align align) {
    const TextLayout& t = texts_.get(font, s, width, align);
    double left = std::round(x), y = std::round(top);
    if (!needs(t.ink.translated(left, y)))
        return t.logical.h;
    setColour(colour);
    cairo_move_to(cr_, left, y);
    pango_cairo_show_layout(cr_, t.layout);

    const char* all = pango_layout_get_text(t.layout);
    PangoLayoutIter* it = pango_layout_get_iter(t.layout);
    do {
        PangoLayoutLine* line = pango_layout_iter_get_line_readonly(it);
        PangoRectangle ink;
        pango_layout_iter_get_line_extents(it, &ink, nullptr);
        pango_extents_to_pixels(&ink, nullptr);
        std::string_view lineText(all + line->start_index, static_cast<std::size_t>(line->length));
        while (!lineText.empty() && std::isspace(static_cast<unsigned char>(lineText.back())))
            lineText.remove_suffix(1);
        Rect inkRect{left + ink.x, y + ink.y, double(ink.width), double(ink.height)};
        if (!lineText.empty() && ink.width > 0 && needs(inkRect))
            record(lineText, inkRect, t.layout, line->start_index, left);
    } while (pango_layout_iter_next_line(it));
    pango_layout_iter_free(it);
    return t.logical.h;
}

void Painter::record(std::string_view s, const Rect& inkUser, PangoLayout* layout, int start, double originX) {
    if (!record_ || inkUser.empty())
        return;
    Rect box = toDevice(inkUser).outward();
    if (!visible_.back().contains(box))
        return; // cut off by a clip: not readable as a whole
    DrawnText drawn{std::string(s), int(box.x), int(box.y), int(box.w), int(box.h), {}};
    // The words, within the line's ink: from the first letter of each to the end of its last.
    if (layout && s.find(' ') != std::string_view::npos) {
        for (std::size_t i = 0; i < s.size();) {
            while (i < s.size() && s[i] == ' ')
                ++i;
            const std::size_t end = std::min(s.find(' ', i), s.size());
            if (i == end)
                break;
            std::size_t last = end - 1; // the first byte of the word's last character
            while (last > i && (static_cast<unsigned char>(s[last]) & 0xC0) == 0x80)
                --last;
            PangoRectangle a, b;
            pango_layout_index_to_pos(layout, start + int(i), &a);
            pango_layout_index_to_pos(layout, start + int(last), &b);
            const double left = std::max(inkUser.x, originX + double(a.x) / PANGO_SCALE);
            const double right = std::min(inkUser.x + inkUser.w, originX + double(b.x + b.width) / PANGO_SCALE);
            if (right > left) {
                Rect word = toDevice(Rect{left, inkUser.y, right - left, inkUser.h}).outward();
                drawn.words.push_back({std::string(s.substr(i, end - i)), int(word.x), int(word.y),
                                       int(word.w), int(word.h), {}});
            }
            i = end;
        }
    }
    record_->push_back(std::move(drawn));
}

void Painter::pushClip(const Rect& r) {
    cairo_save(cr_);
    cairo_rectangle(cr_, r.x, r.y, r.w, r.h);
    cairo_clip(cr_);
    visible_.push_back(visible_.back().intersected(toDevice(r)));
}

void Painter::popClip() {
    cairo_restore(cr_);
    visible_.pop_back();
}

void Painter::occlude(const Rect& r) {
    if (!record_)
        return;
    Rect d = toDevice(r);
    auto covered = [&](const DrawnText& t) {
        return d.intersects(Rect{double(t.x), double(t.y), double(t.width), double(t.height)});
    };
    // What covers part of a text leaves its other words readable, each on its own.
    std::vector<DrawnText> uncovered;
    std::erase_if(*record_, [&](const DrawnText& t) {
        if (!covered(t))
            return false;
        for (const DrawnText& word : t.words)
            if (!covered(word))
                uncovered.push_back(word);
        return true;
    });
    std::move(uncovered.begin(), uncovered.end(), std::back_inserter(*record_));
}

void Painter::setColour(const Colour& c) const {
    cairo_set_source_rgba(cr_, c.r, c.g, c.b, c.a);
}

void Painter::fill(const Rect& r, const Colour& c) const {
    if (!needs(r))
        return;
    setColour(c);
    cairo_rectangle(cr_, r.x, r.y, r.w, r.h);
    cairo_fill(cr_);
}

void Painter::fillRound(const Rect& r, double radius, const Colour& c) const {
    if (!needs(r))
        return;
    setColour(c);
    roundedRect(cr_, r, radius);
    cairo_fill(cr_);
}

void roundedRect(cairo_t* cr, const Rect& r, double radius) {
    radius = std::min({radius, r.w / 2, r.h / 2});
    cairo_new_sub_path(cr);
    cairo_arc(cr, r.right() - radius, r.y + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, r.right() - radius, r.bottom() - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, r.x + radius, r.bottom() - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, r.x + radius, r.y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

void sortReadingOrder(std::vector<DrawnText>& texts) {
    std::stable_sort(texts.begin(), texts.end(), [](const DrawnText& a, const DrawnText& b) {
        return a.y != b.y ? a.y < b.y : a.x < b.x;
    });
    // Texts whose vertical middles fall within the first text of a line read as one line, left to right.
    auto lineStart = texts.begin();
    while (lineStart != texts.end()) {
        double top = lineStart->y, bottom = lineStart->y + lineStart->height;
        auto lineEnd = std::next(lineStart);
        while (lineEnd != texts.end() && lineEnd->y + lineEnd->height / 2.0 <= bottom &&
               lineEnd->y + lineEnd->height / 2.0 >= top)
            ++lineEnd;
        std::stable_sort(lineStart, lineEnd,
                         [](const DrawnText& a, const DrawnText& b) { return a.x < b.x; });
        lineStart = lineEnd;
    }
}

} // namespace pokescope::sim::detail
