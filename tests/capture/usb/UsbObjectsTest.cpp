// The screen-sharing protocol's values, dictionaries, times, formats and sample buffers, byte for byte.
#include "capture/usb/UsbObjects.hpp"
#include "capture/usb/UsbSampleBuffer.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>

using namespace pokescope::usbscreen;
using namespace pokescope::usbscreen::test;
using testing::HasSubstr;

namespace {

// The dictionary of the documentation's AFMT reply: {"Error": 0}.
const Bytes kErrorDictionary = hex("2A000000 74636964 22000000 7679656B 0D000000 6B727473 4572726F 720D0000 "
                                   "0076626D 6E030000 0000");

Bytes framed(Bytes atom) { return withLength(atom, static_cast<std::uint32_t>(atom.size())); }

// `levels` dictionaries, each the only value (under "k") of the one around it, written byte by byte.
Bytes nestedDictionaries(int levels) {
    Bytes inner = hex("08000000 74636964");
    for (int level = 1; level < levels; ++level)
        inner = framed(concat({hex("00000000 74636964"),
                               framed(concat({hex("00000000 7679656B 09000000 6B727473 6B"), inner}))}));
    return inner;
}

Dictionary nestedDictionary(int levels) {
    Dictionary inner;
    for (int level = 1; level < levels; ++level)
        inner = Dictionary{}.add(std::string("k"), std::move(inner));
    return inner;
}

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

TEST(UsbObjects, DocumentedObjectsValuesOfEachTypeAndMediaTimesHaveExactBytes) {
    Dictionary dictionary = parseDictionary(kBooleanDictionary);
    EXPECT_EQ(dictionary, Dictionary{}.add(std::string("Valeria"), true));
    EXPECT_EQ(buildDictionary(dictionary), kBooleanDictionary);

    // The AFMT reply's number has a one-byte type.
    dictionary = parseDictionary(kErrorDictionary);
    EXPECT_EQ(dictionary, Dictionary{}.add(std::string("Error"), Number{std::int32_t{0}}));
    EXPECT_EQ(buildDictionary(dictionary), kErrorDictionary);
    EXPECT_EQ(dictionary.find("error"), nullptr);
    EXPECT_EQ(dictionary.find(0U), nullptr);
    const std::pair<Value, Bytes> cases[] = {
        {Number{std::int32_t{1}}, hex("0D000000 76626D6E 03 01000000")},
        {Number{std::int32_t{-2}}, hex("0D000000 76626D6E 03 FEFFFFFF")},
        {Number{std::int64_t{0x0102030405060708}}, hex("11000000 76626D6E 04 08070605 04030201")},
        {Number{48000.0}, hex("11000000 76626D6E 06 00000000 0070E740")},
        {std::string("BlaBla"), hex("0E000000 76727473 426C6142 6C61")},
        {std::string(), hex("08000000 76727473")},
        {Bytes{1, 2, 3}, hex("0B000000 76746164 010203")},
        {false, hex("09000000 766C7562 00")},
    };
    for (const auto& [value, bytes] : cases) {
        EXPECT_EQ(buildValue(value), bytes);
        EXPECT_EQ(parseValue(bytes), value);
    }
    EXPECT_EQ(Number{std::int32_t{-2}}.integer(), -2);
    EXPECT_EQ(Number{std::int64_t{1} << 40}.integer(), std::int64_t{1} << 40);
    EXPECT_EQ(Number{0.5}.integer(), std::nullopt);
    // Index keys take four bytes.
    Bytes bytes = hex("25000000 74636964 1D000000 7679656B 0C000000 6B786469 07000000 09000000 766C7562 01");
    dictionary = parseDictionary(bytes);
    EXPECT_EQ(dictionary, Dictionary{}.add(7U, true));
    EXPECT_EQ(dictionary.find("7"), nullptr);
    EXPECT_EQ(buildDictionary(dictionary), bytes);
    Dictionary inner = Dictionary{}.add(105U, Bytes{0xDE, 0xAD}).add(std::string("rate"), Number{59.94});
    Dictionary outer;
    outer.add(std::string("Valeria"), true)
        .add(std::string("name"), std::string("iPhone screen"))
        .add(49U, inner)
        .add(std::string("format"), FormatDescription::linearPcm(AudioStreamDescription::pcm48kStereo16()))
        .add(std::string("count"), Number{std::int64_t{-7}});
    bytes = buildDictionary(outer);
    Dictionary parsed = parseDictionary(bytes);
    EXPECT_EQ(parsed, outer);
    EXPECT_EQ(buildDictionary(parsed), bytes);

    bytes = hex("CB448EA1 CF10CC15 00CA9A3B 01000000 00000000 00000000");
    MediaTime time = parseMediaTime(bytes);
    EXPECT_EQ(time, (MediaTime{0x15CC10CFA18E44CB, 1'000'000'000, MediaTime::kValid, 0}));
    EXPECT_EQ(buildMediaTime(time), bytes);
    ASSERT_TRUE(time.seconds());
    EXPECT_DOUBLE_EQ(*time.seconds(), 1570648854.000190667);
    EXPECT_EQ(MediaTime::fromNanoseconds(0x15CC10CFA18E44CB), time);
    // Seconds only for valid, finite times.
    constexpr auto valid = MediaTime::kValid;
    const std::pair<MediaTime, std::optional<double>> times[] = {
        {{3, 2, valid, 0}, 1.5},  {{-3, 2, valid, 0}, -1.5}, {{1, 48000, valid, 0}, 1.0 / 48000},
        {{3, 2, 0, 0}, {}},       {{3, 0, valid, 0}, {}},    {{3, -2, valid, 0}, {}},
        {{0, 1, valid | MediaTime::kPositiveInfinity, 0}, {}}, {{0, 1, valid | MediaTime::kIndefinite, 0}, {}}};
    for (const auto& [t, seconds] : times)
        EXPECT_EQ(t.seconds(), seconds) << t.value << "/" << t.timescale;
    EXPECT_THAT(protocolError([] { parseMediaTime(Bytes(23, 0)); }), HasSubstr("24 bytes, not 23"));
}

TEST(UsbObjects, MalformedObjectsAreErrorsAndNestingIsLimitedWhenParsingAndBuilding) {
    Bytes longEntry = kBooleanDictionary;
    longEntry[8] = 0x30;
    Bytes zeroKey = kBooleanDictionary;
    zeroKey[16] = 0;
    const struct {
        bool dictionary; // else a single value
        Bytes bytes;
        const char* error;
    } rows[] = {
        {true, hex("04000000 74636964"), "length 4 is shorter than its 8-byte header"},
        // A length that would overflow a 32-bit position.
        {true, hex("FFFFFFFF 74636964 00000000"),
         "'dict' atom of 4294967295 bytes but only 12 bytes are left"},
        {true, longEntry, "'keyv' atom of 48 bytes"}, // longer than the dictionary around it
        {true, zeroKey, "shorter than its 8-byte header"},
        // An entry that ends early leaves its value out.
        {true, hex("1F000000 74636964 17000000 7679656B 0F000000 6B727473 56616C65 726961"), "truncated"},
        {false, hex("0C000000 78787878 00000000"), "unknown type 'xxxx'"},
        {false, hex("09000000 766C7562 02"), "holds 2 where 0 or 1"},
        {false, hex("0A000000 766C7562 0100"), "holds 2 bytes where 1"},
        {false, hex("0D000000 76626D6E 05 01000000"), "unknown type 5"},
        {false, hex("08000000 76626D6E"), "truncated"},
        {false, hex("11000000 76626D6E 03 01000000 00000000"), "holds 8 bytes where 4"},
        // The documentation's unframed number example shows the type as four bytes; its complete reply dump
        // shows one. We follow the complete dump, so the four-byte form, framed, is rejected.
        {false, hex("10000000 76626D6E 03000000 01000000"), "type 3 holds 7 bytes where 4 are expected"},
        {true, hex("23000000 74636964 1B000000 7679656B 0A000000 6B786469 0700 09000000 766C7562 01"),
         "'idxk' atom holds 2 bytes where 4"},
        {true, hex("22000000 74636964 1A000000 7679656B 09000000 78787878 00 09000000 766C7562 01"),
         "'xxxx' key"},
        {true, hex("11000000 74636964 09000000 766C7562 01"), "'bulv' atom where a 'keyv' entry"},
        // An entry holds one key and one value; a dictionary is one object with nothing after it.
        {true,
         hex("31000000 74636964 29000000 7679656B 0F000000 6B727473 56616C65 726961 09000000 766C7562 01 "
             "09000000 766C7562 01"),
         "dictionary entry has 9 unexpected bytes"},
        {true, concat({kBooleanDictionary, Bytes{0}}), "1 unexpected bytes"},
        {true, hex("09000000 766C7562 01"), "'bulv' atom where a 'dict' is expected"},
        {true, Bytes(kBooleanDictionary.begin(), kBooleanDictionary.end() - 1), "only 39 bytes are left"},
    };
    for (const auto& row : rows)
        EXPECT_THAT(protocolError([&] {
                        row.dictionary ? (void)parseDictionary(row.bytes) : (void)parseValue(row.bytes);
                    }),
                    HasSubstr(row.error));
    for (const Bytes* whole : {&kBooleanDictionary, &kErrorDictionary})
        for (std::size_t size = 0; size < whole->size(); ++size)
            EXPECT_THROW(parseDictionary(prefix(*whole, size)), ProtocolError) << "prefix of " << size << " bytes";

    Bytes deepest = nestedDictionaries(kMaxNesting);
    EXPECT_EQ(parseDictionary(deepest), nestedDictionary(kMaxNesting));
    EXPECT_EQ(buildDictionary(nestedDictionary(kMaxNesting)), deepest);

    EXPECT_THAT(protocolError([] { parseDictionary(nestedDictionaries(kMaxNesting + 1)); }),
                HasSubstr("nested more than 16 levels deep"));
    EXPECT_THAT(protocolError([] { parseDictionary(nestedDictionaries(2000)); }),
                HasSubstr("nested more than 16"));
    EXPECT_THAT(protocolError([] { buildDictionary(nestedDictionary(kMaxNesting + 1)); }),
                HasSubstr("nested more than 16"));
}

TEST(UsbSampleBuffer, FormatDescriptionsH264AndPcmSamplesHaveExactBytesAndUnknownAtomsSurviveARebuild) {
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

    // PCM samples describe their frames.
    Bytes frames(32);
    std::iota(frames.begin(), frames.end(), std::uint8_t{0});
    auto format = AudioStreamDescription::pcm48kStereo16();
    buffer = SampleBuffer::linearPcm(frames, format, kOneSecond);
    EXPECT_EQ(std::tuple(buffer.sampleCount, buffer.sampleSizes), std::tuple(8U, std::vector<std::uint32_t>{4}));
    EXPECT_EQ(buffer.timing.value().at(0).duration, (MediaTime{1, 48000, MediaTime::kValid, 0}));
    EXPECT_EQ(parseSampleBuffer(buildSampleBuffer(buffer)), buffer);
    EXPECT_THROW(SampleBuffer::linearPcm(Bytes(31), format, kOneSecond), std::invalid_argument);
    auto silent = format;
    silent.bytesPerFrame = 0;
    EXPECT_THROW(SampleBuffer::linearPcm(Bytes(32), silent, kOneSecond), std::invalid_argument);

    // An attachments dictionary {1: true} and an atom we do not know, 'xtra', after the sample sizes.
    bytes =
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
