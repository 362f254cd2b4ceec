// Whether a rendered picture shows something where it should.
#pragma once

#include <QImage>
#include <QRect>

namespace pokescope::test {

// Share of pixels in `area` that differ from the area's first pixel: 0 for a blank area.
inline double busy(const QImage& image, QRect area) {
    const QRgb first = image.pixel(area.topLeft());
    int differing = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            differing += image.pixel(x, y) != first;
    return static_cast<double>(differing) / (area.width() * area.height());
}

} // namespace pokescope::test
