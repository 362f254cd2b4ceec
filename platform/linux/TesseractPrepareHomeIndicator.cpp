// The home indicator taken out of a frame before it is read.
#include "platform/linux/TesseractPrepare.hpp"

#include <algorithm>
#include <cstdlib>

namespace pokescope::ocr {

void fillHomeIndicator(std::vector<std::uint8_t>& rgb, int w, int h) {
    if (w < 100 || h < 2 * w)
        return;
    auto at = [&](int x, int y) { return rgb.data() + (static_cast<std::size_t>(y) * w + x) * 3; };
    auto alike = [](const std::uint8_t* a, const std::uint8_t* b) {
        return std::abs(a[0] - b[0]) <= 24 && std::abs(a[1] - b[1]) <= 24 && std::abs(a[2] - b[2]) <= 24;
    };
    const int cx = w / 2;
    // The share of a row's pixels in [from, to) that are of the colour `c`.
    auto share = [&](int y, int from, int to, const std::uint8_t* c) {
        int n = 0;
        for (int x = from; x < to; ++x)
            n += alike(at(x, y), c);
        return static_cast<double>(n) / std::max(1, to - from);
    };
    const int inner = w * 13 / 100, outerFrom = w * 20 / 100, outerTo = w * 24 / 100;
    // The colour of a row's bar: the one two of three points along its middle agree on (a letter may cross
    // one), when it fills the middle and not the sides.
    auto barOf = [&](int y) -> const std::uint8_t* {
        const std::uint8_t *a = at(cx - w / 10, y), *b = at(cx, y), *c = at(cx + w / 10, y);
        const std::uint8_t* bar = alike(a, b) || alike(a, c) ? a : alike(b, c) ? b : nullptr;
        return bar && share(y, cx - inner, cx + inner, bar) >= 0.85 &&
                       share(y, cx - outerTo, cx - outerFrom, bar) <= 0.5 &&
                       share(y, cx + outerFrom, cx + outerTo, bar) <= 0.5
                   ? bar
                   : nullptr;
    };
    int first = -1, last = -1;
    for (int y = h - 1; y >= h - h / 25; --y) {
        if (barOf(y)) {
            last = last < 0 ? y : last;
            first = y;
        } else if (last >= 0) {
            break;
        }
    }
    if (last < 0 || first < 3 || last + 3 >= h || last - first + 1 > std::max(2, h / 100))
        return;
    // Its soft edges are lighter or darker: its own colour is that of its middle row.
    std::uint8_t colour[3];
    const std::uint8_t* middle = barOf((first + last) / 2);
    std::copy(middle, middle + 3, colour);
    // It stands out from the page around it: most of the row above it is of another colour.
    if (share(first - 3, cx - inner, cx + inner, colour) > 0.5 ||
        share(last + 3, cx - inner, cx + inner, colour) > 0.5)
        return;
    // Its ends: beyond them, columns of the bar's colour in less than half its rows for a few columns in a
    // row (a letter crossing it is narrower).
    auto barColumn = [&](int x) {
        int n = 0;
        for (int y = first; y <= last; ++y)
            n += alike(at(x, y), colour);
        return 2 * n >= last - first + 1;
    };
    auto end = [&](int from, int step) {
        int x = from, gap = 0;
        for (; x > 0 && x < w - 1 && gap < 6; x += step)
            gap = barColumn(x) ? 0 : gap + 1;
        // `x` went one column past the gap: the bar's last column lies before it, its soft edge two beyond.
        return std::clamp(x - step * (gap - 1), 0, w - 1);
    };
    const int left = end(cx - inner, -1), right = end(cx + inner, 1);
    const int top = first - 2, bottom = last + 2;
    for (int x = left; x <= right; ++x) {
        const std::uint8_t *above = at(x, top), *below = at(x, bottom);
        for (int y = top + 1; y < bottom; ++y) {
            std::uint8_t* p = at(x, y);
            for (int k = 0; k < 3; ++k)
                p[k] = static_cast<std::uint8_t>(
                    (above[k] * (bottom - y) + below[k] * (y - top) + (bottom - top) / 2) / (bottom - top));
        }
    }
}

} // namespace pokescope::ocr
