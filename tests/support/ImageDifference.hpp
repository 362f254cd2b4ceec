// How far two BGRA pictures are apart: the mean absolute difference of their colour channels, in grey
// levels, over a rectangle or the whole picture (both at least that large).
#pragma once

#include "platform/Image.hpp"

#include <cstdlib>

namespace pokescope::test {

inline double meanError(const Image& a, const Image& b, int x0, int y0, int width, int height) {
    double total = 0;
    for (int y = y0; y < y0 + height; ++y)
        for (int x = x0; x < x0 + width; ++x)
            for (int c = 0; c < 3; ++c)
                total += std::abs(int(a.row(y)[x * 4 + c]) - int(b.row(y)[x * 4 + c]));
    return total / (3.0 * width * height);
}

inline double meanError(const Image& a, const Image& b) { return meanError(a, b, 0, 0, a.width(), a.height()); }

} // namespace pokescope::test
