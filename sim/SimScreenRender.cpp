#include "sim/SimScreenRender.hpp"
#include "sim/SimScreenDraw.hpp"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace pokescope::sim::detail {
namespace {

Rect lerp(const Rect& a, const Rect& b, double t) {
    return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.w + (b.w - a.w) * t, a.h + (b.h - a.h) * t};
}

// How much of the screen the app covers during a launch or close: 0 on the icon, 1 full screen.
double zoomFraction(const Transition& t, TimePoint now) {
    double e = easeOut(t.progress(now));
    return t.kind == Transition::Kind::launch ? e : 1 - e;
}

bool homeShowing(const Screen& s, TimePoint now) {
    if (s.spotlight)
        return true;
    if (s.transition &&
        (s.transition->kind == Transition::Kind::launch || s.transition->kind == Transition::Kind::close))
        return zoomFraction(*s.transition, now) < 0.5;
    return s.current.empty();
}

void drawPage(Painter& p, Scene& scene, const AppState& app, std::size_t depth, const Page& page, double dx) {
    std::vector<std::string> path;
    for (std::size_t i = 1; i < depth && i < app.pages.size(); ++i)
        path.push_back(app.pages[i].title);
    if (depth >= 1)
        path.push_back(page.title);
    cairo_save(p.cr());
    cairo_translate(p.cr(), dx, 0);
    p.occlude(p.geo().screen);
    p.pushClip(p.geo().screen);
    drawAppPage(p, scene, app.name, path, page.scroll);
    p.popClip();
    cairo_restore(p.cr());
}

void drawSlide(Painter& p, Scene& scene, const AppState& app, const Transition& t) {
    double e = easeOut(t.progress(scene.now));
    bool push = t.kind == Transition::Kind::push;
    std::size_t top = app.pages.size() - 1;
    std::size_t parent = push ? top - 1 : top;
    double shown = push ? e : 1 - e; // how far the upper page has slid in
    const Geometry& g = p.geo();
    double parentX = std::round(-0.3 * g.w * shown), childX = std::round(g.w * (1 - shown));
    drawPage(p, scene, app, parent, app.pages[parent], parentX);
    p.fill(g.screen, rgb(0x000000, 0.1 * shown));
    cairo_t* cr = p.cr();
    double shadowW = g.px(30);
    if (p.needs({childX - shadowW, 0, shadowW, g.h})) {
        cairo_pattern_t* shadow = cairo_pattern_create_linear(childX - shadowW, 0, childX, 0);
        cairo_pattern_add_color_stop_rgba(shadow, 0, 0, 0, 0, 0);
        cairo_pattern_add_color_stop_rgba(shadow, 1, 0, 0, 0, 0.12);
        cairo_set_source(cr, shadow);
        cairo_rectangle(cr, childX - shadowW, 0, shadowW, g.h);
        cairo_fill(cr);
        cairo_pattern_destroy(shadow);
    }
    if (push)
        drawPage(p, scene, app, top, app.pages[top], childX);
    else
        drawPage(p, scene, app, top + 1, t.popped, childX);
}

void drawZoom(Painter& p, Scene& scene, const Transition& t) {
    const AppState* app = t.kind == Transition::Kind::launch ? scene.screen.app() : &t.closing;
    if (!app)
        return;
    double e = zoomFraction(t, scene.now);
    const Geometry& g = p.geo();
    Rect r = lerp(t.icon, g.screen, e);
    if (!p.needs(r))
        return;
    cairo_t* cr = p.cr();
    p.occlude(r);
    p.pushClip(r);
    roundedRect(cr, r, g.iconRadius * (1 - e));
    cairo_clip(cr);
    cairo_translate(cr, r.x, r.y);
    cairo_scale(cr, r.w / g.w, r.h / g.h);
    drawPage(p, scene, *app, app->pages.size() - 1, app->pages.back(), 0);
    // The icon fades into the app's picture as it grows.
    double iconAlpha = 1 - std::clamp(e * 2.5, 0.0, 1.0);
    if (iconAlpha > 0.01) {
        cairo_push_group(cr);
        drawIcon(cr, g.screen, 0, findApp(app->name)->art);
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, iconAlpha);
    }
    p.popClip();
}

// Three passes of a box blur over premultiplied pixels approximate a Gaussian.
void blur(std::uint8_t* data, int width, int height, int stride, int radius) {
    std::vector<std::uint8_t> copy(std::size_t(stride) * std::size_t(height));
    auto pass = [&](bool horizontal) {
        std::memcpy(copy.data(), data, copy.size());
        int length = horizontal ? width : height, lines = horizontal ? height : width;
        for (int line = 0; line < lines; ++line)
            for (int i = 0; i < length; ++i)
                for (int c = 0; c < 4; ++c) {
                    int sum = 0;
                    for (int k = -radius; k <= radius; ++k) {
                        int j = std::clamp(i + k, 0, length - 1);
                        int x = horizontal ? j : line, y = horizontal ? line : j;
                        sum +=
                            copy[std::size_t(y) * std::size_t(stride) + std::size_t(x) * 4 + std::size_t(c)];
                    }
                    int x = horizontal ? i : line, y = horizontal ? line : i;
                    data[std::size_t(y) * std::size_t(stride) + std::size_t(x) * 4 + std::size_t(c)] =
                        std::uint8_t(sum / (2 * radius + 1));
                }
    };
    for (int n = 0; n < 3; ++n) {
        pass(true);
        pass(false);
    }
}

cairo_surface_t* makeWallpaper(const Geometry& g) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(g.w), int(g.h));
    cairo_t* cr = cairo_create(surface);
    cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, g.w, g.h);
    cairo_pattern_add_color_stop_rgb(gradient, 0.0, 0x12 / 255.0, 0x22 / 255.0, 0x5E / 255.0);
    cairo_pattern_add_color_stop_rgb(gradient, 0.5, 0x35 / 255.0, 0x2C / 255.0, 0x8C / 255.0);
    cairo_pattern_add_color_stop_rgb(gradient, 1.0, 0x86 / 255.0, 0x38 / 255.0, 0xB0 / 255.0);
    cairo_set_source(cr, gradient);
    cairo_paint(cr);
    cairo_pattern_destroy(gradient);
    cairo_destroy(cr);
    return surface;
}

long progressKey(const Screen& s, TimePoint now) {
    if (!s.playingVisible())
        return -1;
    double elapsed =
        std::clamp(std::chrono::duration<double>(now - *s.playingSince).count(), 0.0, kEpisodeSeconds);
    return long(std::round(s.geo.progressTrack.w * elapsed / kEpisodeSeconds)) * 100 + long(elapsed);
}

} // namespace

void drawBase(Painter& p, Scene& scene) {
    const Screen& s = scene.screen;
    const Transition* t = s.transition ? &*s.transition : nullptr;
    if (t && (t->kind == Transition::Kind::launch || t->kind == Transition::Kind::close)) {
        drawHome(p, scene);
        drawZoom(p, scene, *t);
        return;
    }
    const AppState* app = s.app();
    if (!app) {
        drawHome(p, scene);
        return;
    }
    if (t)
        drawSlide(p, scene, *app, *t);
    else
        drawPage(p, scene, *app, app->pages.size() - 1, app->pages.back(), 0);
}

void drawScene(Painter& p, Scene& scene) {
    const Screen& s = scene.screen;
    if (s.asleep) {
        p.fill(s.geo.screen, rgb(0x000000));
        return;
    }
    drawBase(p, scene);
    if (s.iconMenu && s.current.empty() && !s.transition)
        drawIconMenu(p, scene);
    if (s.spotlight)
        drawSpotlight(p, scene);
    bool light = homeShowing(s, scene.now) || s.dark;
    drawStatusBar(p, scene.clock, light);
    if (s.keyboard.shownFraction(scene.now) > 0)
        drawKeyboard(p, scene);
    drawHomeIndicator(p, light && s.keyboard.shownFraction(scene.now) == 0);
    if (s.banner)
        drawBanner(p, *s.banner, scene.colours());
    if (s.alert)
        drawAlert(p, scene.colours());
    if (s.settings.assistiveTouch)
        drawAssistiveTouch(p, scene);
}

Renderer::Renderer(const Geometry& geometry) : geo_(geometry), wallpaper_(makeWallpaper(geometry)) {}

Renderer::~Renderer() {
    if (blurred_)
        cairo_surface_destroy(blurred_);
    cairo_surface_destroy(wallpaper_);
}

bool Renderer::needsFull(const Screen& s, const Image& frame, TimePoint now) const {
    if (shown_.version != s.version || shown_.pixels != frame.data())
        return true;
    bool moving = s.moving(now);
    return (moving && now != shown_.at) || (shown_.moving && !moving);
}

std::vector<Rect> Renderer::damage(Screen& s, TimePoint now, const std::string& clock) const {
    std::vector<Rect> rects;
    if (clock != shown_.clock)
        rects.push_back(geo_.clockRect);
    if (s.caretOn(now) != shown_.caretOn)
        rects.push_back(shown_.caret.inflated(1));
    bool disc = s.discVisible(now);
    bool moved = s.pointerX != shown_.pointerX || s.pointerY != shown_.pointerY;
    if (disc != shown_.disc || (disc && moved)) {
        if (shown_.disc)
            rects.push_back(geo_.discRect(shown_.pointerX, shown_.pointerY));
        if (disc)
            rects.push_back(geo_.discRect(s.pointerX, s.pointerY));
    }
    if (s.banner != shown_.banner) {
        if (shown_.banner)
            rects.push_back(bannerRect(geo_, s.texts, *shown_.banner).inflated(geo_.px(16)));
        if (s.banner)
            rects.push_back(bannerRect(geo_, s.texts, *s.banner).inflated(geo_.px(16)));
    }
    if (progressKey(s, now) != shown_.progress)
        rects.push_back(geo_.progressArea);
    std::vector<Rect> clipped;
    for (const Rect& r : rects)
        if (Rect c = r.outward().intersected(geo_.screen); !c.empty())
            clipped.push_back(c);
    return clipped;
}

cairo_surface_t* Renderer::blurred(Screen& s, TimePoint now, const std::string& clock) {
    if (!s.spotlight) {
        if (blurred_)
            cairo_surface_destroy(blurred_);
        blurred_ = nullptr;
        return nullptr;
    }
    if (blurred_ && blurredDark_ == s.dark)
        return blurred_;
    if (blurred_)
        cairo_surface_destroy(blurred_);
    blurredDark_ = s.dark;
    int w = int(std::ceil(geo_.w / kBlurScale)), h = int(std::ceil(geo_.h / kBlurScale));
    blurred_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    cairo_t* cr = cairo_create(blurred_);
    cairo_scale(cr, 1.0 / kBlurScale, 1.0 / kBlurScale);
    Painter p(cr, s.texts, geo_, geo_.screen, nullptr);
    Scene scene{s, now, wallpaper_, nullptr, clock, {}};
    drawBase(p, scene);
    cairo_destroy(cr);
    cairo_surface_flush(blurred_);
    blur(cairo_image_surface_get_data(blurred_), w, h, cairo_image_surface_get_stride(blurred_), 3);
    cairo_surface_mark_dirty(blurred_);
    return blurred_;
}

bool Renderer::render(Screen& s, Image& frame, TimePoint now) {
    s.advance(now);
    now = s.now;
    s.texts.trim();
    if (frame.width() != int(geo_.w) || frame.height() != int(geo_.h) ||
        frame.format() != Image::Format::bgra)
        frame = Image(int(geo_.w), int(geo_.h), Image::Format::bgra);
    std::string clock = s.asleep ? std::string() : clockText(s.wallTime(now));
    bool full = needsFull(s, frame, now);
    std::vector<Rect> rects = full ? std::vector<Rect>{geo_.screen} : damage(s, now, clock);
    if (rects.empty())
        return false;

    cairo_surface_t* surface = cairo_image_surface_create_for_data(
        frame.data(), CAIRO_FORMAT_ARGB32, frame.width(), frame.height(), frame.stride());
    cairo_t* cr = cairo_create(surface);
    Scene scene{s, now, wallpaper_, blurred(s, now, clock), clock, {}};
    scene.discLight = &discLight_;
    std::vector<DrawnText> fresh;
    for (const Rect& r : rects) {
        cairo_save(cr);
        cairo_rectangle(cr, r.x, r.y, r.w, r.h);
        cairo_clip(cr);
        // Each rectangle's drawing records on its own: what covers a text in one pass (a page over what lay
        // under it) says nothing of the texts another rectangle's pass drew.
        std::vector<DrawnText> drawn;
        Painter p(cr, s.texts, geo_, r, &drawn);
        drawScene(p, scene);
        cairo_restore(cr);
        std::move(drawn.begin(), drawn.end(), std::back_inserter(fresh));
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);

    // Texts in redrawn rectangles are replaced by what was drawn there now.
    std::erase_if(texts_, [&](const DrawnText& t) {
        Rect box{double(t.x), double(t.y), double(t.width), double(t.height)};
        return std::any_of(rects.begin(), rects.end(), [&](const Rect& r) { return r.intersects(box); });
    });
    for (DrawnText& t : fresh) {
        bool seen = std::any_of(texts_.begin(), texts_.end(), [&](const DrawnText& o) {
            return o.text == t.text && o.x == t.x && o.y == t.y && o.width == t.width && o.height == t.height;
        });
        if (!seen)
            texts_.push_back(std::move(t));
    }
    sortReadingOrder(texts_);
    ++(full ? stats_.fullRedraws : stats_.partialRedraws);
    remember(s, frame, now, clock, scene.caret);
    return true;
}

void Renderer::remember(const Screen& s, const Image& frame, TimePoint now, const std::string& clock,
                        const Rect& caret) {
    shown_.version = s.version;
    shown_.pixels = frame.data();
    shown_.at = now;
    shown_.moving = s.moving(now);
    shown_.clock = clock;
    shown_.caretOn = s.caretOn(now);
    shown_.caret = caret;
    shown_.pointerX = s.pointerX;
    shown_.pointerY = s.pointerY;
    shown_.disc = s.discVisible(now);
    shown_.banner = s.banner;
    shown_.progress = progressKey(s, now);
}

std::optional<TimePoint> Renderer::nextChange(const Screen& s, TimePoint now) const {
    now = std::max(now, s.now);
    bool disc = s.discVisible(now);
    bool discChanged =
        disc != shown_.disc || (disc && (s.pointerX != shown_.pointerX || s.pointerY != shown_.pointerY));
    if (shown_.version != s.version || s.moving(now) != shown_.moving || discChanged ||
        s.banner != shown_.banner)
        return now;
    if (s.moving(now) || s.playingVisible())
        return now + kFrameTime;
    std::optional<TimePoint> next;
    auto consider = [&](TimePoint t) { next = next ? std::min(*next, std::max(t, now)) : std::max(t, now); };
    if (s.playingSince)
        consider(*s.playingSince + seconds(kEpisodeSeconds));
    if (s.transition)
        consider(s.transition->end());
    if (auto at = s.longPressAt())
        consider(*at);
    if (s.crashAt)
        consider(*s.crashAt);
    if (s.asleep)
        return next;
    if (auto at = s.discHidesAt(); at && disc)
        consider(*at);
    if (s.focus != Focus::none) {
        auto phases = (now - s.caretEpoch) / kBlinkPhase;
        consider(s.caretEpoch + (phases + 1) * kBlinkPhase);
    }
    auto wall = s.wallTime(now);
    auto nextMinute = std::chrono::floor<std::chrono::minutes>(wall) + std::chrono::minutes(1);
    consider(now + std::chrono::ceil<Duration>(nextMinute - wall));
    return next;
}

} // namespace pokescope::sim::detail
