#include "capture/usb/UsbObjects.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pokescope::usbscreen;
using namespace pokescope::usbscreen::test;
using testing::HasSubstr;

namespace {

// The documentation's dictionary example: {"Valeria": true}.
const Bytes kBooleanDictionary = hex("28000000 74636964 20000000 7679656B 0F000000 6B727473 56616C65 726961 "
                                     "09000000 766C7562 01");
// The dictionary of the documentation's AFMT reply: {"Error": 0}.
const Bytes kErrorDictionary = hex("2A000000 74636964 22000000 7679656B 0D000000 6B727473 4572726F 720D0000 "
                                   "0076626D 6E030000 0000");

Bytes framed(Bytes atom) {
    return withLength(atom, static_cast<std::uint32_t>(atom.size()));
}

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

} // namespace

TEST(UsbObjects, DocumentedDictionariesParseAndRebuildExactly) {
    Dictionary dictionary = parseDictionary(kBooleanDictionary);
    EXPECT_EQ(dictionary, Dictionary{}.add(std::string("Valeria"), true));
    EXPECT_EQ(buildDictionary(dictionary), kBooleanDictionary);

    // The AFMT reply's number has a one-byte type.
    dictionary = parseDictionary(kErrorDictionary);
    EXPECT_EQ(dictionary, Dictionary{}.add(std::string("Error"), Number{std::int32_t{0}}));
    EXPECT_EQ(buildDictionary(dictionary), kErrorDictionary);
    EXPECT_EQ(dictionary.find("error"), nullptr);
    EXPECT_EQ(dictionary.find(0U), nullptr);
}

TEST(UsbObjects, ValuesOfEachTypeAndTheDocumentedAudioFormatHaveExactBytes) {
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
    // The documented audio format, both ways: this pins every field of the constant.
    Bytes format =
        hex("00000000 0070E740 6D63706C 4C000000 04000000 01000000 04000000 02000000 10000000 00000000");
    EXPECT_EQ(parseAudioStreamDescription(format), AudioStreamDescription::pcm48kStereo16());
    EXPECT_EQ(buildAudioStreamDescription(AudioStreamDescription::pcm48kStereo16()), format);
    // Index keys take four bytes.
    Bytes bytes = hex("25000000 74636964 1D000000 7679656B 0C000000 6B786469 07000000 09000000 766C7562 01");
    Dictionary dictionary = parseDictionary(bytes);
    EXPECT_EQ(dictionary, Dictionary{}.add(7U, true));
    EXPECT_EQ(dictionary.find("7"), nullptr);
    EXPECT_EQ(buildDictionary(dictionary), bytes);
}

TEST(UsbObjects, NestedValuesOfEveryKindRoundTrip) {
    Dictionary inner = Dictionary{}.add(105U, Bytes{0xDE, 0xAD}).add(std::string("rate"), Number{59.94});
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
}

TEST(UsbObjects, DocumentedMediaTimeAndSecondsOnlyForValidFiniteTimes) {
    Bytes bytes = hex("CB448EA1 CF10CC15 00CA9A3B 01000000 00000000 00000000");
    MediaTime time = parseMediaTime(bytes);
    EXPECT_EQ(time, (MediaTime{0x15CC10CFA18E44CB, 1'000'000'000, MediaTime::kValid, 0}));
    EXPECT_EQ(buildMediaTime(time), bytes);
    ASSERT_TRUE(time.seconds());
    EXPECT_DOUBLE_EQ(*time.seconds(), 1570648854.000190667);
    EXPECT_EQ(MediaTime::fromNanoseconds(0x15CC10CFA18E44CB), time);
    // Seconds only for valid, finite times.
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

TEST(UsbObjects, MalformedObjectsAreErrors) {
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
    // Every truncation is an error.
    for (const Bytes* whole : {&kBooleanDictionary, &kErrorDictionary})
        for (std::size_t size = 0; size < whole->size(); ++size)
            EXPECT_THROW(
                parseDictionary(Bytes(whole->begin(), whole->begin() + static_cast<std::ptrdiff_t>(size))),
                ProtocolError)
                << "prefix of " << size << " bytes";
}

TEST(UsbObjects, NestingIsLimitedWhenParsingAndBuilding) {
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
