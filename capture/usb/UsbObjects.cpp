#include "capture/usb/UsbObjects.hpp"

#include <stdexcept>

namespace pokescope::usbscreen {

namespace {

constexpr FourCC kBoolean = fourcc("bulv");
constexpr FourCC kString = fourcc("strv");
constexpr FourCC kData = fourcc("datv");
constexpr FourCC kNumber = fourcc("nmbv");
constexpr FourCC kDictionary = fourcc("dict");
constexpr FourCC kFormat = fourcc("fdsc");
constexpr FourCC kEntry = fourcc("keyv");
constexpr FourCC kStringKey = fourcc("strk");
constexpr FourCC kIndexKey = fourcc("idxk");
constexpr FourCC kMediaType = fourcc("mdia");
constexpr FourCC kDimensions = fourcc("vdim");
constexpr FourCC kCodec = fourcc("codc");
constexpr FourCC kAudioFormat = fourcc("asbd");
constexpr FourCC kExtensions = fourcc("extn");

constexpr std::uint8_t kInt32Type = 3;
constexpr std::uint8_t kInt64Type = 4;
constexpr std::uint8_t kFloat64Type = 6;

constexpr std::size_t kMediaTimeSize = 24;
constexpr std::size_t kAudioFormatSize = 40;

template <class... Ts> struct Overloaded : Ts... { using Ts::operator()...; };
template <class... Ts> Overloaded(Ts...) -> Overloaded<Ts...>;

// A reader over an atom whose body has one fixed size.
WireReader fixedBody(const Atom& atom, std::size_t size) {
    if (atom.body.size() != size)
        throw ProtocolError("The '" + fourccName(atom.code) + "' atom holds " +
                            std::to_string(atom.body.size()) + " bytes where " + std::to_string(size) +
                            " are expected.");
    return {atom.body, "'" + fourccName(atom.code) + "' atom"};
}

void noDuplicate(bool present, FourCC code, const char* container) {
    if (present)
        throw ProtocolError(std::string("The ") + container + " holds more than one '" + fourccName(code) +
                            "' atom.");
}

Bytes avcDecoderConfig(const Bytes& sps, const Bytes& pps) {
    if (sps.size() < 4)
        throw std::invalid_argument("An H.264 SPS needs at least 4 bytes.");
    if (sps.size() > 0xFFFF || pps.size() > 0xFFFF)
        throw std::invalid_argument("An H.264 parameter set is limited to 65535 bytes.");
    // Version 1, the SPS's profile, compatibility and level, 4-byte NAL lengths, one SPS, one PPS.
    Bytes record{1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
    auto append = [&record](const Bytes& set) {
        record.push_back(static_cast<std::uint8_t>(set.size() >> 8));
        record.push_back(static_cast<std::uint8_t>(set.size()));
        record.insert(record.end(), set.begin(), set.end());
    };
    append(sps);
    record.push_back(1);
    append(pps);
    return record;
}

// The record's lengths are big-endian, unlike the rest of the protocol.
H264ParameterSets parseAvcDecoderConfig(ByteView record) {
    WireReader reader(record, "H.264 decoder configuration");
    auto bigEndian16 = [&reader] {
        auto bytes = reader.take(2);
        return static_cast<std::size_t>((bytes[0] << 8) | bytes[1]);
    };
    reader.take(5); // version, profile, compatibility, level, NAL length size
    H264ParameterSets sets;
    std::size_t spsCount = reader.u8() & 0x1F;
    for (std::size_t i = 0; i < spsCount; ++i) {
        auto set = reader.take(bigEndian16());
        if (i == 0)
            sets.sps.assign(set.begin(), set.end());
    }
    std::size_t ppsCount = reader.u8();
    for (std::size_t i = 0; i < ppsCount; ++i) {
        auto set = reader.take(bigEndian16());
        if (i == 0)
            sets.pps.assign(set.begin(), set.end());
    }
    // High profiles append chroma and bit depth fields, which we do not need.
    if (spsCount == 0 || ppsCount == 0)
        throw ProtocolError("The H.264 decoder configuration holds no SPS or no PPS.");
    return sets;
}

} // namespace

std::optional<double> MediaTime::seconds() const {
    if (!(flags & kValid) || (flags & (kPositiveInfinity | kNegativeInfinity | kIndefinite)) ||
        timescale <= 0)
        return std::nullopt;
    // Whole seconds first, so that nanosecond values near 2^63 keep their precision.
    std::int64_t whole = value / timescale;
    std::int64_t rest = value % timescale;
    return static_cast<double>(whole) + static_cast<double>(rest) / timescale;
}

std::optional<std::int64_t> Number::integer() const {
    return std::visit(Overloaded{[](double) -> std::optional<std::int64_t> { return std::nullopt; },
                                 [](auto integer) -> std::optional<std::int64_t> { return integer; }},
                      value);
}

AudioStreamDescription AudioStreamDescription::pcm48kStereo16() {
    return {48000.0, kLinearPcm, 0x4C, 4, 1, 4, 2, 16, 0};
}

const Value* Dictionary::find(std::string_view key) const {
    for (const auto& entry : entries)
        if (const auto* name = std::get_if<std::string>(&entry.key); name && *name == key)
            return &entry.value;
    return nullptr;
}

const Value* Dictionary::find(std::uint32_t index) const {
    for (const auto& entry : entries)
        if (const auto* number = std::get_if<std::uint32_t>(&entry.key); number && *number == index)
            return &entry.value;
    return nullptr;
}

Dictionary& Dictionary::add(Key key, Value value) {
    entries.push_back(Entry{std::move(key), std::move(value)});
    return *this;
}

FormatDescription FormatDescription::h264(std::uint32_t width, std::uint32_t height, const Bytes& sps,
                                          const Bytes& pps) {
    FormatDescription format;
    format.mediaType = kVideo;
    format.dimensions = VideoDimensions{width, height};
    format.codec = kH264;
    Dictionary atoms;
    atoms.add(kDecoderConfigIndex, avcDecoderConfig(sps, pps));
    format.extensions = Dictionary{};
    format.extensions->add(kExtensionAtomsIndex, std::move(atoms));
    return format;
}

FormatDescription FormatDescription::linearPcm(const AudioStreamDescription& audioFormat) {
    FormatDescription format;
    format.mediaType = kAudio;
    format.audio = audioFormat;
    return format;
}

std::optional<H264ParameterSets> FormatDescription::h264ParameterSets() const {
    if (!extensions)
        return std::nullopt;
    const Value* atoms = extensions->find(kExtensionAtomsIndex);
    if (!atoms)
        return std::nullopt;
    const auto* atomsDictionary = std::get_if<Dictionary>(atoms);
    if (!atomsDictionary)
        throw ProtocolError("The format description's extension " + std::to_string(kExtensionAtomsIndex) +
                            " is not a dictionary.");
    const Value* config = atomsDictionary->find(kDecoderConfigIndex);
    if (!config)
        return std::nullopt;
    const auto* record = std::get_if<Bytes>(config);
    if (!record)
        throw ProtocolError("The format description's H.264 decoder configuration is not a byte string.");
    return parseAvcDecoderConfig(*record);
}

namespace detail {

void checkDepth(int depth) {
    if (depth >= kMaxNesting)
        throw ProtocolError("The objects are nested more than " + std::to_string(kMaxNesting) +
                            " levels deep.");
}

MediaTime readMediaTime(WireReader& reader) {
    MediaTime time;
    time.value = reader.i64();
    time.timescale = reader.i32();
    time.flags = reader.u32();
    time.epoch = reader.i64();
    return time;
}

void writeMediaTime(WireWriter& writer, const MediaTime& time) {
    writer.i64(time.value);
    writer.i32(time.timescale);
    writer.u32(time.flags);
    writer.i64(time.epoch);
}

AudioStreamDescription readAudioStreamDescription(WireReader& reader) {
    AudioStreamDescription format;
    format.sampleRate = reader.f64();
    format.formatId = reader.u32();
    format.formatFlags = reader.u32();
    format.bytesPerPacket = reader.u32();
    format.framesPerPacket = reader.u32();
    format.bytesPerFrame = reader.u32();
    format.channelsPerFrame = reader.u32();
    format.bitsPerChannel = reader.u32();
    format.reserved = reader.u32();
    return format;
}

void writeAudioStreamDescription(WireWriter& writer, const AudioStreamDescription& format) {
    writer.f64(format.sampleRate);
    writer.u32(format.formatId);
    writer.u32(format.formatFlags);
    writer.u32(format.bytesPerPacket);
    writer.u32(format.framesPerPacket);
    writer.u32(format.bytesPerFrame);
    writer.u32(format.channelsPerFrame);
    writer.u32(format.bitsPerChannel);
    writer.u32(format.reserved);
}

Value readValue(const Atom& atom, int depth) {
    switch (atom.code) {
    case kBoolean: {
        auto reader = fixedBody(atom, 1);
        std::uint8_t flag = reader.u8();
        if (flag > 1)
            throw ProtocolError("A boolean holds " + std::to_string(flag) + " where 0 or 1 is expected.");
        return flag == 1;
    }
    case kString:
        return std::string(atom.body.begin(), atom.body.end());
    case kData:
        return Bytes(atom.body.begin(), atom.body.end());
    case kNumber: {
        WireReader reader(atom.body, "number");
        std::uint8_t type = reader.u8();
        std::size_t expected = type == kInt32Type ? 4 : (type == kInt64Type || type == kFloat64Type) ? 8 : 0;
        if (expected == 0)
            throw ProtocolError("A number has the unknown type " + std::to_string(type) + ".");
        if (reader.remaining() != expected)
            throw ProtocolError("A number of type " + std::to_string(type) + " holds " +
                                std::to_string(reader.remaining()) + " bytes where " +
                                std::to_string(expected) + " are expected.");
        if (type == kInt32Type)
            return Number{reader.i32()};
        if (type == kInt64Type)
            return Number{reader.i64()};
        return Number{reader.f64()};
    }
    case kDictionary:
        return readDictionaryBody(atom.body, atom.code, depth);
    case kFormat:
        return readFormatDescriptionBody(atom.body, depth);
    default:
        throw ProtocolError("A value has the unknown type '" + fourccName(atom.code) + "'.");
    }
}

void writeValue(WireWriter& writer, const Value& value, int depth) {
    std::visit(
        Overloaded{
            [&](bool flag) {
                auto mark = writer.beginAtom(kBoolean);
                writer.u8(flag ? 1 : 0);
                writer.endAtom(mark);
            },
            [&](const Number& number) {
                auto mark = writer.beginAtom(kNumber);
                std::visit(Overloaded{[&](std::int32_t v) { writer.u8(kInt32Type), writer.i32(v); },
                                      [&](std::int64_t v) { writer.u8(kInt64Type), writer.i64(v); },
                                      [&](double v) { writer.u8(kFloat64Type), writer.f64(v); }},
                           number.value);
                writer.endAtom(mark);
            },
            [&](const std::string& text) {
                auto mark = writer.beginAtom(kString);
                writer.bytes(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
                writer.endAtom(mark);
            },
            [&](const Bytes& data) {
                auto mark = writer.beginAtom(kData);
                writer.bytes(data);
                writer.endAtom(mark);
            },
            [&](const Dictionary& dictionary) { writeDictionary(writer, kDictionary, dictionary, depth); },
            [&](const FormatDescription& format) { writeFormatDescription(writer, format, depth); },
        },
        value);
}

Dictionary readDictionaryBody(ByteView body, FourCC code, int depth) {
    checkDepth(depth);
    WireReader reader(body, "'" + fourccName(code) + "' dictionary");
    Dictionary dictionary;
    while (!reader.atEnd())
        dictionary.entries.push_back(readEntry(reader.atom(), depth + 1));
    return dictionary;
}

void writeDictionary(WireWriter& writer, FourCC code, const Dictionary& dictionary, int depth) {
    checkDepth(depth);
    auto mark = writer.beginAtom(code);
    for (const auto& entry : dictionary.entries)
        writeEntry(writer, entry, depth + 1);
    writer.endAtom(mark);
}

Entry readEntry(const Atom& atom, int depth) {
    if (atom.code != kEntry)
        throw ProtocolError("A dictionary holds a '" + fourccName(atom.code) +
                            "' atom where a 'keyv' entry is expected.");
    WireReader reader(atom.body, "dictionary entry");
    Atom keyAtom = reader.atom();
    Entry entry;
    if (keyAtom.code == kStringKey)
        entry.key = std::string(keyAtom.body.begin(), keyAtom.body.end());
    else if (keyAtom.code == kIndexKey)
        entry.key = fixedBody(keyAtom, 4).u32();
    else
        throw ProtocolError("A dictionary entry has a '" + fourccName(keyAtom.code) +
                            "' key where 'strk' or 'idxk' is expected.");
    entry.value = readValue(reader.atom(), depth);
    reader.expectEnd();
    return entry;
}

void writeEntry(WireWriter& writer, const Entry& entry, int depth) {
    auto mark = writer.beginAtom(kEntry);
    if (const auto* name = std::get_if<std::string>(&entry.key)) {
        auto keyMark = writer.beginAtom(kStringKey);
        writer.bytes(ByteView(reinterpret_cast<const std::uint8_t*>(name->data()), name->size()));
        writer.endAtom(keyMark);
    } else {
        auto keyMark = writer.beginAtom(kIndexKey);
        writer.u32(std::get<std::uint32_t>(entry.key));
        writer.endAtom(keyMark);
    }
    writeValue(writer, entry.value, depth);
    writer.endAtom(mark);
}

FormatDescription readFormatDescriptionBody(ByteView body, int depth) {
    checkDepth(depth);
    WireReader reader(body, "format description");
    FormatDescription format;
    const char* container = "format description";
    while (!reader.atEnd()) {
        Atom atom = reader.atom();
        switch (atom.code) {
        case kMediaType:
            noDuplicate(format.mediaType.has_value(), atom.code, container);
            format.mediaType = fixedBody(atom, 4).u32();
            break;
        case kDimensions: {
            noDuplicate(format.dimensions.has_value(), atom.code, container);
            auto fields = fixedBody(atom, 8);
            VideoDimensions dimensions;
            dimensions.width = fields.u32();
            dimensions.height = fields.u32();
            format.dimensions = dimensions;
            break;
        }
        case kCodec:
            noDuplicate(format.codec.has_value(), atom.code, container);
            format.codec = fixedBody(atom, 4).u32();
            break;
        case kAudioFormat: {
            noDuplicate(format.audio.has_value(), atom.code, container);
            auto fields = fixedBody(atom, kAudioFormatSize);
            format.audio = readAudioStreamDescription(fields);
            break;
        }
        case kExtensions:
            noDuplicate(format.extensions.has_value(), atom.code, container);
            format.extensions = readDictionaryBody(atom.body, atom.code, depth + 1);
            break;
        default:
            format.otherAtoms.push_back(RawAtom{atom.code, Bytes(atom.body.begin(), atom.body.end())});
        }
    }
    return format;
}

void writeFormatDescription(WireWriter& writer, const FormatDescription& format, int depth) {
    checkDepth(depth);
    auto mark = writer.beginAtom(kFormat);
    auto fixed = [&writer](FourCC code, auto&& body) {
        auto atomMark = writer.beginAtom(code);
        body();
        writer.endAtom(atomMark);
    };
    if (format.mediaType)
        fixed(kMediaType, [&] { writer.u32(*format.mediaType); });
    if (format.dimensions)
        fixed(kDimensions,
              [&] { writer.u32(format.dimensions->width), writer.u32(format.dimensions->height); });
    if (format.codec)
        fixed(kCodec, [&] { writer.u32(*format.codec); });
    if (format.audio)
        fixed(kAudioFormat, [&] { writeAudioStreamDescription(writer, *format.audio); });
    if (format.extensions)
        writeDictionary(writer, kExtensions, *format.extensions, depth + 1);
    for (const auto& atom : format.otherAtoms) {
        // A known code here would be read back into its field, or clash with it.
        if (atom.code == kMediaType || atom.code == kDimensions || atom.code == kCodec ||
            atom.code == kAudioFormat || atom.code == kExtensions)
            throw std::invalid_argument("The format description's '" + fourccName(atom.code) +
                                        "' atom belongs in its own field.");
        fixed(atom.code, [&] { writer.bytes(atom.body); });
    }
    writer.endAtom(mark);
}

} // namespace detail

namespace {

Atom singleAtom(WireReader& reader) {
    Atom atom = reader.atom();
    reader.expectEnd();
    return atom;
}

Atom expectCode(const Atom& atom, FourCC code) {
    if (atom.code != code)
        throw ProtocolError("Found a '" + fourccName(atom.code) + "' atom where a '" + fourccName(code) +
                            "' is expected.");
    return atom;
}

} // namespace

Value parseValue(ByteView bytes) {
    WireReader reader(bytes, "value");
    return detail::readValue(singleAtom(reader), 0);
}

Bytes buildValue(const Value& value) {
    WireWriter writer;
    detail::writeValue(writer, value, 0);
    return std::move(writer).take();
}

Dictionary parseDictionary(ByteView bytes) {
    WireReader reader(bytes, "dictionary");
    Atom atom = expectCode(singleAtom(reader), kDictionary);
    return detail::readDictionaryBody(atom.body, atom.code, 0);
}

Bytes buildDictionary(const Dictionary& dictionary) {
    WireWriter writer;
    detail::writeDictionary(writer, kDictionary, dictionary, 0);
    return std::move(writer).take();
}

FormatDescription parseFormatDescription(ByteView bytes) {
    WireReader reader(bytes, "format description");
    return detail::readFormatDescriptionBody(expectCode(singleAtom(reader), kFormat).body, 0);
}

Bytes buildFormatDescription(const FormatDescription& format) {
    WireWriter writer;
    detail::writeFormatDescription(writer, format, 0);
    return std::move(writer).take();
}

MediaTime parseMediaTime(ByteView bytes) {
    WireReader reader(bytes, "media time");
    if (bytes.size() != kMediaTimeSize)
        throw ProtocolError("A media time takes 24 bytes, not " + std::to_string(bytes.size()) + ".");
    return detail::readMediaTime(reader);
}

Bytes buildMediaTime(const MediaTime& time) {
    WireWriter writer;
    detail::writeMediaTime(writer, time);
    return std::move(writer).take();
}

AudioStreamDescription parseAudioStreamDescription(ByteView bytes) {
    WireReader reader(bytes, "audio format");
    if (bytes.size() != kAudioFormatSize)
        throw ProtocolError("An audio format record takes 40 bytes, not " + std::to_string(bytes.size()) +
                            ".");
    return detail::readAudioStreamDescription(reader);
}

Bytes buildAudioStreamDescription(const AudioStreamDescription& format) {
    WireWriter writer;
    detail::writeAudioStreamDescription(writer, format);
    return std::move(writer).take();
}

} // namespace pokescope::usbscreen
