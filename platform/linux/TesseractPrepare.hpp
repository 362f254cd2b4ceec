// Turning a phone frame into what the recognition engine reads best, and cutting it into bands that two
// engines can read side by side.
#pragma once

#include "platform/Image.hpp"

#include <cstdint>
#include <vector>

namespace pokescope::ocr {

// The BGRA frame as a grey image reduced by `factor` with area averaging (phone text at 3× is far larger
// than the engine needs), with dark text on a light ground wherever the frame shows light text on a dark
// ground (dark mode, white labels on a wallpaper or a coloured button).
// `unit`: the frame's pixels per pixel of a 3× phone's picture, which the sizes of shapes are set in.
Image preparedGrey(const Image& frame, int factor, double unit = 1.0);

// The home indicator, a rounded bar of one colour across the middle of a Face ID phone's bottom edge (about
// a third of the screen's width, a two-hundredth of its height), is drawn over whatever the page shows
// there: where it crosses a line of text, it joins the letters with a stroke no letter has. Its rows are
// filled column by column from the rows just above and below it, so that the strokes crossing it go on and
// the bar is gone. A bar anywhere else, or of another size, is page content and stays.
// `rgb`: a frame as packed RGB, `w` × `h` pixels (the prepared picture's own, before its ink is found).
void fillHomeIndicator(std::vector<std::uint8_t>& rgb, int w, int h);

// Half-open row ranges [top, bottom) covering `grey` in `count` bands; each cut lies on the quietest row
// near an even split so that no line of text is cut in two.
struct Band {
    int top = 0, bottom = 0;
};
std::vector<Band> bands(const Image& grey, int count);

} // namespace pokescope::ocr
