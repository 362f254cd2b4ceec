#include "platform/linux/TesseractPrepare.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace pokescope::ocr {

namespace {

// The frame reduced by `factor` with area averaging, as packed RGB.
std::vector<std::uint8_t> shrunkRgb(const Image& frame, int factor, int w, int h) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
    const int area = factor * factor;
    std::vector<int> sums(static_cast<std::size_t>(w) * 3);
    for (int y = 0; y < h; ++y) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int dy = 0; dy < factor; ++dy) {
            const std::uint8_t* src = frame.row(y * factor + dy);
            for (int x = 0; x < w; ++x)
                for (int dx = 0; dx < factor; ++dx) {
                    const std::uint8_t* p = src + 4 * (x * factor + dx);
                    sums[3 * x] += p[2], sums[3 * x + 1] += p[1], sums[3 * x + 2] += p[0];
                }
        }
        std::uint8_t* dst = rgb.data() + static_cast<std::size_t>(y) * w * 3;
        for (int i = 0; i < 3 * w; ++i)
            dst[i] = static_cast<std::uint8_t>((sums[i] + area / 2) / area);
    }
    return rgb;
}

inline int lumaRgb(const std::uint8_t* p) {
    return (77 * p[0] + 150 * p[1] + 29 * p[2]) >> 8;
}

// The ground colour of each tile: the mean colour of its most common brightness, which is the
// background under text of any colour or size that fits the tile. The most common brightness is the
// densest window of 16 levels, wherever it starts: fixed bins would split a ground that lies on a bin's
// edge (a gradient wallpaper, an encoder's block noise) in two, and then an icon beside it would win.
struct Ground {
    int r = 255, g = 255, b = 255;
};
constexpr int kTile = 32;
constexpr int kLevels = 64, kWindow = 4; // brightness in steps of 4; a window of 16 levels

Ground groundOf(const std::uint8_t* rgb, int w, int x0, int y0, int x1, int y1) {
    int count[kLevels] = {};
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            ++count[lumaRgb(rgb + (static_cast<std::size_t>(y) * w + x) * 3) >> 2];
    int best = 0, bestCount = -1, running = 0;
    for (int level = 0; level < kLevels; ++level) {
        running += count[level] - (level >= kWindow ? count[level - kWindow] : 0);
        if (running > bestCount) {
            bestCount = running;
            best = std::max(0, level - kWindow + 1);
        }
    }
    long r = 0, g = 0, b = 0, n = 0;
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            const std::uint8_t* p = rgb + (static_cast<std::size_t>(y) * w + x) * 3;
            const int level = lumaRgb(p) >> 2;
            if (level >= best && level < best + kWindow)
                r += p[0], g += p[1], b += p[2], ++n;
        }
    return {static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n)};
}

// An 8-connected set of pixels and its bounding box.
struct Component {
    int id = 0;
    int left = 0, top = 0, right = 0, bottom = 0;
    const std::vector<int>* pixels = nullptr; // indices y × width + x
    int width() const { return right - left + 1; }
    int height() const { return bottom - top + 1; }
};

// Visits each 8-connected component of the pixels for which `member(x, y)` holds, in row-major order of
// their first pixel; `label` ends up with each pixel's component id (0 for none). An explicit stack, no
// recursion.
template <class Member, class Visit>
void components(int w, int h, std::vector<int>& label, Member&& member, Visit&& visit) {
    label.assign(static_cast<std::size_t>(w) * h, 0);
    std::vector<int> stack, pixels;
    int next = 0;
    for (int y0 = 0; y0 < h; ++y0)
        for (int x0 = 0; x0 < w; ++x0) {
            if (label[static_cast<std::size_t>(y0) * w + x0] || !member(x0, y0))
                continue;
            Component c{++next, x0, y0, x0, y0, &pixels};
            pixels.clear();
            stack.assign(1, y0 * w + x0);
            label[static_cast<std::size_t>(y0) * w + x0] = c.id;
            while (!stack.empty()) {
                const int i = stack.back();
                stack.pop_back();
                pixels.push_back(i);
                const int x = i % w, y = i / w;
                c.left = std::min(c.left, x), c.right = std::max(c.right, x);
                c.top = std::min(c.top, y), c.bottom = std::max(c.bottom, y);
                for (int ny = std::max(0, y - 1); ny <= std::min(h - 1, y + 1); ++ny)
                    for (int nx = std::max(0, x - 1); nx <= std::min(w - 1, x + 1); ++nx) {
                        const std::size_t n = static_cast<std::size_t>(ny) * w + nx;
                        if (!label[n] && member(nx, ny)) {
                            label[n] = c.id;
                            stack.push_back(ny * w + nx);
                        }
                    }
            }
            visit(c);
        }
}

// Filled shapes (app icons, switches, the checks of tiles that straddle an icon's edge) are no text but
// cost the engine time and come back as junk words; glyphs are strokes that fill far less of their box.
// Anything taller than the largest title's letters (about 100 px at 3×, `unit` scales it to the frame) is
// an icon's outline, which otherwise pulls the label beneath it into one unreadable block.
void eraseSolidShapes(Image& grey, double unit, int factor) {
    const int w = grey.width(), h = grey.height();
    const int minSide = static_cast<int>(48 * unit / factor), tallest = static_cast<int>(112 * unit / factor);
    std::vector<int> label;
    components(
        w, h, label, [&](int x, int y) { return grey.row(y)[x] < 128; },
        [&](const Component& c) {
            const bool solid = c.width() >= minSide && c.height() >= minSide &&
                               4L * static_cast<long>(c.pixels->size()) >= 3L * c.width() * c.height();
            if (solid || c.height() > tallest)
                for (int i : *c.pixels)
                    grey.row(i / w)[i % w] = 255;
        });
}

// The caret of a text field is a thin upright bar in the tint colour beside text of another colour. Read
// with the text, it turns the word beside it into something else ("agent|", "agent]") that the engine
// doubts, so it is erased first. A thin coloured stroke with coloured ink close beside it is a letter of
// coloured text (the "l" of a tinted button's label) and stays. Sizes are in the pixels of a phone's own
// 1179-pixel-wide picture, scaled to the frame.
void eraseCarets(Image& grey, const std::vector<std::uint8_t>& rgb, int frameWidth, int factor) {
    const int w = grey.width(), h = grey.height();
    const double unit = frameWidth / 1179.0 / factor;
    const int widest = std::max(2, static_cast<int>(12 * unit + 0.5));
    const int shortest = std::max(6, static_cast<int>(30 * unit + 0.5));
    const int reach = std::max(3, static_cast<int>(24 * unit + 0.5));
    auto coloured = [&](int x, int y) {
        if (grey.row(y)[x] >= 128)
            return false;
        const std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(y) * w + x) * 3;
        return std::max({p[0], p[1], p[2]}) - std::min({p[0], p[1], p[2]}) >= 60;
    };
    std::vector<int> label;
    std::vector<Component> bars;
    components(w, h, label, coloured, [&](const Component& c) {
        if (c.width() <= widest && c.height() >= shortest && c.height() >= 4 * c.width())
            bars.push_back({c.id, c.left, c.top, c.right, c.bottom, nullptr});
    });
    for (const Component& c : bars) {
        bool beside = false;
        for (int y = c.top; y <= c.bottom && !beside; ++y)
            for (int x = std::max(0, c.left - reach); x <= std::min(w - 1, c.right + reach) && !beside; ++x)
                beside = (x < c.left || x > c.right) && coloured(x, y);
        if (beside)
            continue;
        // The bar, and the faint edge beside each of its rows (never the darker ink of a letter there).
        for (int y = c.top; y <= c.bottom; ++y) {
            const int* row = label.data() + static_cast<std::size_t>(y) * w;
            for (int x = c.left; x <= c.right; ++x)
                if (row[x] == c.id)
                    grey.row(y)[x] = 255;
            if (c.left > 0 && row[c.left] == c.id && grey.row(y)[c.left - 1] >= 128)
                grey.row(y)[c.left - 1] = 255;
            if (c.right + 1 < w && row[c.right] == c.id && grey.row(y)[c.right + 1] >= 128)
                grey.row(y)[c.right + 1] = 255;
        }
    }
}

} // namespace

Image preparedGrey(const Image& frame, int factor, double unit) {
    const int w = frame.width() / factor, h = frame.height() / factor;
    const std::vector<std::uint8_t> rgb = shrunkRgb(frame, factor, w, h);
    Image grey(w, h, Image::Format::gray);
    // Ink is whatever differs from its tile's ground in any channel (orange text on white, white text
    // on blue, grey on black), drawn dark on white with differences of half the range and more at full.
    for (int ty = 0; ty < h; ty += kTile)
        for (int tx = 0; tx < w; tx += kTile) {
            const int x1 = std::min(w, tx + kTile), y1 = std::min(h, ty + kTile);
            const Ground ground = groundOf(rgb.data(), w, tx, ty, x1, y1);
            for (int y = ty; y < y1; ++y) {
                const std::uint8_t* src = rgb.data() + (static_cast<std::size_t>(y) * w + tx) * 3;
                std::uint8_t* dst = grey.row(y) + tx;
                for (int x = tx; x < x1; ++x, src += 3, ++dst) {
                    const int d = std::max({std::abs(src[0] - ground.r), std::abs(src[1] - ground.g),
                                            std::abs(src[2] - ground.b)});
                    *dst = static_cast<std::uint8_t>(255 - std::clamp((d - 40) * 5 / 2, 0, 255));
                }
            }
        }
    eraseCarets(grey, rgb, frame.width(), factor);
    eraseSolidShapes(grey, unit, factor);
    return grey;
}

std::vector<Band> bands(const Image& grey, int count) {
    const int h = grey.height();
    std::vector<long long> activity(static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row = grey.row(y);
        long long a = 0;
        for (int x = 1; x < grey.width(); ++x)
            a += std::abs(row[x] - row[x - 1]);
        activity[y] = a;
    }
    std::vector<Band> result;
    int top = 0;
    const int reach = std::max(1, h / (4 * std::max(count, 1)));
    for (int i = 1; i < count; ++i) {
        const int target = h * i / count;
        int best = target;
        for (int d = 0; d <= reach; ++d)
            for (int y : {target - d, target + d})
                if (y > top && y < h && activity[y] < activity[best])
                    best = y;
        if (best <= top)
            continue;
        result.push_back({top, best});
        top = best;
    }
    result.push_back({top, h});
    return result;
}

} // namespace pokescope::ocr
