// What lies over the pages: status bar, home indicator, keyboard, Spotlight, banner, alert, AssistiveTouch.
#include "sim/SimScreenDraw.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace pokescope::sim::detail {
namespace {

const Colour kBlack = rgb(0x000000), kWhite = rgb(0xFFFFFF);

// The status bar's symbols as a 3× 14 Pro draws them, with x = 0 at its right edge and y = 0 on the
// clock's middle: the signal bars start 313 px left of the edge and the battery ends 95 px left of it.
// `placed` moves and scales them.
void drawSignal(Painter& p, const Colour& c) {
    for (int i = 0; i < 4; ++i) {
        double h = 12 + i * 7;
        p.fillRound({-313.0 + i * 15, 16 - h, 10, h}, 2.5, c);
    }
    drawGlyph(p.cr(), Glyph::wifi, -221, 2, 62, c);
}

void drawBattery(Painter& p, const Colour& c) {
    cairo_t* cr = p.cr();
    Colour faint{c.r, c.g, c.b, 0.4};
    p.setColour(faint);
    cairo_set_line_width(cr, 3);
    roundedRect(cr, {-175.5, -16.5, 72, 35}, 10);
    cairo_stroke(cr);
    p.fillRound({-100, -6, 5, 14}, 2.5, faint);
    p.fillRound({-170, -11, 48, 24}, 5, c);
}

template <class Draw> void placed(Painter& p, double x, double y, double size, Draw draw) {
    cairo_t* cr = p.cr();
    cairo_save(cr);
    cairo_translate(cr, x, y);
    cairo_scale(cr, size, size);
    draw();
    cairo_restore(cr);
}

// A notch: black from the top edge, with rounded lower corners and flared upper ones.
void drawNotch(Painter& p, const Rect& r) {
    if (!p.needs(r.inflated(r.h)))
        return;
    cairo_t* cr = p.cr();
    double flare = r.h * 0.2, corner = r.h * 0.6;
    cairo_new_path(cr);
    cairo_move_to(cr, r.x - flare, 0);
    cairo_arc(cr, r.x - flare, flare, flare, -M_PI / 2, 0);
    cairo_arc_negative(cr, r.x + corner, r.bottom() - corner, corner, M_PI, M_PI / 2);
    cairo_arc_negative(cr, r.right() - corner, r.bottom() - corner, corner, M_PI / 2, 0);
    cairo_arc(cr, r.right() + flare, flare, flare, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
    p.setColour(kBlack);
    cairo_fill(cr);
}

// The shift and delete glyphs as on a 3× screen, centred on (0, 0).
void drawShiftGlyph(Painter& p, bool active, const Colour& colour) {
    cairo_t* cr = p.cr();
    double x = 0, y = 0;
    cairo_move_to(cr, x, y - 28);
    cairo_line_to(cr, x + 31, y + 4);
    cairo_line_to(cr, x + 15, y + 4);
    cairo_line_to(cr, x + 15, y + 27);
    cairo_line_to(cr, x - 15, y + 27);
    cairo_line_to(cr, x - 15, y + 4);
    cairo_line_to(cr, x - 31, y + 4);
    cairo_close_path(cr);
    p.setColour(colour);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_width(cr, 4.5);
    if (active)
        cairo_fill_preserve(cr);
    cairo_stroke(cr);
}

void drawDeleteGlyph(Painter& p, const Colour& colour) {
    cairo_t* cr = p.cr();
    double x = 0, y = 0;
    cairo_move_to(cr, x - 37, y);
    cairo_line_to(cr, x - 15, y - 24);
    cairo_line_to(cr, x + 33, y - 24);
    cairo_line_to(cr, x + 33, y + 24);
    cairo_line_to(cr, x - 15, y + 24);
    cairo_close_path(cr);
    cairo_move_to(cr, x - 2, y - 10);
    cairo_line_to(cr, x + 18, y + 10);
    cairo_move_to(cr, x + 18, y - 10);
    cairo_line_to(cr, x - 2, y + 10);
    p.setColour(colour);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_width(cr, 4.5);
    cairo_stroke(cr);
}

void drawKey(Painter& p, const Palette& c, const KeyCap& key, bool shift) {
    const Geometry& g = p.geo();
    if (!p.needs(key.rect.inflated(g.px(4))))
        return;
    bool special = key.kind != KeyCap::Kind::character && key.kind != KeyCap::Kind::space;
    p.fillRound(key.rect.translated(0, g.px(3)), g.px(15), c.keyShadow);
    p.fillRound(key.rect, g.px(15), special ? c.specialKey : c.key);
    switch (key.kind) {
    case KeyCap::Kind::character:
        p.textMid({g.px(66), Weight::regular}, c.keyLabel, key.label, key.rect.midX(),
                  key.rect.midY() - g.px(3), Align::center);
        break;
    case KeyCap::Kind::shift:
        placed(p, key.rect.midX(), key.rect.midY(), g.k, [&] { drawShiftGlyph(p, shift, c.keyLabel); });
        break;
    case KeyCap::Kind::backspace:
        placed(p, key.rect.midX(), key.rect.midY(), g.k, [&] { drawDeleteGlyph(p, c.keyLabel); });
        break;
    default:
        p.textMid({g.px(48), Weight::regular}, c.keyLabel, key.label, key.rect.midX(), key.rect.midY(),
                  Align::center);
        break;
    }
}

void drawSearchField(Painter& p, Scene& scene) {
    const Geometry& g = p.geo();
    const Rect& f = g.spotlightField;
    const Palette& c = scene.colours();
    p.fillRound(f, g.px(30), c.spotlightField);
    cairo_t* cr = p.cr();
    p.setColour(c.secondaryLabel);
    cairo_set_line_width(cr, g.px(5.5));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_new_sub_path(cr);
    cairo_arc(cr, f.x + g.px(50), f.midY() - g.px(4), g.px(15), 0, 2 * M_PI);
    cairo_move_to(cr, f.x + g.px(61), f.midY() + g.px(7));
    cairo_line_to(cr, f.x + g.px(72), f.midY() + g.px(18));
    cairo_stroke(cr);
    const Font font{g.px(51), Weight::regular};
    const TextField& field = scene.screen.search;
    double top = f.midY() - p.texts().get(font, field.text, 4000).logical.h / 2;
    if (field.text.empty())
        p.textMid(font, c.secondaryLabel, "Search", f.x + g.px(96), f.midY());
    p.pushClip(f);
    drawFieldText(p, scene, field, font, c.fieldText, f.x + g.px(96), top, 4000, c.tint);
    p.popClip();
}

void drawCardHeader(Painter& p, const Palette& c, const Rect& card, const char* title) {
    const Geometry& g = p.geo();
    p.fillRound(card, g.px(39), c.card);
    p.text({g.px(45), Weight::semibold}, c.label, title, card.x + g.px(48), card.y + g.px(66));
}

void drawResults(Painter& p, const Palette& c, const std::vector<SpotlightSlot>& slots) {
    cairo_t* cr = p.cr();
    const Geometry& g = p.geo();
    Rect topCard{g.groupX, g.spotlightTop, g.groupW, g.resultHeaderH + g.resultRowH};
    drawCardHeader(p, c, topCard, "Top Hit");
    if (slots.size() > 1) {
        double top = slots[1].row.y - g.resultHeaderH;
        drawCardHeader(p, c, {g.groupX, top, g.groupW, slots.back().row.bottom() - top}, "Apps");
    }
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const SpotlightSlot& s = slots[i];
        if (p.needs(s.icon))
            drawIcon(cr, s.icon, g.px(27), s.app->art);
        double textX = s.icon.right() + g.px(45);
        p.textMid({g.px(51), Weight::regular}, c.label, s.app->label, textX, s.row.midY());
        if (i > 0 && i + 1 < slots.size())
            p.fill({textX, s.row.bottom() - 1, s.row.right() - textX, 1}, c.separator);
    }
}

void drawSuggestions(Painter& p, const Palette& c, const std::vector<SpotlightSlot>& slots) {
    const Geometry& g = p.geo();
    drawCardHeader(p, c, {g.groupX, g.spotlightTop, g.groupW, g.resultHeaderH + g.px(300)},
                   "Siri Suggestions");
    for (const SpotlightSlot& s : slots) {
        if (p.needs(s.icon))
            drawIcon(p.cr(), s.icon, g.iconRadius, s.app->art);
        p.text({g.labelFont, Weight::regular}, c.label, s.app->label, s.icon.midX(),
               s.icon.bottom() + g.labelGap + g.px(30), Align::center);
    }
}

} // namespace

std::string clockText(std::chrono::system_clock::time_point wall) {
    std::time_t t = std::chrono::system_clock::to_time_t(wall);
    std::tm local{};
    localtime_r(&t, &local);
    int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    char text[8];
    std::snprintf(text, sizeof text, "%d:%02d", hour, local.tm_min);
    return text;
}

void drawStatusBar(Painter& p, const std::string& time, bool light) {
    const Geometry& g = p.geo();
    Colour c = light ? kWhite : kBlack;
    p.textMid({g.clockFont, Weight::semibold}, c, time, g.clockX, g.clockMidY, Align::center);
    if (!g.island.empty())
        p.fillRound(g.island, g.island.h / 2, kBlack);
    if (!g.notch.empty())
        drawNotch(p, g.notch);
    double y = g.clockMidY;
    if (!g.notch.empty() || g.homeButton) {
        // Smaller symbols: centred beside the notch, or at the edges of a Home-button phone's short bar
        // (with the clock in the middle).
        double size = g.k * 0.85;
        if (g.homeButton) {
            double edge = g.scale * 6;
            placed(p, g.w - edge + 95 * size, y, size, [&] { drawBattery(p, c); });
            placed(p, edge + 313 * size, y, size, [&] { drawSignal(p, c); });
        } else {
            double beside = (g.notch.right() + g.w) / 2;
            placed(p, beside + 204 * size, y, size, [&] {
                drawSignal(p, c);
                drawBattery(p, c);
            });
        }
        return;
    }
    if (!p.needs({g.w - g.px(329), y - g.px(30), g.px(250), g.px(60)}))
        return;
    placed(p, g.w, y, g.k, [&] {
        drawSignal(p, c);
        drawBattery(p, c);
    });
}

void drawHomeIndicator(Painter& p, bool light) {
    const Rect& r = p.geo().homeIndicatorRect;
    if (!r.empty())
        p.fillRound(r, r.h / 2, light ? kWhite : kBlack);
}

void drawKeyboard(Painter& p, Scene& scene) {
    const Geometry& g = p.geo();
    const Keyboard& kb = scene.screen.keyboard;
    const Palette& c = scene.colours();
    double top = kb.top(scene.now);
    Rect area{0, top, g.w, g.keyboardH};
    p.fill(area, c.keyboard);
    p.occlude(area);
    for (const KeyCap& key : keyboardKeys(g, kb, top))
        drawKey(p, c, key, kb.shift);
    if (!g.keyboardStrip)
        return;
    // The globe and dictation keys below the rows.
    double stripMid = top + g.keyTopPad + 4 * g.keyRowPitch + g.px(40);
    if (p.needs({0, stripMid - g.px(45), g.w, g.px(90)})) {
        drawGlyph(p.cr(), Glyph::globe, g.px(96), stripMid, g.px(78), c.keyboardGlyph);
        drawGlyph(p.cr(), Glyph::mic, g.w - g.px(96), stripMid, g.px(78), c.keyboardGlyph);
    }
}

void drawSpotlight(Painter& p, Scene& scene) {
    cairo_t* cr = p.cr();
    const Geometry& g = p.geo();
    if (scene.blurred && p.needs(g.screen)) {
        cairo_save(cr);
        cairo_scale(cr, kBlurScale, kBlurScale);
        cairo_set_source_surface(cr, scene.blurred, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
        cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
        cairo_paint(cr);
        cairo_restore(cr);
    }
    const Palette& c = scene.colours();
    p.fill(g.screen, c.spotlightDim);
    p.occlude(g.screen);
    drawSearchField(p, scene);
    p.textMid({g.px(51), Weight::regular}, kWhite, "Cancel", g.w - g.px(48), g.spotlightField.midY(),
              Align::right);
    const std::string& query = scene.screen.search.text;
    auto slots = spotlightSlots(g, query);
    if (query.empty())
        drawSuggestions(p, c, slots);
    else if (slots.empty())
        p.textMid({g.px(51), Weight::semibold}, kWhite, "No Results", g.w / 2, g.spotlightTop + g.px(200),
                  Align::center);
    else
        drawResults(p, c, slots);
}

void drawBanner(Painter& p, const std::string& text, const Palette& c) {
    const Geometry& g = p.geo();
    Rect r = bannerRect(g, p.texts(), text);
    p.fillRound(r.translated(0, g.px(9)).inflated(g.px(3)), g.px(63), rgb(0x000000, 0.10));
    p.fillRound(r, g.px(60), c.banner);
    p.occlude(r);
    Rect icon{r.x + g.px(42), r.midY() - g.px(57), g.px(114), g.px(114)};
    if (p.needs(icon))
        drawIcon(p.cr(), icon, g.px(26), {rgb(0xFF5E57), rgb(0xE0241B), Glyph::bell});
    const Font font{g.px(51), Weight::regular};
    double h = p.texts().get(font, text, bannerWrap(g)).logical.h;
    p.paragraph(font, c.label, text, icon.right() + g.px(36), r.midY() - h / 2, bannerWrap(g));
}

void drawAlert(Painter& p, const Palette& c) {
    const Geometry& g = p.geo();
    p.fill(g.screen, rgb(0x000000, 0.2));
    AlertLayout a = alertLayout(g, p.texts());
    p.fillRound(a.box, g.px(42), c.alert);
    p.occlude(a.box);
    const Font font{g.px(51), Weight::regular}, bold{g.px(51), Weight::semibold};
    p.text(bold, c.label, kTrustTitle, a.box.midX(), a.titleBaseline, Align::center);
    p.paragraph({g.px(39), Weight::regular}, c.label, kTrustMessage, a.box.x + g.px(48), a.messageTop,
                a.box.w - g.px(96), Align::center);
    p.fill({a.box.x, a.trust.y, a.box.w, 1}, c.separator);
    p.fill({a.box.midX(), a.trust.y, 1, a.trust.h}, c.separator);
    p.textMid(font, c.tint, "Trust", a.trust.midX(), a.trust.midY(), Align::center);
    p.textMid(bold, c.tint, "Don't Trust", a.dontTrust.midX(), a.dontTrust.midY(), Align::center);
}

// The mean grey level of what is drawn so far inside `area` (clipped to the surface).
static double meanGrey(cairo_t* cr, const Rect& area) {
    cairo_surface_t* surface = cairo_get_target(cr);
    if (cairo_surface_get_type(surface) != CAIRO_SURFACE_TYPE_IMAGE)
        return 255;
    cairo_surface_flush(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const int width = cairo_image_surface_get_width(surface), height = cairo_image_surface_get_height(surface);
    const int x0 = std::max(0, int(area.x)), y0 = std::max(0, int(area.y));
    const int x1 = std::min(width, int(area.x + area.w)), y1 = std::min(height, int(area.y + area.h));
    double sum = 0;
    long count = 0;
    for (int y = y0; y < y1; y += 2)
        for (int x = x0; x < x1; x += 2) {
            const unsigned char* px = data + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4;
            sum += 0.114 * px[0] + 0.587 * px[1] + 0.299 * px[2];
            ++count;
        }
    return count ? sum / count : 255;
}

void drawAssistiveTouch(Painter& p, Scene& scene) {
    const Screen& s = scene.screen;
    const Geometry& g = p.geo();
    cairo_t* cr = p.cr();
    Rect button = g.assistiveButtonRect(s.keyboard.top(scene.now));
    if (p.needs(button)) {
        p.fillRound(button, g.assistiveRadius, rgb(0x000000, 0.5));
        double cx = button.midX(), cy = button.midY();
        for (auto [radius, alpha] : {std::pair{66.0, 0.28}, {51.0, 0.38}, {36.0, 0.92}}) {
            cairo_new_sub_path(cr);
            cairo_arc(cr, cx, cy, g.px(radius), 0, 2 * M_PI);
            p.setColour(rgb(0xFFFFFF, alpha));
            cairo_fill(cr);
        }
    }
    p.occlude(button);
    Rect disc = g.discRect(s.pointerX, s.pointerY);
    if (!s.discVisible(scene.now) || !p.needs(disc))
        return;
    // Like a phone's pointer, the disc adapts to what lies under it: dark over light content, light over
    // dark content, so it stays visible everywhere. Over middling content it keeps its shade, so it does
    // not flicker while it moves across an edge.
    const double grey = meanGrey(cr, disc);
    bool overDark = scene.discLight ? *scene.discLight : grey < 110;
    if (grey < 90)
        overDark = true;
    else if (grey > 130)
        overDark = false;
    if (scene.discLight)
        *scene.discLight = overDark;
    cairo_new_sub_path(cr);
    cairo_arc(cr, s.pointerX, s.pointerY, g.discDiameter / 2, 0, 2 * M_PI);
    p.setColour(overDark ? rgb(0xFFFFFF, 0.45) : rgb(0x000000, 0.33));
    cairo_fill(cr);
    cairo_new_sub_path(cr);
    cairo_arc(cr, s.pointerX, s.pointerY, g.discDiameter / 2 - 0.75, 0, 2 * M_PI);
    p.setColour(overDark ? rgb(0x000000, 0.3) : rgb(0xFFFFFF, 0.3));
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
}

void drawIconMenu(Painter& p, Scene& scene) {
    const Palette& c = scene.colours();
    const Geometry& g = p.geo();
    IconMenu menu = iconMenuLayout(g, *scene.screen.iconMenu);
    p.fill(g.screen, rgb(0x000000, 0.35));
    Rect icon = g.homeIconRect(menu.icon);
    if (p.needs(icon))
        drawIcon(p.cr(), icon, g.iconRadius, homeApps()[std::size_t(menu.icon)].art);
    p.fillRound(menu.box, g.px(39), scene.screen.dark ? rgb(0x2C2C2E) : rgb(0xF2F2F2));
    p.occlude(menu.box);
    const auto& labels = iconMenuItems();
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const Rect& item = menu.items[i];
        bool destructive = i + 1 == labels.size();
        p.textMid({g.px(51), Weight::regular}, destructive ? rgb(0xFF3B30) : c.label, labels[i],
                  item.x + g.px(48), item.midY());
        if (i > 0)
            p.fill({item.x, item.y, item.w, 1}, c.separator);
    }
}

} // namespace pokescope::sim::detail
