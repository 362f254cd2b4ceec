// Image arithmetic for finding the phone's pointer: small grey copies of frames, the share of pixels that
// changed between two frames, and the centre of the pixels that follow a wiggle of the pointer.
//
// Stateless; safe on any thread.
#pragma once

#include "platform/Image.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace pokescope {

// A point in frame pixels, origin top left, y downwards.
struct PointD {
    double x = 0;
    double y = 0;
    bool operator==(const PointD&) const = default;
};

namespace FrameDiff {

// A grey copy: `width` × `height` bytes, row-major, no padding.
struct Gray {
    std::vector<std::uint8_t> bytes;
    int width = 0;
    int height = 0;
};

// `image` scaled to exactly `width` columns and trunc(height × width ÷ imageWidth) rows of 8-bit grey, with
// ordinary linear interpolation; none when the bitmap cannot be made.
std::optional<Gray> gray(const Image& image, int width);

// The share of pixels whose grey value differs by more than 30 between the two frames at width 150; 0.0
// when a conversion fails, 1.0 when the frames differ in size (the phone turned between them).
double changedFraction(const Image& a, const Image& b);

// The grey pixels, at the pointer search's width, that changed by the wiggle threshold or more between the
// two frames within `radius` frame pixels of `at`; 0 when a conversion fails or the sizes differ.
long changedAround(const Image& a, const Image& b, PointD at, double radius);

// A disc that appeared between two frames: where the pixels that changed are densest in a disc-sized
// window, and how many changed within the disc and around it.
struct AppearedDisc {
    PointD centre;       // frame pixels
    double density = 0;  // the share of the window's grey pixels that changed
    long inside = 0;     // changed grey pixels within the disc
    long around = 0;     // changed grey pixels within three diameters' width around its centre
    double discArea = 0; // grey pixels a disc of `diameter` covers
};
// The densest disc of `diameter` frame pixels, within `search` frame pixels of `near`, in the pixels that
// changed by the wiggle threshold between `a` and `b`; none when nothing changed there or the sizes differ.
std::optional<AppearedDisc> appearedDisc(const Image& a, const Image& b, PointD near, double diameter, double search);

// The share of the frame's pixels between `inner` and `outer` frame pixels of `at` whose grey differs from
// the ring's median by 40 or more: what lies around a disc at `at` (the edges of text, an icon), 0 on a plain
// background or when the ring is off the frame.
double busyAround(const Image& frame, PointD at, double inner, double outer);

// `shown` without the pointer's disc near `near`: where `moved` (the same screen once the pointer moved
// away, more than two diameters) no longer shows a disc that `shown` does, `shown` takes `moved`'s pixels.
// None when no whole disc went away there (it was hidden, or the screen itself changed) or the sizes differ.
std::optional<Image> withoutDisc(const Image& shown, const Image& moved, PointD near, double diameter, double search);

// Pixel counts of the wiggle mask, for diagnostics.
struct MaskCounts {
    long ab = 0;   // |a−b| ≥ 19
    long abcd = 0; // and |c−d| ≥ 19
    long mask = 0; // and a, c and b, d alike
};

// The centre, in pixels of `a`, of the pixels that change with the wiggle: `a` and `c` show the pointer in
// one place, `b` and `d` in the other. With `around`, blobs near it score higher, and with `radius` those
// farther than radius × frame width are dropped. None when no blob of 6…1500 grey pixels qualifies, a
// conversion fails or the frames differ in size.
std::optional<PointD> pointerCentroid(const Image& a, const Image& b, const Image& c, const Image& d,
                                      std::optional<PointD> around, std::optional<double> radius,
                                      MaskCounts* counts = nullptr);

// The same on grey copies of one size; `scale` turns grey pixels into frame pixels and `frameWidth` is the
// full frame's width.
std::optional<PointD> pointerCentroid(const Gray& a, const Gray& b, const Gray& c, const Gray& d, double scale,
                                      double frameWidth, std::optional<PointD> around, std::optional<double> radius,
                                      MaskCounts* counts = nullptr);

} // namespace FrameDiff
} // namespace pokescope
