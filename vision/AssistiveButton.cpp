// Finding the AssistiveTouch button on a frame. The button is a rounded square of the same size in points
// on every phone (a seventh of the screen's width, give or take), a dark veil over what lies under it, with
// three white rings in the middle, the innermost nearly opaque. The phone keeps it above everything, so
// the letters under it are hidden, and a label that runs under it is read cut short.
#include "vision/ScreenText.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace pokescope::ScreenText {

namespace {

constexpr int kShrink = 4;            // the search runs on a picture a quarter of the frame's size
constexpr int kWhite = 222;           // the innermost ring: nearly opaque white over anything
constexpr double kLeastRadius = 0.02; // its radius, in shares of the picture's width
constexpr double kMostRadius = 0.042;
constexpr double kSidePerRadius = 5;  // the button's side, in radii of the innermost ring

struct Blob {
    int count = 0;
    int left, top, right, bottom;
    double sumX = 0, sumY = 0;
};

} // namespace

std::optional<Box> assistiveTouchButton(const Image& frame) {
    if (frame.format() != Image::Format::bgra || frame.width() < 40 || frame.height() < 40)
        return std::nullopt;
    const int w = frame.width() / kShrink, h = frame.height() / kShrink;
    const Image grey = resized(frame, w, h, Image::Format::gray, true);
    auto at = [&](double x, double y) -> int {
        const int ix = std::clamp(static_cast<int>(std::lround(x)), 0, w - 1);
        const int iy = std::clamp(static_cast<int>(std::lround(y)), 0, h - 1);
        return grey.row(iy)[ix];
    };
    const double least = kLeastRadius * w, most = kMostRadius * w;
    const int mostArea = static_cast<int>(M_PI * most * most * 1.3);
    std::vector<std::uint8_t> seen(static_cast<std::size_t>(w) * h, 0);
    std::vector<int> stack;
    std::optional<Box> found;
    for (int y0 = 0; y0 < h && !found; ++y0)
        for (int x0 = 0; x0 < w && !found; ++x0) {
            if (seen[y0 * w + x0] || grey.row(y0)[x0] < kWhite)
                continue;
            // One bright region, given up once it grows larger than the ring could be.
            Blob blob{0, x0, y0, x0, y0};
            stack.assign(1, y0 * w + x0);
            seen[y0 * w + x0] = 1;
            while (!stack.empty()) {
                const int i = stack.back();
                stack.pop_back();
                const int x = i % w, y = i / w;
                ++blob.count;
                blob.sumX += x, blob.sumY += y;
                blob.left = std::min(blob.left, x), blob.right = std::max(blob.right, x);
                blob.top = std::min(blob.top, y), blob.bottom = std::max(blob.bottom, y);
                for (const int j : {i - 1, i + 1, i - w, i + w}) {
                    if ((j == i - 1 && x == 0) || (j == i + 1 && x == w - 1) || j < 0 || j >= w * h || seen[j] ||
                        grey.row(j / w)[j % w] < kWhite)
                        continue;
                    seen[j] = 1;
                    stack.push_back(j);
                }
            }
            if (blob.count > mostArea)
                continue;
            const double r = std::sqrt(blob.count / M_PI);
            const double bw = blob.right - blob.left + 1, bh = blob.bottom - blob.top + 1;
            if (r < least || r > most || bw < 1.6 * r || bw > 2.5 * r || bh < 1.6 * r || bh > 2.5 * r)
                continue;
            const double cx = blob.sumX / blob.count, cy = blob.sumY / blob.count, side = kSidePerRadius * r;
            // Around the ring: the middle rings, mostly white over the veil and so nearly grey whatever lies
            // under them, each darker than the one inside it; beyond them, the veil, which darkens whatever
            // lies under it by half. (A white glyph on a coloured icon has colour around it, and no steps.)
            int rings = 0, veil = 0, grey = 0;
            double inner = 0, outer = 0, under = 0;
            constexpr int kAngles = 24;
            for (int k = 0; k < kAngles; ++k) {
                const double a = 2 * M_PI * k / kAngles, c = std::cos(a), s = std::sin(a);
                const double rx = cx + 0.245 * side * c, ry = cy + 0.245 * side * s;
                const int ring = at(rx, ry), next = at(cx + 0.325 * side * c, cy + 0.325 * side * s);
                const int beyond = at(cx + 0.43 * side * c, cy + 0.43 * side * s);
                rings += ring >= 115 && ring <= 215;
                veil += beyond <= 150;
                inner += ring, outer += next, under += beyond;
                const int fx = std::clamp(static_cast<int>((rx + 0.5) * kShrink), 0, frame.width() - 1);
                const int fy = std::clamp(static_cast<int>((ry + 0.5) * kShrink), 0, frame.height() - 1);
                const std::uint8_t* p = frame.row(fy) + 4 * fx;
                grey += std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}) <= 45;
            }
            if (rings < kAngles - 2 || veil < kAngles - 2 || grey < kAngles - 2 || inner < outer + 25 * kAngles ||
                outer < under - 10 * kAngles)
                continue;
            const double scale = static_cast<double>(frame.width()) / w;
            const double half = 0.54 * side * scale, x = (cx + 0.5) * scale, y = (cy + 0.5) * scale;
            found = Box{static_cast<int>(x - half), static_cast<int>(y - half), static_cast<int>(2 * half),
                        static_cast<int>(2 * half)};
        }
    return found;
}

} // namespace pokescope::ScreenText
