#include "capture/usb/UsbSampleBuffer.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

using namespace pokescope::usbscreen;
using namespace pokescope::usbscreen::test;
using testing::HasSubstr;

namespace {

// Written from the layout by hand, not by our builder.
const Bytes kVideoFormat =
    hex("86000000 63736466 0C000000 6169646D 65646976 10000000 6D696476 9A040000 FC090000 0C000000 63646F63 "
        "31637661 56000000 6E747865 4E000000 7679656B 0C000000 6B786469 31000000 3A000000 74636964 32000000 "
        "7679656B 0C000000 6B786469 69000000 1E000000 76746164 0164001F FFE10007 6764001F AC248401 000468EE "
        "3CB0");
const Bytes kAudioFormat =
    hex("44000000 63736466 0C000000 6169646D 6E756F73 30000000 64627361 00000000 0070E740 "
        "6D63706C 4C000000 04000000 01000000 04000000 02000000 10000000 00000000");
// Two NAL units at 1 s, lasting 1/60 s.
const Bytes kVideoSample =
    hex("A8000000 66756273 20000000 7374706F 00CA9A3B 00000000 00CA9A3B 01000000 00000000 00000000 50000000 "
        "61697473 01000000 00000000 3C000000 01000000 00000000 00000000 00CA9A3B 00000000 00CA9A3B 01000000 "
        "00000000 00000000 00CA9A3B 00000000 00CA9A3B 01000000 00000000 00000000 18000000 74616473 00000004 "
        "65888400 00000004 06050102 0C000000 706D736E 01000000 0C000000 7A697373 10000000");

const MediaTime kOneSecond = MediaTime::fromNanoseconds(1'000'000'000);
const MediaTime kFrame = {1, 60, MediaTime::kValid, 0};

} // namespace

TEST(UsbSampleBuffer, FormatDescriptionsAndH264SamplesHaveExactBytes) {
    FormatDescription video = FormatDescription::h264(1178, 2556, kSps, kPps);
    EXPECT_EQ(buildFormatDescription(video), kVideoFormat);
    EXPECT_EQ(parseFormatDescription(kVideoFormat), video);
    EXPECT_EQ(parseFormatDescription(kVideoFormat).h264ParameterSets(), (H264ParameterSets{kSps, kPps}));
    FormatDescription audio = FormatDescription::linearPcm(AudioStreamDescription::pcm48kStereo16());
    EXPECT_EQ(buildFormatDescription(audio), kAudioFormat);
    EXPECT_EQ(parseFormatDescription(kAudioFormat), audio);
    EXPECT_EQ(audio.h264ParameterSets(), std::nullopt);

    SampleBuffer buffer = SampleBuffer::h264({hex("65888400"), hex("06050102")}, kOneSecond, kFrame);
    EXPECT_EQ(buildSampleBuffer(buffer), kVideoSample);
    EXPECT_EQ(parseSampleBuffer(kVideoSample), buffer);
    EXPECT_EQ(parseSampleBuffer(kVideoSample).nalUnits(),
              (std::vector<Bytes>{hex("65888400"), hex("06050102")}));

    // The first sample carries its format, after the sample sizes.
    buffer = SampleBuffer::h264({hex("65888400")}, kOneSecond, kFrame,
                                FormatDescription::h264(1178, 2556, kSps, kPps));
    Bytes bytes = buildSampleBuffer(buffer);
    EXPECT_EQ(parseSampleBuffer(bytes), buffer);
    EXPECT_EQ(Bytes(bytes.end() - static_cast<std::ptrdiff_t>(kVideoFormat.size()), bytes.end()),
              kVideoFormat);
}

TEST(UsbSampleBuffer, ParameterSetsComeFromTheFirstOfSeveralAndMalformedObjectsAreErrors) {
    // The parameter sets of a format whose decoder configuration record is `record`.
    auto parameterSets = [](Value record) {
        FormatDescription format;
        format.extensions =
            Dictionary{}.add(FormatDescription::kExtensionAtomsIndex,
                             Dictionary{}.add(FormatDescription::kDecoderConfigIndex, std::move(record)));
        return format.h264ParameterSets();
    };
    // Two SPS, one PPS, then the chroma and bit depth bytes of a High profile record, which are ignored.
    EXPECT_EQ(parameterSets(hex("01640028 FFE2 0004 67640028 0003 676401 01 0002 68EE FDF8F800")),
              (H264ParameterSets{hex("67640028"), hex("68EE")}));
    const std::pair<Value, const char*> bad[] = {
        {hex("01640028 FFE1 0009 676400"), "H.264 decoder configuration is truncated"},
        {hex("01640028 FFE0 00"), "no SPS or no PPS"},
        {std::string("avcC"), "not a byte string"},
    };
    for (const auto& [record, error] : bad)
        EXPECT_THAT(protocolError([&] { parameterSets(record); }), HasSubstr(error));
    FormatDescription notADictionary;
    notADictionary.extensions = Dictionary{}.add(FormatDescription::kExtensionAtomsIndex, true);
    EXPECT_THAT(protocolError([&] { notADictionary.h264ParameterSets(); }), HasSubstr("not a dictionary"));
    EXPECT_THROW(FormatDescription::h264(1, 1, hex("6764"), kPps), std::invalid_argument);
    const struct {
        bool format; // else a sample buffer
        Bytes bytes;
        const char* error;
    } rows[] = {
        {false, kVideoFormat, "'fdsc' atom where a sample buffer ('sbuf') is expected"},
        {false, hex("20000000 66756273 0C000000 706D736E 01000000 0C000000 706D736E 01000000"),
         "more than one 'nsmp' atom"},
        {false, hex("14000000 66756273 0C000000 61697473 00000000"),
         "'stia' atom holds 4 bytes, not a multiple of 72"},
        {false, hex("12000000 66756273 0A000000 706D736E 0100"), "'nsmp' atom holds 2 bytes where 4"},
        {false, hex("12000000 66756273 0A000000 7A697373 0100"), "not a multiple of 4"},
        {false, hex("14000000 66756273 0C000000 7374706F 00000000"), "24 bytes, not 4"},
        {false, hex("14000000 66756273 0C000000 63736466 FFFFFFFF"), "truncated"},
        {true, hex("20000000 63736466 0C000000 6169646D 65646976 0C000000 6169646D 65646976"),
         "more than one 'mdia' atom"},
        {true, hex("14000000 63736466 0C000000 6D696476 9A040000"), "'vdim' atom holds 4 bytes where 8"},
    };
    for (const auto& row : rows)
        EXPECT_THAT(protocolError([&] {
                        row.format ? (void)parseFormatDescription(row.bytes)
                                   : (void)parseSampleBuffer(row.bytes);
                    }),
                    HasSubstr(row.error));
    // NAL lengths that overrun the sample data.
    for (const char* data : {"00000005 65888400", "FFFFFFFF 65", "000000"}) {
        SampleBuffer overrun;
        overrun.data = hex(data);
        EXPECT_THAT(protocolError([&] { overrun.nalUnits(); }), HasSubstr("H.264 sample is truncated"));
    }
}

TEST(UsbSampleBuffer, PcmSamplesDescribeTheirFramesAndUnknownAtomsSurviveARebuild) {
    Bytes frames(32);
    std::iota(frames.begin(), frames.end(), std::uint8_t{0});
    auto format = AudioStreamDescription::pcm48kStereo16();
    SampleBuffer buffer = SampleBuffer::linearPcm(frames, format, kOneSecond);
    EXPECT_EQ(buffer.sampleCount, 8U);
    EXPECT_EQ(buffer.sampleSizes, std::vector<std::uint32_t>{4});
    EXPECT_EQ(buffer.timing.value().at(0).duration, (MediaTime{1, 48000, MediaTime::kValid, 0}));
    EXPECT_EQ(parseSampleBuffer(buildSampleBuffer(buffer)), buffer);
    EXPECT_THROW(SampleBuffer::linearPcm(Bytes(31), format, kOneSecond), std::invalid_argument);
    auto silent = format;
    silent.bytesPerFrame = 0;
    EXPECT_THROW(SampleBuffer::linearPcm(Bytes(32), silent, kOneSecond), std::invalid_argument);

    // An attachments dictionary {1: true} and an atom we do not know, 'xtra', after the sample sizes.
    Bytes bytes =
        concat({kVideoSample, hex("0B000000 61727478 AABBCC"),
                hex("25000000 74746173 1D000000 7679656B 0C000000 6B786469 01000000 09000000 766C7562 01")});
    bytes = withLength(bytes, static_cast<std::uint32_t>(bytes.size()));
    SampleBuffer parsed = parseSampleBuffer(bytes);
    EXPECT_EQ(parsed.otherAtoms, (std::vector{RawAtom{fourcc("xtra"), hex("AABBCC")}}));
    EXPECT_EQ(parsed.attachments, Dictionary{}.add(1U, true));
    // Known atoms first, then the unknown ones.
    Bytes rebuilt = buildSampleBuffer(parsed);
    EXPECT_EQ(rebuilt.size(), bytes.size());
    EXPECT_EQ(parseSampleBuffer(rebuilt), parsed);
    EXPECT_EQ(Bytes(rebuilt.end() - 11, rebuilt.end()), hex("0B000000 61727478 AABBCC"));
}
