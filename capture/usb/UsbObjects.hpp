// The objects the phone serialises inside packets: media times, numbers, strings, data, booleans,
// dictionaries and format descriptions. Every value is an atom (length, code, body):
//   'bulv' boolean (one byte, 0 or 1)   'strv' UTF-8 string   'datv' bytes
//   'nmbv' number: a one-byte type (3 int32, 4 int64, 6 float64) then the value
//   'dict' dictionary: a sequence of 'keyv' entries, each a key atom ('strk' string or 'idxk' 32-bit
//          index) followed by a value atom
//   'fdsc' format description (below)
// Parsers accept exactly one object, take nothing on trust and throw ProtocolError; whatever they accept,
// the builders write back to bytes that parse to the same object. Nesting is limited to kMaxNesting.
#pragma once

#include "capture/usb/UsbWire.hpp"

#include <optional>
#include <variant>

namespace pokescope::usbscreen {

inline constexpr int kMaxNesting = 16;

// A rational time, value / timescale seconds, in the phone's 24-byte layout: value (i64), timescale
// (i32), flags (u32), epoch (i64).
struct MediaTime {
    static constexpr std::uint32_t kValid = 1;
    static constexpr std::uint32_t kPositiveInfinity = 4;
    static constexpr std::uint32_t kNegativeInfinity = 8;
    static constexpr std::uint32_t kIndefinite = 16;
    static constexpr std::int32_t kNanosecondScale = 1'000'000'000;

    std::int64_t value = 0;
    std::int32_t timescale = 0;
    std::uint32_t flags = 0;
    std::int64_t epoch = 0;

    static MediaTime fromNanoseconds(std::int64_t nanoseconds) {
        return {nanoseconds, kNanosecondScale, kValid, 0};
    }
    // Seconds for a valid, finite time with a positive timescale; nothing otherwise.
    std::optional<double> seconds() const;
    bool operator==(const MediaTime&) const = default;
};

struct Number {
    std::variant<std::int32_t, std::int64_t, double> value;

    // The integer for the integer types; nothing for a float.
    std::optional<std::int64_t> integer() const;
    bool operator==(const Number&) const = default;
};

// The phone's audio format record (40 bytes), field for field.
struct AudioStreamDescription {
    static constexpr FourCC kLinearPcm = fourcc("lpcm");

    double sampleRate = 0;
    FourCC formatId = 0;
    std::uint32_t formatFlags = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t framesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
    std::uint32_t reserved = 0;

    // What the phone announces: 48 kHz, 2 channels of packed signed 16-bit integers (flags 0x4C).
    static AudioStreamDescription pcm48kStereo16();
    bool operator==(const AudioStreamDescription&) const = default;
};

struct Dictionary;
struct FormatDescription;
struct Entry;
using Key = std::variant<std::string, std::uint32_t>;
using Value = std::variant<bool, Number, std::string, Bytes, Dictionary, FormatDescription>;

// Entries in wire order; keys are strings or indexes (a dictionary normally uses one kind only).
struct Dictionary {
    std::vector<Entry> entries;

    // The first value under the key; null when absent.
    const Value* find(std::string_view key) const;
    const Value* find(std::uint32_t index) const;
    Dictionary& add(Key key, Value value);
    bool operator==(const Dictionary&) const = default;
};

// An atom we keep without understanding it, so that it survives a rebuild.
struct RawAtom {
    FourCC code = 0;
    Bytes body;
    bool operator==(const RawAtom&) const = default;
};

struct VideoDimensions {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const VideoDimensions&) const = default;
};

struct H264ParameterSets {
    Bytes sps;
    Bytes pps;
    bool operator==(const H264ParameterSets&) const = default;
};

// A format description ('fdsc'): atoms 'mdia' (media type code), 'vdim' (width, height), 'codc' (codec
// code), 'asbd' (audio format record) and 'extn' (a dictionary body with index keys). For H.264 the
// extensions hold, under kExtensionAtomsIndex, a dictionary whose kDecoderConfigIndex entry is the
// decoder configuration record (ISO/IEC 14496-15) that carries the SPS and PPS. Atoms are written in
// that order, unknown ones after them.
struct FormatDescription {
    static constexpr FourCC kVideo = fourcc("vide");
    static constexpr FourCC kAudio = fourcc("soun");
    static constexpr FourCC kH264 = fourcc("avc1");
    static constexpr std::uint32_t kExtensionAtomsIndex = 49;
    static constexpr std::uint32_t kDecoderConfigIndex = 105;

    std::optional<FourCC> mediaType;
    std::optional<VideoDimensions> dimensions;
    std::optional<FourCC> codec;
    std::optional<AudioStreamDescription> audio;
    std::optional<Dictionary> extensions;
    std::vector<RawAtom> otherAtoms;

    // What the phone sends: H.264 video with its parameter sets, and linear PCM sound. The SPS must hold
    // at least its 4 header bytes, each set at most 65535 bytes (std::invalid_argument otherwise).
    static FormatDescription h264(std::uint32_t width, std::uint32_t height, const Bytes& sps,
                                  const Bytes& pps);
    static FormatDescription linearPcm(const AudioStreamDescription& format);

    // The first SPS and PPS of the decoder configuration; nothing when there is none. Throws ProtocolError
    // when the configuration record is malformed.
    std::optional<H264ParameterSets> h264ParameterSets() const;
    bool operator==(const FormatDescription&) const = default;
};

struct Entry {
    Key key;
    Value value;
    bool operator==(const Entry&) const = default;
};

// One complete object each; ProtocolError for anything else.
Value parseValue(ByteView bytes);
Bytes buildValue(const Value& value);
Dictionary parseDictionary(ByteView bytes);
Bytes buildDictionary(const Dictionary& dictionary);
FormatDescription parseFormatDescription(ByteView bytes);
Bytes buildFormatDescription(const FormatDescription& format);
MediaTime parseMediaTime(ByteView bytes);
Bytes buildMediaTime(const MediaTime& time);
AudioStreamDescription parseAudioStreamDescription(ByteView bytes);
Bytes buildAudioStreamDescription(const AudioStreamDescription& format);

// For the packet and sample buffer code of this library; `depth` counts the enclosing containers.
namespace detail {
MediaTime readMediaTime(WireReader& reader);
void writeMediaTime(WireWriter& writer, const MediaTime& time);
AudioStreamDescription readAudioStreamDescription(WireReader& reader);
void writeAudioStreamDescription(WireWriter& writer, const AudioStreamDescription& format);
Value readValue(const Atom& atom, int depth);
void writeValue(WireWriter& writer, const Value& value, int depth);
// A dictionary's body is its entries, whatever code its atom has ('dict', 'extn', 'satt').
Dictionary readDictionaryBody(ByteView body, FourCC code, int depth);
void writeDictionary(WireWriter& writer, FourCC code, const Dictionary& dictionary, int depth);
Entry readEntry(const Atom& atom, int depth);
void writeEntry(WireWriter& writer, const Entry& entry, int depth);
FormatDescription readFormatDescriptionBody(ByteView body, int depth);
void writeFormatDescription(WireWriter& writer, const FormatDescription& format, int depth);
void checkDepth(int depth);
} // namespace detail

} // namespace pokescope::usbscreen
