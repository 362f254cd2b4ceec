// The phone's USB screen-sharing protocol byte for byte: the objects (values, dictionaries, media times, format
// descriptions, sample buffers), the packets that carry them and the stream splitter; and the host's side of a
// session: the handshake, clocks, feeds, time-outs, stops and bad packets, against a scripted phone.
#include "capture/usb/UsbObjects.hpp"
#include "capture/usb/UsbPacket.hpp"
#include "capture/usb/UsbPacketSplitter.hpp"
#include "capture/usb/UsbSampleBuffer.hpp"
#include "capture/usb/UsbScreenSession.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <utility>

using namespace pokescope::usbscreen;
using namespace pokescope::usbscreen::test;
using testing::HasSubstr;
using testing::Contains;
using State = ScreenSession::State;

namespace {

// The documentation's dictionary example: {"Valeria": true}.
const Bytes kBooleanDictionary = hex("28000000 74636964 20000000 7679656B 0F000000 6B727473 56616C65 726961 "
                                     "09000000 766C7562 01");
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

constexpr ClockRef kDeviceAudioClock = 0x4000135A000074E0;
constexpr ClockRef kOurAudioClock = 0x7FA66CE20CB0;
constexpr ClockRef kDeviceVideoClock = 0x113538DA0;
constexpr ClockRef kOurVideoClock = 0x7FA66CD10250;
constexpr ClockRef kOurTimeClock = 0x7FA67CC17980;
constexpr ClockRef kStreamClock = 0x11123BC18;

Bytes prefix(const Bytes& bytes, std::size_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

template <class T> T parseAs(const Bytes& bytes) {
    Packet packet = parsePacket(bytes);
    EXPECT_TRUE(std::holds_alternative<T>(packet)) << "parsed as " << packetName(packet);
    return std::holds_alternative<T>(packet) ? std::get<T>(packet) : T{};
}

// A FEED with a format description and attachments, for the packets built from scratch below.
AsynFeed videoFeed() {
    SampleBuffer buffer = SampleBuffer::h264(
        {hex("65888400"), hex("06050102")}, MediaTime::fromNanoseconds(5),
        MediaTime{1, 60, MediaTime::kValid, 0}, FormatDescription::h264(1178, 2556, kSps, kPps));
    buffer.attachments = Dictionary{}.add(1U, true);
    return {kOurVideoClock, buffer};
}

const Bytes kStream = concat({kPing, kClok, kNeed});

std::vector<Bytes> drain(PacketSplitter& splitter) {
    std::vector<Bytes> packets;
    while (auto packet = splitter.next())
        packets.push_back(std::move(*packet));
    return packets;
}

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kMillisecond = 1'000'000;

const FormatDescription kPortrait = FormatDescription::h264(1178, 2556, kSps, kPps);
const FormatDescription kLandscape = FormatDescription::h264(2556, 1178, hex("6764002A AC2484"), kPps);

// Frame `index` of the video: an IDR slice and a byte that tells the frames apart.
SampleBuffer videoFrame(int index, std::optional<FormatDescription> format = std::nullopt) {
    return SampleBuffer::h264({hex("65888400"), Bytes{static_cast<std::uint8_t>(index)}},
                              MediaTime::fromNanoseconds(index * 16'666'667),
                              MediaTime::fromNanoseconds(16'666'667), std::move(format));
}

// 10 ms of sound filled with `index`.
SampleBuffer soundChunk(int index,
                        const AudioStreamDescription& format = AudioStreamDescription::pcm48kStereo16()) {
    return SampleBuffer::linearPcm(Bytes(480 * format.bytesPerFrame, static_cast<std::uint8_t>(index)),
                                   format, MediaTime::fromNanoseconds(index * 10 * kMillisecond));
}

// A SYNC's or ASYN's bytes with its code replaced by four times `letter`: a kind nobody knows.
Bytes withCode(Bytes packet, char letter) {
    std::fill_n(packet.begin() + 16, 4, static_cast<std::uint8_t>(letter));
    return packet;
}

using Endings = std::vector<std::pair<std::string, bool>>;

class UsbScreenSessionTest : public testing::Test {
protected:
    void SetUp() override { start(); }

    void start(ScreenSession::Timeouts timeouts = {}) {
        session.reset();
        forget();
        endings.clear();
        writable = true;
        ScreenSession::Events events;
        events.send = [this](const Bytes& packet) { return writable && (sent.push_back(packet), true); };
        events.videoFormat = [this](const auto& format) { record("videoFormat", videoFormats, format); };
        events.video = [this](const SampleBuffer& sample) {
            record("video", videos, sample);
            if (onVideo)
                onVideo();
        };
        events.audioFormat = [this](const auto& format) { record("audioFormat", audioFormats, format); };
        events.audio = [this](const SampleBuffer& sample) { record("audio", audios, sample); };
        events.ended = [this](const std::string& reason, bool orderly) {
            record("ended", endings, std::pair(reason, orderly));
            if (onEnded)
                onEnded();
        };
        events.log = [this](const std::string& line) { logs.push_back(line); };
        session = std::make_unique<ScreenSession>(
            std::move(events), [this] { return now; }, timeouts);
    }

    template <class T, class V> void record(const char* event, std::vector<T>& into, V&& value) {
        into.push_back(std::forward<V>(value));
        order.emplace_back(event);
    }

    void forget() {
        sent = {}, videoFormats = {}, videos = {}, audioFormats = {}, audios = {}, order = {}, logs = {};
    }

    void phone(const Packet& packet) { session->received(buildPacket(packet)); }
    static ClockRef clockIn(const Bytes& reply) { return std::get<Reply>(parsePacket(reply)).clock(); }

    void expectSent(std::initializer_list<Packet> expected) {
        std::vector<Bytes> want;
        for (const auto& packet : expected)
            want.push_back(buildPacket(packet));
        EXPECT_EQ(std::exchange(sent, {}), want);
    }

    void expectNothingSent() { EXPECT_EQ(std::exchange(sent, {}).size(), 0U); }

    // The phone's greeting and audio start; it learns our audio clock from our reply, as the phone does.
    void greet() {
        phone(Ping{});
        phone(SyncCwpa{kNoClock, 0x11, kDeviceAudioClock});
        ASSERT_EQ(sent.size(), 4U);
        ourAudioClock = clockIn(sent[1]);
    }

    // The phone's side of the handshake, as the documentation describes it, up to streaming.
    void handshake() {
        greet();
        phone(SyncAfmt{ourAudioClock, 0x12, AudioStreamDescription::pcm48kStereo16()});
        phone(SyncCvrp::withFormat(0x13, kDeviceVideoClock, kPortrait));
        ASSERT_EQ(sent.size(), 7U);
        ourVideoClock = clockIn(sent[5]);
        forget();
    }

    std::int64_t now = 7 * kSecond;
    bool writable = true;
    std::function<void()> onVideo, onEnded;
    std::vector<Bytes> sent;
    std::vector<FormatDescription> videoFormats;
    std::vector<AudioStreamDescription> audioFormats;
    std::vector<SampleBuffer> videos, audios;
    std::vector<std::string> order;
    Endings endings;
    std::vector<std::string> logs;
    ClockRef ourAudioClock = 0, ourVideoClock = 0;
    std::unique_ptr<ScreenSession> session;
};

} // namespace

// The documentation's dictionaries, values of each type and its audio format have exact bytes both ways, and
// nested values of every kind round-trip.
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
    // The documented audio format, both ways: this pins every field of the constant.
    Bytes format =
        hex("00000000 0070E740 6D63706C 4C000000 04000000 01000000 04000000 02000000 10000000 00000000");
    EXPECT_EQ(parseAudioStreamDescription(format), AudioStreamDescription::pcm48kStereo16());
    EXPECT_EQ(buildAudioStreamDescription(AudioStreamDescription::pcm48kStereo16()), format);
    // Index keys take four bytes.
    Bytes bytes = hex("25000000 74636964 1D000000 7679656B 0C000000 6B786469 07000000 09000000 766C7562 01");
    dictionary = parseDictionary(bytes);
    EXPECT_EQ(dictionary, Dictionary{}.add(7U, true));
    EXPECT_EQ(dictionary.find("7"), nullptr);
    EXPECT_EQ(buildDictionary(dictionary), bytes);
    // Nested values of every kind round-trip.
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
    // Every truncation is an error.
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

TEST(UsbPacket, EveryCompleteDocumentedPacketParsesAndRebuildsExactlyAndOtherPacketsRoundTrip) {
    const std::pair<const Bytes*, std::string_view> dumps[] = {
        {&kPing, "PING"},      {&kCwpa, "SYNC CWPA"}, {&kCwpaReply, "RPLY"}, {&kAfmt, "SYNC AFMT"},
        {&kAfmtReply, "RPLY"}, {&kCvrpReply, "RPLY"}, {&kClok, "SYNC CLOK"}, {&kClokReply, "RPLY"},
        {&kTime, "SYNC TIME"}, {&kTimeReply, "RPLY"}, {&kOg, "SYNC OG"},     {&kOgReply, "RPLY"},
        {&kStop, "SYNC STOP"}, {&kStopReply, "RPLY"}, {&kNeed, "ASYN NEED"}, {&kHpd0AsPrinted, "ASYN HPA0"},
        {&kHpa0, "ASYN HPA0"}, {&kRels, "ASYN RELS"},
    };
    for (const auto& [bytes, name] : dumps) {
        Packet packet = parsePacket(*bytes);
        EXPECT_EQ(packetName(packet), name);
        EXPECT_EQ(buildPacket(packet), *bytes) << name;
    }

    // What the documented dumps above do not already show in both directions.
    AsynEat eat{kOurAudioClock,
                SampleBuffer::linearPcm(Bytes(4 * 480, 7), AudioStreamDescription::pcm48kStereo16(),
                                        MediaTime::fromNanoseconds(1'000'000))};
    const Packet packets[] = {
        SyncCvrp::withFormat(3, kDeviceVideoClock, FormatDescription::h264(1178, 2556, kSps, kPps)),
        SyncSkew{kOurTimeClock, 6, hex("01020304")},
        AsynSprp{kStreamClock, Entry{std::string("ObeyEmptyMediaMarkers"), true}},
        AsynSprp{kStreamClock, Entry{std::string("RenderEmptyMedia"), false}},
        AsynTjmp{kStreamClock, Bytes(52, 0xA5)},
        videoFeed(),
        eat,
        Reply::withSkew(12, 47999.5),
        AsynHpd1{kNoClock, Dictionary{}.add(std::string("Valeria"), true)},
        AsynHpd0{},
    };
    for (const auto& packet : packets) {
        Bytes bytes = buildPacket(packet);
        Packet parsed = parsePacket(bytes);
        EXPECT_EQ(parsed, packet) << packetName(packet);
        EXPECT_EQ(buildPacket(parsed), bytes) << packetName(packet);
    }
    auto parsedEat = parseAs<AsynEat>(buildPacket(eat));
    EXPECT_EQ(parsedEat.buffer.sampleCount, 480U);
    EXPECT_EQ(packetName(eat), "ASYN EAT!");
}

TEST(UsbPacket, DocumentedRequestsVideoStartAndHostStreamMessagesCarryTheirFieldsAndTheRepliesRoundTrip) {
    EXPECT_EQ(parseAs<SyncCwpa>(kCwpa), (SyncCwpa{kNoClock, 0x113573DE0, kDeviceAudioClock}));
    EXPECT_EQ(buildPacket(Reply::withClock(0x113573DE0, kOurAudioClock)), kCwpaReply);
    EXPECT_EQ(parseAs<Reply>(kCwpaReply).clock(), kOurAudioClock);

    EXPECT_EQ(parseAs<SyncAfmt>(kAfmt),
              (SyncAfmt{kOurAudioClock, 0x113229D80, AudioStreamDescription::pcm48kStereo16()}));
    EXPECT_EQ(buildPacket(Reply::audioFormatAccepted(0x113229D80)), kAfmtReply);
    Dictionary answer = parseAs<Reply>(kAfmtReply).dictionary();
    ASSERT_NE(answer.find("Error"), nullptr);
    EXPECT_EQ(std::get<Number>(*answer.find("Error")).integer(), 0);

    EXPECT_EQ(parseAs<SyncClok>(kClok), (SyncClok{kOurVideoClock, 0x113584970}));
    EXPECT_EQ(buildPacket(Reply::withClock(0x113584970, kOurTimeClock)), kClokReply);
    EXPECT_EQ(parseAs<SyncTime>(kTime), (SyncTime{kOurTimeClock, 0x113223D50}));
    MediaTime now = MediaTime::fromNanoseconds(0xBA62C442E1E1);
    EXPECT_EQ(buildPacket(Reply::withTime(0x113223D50, now)), kTimeReply);
    EXPECT_EQ(parseAs<Reply>(kTimeReply).time(), now);
    EXPECT_NEAR(*parseAs<Reply>(kTimeReply).time().seconds(), 204933.362278881, 1e-9);

    // OG and STOP are answered with four zero bytes.
    EXPECT_EQ(parseAs<SyncOg>(kOg), (SyncOg{kOurTimeClock, 0x102D32F30, 1}));
    EXPECT_EQ(buildPacket(Reply::empty(0x102D32F30)), kOgReply);
    EXPECT_EQ(parseAs<SyncStop>(kStop), (SyncStop{0x7FBA35425FF0, 0x102FD4910}));
    EXPECT_EQ(buildPacket(Reply::empty(0x102FD4910)), kStopReply);

    EXPECT_EQ(parseAs<AsynNeed>(kNeed), AsynNeed{kDeviceVideoClock});
    EXPECT_EQ(parseAs<AsynRels>(kRels), AsynRels{0x7FBA35608A00});
    EXPECT_EQ(buildPacket(AsynHpa0{0x102C5FC10}), kHpa0);
    // The HPD0 example prints the HPA0 code; the stop-video message has its own code, "hpd0".
    EXPECT_EQ(parseAs<AsynHpa0>(kHpd0AsPrinted), AsynHpa0{kNoClock});
    EXPECT_EQ(buildPacket(AsynHpd0{}), hex("14000000 6E797361 01000000 00000000 30647068"));
    EXPECT_EQ(buildPacket(AsynHpd1{}), hex("14000000 6E797361 01000000 00000000 31647068"));
    EXPECT_EQ(buildPacket(AsynHpa1{kDeviceAudioClock, std::nullopt}),
              hex("14000000 6E797361 E0740000 5A130040 31617068"));
    // With stream properties: the same header, then a dictionary.
    AsynHpa1 withProperties{kDeviceAudioClock, Dictionary{}.add(std::string("Valeria"), true)};
    Bytes bytes = buildPacket(withProperties);
    EXPECT_EQ(bytes, concat({hex("3C000000 6E797361 E0740000 5A130040 31617068"), kBooleanDictionary}));
    EXPECT_EQ(parseAs<AsynHpa1>(bytes), withProperties);

    // The video start matches the documented header and carries the parameter sets.
    // The documentation prints the CVRP's header and leaves out its 613-byte dictionary: we pad ours
    // to that size and compare the header byte for byte.
    SyncCvrp cvrp =
        SyncCvrp::withFormat(0x1135659D0, kDeviceVideoClock, FormatDescription::h264(1178, 2556, kSps, kPps));
    std::size_t unpadded = buildDictionary(cvrp.payload).size();
    std::size_t paddingEntry = 8 + (8 + 7) + 8;
    ASSERT_LT(unpadded + paddingEntry, 613U);
    cvrp.payload.add(std::string("Padding"), Bytes(613 - unpadded - paddingEntry, 0));
    bytes = buildPacket(cvrp);
    ASSERT_EQ(bytes.size(), 649U);
    EXPECT_EQ(prefix(bytes, kCvrpHeader.size()), kCvrpHeader);

    auto parsed = parseAs<SyncCvrp>(bytes);
    EXPECT_EQ(parsed, cvrp);
    auto format = parsed.format();
    ASSERT_TRUE(format);
    EXPECT_EQ(format->dimensions, (VideoDimensions{1178, 2556}));
    EXPECT_EQ(format->h264ParameterSets(), (H264ParameterSets{kSps, kPps}));

    EXPECT_EQ(buildPacket(Reply::withClock(0x1135659D0, kOurVideoClock)), kCvrpReply);
    EXPECT_EQ((SyncCvrp{kNoClock, 1, 2, Dictionary{}.add(std::string("x"), true)}.format()), std::nullopt);
}

TEST(UsbPacket, DumpsWithOtherLengthsParseOnceTheLengthIsTheirsAndPartlyPrintedOnesMatchTheirHeaders) {
    const struct {
        const Bytes& printed;
        const char* error;
        std::uint32_t length;
        Packet packet;
    } rows[] = {
        // The printed request's length field says 32 but 28 bytes are shown; its column heading says 28.
        {kSkewAsPrinted, "SYNC packet's length field says 32 bytes, but 28 were given", 28,
         SyncSkew{kOurTimeClock, 0x102FDB960, {}}},
        // The printed reply's length field says 24 but it shows 28 bytes: status word and a float64.
        {kSkewReplyAsPrinted, "RPLY packet's length field says 24 bytes, but 28 were given", 28,
         Reply::withSkew(0x102FDB960, 48000.0)},
        // SRAT: the fields shown (two float32, a media time) make 52; TBAS: two references make 28.
        {kSratAsPrinted, "length field says 49 bytes, but 52", 52,
         AsynSrat{kStreamClock, 1.0F, 1.0F, MediaTime::fromNanoseconds(0x15CC10CFA18E44CB)}},
        {kTbasAsPrinted, "length field says 24 bytes, but 28", 28, AsynTbas{kStreamClock, 0x1024490C0}},
    };
    for (const auto& row : rows) {
        EXPECT_THAT(protocolError([&] { parsePacket(row.printed); }), HasSubstr(row.error));
        Bytes fixed = withLength(row.printed, row.length);
        EXPECT_EQ(parsePacket(fixed), row.packet) << row.error;
        EXPECT_EQ(buildPacket(row.packet), fixed) << row.error;
    }
    EXPECT_EQ(parseAs<Reply>(withLength(kSkewReplyAsPrinted, 28)).skew(), 48000.0);

    // TJMP: 72 bytes, of which the documentation shows the header and the first 8 payload bytes.
    Bytes payload = concat({hex("C0904402 01000000"), Bytes(44, 0)});
    Bytes tjmp = buildPacket(AsynTjmp{kStreamClock, payload});
    ASSERT_EQ(tjmp.size(), 72U);
    EXPECT_EQ(prefix(tjmp, 28), hex("48000000 6E797361 18BC2311 01000000 706D6A74 C0904402 01000000"));
    EXPECT_EQ(parseAs<AsynTjmp>(tjmp).payload, payload);

    // SPRP: the documentation shows the header after the length; its length (32) is a placeholder, too
    // short for any key-value pair.
    Bytes sprp = buildPacket(AsynSprp{kStreamClock, Entry{std::string("ObeyEmptyMediaMarkers"), true}});
    EXPECT_EQ(Bytes(sprp.begin() + 4, sprp.begin() + 20), hex("6E797361 18BC2311 01000000 70727073"));

    // EAT!: "just like FEED", with the code 0x21746165.
    Bytes eat = buildPacket(AsynEat{kOurAudioClock, SampleBuffer{}});
    EXPECT_EQ(eat, hex("1C000000 6E797361 B00CE26C A67F0000 21746165 08000000 66756273"));

    // The documented FEED holds a 91587-byte sample buffer: we make one of that size.
    AsynFeed feed{kStreamClock, SampleBuffer::h264({Bytes{}}, MediaTime::fromNanoseconds(0), MediaTime{})};
    std::size_t empty = buildSampleBuffer(feed.buffer).size();
    feed.buffer =
        SampleBuffer::h264({Bytes(91587 - empty, 0x41)}, MediaTime::fromNanoseconds(0), MediaTime{});
    Bytes bytes = buildPacket(feed);
    ASSERT_EQ(bytes.size(), 91607U);
    EXPECT_EQ(prefix(bytes, kFeedHeader.size()), kFeedHeader);
    EXPECT_EQ(parseAs<AsynFeed>(bytes), feed);
}

TEST(UsbPacket, DamagedPacketsAndRepliesReadAsTheWrongAnswerAreErrors) {
    const std::pair<Bytes, const char*> rows[] = {
        {hex("10000000 676E69"), "only 7 bytes were given"},
        {withLength(kClok, 29), "says 29 bytes, but 28"},
        {withLength(kClok, 0xFFFFFFFF), "says 4294967295 bytes"},
        {hex("08000000 78787878"), "unknown code 'xxxx'"},
        {hex("1C000000 636E7973 5002D16C A67F0000 78787878 70495813 01000000"),
         "SYNC packet carries the unknown request 'xxxx'"},
        {hex("14000000 6E797361 A08D5313 01000000 78787878"),
         "ASYN packet carries the unknown message 'xxxx'"},
        // Truncated: a CWPA without its device clock, a CLOK without all of its correlation id, a PING.
        {withLength(prefix(kCwpa, 28), 28), "SYNC CWPA packet is truncated"},
        {withLength(prefix(kClok, 24), 24), "SYNC packet is truncated"},
        {hex("0C000000 676E6970 00000000"), "PING packet is truncated"},
        {withLength(concat({kClok, Bytes(4, 0)}), 32), "SYNC CLOK packet has 4 unexpected bytes"},
        {withLength(concat({kNeed, Bytes(1, 0)}), 21), "ASYN NEED packet has 1 unexpected bytes"},
        // A FEED whose sample buffer claims more than the packet holds, or is something else.
        {hex("1C000000 6E797361 18BC2311 01000000 64656566 F0FFFFFF 66756273"),
         "'sbuf' atom of 4294967280 bytes but only 8"},
        {hex("1D000000 6E797361 18BC2311 01000000 64656566 09000000 766C7562 01"),
         "'bulv' atom where a sample buffer is expected"},
        // A CVRP whose payload is not a dictionary.
        {hex("2D000000 636E7973 01000000 00000000 70727663 D0595613 01000000 A08D5313 01000000 "
             "09000000 766C7562 01"),
         "'bulv' atom where a dictionary is expected"},
    };
    for (const auto& [bytes, error] : rows)
        EXPECT_THAT(protocolError([&] { parsePacket(bytes); }), HasSubstr(error));
    EXPECT_THAT(protocolError([] { Reply::empty(1).clock(); }),
                HasSubstr("4 payload bytes, not a clock reference"));
    EXPECT_THAT(protocolError([] { Reply::withClock(1, 2).time(); }),
                HasSubstr("8 payload bytes, not a media time"));
    EXPECT_THAT(protocolError([] { Reply::withTime(1, {}).skew(); }),
                HasSubstr("24 payload bytes, not a skew"));
    EXPECT_THROW(Reply::withClock(1, 2).dictionary(), ProtocolError);
}

TEST(UsbPacket, EveryPrefixAndEveryByteChangeIsRejectedOrRebuildsConsistently) {
    // A cheap, deterministic relative of the fuzz target: no input may crash the parser, and whatever
    // it accepts must rebuild to bytes that parse to the same packet.
    const Bytes samples[] = {buildPacket(videoFeed()),
                             buildPacket(SyncCvrp::withFormat(
                                 3, kDeviceVideoClock, FormatDescription::h264(1178, 2556, kSps, kPps))),
                             kAfmtReply, kAfmt};
    std::size_t accepted = 0;
    for (const auto& sample : samples) {
        auto check = [&accepted](const Bytes& input) {
            Packet packet;
            try {
                packet = parsePacket(input);
            } catch (const ProtocolError&) {
                return;
            }
            ++accepted;
            Bytes rebuilt = buildPacket(packet);
            EXPECT_EQ(buildPacket(parsePacket(rebuilt)), rebuilt);
        };
        for (std::size_t size = 0; size < sample.size(); ++size) {
            Bytes cut = prefix(sample, size);
            check(size >= 4 ? withLength(cut, static_cast<std::uint32_t>(size)) : cut);
        }
        for (std::size_t i = 0; i < sample.size(); ++i)
            for (std::uint8_t change : {std::uint8_t{0x00}, std::uint8_t{0xFF},
                                        std::uint8_t(sample[i] ^ 0x01), std::uint8_t(sample[i] + 0x08)}) {
                Bytes mutated = sample;
                mutated[i] = change;
                check(mutated);
            }
    }
    // Many changes land in data bytes and are accepted; the check above ran on them.
    EXPECT_GT(accepted, 100U);
}

// Every split of three packets into two transfers: a packet comes out with its last byte, and the bytes
// of the one unfinished wait.
TEST(UsbPacketSplitter, EverySplitIntoTwoTransfersGivesTheSamePackets) {
    const std::size_t ends[] = {16, 44, 64};
    for (std::size_t cut = 0; cut <= kStream.size(); ++cut) {
        PacketSplitter splitter;
        splitter.append(ByteView(kStream).first(cut));
        auto packets = drain(splitter);
        std::size_t complete = packets.size();
        EXPECT_EQ(complete, std::size_t(std::upper_bound(std::begin(ends), std::end(ends), cut) - ends));
        EXPECT_EQ(splitter.pending(), cut - (complete ? ends[complete - 1] : 0)) << "cut at " << cut;
        splitter.append(ByteView(kStream).subspan(cut));
        for (auto& packet : drain(splitter))
            packets.push_back(std::move(packet));
        EXPECT_EQ(packets, (std::vector<Bytes>{kPing, kClok, kNeed})) << "cut at " << cut;
        EXPECT_EQ(splitter.pending(), 0U);
        EXPECT_EQ(splitter.next(), std::nullopt);
    }
    PacketSplitter empty; // a packet may have an empty body
    empty.append(hex("08000000 78787878"));
    EXPECT_EQ(drain(empty), std::vector<Bytes>{hex("08000000 78787878")});
}

// The good packet before a bad length still comes out; the error comes once the length is complete, before
// any body, and stays.
TEST(UsbPacketSplitter, ALengthBelowTheHeaderIsAnErrorForGoodAndImpossibleLengthsAreErrorsBeforeTheBodyArrives) {
    PacketSplitter splitter;
    EXPECT_EQ(splitter.next(), std::nullopt);
    splitter.append(concat({kPing, hex("070000")}));
    EXPECT_EQ(splitter.next(), kPing);
    EXPECT_EQ(splitter.next(), std::nullopt);
    splitter.append(hex("00"));
    EXPECT_THAT(protocolError([&] { splitter.next(); }), HasSubstr("says 7 bytes, less than its own 8-byte header"));
    splitter.append(kPing);
    EXPECT_THAT(protocolError([&] { splitter.next(); }), HasSubstr("says 7 bytes"));

    const struct {
        std::size_t limit;
        Bytes bytes;
        const char* error;
    } rows[] = {
        {16777216, hex("00000000"), "says 0 bytes"},
        {16777216, hex("01000001"), "says 16777217 bytes, more than the 16777216-byte limit"},
        {64, hex("41000000"), "says 65 bytes, more than the 64-byte limit"},
        {16777216, hex("FFFFFFFF"), "says 4294967295 bytes"},
    };
    for (const auto& row : rows) {
        PacketSplitter splitter(row.limit);
        splitter.append(row.bytes);
        EXPECT_THAT(protocolError([&] { splitter.next(); }), HasSubstr(row.error));
    }
    PacketSplitter atLimit;
    atLimit.append(hex("00000001 676E6970"));
    EXPECT_EQ(atLimit.next(), std::nullopt);
    EXPECT_EQ(atLimit.pending(), 8U);
}

TEST_F(UsbScreenSessionTest, TheHandshakeIsAnsweredByteForByte) {
    session->received(kPing);
    EXPECT_EQ(std::exchange(sent, {}), std::vector<Bytes>{kPing});
    EXPECT_EQ(session->state(), State::starting);

    session->received(kCwpa);
    ASSERT_EQ(sent.size(), 3U);
    // Our answer names the request and our new audio clock; video and sound are then switched on, the
    // sound with the phone's audio clock.
    EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 20),
              hex("1C000000 796C7072 E03D5713 01000000 00000000"));
    ClockRef ourAudio = clockIn(sent[0]);
    expectSent({Reply::withClock(0x113573DE0, ourAudio), AsynHpd1{kNoClock, std::nullopt},
                AsynHpa1{kDeviceAudioClock, std::nullopt}});

    phone(SyncAfmt{ourAudio, 0x22, AudioStreamDescription::pcm48kStereo16()});
    expectSent({Reply::audioFormatAccepted(0x22)});
    EXPECT_EQ(audioFormats, std::vector{AudioStreamDescription::pcm48kStereo16()});
    EXPECT_EQ(session->state(), State::starting);
    // Sound may come before video has started.
    phone(AsynEat{ourAudio, soundChunk(1)});
    EXPECT_EQ(audios, std::vector{soundChunk(1)});
    expectNothingSent();

    phone(SyncCvrp::withFormat(0x33, kDeviceVideoClock, kPortrait));
    ASSERT_EQ(sent.size(), 2U);
    ClockRef ourVideo = clockIn(sent[0]);
    // The first NEED carries the phone's video clock, exactly as the documentation prints it.
    EXPECT_EQ(sent[1], kNeed);
    expectSent({Reply::withClock(0x33, ourVideo), AsynNeed{kDeviceVideoClock}});
    EXPECT_EQ(videoFormats, std::vector{kPortrait});
    EXPECT_EQ(session->state(), State::streaming);
    EXPECT_TRUE(endings.empty());
}

TEST_F(UsbScreenSessionTest, ClocksAreNewAndTellTheTimeSinceTheyWereMadeAndOnlyRequestsAreAnswered) {
    handshake();
    std::int64_t videoClockMade = now;
    now += kSecond;
    phone(SyncClok{ourVideoClock, 0x50});
    EXPECT_EQ(std::get<Reply>(parsePacket(sent.at(0))).correlationId, 0x50U);
    ClockRef clock = clockIn(std::exchange(sent, {}).at(0));
    for (ClockRef taken :
         {ClockRef{0}, kNoClock, kDeviceAudioClock, kDeviceVideoClock, ourAudioClock, ourVideoClock})
        EXPECT_NE(clock, taken);
    now += 1500 * kMillisecond;
    phone(SyncTime{clock, 0x51});
    expectSent({Reply::withTime(0x51, MediaTime::fromNanoseconds(1500 * kMillisecond))});
    // Each clock counts from its own start.
    phone(SyncTime{ourVideoClock, 0x53});
    expectSent({Reply::withTime(0x53, MediaTime::fromNanoseconds(now - videoClockMade))});
    // Skew and OG are answered; announcements are not.
    phone(SyncSkew{ourAudioClock, 0x60, {}});
    expectSent({Reply::withSkew(0x60, 48000.0)});
    session->received(kOg);
    EXPECT_EQ(std::exchange(sent, {}), std::vector<Bytes>{kOgReply});
    phone(AsynSprp{ourVideoClock, Entry{std::string("ObeyEmptyMediaMarkers"), true}});
    phone(AsynTbas{ourVideoClock, ClockRef{0x111234BC18}});
    phone(AsynRels{ClockRef{0x111234BC18}});
    expectNothingSent();
    EXPECT_EQ(session->state(), State::streaming);
}

TEST_F(UsbScreenSessionTest, EveryFeedIsAnsweredWithOneNeedAndChangedFormatsAreAnnouncedFirst) {
    handshake();
    // The first frame repeats the format CVRP gave: nothing new to announce.
    std::vector<SampleBuffer> expected{videoFrame(1, kPortrait), videoFrame(2, kLandscape), videoFrame(3),
                                       videoFrame(4, kLandscape), videoFrame(5, kPortrait)};
    for (const auto& frame : expected) {
        phone(AsynFeed{ourVideoClock, frame});
        expectSent({AsynNeed{kDeviceVideoClock}});
    }
    EXPECT_EQ(order, (std::vector<std::string>{"video", "videoFormat", "video", "video", "video",
                                               "videoFormat", "video"}));
    EXPECT_EQ(videoFormats, (std::vector{kLandscape, kPortrait}));
    EXPECT_EQ(videos, expected);
    forget();

    AudioStreamDescription cd = AudioStreamDescription::pcm48kStereo16();
    cd.sampleRate = 44100;
    for (const auto& chunk : {soundChunk(1), soundChunk(2, cd), soundChunk(3, cd)})
        phone(AsynEat{ourAudioClock, chunk});
    EXPECT_EQ(order, (std::vector<std::string>{"audio", "audioFormat", "audio", "audio"}));
    EXPECT_EQ(audioFormats, std::vector{cd});
    EXPECT_EQ(audios, (std::vector{soundChunk(1), soundChunk(2, cd), soundChunk(3, cd)}));
    expectNothingSent(); // sound is never asked for
}

TEST_F(UsbScreenSessionTest, EachWaitEndsAfterItsTimeOutAndStreamingHasNone) {
    // Ticks until one millisecond before `budget` has passed, then past it, and expects `ending`.
    auto expectTimeOut = [this](std::int64_t budget, const std::string& ending) {
        State waiting = session->state();
        forget();
        now += budget - kMillisecond;
        session->tick();
        EXPECT_EQ(session->state(), waiting);
        EXPECT_TRUE(endings.empty());
        now += kMillisecond;
        session->tick();
        EXPECT_EQ(endings, (Endings{{ending, false}}));
        expectNothingSent();
    };
    start({.pingNanoseconds = 2500 * kMillisecond});
    now += 60 * kSecond; // the owner has not started ticking yet
    session->tick();
    expectTimeOut(2500 * kMillisecond, "the iPhone did not answer: no screen-sharing greeting within 2.5 s");
    // The greeting's deadline no longer applies; the handshake's counts from the greeting.
    start();
    session->tick();
    now += 4 * kSecond;
    greet();
    expectTimeOut(10 * kSecond,
                  "the iPhone did not answer: screen sharing did not start within 10 s of its greeting");
    start();
    session->tick();
    handshake();
    now += 3600 * kSecond; // a screen that does not change sends nothing
    session->tick();
    session->stop();
    expectTimeOut(3 * kSecond,
                  "the iPhone did not answer: it did not confirm the end of screen sharing within 3 s");
}

TEST_F(UsbScreenSessionTest, StopAsksThePhoneOnceAndEndsOrderlyOnItsStop) {
    handshake();
    session->stop();
    session->stop();
    expectSent({AsynHpa0{kDeviceAudioClock}, AsynHpd0{kNoClock}});
    EXPECT_EQ(session->state(), State::stopping);
    // Frames already on their way are handed on, but no more are asked for.
    phone(AsynFeed{ourVideoClock, videoFrame(9)});
    EXPECT_EQ(videos, std::vector{videoFrame(9)});
    // A stop of another clock is answered and the wait goes on.
    phone(SyncStop{ourAudioClock, 0x71});
    expectSent({Reply::empty(0x71)});
    EXPECT_EQ(session->state(), State::stopping);
    phone(SyncStop{ourVideoClock, 0x70});
    expectSent({Reply::empty(0x70)});
    EXPECT_EQ(session->state(), State::ended);
    EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));

    // Before streaming, what was switched on is switched off and the session ends at once.
    for (bool greeted : {false, true}) {
        start();
        if (greeted)
            phone(Ping{}), sent.clear();
        session->stop();
        session->received(kPing);
        expectNothingSent();
        EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));
    }
    start();
    greet();
    sent.clear();
    session->stop();
    expectSent({AsynHpa0{kDeviceAudioClock}, AsynHpd0{kNoClock}});
    EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));

    // A video handler may stop the session.
    start();
    handshake();
    onVideo = [this] {
        if (videos.size() == 1)
            session->stop();
    };
    // Both frames arrive in one transfer; the second is handled after the stop, and asks for no more.
    session->received(concat({buildPacket(AsynFeed{ourVideoClock, videoFrame(1)}),
                              buildPacket(AsynFeed{ourVideoClock, videoFrame(2)})}));
    expectSent({AsynNeed{kDeviceVideoClock}, AsynHpa0{kDeviceAudioClock}, AsynHpd0{kNoClock}});
    EXPECT_EQ(videos, (std::vector{videoFrame(1), videoFrame(2)}));
}

TEST_F(UsbScreenSessionTest, BadPacketsEndTheSessionUnansweredAndNothingAfterIsReadAndAFailedWriteEndsItWithoutOrder) {
    auto expectEnds = [this](const Bytes& bytes, const testing::Matcher<const std::string&>& ending) {
        auto videoClock = session->deviceVideoClock();
        forget();
        session->received(bytes);
        EXPECT_TRUE(videoFormats.empty());
        EXPECT_EQ(session->deviceVideoClock(), videoClock);
        EXPECT_EQ(session->state(), State::ended);
        ASSERT_EQ(endings.size(), 1U);
        EXPECT_THAT(endings[0].first, ending);
        EXPECT_FALSE(endings[0].second);
        phone(AsynFeed{ourVideoClock, videoFrame(2)});
        EXPECT_TRUE(videos.empty());
        expectNothingSent();
        start();
    };
    auto damaged = [](const char* what) {
        return testing::AllOf(testing::StartsWith("the iPhone sent a damaged packet: "), HasSubstr(what));
    };
    handshake();
    expectEnds(concat({hex("03000000 6E797361"), buildPacket(AsynFeed{ourVideoClock, videoFrame(1)})}),
               damaged("8-byte header"));
    // A request cut short, its length telling the truth about it.
    phone(Ping{});
    Bytes cwpa = buildPacket(SyncCwpa{kNoClock, 0x11, kDeviceAudioClock});
    cwpa.erase(cwpa.end() - 3, cwpa.end());
    expectEnds(withLength(cwpa, 33), damaged("SYNC CWPA"));
    handshake();
    SampleBuffer overrun = videoFrame(1);
    overrun.data = hex("00000009 65888400");
    expectEnds(buildPacket(AsynFeed{ourVideoClock, overrun}), damaged("H.264 sample"));
    handshake();
    expectEnds(buildPacket(SyncCvrp::withFormat(0x90, 0x1234, kLandscape)),
               HasSubstr("damaged packet: a second SYNC CVRP"));
    expectEnds(kCwpa, testing::Eq("the iPhone did not start screen sharing: its first packet was SYNC CWPA, "
                                  "not the greeting (PING)"));
    expectEnds(withCode(buildPacket(AsynRels{5}), 'z'),
               HasSubstr("its first packet was ASYN message 'zzzz'"));

    writable = false;
    phone(Ping{});
    EXPECT_EQ(endings, (Endings{{"couldn't write to the iPhone (PING)", false}}));
    start();
    handshake();
    writable = false;
    phone(AsynFeed{ourVideoClock, videoFrame(1)});
    phone(AsynFeed{ourVideoClock, videoFrame(2)});
    // The NEED goes out before the frame is handed on; once it fails, nothing more is.
    EXPECT_TRUE(videos.empty());
    EXPECT_EQ(endings, (Endings{{"couldn't write to the iPhone (ASYN NEED)", false}}));
    start();
    handshake();
    writable = false;
    session->stop();
    EXPECT_EQ(endings, (Endings{{"couldn't write to the iPhone (ASYN HPA0)", false}}));
    EXPECT_EQ(session->state(), State::ended);
}

TEST_F(UsbScreenSessionTest, APhoneThatStopsItsVideoEndsTheSessionAndUnknownKindsAndHarmlessSurprisesAreSkipped) {
    handshake();
    onEnded = [this] {
        session->stop();
        session->received(buildPacket(AsynFeed{ourVideoClock, videoFrame(1)}));
    };
    // A stop of another clock is answered and streaming goes on.
    phone(SyncStop{ourAudioClock, 0x81});
    expectSent({Reply::empty(0x81)});
    EXPECT_EQ(session->state(), State::streaming);
    phone(SyncStop{ourVideoClock, 0x80});
    expectSent({Reply::empty(0x80)});
    EXPECT_EQ(endings, (Endings{{"the iPhone stopped screen sharing", false}}));
    forget();
    phone(AsynEat{ourAudioClock, soundChunk(1)});
    phone(SyncClok{ourVideoClock, 0x81});
    session->received(kPing);
    now += 3600 * kSecond;
    session->tick();
    expectNothingSent();
    EXPECT_TRUE(order.empty());

    start();
    handshake();
    phone(AsynRels{kDeviceVideoClock});
    expectNothingSent();
    EXPECT_EQ(endings, (Endings{{"the iPhone stopped screen sharing", false}}));

    // Unknown kinds and harmless surprises are skipped.
    onEnded = nullptr;
    start();
    phone(Ping{});
    forget();
    // Video before video has started, sound before sound has, a second greeting, an answer to nothing, and
    // what only we send.
    phone(AsynFeed{0x99, videoFrame(1)});
    phone(AsynEat{0x98, soundChunk(1)});
    phone(Ping{});
    phone(Reply::empty(0x99));
    phone(AsynNeed{kDeviceVideoClock});
    expectNothingSent();
    EXPECT_EQ(session->state(), State::starting);
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(logs.size(), 5U) << testing::PrintToString(logs);
    start();
    handshake();
    session->received(withCode(buildPacket(AsynRels{ourVideoClock}), 'z'));
    session->received(withCode(buildPacket(SyncClok{ourVideoClock, 0xA0}), 'q'));
    expectNothingSent();
    EXPECT_THAT(logs, Contains(HasSubstr("ASYN message 'zzzz'")));
    EXPECT_THAT(logs, Contains(HasSubstr("SYNC request 'qqqq'")));
    phone(AsynFeed{ourVideoClock, videoFrame(1)}); // and streaming goes on
    expectSent({AsynNeed{kDeviceVideoClock}});
}
