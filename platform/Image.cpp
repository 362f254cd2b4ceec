// Image conversions on libswscale (scaling, pixel formats), TurboJPEG and libpng.
#include "platform/Image.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <png.h>
#include <stdexcept>
#include <turbojpeg.h>

extern "C" {
#include <libswscale/swscale.h>
}

namespace pokescope {

namespace {

AVPixelFormat avFormat(Image::Format format) {
    switch (format) {
    case Image::Format::bgra: return AV_PIX_FMT_BGRA;
    case Image::Format::rgb: return AV_PIX_FMT_RGB24;
    case Image::Format::gray: return AV_PIX_FMT_GRAY8;
    }
    return AV_PIX_FMT_NONE;
}

// One scaling context per thread and conversion, reused while the sizes stay the same.
struct ScaleContext {
    SwsContext* context = nullptr;
    ~ScaleContext() { sws_freeContext(context); }
};

// Scales `source` into the `width` × `height` rectangle of `target` at (x, y).
bool convertInto(const Image& source, Image& target, int x, int y, int width, int height, int flags) {
    thread_local ScaleContext cache;
    cache.context = sws_getCachedContext(cache.context, source.width(), source.height(), avFormat(source.format()),
                                         width, height, avFormat(target.format()), flags, nullptr, nullptr, nullptr);
    if (!cache.context)
        return false;
    const std::uint8_t* sourcePlanes[4] = {source.data(), nullptr, nullptr, nullptr};
    int sourceStrides[4] = {source.stride(), 0, 0, 0};
    std::uint8_t* targetPlanes[4] = {
        target.row(y) + static_cast<std::size_t>(x) * Image::bytesPerPixel(target.format()), nullptr, nullptr, nullptr};
    int targetStrides[4] = {target.stride(), 0, 0, 0};
    return sws_scale(cache.context, sourcePlanes, sourceStrides, 0, source.height(), targetPlanes, targetStrides) ==
           height;
}

bool convert(const Image& source, Image& target, int flags) {
    return convertInto(source, target, 0, 0, target.width(), target.height(), flags);
}

struct TurboHandle {
    tjhandle handle;
    explicit TurboHandle(bool compress) : handle(compress ? tjInitCompress() : tjInitDecompress()) {}
    ~TurboHandle() {
        if (handle)
            tjDestroy(handle);
    }
};

std::optional<std::string> encodeJPEG(const Image& image, double quality) {
    thread_local TurboHandle compressor(true);
    if (!compressor.handle)
        return std::nullopt;
    int pixelFormat = image.format() == Image::Format::bgra  ? TJPF_BGRX
                      : image.format() == Image::Format::rgb ? TJPF_RGB
                                                             : TJPF_GRAY;
    int subsampling = image.format() == Image::Format::gray ? TJSAMP_GRAY : TJSAMP_420;
    int jpegQuality = static_cast<int>(std::lround(std::clamp(quality, 0.0, 1.0) * 100.0));
    jpegQuality = std::clamp(jpegQuality, 1, 100);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    int rc = tjCompress2(compressor.handle, image.data(), image.width(), image.stride(), image.height(), pixelFormat,
                         &buffer, &size, subsampling, jpegQuality, TJFLAG_FASTDCT);
    std::optional<std::string> out;
    if (rc == 0)
        out = std::string(reinterpret_cast<char*>(buffer), size);
    tjFree(buffer);
    return out;
}

struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriter() { png_destroy_write_struct(&png, &info); }
};

void appendPng(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}

std::optional<std::string> encodePNG(const Image& image) {
    PngWriter writer;
    writer.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!writer.png)
        return std::nullopt;
    writer.info = png_create_info_struct(writer.png);
    if (!writer.info)
        return std::nullopt;
    std::string out;
    if (setjmp(png_jmpbuf(writer.png)))
        return std::nullopt;
    png_set_write_fn(writer.png, &out, appendPng, nullptr);
    int colorType = image.format() == Image::Format::gray ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB;
    png_set_IHDR(writer.png, writer.info, static_cast<png_uint_32>(image.width()),
                 static_cast<png_uint_32>(image.height()), 8, colorType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(writer.png, 3);
    png_write_info(writer.png, writer.info);
    if (image.format() == Image::Format::bgra) {
        // Frames are opaque: write RGB, dropping the fourth byte.
        png_set_bgr(writer.png);
        png_set_filler(writer.png, 0, PNG_FILLER_AFTER);
    }
    for (int y = 0; y < image.height(); ++y)
        png_write_row(writer.png, const_cast<png_bytep>(image.row(y)));
    png_write_end(writer.png, nullptr);
    return out;
}

} // namespace

Image::Image(int width, int height, Format format)
    : width_(std::max(0, width)), height_(std::max(0, height)), format_(format),
      stride_((width_ * bytesPerPixel(format) + 3) / 4 * 4),
      pixels_(static_cast<std::size_t>(stride_) * static_cast<std::size_t>(height_)) {}

int Image::bytesPerPixel(Format format) {
    switch (format) {
    case Format::bgra: return 4;
    case Format::rgb: return 3;
    case Format::gray: return 1;
    }
    return 4;
}

std::optional<std::string> encoded(const Image& image, ImageType type, double quality) {
    if (image.empty())
        return std::nullopt;
    return type == ImageType::jpeg ? encodeJPEG(image, quality) : encodePNG(image);
}

ImageRef scaled(const ImageRef& image, int maxWidth) {
    if (!image || image->empty() || maxWidth <= 0)
        return nullptr;
    if (image->width() <= maxWidth)
        return image;
    // round(height × maxWidth ÷ width), halves away from zero (std::round does that).
    int height = static_cast<int>(std::round(static_cast<double>(image->height()) * maxWidth / image->width()));
    height = std::max(1, height);
    auto out = std::make_shared<Image>(maxWidth, height, Image::Format::rgb);
    if (!convert(*image, *out, SWS_AREA | SWS_ACCURATE_RND))
        return nullptr;
    return out;
}

Image resized(const Image& image, int width, int height, Image::Format format, bool area) {
    Image out(width, height, format);
    if (image.empty() || out.empty())
        return out;
    if (!convert(image, out, (area ? SWS_AREA : SWS_BILINEAR) | SWS_ACCURATE_RND))
        throw std::runtime_error("image conversion failed");
    return out;
}

bool resizeInto(const Image& image, Image& target, int x, int y, int width, int height) {
    if (x < 0 || y < 0 || width <= 0 || height <= 0 || x + width > target.width() || y + height > target.height())
        throw std::out_of_range("target rectangle outside the image");
    if (image.empty())
        return false;
    return convertInto(image, target, x, y, width, height, SWS_FAST_BILINEAR);
}

Image cropped(const Image& image, int x, int y, int width, int height) {
    if (x < 0 || y < 0 || width < 0 || height < 0 || x + width > image.width() || y + height > image.height())
        throw std::out_of_range("crop rectangle outside the image");
    Image out(width, height, image.format());
    std::size_t rowBytes = static_cast<std::size_t>(width) * Image::bytesPerPixel(image.format());
    for (int row = 0; row < height; ++row)
        std::memcpy(out.row(row), image.row(y + row) + static_cast<std::size_t>(x) * Image::bytesPerPixel(image.format()),
                    rowBytes);
    return out;
}

std::optional<Image> decoded(const std::string& bytes) {
    if (bytes.size() >= 8 && png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) == 0) {
        png_image png{};
        png.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_memory(&png, bytes.data(), bytes.size()))
            return std::nullopt;
        png.format = PNG_FORMAT_BGRA;
        Image out(static_cast<int>(png.width), static_cast<int>(png.height), Image::Format::bgra);
        if (!png_image_finish_read(&png, nullptr, out.data(), out.stride(), nullptr)) {
            png_image_free(&png);
            return std::nullopt;
        }
        return out;
    }
    thread_local TurboHandle decompressor(false);
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    if (!decompressor.handle ||
        tjDecompressHeader3(decompressor.handle, data, bytes.size(), &width, &height, &subsampling, &colorspace) != 0)
        return std::nullopt;
    Image out(width, height, Image::Format::bgra);
    if (tjDecompress2(decompressor.handle, data, bytes.size(), out.data(), width, out.stride(), height, TJPF_BGRA, 0) != 0)
        return std::nullopt;
    return out;
}

} // namespace pokescope
