#include "capture/ScreenCaptureGate.hpp"

#include <algorithm>
#include <cstdlib>

namespace pokescope {

namespace {

// Bars must take at least this share of a side before the gate crops; a phone frame whose own content is
// dark at an edge is not a letterboxed frame.
constexpr double kMinimumBar = 0.02;

int grey(const std::uint8_t* bgra) { return (bgra[0] * 29 + bgra[1] * 150 + bgra[2] * 77) >> 8; }

} // namespace

void FrameGate::reset(bool adapter) {
    adapter_ = adapter;
    sourceWidth_ = sourceHeight_ = 0;
    crop_.reset();
    lastSignature_ = Image();
}

std::optional<FrameGate::Rect> FrameGate::pictureBounds(const Image& frame) const {
    int left = frame.width(), right = -1, top = frame.height(), bottom = -1;
    for (int y = 0; y < frame.height(); y += 2) {
        const std::uint8_t* row = frame.row(y);
        for (int x = 0; x < frame.width(); ++x) {
            if (grey(row + x * 4) > kBlackLevel) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    if (right < 0)
        return std::nullopt;
    // Adapters centre the picture: make the bars symmetric, so dark content at one edge of the phone's own
    // screen is not cut off.
    int barX = std::min(left, frame.width() - 1 - right);
    int barY = std::min(top, frame.height() - 1 - bottom);
    if (barX < frame.width() * kMinimumBar)
        barX = 0;
    if (barY < frame.height() * kMinimumBar)
        barY = 0;
    // An adapter fits the picture to the frame: it fills one side, and bars, if any, run along the other
    // (dark rows at the top and bottom of a screen between side bars are the phone's own).
    if (barX >= barY)
        barY = 0;
    else
        barX = 0;
    return phoneShaped(Rect{barX, barY, frame.width() - 2 * barX, frame.height() - 2 * barY}, frame.width(),
                       frame.height());
}

FrameGate::Rect FrameGate::phoneShaped(const Rect& bounds, int frameWidth, int frameHeight) const {
    // Short side over long side of the phones' screens: 19.5:9 and the 16:9 of phones with a Home button.
    static constexpr double kShapes[] = {1179.0 / 2556.0, 750.0 / 1334.0};
    const bool upright = bounds.height >= bounds.width;
    const int longSide = upright ? bounds.height : bounds.width;
    const int shortSide = upright ? bounds.width : bounds.height;
    const int room = upright ? frameWidth : frameHeight;
    for (double shape : kShapes) {
        int wanted = static_cast<int>(longSide * shape + 0.5) & ~1;
        if (wanted >= shortSide - 2 && wanted <= room) {
            if (wanted <= shortSide)
                break; // already the phone's shape
            return upright ? Rect{(frameWidth - wanted) / 2, bounds.y, wanted, bounds.height}
                           : Rect{bounds.x, (frameHeight - wanted) / 2, bounds.width, wanted};
        }
    }
    return bounds;
}

bool FrameGate::changed(const Image& signature) const {
    if (lastSignature_.width() != signature.width() || lastSignature_.height() != signature.height())
        return true;
    int count = 0;
    for (int y = 0; y < signature.height(); ++y) {
        const std::uint8_t* a = signature.row(y);
        const std::uint8_t* b = lastSignature_.row(y);
        for (int x = 0; x < signature.width(); ++x)
            if (std::abs(a[x] - b[x]) > kChangeLevel && ++count >= 2)
                return true;
    }
    return false;
}

ImageRef FrameGate::admit(const ImageRef& frame) {
    if (!frame || frame->empty())
        return nullptr;
    if (frame->width() != sourceWidth_ || frame->height() != sourceHeight_) {
        reset();
        sourceWidth_ = frame->width();
        sourceHeight_ = frame->height();
    }
    // An adapter's picture is cropped out of its bars; the crop only grows while the source keeps its
    // size, so frames keep one size. A black frame keeps the crop found so far (the whole frame until a
    // picture has shown where the bars are).
    if (auto bounds = adapter_ ? pictureBounds(*frame) : std::nullopt) {
        if (!crop_) {
            crop_ = bounds;
            lastSignature_ = Image();
        } else if (bounds->width > crop_->width || bounds->height > crop_->height) {
            crop_ = Rect{std::min(crop_->x, bounds->x), std::min(crop_->y, bounds->y),
                         std::max(crop_->width, bounds->width), std::max(crop_->height, bounds->height)};
            lastSignature_ = Image();
        }
    }
    ImageRef picture = frame;
    if (crop_ && (crop_->width != frame->width() || crop_->height != frame->height()))
        picture = std::make_shared<Image>(cropped(*frame, crop_->x, crop_->y, crop_->width, crop_->height));
    int width = std::max(1, picture->width() / 4);
    int height = std::max(1, picture->height() / 4);
    Image signature = resized(*picture, width, height, Image::Format::gray, true);
    if (!changed(signature))
        return nullptr;
    lastSignature_ = std::move(signature);
    return picture;
}

} // namespace pokescope
