#include "capture/usb/UsbPacket.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pokescope::usbscreen;
using pokescope::usbscreen::test::concat;
using pokescope::usbscreen::test::hex;
using pokescope::usbscreen::test::protocolError;
using testing::HasSubstr;

namespace {

// The protocol documentation's example packets, copied as printed.
const Bytes kPing = hex("10000000 676E6970 00000000 01000000");
const Bytes kCwpa = hex("24000000 636E7973 01000000 00000000 61707763 E03D5713 01000000 E0740000 5A130040");
const Bytes kCwpaReply = hex("1C000000 796C7072 E03D5713 01000000 00000000 B00CE26C A67F0000");
const Bytes kAfmt = hex("44000000 636E7973 B00CE26C A67F0000 746D6661 809D2213 01000000 00000000 0070E740 "
                        "6D63706C 4C000000 04000000 01000000 04000000 02000000 10000000 00000000");
const Bytes kAfmtReply =
    hex("3E000000 796C7072 809D2213 01000000 00000000 2A000000 74636964 22000000 7679656B "
        "0D000000 6B727473 4572726F 720D0000 0076626D 6E030000 0000");
const Bytes kCvrpHeader =
    hex("89020000 636E7973 01000000 00000000 70727663 D0595613 01000000 A08D5313 01000000 "
        "65020000 74636964");
const Bytes kCvrpReply = hex("1C000000 796C7072 D0595613 01000000 00000000 5002D16C A67F0000");
const Bytes kClok = hex("1C000000 636E7973 5002D16C A67F0000 6B6F6C63 70495813 01000000");
const Bytes kClokReply = hex("1C000000 796C7072 70495813 01000000 00000000 8079C17C A67F0000");
const Bytes kTime = hex("1C000000 636E7973 8079C17C A67F0000 656D6974 503D2213 01000000");
const Bytes kTimeReply =
    hex("2C000000 796C7072 503D2213 01000000 00000000 E1E142C4 62BA0000 00CA9A3B 01000000 "
        "00000000 00000000");
const Bytes kSkewAsPrinted = hex("20000000 636E7973 8079C17C A67F0000 77656B73 60B9FD02 01000000");
const Bytes kSkewReplyAsPrinted = hex("18000000 796C7072 60B9FD02 01000000 00000000 00000000 0070E740");
const Bytes kOg = hex("20000000 636E7973 8079C17C A67F0000 20216F67 302FD302 01000000 01000000");
const Bytes kOgReply = hex("18000000 796C7072 302FD302 01000000 00000000 00000000");
const Bytes kStop = hex("1C000000 636E7973 F05F4235 BA7F0000 706F7473 1049FD02 01000000");
const Bytes kStopReply = hex("18000000 796C7072 1049FD02 01000000 00000000 00000000");
const Bytes kSratAsPrinted =
    hex("31000000 6E797361 18BC2311 01000000 74617273 0000803F 0000803F CB448EA1 CF10CC15 "
        "00CA9A3B 01000000 00000000 00000000");
const Bytes kTbasAsPrinted = hex("18000000 6E797361 18BC2311 01000000 73616274 C0904402 01000000");
const Bytes kFeedHeader = hex("D7650100 6E797361 18BC2311 01000000 64656566 C3650100 66756273");
const Bytes kNeed = hex("14000000 6E797361 A08D5313 01000000 6465656E");
const Bytes kHpd0AsPrinted = hex("14000000 6E797361 01000000 00000000 30617068");
const Bytes kHpa0 = hex("14000000 6E797361 10FCC502 01000000 30617068");
const Bytes kRels = hex("14000000 6E797361 008A6035 BA7F0000 736C6572");

constexpr ClockRef kDeviceAudioClock = 0x4000135A000074E0;
constexpr ClockRef kOurAudioClock = 0x7FA66CE20CB0;
constexpr ClockRef kDeviceVideoClock = 0x113538DA0;
constexpr ClockRef kOurVideoClock = 0x7FA66CD10250;
constexpr ClockRef kOurTimeClock = 0x7FA67CC17980;
constexpr ClockRef kStreamClock = 0x11123BC18;

const Bytes kSps = hex("6764001F AC2484");
const Bytes kPps = hex("68EE3CB0");

Bytes withLength(Bytes packet, std::uint32_t length) {
    for (int i = 0; i < 4; ++i)
        packet[i] = static_cast<std::uint8_t>(length >> (8 * i));
    return packet;
}

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

TEST(UsbPacket, PingBothWays) {
    EXPECT_EQ(buildPacket(Ping{}), kPing);
    EXPECT_EQ(parseAs<Ping>(kPing), Ping{});
}

TEST(UsbPacket, AudioStartAndItsReply) {
    auto cwpa = parseAs<SyncCwpa>(kCwpa);
    EXPECT_EQ(cwpa.clock, kNoClock);
    EXPECT_EQ(cwpa.correlationId, 0x113573DE0U);
    EXPECT_EQ(cwpa.deviceClock, kDeviceAudioClock);
    EXPECT_EQ(buildPacket(SyncCwpa{kNoClock, 0x113573DE0, kDeviceAudioClock}), kCwpa);

    Bytes reply = buildPacket(Reply::withClock(cwpa.correlationId, kOurAudioClock));
    EXPECT_EQ(reply, kCwpaReply);
    EXPECT_EQ(parseAs<Reply>(reply).clock(), kOurAudioClock);
}

TEST(UsbPacket, AudioFormatAndItsReply) {
    auto afmt = parseAs<SyncAfmt>(kAfmt);
    EXPECT_EQ(afmt.clock, kOurAudioClock);
    EXPECT_EQ(afmt.correlationId, 0x113229D80U);
    EXPECT_EQ(afmt.format, AudioStreamDescription::pcm48kStereo16());
    EXPECT_EQ(buildPacket(SyncAfmt{kOurAudioClock, 0x113229D80, AudioStreamDescription::pcm48kStereo16()}),
              kAfmt);

    Bytes reply = buildPacket(Reply::audioFormatAccepted(afmt.correlationId));
    EXPECT_EQ(reply, kAfmtReply);
    Dictionary answer = parseAs<Reply>(reply).dictionary();
    ASSERT_NE(answer.find("Error"), nullptr);
    EXPECT_EQ(std::get<Number>(*answer.find("Error")).integer(), 0);
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
    EXPECT_EQ(parsed.deviceClock, kDeviceVideoClock);
    auto format = parsed.format();
    ASSERT_TRUE(format);
    EXPECT_EQ(format->dimensions, (VideoDimensions{1178, 2556}));
    EXPECT_EQ(format->h264ParameterSets(), (H264ParameterSets{kSps, kPps}));

    EXPECT_EQ(buildPacket(Reply::withClock(0x1135659D0, kOurVideoClock)), kCvrpReply);
    EXPECT_EQ((SyncCvrp{kNoClock, 1, 2, Dictionary{}.add(std::string("x"), true)}.format()), std::nullopt);
}

TEST(UsbPacket, ClockAndTimeRequestsAndTheirReplies) {
    auto clok = parseAs<SyncClok>(kClok);
    EXPECT_EQ(clok, (SyncClok{kOurVideoClock, 0x113584970}));
    EXPECT_EQ(buildPacket(clok), kClok);
    EXPECT_EQ(buildPacket(Reply::withClock(clok.correlationId, kOurTimeClock)), kClokReply);

    auto time = parseAs<SyncTime>(kTime);
    EXPECT_EQ(time, (SyncTime{kOurTimeClock, 0x113223D50}));
    EXPECT_EQ(buildPacket(SyncTime{kOurTimeClock, 0x113223D50}), kTime);
    MediaTime now = MediaTime::fromNanoseconds(0xBA62C442E1E1);
    Bytes reply = buildPacket(Reply::withTime(time.correlationId, now));
    EXPECT_EQ(reply, kTimeReply);
    EXPECT_EQ(parseAs<Reply>(reply).time(), now);
    EXPECT_NEAR(*parseAs<Reply>(reply).time().seconds(), 204933.362278881, 1e-9);
}

TEST(UsbPacket, SkewDumpsAreFourBytesShortOfTheirLengthFields) {
    // The printed request's length field says 32 but 28 bytes are shown; its column heading says 28.
    EXPECT_THAT(protocolError([] { parsePacket(kSkewAsPrinted); }),
                HasSubstr("SYNC packet's length field says 32 bytes, but 28 were given"));
    Bytes skew = withLength(kSkewAsPrinted, 28);
    auto request = parseAs<SyncSkew>(skew);
    EXPECT_EQ(request, (SyncSkew{kOurTimeClock, 0x102FDB960, {}}));
    EXPECT_EQ(buildPacket(request), skew);

    // The printed reply's length field says 24 but it shows 28 bytes: status word and a float64.
    EXPECT_THAT(protocolError([] { parsePacket(kSkewReplyAsPrinted); }),
                HasSubstr("RPLY packet's length field says 24 bytes, but 28 were given"));
    Bytes reply = withLength(kSkewReplyAsPrinted, 28);
    EXPECT_EQ(buildPacket(Reply::withSkew(0x102FDB960, 48000.0)), reply);
    EXPECT_EQ(parseAs<Reply>(reply).skew(), 48000.0);
}

TEST(UsbPacket, OgAndStopAreAnsweredWithFourZeroBytes) {
    auto og = parseAs<SyncOg>(kOg);
    EXPECT_EQ(og, (SyncOg{kOurTimeClock, 0x102D32F30, 1}));
    EXPECT_EQ(buildPacket(Reply::empty(og.correlationId)), kOgReply);

    auto stop = parseAs<SyncStop>(kStop);
    EXPECT_EQ(stop, (SyncStop{0x7FBA35425FF0, 0x102FD4910}));
    EXPECT_EQ(buildPacket(stop), kStop);
    EXPECT_EQ(buildPacket(Reply::empty(stop.correlationId)), kStopReply);
}

TEST(UsbPacket, RateAndAnchorDumpHasThreeBytesMoreThanItsLengthField) {
    // The printed length says 49; the fields shown (two float32, a media time) make 52.
    EXPECT_THAT(protocolError([] { parsePacket(kSratAsPrinted); }),
                HasSubstr("length field says 49 bytes, but 52"));
    Bytes srat = withLength(kSratAsPrinted, 52);
    auto message = parseAs<AsynSrat>(srat);
    EXPECT_EQ(message.clock, kStreamClock);
    EXPECT_EQ(message.rate, 1.0F);
    EXPECT_EQ(message.secondRate, 1.0F);
    EXPECT_EQ(message.anchor, MediaTime::fromNanoseconds(0x15CC10CFA18E44CB));
    EXPECT_EQ(buildPacket(message), srat);
}

TEST(UsbPacket, DeviceClockMessages) {
    // The printed TBAS length says 24; its fields (a clock reference and a time base reference) make 28.
    EXPECT_THAT(protocolError([] { parsePacket(kTbasAsPrinted); }),
                HasSubstr("length field says 24 bytes, but 28"));
    Bytes tbas = withLength(kTbasAsPrinted, 28);
    EXPECT_EQ(parseAs<AsynTbas>(tbas), (AsynTbas{kStreamClock, 0x1024490C0}));
    EXPECT_EQ(buildPacket(AsynTbas{kStreamClock, 0x1024490C0}), tbas);
    EXPECT_EQ(parseAs<AsynRels>(kRels), AsynRels{0x7FBA35608A00});
    EXPECT_EQ(buildPacket(AsynRels{0x7FBA35608A00}), kRels);
}

TEST(UsbPacket, HostStreamControlMessages) {
    EXPECT_EQ(buildPacket(AsynNeed{kDeviceVideoClock}), kNeed);
    EXPECT_EQ(parseAs<AsynNeed>(kNeed), AsynNeed{kDeviceVideoClock});
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

TEST(UsbPacket, DevicePacketsRoundTrip) {
    AsynFeed feed = videoFeed();
    AsynEat eat{kOurAudioClock,
                SampleBuffer::linearPcm(Bytes(4 * 480, 7), AudioStreamDescription::pcm48kStereo16(),
                                        MediaTime::fromNanoseconds(1'000'000))};
    const Packet packets[] = {
        Ping{},
        SyncCwpa{kNoClock, 1, kDeviceAudioClock},
        SyncAfmt{kOurAudioClock, 2, AudioStreamDescription::pcm48kStereo16()},
        SyncCvrp::withFormat(3, kDeviceVideoClock, FormatDescription::h264(1178, 2556, kSps, kPps)),
        SyncClok{kOurVideoClock, 4},
        SyncTime{kOurTimeClock, 5},
        SyncSkew{kOurTimeClock, 6, hex("01020304")},
        SyncOg{kOurTimeClock, 7, 1},
        SyncStop{kOurVideoClock, 8},
        AsynSprp{kStreamClock, Entry{std::string("ObeyEmptyMediaMarkers"), true}},
        AsynSprp{kStreamClock, Entry{std::string("RenderEmptyMedia"), false}},
        AsynSrat{kStreamClock, 1.0F, 0.5F, MediaTime::fromNanoseconds(42)},
        AsynTbas{kStreamClock, 0x1024490C0},
        AsynTjmp{kStreamClock, Bytes(52, 0xA5)},
        feed,
        eat,
        AsynRels{kOurVideoClock},
        Reply::withClock(9, kOurAudioClock),
        Reply::audioFormatAccepted(10),
        Reply::withTime(11, MediaTime::fromNanoseconds(123)),
        Reply::withSkew(12, 47999.5),
        Reply::empty(13),
        AsynNeed{kDeviceVideoClock},
        AsynHpd1{kNoClock, Dictionary{}.add(std::string("Valeria"), true)},
        AsynHpa1{kDeviceAudioClock, std::nullopt},
        AsynHpd0{},
        AsynHpa0{kDeviceAudioClock},
    };
    for (const auto& packet : packets) {
        Bytes bytes = buildPacket(packet);
        Packet parsed = parsePacket(bytes);
        EXPECT_EQ(parsed, packet) << packetName(packet);
        EXPECT_EQ(buildPacket(parsed), bytes) << packetName(packet);
    }
    auto sprp = parseAs<AsynSprp>(buildPacket(packets[9]));
    EXPECT_EQ(std::get<std::string>(sprp.property.key), "ObeyEmptyMediaMarkers");
    EXPECT_EQ(std::get<bool>(sprp.property.value), true);
    auto parsedEat = parseAs<AsynEat>(buildPacket(eat));
    EXPECT_EQ(parsedEat.buffer.sampleCount, 480U);
    EXPECT_EQ(packetName(eat), "ASYN EAT!");
}

TEST(UsbPacket, RepliesReadAsTheWrongAnswerAreErrors) {
    EXPECT_THAT(protocolError([] { Reply::empty(1).clock(); }),
                HasSubstr("4 payload bytes, not a clock reference"));
    EXPECT_THAT(protocolError([] { Reply::withClock(1, 2).time(); }),
                HasSubstr("8 payload bytes, not a media time"));
    EXPECT_THAT(protocolError([] { Reply::withTime(1, {}).skew(); }),
                HasSubstr("24 payload bytes, not a skew"));
    EXPECT_THROW(Reply::withClock(1, 2).dictionary(), ProtocolError);
}

TEST(UsbPacket, FramingErrors) {
    EXPECT_THAT(protocolError([] { parsePacket(hex("10000000 676E69")); }),
                HasSubstr("only 7 bytes were given"));
    EXPECT_THAT(protocolError([] { parsePacket(withLength(kClok, 29)); }),
                HasSubstr("says 29 bytes, but 28"));
    EXPECT_THAT(protocolError([] { parsePacket(withLength(kClok, 0xFFFFFFFF)); }),
                HasSubstr("says 4294967295 bytes"));
    EXPECT_THAT(protocolError([] { parsePacket(hex("08000000 78787878")); }),
                HasSubstr("unknown code 'xxxx'"));
    EXPECT_THAT(protocolError([] {
                    parsePacket(hex("1C000000 636E7973 5002D16C A67F0000 78787878 70495813 01000000"));
                }),
                HasSubstr("SYNC packet carries the unknown request 'xxxx'"));
    EXPECT_THAT(protocolError([] { parsePacket(hex("14000000 6E797361 A08D5313 01000000 78787878")); }),
                HasSubstr("ASYN packet carries the unknown message 'xxxx'"));
}

TEST(UsbPacket, PayloadErrors) {
    // Truncated: a CWPA without its device clock, a CLOK without all of its correlation id.
    EXPECT_THAT(protocolError([] { parsePacket(withLength(prefix(kCwpa, 28), 28)); }),
                HasSubstr("SYNC CWPA packet is truncated"));
    EXPECT_THAT(protocolError([] { parsePacket(withLength(prefix(kClok, 24), 24)); }),
                HasSubstr("SYNC packet is truncated"));
    EXPECT_THAT(protocolError([] { parsePacket(hex("0C000000 676E6970 00000000")); }),
                HasSubstr("PING packet is truncated"));
    // Left over bytes.
    EXPECT_THAT(protocolError([] {
                    parsePacket(withLength(concat({kClok, Bytes(4, 0)}), 32));
                }),
                HasSubstr("SYNC CLOK packet has 4 unexpected bytes"));
    EXPECT_THAT(protocolError([] {
                    parsePacket(withLength(concat({kNeed, Bytes(1, 0)}), 21));
                }),
                HasSubstr("ASYN NEED packet has 1 unexpected bytes"));
    // A FEED whose sample buffer claims more than the packet holds, or is something else.
    EXPECT_THAT(protocolError([] {
                    parsePacket(hex("1C000000 6E797361 18BC2311 01000000 64656566 F0FFFFFF 66756273"));
                }),
                HasSubstr("'sbuf' atom of 4294967280 bytes but only 8"));
    EXPECT_THAT(protocolError([] {
                    parsePacket(hex("1D000000 6E797361 18BC2311 01000000 64656566 09000000 766C7562 01"));
                }),
                HasSubstr("'bulv' atom where a sample buffer is expected"));
    // A CVRP whose payload is not a dictionary.
    EXPECT_THAT(protocolError([] {
                    parsePacket(hex(
                        "2D000000 636E7973 01000000 00000000 70727663 D0595613 01000000 A08D5313 01000000 "
                        "09000000 766C7562 01"));
                }),
                HasSubstr("'bulv' atom where a dictionary is expected"));
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
