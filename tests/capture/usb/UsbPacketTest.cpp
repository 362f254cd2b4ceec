// The screen-sharing protocol's packets byte for byte, and the splitter that cuts transfers into packets.
#include "capture/usb/UsbPacket.hpp"
#include "capture/usb/UsbPacketSplitter.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

using namespace pokescope::usbscreen;
using namespace pokescope::usbscreen::test;
using testing::HasSubstr;

namespace {

constexpr ClockRef kOurAudioClock = 0x7FA66CE20CB0;
constexpr ClockRef kOurVideoClock = 0x7FA66CD10250;
constexpr ClockRef kOurTimeClock = 0x7FA67CC17980;
constexpr ClockRef kStreamClock = 0x11123BC18;

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

} // namespace

TEST(UsbPacket, EveryCompleteDocumentedPacketCarriesItsFieldsAndRebuildsExactlyAndOtherPacketsRoundTrip) {
    const MediaTime time = MediaTime::fromNanoseconds(0xBA62C442E1E1);
    const struct {
        const Bytes& bytes;
        Packet packet;
        std::string_view name;
    } dumps[] = {
        {kPing, Ping{}, "PING"},
        {kCwpa, SyncCwpa{kNoClock, 0x113573DE0, kDeviceAudioClock}, "SYNC CWPA"},
        {kCwpaReply, Reply::withClock(0x113573DE0, kOurAudioClock), "RPLY"},
        {kAfmt, SyncAfmt{kOurAudioClock, 0x113229D80, AudioStreamDescription::pcm48kStereo16()}, "SYNC AFMT"},
        {kAfmtReply, Reply::audioFormatAccepted(0x113229D80), "RPLY"},
        {kCvrpReply, Reply::withClock(0x1135659D0, kOurVideoClock), "RPLY"},
        {kClok, SyncClok{kOurVideoClock, 0x113584970}, "SYNC CLOK"},
        {kClokReply, Reply::withClock(0x113584970, kOurTimeClock), "RPLY"},
        {kTime, SyncTime{kOurTimeClock, 0x113223D50}, "SYNC TIME"},
        {kTimeReply, Reply::withTime(0x113223D50, time), "RPLY"},
        // OG and STOP are answered with four zero bytes.
        {kOg, SyncOg{kOurTimeClock, 0x102D32F30, 1}, "SYNC OG"},
        {kOgReply, Reply::empty(0x102D32F30), "RPLY"},
        {kStop, SyncStop{0x7FBA35425FF0, 0x102FD4910}, "SYNC STOP"},
        {kStopReply, Reply::empty(0x102FD4910), "RPLY"},
        {kNeed, AsynNeed{kDeviceVideoClock}, "ASYN NEED"},
        // The HPD0 example prints the HPA0 code; the stop-video message has its own code, "hpd0".
        {kHpd0AsPrinted, AsynHpa0{kNoClock}, "ASYN HPA0"},
        {kHpa0, AsynHpa0{0x102C5FC10}, "ASYN HPA0"},
        {kRels, AsynRels{0x7FBA35608A00}, "ASYN RELS"},
    };
    for (const auto& [bytes, packet, name] : dumps) {
        EXPECT_EQ(parsePacket(bytes), packet) << name;
        EXPECT_EQ(buildPacket(packet), bytes) << name;
        EXPECT_EQ(packetName(packet), name);
    }
    EXPECT_EQ(parseAs<Reply>(kCwpaReply).clock(), kOurAudioClock);
    EXPECT_EQ(parseAs<Reply>(kAfmtReply).dictionary(),
              Dictionary{}.add(std::string("Error"), Number{std::int32_t{0}}));
    EXPECT_EQ(parseAs<Reply>(kTimeReply).time(), time);
    EXPECT_NEAR(*parseAs<Reply>(kTimeReply).time().seconds(), 204933.362278881, 1e-9);

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

TEST(UsbPacket, HostStreamMessagesAndTheVideoStartMatchTheirDocumentedHeaders) {
    EXPECT_EQ(buildPacket(AsynHpd0{}), hex("14000000 6E797361 01000000 00000000 30647068"));
    EXPECT_EQ(buildPacket(AsynHpd1{}), hex("14000000 6E797361 01000000 00000000 31647068"));
    EXPECT_EQ(buildPacket(AsynHpa1{kDeviceAudioClock, std::nullopt}),
              hex("14000000 6E797361 E0740000 5A130040 31617068"));
    // With stream properties: the same header, then a dictionary.
    AsynHpa1 withProperties{kDeviceAudioClock, Dictionary{}.add(std::string("Valeria"), true)};
    Bytes bytes = buildPacket(withProperties);
    EXPECT_EQ(bytes, concat({hex("3C000000 6E797361 E0740000 5A130040 31617068"), kBooleanDictionary}));
    EXPECT_EQ(parseAs<AsynHpa1>(bytes), withProperties);

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

    EXPECT_EQ(parseAs<SyncCvrp>(bytes), cvrp); // its format: the session's handshake test reads it
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
