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

void FrameGate::reset() {
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
    return Rect{barX, barY, frame.width() - 2 * barX, frame.height() - 2 * barY};
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
    auto bounds = pictureBounds(*frame);
    if (!bounds)
        return nullptr; // nothing but black: no picture to show
    // The crop only grows while the source keeps its size, so frames keep one size.
    if (!crop_) {
        crop_ = bounds;
    } else if (bounds->width > crop_->width || bounds->height > crop_->height) {
        crop_ = Rect{std::min(crop_->x, bounds->x), std::min(crop_->y, bounds->y), std::max(crop_->width, bounds->width),
                     std::max(crop_->height, bounds->height)};
        lastSignature_ = Image();
    }
    ImageRef picture = frame;
    if (crop_->width != frame->width() || crop_->height != frame->height())
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
