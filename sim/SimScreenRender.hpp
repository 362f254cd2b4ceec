// Keeps a frame up to date with the screen: the whole picture while something moves, otherwise only the
// rectangles that changed (clock, caret, pointer disc, banner, playback progress).
#pragma once

#include "platform/Image.hpp"
#include "sim/SimScreen.hpp"
#include "sim/SimScreenLayout.hpp"

#include <optional>
#include <string>
#include <vector>

typedef struct _cairo_surface cairo_surface_t;

namespace pokescope::sim::detail {

struct Screen;

class Renderer {
public:
    explicit Renderer(const Geometry& geometry);
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    bool render(Screen& screen, Image& frame, TimePoint now);
    std::optional<TimePoint> nextChange(const Screen& screen, TimePoint now) const;
    const std::vector<DrawnText>& texts() const { return texts_; }
    SimScreen::RenderStats stats() const { return stats_; }

private:
    // What the frame shows, to tell what changed since.
    struct Shown {
        long version = -1;
        const std::uint8_t* pixels = nullptr;
        TimePoint at{};
        bool moving = false;
        std::string clock;
        bool caretOn = false;
        Rect caret;
        double pointerX = 0, pointerY = 0;
        bool disc = false;
        std::optional<std::string> banner;
        long progress = -1;
    };

    bool needsFull(const Screen& screen, const Image& frame, TimePoint now) const;
    std::vector<Rect> damage(Screen& screen, TimePoint now, const std::string& clock) const;
    cairo_surface_t* blurred(Screen& screen, TimePoint now, const std::string& clock);
    void remember(const Screen& screen, const Image& frame, TimePoint now, const std::string& clock,
                  const Rect& caret);

    const Geometry& geo_;
    Shown shown_;
    std::vector<DrawnText> texts_;
    SimScreen::RenderStats stats_;
    cairo_surface_t* wallpaper_ = nullptr;
    cairo_surface_t* blurred_ = nullptr;
    bool blurredDark_ = false; // the appearance `blurred_` was drawn in
    bool discLight_ = false;   // the pointer disc's shade (light over dark content)
};

} // namespace pokescope::sim::detail
