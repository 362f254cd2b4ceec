#include "capture/usb/UsbSampleBuffer.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pokescope::usbscreen;
using pokescope::usbscreen::test::concat;
using pokescope::usbscreen::test::hex;
using pokescope::usbscreen::test::protocolError;
using testing::HasSubstr;

namespace {

const Bytes kSps = hex("6764001F AC2484");
const Bytes kPps = hex("68EE3CB0");

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

TEST(UsbSampleBuffer, H264FormatDescriptionHasExactBytesAndParameterSets) {
    FormatDescription format = FormatDescription::h264(1178, 2556, kSps, kPps);
    EXPECT_EQ(buildFormatDescription(format), kVideoFormat);

    FormatDescription parsed = parseFormatDescription(kVideoFormat);
    EXPECT_EQ(parsed, format);
    EXPECT_EQ(parsed.mediaType, FormatDescription::kVideo);
    EXPECT_EQ(parsed.codec, FormatDescription::kH264);
    EXPECT_EQ(parsed.dimensions, (VideoDimensions{1178, 2556}));
    auto sets = parsed.h264ParameterSets();
    ASSERT_TRUE(sets);
    EXPECT_EQ(sets->sps, kSps);
    EXPECT_EQ(sets->pps, kPps);
}

TEST(UsbSampleBuffer, AudioFormatDescriptionHasExactBytes) {
    FormatDescription format = FormatDescription::linearPcm(AudioStreamDescription::pcm48kStereo16());
    EXPECT_EQ(buildFormatDescription(format), kAudioFormat);
    FormatDescription parsed = parseFormatDescription(kAudioFormat);
    EXPECT_EQ(parsed.mediaType, FormatDescription::kAudio);
    EXPECT_EQ(parsed.audio, AudioStreamDescription::pcm48kStereo16());
    EXPECT_EQ(parsed.h264ParameterSets(), std::nullopt);
}

TEST(UsbSampleBuffer, ParameterSetsComeFromTheFirstOfSeveralAndIgnoreHighProfileFields) {
    // Two SPS, one PPS, then the chroma and bit depth bytes of a High profile record.
    Bytes record = hex("01640028 FFE2 0004 67640028 0003 676401 01 0002 68EE FDF8F800");
    FormatDescription format;
    format.extensions = Dictionary{};
    format.extensions->add(FormatDescription::kExtensionAtomsIndex,
                           Dictionary{}.add(FormatDescription::kDecoderConfigIndex, record));
    auto sets = format.h264ParameterSets();
    ASSERT_TRUE(sets);
    EXPECT_EQ(sets->sps, hex("67640028"));
    EXPECT_EQ(sets->pps, hex("68EE"));
}

TEST(UsbSampleBuffer, MalformedParameterSetsAreErrors) {
    auto withRecord = [](Value record) {
        FormatDescription format;
        format.extensions = Dictionary{};
        format.extensions->add(FormatDescription::kExtensionAtomsIndex,
                               Dictionary{}.add(FormatDescription::kDecoderConfigIndex, std::move(record)));
        return format;
    };
    EXPECT_THAT(protocolError([&] { withRecord(hex("01640028 FFE1 0009 676400")).h264ParameterSets(); }),
                HasSubstr("H.264 decoder configuration is truncated"));
    EXPECT_THAT(protocolError([&] { withRecord(hex("01640028 FFE0 00")).h264ParameterSets(); }),
                HasSubstr("no SPS or no PPS"));
    EXPECT_THAT(protocolError([&] { withRecord(std::string("avcC")).h264ParameterSets(); }),
                HasSubstr("not a byte string"));
    FormatDescription notADictionary;
    notADictionary.extensions = Dictionary{}.add(FormatDescription::kExtensionAtomsIndex, true);
    EXPECT_THAT(protocolError([&] { notADictionary.h264ParameterSets(); }), HasSubstr("not a dictionary"));
    EXPECT_THROW(FormatDescription::h264(1, 1, hex("6764"), kPps), std::invalid_argument);
}

TEST(UsbSampleBuffer, H264SampleHasExactBytesAndItsNalUnits) {
    SampleBuffer buffer = SampleBuffer::h264({hex("65888400"), hex("06050102")}, kOneSecond, kFrame);
    EXPECT_EQ(buildSampleBuffer(buffer), kVideoSample);

    SampleBuffer parsed = parseSampleBuffer(kVideoSample);
    EXPECT_EQ(parsed, buffer);
    EXPECT_EQ(parsed.outputPresentationTime, kOneSecond);
    ASSERT_TRUE(parsed.timing);
    ASSERT_EQ(parsed.timing->size(), 1U);
    EXPECT_EQ((*parsed.timing)[0].duration, kFrame);
    EXPECT_EQ((*parsed.timing)[0].presentation, kOneSecond);
    EXPECT_EQ(parsed.sampleCount, 1U);
    EXPECT_EQ(parsed.sampleSizes, std::vector<std::uint32_t>{16});
    EXPECT_EQ(parsed.nalUnits(), (std::vector<Bytes>{hex("65888400"), hex("06050102")}));
    EXPECT_FALSE(parsed.format);
}

TEST(UsbSampleBuffer, FirstVideoSampleCarriesItsFormat) {
    SampleBuffer buffer = SampleBuffer::h264({hex("65888400")}, kOneSecond, kFrame,
                                             FormatDescription::h264(1178, 2556, kSps, kPps));
    Bytes bytes = buildSampleBuffer(buffer);
    SampleBuffer parsed = parseSampleBuffer(bytes);
    EXPECT_EQ(parsed, buffer);
    ASSERT_TRUE(parsed.format);
    EXPECT_EQ(parsed.format->h264ParameterSets(), (H264ParameterSets{kSps, kPps}));
    // The format description sits after the sample sizes, as written by hand above.
    EXPECT_EQ(Bytes(bytes.end() - static_cast<std::ptrdiff_t>(kVideoFormat.size()), bytes.end()),
              kVideoFormat);
}

TEST(UsbSampleBuffer, PcmSampleDescribesItsFrames) {
    Bytes frames(32);
    for (std::size_t i = 0; i < frames.size(); ++i)
        frames[i] = static_cast<std::uint8_t>(i);
    auto format = AudioStreamDescription::pcm48kStereo16();
    SampleBuffer buffer = SampleBuffer::linearPcm(frames, format, kOneSecond);
    EXPECT_EQ(buffer.sampleCount, 8U);
    EXPECT_EQ(buffer.sampleSizes, std::vector<std::uint32_t>{4});
    ASSERT_TRUE(buffer.timing);
    EXPECT_EQ((*buffer.timing)[0].duration, (MediaTime{1, 48000, MediaTime::kValid, 0}));
    EXPECT_EQ(buffer.data, frames);

    Bytes bytes = buildSampleBuffer(buffer);
    SampleBuffer parsed = parseSampleBuffer(bytes);
    EXPECT_EQ(parsed, buffer);
    ASSERT_TRUE(parsed.format);
    EXPECT_EQ(parsed.format->audio, format);
    EXPECT_EQ(buildSampleBuffer(parsed), bytes);

    EXPECT_THROW(SampleBuffer::linearPcm(Bytes(31), format, kOneSecond), std::invalid_argument);
    auto silent = format;
    silent.bytesPerFrame = 0;
    EXPECT_THROW(SampleBuffer::linearPcm(Bytes(32), silent, kOneSecond), std::invalid_argument);
}

TEST(UsbSampleBuffer, UnknownAtomsAndAttachmentsSurviveARebuild) {
    // An attachments dictionary {1: true} and an atom we do not know, 'xtra', after the sample sizes.
    Bytes bytes = concat({hex("A8000000 66756273"), Bytes(kVideoSample.begin() + 8, kVideoSample.end())});
    Bytes extra =
        concat({hex("0B000000 61727478 AABBCC"),
                hex("25000000 74746173 1D000000 7679656B 0C000000 6B786469 01000000 09000000 766C7562 01")});
    bytes.insert(bytes.end(), extra.begin(), extra.end());
    std::uint32_t total = static_cast<std::uint32_t>(bytes.size());
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(total >> (8 * i));

    SampleBuffer parsed = parseSampleBuffer(bytes);
    ASSERT_EQ(parsed.otherAtoms.size(), 1U);
    EXPECT_EQ(parsed.otherAtoms[0], (RawAtom{fourcc("xtra"), hex("AABBCC")}));
    ASSERT_TRUE(parsed.attachments);
    EXPECT_EQ(std::get<bool>(*parsed.attachments->find(1U)), true);
    // Known atoms first, then the unknown ones.
    Bytes rebuilt = buildSampleBuffer(parsed);
    EXPECT_EQ(rebuilt.size(), bytes.size());
    EXPECT_EQ(parseSampleBuffer(rebuilt), parsed);
    EXPECT_EQ(Bytes(rebuilt.end() - 11, rebuilt.end()), hex("0B000000 61727478 AABBCC"));
}

TEST(UsbSampleBuffer, MalformedSampleBuffersAreErrors) {
    for (std::size_t size = 0; size < kVideoSample.size(); ++size) {
        Bytes prefix(kVideoSample.begin(), kVideoSample.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_THROW(parseSampleBuffer(prefix), ProtocolError) << "prefix of " << size << " bytes";
    }
    EXPECT_THAT(protocolError([] { parseSampleBuffer(kVideoFormat); }),
                HasSubstr("'fdsc' atom where a sample buffer ('sbuf') is expected"));
    EXPECT_THAT(protocolError([] {
                    parseSampleBuffer(
                        hex("20000000 66756273 0C000000 706D736E 01000000 0C000000 706D736E 01000000"));
                }),
                HasSubstr("more than one 'nsmp' atom"));
    EXPECT_THAT(protocolError([] { parseSampleBuffer(hex("14000000 66756273 0C000000 61697473 00000000")); }),
                HasSubstr("'stia' atom holds 4 bytes, not a multiple of 72"));
    EXPECT_THAT(protocolError([] { parseSampleBuffer(hex("12000000 66756273 0A000000 706D736E 0100")); }),
                HasSubstr("'nsmp' atom holds 2 bytes where 4"));
    EXPECT_THAT(protocolError([] { parseSampleBuffer(hex("12000000 66756273 0A000000 7A697373 0100")); }),
                HasSubstr("not a multiple of 4"));
    EXPECT_THAT(protocolError([] { parseSampleBuffer(hex("14000000 66756273 0C000000 7374706F 00000000")); }),
                HasSubstr("24 bytes, not 4"));
    EXPECT_THAT(protocolError([] { parseSampleBuffer(hex("14000000 66756273 0C000000 63736466 FFFFFFFF")); }),
                HasSubstr("truncated"));
    EXPECT_THAT(protocolError([] {
                    parseFormatDescription(
                        hex("20000000 63736466 0C000000 6169646D 65646976 0C000000 6169646D 65646976"));
                }),
                HasSubstr("more than one 'mdia' atom"));
    EXPECT_THAT(
        protocolError([] { parseFormatDescription(hex("14000000 63736466 0C000000 6D696476 9A040000")); }),
        HasSubstr("'vdim' atom holds 4 bytes where 8"));

    // NAL lengths that overrun the sample data.
    SampleBuffer overrun;
    overrun.data = hex("00000005 65888400");
    EXPECT_THAT(protocolError([&] { overrun.nalUnits(); }), HasSubstr("H.264 sample is truncated"));
    overrun.data = hex("FFFFFFFF 65");
    EXPECT_THAT(protocolError([&] { overrun.nalUnits(); }), HasSubstr("H.264 sample is truncated"));
    overrun.data = hex("000000");
    EXPECT_THAT(protocolError([&] { overrun.nalUnits(); }), HasSubstr("H.264 sample is truncated"));
}

TEST(UsbSampleBuffer, KnownCodesCannotHideAmongUnknownAtoms) {
    SampleBuffer buffer;
    buffer.otherAtoms.push_back(RawAtom{fourcc("sdat"), {}});
    EXPECT_THROW(buildSampleBuffer(buffer), std::invalid_argument);
    FormatDescription format;
    format.otherAtoms.push_back(RawAtom{fourcc("mdia"), {}});
    EXPECT_THROW(buildFormatDescription(format), std::invalid_argument);
}
