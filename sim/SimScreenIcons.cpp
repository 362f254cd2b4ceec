#include "sim/SimScreenIcons.hpp"

#include <cairo.h>

#include <cmath>

namespace pokescope::sim::detail {
namespace {

constexpr double kPi = M_PI;
constexpr double deg(double d) {
    return d * kPi / 180;
}

// Glyphs are drawn in a unit square centred on the origin, in the current source colour; `cut` paints
// holes through what was drawn so far (the glyph is drawn into its own group).
void cut(cairo_t* cr) {
    cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
    cairo_fill(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
}
void circle(cairo_t* cr, double x, double y, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x, y, r, 0, 2 * kPi);
}
void box(cairo_t* cr, double x, double y, double w, double h, double r) {
    roundedRect(cr, {x, y, w, h}, r);
}
void line(cairo_t* cr, double x1, double y1, double x2, double y2) {
    cairo_move_to(cr, x1, y1);
    cairo_line_to(cr, x2, y2);
}
void stroke(cairo_t* cr, double width) {
    cairo_set_line_width(cr, width);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_stroke(cr);
}
void polygon(cairo_t* cr, std::initializer_list<std::pair<double, double>> points) {
    bool first = true;
    for (auto [x, y] : points) {
        if (first)
            cairo_move_to(cr, x, y);
        else
            cairo_line_to(cr, x, y);
        first = false;
    }
    cairo_close_path(cr);
}

void gear(cairo_t* cr, int teeth, double outer, double inner, double hole) {
    for (int i = 0; i < teeth * 4; ++i) {
        double a = 2 * kPi * (i - 0.5) / (teeth * 4);
        double r = (i % 4 < 2) ? outer : inner;
        if (i == 0)
            cairo_move_to(cr, r * std::cos(a), r * std::sin(a));
        else
            cairo_line_to(cr, r * std::cos(a), r * std::sin(a));
    }
    cairo_close_path(cr);
    cairo_fill(cr);
    circle(cr, 0, 0, hole);
    cut(cr);
}

void drawAppGlyph(cairo_t* cr, Glyph g) {
    switch (g) {
    case Glyph::gear:
        gear(cr, 10, 0.42, 0.33, 0.13);
        break;
    case Glyph::notes:
        for (double y : {-0.2, 0.0, 0.2})
            line(cr, -0.28, y, 0.28, y);
        stroke(cr, 0.07);
        break;
    case Glyph::podcasts:
        circle(cr, 0, -0.06, 0.08);
        cairo_fill(cr);
        for (double r : {0.19, 0.31}) {
            cairo_new_sub_path(cr);
            cairo_arc(cr, 0, -0.06, r, deg(135), deg(405));
        }
        stroke(cr, 0.06);
        line(cr, 0, 0.08, 0, 0.34);
        stroke(cr, 0.1);
        break;
    case Glyph::compass:
        circle(cr, 0, 0, 0.38);
        stroke(cr, 0.045);
        polygon(cr, {{0.24, -0.24}, {0.05, 0.05}, {-0.24, 0.24}, {-0.05, -0.05}});
        cairo_fill(cr);
        break;
    case Glyph::flower:
        for (int i = 0; i < 8; ++i) {
            cairo_save(cr);
            cairo_rotate(cr, deg(45 * i));
            cairo_scale(cr, 0.5, 1);
            circle(cr, 0, -0.2, 0.16);
            cairo_restore(cr);
            cairo_fill(cr);
        }
        break;
    case Glyph::camera:
        box(cr, -0.38, -0.2, 0.76, 0.48, 0.08);
        box(cr, -0.14, -0.3, 0.28, 0.14, 0.04);
        cairo_fill(cr);
        circle(cr, 0, 0.04, 0.14);
        cut(cr);
        break;
    case Glyph::bubble:
        cairo_save(cr);
        cairo_scale(cr, 1, 0.82);
        circle(cr, 0, -0.04, 0.38);
        cairo_restore(cr);
        polygon(cr, {{-0.2, 0.18}, {-0.32, 0.36}, {0.02, 0.26}});
        cairo_fill(cr);
        break;
    case Glyph::envelope:
        box(cr, -0.36, -0.25, 0.72, 0.5, 0.06);
        cairo_fill(cr);
        polygon(cr, {{-0.36, -0.22}, {0, 0.06}, {0.36, -0.22}, {0.36, -0.16}, {0, 0.12}, {-0.36, -0.16}});
        cut(cr);
        break;
    case Glyph::clock:
        circle(cr, 0, 0, 0.4);
        stroke(cr, 0.05);
        for (int i = 0; i < 12; ++i)
            line(cr, 0.3 * std::cos(deg(30 * i)), 0.3 * std::sin(deg(30 * i)), 0.34 * std::cos(deg(30 * i)),
                 0.34 * std::sin(deg(30 * i)));
        stroke(cr, 0.025);
        line(cr, 0, 0, 0, -0.24);
        line(cr, 0, 0, 0.17, 0.08);
        stroke(cr, 0.05);
        break;
    case Glyph::sun:
        circle(cr, 0, 0, 0.15);
        cairo_fill(cr);
        for (int i = 0; i < 8; ++i)
            line(cr, 0.23 * std::cos(deg(45 * i)), 0.23 * std::sin(deg(45 * i)), 0.34 * std::cos(deg(45 * i)),
                 0.34 * std::sin(deg(45 * i)));
        stroke(cr, 0.06);
        break;
    case Glyph::pin:
        cairo_arc(cr, 0, -0.1, 0.22, deg(150), deg(390));
        cairo_line_to(cr, 0, 0.38);
        cairo_close_path(cr);
        cairo_fill(cr);
        circle(cr, 0, -0.1, 0.08);
        cut(cr);
        break;
    case Glyph::musicNote:
        circle(cr, -0.17, 0.22, 0.1);
        circle(cr, 0.19, 0.14, 0.1);
        cairo_fill(cr);
        polygon(cr, {{-0.1, 0.22},
                     {-0.1, -0.24},
                     {0.26, -0.34},
                     {0.26, 0.14},
                     {0.2, 0.14},
                     {0.2, -0.22},
                     {-0.04, -0.15},
                     {-0.04, 0.22}});
        cairo_fill(cr);
        break;
    case Glyph::calendar:
        box(cr, -0.36, -0.34, 0.72, 0.68, 0.08);
        stroke(cr, 0.05);
        box(cr, -0.36, -0.34, 0.72, 0.16, 0.04);
        cairo_fill(cr);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c)
                cairo_rectangle(cr, -0.27 + c * 0.145, -0.08 + r * 0.13, 0.08, 0.07);
        cairo_fill(cr);
        break;
    case Glyph::appStore:
        line(cr, -0.2, 0.3, 0.1, -0.26);
        line(cr, 0.2, 0.3, -0.1, -0.26);
        line(cr, -0.32, 0.14, 0.32, 0.14);
        stroke(cr, 0.075);
        break;
    case Glyph::calculator:
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 3; ++c)
                circle(cr, -0.24 + c * 0.24, -0.3 + r * 0.2, 0.075);
        cairo_fill(cr);
        break;
    case Glyph::checklist:
        for (int r = 0; r < 3; ++r)
            circle(cr, -0.26, -0.22 + r * 0.22, 0.06);
        cairo_fill(cr);
        for (int r = 0; r < 3; ++r)
            line(cr, -0.12, -0.22 + r * 0.22, 0.32, -0.22 + r * 0.22);
        stroke(cr, 0.06);
        break;
    case Glyph::folder:
        polygon(cr,
                {{-0.38, -0.26}, {-0.1, -0.26}, {-0.02, -0.18}, {0.38, -0.18}, {0.38, 0.3}, {-0.38, 0.3}});
        cairo_fill(cr);
        break;
    case Glyph::person:
        circle(cr, 0, -0.14, 0.15);
        cairo_fill(cr);
        cairo_arc(cr, 0, 0.36, 0.3, kPi, 2 * kPi);
        cairo_close_path(cr);
        cairo_fill(cr);
        break;
    case Glyph::heart:
        cairo_move_to(cr, 0, 0.32);
        cairo_curve_to(cr, -0.52, 0.0, -0.26, -0.46, 0, -0.17);
        cairo_curve_to(cr, 0.26, -0.46, 0.52, 0.0, 0, 0.32);
        cairo_fill(cr);
        break;
    case Glyph::cards:
        box(cr, -0.36, -0.3, 0.72, 0.26, 0.06);
        cairo_fill(cr);
        box(cr, -0.36, -0.12, 0.72, 0.26, 0.06);
        cut(cr);
        box(cr, -0.36, -0.1, 0.72, 0.4, 0.06);
        cairo_fill(cr);
        break;
    case Glyph::phone:
        // A handset: a curved grip with an earpiece and a mouthpiece turned towards the face.
        cairo_arc(cr, 0.16, -0.16, 0.36, deg(98), deg(172));
        stroke(cr, 0.13);
        for (double a : {deg(85), deg(185)}) {
            cairo_save(cr);
            cairo_translate(cr, 0.16, -0.16);
            cairo_rotate(cr, a);
            box(cr, 0.24, -0.1, 0.2, 0.2, 0.07);
            cairo_restore(cr);
            cairo_fill(cr);
        }
        break;
    default:
        break;
    }
}

void drawSystemGlyph(cairo_t* cr, Glyph g) {
    switch (g) {
    case Glyph::airplane:
        cairo_rotate(cr, deg(45));
        polygon(cr, {{0, -0.4},
                     {0.05, -0.3},
                     {0.05, -0.08},
                     {0.36, 0.08},
                     {0.36, 0.14},
                     {0.05, 0.06},
                     {0.05, 0.26},
                     {0.14, 0.34},
                     {0.14, 0.38},
                     {0, 0.34},
                     {-0.14, 0.38},
                     {-0.14, 0.34},
                     {-0.05, 0.26},
                     {-0.05, 0.06},
                     {-0.36, 0.14},
                     {-0.36, 0.08},
                     {-0.05, -0.08},
                     {-0.05, -0.3}});
        cairo_fill(cr);
        break;
    case Glyph::wifi:
        cairo_move_to(cr, 0, 0.28);
        cairo_arc(cr, 0, 0.28, 0.14, deg(-135), deg(-45));
        cairo_close_path(cr);
        cairo_fill(cr);
        for (double r : {0.3, 0.46}) {
            cairo_new_sub_path(cr);
            cairo_arc(cr, 0, 0.28, r, deg(-135), deg(-45));
        }
        stroke(cr, 0.09);
        break;
    case Glyph::bluetooth:
        cairo_move_to(cr, -0.17, -0.15);
        cairo_line_to(cr, 0.17, 0.16);
        cairo_line_to(cr, 0, 0.34);
        cairo_line_to(cr, 0, -0.34);
        cairo_line_to(cr, 0.17, -0.16);
        cairo_line_to(cr, -0.17, 0.15);
        stroke(cr, 0.065);
        break;
    case Glyph::antenna:
        circle(cr, 0, -0.06, 0.07);
        cairo_fill(cr);
        for (double r : {0.18, 0.32}) {
            cairo_new_sub_path(cr);
            cairo_arc(cr, 0, -0.06, r, deg(140), deg(220));
            cairo_new_sub_path(cr);
            cairo_arc(cr, 0, -0.06, r, deg(-40), deg(40));
        }
        line(cr, 0, -0.02, 0, 0.36);
        stroke(cr, 0.06);
        break;
    case Glyph::hotspot:
        circle(cr, -0.11, 0, 0.16);
        circle(cr, 0.11, 0, 0.16);
        stroke(cr, 0.065);
        break;
    case Glyph::bell:
        cairo_arc(cr, 0, -0.04, 0.22, kPi, 2 * kPi);
        cairo_line_to(cr, 0.22, 0.14);
        cairo_line_to(cr, 0.3, 0.22);
        cairo_line_to(cr, -0.3, 0.22);
        cairo_line_to(cr, -0.22, 0.14);
        cairo_close_path(cr);
        circle(cr, 0, 0.3, 0.07);
        circle(cr, 0, -0.28, 0.05);
        cairo_fill(cr);
        break;
    case Glyph::speaker:
        polygon(cr, {{-0.32, -0.1}, {-0.18, -0.1}, {0.02, -0.28}, {0.02, 0.28}, {-0.18, 0.1}, {-0.32, 0.1}});
        cairo_fill(cr);
        for (double r : {0.16, 0.3}) {
            cairo_new_sub_path(cr);
            cairo_arc(cr, 0.04, 0, r, deg(-40), deg(40));
        }
        stroke(cr, 0.055);
        break;
    case Glyph::moon:
        circle(cr, -0.04, 0.03, 0.32);
        cairo_fill(cr);
        circle(cr, 0.14, -0.1, 0.25);
        cut(cr);
        break;
    case Glyph::hourglass:
        polygon(cr, {{-0.24, -0.34}, {0.24, -0.34}, {0, 0}});
        polygon(cr, {{-0.24, 0.34}, {0.24, 0.34}, {0, 0}});
        cairo_fill(cr);
        break;
    case Glyph::toggles:
        box(cr, -0.34, -0.3, 0.68, 0.24, 0.12);
        box(cr, -0.34, 0.06, 0.68, 0.24, 0.12);
        cairo_fill(cr);
        circle(cr, 0.2, -0.18, 0.08);
        circle(cr, -0.2, 0.18, 0.08);
        cut(cr);
        break;
    case Glyph::brightness:
        circle(cr, 0, 0, 0.3);
        stroke(cr, 0.06);
        cairo_arc(cr, 0, 0, 0.3, deg(-90), deg(90));
        cairo_close_path(cr);
        cairo_fill(cr);
        break;
    case Glyph::grid:
        for (int r = 0; r < 2; ++r)
            for (int c = 0; c < 2; ++c)
                box(cr, -0.32 + c * 0.36, -0.32 + r * 0.36, 0.28, 0.28, 0.07);
        cairo_fill(cr);
        break;
    case Glyph::accessibility:
        circle(cr, 0, 0, 0.4);
        stroke(cr, 0.05);
        circle(cr, 0, -0.2, 0.06);
        cairo_fill(cr);
        line(cr, -0.22, -0.08, 0.22, -0.08);
        line(cr, 0, -0.08, 0, 0.08);
        line(cr, 0, 0.08, -0.1, 0.26);
        line(cr, 0, 0.08, 0.1, 0.26);
        stroke(cr, 0.06);
        break;
    case Glyph::wallpaper:
        for (int i = 0; i < 6; ++i)
            circle(cr, 0.17 * std::cos(deg(60 * i)), 0.17 * std::sin(deg(60 * i)), 0.15);
        cairo_fill(cr);
        break;
    case Glyph::standby:
        box(cr, -0.38, -0.22, 0.76, 0.44, 0.1);
        stroke(cr, 0.06);
        circle(cr, -0.14, 0, 0.08);
        circle(cr, 0.14, 0, 0.08);
        cairo_fill(cr);
        break;
    case Glyph::siri:
        circle(cr, 0, 0, 0.34);
        cairo_fill(cr);
        circle(cr, 0.08, -0.06, 0.14);
        cut(cr);
        break;
    case Glyph::faceId:
        for (int i = 0; i < 4; ++i) {
            double sx = (i % 2) ? 1 : -1, sy = (i / 2) ? 1 : -1;
            cairo_move_to(cr, sx * 0.36, sy * 0.16);
            cairo_line_to(cr, sx * 0.36, sy * 0.36);
            cairo_line_to(cr, sx * 0.16, sy * 0.36);
        }
        cairo_new_sub_path(cr);
        cairo_arc(cr, 0, 0.0, 0.16, deg(30), deg(150));
        line(cr, -0.1, -0.12, -0.1, -0.06);
        line(cr, 0.1, -0.12, 0.1, -0.06);
        stroke(cr, 0.055);
        break;
    case Glyph::sos:
    case Glyph::exposure:
        circle(cr, 0, 0, 0.36);
        stroke(cr, 0.06);
        line(cr, 0, -0.2, 0, 0.06);
        stroke(cr, 0.08);
        circle(cr, 0, 0.18, 0.05);
        cairo_fill(cr);
        break;
    case Glyph::battery:
        box(cr, -0.38, -0.17, 0.66, 0.34, 0.07);
        stroke(cr, 0.05);
        box(cr, -0.32, -0.11, 0.4, 0.22, 0.03);
        box(cr, 0.31, -0.07, 0.06, 0.14, 0.02);
        cairo_fill(cr);
        break;
    case Glyph::hand:
        box(cr, -0.22, -0.04, 0.44, 0.38, 0.14);
        for (int i = 0; i < 4; ++i)
            box(cr, -0.22 + i * 0.115, -0.34, 0.09, 0.4, 0.045);
        cairo_fill(cr);
        break;
    case Glyph::key:
        circle(cr, -0.18, 0, 0.14);
        stroke(cr, 0.07);
        line(cr, -0.04, 0, 0.36, 0);
        line(cr, 0.28, 0, 0.28, 0.12);
        line(cr, 0.18, 0, 0.18, 0.1);
        stroke(cr, 0.07);
        break;
    case Glyph::book:
        polygon(cr, {{-0.38, -0.26}, {-0.03, -0.2}, {-0.03, 0.3}, {-0.38, 0.24}});
        polygon(cr, {{0.38, -0.26}, {0.03, -0.2}, {0.03, 0.3}, {0.38, 0.24}});
        cairo_fill(cr);
        break;
    case Glyph::tv:
        box(cr, -0.38, -0.28, 0.76, 0.46, 0.06);
        stroke(cr, 0.06);
        line(cr, -0.16, 0.32, 0.16, 0.32);
        stroke(cr, 0.06);
        break;
    case Glyph::game:
        for (int i = 0; i < 4; ++i)
            circle(cr, 0.15 * std::cos(deg(90 * i + 45)), 0.15 * std::sin(deg(90 * i + 45)), 0.16);
        cairo_fill(cr);
        break;
    case Glyph::wrench:
        line(cr, -0.28, 0.28, 0.12, -0.12);
        stroke(cr, 0.1);
        circle(cr, 0.18, -0.18, 0.16);
        cairo_fill(cr);
        circle(cr, 0.24, -0.24, 0.08);
        cut(cr);
        break;
    case Glyph::globe:
    case Glyph::translate:
        circle(cr, 0, 0, 0.36);
        line(cr, -0.36, 0, 0.36, 0);
        cairo_save(cr);
        cairo_scale(cr, 0.45, 1);
        circle(cr, 0, 0, 0.36);
        cairo_restore(cr);
        stroke(cr, 0.045);
        break;
    case Glyph::mic:
        box(cr, -0.1, -0.36, 0.2, 0.44, 0.1);
        cairo_fill(cr);
        cairo_arc(cr, 0, -0.02, 0.22, 0, kPi);
        line(cr, 0, 0.2, 0, 0.34);
        stroke(cr, 0.06);
        break;
    case Glyph::shortcuts:
        cairo_rotate(cr, deg(45));
        box(cr, -0.26, -0.3, 0.4, 0.4, 0.08);
        cairo_fill(cr);
        box(cr, -0.1, -0.1, 0.4, 0.4, 0.08);
        stroke(cr, 0.06);
        break;
    case Glyph::ruler:
        cairo_rotate(cr, deg(-45));
        box(cr, -0.4, -0.12, 0.8, 0.24, 0.04);
        cairo_fill(cr);
        for (int i = 0; i < 6; ++i)
            cairo_rectangle(cr, -0.3 + i * 0.12, -0.12, 0.035, i % 2 ? 0.08 : 0.13);
        cut(cr);
        break;
    case Glyph::video:
        box(cr, -0.38, -0.2, 0.5, 0.4, 0.08);
        polygon(cr, {{0.16, -0.04}, {0.38, -0.18}, {0.38, 0.18}, {0.16, 0.04}});
        cairo_fill(cr);
        break;
    case Glyph::news:
        box(cr, -0.32, -0.34, 0.64, 0.68, 0.06);
        cairo_fill(cr);
        for (double y : {-0.18, -0.04, 0.1, 0.22})
            cairo_rectangle(cr, -0.22, y, 0.44, 0.05);
        cut(cr);
        break;
    default:
        drawAppGlyph(cr, g);
        break;
    }
}

} // namespace

void drawGlyph(cairo_t* cr, Glyph glyph, double cx, double cy, double size, const Colour& colour) {
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_scale(cr, size, size);
    // A group the size of the glyph, so holes cut through the glyph and not through the icon under it.
    cairo_rectangle(cr, -0.5, -0.5, 1, 1);
    cairo_clip(cr);
    cairo_push_group(cr);
    cairo_set_source_rgba(cr, colour.r, colour.g, colour.b, 1);
    drawSystemGlyph(cr, glyph);
    cairo_pop_group_to_source(cr);
    cairo_paint_with_alpha(cr, colour.a);
    cairo_restore(cr);
}

void drawIcon(cairo_t* cr, const Rect& r, double radius, const IconArt& art) {
    cairo_pattern_t* gradient = cairo_pattern_create_linear(0, r.y, 0, r.bottom());
    cairo_pattern_add_color_stop_rgba(gradient, 0, art.top.r, art.top.g, art.top.b, art.top.a);
    cairo_pattern_add_color_stop_rgba(gradient, 1, art.bottom.r, art.bottom.g, art.bottom.b, art.bottom.a);
    cairo_set_source(cr, gradient);
    roundedRect(cr, r, radius);
    cairo_fill(cr);
    cairo_pattern_destroy(gradient);
    drawGlyph(cr, art.glyph, r.midX(), r.midY(), r.w * 0.64, rgb(0xFFFFFF));
}

} // namespace pokescope::sim::detail
