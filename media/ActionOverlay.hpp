// The agent's actions drawn on a recording's frames: an expanding ring where it tapped, a larger one for a
// long press, an arrow for a swipe, and a caption in a dark pill for typing, keys and named steps. Every
// size is a multiple of u = output width / 400 pixels, so the overlay looks the same at every recording
// size. Ages come from the monotonic clock.
#pragma once

#include "input/InputEngine.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Image.hpp"

#include <vector>

namespace pokescope {

struct TimedMark {
    ActionMark mark;
    TimePoint at; // when it was posted
};

namespace ActionOverlay {

// Seconds after which a mark of `kind` is dropped: tap 0.7, press 1.4, swipe 0.9, text 1.6.
double lifetime(ActionMark::Kind kind);
// Whether `mark` has outlived its lifetime at `now` (a mark exactly at its lifetime is still drawn).
bool expired(const TimedMark& mark, TimePoint now);
// Draws `marks` (oldest first; only the newest text mark is shown) onto `frame`, a BGRA output frame.
// A frame point p lands at p × scale + offset, the fit that placed the captured frame in the output.
void draw(Image& frame, const std::vector<TimedMark>& marks, TimePoint now, double scale, PointD offset);

} // namespace ActionOverlay

} // namespace pokescope
