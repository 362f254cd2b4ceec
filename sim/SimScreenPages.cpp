// Pages: the home screen, Settings' grouped lists, the note editor, the episode page and plain apps.
#include "sim/SimScreenDraw.hpp"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>

namespace pokescope::sim::detail {
namespace {

const Colour kWhite = rgb(0xFFFFFF);
const Colour kNotesTint = rgb(0xE3A21A), kPodcastsTint = rgb(0x9B45DB);

// The body text of lists and notes (17 pt).
Font body(const Geometry& g) {
    return {g.px(51), Weight::regular};
}

void drawMagnifier(cairo_t* cr, double cx, double cy, double size, const Colour& c) {
    cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
    cairo_set_line_width(cr, size * 0.12);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_new_sub_path(cr);
    cairo_arc(cr, cx - size * 0.08, cy - size * 0.08, size * 0.3, 0, 2 * M_PI);
    cairo_move_to(cr, cx + size * 0.15, cy + size * 0.15);
    cairo_line_to(cr, cx + size * 0.4, cy + size * 0.4);
    cairo_stroke(cr);
}

void drawSwitch(Painter& p, const Palette& c, double right, double midY, bool on) {
    const Geometry& g = p.geo();
    Rect track{right - g.switchW, midY - g.switchH / 2, g.switchW, g.switchH};
    if (!p.needs(track))
        return;
    p.fillRound(track, g.switchH / 2, on ? rgb(0x34C759) : c.switchOff);
    double knobX = on ? track.right() - g.switchH / 2 : track.x + g.switchH / 2;
    cairo_t* cr = p.cr();
    cairo_new_sub_path(cr);
    cairo_arc(cr, knobX, midY + g.px(3), g.switchH / 2 - g.px(4), 0, 2 * M_PI);
    p.setColour(rgb(0x000000, 0.12));
    cairo_fill(cr);
    cairo_new_sub_path(cr);
    cairo_arc(cr, knobX, midY, g.switchH / 2 - g.px(6), 0, 2 * M_PI);
    p.setColour(kWhite);
    cairo_fill(cr);
}

void drawCheck(Painter& p, const Palette& c, double x, double midY) {
    cairo_t* cr = p.cr();
    const Geometry& g = p.geo();
    p.setColour(c.tint);
    cairo_set_line_width(cr, g.px(7));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_move_to(cr, x, midY + g.px(2));
    cairo_line_to(cr, x + g.px(12), midY + g.px(15));
    cairo_line_to(cr, x + g.px(36), midY - g.px(17));
    cairo_stroke(cr);
}

void drawAccountRow(Painter& p, const Palette& c, const Row& row, double midY) {
    cairo_t* cr = p.cr();
    const Geometry& g = p.geo();
    Rect avatar{g.rowIconX - g.px(12), midY - g.px(84), g.px(168), g.px(168)};
    drawIcon(cr, avatar, g.px(84), {rgb(0xA8ADB7), rgb(0x7D828C), Glyph::person});
    double textX = avatar.right() + g.px(42);
    p.text({g.px(60), Weight::medium}, c.label, row.title, textX, midY - g.px(6));
    p.text({g.px(39), Weight::regular}, c.label, row.detail, textX, midY + g.px(54));
    drawChevron(p, g.rowRight, midY, c.chevron);
}

void drawRow(Painter& p, const Palette& c, const Row& row, const RowSlot& slot) {
    const Geometry& g = p.geo();
    if (!p.needs({g.groupX, slot.y, g.groupW, slot.h}))
        return;
    const Font font = body(g);
    double mid = slot.y + slot.h / 2;
    double textX = row.icon ? g.rowTextXIcon : g.rowTextX;
    if (row.icon)
        drawIcon(p.cr(), {g.rowIconX, mid - g.rowIconSize / 2, g.rowIconSize, g.rowIconSize}, g.px(20),
                 *row.icon);
    switch (row.style) {
    case RowStyle::account:
        drawAccountRow(p, c, row, mid);
        break;
    case RowStyle::link:
        p.textMid(font, c.label, row.title, textX, mid);
        if (!row.detail.empty())
            p.textMid(font, c.secondaryLabel, row.detail, g.rowRight - g.px(45), mid, Align::right);
        drawChevron(p, g.rowRight, mid, c.chevron);
        break;
    case RowStyle::value:
        p.textMid(font, c.label, row.title, textX, mid);
        p.textMid(font, c.secondaryLabel, row.detail, g.rowRight, mid, Align::right);
        break;
    case RowStyle::toggle:
        p.textMid(font, c.label, row.title, textX, mid);
        drawSwitch(p, c, g.rowRight, mid, row.on);
        break;
    case RowStyle::check:
        textX = g.rowTextX + g.px(60);
        if (row.on)
            drawCheck(p, c, g.rowTextX, mid);
        p.textMid(font, c.label, row.title, textX, mid);
        drawGlyph(p.cr(), Glyph::wifi, g.rowRight - g.px(40), mid, g.px(60), c.label);
        break;
    case RowStyle::action:
        p.textMid(font, c.tint, row.title, textX, mid);
        break;
    }
    if (!slot.last)
        p.fill({textX, slot.y + slot.h - 1, g.groupX + g.groupW - textX, 1}, c.separator);
}

void drawSearchField(Painter& p, const Palette& c, const Rect& r) {
    if (!p.needs(r))
        return;
    const Geometry& g = p.geo();
    p.fillRound(r, g.px(30), c.searchFill);
    drawMagnifier(p.cr(), r.x + g.px(54), r.midY(), g.px(48), c.secondaryLabel);
    p.textMid(body(g), c.secondaryLabel, "Search", r.x + g.px(96), r.midY());
}

void drawSettingsPage(Painter& p, Scene& scene, const std::vector<std::string>& path, double scroll) {
    const Geometry& g = p.geo();
    PageContent content = settingsPage(path, scene.screen.settings);
    ListLayout layout = layoutList(g, content);
    const Palette& c = scene.colours();
    p.fill(g.screen, c.groupedBackground);

    p.pushClip({0, g.navBottom, g.w, g.h - g.navBottom});
    cairo_save(p.cr());
    cairo_translate(p.cr(), 0, g.navBottom - scroll);
    if (content.root) {
        p.text({g.px(102), Weight::bold}, c.label, "Settings", g.px(60), g.px(112));
        drawSearchField(p, c, layout.search);
    }
    for (const HeaderSlot& h : layout.headers)
        p.text({g.px(39), Weight::regular}, c.secondaryLabel, h.text, g.rowTextX, h.baseline);
    for (std::size_t i = 0; i < layout.rows.size(); ++i) {
        const RowSlot& slot = layout.rows[i];
        if (!slot.first)
            continue;
        std::size_t last = i;
        while (!layout.rows[last].last)
            ++last;
        double bottom = layout.rows[last].y + layout.rows[last].h;
        p.fillRound({g.groupX, slot.y, g.groupW, bottom - slot.y}, g.groupRadius, c.cell);
    }
    for (const RowSlot& slot : layout.rows)
        drawRow(p, c, content.sections[std::size_t(slot.section)].rows[std::size_t(slot.row)], slot);
    cairo_restore(p.cr());
    p.popClip();

    if (scroll > 0)
        p.fill({0, g.navBottom - 1, g.w, 1}, c.separator);
    if (!path.empty())
        drawBackButton(p, settingsBackLabel(g, p.texts(), path, content.title), c.tint);
    if (!path.empty() || scroll > g.largeTitleBlock - g.px(30))
        p.textMid({g.px(51), Weight::semibold}, c.label, content.title, g.w / 2, g.navMid, Align::center);
}

// Where the caret of `field` sits in its laid-out text, relative to the text's top left corner.
Rect caretIn(const Geometry& g, TextCache& texts, const TextField& field, const Font& font, double width) {
    const TextLayout& t = texts.get(font, field.text, width);
    PangoRectangle strong;
    pango_layout_get_cursor_pos(t.layout, int(field.caret), &strong, nullptr);
    double h = double(strong.height) / PANGO_SCALE;
    return {double(strong.x) / PANGO_SCALE - g.px(3), double(strong.y) / PANGO_SCALE + h * 0.08, g.px(6),
            h * 0.84};
}

void drawNotesPage(Painter& p, Scene& scene) {
    const Screen& s = scene.screen;
    const Geometry& g = p.geo();
    const Palette& c = scene.colours();
    p.fill(g.screen, c.background);
    drawBackButton(p, "Notes", kNotesTint);
    if (s.focus == Focus::note)
        p.textMid({g.px(51), Weight::semibold}, kNotesTint, "Done", g.w - g.px(48), g.navMid, Align::right);
    double bottom = s.focus == Focus::note ? s.keyboard.top(scene.now) : g.h - g.bottomInset;
    double width = g.w - 2 * g.noteMargin;
    // The text scrolls up so the caret stays above the keyboard.
    Rect caret = caretIn(g, p.texts(), s.note, body(g), width);
    double offset = std::max(0.0, g.noteTop + caret.bottom() + g.px(30) - bottom);
    p.pushClip({0, g.navBottom, g.w, bottom - g.navBottom});
    drawFieldText(p, scene, s.note, body(g), c.fieldText, g.noteMargin, g.noteTop - std::round(offset), width,
                  kNotesTint);
    p.popClip();
}

void drawPlayGlyph(Painter& p, double x, double midY, bool playing) {
    cairo_t* cr = p.cr();
    const Geometry& g = p.geo();
    p.setColour(kWhite);
    if (playing) {
        cairo_rectangle(cr, x, midY - g.px(21), g.px(12), g.px(42));
        cairo_rectangle(cr, x + g.px(22), midY - g.px(21), g.px(12), g.px(42));
    } else {
        cairo_move_to(cr, x, midY - g.px(24));
        cairo_line_to(cr, x + g.px(36), midY);
        cairo_line_to(cr, x, midY + g.px(24));
        cairo_close_path(cr);
    }
    cairo_fill(cr);
}

std::string minutesSeconds(double seconds) {
    int s = int(std::floor(seconds + 1e-9));
    return std::to_string(s / 60) + ":" + (s % 60 < 10 ? "0" : "") + std::to_string(s % 60);
}

void drawProgress(Painter& p, Scene& scene) {
    const Screen& s = scene.screen;
    const Geometry& g = p.geo();
    const Palette& c = scene.colours();
    const Rect& track = g.progressTrack;
    double elapsed = std::chrono::duration<double>(scene.now - *s.playingSince).count();
    elapsed = std::clamp(elapsed, 0.0, kEpisodeSeconds);
    p.fillRound(track, g.px(6), c.switchOff);
    Rect done = track;
    done.w = std::round(track.w * elapsed / kEpisodeSeconds);
    if (done.w >= 1)
        p.fillRound(done, g.px(6), kPodcastsTint);
    double baseline = track.bottom() + g.px(78);
    const Font font{g.px(39), Weight::regular};
    p.text(font, c.secondaryLabel, minutesSeconds(elapsed), track.x, baseline);
    p.text(font, c.secondaryLabel, "-" + minutesSeconds(std::ceil(kEpisodeSeconds - elapsed)), track.right(),
           baseline, Align::right);
}

void drawPodcastsPage(Painter& p, Scene& scene) {
    bool playing = scene.screen.playingSince.has_value();
    const Geometry& g = p.geo();
    const Palette& c = scene.colours();
    p.fill(g.screen, c.background);
    drawBackButton(p, "Library", kPodcastsTint);
    if (p.needs(g.artwork))
        drawIcon(p.cr(), g.artwork, g.px(36), findApp("Podcasts")->art);
    p.text({g.px(45), Weight::semibold}, kPodcastsTint, kShowName, g.w / 2, g.episodeY(1035), Align::center);
    p.text({g.px(72), Weight::bold}, c.label, kEpisodeTitle, g.w / 2, g.episodeY(1125), Align::center);
    p.text({g.px(39), Weight::regular}, c.secondaryLabel, "Today · 12 sec", g.w / 2, g.episodeY(1200),
           Align::center);
    const Rect& button = g.playButton;
    if (p.needs(button)) {
        p.fillRound(button, button.h / 2, kPodcastsTint);
        std::string label = playing ? "Playing" : "Play";
        const Font font{g.px(54), Weight::semibold};
        double textW = p.texts().get(font, label).logical.w;
        double left = button.midX() - (g.px(36) + g.px(27) + textW) / 2;
        drawPlayGlyph(p, left, button.midY(), playing);
        p.textMid(font, kWhite, label, left + g.px(63), button.midY());
    }
    if (playing && p.needs(g.progressArea))
        drawProgress(p, scene);
    p.paragraph({g.px(45), Weight::regular}, c.secondaryLabel, kEpisodeSummary, g.progressTrack.x,
                g.episodeY(1740), g.progressTrack.w);
}

void drawPlainPage(Painter& p, const Palette& c, const std::string& app) {
    const Geometry& g = p.geo();
    p.fill(g.screen, c.background);
    p.text({g.px(102), Weight::bold}, c.label, app, g.px(60), g.navBottom + g.px(110));
    p.textMid(body(g), c.secondaryLabel, "No Content", g.w / 2, g.h / 2, Align::center);
}

} // namespace

void drawChevron(Painter& p, double right, double midY, const Colour& colour) {
    cairo_t* cr = p.cr();
    const Geometry& g = p.geo();
    p.setColour(colour);
    cairo_set_line_width(cr, g.px(6));
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_move_to(cr, right - g.px(15), midY - g.px(20));
    cairo_line_to(cr, right, midY);
    cairo_line_to(cr, right - g.px(15), midY + g.px(20));
    cairo_stroke(cr);
}

void drawBackButton(Painter& p, const std::string& label, const Colour& tint) {
    cairo_t* cr = p.cr();
    const Geometry& g = p.geo();
    double mid = g.navMid;
    if (p.needs({g.px(20), mid - g.px(40), g.px(50), g.px(80)})) {
        p.setColour(tint);
        cairo_set_line_width(cr, g.px(8.5));
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        cairo_move_to(cr, g.px(57), mid - g.px(31));
        cairo_line_to(cr, g.px(29), mid);
        cairo_line_to(cr, g.px(57), mid + g.px(31));
        cairo_stroke(cr);
    }
    if (!label.empty())
        p.textMid(body(g), tint, label, g.px(87), mid);
}

void drawFieldText(Painter& p, Scene& scene, const TextField& field, const Font& font, const Colour& colour,
                   double x, double top, double width, const Colour& caretColour) {
    const Screen& s = scene.screen;
    if (!field.text.empty())
        p.paragraph(font, colour, field.text, x, top, width);
    bool focused =
        (s.focus == Focus::note && &field == &s.note) || (s.focus == Focus::search && &field == &s.search);
    if (!focused)
        return;
    Rect caret = caretIn(p.geo(), p.texts(), field, font, width).translated(std::round(x), std::round(top));
    scene.caret = p.toDevice(caret).outward();
    if (s.caretOn(scene.now))
        p.fillRound(caret, p.geo().px(3), caretColour);
}

void drawHome(Painter& p, Scene& scene) {
    cairo_t* cr = p.cr();
    const Geometry& g = p.geo();
    if (scene.wallpaper) {
        cairo_set_source_surface(cr, scene.wallpaper, 0, 0);
        cairo_paint(cr);
    }
    p.fill(g.screen, scene.colours().wallpaperDim);
    const Font label{g.labelFont, Weight::regular};
    const auto& apps = homeApps();
    for (std::size_t i = 0; i < apps.size(); ++i) {
        Rect r = g.homeIconRect(int(i));
        if (p.needs(r))
            drawIcon(cr, r, g.iconRadius, apps[i].art);
        double baseline = r.bottom() + g.labelGap + g.px(30);
        p.text(label, rgb(0x000000, 0.18), apps[i].label, r.midX(), baseline + g.px(3), Align::center, false);
        p.text(label, rgb(0x000000, 0.22), apps[i].label, r.midX(), baseline + g.px(1.5), Align::center,
               false);
        p.text(label, kWhite, apps[i].label, r.midX(), baseline, Align::center);
    }
    const Rect& pill = g.searchPill;
    if (p.needs(pill)) {
        p.fillRound(pill, pill.h / 2, rgb(0xFFFFFF, 0.24));
        const Font font{g.px(39), Weight::semibold};
        double textW = p.texts().get(font, "Search").logical.w;
        double left = pill.midX() - (g.px(36) + g.px(12) + textW) / 2;
        drawMagnifier(cr, left + g.px(18), pill.midY(), g.px(36), kWhite);
        p.textMid(font, kWhite, "Search", left + g.px(48), pill.midY());
    }
    p.fillRound(g.dock, g.dockRadius, scene.colours().dock);
    const auto& dock = dockApps();
    for (std::size_t i = 0; i < dock.size(); ++i)
        if (p.needs(g.dockIconRect(int(i))))
            drawIcon(cr, g.dockIconRect(int(i)), g.iconRadius, dock[i].art);
}

void drawAppPage(Painter& p, Scene& scene, const std::string& app, const std::vector<std::string>& path,
                 double scroll) {
    const AppInfo* info = findApp(app);
    switch (info ? info->kind : AppKind::plain) {
    case AppKind::settings:
        drawSettingsPage(p, scene, path, scroll);
        break;
    case AppKind::notes:
        drawNotesPage(p, scene);
        break;
    case AppKind::podcasts:
        drawPodcastsPage(p, scene);
        break;
    case AppKind::plain:
        drawPlainPage(p, scene.colours(), app);
        break;
    }
}

} // namespace pokescope::sim::detail
