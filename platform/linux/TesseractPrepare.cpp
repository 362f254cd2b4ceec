#include "platform/linux/TesseractPrepare.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace pokescope::ocr {

namespace {

// The frame reduced by `factor` with area averaging, as packed RGB. Buffers the size of a frame are kept
// for the thread's next frame here and below: mapping fresh memory for each costs more than the work done
// on it.
std::vector<std::uint8_t>& shrunkRgb(const Image& frame, int factor, int w, int h) {
    thread_local std::vector<std::uint8_t> rgb;
    rgb.resize(static_cast<std::size_t>(w) * h * 3);
    if (factor == 2) {
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* a = frame.row(2 * y);
            const std::uint8_t* b = frame.row(2 * y + 1);
            std::uint8_t* dst = rgb.data() + static_cast<std::size_t>(y) * w * 3;
            for (int x = 0; x < w; ++x, a += 8, b += 8, dst += 3)
                for (int c = 0; c < 3; ++c)
                    dst[2 - c] = static_cast<std::uint8_t>((a[c] + a[4 + c] + b[c] + b[4 + c] + 2) / 4);
        }
        return rgb;
    }
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
// A tile whose most common brightness covers less than most of it straddles two large areas (the thick
// stroke of a title's letter and the page, an icon and the wallpaper its label stands on): there the
// ground is the most common brightness of the tile and its eight neighbours, since letters are thin
// beside the page around them and a label's row is mostly wallpaper.
struct Ground {
    int r = 255, g = 255, b = 255;
};
constexpr int kTile = 32;
constexpr int kLevels = 64, kWindow = 4; // brightness in steps of 4; a window of 16 levels
// Differences from the ground up to kLeast are no ink; those from kFull up are drawn black, and so are
// those from a faint glyph's strongest difference up where that lies between kFaintest and kFull.
constexpr int kLeast = 40, kFaintest = 80, kFull = 142;
// Grounds of neighbouring tiles this alike in every channel are one ground changing smoothly.
constexpr int kAlike = 100, kSameGround = 6;

// Each tile's pixel count and colour sums per brightness level.
struct TileLevels {
    int count[kLevels] = {};
    int r[kLevels] = {}, g[kLevels] = {}, b[kLevels] = {};
};

// The densest window of `counts` (summed over `tiles`): its first level and its pixel count.
std::pair<int, int> densest(const std::vector<const TileLevels*>& tiles) {
    int count[kLevels] = {};
    for (const TileLevels* t : tiles)
        for (int level = 0; level < kLevels; ++level)
            count[level] += t->count[level];
    int best = 0, bestCount = -1, running = 0;
    for (int level = 0; level < kLevels; ++level) {
        running += count[level] - (level >= kWindow ? count[level - kWindow] : 0);
        if (running > bestCount) {
            bestCount = running;
            best = std::max(0, level - kWindow + 1);
        }
    }
    return {best, bestCount};
}

Ground meanOf(const std::vector<const TileLevels*>& tiles, int first) {
    long r = 0, g = 0, b = 0, n = 0;
    for (const TileLevels* t : tiles)
        for (int level = first; level < std::min(kLevels, first + kWindow); ++level)
            r += t->r[level], g += t->g[level], b += t->b[level], n += t->count[level];
    if (n == 0)
        return {};
    return {static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n)};
}

// A tile's ground, and a second one where the tile also holds a large area of another brightness (the
// bottom of an app icon above its label, a button's fill beside the page): text stands out from both,
// while the area itself and the glyph it frames do not. Strokes of text are never that thick, so a
// title's letters are never taken for a ground.
struct TileGround {
    Ground main, second;
    bool twoGrounds = false;
};

// Whether `level` lies in the window of kWindow levels from `first`.
inline bool inWindow(int level, int first) {
    return level >= first && level < first + kWindow;
}

std::vector<TileGround> tileGrounds(const std::vector<std::uint8_t>& rgb, int w, int h, int columns, int rows,
                                    int thick) {
    thread_local std::vector<TileLevels> levels;
    levels.assign(static_cast<std::size_t>(columns) * rows, TileLevels{});
    thread_local std::vector<std::uint8_t> luma;
    luma.resize(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* p = rgb.data() + static_cast<std::size_t>(y) * w * 3;
        TileLevels* row = levels.data() + static_cast<std::size_t>(y / kTile) * columns;
        std::uint8_t* l = luma.data() + static_cast<std::size_t>(y) * w;
        for (int x = 0; x < w; ++x, p += 3) {
            TileLevels& t = row[x / kTile];
            const int level = lumaRgb(p) >> 2;
            l[x] = static_cast<std::uint8_t>(level);
            ++t.count[level];
            t.r[level] += p[0], t.g[level] += p[1], t.b[level] += p[2];
        }
    }
    // Whether a square of pixels of the window from `first`, `thick` out on every side of its centre,
    // overlaps the tile (an area whose edge runs along the tile's is as large as one that fills it).
    auto thickIn = [&](int tx, int ty, int first) {
        const int x0 = std::max(thick, tx * kTile - thick),
                  x1 = std::min(w - thick, (tx + 1) * kTile + thick);
        const int y0 = std::max(thick, ty * kTile - thick),
                  y1 = std::min(h - thick, (ty + 1) * kTile + thick);
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                bool all = true;
                for (int sy = y - thick; sy <= y + thick && all; ++sy) {
                    const std::uint8_t* l = luma.data() + static_cast<std::size_t>(sy) * w;
                    for (int sx = x - thick; sx <= x + thick && all; ++sx)
                        all = inWindow(l[sx], first);
                }
                if (all)
                    return true;
            }
        return false;
    };
    std::vector<TileGround> grounds(levels.size());
    std::vector<const TileLevels*> tiles;
    for (int ty = 0; ty < rows; ++ty)
        for (int tx = 0; tx < columns; ++tx) {
            TileGround& ground = grounds[static_cast<std::size_t>(ty) * columns + tx];
            const TileLevels& own = levels[static_cast<std::size_t>(ty) * columns + tx];
            tiles.assign(1, &own);
            const auto [first, count] = densest(tiles);
            int pixels = 0;
            for (int c : own.count)
                pixels += c;
            int mainFirst = first;
            if (10 * count < 7 * pixels) {
                tiles.clear();
                for (int ny = std::max(0, ty - 1); ny <= std::min(rows - 1, ty + 1); ++ny)
                    for (int nx = std::max(0, tx - 1); nx <= std::min(columns - 1, tx + 1); ++nx)
                        tiles.push_back(&levels[static_cast<std::size_t>(ny) * columns + nx]);
                mainFirst = densest(tiles).first;
            }
            ground.main = meanOf(tiles, mainFirst);
            // The tile's most common brightness apart from the ground's (and the edges beside it).
            TileLevels rest = own;
            for (int level = std::max(0, mainFirst - kWindow);
                 level < std::min(kLevels, mainFirst + 2 * kWindow); ++level)
                rest.count[level] = 0;
            tiles.assign(1, &rest);
            const auto [secondFirst, secondCount] = densest(tiles);
            if (secondCount * 16 >= pixels && thickIn(tx, ty, secondFirst)) {
                ground.second = meanOf(tiles, secondFirst);
                ground.twoGrounds = true;
            }
        }
    return grounds;
}

inline int differenceOf(const std::uint8_t* p, const Ground& g) {
    return std::max({std::abs(p[0] - g.r), std::abs(p[1] - g.g), std::abs(p[2] - g.b)});
}

// Whether pixels of both grounds lie within a pixel of (x, y).
bool between(const std::vector<std::uint8_t>& rgb, int w, int h, int x, int y, const Ground& a,
             const Ground& b) {
    constexpr int kSame = 24;
    bool nearA = false, nearB = false;
    for (int ny = std::max(0, y - 1); ny <= std::min(h - 1, y + 1); ++ny)
        for (int nx = std::max(0, x - 1); nx <= std::min(w - 1, x + 1); ++nx) {
            const std::uint8_t* p = rgb.data() + (static_cast<std::size_t>(ny) * w + nx) * 3;
            nearA = nearA || differenceOf(p, a) <= kSame;
            nearB = nearB || differenceOf(p, b) <= kSame;
        }
    return nearA && nearB;
}

// Letters have sharp edges: every pixel of a stroke lies within half the stroke's width of one. What
// differs from the ground far from any sharp edge is a blurred shape behind a translucent panel or a
// ground that changes within a tile, and is no ink.
void keepSharpInk(std::vector<std::uint8_t>& difference, const std::vector<std::uint8_t>& rgb, int w, int h,
                  int reach) {
    constexpr int kSharp = 24; // least difference between neighbouring pixels across a letter's edge
    thread_local std::vector<std::uint8_t> near, spread;
    near.assign(static_cast<std::size_t>(w) * h, 0);
    spread.resize(near.size());
    // Where a pixel differs sharply from its right or lower neighbour.
    auto apart = [](const std::uint8_t* p, const std::uint8_t* q) {
        const int d0 = p[0] - q[0], d1 = p[1] - q[1], d2 = p[2] - q[2];
        return (d0 >= kSharp) | (d0 <= -kSharp) | (d1 >= kSharp) | (d1 <= -kSharp) | (d2 >= kSharp) |
               (d2 <= -kSharp);
    };
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* p = rgb.data() + static_cast<std::size_t>(y) * w * 3;
        std::uint8_t* n = near.data() + static_cast<std::size_t>(y) * w;
        for (int x = 0; x + 1 < w; ++x)
            n[x] = apart(p + 3 * x, p + 3 * x + 3);
        if (y + 1 < h)
            for (int x = 0; x < w; ++x)
                n[x] |= apart(p + 3 * x, p + 3 * (x + w));
    }
    // Spread the edges `reach` pixels along rows, then along columns, counting the edges in a sliding
    // window.
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* n = near.data() + static_cast<std::size_t>(y) * w;
        std::uint8_t* s = spread.data() + static_cast<std::size_t>(y) * w;
        int count = 0;
        for (int x = 0; x < std::min(w, reach); ++x)
            count += n[x];
        for (int x = 0; x < w; ++x) {
            if (x + reach < w)
                count += n[x + reach];
            if (x - reach - 1 >= 0)
                count -= n[x - reach - 1];
            s[x] = count > 0;
        }
    }
    thread_local std::vector<std::uint16_t> column;
    column.assign(static_cast<std::size_t>(w), 0);
    for (int y = 0; y < std::min(h, reach); ++y) {
        const std::uint8_t* s = spread.data() + static_cast<std::size_t>(y) * w;
        for (int x = 0; x < w; ++x)
            column[x] += s[x];
    }
    for (int y = 0; y < h; ++y) {
        if (y + reach < h) {
            const std::uint8_t* s = spread.data() + static_cast<std::size_t>(y + reach) * w;
            for (int x = 0; x < w; ++x)
                column[x] += s[x];
        }
        if (y - reach - 1 >= 0) {
            const std::uint8_t* s = spread.data() + static_cast<std::size_t>(y - reach - 1) * w;
            for (int x = 0; x < w; ++x)
                column[x] -= s[x];
        }
        std::uint8_t* d = difference.data() + static_cast<std::size_t>(y) * w;
        for (int x = 0; x < w; ++x)
            if (column[x] == 0)
                d[x] = 0;
    }
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
    thread_local std::vector<int> label;
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

// App icons, avatars and round buttons are areas of one smoothly changing colour about as wide as they are
// tall, larger than the hole of any letter; the glyphs they frame are no text. Each area of the frame
// whose neighbouring pixels differ by little is followed; those shaped so have everything in their box
// erased. Sizes are in pixels of a 3× phone's picture (`unit` scales them to the frame).
void eraseIcons(Image& grey, const std::vector<std::uint8_t>& rgb, double unit, int factor) {
    constexpr int kStep = 10; // largest difference between neighbouring pixels of one area
    // Every other pixel of every other row is followed: the areas are far larger than that, and the edge
    // around an icon is no narrower for it.
    constexpr int kSample = 2;
    const int w = grey.width(), h = grey.height();
    const int sw = (w + kSample - 1) / kSample, sh = (h + kSample - 1) / kSample;
    const int smallest = static_cast<int>(70 * unit / factor / kSample);
    const int largest = static_cast<int>(260 * unit / factor / kSample);
    auto similar = [&](int a, int b) {
        const std::uint8_t* p =
            rgb.data() + (static_cast<std::size_t>(a / sw) * kSample * w + a % sw * kSample) * 3;
        const std::uint8_t* q =
            rgb.data() + (static_cast<std::size_t>(b / sw) * kSample * w + b % sw * kSample) * 3;
        return std::abs(p[0] - q[0]) <= kStep && std::abs(p[1] - q[1]) <= kStep &&
               std::abs(p[2] - q[2]) <= kStep;
    };
    thread_local std::vector<std::uint8_t> seen;
    seen.assign(static_cast<std::size_t>(sw) * sh, 0);
    std::vector<int> stack;
    struct Box {
        int left, top, right, bottom;
    };
    std::vector<Box> icons;
    for (int start = 0; start < sw * sh; ++start) {
        if (seen[start])
            continue;
        seen[start] = 1;
        stack.assign(1, start);
        long area = 0;
        Box box{start % sw, start / sw, start % sw, start / sw};
        while (!stack.empty()) {
            const int i = stack.back();
            stack.pop_back();
            ++area;
            const int x = i % sw, y = i / sw;
            box.left = std::min(box.left, x), box.right = std::max(box.right, x);
            box.top = std::min(box.top, y), box.bottom = std::max(box.bottom, y);
            const auto visit = [&](int n) {
                if (!seen[n] && similar(i, n)) {
                    seen[n] = 1;
                    stack.push_back(n);
                }
            };
            if (x > 0)
                visit(i - 1);
            if (x + 1 < sw)
                visit(i + 1);
            if (y > 0)
                visit(i - sw);
            if (y + 1 < sh)
                visit(i + sw);
        }
        const int bw = box.right - box.left + 1, bh = box.bottom - box.top + 1;
        if (std::max(bw, bh) > largest || std::min(bw, bh) < smallest ||
            8 * std::abs(bw - bh) > std::max(bw, bh) || 3 * area < static_cast<long>(bw) * bh)
            continue;
        icons.push_back({box.left * kSample - kSample, box.top * kSample - kSample,
                         box.right * kSample + kSample, box.bottom * kSample + kSample});
    }
    for (const Box& b : icons)
        for (int y = std::max(0, b.top); y <= std::min(h - 1, b.bottom); ++y)
            std::fill(grey.row(y) + std::max(0, b.left), grey.row(y) + std::min(w, b.right + 1), 255);
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
    thread_local std::vector<int> label;
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
    std::vector<std::uint8_t>& shrunk = shrunkRgb(frame, factor, w, h);
    fillHomeIndicator(shrunk, w, h);
    const std::vector<std::uint8_t>& rgb = shrunk;
    Image grey(w, h, Image::Format::gray);
    // Ink is whatever differs from its tile's ground in any channel (orange text on white, white text
    // on blue, grey on black), drawn dark on white with differences of half the range and more at full.
    // Faint text (a search field's grey placeholder on its grey field) differs by far less: each glyph
    // that does is drawn with its strongest difference at full, or the engine's own threshold, set by the
    // page's black text, would drop it.
    const int columns = (w + kTile - 1) / kTile, rows = (h + kTile - 1) / kTile;
    const int thick = std::max(2, static_cast<int>(11 * unit / factor + 0.5));
    const std::vector<TileGround> grounds = tileGrounds(rgb, w, h, columns, rows, thick);
    thread_local std::vector<std::uint8_t> difference;
    difference.resize(static_cast<std::size_t>(w) * h);
    // Between the centres of four tiles whose grounds are alike (a wallpaper's gradient, the glow of a
    // blurred icon behind a panel) the ground is blended from theirs, so that a ground changing across a
    // tile leaves no ink at the tile's edge.
    std::vector<std::uint8_t> blended(static_cast<std::size_t>(columns + 1) * (rows + 1), 0);
    auto mainOf = [&](int tx, int ty) -> const Ground& {
        return grounds[static_cast<std::size_t>(std::clamp(ty, 0, rows - 1)) * columns +
                       std::clamp(tx, 0, columns - 1)]
            .main;
    };
    for (int cy = 0; cy <= rows; ++cy)
        for (int cx = 0; cx <= columns; ++cx) {
            const Ground* g[4] = {&mainOf(cx - 1, cy - 1), &mainOf(cx, cy - 1), &mainOf(cx - 1, cy),
                                  &mainOf(cx, cy)};
            int most = 0;
            for (int i = 0; i < 4; ++i)
                for (int j = i + 1; j < 4; ++j)
                    most = std::max({most, std::abs(g[i]->r - g[j]->r), std::abs(g[i]->g - g[j]->g),
                                     std::abs(g[i]->b - g[j]->b)});
            // Grounds that all but agree need no blending.
            blended[static_cast<std::size_t>(cy) * (columns + 1) + cx] = most > kSameGround && most <= kAlike;
        }
    for (int y = 0; y < h; ++y) {
        const int ty = y / kTile;
        // The cell between tile centres the row lies in, and the row's weight towards the lower centres.
        const int cy = (y + kTile / 2) / kTile, wy = (y + kTile / 2) % kTile;
        const std::uint8_t* src = rgb.data() + static_cast<std::size_t>(y) * w * 3;
        std::uint8_t* dst = difference.data() + static_cast<std::size_t>(y) * w;
        for (int x = 0; x < w; ++x, src += 3, ++dst) {
            const int tx = x / kTile;
            const TileGround& ground = grounds[static_cast<std::size_t>(ty) * columns + tx];
            const int cx = (x + kTile / 2) / kTile, wx = (x + kTile / 2) % kTile;
            int d;
            if (blended[static_cast<std::size_t>(cy) * (columns + 1) + cx]) {
                const Ground &a = mainOf(cx - 1, cy - 1), &b = mainOf(cx, cy - 1), &c = mainOf(cx - 1, cy),
                             &e = mainOf(cx, cy);
                const int w00 = (kTile - wx) * (kTile - wy), w10 = wx * (kTile - wy), w01 = (kTile - wx) * wy,
                          w11 = wx * wy;
                const Ground mix{(a.r * w00 + b.r * w10 + c.r * w01 + e.r * w11) / (kTile * kTile),
                                 (a.g * w00 + b.g * w10 + c.g * w01 + e.g * w11) / (kTile * kTile),
                                 (a.b * w00 + b.b * w10 + c.b * w01 + e.b * w11) / (kTile * kTile)};
                d = differenceOf(src, mix);
            } else {
                d = differenceOf(src, ground.main);
            }
            if (ground.twoGrounds && d > kLeast) {
                d = std::min(d, differenceOf(src, ground.second));
                // The blend of the two grounds along an edge between their areas.
                if (d > kLeast && between(rgb, w, h, x, y, ground.main, ground.second))
                    d = 0;
            }
            *dst = static_cast<std::uint8_t>(d);
        }
    }
    keepSharpInk(difference, rgb, w, h, std::max(2, static_cast<int>(12 * unit / factor + 0.5)));
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* src = difference.data() + static_cast<std::size_t>(y) * w;
        std::uint8_t* dst = grey.row(y);
        for (int x = 0; x < w; ++x)
            dst[x] = static_cast<std::uint8_t>(
                255 - std::clamp((src[x] - kLeast) * 255 / (kFull - kLeast), 0, 255));
    }
    // A text field's caret goes first: it is no letter, and a glyph it touches would take its contrast.
    eraseCarets(grey, rgb, frame.width(), factor);
    const int tallestLetter = static_cast<int>(100 * unit / factor);
    thread_local std::vector<int> label;
    components(
        w, h, label,
        [&](int x, int y) {
            return difference[static_cast<std::size_t>(y) * w + x] > kLeast && grey.row(y)[x] < 255;
        },
        [&](const Component& c) {
            if (c.height() > tallestLetter || c.width() > 2 * tallestLetter)
                return;
            int most = 0;
            for (int i : *c.pixels)
                most = std::max<int>(most, difference[static_cast<std::size_t>(i)]);
            if (most >= kFull)
                return;
            const int full = std::max(most, kFaintest);
            for (int i : *c.pixels)
                grey.row(i / w)[i % w] = static_cast<std::uint8_t>(
                    255 -
                    std::clamp((difference[static_cast<std::size_t>(i)] - kLeast) * 255 / (full - kLeast), 0,
                               255));
        });
    eraseIcons(grey, rgb, unit, factor);
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
