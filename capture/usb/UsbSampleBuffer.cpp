#include "capture/usb/UsbSampleBuffer.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace pokescope::usbscreen {

namespace {

constexpr FourCC kSampleBuffer = fourcc("sbuf");
constexpr FourCC kOutputTime = fourcc("opts");
constexpr FourCC kTiming = fourcc("stia");
constexpr FourCC kData = fourcc("sdat");
constexpr FourCC kCount = fourcc("nsmp");
constexpr FourCC kSizes = fourcc("ssiz");
constexpr FourCC kFormat = fourcc("fdsc");
constexpr FourCC kAttachments = fourcc("satt");

constexpr std::size_t kMediaTimeSize = 24;
constexpr std::size_t kTimingSize = 3 * kMediaTimeSize;

void noDuplicate(bool present, FourCC code) {
    if (present)
        throw ProtocolError("The sample buffer holds more than one '" + fourccName(code) + "' atom.");
}

// An array atom's body must be a whole number of elements.
WireReader arrayBody(const Atom& atom, std::size_t elementSize) {
    if (atom.body.size() % elementSize != 0)
        throw ProtocolError("The sample buffer's '" + fourccName(atom.code) + "' atom holds " +
                            std::to_string(atom.body.size()) + " bytes, not a multiple of " +
                            std::to_string(elementSize) + ".");
    return {atom.body, "'" + fourccName(atom.code) + "' atom"};
}

bool isKnown(FourCC code) {
    return code == kOutputTime || code == kTiming || code == kData || code == kCount || code == kSizes ||
           code == kFormat || code == kAttachments;
}

} // namespace

SampleBuffer SampleBuffer::h264(const std::vector<Bytes>& nalUnits, const MediaTime& presentation,
                                const MediaTime& duration, std::optional<FormatDescription> format) {
    Bytes data;
    for (const auto& unit : nalUnits) {
        if (unit.size() > std::numeric_limits<std::uint32_t>::max())
            throw std::invalid_argument("An H.264 NAL unit is limited to 4 GiB.");
        for (int shift = 24; shift >= 0; shift -= 8)
            data.push_back(static_cast<std::uint8_t>(unit.size() >> shift));
        data.insert(data.end(), unit.begin(), unit.end());
    }
    if (data.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("An H.264 sample is limited to 4 GiB.");
    SampleBuffer buffer;
    buffer.outputPresentationTime = presentation;
    buffer.timing = std::vector<SampleTiming>{{duration, presentation, presentation}};
    buffer.sampleCount = 1;
    buffer.sampleSizes = std::vector<std::uint32_t>{static_cast<std::uint32_t>(data.size())};
    buffer.data = std::move(data);
    buffer.format = std::move(format);
    return buffer;
}

SampleBuffer SampleBuffer::linearPcm(Bytes frames, const AudioStreamDescription& format,
                                     const MediaTime& presentation) {
    if (format.bytesPerFrame == 0 || frames.size() % format.bytesPerFrame != 0)
        throw std::invalid_argument("PCM data must be a whole number of frames of a non-zero size.");
    std::size_t count = frames.size() / format.bytesPerFrame;
    if (count > std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("A PCM sample buffer is limited to 2^32 - 1 frames.");
    double rate = std::round(format.sampleRate);
    if (!(rate >= 1 && rate <= std::numeric_limits<std::int32_t>::max()))
        throw std::invalid_argument("A PCM sample rate must be between 1 Hz and 2^31 - 1 Hz.");
    // Every frame is a sample of the same size and a duration of one tick at the sample rate.
    SampleBuffer buffer;
    buffer.outputPresentationTime = presentation;
    buffer.timing = std::vector<SampleTiming>{
        {MediaTime{1, static_cast<std::int32_t>(rate), MediaTime::kValid, 0}, presentation, MediaTime{}}};
    buffer.sampleCount = static_cast<std::uint32_t>(count);
    buffer.sampleSizes = std::vector<std::uint32_t>{format.bytesPerFrame};
    buffer.data = std::move(frames);
    buffer.format = FormatDescription::linearPcm(format);
    return buffer;
}

std::vector<Bytes> SampleBuffer::nalUnits() const {
    std::vector<Bytes> units;
    if (!data)
        return units;
    WireReader reader(*data, "H.264 sample");
    while (!reader.atEnd()) {
        auto length = reader.take(4);
        std::size_t size = (std::size_t(length[0]) << 24) | (std::size_t(length[1]) << 16) |
                           (std::size_t(length[2]) << 8) | std::size_t(length[3]);
        auto unit = reader.take(size);
        units.emplace_back(unit.begin(), unit.end());
    }
    return units;
}

namespace detail {

SampleBuffer readSampleBufferBody(ByteView body) {
    WireReader reader(body, "sample buffer");
    SampleBuffer buffer;
    while (!reader.atEnd()) {
        Atom atom = reader.atom();
        switch (atom.code) {
        case kOutputTime: {
            noDuplicate(buffer.outputPresentationTime.has_value(), atom.code);
            buffer.outputPresentationTime = parseMediaTime(atom.body);
            break;
        }
        case kTiming: {
            noDuplicate(buffer.timing.has_value(), atom.code);
            auto fields = arrayBody(atom, kTimingSize);
            buffer.timing.emplace();
            while (!fields.atEnd()) {
                SampleTiming timing;
                timing.duration = readMediaTime(fields);
                timing.presentation = readMediaTime(fields);
                timing.decode = readMediaTime(fields);
                buffer.timing->push_back(timing);
            }
            break;
        }
        case kData:
            noDuplicate(buffer.data.has_value(), atom.code);
            buffer.data.emplace(atom.body.begin(), atom.body.end());
            break;
        case kCount: {
            noDuplicate(buffer.sampleCount.has_value(), atom.code);
            if (atom.body.size() != 4)
                throw ProtocolError("The sample buffer's 'nsmp' atom holds " +
                                    std::to_string(atom.body.size()) + " bytes where 4 are expected.");
            WireReader fields(atom.body, "'nsmp' atom");
            buffer.sampleCount = fields.u32();
            break;
        }
        case kSizes: {
            noDuplicate(buffer.sampleSizes.has_value(), atom.code);
            auto fields = arrayBody(atom, 4);
            buffer.sampleSizes.emplace();
            while (!fields.atEnd())
                buffer.sampleSizes->push_back(fields.u32());
            break;
        }
        case kFormat:
            noDuplicate(buffer.format.has_value(), atom.code);
            buffer.format = readFormatDescriptionBody(atom.body, 1);
            break;
        case kAttachments:
            noDuplicate(buffer.attachments.has_value(), atom.code);
            buffer.attachments = readDictionaryBody(atom.body, atom.code, 1);
            break;
        default:
            buffer.otherAtoms.push_back(RawAtom{atom.code, Bytes(atom.body.begin(), atom.body.end())});
        }
    }
    return buffer;
}

void writeSampleBuffer(WireWriter& writer, const SampleBuffer& buffer) {
    auto mark = writer.beginAtom(kSampleBuffer);
    auto atom = [&writer](FourCC code, auto&& body) {
        auto atomMark = writer.beginAtom(code);
        body();
        writer.endAtom(atomMark);
    };
    if (buffer.outputPresentationTime)
        atom(kOutputTime, [&] { writeMediaTime(writer, *buffer.outputPresentationTime); });
    if (buffer.timing)
        atom(kTiming, [&] {
            for (const auto& timing : *buffer.timing) {
                writeMediaTime(writer, timing.duration);
                writeMediaTime(writer, timing.presentation);
                writeMediaTime(writer, timing.decode);
            }
        });
    if (buffer.data)
        atom(kData, [&] { writer.bytes(*buffer.data); });
    if (buffer.sampleCount)
        atom(kCount, [&] { writer.u32(*buffer.sampleCount); });
    if (buffer.sampleSizes)
        atom(kSizes, [&] {
            for (auto size : *buffer.sampleSizes)
                writer.u32(size);
        });
    if (buffer.format)
        writeFormatDescription(writer, *buffer.format, 1);
    if (buffer.attachments)
        writeDictionary(writer, kAttachments, *buffer.attachments, 1);
    for (const auto& other : buffer.otherAtoms) {
        // A known code here would be read back into its field, or clash with it.
        if (isKnown(other.code))
            throw std::invalid_argument("The sample buffer's '" + fourccName(other.code) +
                                        "' atom belongs in its own field.");
        atom(other.code, [&] { writer.bytes(other.body); });
    }
    writer.endAtom(mark);
}

} // namespace detail

SampleBuffer parseSampleBuffer(ByteView bytes) {
    WireReader reader(bytes, "sample buffer");
    Atom atom = reader.atom();
    reader.expectEnd();
    if (atom.code != kSampleBuffer)
        throw ProtocolError("Found a '" + fourccName(atom.code) +
                            "' atom where a sample buffer ('sbuf') is expected.");
    return detail::readSampleBufferBody(atom.body);
}

Bytes buildSampleBuffer(const SampleBuffer& buffer) {
    WireWriter writer;
    detail::writeSampleBuffer(writer, buffer);
    return std::move(writer).take();
}

} // namespace pokescope::usbscreen
