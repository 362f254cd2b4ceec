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

void drawBattery(Painter& p, const Colour& c) {
    cairo_t* cr = p.cr();
    Colour faint{c.r, c.g, c.b, 0.4};
    p.setColour(faint);
    cairo_set_line_width(cr, 3);
    roundedRect(cr, {1003.5, 73.5, 72, 35}, 10);
    cairo_stroke(cr);
    p.fillRound({1079, 84, 5, 14}, 2.5, faint);
    p.fillRound({1009, 79, 48, 24}, 5, c);
}

void drawShiftGlyph(Painter& p, const Rect& key, bool active, const Colour& colour) {
    cairo_t* cr = p.cr();
    double x = key.midX(), y = key.midY();
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

void drawDeleteGlyph(Painter& p, const Rect& key, const Colour& colour) {
    cairo_t* cr = p.cr();
    double x = key.midX(), y = key.midY();
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
    if (!p.needs(key.rect.inflated(4)))
        return;
    bool special = key.kind != KeyCap::Kind::character && key.kind != KeyCap::Kind::space;
    p.fillRound(key.rect.translated(0, 3), 15, c.keyShadow);
    p.fillRound(key.rect, 15, special ? c.specialKey : c.key);
    switch (key.kind) {
    case KeyCap::Kind::character:
        p.textMid({66, Weight::regular}, c.keyLabel, key.label, key.rect.midX(), key.rect.midY() - 3,
                  Align::center);
        break;
    case KeyCap::Kind::shift:
        drawShiftGlyph(p, key.rect, shift, c.keyLabel);
        break;
    case KeyCap::Kind::backspace:
        drawDeleteGlyph(p, key.rect, c.keyLabel);
        break;
    default:
        p.textMid({48, Weight::regular}, c.keyLabel, key.label, key.rect.midX(), key.rect.midY(),
                  Align::center);
        break;
    }
}

void drawSearchField(Painter& p, Scene& scene) {
    const Rect& f = kSpotlightField;
    const Palette& c = scene.colours();
    p.fillRound(f, 30, c.spotlightField);
    cairo_t* cr = p.cr();
    p.setColour(c.secondaryLabel);
    cairo_set_line_width(cr, 5.5);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_new_sub_path(cr);
    cairo_arc(cr, f.x + 50, f.midY() - 4, 15, 0, 2 * M_PI);
    cairo_move_to(cr, f.x + 61, f.midY() + 7);
    cairo_line_to(cr, f.x + 72, f.midY() + 18);
    cairo_stroke(cr);
    const Font font{51, Weight::regular};
    const TextField& field = scene.screen.search;
    double top = f.midY() - p.texts().get(font, field.text, 4000).logical.h / 2;
    if (field.text.empty())
        p.textMid(font, c.secondaryLabel, "Search", f.x + 96, f.midY());
    p.pushClip(f);
    drawFieldText(p, scene, field, font, c.fieldText, f.x + 96, top, 4000, c.tint);
    p.popClip();
}

void drawCardHeader(Painter& p, const Palette& c, const Rect& card, const char* title) {
    p.fillRound(card, 39, c.card);
    p.text({45, Weight::semibold}, c.label, title, card.x + 48, card.y + 66);
}

void drawResults(Painter& p, const Palette& c, const std::vector<SpotlightSlot>& slots) {
    cairo_t* cr = p.cr();
    Rect topCard{kGroupX, kSpotlightTop, kGroupW, kResultHeaderH + kResultRowH};
    drawCardHeader(p, c, topCard, "Top Hit");
    if (slots.size() > 1) {
        double top = slots[1].row.y - kResultHeaderH;
        drawCardHeader(p, c, {kGroupX, top, kGroupW, slots.back().row.bottom() - top}, "Apps");
    }
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const SpotlightSlot& s = slots[i];
        if (p.needs(s.icon))
            drawIcon(cr, s.icon, 27, s.app->art);
        p.textMid({51, Weight::regular}, c.label, s.app->label, s.icon.right() + 45, s.row.midY());
        if (i > 0 && i + 1 < slots.size())
            p.fill({s.icon.right() + 45, s.row.bottom() - 1, s.row.right() - s.icon.right() - 45, 1},
                   c.separator);
    }
}

void drawSuggestions(Painter& p, const Palette& c, const std::vector<SpotlightSlot>& slots) {
    drawCardHeader(p, c, {kGroupX, kSpotlightTop, kGroupW, kResultHeaderH + 300}, "Siri Suggestions");
    for (const SpotlightSlot& s : slots) {
        if (p.needs(s.icon))
            drawIcon(p.cr(), s.icon, kIconRadius, s.app->art);
        p.text({36, Weight::regular}, c.label, s.app->label, s.icon.midX(), s.icon.bottom() + kLabelGap + 30,
               Align::center);
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
    Colour c = light ? kWhite : kBlack;
    p.textMid({51, Weight::semibold}, c, time, 166, 90, Align::center);
    p.fillRound(kIsland, kIsland.h / 2, kBlack);
    if (!p.needs({850, 60, 250, 60}))
        return;
    for (int i = 0; i < 4; ++i) {
        double h = 12 + i * 7;
        p.fillRound({866.0 + i * 15, 106 - h, 10, h}, 2.5, c);
    }
    drawGlyph(p.cr(), Glyph::wifi, 958, 92, 62, c);
    drawBattery(p, c);
}

void drawHomeIndicator(Painter& p, bool light) {
    p.fillRound(kHomeIndicator, kHomeIndicator.h / 2, light ? kWhite : kBlack);
}

void drawKeyboard(Painter& p, Scene& scene) {
    const Keyboard& kb = scene.screen.keyboard;
    const Palette& c = scene.colours();
    double top = kb.top(scene.now);
    Rect area{0, top, kW, kKeyboardH};
    p.fill(area, c.keyboard);
    p.occlude(area);
    for (const KeyCap& key : keyboardKeys(kb, top))
        drawKey(p, c, key, kb.shift);
    double stripMid = top + 24 + 4 * 162 + 40;
    if (p.needs({0, stripMid - 45, kW, 90})) {
        drawGlyph(p.cr(), Glyph::globe, 96, stripMid, 78, c.keyboardGlyph);
        drawGlyph(p.cr(), Glyph::mic, kW - 96, stripMid, 78, c.keyboardGlyph);
    }
}

void drawSpotlight(Painter& p, Scene& scene) {
    cairo_t* cr = p.cr();
    if (scene.blurred && p.needs(kScreen)) {
        cairo_save(cr);
        cairo_scale(cr, kBlurScale, kBlurScale);
        cairo_set_source_surface(cr, scene.blurred, 0, 0);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
        cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
        cairo_paint(cr);
        cairo_restore(cr);
    }
    const Palette& c = scene.colours();
    p.fill(kScreen, c.spotlightDim);
    p.occlude(kScreen);
    drawSearchField(p, scene);
    p.textMid({51, Weight::regular}, kWhite, "Cancel", kW - 48, kSpotlightField.midY(), Align::right);
    const std::string& query = scene.screen.search.text;
    auto slots = spotlightSlots(query);
    if (query.empty())
        drawSuggestions(p, c, slots);
    else if (slots.empty())
        p.textMid({51, Weight::semibold}, kWhite, "No Results", kW / 2, 560, Align::center);
    else
        drawResults(p, c, slots);
}

void drawBanner(Painter& p, const std::string& text, const Palette& c) {
    Rect r = bannerRect(p.texts(), text);
    p.fillRound(r.translated(0, 9).inflated(3), 63, rgb(0x000000, 0.10));
    p.fillRound(r, 60, c.banner);
    p.occlude(r);
    Rect icon{r.x + 42, r.midY() - 57, 114, 114};
    if (p.needs(icon))
        drawIcon(p.cr(), icon, 26, {rgb(0xFF5E57), rgb(0xE0241B), Glyph::bell});
    const Font font{51, Weight::regular};
    double h = p.texts().get(font, text, 891).logical.h;
    p.paragraph(font, c.label, text, icon.right() + 36, r.midY() - h / 2, 891);
}

void drawAlert(Painter& p, const Palette& c) {
    p.fill(kScreen, rgb(0x000000, 0.2));
    AlertLayout a = alertLayout(p.texts());
    p.fillRound(a.box, 42, c.alert);
    p.occlude(a.box);
    p.text({51, Weight::semibold}, c.label, kTrustTitle, a.box.midX(), a.titleBaseline, Align::center);
    p.paragraph({39, Weight::regular}, c.label, kTrustMessage, a.box.x + 48, a.messageTop, a.box.w - 96,
                Align::center);
    p.fill({a.box.x, a.trust.y, a.box.w, 1}, c.separator);
    p.fill({a.box.midX(), a.trust.y, 1, a.trust.h}, c.separator);
    p.textMid({51, Weight::regular}, c.tint, "Trust", a.trust.midX(), a.trust.midY(), Align::center);
    p.textMid({51, Weight::semibold}, c.tint, "Don't Trust", a.dontTrust.midX(), a.dontTrust.midY(),
              Align::center);
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
    cairo_t* cr = p.cr();
    Rect button = assistiveButtonRect(s.keyboard.top(scene.now));
    if (p.needs(button)) {
        p.fillRound(button, kAssistiveRadius, rgb(0x000000, 0.5));
        double cx = button.midX(), cy = button.midY();
        for (auto [radius, alpha] : {std::pair{66.0, 0.28}, {51.0, 0.38}, {36.0, 0.92}}) {
            cairo_new_sub_path(cr);
            cairo_arc(cr, cx, cy, radius, 0, 2 * M_PI);
            p.setColour(rgb(0xFFFFFF, alpha));
            cairo_fill(cr);
        }
    }
    p.occlude(button);
    if (!s.discVisible(scene.now) || !p.needs(discRect(s.pointerX, s.pointerY)))
        return;
    // Like a phone's pointer, the disc adapts to what lies under it: dark over light content, light over
    // dark content, so it stays visible everywhere. Over middling content it keeps its shade, so it does
    // not flicker while it moves across an edge.
    const double grey = meanGrey(cr, discRect(s.pointerX, s.pointerY));
    bool overDark = scene.discLight ? *scene.discLight : grey < 110;
    if (grey < 90)
        overDark = true;
    else if (grey > 130)
        overDark = false;
    if (scene.discLight)
        *scene.discLight = overDark;
    cairo_new_sub_path(cr);
    cairo_arc(cr, s.pointerX, s.pointerY, kDiscDiameter / 2, 0, 2 * M_PI);
    p.setColour(overDark ? rgb(0xFFFFFF, 0.45) : rgb(0x000000, 0.33));
    cairo_fill(cr);
    cairo_new_sub_path(cr);
    cairo_arc(cr, s.pointerX, s.pointerY, kDiscDiameter / 2 - 0.75, 0, 2 * M_PI);
    p.setColour(overDark ? rgb(0x000000, 0.3) : rgb(0xFFFFFF, 0.3));
    cairo_set_line_width(cr, 1.5);
    cairo_stroke(cr);
}

void drawIconMenu(Painter& p, Scene& scene) {
    const Palette& c = scene.colours();
    IconMenu menu = iconMenuLayout(*scene.screen.iconMenu);
    p.fill(kScreen, rgb(0x000000, 0.35));
    Rect icon = homeIconRect(menu.icon);
    if (p.needs(icon))
        drawIcon(p.cr(), icon, kIconRadius, homeApps()[std::size_t(menu.icon)].art);
    p.fillRound(menu.box, 39, scene.screen.dark ? rgb(0x2C2C2E) : rgb(0xF2F2F2));
    p.occlude(menu.box);
    const auto& labels = iconMenuItems();
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const Rect& item = menu.items[i];
        bool destructive = i + 1 == labels.size();
        p.textMid({51, Weight::regular}, destructive ? rgb(0xFF3B30) : c.label, labels[i], item.x + 48,
                  item.midY());
        if (i > 0)
            p.fill({item.x, item.y, item.w, 1}, c.separator);
    }
}

} // namespace pokescope::sim::detail
