// The picture as the phone's own stream or a capture adapter delivers it: the encoder's compression noise,
// and the adapter's letterboxed, converter-noisy frame.
#include "sim/SimPhoneImpl.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace pokescope::sim {

namespace {

constexpr int kAdapterWidth = 1920;
constexpr int kAdapterHeight = 1080;

int grey(const std::uint8_t* p) { return (p[0] * 29 + p[1] * 150 + p[2] * 77) >> 8; }

// The pixel at `x` of a BGRA row differs sharply from the one before it.
bool strongEdge(const std::uint8_t* row, int x) {
    return x > 0 && std::abs(grey(row + x * 4) - grey(row + (x - 1) * 4)) >= 40;
}

std::uint8_t clampByte(int value) { return static_cast<std::uint8_t>(std::clamp(value, 0, 255)); }

// Deterministic noise in [-amplitude, amplitude] for a pixel of a frame.
int noiseAt(int x, int y, std::uint64_t frame, int amplitude) {
    std::uint64_t h = (static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ULL) ^
                      (static_cast<std::uint64_t>(y) * 0xC2B2AE3D27D4EB4FULL) ^ (frame * 0x165667B19E3779F9ULL);
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 32;
    return static_cast<int>(h % static_cast<std::uint64_t>(2 * amplitude + 1)) - amplitude;
}

} // namespace

// The phone's own stream is compressed as a video encoder compresses it: only the 16 × 16 blocks that
// changed are sent again (the others keep exactly the bytes they had), and in those the quantiser shifts
// each 8 × 8 block's level and rings around strong edges. At high settings the artefacts are as strong as
// a real change.
ImageRef SimPhone::Impl::withEdgeNoise(int amplitude) {
    const int width = clean.width(), height = clean.height();
    if (noisy.width() != width || noisy.height() != height) {
        noisy = clean;
        previousClean = Image(width, height, Image::Format::bgra);
    }
    ++frameIndex;
    constexpr int kMacroblock = 16, kBlock = 8;
    for (int by = 0; by < height; by += kMacroblock) {
        const int rows = std::min(kMacroblock, height - by);
        for (int bx = 0; bx < width; bx += kMacroblock) {
            const int columns = std::min(kMacroblock, width - bx);
            const std::size_t bytes = static_cast<std::size_t>(columns) * 4;
            bool changed = false;
            for (int y = by; y < by + rows && !changed; ++y)
                changed = std::memcmp(clean.row(y) + bx * 4, previousClean.row(y) + bx * 4, bytes) != 0;
            if (!changed)
                continue;
            for (int y = by; y < by + rows; ++y) {
                std::memcpy(previousClean.row(y) + bx * 4, clean.row(y) + bx * 4, bytes);
                std::memcpy(noisy.row(y) + bx * 4, clean.row(y) + bx * 4, bytes);
            }
            if (amplitude <= 0)
                continue;
            for (int sy = by; sy < by + rows; sy += kBlock)
                for (int sx = bx; sx < bx + columns; sx += kBlock) {
                    const int endY = std::min(sy + kBlock, height), endX = std::min(sx + kBlock, width);
                    bool edges = false;
                    for (int y = sy; y < endY && !edges; ++y)
                        for (int x = sx; x < endX && !edges; ++x)
                            edges = strongEdge(clean.row(y), x);
                    // Flat blocks come through nearly clean; blocks with edges lose most.
                    const int level = noiseAt(sx, sy, frameIndex, edges ? amplitude : amplitude / 4);
                    for (int y = sy; y < endY; ++y) {
                        const std::uint8_t* source = clean.row(y);
                        std::uint8_t* target = noisy.row(y);
                        for (int x = sx; x < endX; ++x) {
                            int n = level;
                            if (edges && strongEdge(source, x))
                                n += noiseAt(x, y, frameIndex, amplitude / 2 + 1);
                            for (int c = 0; c < 3; ++c)
                                target[x * 4 + c] = clampByte(source[x * 4 + c] + n);
                        }
                    }
                }
        }
    }
    return std::make_shared<Image>(noisy);
}

// An HDMI adapter scales the upright phone picture to the frame's height, between black bars, and its
// converter adds a little noise to every frame.
ImageRef SimPhone::Impl::adapterPicture(bool changed, int amplitude) {
    Image& base = adapterBase;
    if (changed || base.empty()) {
        int height = kAdapterHeight;
        int width = (clean.width() * height / clean.height()) & ~1;
        Image picture = resized(clean, width, height, Image::Format::bgra, true);
        base = Image(kAdapterWidth, kAdapterHeight, Image::Format::bgra);
        for (int y = 0; y < kAdapterHeight; ++y) {
            std::uint8_t* row = base.row(y);
            for (int x = 0; x < kAdapterWidth; ++x)
                row[x * 4 + 3] = 255;
            std::memcpy(row + static_cast<std::size_t>((kAdapterWidth - width) / 2) * 4, picture.row(y),
                        static_cast<std::size_t>(width) * 4);
        }
    }
    auto frame = std::make_shared<Image>(base);
    ++frameIndex;
    if (amplitude > 0) {
        // Sparse noise: enough that no two frames are byte-identical, as with a real converter.
        int level = std::max(1, amplitude / 3);
        for (int y = static_cast<int>(frameIndex % 5); y < kAdapterHeight; y += 5) {
            std::uint8_t* row = frame->row(y);
            for (int x = static_cast<int>(frameIndex % 7); x < kAdapterWidth; x += 7) {
                int n = noiseAt(x, y, frameIndex, level);
                for (int c = 0; c < 3; ++c)
                    row[x * 4 + c] = clampByte(row[x * 4 + c] + n);
            }
        }
    }
    return frame;
}

} // namespace pokescope::sim
