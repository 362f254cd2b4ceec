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
const Font kBody{51, Weight::regular};
constexpr double kNavMid = (kStatusBarH + kNavBottom) / 2;

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
    Rect track{right - kSwitchW, midY - kSwitchH / 2, kSwitchW, kSwitchH};
    if (!p.needs(track))
        return;
    p.fillRound(track, kSwitchH / 2, on ? rgb(0x34C759) : c.switchOff);
    double knobX = on ? track.right() - kSwitchH / 2 : track.x + kSwitchH / 2;
    cairo_t* cr = p.cr();
    cairo_new_sub_path(cr);
    cairo_arc(cr, knobX, midY + 3, kSwitchH / 2 - 4, 0, 2 * M_PI);
    p.setColour(rgb(0x000000, 0.12));
    cairo_fill(cr);
    cairo_new_sub_path(cr);
    cairo_arc(cr, knobX, midY, kSwitchH / 2 - 6, 0, 2 * M_PI);
    p.setColour(kWhite);
    cairo_fill(cr);
}

void drawCheck(Painter& p, const Palette& c, double x, double midY) {
    cairo_t* cr = p.cr();
    p.setColour(c.tint);
    cairo_set_line_width(cr, 7);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_move_to(cr, x, midY + 2);
    cairo_line_to(cr, x + 12, midY + 15);
    cairo_line_to(cr, x + 36, midY - 17);
    cairo_stroke(cr);
}

void drawAccountRow(Painter& p, const Palette& c, const Row& row, double midY) {
    cairo_t* cr = p.cr();
    Rect avatar{kRowIconX - 12, midY - 84, 168, 168};
    drawIcon(cr, avatar, 84, {rgb(0xA8ADB7), rgb(0x7D828C), Glyph::person});
    double textX = avatar.right() + 42;
    p.text({60, Weight::medium}, c.label, row.title, textX, midY - 6);
    p.text({39, Weight::regular}, c.label, row.detail, textX, midY + 54);
    drawChevron(p, kRowRight, midY, c.chevron);
}

void drawRow(Painter& p, const Palette& c, const Row& row, const RowSlot& slot) {
    if (!p.needs({kGroupX, slot.y, kGroupW, slot.h}))
        return;
    double mid = slot.y + slot.h / 2;
    double textX = row.icon ? kRowTextXIcon : kRowTextX;
    if (row.icon)
        drawIcon(p.cr(), {kRowIconX, mid - kRowIconSize / 2, kRowIconSize, kRowIconSize}, 20, *row.icon);
    switch (row.style) {
    case RowStyle::account:
        drawAccountRow(p, c, row, mid);
        break;
    case RowStyle::link:
        p.textMid(kBody, c.label, row.title, textX, mid);
        if (!row.detail.empty())
            p.textMid(kBody, c.secondaryLabel, row.detail, kRowRight - 45, mid, Align::right);
        drawChevron(p, kRowRight, mid, c.chevron);
        break;
    case RowStyle::value:
        p.textMid(kBody, c.label, row.title, textX, mid);
        p.textMid(kBody, c.secondaryLabel, row.detail, kRowRight, mid, Align::right);
        break;
    case RowStyle::toggle:
        p.textMid(kBody, c.label, row.title, textX, mid);
        drawSwitch(p, c, kRowRight, mid, row.on);
        break;
    case RowStyle::check:
        textX = kRowTextX + 60;
        if (row.on)
            drawCheck(p, c, kRowTextX, mid);
        p.textMid(kBody, c.label, row.title, textX, mid);
        drawGlyph(p.cr(), Glyph::wifi, kRowRight - 40, mid, 60, c.label);
        break;
    case RowStyle::action:
        p.textMid(kBody, c.tint, row.title, textX, mid);
        break;
    }
    if (!slot.last)
        p.fill({textX, slot.y + slot.h - 1, kGroupX + kGroupW - textX, 1}, c.separator);
}

void drawSearchField(Painter& p, const Palette& c, const Rect& r) {
    if (!p.needs(r))
        return;
    p.fillRound(r, 30, c.searchFill);
    drawMagnifier(p.cr(), r.x + 54, r.midY(), 48, c.secondaryLabel);
    p.textMid(kBody, c.secondaryLabel, "Search", r.x + 96, r.midY());
}

void drawSettingsPage(Painter& p, Scene& scene, const std::vector<std::string>& path, double scroll) {
    PageContent content = settingsPage(path, scene.screen.settings);
    ListLayout layout = layoutList(content);
    const Palette& c = scene.colours();
    p.fill(kScreen, c.groupedBackground);

    p.pushClip({0, kNavBottom, kW, kH - kNavBottom});
    cairo_save(p.cr());
    cairo_translate(p.cr(), 0, kNavBottom - scroll);
    if (content.root) {
        p.text({102, Weight::bold}, c.label, "Settings", 60, 112);
        drawSearchField(p, c, layout.search);
    }
    for (const HeaderSlot& h : layout.headers)
        p.text({39, Weight::regular}, c.secondaryLabel, h.text, kRowTextX, h.baseline);
    for (std::size_t i = 0; i < layout.rows.size(); ++i) {
        const RowSlot& slot = layout.rows[i];
        if (!slot.first)
            continue;
        std::size_t last = i;
        while (!layout.rows[last].last)
            ++last;
        double bottom = layout.rows[last].y + layout.rows[last].h;
        p.fillRound({kGroupX, slot.y, kGroupW, bottom - slot.y}, kGroupRadius, c.cell);
    }
    for (const RowSlot& slot : layout.rows)
        drawRow(p, c, content.sections[std::size_t(slot.section)].rows[std::size_t(slot.row)], slot);
    cairo_restore(p.cr());
    p.popClip();

    if (scroll > 0)
        p.fill({0, kNavBottom - 1, kW, 1}, c.separator);
    const TextLayout& title = p.texts().get({51, Weight::semibold}, content.title);
    if (!path.empty()) {
        std::string parent = path.size() == 1 ? "Settings" : path[path.size() - 2];
        double parentRight = 87 + p.texts().get(kBody, parent).logical.w;
        // A long title leaves room for the back chevron only, as on the phone.
        drawBackButton(p, parentRight + 30 < kW / 2 - title.logical.w / 2 ? parent : "", c.tint);
    }
    if (!path.empty() || scroll > kLargeTitleBlock - 30)
        p.textMid({51, Weight::semibold}, c.label, content.title, kW / 2, kNavMid, Align::center);
}

// Where the caret of `field` sits in its laid-out text, relative to the text's top left corner.
Rect caretIn(TextCache& texts, const TextField& field, const Font& font, double width) {
    const TextLayout& t = texts.get(font, field.text, width);
    PangoRectangle strong;
    pango_layout_get_cursor_pos(t.layout, int(field.caret), &strong, nullptr);
    double h = double(strong.height) / PANGO_SCALE;
    return {double(strong.x) / PANGO_SCALE - 3, double(strong.y) / PANGO_SCALE + h * 0.08, 6, h * 0.84};
}

void drawNotesPage(Painter& p, Scene& scene) {
    const Screen& s = scene.screen;
    const Palette& c = scene.colours();
    p.fill(kScreen, c.background);
    drawBackButton(p, "Notes", kNotesTint);
    if (s.focus == Focus::note)
        p.textMid({51, Weight::semibold}, kNotesTint, "Done", kW - 48, kNavMid, Align::right);
    double bottom = s.focus == Focus::note ? s.keyboard.top(scene.now) : kH - kBottomInset;
    double width = kW - 2 * kNoteMargin;
    // The text scrolls up so the caret stays above the keyboard.
    Rect caret = caretIn(p.texts(), s.note, kBody, width);
    double offset = std::max(0.0, kNoteTop + caret.bottom() + 30 - bottom);
    p.pushClip({0, kNavBottom, kW, bottom - kNavBottom});
    drawFieldText(p, scene, s.note, kBody, c.fieldText, kNoteMargin, kNoteTop - std::round(offset), width,
                  kNotesTint);
    p.popClip();
}

void drawPlayGlyph(Painter& p, double x, double midY, bool playing) {
    cairo_t* cr = p.cr();
    p.setColour(kWhite);
    if (playing) {
        cairo_rectangle(cr, x, midY - 21, 12, 42);
        cairo_rectangle(cr, x + 22, midY - 21, 12, 42);
    } else {
        cairo_move_to(cr, x, midY - 24);
        cairo_line_to(cr, x + 36, midY);
        cairo_line_to(cr, x, midY + 24);
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
    const Palette& c = scene.colours();
    double elapsed = std::chrono::duration<double>(scene.now - *s.playingSince).count();
    elapsed = std::clamp(elapsed, 0.0, kEpisodeSeconds);
    p.fillRound(kProgressTrack, 6, c.switchOff);
    Rect done = kProgressTrack;
    done.w = std::round(kProgressTrack.w * elapsed / kEpisodeSeconds);
    if (done.w >= 1)
        p.fillRound(done, 6, kPodcastsTint);
    double baseline = kProgressTrack.bottom() + 78;
    p.text({39, Weight::regular}, c.secondaryLabel, minutesSeconds(elapsed), kProgressTrack.x, baseline);
    p.text({39, Weight::regular}, c.secondaryLabel,
           "-" + minutesSeconds(std::ceil(kEpisodeSeconds - elapsed)), kProgressTrack.right(), baseline,
           Align::right);
}

void drawPodcastsPage(Painter& p, Scene& scene) {
    bool playing = scene.screen.playingSince.has_value();
    const Palette& c = scene.colours();
    p.fill(kScreen, c.background);
    drawBackButton(p, "Library", kPodcastsTint);
    if (p.needs(kArtwork))
        drawIcon(p.cr(), kArtwork, 36, findApp("Podcasts")->art);
    p.text({45, Weight::semibold}, kPodcastsTint, kShowName, kW / 2, 1035, Align::center);
    p.text({72, Weight::bold}, c.label, kEpisodeTitle, kW / 2, 1125, Align::center);
    p.text({39, Weight::regular}, c.secondaryLabel, "Today · 12 sec", kW / 2, 1200, Align::center);
    if (p.needs(kPlayButton)) {
        p.fillRound(kPlayButton, kPlayButton.h / 2, kPodcastsTint);
        std::string label = playing ? "Playing" : "Play";
        double textW = p.texts().get({54, Weight::semibold}, label).logical.w;
        double left = kPlayButton.midX() - (36 + 27 + textW) / 2;
        drawPlayGlyph(p, left, kPlayButton.midY(), playing);
        p.textMid({54, Weight::semibold}, kWhite, label, left + 63, kPlayButton.midY());
    }
    if (playing && p.needs(kProgressArea))
        drawProgress(p, scene);
    p.paragraph({45, Weight::regular}, c.secondaryLabel, kEpisodeSummary, kProgressTrack.x, 1740,
                kProgressTrack.w);
}

void drawPlainPage(Painter& p, const Palette& c, const std::string& app) {
    p.fill(kScreen, c.background);
    p.text({102, Weight::bold}, c.label, app, 60, kNavBottom + 110);
    p.textMid(kBody, c.secondaryLabel, "No Content", kW / 2, kH / 2, Align::center);
}

} // namespace

void drawChevron(Painter& p, double right, double midY, const Colour& colour) {
    cairo_t* cr = p.cr();
    p.setColour(colour);
    cairo_set_line_width(cr, 6);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_move_to(cr, right - 15, midY - 20);
    cairo_line_to(cr, right, midY);
    cairo_line_to(cr, right - 15, midY + 20);
    cairo_stroke(cr);
}

void drawBackButton(Painter& p, const std::string& label, const Colour& tint) {
    cairo_t* cr = p.cr();
    if (p.needs({20, kNavMid - 40, 50, 80})) {
        p.setColour(tint);
        cairo_set_line_width(cr, 8.5);
        cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
        cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
        cairo_move_to(cr, 57, kNavMid - 31);
        cairo_line_to(cr, 29, kNavMid);
        cairo_line_to(cr, 57, kNavMid + 31);
        cairo_stroke(cr);
    }
    if (!label.empty())
        p.textMid(kBody, tint, label, 87, kNavMid);
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
    Rect caret = caretIn(p.texts(), field, font, width).translated(std::round(x), std::round(top));
    scene.caret = p.toDevice(caret).outward();
    if (s.caretOn(scene.now))
        p.fillRound(caret, 3, caretColour);
}

void drawHome(Painter& p, Scene& scene) {
    cairo_t* cr = p.cr();
    if (scene.wallpaper) {
        cairo_set_source_surface(cr, scene.wallpaper, 0, 0);
        cairo_paint(cr);
    }
    p.fill(kScreen, scene.colours().wallpaperDim);
    const Font label{36, Weight::regular};
    const auto& apps = homeApps();
    for (std::size_t i = 0; i < apps.size(); ++i) {
        Rect r = homeIconRect(int(i));
        if (p.needs(r))
            drawIcon(cr, r, kIconRadius, apps[i].art);
        double baseline = r.bottom() + kLabelGap + 30;
        p.text(label, rgb(0x000000, 0.18), apps[i].label, r.midX(), baseline + 3, Align::center, false);
        p.text(label, rgb(0x000000, 0.22), apps[i].label, r.midX(), baseline + 1.5, Align::center, false);
        p.text(label, kWhite, apps[i].label, r.midX(), baseline, Align::center);
    }
    if (p.needs(kSearchPill)) {
        p.fillRound(kSearchPill, kSearchPill.h / 2, rgb(0xFFFFFF, 0.24));
        const Font pill{39, Weight::semibold};
        double textW = p.texts().get(pill, "Search").logical.w;
        double left = kSearchPill.midX() - (36 + 12 + textW) / 2;
        drawMagnifier(cr, left + 18, kSearchPill.midY(), 36, kWhite);
        p.textMid(pill, kWhite, "Search", left + 48, kSearchPill.midY());
    }
    p.fillRound(kDockRect, 96, scene.colours().dock);
    const auto& dock = dockApps();
    for (std::size_t i = 0; i < dock.size(); ++i)
        if (p.needs(dockIconRect(int(i))))
            drawIcon(cr, dockIconRect(int(i)), kIconRadius, dock[i].art);
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
