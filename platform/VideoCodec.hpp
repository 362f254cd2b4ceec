// H.264 for single pictures at low latency: each picture given to the encoder comes straight back as one
// access unit, and each access unit given to the decoder comes straight back as one picture, with no
// frames held inside either. The USB screen-sharing path uses them: the simulated phone encodes its screen,
// and the capture side decodes what a phone sends.
//
// NAL units travel raw, as the phone's sample buffers carry them: no start codes, no length prefixes.
// The encoder keeps its parameter sets (SPS, PPS) out of band: `parameterSets` gives them once, for the
// stream's format description, and access units never repeat them. The decoder is made from them and also
// takes new ones in band.
//
// Backend: linux/FFmpegH264 (libavcodec with libx264 for encoding, libswscale for the colours).
//
// Thread contract: an encoder or decoder is used by one thread at a time; different ones are independent.
#pragma once

#include "platform/Image.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pokescope {

using NalUnit = std::vector<std::uint8_t>;

// The NAL unit types the callers look for (ITU-T H.264 table 7-1).
namespace nal {
inline constexpr int kSlice = 1;
inline constexpr int kIdrSlice = 5;
inline constexpr int kSei = 6;
inline constexpr int kSps = 7;
inline constexpr int kPps = 8;
// The type in the unit's first byte; -1 for an empty unit.
inline int type(const NalUnit& unit) {
    return unit.empty() ? -1 : unit[0] & 0x1F;
}
// Whether the access unit starts a picture that needs no earlier one (holds an IDR slice).
bool isKeyframe(const std::vector<NalUnit>& accessUnit);
} // namespace nal

class VideoCodecError : public std::runtime_error {
public:
    enum class Kind {
        unavailable, // the codec cannot be opened here
        failed,      // the codec library failed while working
        badInput,    // the caller gave something the codec cannot take (a picture of the wrong size)
        damaged,     // the H.264 data cannot be decoded
    };
    VideoCodecError(Kind kind, const std::string& description)
        : std::runtime_error(description), kind(kind) {}
    Kind kind;
};

class H264Encoder {
public:
    struct ParameterSets {
        NalUnit sps;
        NalUnit pps;
    };

    // An encoder for BGRA pictures of `width` × `height` (each 2 to 4096). H.264's 4:2:0 pictures have
    // even sides, so an odd side is coded one pixel larger, repeating the last column or row; the decoder
    // crops it off again. Constant quality (x264's CRF 20, `superfast`, tuned for zero latency): no
    // B-frames, no look-ahead. Throws VideoCodecError (unavailable, badInput).
    static std::unique_ptr<H264Encoder> create(int width, int height);

    virtual ~H264Encoder() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
    // The size in the SPS: the picture's size rounded up to even sides.
    virtual int codedWidth() const = 0;
    virtual int codedHeight() const = 0;
    virtual const ParameterSets& parameterSets() const = 0;

    // One picture in, its access unit out: slice NAL units, and on the first one the encoder's SEI. The
    // first picture is always an IDR, as is every picture with `forceKeyframe`; between them pictures
    // refer to the previous one, so every access unit returned must reach the decoder, in order. Throws
    // VideoCodecError (badInput for a picture that is not BGRA of the encoder's size, failed).
    virtual std::vector<NalUnit> encode(const Image& picture, bool forceKeyframe) = 0;
};

class H264Decoder {
public:
    // A decoder for the stream described by `sps` and `pps` that delivers `width` × `height` BGRA
    // pictures: the decoded picture's top left corner when it is coded larger. Throws VideoCodecError
    // (badInput when the parameter sets are empty or not of NAL types 7 and 8, unavailable).
    static std::unique_ptr<H264Decoder> create(const NalUnit& sps, const NalUnit& pps, int width, int height);

    virtual ~H264Decoder() = default;
    // Decodes one access unit. The picture, or nothing when the unit completes none (an SEI on its own,
    // pictures before the first keyframe). Throws VideoCodecError(damaged) for damaged data: an empty
    // unit, a unit with the forbidden bit or an embedded start code, a slice that cannot be decoded, or a
    // picture smaller than the size to deliver. The decoder stays usable: the next keyframe decodes.
    virtual std::optional<Image> decode(const std::vector<NalUnit>& accessUnit) = 0;
};

} // namespace pokescope
