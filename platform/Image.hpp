// Images in memory and the conversions the system needs: 32-bit BGRA frames as captured, RGB and grey
// bitmaps, scaling, JPEG and PNG encoding.
//
// Thread contract: an Image is a plain value; `ImageRef` shares one immutable image between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pokescope {

class Image {
public:
    enum class Format {
        bgra, // 8 bits per channel, blue first, alpha last (premultiplied), as capture delivers frames
        rgb,  // 8 bits per channel, no alpha
        gray, // 8 bits
    };

    Image() = default;
    // A zero-filled image; the stride is the row length rounded up to a multiple of 4 bytes.
    Image(int width, int height, Format format);

    int width() const { return width_; }
    int height() const { return height_; }
    Format format() const { return format_; }
    int stride() const { return stride_; }
    static int bytesPerPixel(Format format);
    bool empty() const { return width_ == 0 || height_ == 0; }

    std::uint8_t* data() { return pixels_.data(); }
    const std::uint8_t* data() const { return pixels_.data(); }
    std::uint8_t* row(int y) { return pixels_.data() + static_cast<std::size_t>(y) * stride_; }
    const std::uint8_t* row(int y) const { return pixels_.data() + static_cast<std::size_t>(y) * stride_; }
    std::size_t byteCount() const { return pixels_.size(); }

private:
    int width_ = 0;
    int height_ = 0;
    Format format_ = Format::bgra;
    int stride_ = 0;
    std::vector<std::uint8_t> pixels_;
};

// One immutable image shared between threads (a captured frame, a screenshot).
using ImageRef = std::shared_ptr<const Image>;

enum class ImageType { jpeg, png };

// The image written as one file of `type` into memory; `quality` (0.0 to 1.0) sets JPEG compression.
// None when the encoder cannot finish. BGRA is taken as opaque (alpha ignored).
std::optional<std::string> encoded(const Image& image, ImageType type, double quality);

// The image itself when its width is at most `maxWidth`; otherwise a new RGB image `maxWidth` wide and
// round-half-away-from-zero(height × maxWidth ÷ width) high, scaled with high quality (area averaging).
// None when the bitmap cannot be made.
ImageRef scaled(const ImageRef& image, int maxWidth);

// The image resized to exactly `width` × `height` in `format`, with ordinary linear interpolation
// (bilinear), or area averaging when `area` is set.
Image resized(const Image& image, int width, int height, Image::Format format, bool area = false);

// Draws `image` resized into the `width` × `height` rectangle of `target` whose top left corner is
// (`x`, `y`), converting to the target's format; the rectangle must lie inside `target`. Fast bilinear
// interpolation, for pictures resized many times a second (recording). False when the scaler cannot be
// made; nothing outside the rectangle is touched.
bool resizeInto(const Image& image, Image& target, int x, int y, int width, int height);

// A copy of the `width` × `height` rectangle whose top left corner is (`x`, `y`); the rectangle must lie
// inside the image.
Image cropped(const Image& image, int x, int y, int width, int height);

// Decodes a JPEG or PNG file into BGRA (used by tests and tools that read images back).
std::optional<Image> decoded(const std::string& bytes);

} // namespace pokescope
