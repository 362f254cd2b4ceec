// Sample buffers ('sbuf'), the payload of the phone's FEED (H.264 video) and EAT! (linear PCM sound)
// messages. The body is a sequence of atoms, each optional:
//   'opts' output presentation time (a media time)
//   'stia' sample timing: per entry the duration, presentation and decode times (3 media times)
//   'sdat' the sample data: H.264 NAL units each behind a 4-byte big-endian length, or PCM frames
//   'nsmp' the number of samples (u32)
//   'ssiz' sample sizes (u32 each)
//   'fdsc' the format description, when the format is new
//   'satt' attachments, a dictionary body
// Builders write them in that order, then atoms we do not know, which parsing keeps.
#pragma once

#include "capture/usb/UsbObjects.hpp"

namespace pokescope::usbscreen {

struct SampleTiming {
    MediaTime duration;
    MediaTime presentation;
    MediaTime decode;
    bool operator==(const SampleTiming&) const = default;
};

struct SampleBuffer {
    std::optional<MediaTime> outputPresentationTime;
    std::optional<std::vector<SampleTiming>> timing;
    std::optional<Bytes> data;
    std::optional<std::uint32_t> sampleCount;
    std::optional<std::vector<std::uint32_t>> sampleSizes;
    std::optional<FormatDescription> format;
    std::optional<Dictionary> attachments;
    std::vector<RawAtom> otherAtoms;

    // One H.264 access unit, as the phone sends it in FEED; `format` goes with the first frame and
    // whenever the parameter sets change. std::invalid_argument for a NAL unit over 4 GiB.
    static SampleBuffer h264(const std::vector<Bytes>& nalUnits, const MediaTime& presentation,
                             const MediaTime& duration,
                             std::optional<FormatDescription> format = std::nullopt);
    // Interleaved PCM frames in `format`, as the phone sends them in EAT!. std::invalid_argument when the
    // data is not a whole number of frames.
    static SampleBuffer linearPcm(Bytes frames, const AudioStreamDescription& format,
                                  const MediaTime& presentation);

    // The NAL units of an H.264 sample; ProtocolError when the lengths overrun the data.
    std::vector<Bytes> nalUnits() const;
    bool operator==(const SampleBuffer&) const = default;
};

// One 'sbuf' atom exactly; ProtocolError for anything else.
SampleBuffer parseSampleBuffer(ByteView bytes);
Bytes buildSampleBuffer(const SampleBuffer& buffer);

namespace detail {
SampleBuffer readSampleBufferBody(ByteView body);
void writeSampleBuffer(WireWriter& writer, const SampleBuffer& buffer);
} // namespace detail

} // namespace pokescope::usbscreen
