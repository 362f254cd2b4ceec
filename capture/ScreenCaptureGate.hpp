// What a source frame becomes before the rest of the system sees it. Capture adapters send 30–60 frames
// a second whether or not anything changed, usually 16:9 with the upright phone picture between black
// bars. The gate crops an adapter's frames to the phone's picture (never the phone's own stream, which is
// the picture) and lets a frame through only when it differs from the last one it let through beyond
// compression noise, so that a new frame keeps meaning "the screen changed". Black frames count like any
// other: a phone that locks shows black.
#pragma once

#include "platform/Image.hpp"

#include <optional>

namespace pokescope {

class FrameGate {
public:
    struct Rect {
        int x = 0, y = 0, width = 0, height = 0;
        bool operator==(const Rect&) const = default;
    };

    // The phone's picture when it changed since the last admitted frame; null otherwise.
    ImageRef admit(const ImageRef& frame);
    // Forgets the crop and the last picture (a new device or session); `adapter`: the source is a capture
    // adapter, whose frames may hold the picture between black bars.
    void reset(bool adapter);
    void reset() { reset(adapter_); }
    // The part of the source frame that holds the phone's picture, once known.
    std::optional<Rect> crop() const { return crop_; }

    // Grey levels a pixel must exceed to count as picture rather than bar.
    static constexpr int kBlackLevel = 28;
    // A signature pixel changes when its grey level moves by more than this.
    static constexpr int kChangeLevel = 10;

private:
    std::optional<Rect> pictureBounds(const Image& frame) const;
    bool changed(const Image& signature) const;

    // The picture's bounds widened to the nearest phone screen's shape, centred in the frame: a dark screen
    // whose own edges are black is not mistaken for a narrower picture.
    Rect phoneShaped(const Rect& bounds, int frameWidth, int frameHeight) const;

    bool adapter_ = true;
    int sourceWidth_ = 0, sourceHeight_ = 0;
    std::optional<Rect> crop_;
    Image lastSignature_;
};

} // namespace pokescope
