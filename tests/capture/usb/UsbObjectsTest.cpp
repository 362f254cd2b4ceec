#include "capture/usb/UsbObjects.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pokescope::usbscreen;
using pokescope::usbscreen::test::concat;
using pokescope::usbscreen::test::hex;
using pokescope::usbscreen::test::protocolError;
using testing::HasSubstr;

namespace {

// The documentation's dictionary example: {"Valeria": true}.
const Bytes kBooleanDictionary = hex("28000000 74636964 20000000 7679656B 0F000000 6B727473 56616C65 726961 "
                                     "09000000 766C7562 01");
// The dictionary of the documentation's AFMT reply: {"Error": 0}.
const Bytes kErrorDictionary = hex("2A000000 74636964 22000000 7679656B 0D000000 6B727473 4572726F 720D0000 "
                                   "0076626D 6E030000 0000");

Bytes stringKeyEntry(const std::string& key, const Bytes& value) {
    Bytes keyAtom = concat({hex("00000000 6B727473"), Bytes(key.begin(), key.end())});
    keyAtom[0] = static_cast<std::uint8_t>(keyAtom.size());
    Bytes entry = concat({hex("00000000 7679656B"), keyAtom, value});
    for (int i = 0; i < 4; ++i)
        entry[i] = static_cast<std::uint8_t>(entry.size() >> (8 * i));
    return entry;
}

Bytes dictionaryAtom(const Bytes& body) {
    Bytes atom = concat({hex("00000000 74636964"), body});
    for (int i = 0; i < 4; ++i)
        atom[i] = static_cast<std::uint8_t>(atom.size() >> (8 * i));
    return atom;
}

// `levels` dictionaries, each the only value of the one around it, written byte by byte.
Bytes nestedDictionaries(int levels) {
    Bytes inner = dictionaryAtom({});
    for (int level = 1; level < levels; ++level)
        inner = dictionaryAtom(stringKeyEntry("k", inner));
    return inner;
}

Dictionary nestedDictionary(int levels) {
    Dictionary inner;
    for (int level = 1; level < levels; ++level) {
        Dictionary outer;
        outer.add(std::string("k"), std::move(inner));
        inner = std::move(outer);
    }
    return inner;
}

} // namespace

TEST(UsbObjects, DocumentedBooleanDictionaryParsesAndRebuildsExactly) {
    Dictionary dictionary = parseDictionary(kBooleanDictionary);
    ASSERT_EQ(dictionary.entries.size(), 1U);
    EXPECT_EQ(std::get<std::string>(dictionary.entries[0].key), "Valeria");
    EXPECT_EQ(std::get<bool>(dictionary.entries[0].value), true);
    EXPECT_EQ(buildDictionary(dictionary), kBooleanDictionary);

    Dictionary built;
    built.add(std::string("Valeria"), true);
    EXPECT_EQ(buildDictionary(built), kBooleanDictionary);
}

TEST(UsbObjects, DocumentedErrorDictionaryCarriesAOneByteNumberType) {
    Dictionary dictionary = parseDictionary(kErrorDictionary);
    const Value* error = dictionary.find("Error");
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(std::get<Number>(*error), Number{std::int32_t{0}});
    EXPECT_EQ(buildDictionary(dictionary), kErrorDictionary);
    EXPECT_EQ(dictionary.find("error"), nullptr);
    EXPECT_EQ(dictionary.find(0U), nullptr);
}

TEST(UsbObjects, NumbersOfEachTypeHaveExactBytes) {
    const std::pair<Number, Bytes> cases[] = {
        {Number{std::int32_t{1}}, hex("0D000000 76626D6E 03 01000000")},
        {Number{std::int32_t{-2}}, hex("0D000000 76626D6E 03 FEFFFFFF")},
        {Number{std::int64_t{0x0102030405060708}}, hex("11000000 76626D6E 04 08070605 04030201")},
        {Number{48000.0}, hex("11000000 76626D6E 06 00000000 0070E740")},
    };
    for (const auto& [number, bytes] : cases) {
        EXPECT_EQ(buildValue(number), bytes);
        EXPECT_EQ(std::get<Number>(parseValue(bytes)), number);
    }
    EXPECT_EQ(Number{std::int32_t{-2}}.integer(), -2);
    EXPECT_EQ(Number{std::int64_t{1} << 40}.integer(), std::int64_t{1} << 40);
    EXPECT_EQ(Number{0.5}.integer(), std::nullopt);
}

TEST(UsbObjects, TheBareNumberExampleWithAFourByteTypeIsNotOurEncoding) {
    // The documentation's unframed number example shows the type as four bytes; its complete reply dump
    // shows one. We follow the complete dump, so the four-byte form, framed, is rejected.
    EXPECT_THAT(protocolError([] { parseValue(hex("10000000 76626D6E 03000000 01000000")); }),
                HasSubstr("type 3 holds 7 bytes where 4 are expected"));
}

TEST(UsbObjects, StringsDataAndBooleansHaveExactBytes) {
    const std::pair<Value, Bytes> cases[] = {
        {std::string("BlaBla"), hex("0E000000 76727473 426C6142 6C61")},
        {std::string(), hex("08000000 76727473")},
        {Bytes{1, 2, 3}, hex("0B000000 76746164 010203")},
        {false, hex("09000000 766C7562 00")},
    };
    for (const auto& [value, bytes] : cases) {
        EXPECT_EQ(buildValue(value), bytes);
        EXPECT_EQ(parseValue(bytes), value);
    }
}

TEST(UsbObjects, IndexKeysTakeFourBytes) {
    Bytes bytes = hex("25000000 74636964 1D000000 7679656B 0C000000 6B786469 07000000 09000000 766C7562 01");
    Dictionary dictionary = parseDictionary(bytes);
    ASSERT_NE(dictionary.find(7U), nullptr);
    EXPECT_EQ(std::get<bool>(*dictionary.find(7U)), true);
    EXPECT_EQ(dictionary.find("7"), nullptr);
    Dictionary built;
    built.add(7U, true);
    EXPECT_EQ(buildDictionary(built), bytes);
}

TEST(UsbObjects, NestedValuesOfEveryKindRoundTrip) {
    Dictionary inner;
    inner.add(105U, Bytes{0xDE, 0xAD}).add(std::string("rate"), Number{59.94});
    Dictionary outer;
    outer.add(std::string("Valeria"), true)
        .add(std::string("name"), std::string("iPhone screen"))
        .add(49U, inner)
        .add(std::string("format"), FormatDescription::linearPcm(AudioStreamDescription::pcm48kStereo16()))
        .add(std::string("count"), Number{std::int64_t{-7}});
    Bytes bytes = buildDictionary(outer);
    Dictionary parsed = parseDictionary(bytes);
    EXPECT_EQ(parsed, outer);
    EXPECT_EQ(buildDictionary(parsed), bytes);
    ASSERT_NE(parsed.find(49U), nullptr);
    EXPECT_EQ(std::get<Dictionary>(*parsed.find(49U)), inner);
}

TEST(UsbObjects, DocumentedMediaTimeAndItsSeconds) {
    Bytes bytes = hex("CB448EA1 CF10CC15 00CA9A3B 01000000 00000000 00000000");
    MediaTime time = parseMediaTime(bytes);
    EXPECT_EQ(time.value, 0x15CC10CFA18E44CB);
    EXPECT_EQ(time.timescale, 1'000'000'000);
    EXPECT_EQ(time.flags, MediaTime::kValid);
    EXPECT_EQ(time.epoch, 0);
    EXPECT_EQ(buildMediaTime(time), bytes);
    ASSERT_TRUE(time.seconds());
    EXPECT_DOUBLE_EQ(*time.seconds(), 1570648854.000190667);
    EXPECT_EQ(MediaTime::fromNanoseconds(0x15CC10CFA18E44CB), time);
}

TEST(UsbObjects, SecondsOnlyForValidFiniteTimes) {
    EXPECT_EQ((MediaTime{3, 2, MediaTime::kValid, 0}.seconds()), 1.5);
    EXPECT_EQ((MediaTime{-3, 2, MediaTime::kValid, 0}.seconds()), -1.5);
    EXPECT_EQ((MediaTime{1, 48000, MediaTime::kValid, 0}.seconds()), 1.0 / 48000);
    EXPECT_EQ((MediaTime{3, 2, 0, 0}.seconds()), std::nullopt);
    EXPECT_EQ((MediaTime{3, 0, MediaTime::kValid, 0}.seconds()), std::nullopt);
    EXPECT_EQ((MediaTime{3, -2, MediaTime::kValid, 0}.seconds()), std::nullopt);
    EXPECT_EQ((MediaTime{0, 1, MediaTime::kValid | MediaTime::kPositiveInfinity, 0}.seconds()), std::nullopt);
    EXPECT_EQ((MediaTime{0, 1, MediaTime::kValid | MediaTime::kIndefinite, 0}.seconds()), std::nullopt);
    EXPECT_THAT(protocolError([] { parseMediaTime(Bytes(23, 0)); }), HasSubstr("24 bytes, not 23"));
}

TEST(UsbObjects, DocumentedAudioFormatIsPcm48kStereo16) {
    Bytes bytes =
        hex("00000000 0070E740 6D63706C 4C000000 04000000 01000000 04000000 02000000 10000000 00000000");
    AudioStreamDescription format = parseAudioStreamDescription(bytes);
    EXPECT_EQ(format.sampleRate, 48000.0);
    EXPECT_EQ(format.formatId, AudioStreamDescription::kLinearPcm);
    EXPECT_EQ(format.formatFlags, 0x4CU);
    EXPECT_EQ(format.bytesPerPacket, 4U);
    EXPECT_EQ(format.framesPerPacket, 1U);
    EXPECT_EQ(format.bytesPerFrame, 4U);
    EXPECT_EQ(format.channelsPerFrame, 2U);
    EXPECT_EQ(format.bitsPerChannel, 16U);
    EXPECT_EQ(format, AudioStreamDescription::pcm48kStereo16());
    EXPECT_EQ(buildAudioStreamDescription(format), bytes);
}

TEST(UsbObjects, EveryTruncationIsAnError) {
    for (const Bytes* whole : {&kBooleanDictionary, &kErrorDictionary}) {
        for (std::size_t size = 0; size < whole->size(); ++size) {
            Bytes prefix(whole->begin(), whole->begin() + static_cast<std::ptrdiff_t>(size));
            EXPECT_THROW(parseDictionary(prefix), ProtocolError) << "prefix of " << size << " bytes";
        }
    }
    EXPECT_THAT(protocolError(
                    [] { parseDictionary(Bytes(kBooleanDictionary.begin(), kBooleanDictionary.end() - 1)); }),
                HasSubstr("only 39 bytes are left"));
}

TEST(UsbObjects, BadLengthsAreErrors) {
    // Shorter than the header.
    EXPECT_THAT(protocolError([] { parseDictionary(hex("04000000 74636964")); }),
                HasSubstr("length 4 is shorter than its 8-byte header"));
    // A length that would overflow a 32-bit position.
    EXPECT_THAT(protocolError([] { parseDictionary(hex("FFFFFFFF 74636964 00000000")); }),
                HasSubstr("'dict' atom of 4294967295 bytes but only 12 bytes are left"));
    // An entry longer than the dictionary around it.
    Bytes longEntry = kBooleanDictionary;
    longEntry[8] = 0x30;
    EXPECT_THAT(protocolError([&] { parseDictionary(longEntry); }), HasSubstr("'keyv' atom of 48 bytes"));
    // A key length of zero.
    Bytes zeroKey = kBooleanDictionary;
    zeroKey[16] = 0;
    EXPECT_THAT(protocolError([&] { parseDictionary(zeroKey); }),
                HasSubstr("shorter than its 8-byte header"));
    // An entry that ends early leaves its value out.
    EXPECT_THAT(protocolError([] {
                    parseDictionary(hex("1F000000 74636964 17000000 7679656B 0F000000 6B727473 "
                                        "56616C65 726961"));
                }),
                HasSubstr("truncated"));
}

TEST(UsbObjects, UnknownCodesAndMalformedValuesAreErrors) {
    EXPECT_THAT(protocolError([] { parseValue(hex("0C000000 78787878 00000000")); }),
                HasSubstr("unknown type 'xxxx'"));
    EXPECT_THAT(protocolError([] { parseValue(hex("09000000 766C7562 02")); }),
                HasSubstr("holds 2 where 0 or 1"));
    EXPECT_THAT(protocolError([] { parseValue(hex("0A000000 766C7562 0100")); }),
                HasSubstr("holds 2 bytes where 1"));
    EXPECT_THAT(protocolError([] { parseValue(hex("0D000000 76626D6E 05 01000000")); }),
                HasSubstr("unknown type 5"));
    EXPECT_THAT(protocolError([] { parseValue(hex("08000000 76626D6E")); }), HasSubstr("truncated"));
    EXPECT_THAT(protocolError([] { parseValue(hex("11000000 76626D6E 03 01000000 00000000")); }),
                HasSubstr("holds 8 bytes where 4"));
    // Index keys are four bytes.
    EXPECT_THAT(protocolError([] {
                    parseDictionary(hex("23000000 74636964 1B000000 7679656B 0A000000 6B786469 0700 09000000 "
                                        "766C7562 01"));
                }),
                HasSubstr("'idxk' atom holds 2 bytes where 4"));
    // A key must be a key.
    EXPECT_THAT(protocolError([] {
                    parseDictionary(
                        hex("22000000 74636964 1A000000 7679656B 09000000 78787878 00 09000000 766C7562 01"));
                }),
                HasSubstr("'xxxx' key"));
    // A dictionary holds entries only.
    EXPECT_THAT(protocolError([] { parseDictionary(hex("11000000 74636964 09000000 766C7562 01")); }),
                HasSubstr("'bulv' atom where a 'keyv' entry"));
    // An entry holds one key and one value.
    EXPECT_THAT(protocolError([] {
                    parseDictionary(
                        hex("31000000 74636964 29000000 7679656B 0F000000 6B727473 56616C65 726961 "
                            "09000000 766C7562 01 09000000 766C7562 01"));
                }),
                HasSubstr("dictionary entry has 9 unexpected bytes"));
    // One object, nothing after it.
    EXPECT_THAT(protocolError([] {
                    parseDictionary(concat({kBooleanDictionary, Bytes{0}}));
                }),
                HasSubstr("1 unexpected bytes"));
    EXPECT_THAT(protocolError([] { parseDictionary(hex("09000000 766C7562 01")); }),
                HasSubstr("'bulv' atom where a 'dict' is expected"));
}

TEST(UsbObjects, NestingIsLimitedWhenParsingAndBuilding) {
    Bytes deepest = nestedDictionaries(kMaxNesting);
    Dictionary parsed = parseDictionary(deepest);
    EXPECT_EQ(parsed, nestedDictionary(kMaxNesting));
    EXPECT_EQ(buildDictionary(parsed), deepest);

    EXPECT_THAT(protocolError([] { parseDictionary(nestedDictionaries(kMaxNesting + 1)); }),
                HasSubstr("nested more than 16 levels deep"));
    EXPECT_THAT(protocolError([] { parseDictionary(nestedDictionaries(2000)); }),
                HasSubstr("nested more than 16"));
    EXPECT_THAT(protocolError([] { buildDictionary(nestedDictionary(kMaxNesting + 1)); }),
                HasSubstr("nested more than 16"));
}
