#include "input/FrameDiff.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pokescope::FrameDiff {

namespace {

constexpr int kPointerWidth = 300;
constexpr int kChangeWidth = 150;
constexpr int kChangeThreshold = 30;
constexpr int kWiggleThreshold = 19;
constexpr int kSteadyThreshold = 14;
constexpr long kMinBlob = 6;
constexpr long kMaxBlob = 1500;
// Grey pixels (about 80 frame pixels of a phone at 3×): the size of a pointer disc.
constexpr double kMergeDistance = 20;

bool sameSize(const Image& a, const Image& b) { return a.width() == b.width() && a.height() == b.height(); }

// The grey of one BGRA pixel.
int luma(const std::uint8_t* p) { return (p[0] * 29 + p[1] * 150 + p[2] * 77) >> 8; }

} // namespace

std::optional<Gray> gray(const Image& image, int width) {
    if (image.empty() || width <= 0)
        return std::nullopt;
    long long rows = static_cast<long long>(image.height()) * width / image.width();
    if (rows <= 0 || rows > 1'000'000)
        return std::nullopt;
    Gray out;
    out.width = width;
    out.height = static_cast<int>(rows);
    out.bytes.resize(static_cast<std::size_t>(out.width) * out.height);
    if (image.format() != Image::Format::bgra) {
        try {
            Image small = resized(image, out.width, out.height, Image::Format::gray);
            for (int y = 0; y < out.height; ++y)
                std::memcpy(out.bytes.data() + static_cast<std::size_t>(y) * out.width, small.row(y),
                            static_cast<std::size_t>(out.width));
        } catch (const std::exception&) {
            return std::nullopt;
        }
        return out;
    }
    // Bilinear sampling straight from BGRA: four source pixels per grey pixel, luminance in fixed point.
    const double sx = static_cast<double>(image.width()) / out.width;
    const double sy = static_cast<double>(image.height()) / out.height;
    struct Tap {
        int first;
        int weight; // of the second, in 1/256
    };
    auto taps = [](int count, double scale, int limit) {
        std::vector<Tap> out(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            double position = std::clamp((i + 0.5) * scale - 0.5, 0.0, limit - 1.0);
            int first = std::min(static_cast<int>(position), limit - 2 < 0 ? 0 : limit - 2);
            out[static_cast<std::size_t>(i)] = {first, static_cast<int>((position - first) * 256 + 0.5)};
        }
        return out;
    };
    const auto columns = taps(out.width, sx, image.width());
    const auto rowsTaps = taps(out.height, sy, image.height());
    const int lastColumn = image.width() - 1, lastRow = image.height() - 1;
    for (int y = 0; y < out.height; ++y) {
        const Tap ty = rowsTaps[static_cast<std::size_t>(y)];
        const std::uint8_t* top = image.row(ty.first);
        const std::uint8_t* bottom = image.row(std::min(ty.first + 1, lastRow));
        std::uint8_t* target = out.bytes.data() + static_cast<std::size_t>(y) * out.width;
        for (int x = 0; x < out.width; ++x) {
            const Tap tx = columns[static_cast<std::size_t>(x)];
            const int left = tx.first * 4, right = std::min(tx.first + 1, lastColumn) * 4;
            int upper = luma(top + left) * (256 - tx.weight) + luma(top + right) * tx.weight;
            int lower = luma(bottom + left) * (256 - tx.weight) + luma(bottom + right) * tx.weight;
            target[x] = static_cast<std::uint8_t>((upper * (256 - ty.weight) + lower * ty.weight + (1 << 15)) >> 16);
        }
    }
    return out;
}

double changedFraction(const Image& a, const Image& b) {
    if (!sameSize(a, b))
        return 1.0;
    auto ga = gray(a, kChangeWidth);
    auto gb = gray(b, kChangeWidth);
    if (!ga || !gb)
        return 0.0;
    long changed = 0;
    for (std::size_t i = 0; i < ga->bytes.size(); ++i)
        changed += std::abs(int(ga->bytes[i]) - int(gb->bytes[i])) > kChangeThreshold;
    return static_cast<double>(changed) / (static_cast<double>(kChangeWidth) * ga->height);
}

long changedAround(const Image& a, const Image& b, PointD at, double radius) {
    if (!sameSize(a, b))
        return 0;
    auto ga = gray(a, kPointerWidth), gb = gray(b, kPointerWidth);
    if (!ga || !gb)
        return 0;
    const double scale = static_cast<double>(a.width()) / kPointerWidth;
    const double cx = at.x / scale, cy = at.y / scale, r = radius / scale;
    long changed = 0;
    for (int y = std::max(0, int(cy - r)); y <= std::min(ga->height - 1, int(cy + r)); ++y)
        for (int x = std::max(0, int(cx - r)); x <= std::min(ga->width - 1, int(cx + r)); ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * ga->width + x;
            changed += std::hypot(x - cx, y - cy) <= r && std::abs(int(ga->bytes[i]) - int(gb->bytes[i])) >= kWiggleThreshold;
        }
    return changed;
}

std::optional<AppearedDisc> appearedDisc(const Image& a, const Image& b, PointD near, double diameter, double search) {
    if (!sameSize(a, b) || diameter <= 0 || search < 0)
        return std::nullopt;
    auto ga = gray(a, kPointerWidth), gb = gray(b, kPointerWidth);
    if (!ga || !gb)
        return std::nullopt;
    const int w = ga->width, h = ga->height;
    const double scale = static_cast<double>(a.width()) / kPointerWidth;
    const double d = diameter / scale, r = d / 2, cx = near.x / scale, cy = near.y / scale, reach = search / scale;
    // Changed pixels and their running sums over the rows and columns the search can reach.
    const int x0 = std::max(0, int(cx - reach - 2 * d)), x1 = std::min(w - 1, int(cx + reach + 2 * d));
    const int y0 = std::max(0, int(cy - reach - 2 * d)), y1 = std::min(h - 1, int(cy + reach + 2 * d));
    if (x0 > x1 || y0 > y1)
        return std::nullopt;
    const int rw = x1 - x0 + 1, rh = y1 - y0 + 1;
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(rw) * rh);
    std::vector<long> sums(static_cast<std::size_t>(rw + 1) * (rh + 1), 0);
    for (int y = 0; y < rh; ++y)
        for (int x = 0; x < rw; ++x) {
            const std::size_t i = static_cast<std::size_t>(y + y0) * w + (x + x0);
            const bool changed = std::abs(int(ga->bytes[i]) - int(gb->bytes[i])) >= kWiggleThreshold;
            mask[static_cast<std::size_t>(y) * rw + x] = changed;
            sums[static_cast<std::size_t>(y + 1) * (rw + 1) + (x + 1)] = changed + sums[static_cast<std::size_t>(y) * (rw + 1) + (x + 1)] +
                                                                        sums[static_cast<std::size_t>(y + 1) * (rw + 1) + x] -
                                                                        sums[static_cast<std::size_t>(y) * (rw + 1) + x];
        }
    auto box = [&](int left, int top, int side) {
        left = std::clamp(left, 0, rw);
        top = std::clamp(top, 0, rh);
        const int right = std::clamp(left + side, 0, rw), bottom = std::clamp(top + side, 0, rh);
        auto at = [&](int x, int y) { return sums[static_cast<std::size_t>(y) * (rw + 1) + x]; };
        return at(right, bottom) - at(left, bottom) - at(right, top) + at(left, top);
    };
    // A square that fits inside the disc, at every centre within reach; the nearest of equal ones wins.
    const int side = std::max(3, static_cast<int>(std::lround(d * 0.7)));
    long best = 0;
    double bestX = 0, bestY = 0, bestDistance = 0;
    for (int y = std::max(y0, int(cy - reach)); y <= std::min(y1, int(cy + reach)); ++y)
        for (int x = std::max(x0, int(cx - reach)); x <= std::min(x1, int(cx + reach)); ++x) {
            const double distance = std::hypot(x - cx, y - cy);
            if (distance > reach)
                continue;
            const long count = box(x - x0 - side / 2, y - y0 - side / 2, side);
            if (count > best || (count == best && count > 0 && distance < bestDistance)) {
                best = count;
                bestX = x;
                bestY = y;
                bestDistance = distance;
            }
        }
    if (best == 0)
        return std::nullopt;
    // The centre of what changed within the disc around the best window; the counts within and around it.
    AppearedDisc found;
    double sumX = bestX, sumY = bestY;
    found.inside = 1; // the window's centre, so that the mean is defined
    for (int y = 0; y < rh; ++y)
        for (int x = 0; x < rw; ++x) {
            if (!mask[static_cast<std::size_t>(y) * rw + x])
                continue;
            const double distance = std::hypot(x + x0 - bestX, y + y0 - bestY);
            if (distance <= r) {
                ++found.inside;
                sumX += x + x0;
                sumY += y + y0;
            }
            found.around += distance <= 1.5 * d;
        }
    found.centre = PointD{(sumX / found.inside + 0.5) * scale, (sumY / found.inside + 0.5) * scale};
    found.density = static_cast<double>(best) / (side * side);
    found.discArea = M_PI * r * r;
    return found;
}

double busyAround(const Image& frame, PointD at, double inner, double outer) {
    if (frame.format() != Image::Format::bgra || frame.empty() || outer <= inner)
        return 0;
    std::vector<std::uint8_t> ring;
    const int x0 = std::max(0, int(at.x - outer)), x1 = std::min(frame.width() - 1, int(at.x + outer));
    const int y0 = std::max(0, int(at.y - outer)), y1 = std::min(frame.height() - 1, int(at.y + outer));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x) {
            const double distance = std::hypot(x - at.x, y - at.y);
            if (distance >= inner && distance <= outer)
                ring.push_back(static_cast<std::uint8_t>(luma(frame.row(y) + 4 * x)));
        }
    if (ring.empty())
        return 0;
    std::vector<std::uint8_t> sorted = ring;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const int median = sorted[sorted.size() / 2];
    const auto busy = std::count_if(ring.begin(), ring.end(), [&](std::uint8_t g) { return std::abs(g - median) >= 40; });
    return static_cast<double>(busy) / static_cast<double>(ring.size());
}

std::optional<Image> withoutDisc(const Image& shown, const Image& moved, PointD near, double diameter, double search) {
    if (shown.format() != Image::Format::bgra || moved.format() != Image::Format::bgra)
        return std::nullopt;
    // The disc that "appeared" going from the moved frame back to the shown one is the one the move took away.
    auto gone = appearedDisc(moved, shown, near, diameter, search);
    if (!gone || gone->density < 0.5 || gone->inside < 0.5 * gone->discArea || gone->around > 3.0 * gone->discArea)
        return std::nullopt;
    // The disc with its anti-aliased rim and the grey copy's rounding.
    const double r = diameter * 0.6 + 3;
    const int x0 = std::max(0, int(std::floor(gone->centre.x - r))), x1 = std::min(shown.width(), int(std::ceil(gone->centre.x + r)));
    const int y0 = std::max(0, int(std::floor(gone->centre.y - r))), y1 = std::min(shown.height(), int(std::ceil(gone->centre.y + r)));
    Image clean = shown;
    for (int y = y0; y < y1; ++y)
        std::copy(moved.row(y) + 4 * x0, moved.row(y) + 4 * x1, clean.row(y) + 4 * x0);
    return clean;
}

std::optional<PointD> pointerCentroid(const Image& a, const Image& b, const Image& c, const Image& d,
                                      std::optional<PointD> around, std::optional<double> radius,
                                      MaskCounts* counts) {
    if (!sameSize(a, b) || !sameSize(a, c) || !sameSize(a, d))
        return std::nullopt;
    auto ga = gray(a, kPointerWidth), gb = gray(b, kPointerWidth), gc = gray(c, kPointerWidth),
         gd = gray(d, kPointerWidth);
    if (!ga || !gb || !gc || !gd)
        return std::nullopt;
    double scale = static_cast<double>(a.width()) / kPointerWidth;
    return pointerCentroid(*ga, *gb, *gc, *gd, scale, a.width(), around, radius, counts);
}

std::optional<PointD> pointerCentroid(const Gray& a, const Gray& b, const Gray& c, const Gray& d, double scale,
                                      double frameWidth, std::optional<PointD> around, std::optional<double> radius,
                                      MaskCounts* counts) {
    auto same = [&](const Gray& g) { return g.width == a.width && g.height == a.height; };
    if (!same(b) || !same(c) || !same(d) || a.bytes.size() != static_cast<std::size_t>(a.width) * a.height)
        return std::nullopt;
    const int w = a.width, h = a.height;
    const std::size_t n = a.bytes.size();
    std::vector<std::uint8_t> mask(n);
    MaskCounts tally;
    for (std::size_t i = 0; i < n; ++i) {
        const int signedAB = int(a.bytes[i]) - int(b.bytes[i]), signedCD = int(c.bytes[i]) - int(d.bytes[i]);
        const int ab = std::abs(signedAB), cd = std::abs(signedCD);
        const int ac = std::abs(int(a.bytes[i]) - int(c.bytes[i]));
        const int bd = std::abs(int(b.bytes[i]) - int(d.bytes[i]));
        bool moved = ab >= kWiggleThreshold;
        bool movedTwice = moved && cd >= kWiggleThreshold;
        // Alike in both poses: within the steady threshold, or (where an encoder shifts a whole block's
        // level from frame to frame) the same change both times, much larger than the poses' difference.
        const int steadyLimit = (signedAB > 0) == (signedCD > 0) ? std::max(kSteadyThreshold, std::min(ab, cd) / 2)
                                                                  : kSteadyThreshold;
        mask[i] = movedTwice && ac < steadyLimit && bd < steadyLimit;
        tally.ab += moved;
        tally.abcd += movedTwice;
        tally.mask += mask[i];
    }
    if (counts)
        *counts = tally;

    // Blobs in scan order.
    struct Blob {
        long count = 0;
        double sumX = 0, sumY = 0;
        std::size_t group = 0;
    };
    std::vector<Blob> blobs;
    std::vector<std::size_t> stack;
    for (std::size_t start = 0; start < n; ++start) {
        if (mask[start] != 1)
            continue;
        Blob blob;
        mask[start] = 2; // visited
        stack.push_back(start);
        while (!stack.empty()) {
            std::size_t i = stack.back();
            stack.pop_back();
            int x = static_cast<int>(i % w), y = static_cast<int>(i / w);
            ++blob.count;
            blob.sumX += x;
            blob.sumY += y;
            auto visit = [&](std::size_t j) {
                if (mask[j] == 1) {
                    mask[j] = 2;
                    stack.push_back(j);
                }
            };
            if (x > 0)
                visit(i - 1);
            if (x + 1 < w)
                visit(i + 1);
            if (y > 0)
                visit(i - w);
            if (y + 1 < h)
                visit(i + w);
        }
        blob.group = blobs.size();
        blobs.push_back(blob);
    }

    // A pointer disc moved by less than its size changes two crescents, on either side of an interior that
    // stays alike: the crescents are one pointer. Blobs whose centres lie within a pointer's size are merged
    // (each group is named after its earliest blob, so the scan order still breaks ties).
    auto root = [&](std::size_t i) {
        while (blobs[i].group != i)
            i = blobs[i].group = blobs[blobs[i].group].group;
        return i;
    };
    for (std::size_t i = 0; i < blobs.size(); ++i)
        for (std::size_t j = i + 1; j < blobs.size(); ++j) {
            double dx = blobs[i].sumX / blobs[i].count - blobs[j].sumX / blobs[j].count;
            double dy = blobs[i].sumY / blobs[i].count - blobs[j].sumY / blobs[j].count;
            if (dx * dx + dy * dy <= kMergeDistance * kMergeDistance) {
                std::size_t a = root(i), b = root(j);
                if (a != b)
                    blobs[std::max(a, b)].group = std::min(a, b);
            }
        }
    std::vector<Blob> groups(blobs.size());
    for (std::size_t i = 0; i < blobs.size(); ++i) {
        Blob& g = groups[root(i)];
        g.count += blobs[i].count;
        g.sumX += blobs[i].sumX;
        g.sumY += blobs[i].sumY;
    }

    std::optional<PointD> best;
    double bestScore = 0;
    for (const Blob& g : groups) {
        if (g.count < kMinBlob || g.count > kMaxBlob)
            continue;
        // A grey pixel stands for the frame pixels from x·scale to (x + 1)·scale: its centre is half a grey
        // pixel further on.
        PointD centre{(g.sumX / g.count + 0.5) * scale, (g.sumY / g.count + 0.5) * scale};
        double score = static_cast<double>(g.count);
        if (around) {
            double dist = std::hypot(centre.x - around->x, centre.y - around->y);
            if (radius && dist > frameWidth * *radius)
                continue;
            score = g.count / (dist / 60 + 1);
        }
        if (!best || score > bestScore) {
            best = centre;
            bestScore = score;
        }
    }
    return best;
}

} // namespace pokescope::FrameDiff
