#include "capture/usb/UsbPacket.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pokescope::usbscreen;
using namespace pokescope::usbscreen::test;
using testing::HasSubstr;

namespace {

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

} // namespace

TEST(UsbPacket, EveryCompleteDocumentedPacketParsesAndRebuildsExactly) {
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
}

TEST(UsbPacket, DocumentedRequestsCarryTheirFieldsAndTheRepliesRoundTrip) {
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
}

TEST(UsbPacket, VideoStartMatchesTheDocumentedHeaderAndCarriesTheParameterSets) {
    // The documentation prints the CVRP's header and leaves out its 613-byte dictionary: we pad ours
    // to that size and compare the header byte for byte.
    SyncCvrp cvrp =
        SyncCvrp::withFormat(0x1135659D0, kDeviceVideoClock, FormatDescription::h264(1178, 2556, kSps, kPps));
    std::size_t unpadded = buildDictionary(cvrp.payload).size();
    std::size_t paddingEntry = 8 + (8 + 7) + 8;
    ASSERT_LT(unpadded + paddingEntry, 613U);
    cvrp.payload.add(std::string("Padding"), Bytes(613 - unpadded - paddingEntry, 0));
    Bytes bytes = buildPacket(cvrp);
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

TEST(UsbPacket, DumpsWhoseLengthFieldsDisagreeWithWhatIsPrintedParseOnceTheLengthIsTheirs) {
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
}

TEST(UsbPacket, HostStreamControlMessages) {
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
    EXPECT_EQ(bytes, concat({hex("3C000000 6E797361 E0740000 5A130040 31617068"),
                             hex("28000000 74636964 20000000 7679656B 0F000000 6B727473 56616C65 726961 "
                                 "09000000 766C7562 01")}));
    EXPECT_EQ(parseAs<AsynHpa1>(bytes), withProperties);
}

TEST(UsbPacket, VideoFeedMatchesTheDocumentedHeader) {
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

TEST(UsbPacket, PartlyPrintedMessagesMatchTheirDocumentedHeaders) {
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
}

// What the documented dumps above do not already show in both directions.
TEST(UsbPacket, OtherPacketsRoundTrip) {
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
