// The simulated phone's own packet writer and reader against the protocol documentation's example
// packets, so that the phone is not merely consistent with the host's codec.
#include "sim/SimUsbPackets.hpp"

#include "tests/capture/usb/UsbTestBytes.hpp"

#include <gtest/gtest.h>

using namespace pokescope::sim::usbwire;
using namespace pokescope::usbscreen::test; // the documentation's example packets among them

namespace {

constexpr Clock kStreamClock = 0x11123BC18;
const VideoFormat kFormat{1178, 2556, kSps, kPps};

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

std::uint32_t u32At(const Bytes& bytes, std::size_t at) {
    return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 | std::uint32_t(bytes[at + 2]) << 16 |
           std::uint32_t(bytes[at + 3]) << 24;
}

} // namespace

TEST(SimUsbPackets, WhatThePhoneSendsIsByteForByteTheDocumentedPacket) {
    EXPECT_EQ(ping(), kPing);
    EXPECT_EQ(syncCwpa(0x113573DE0, 0x4000135A000074E0), kCwpa);
    EXPECT_EQ(syncAfmt(0x7FA66CE20CB0, 0x113229D80), kAfmt);
    EXPECT_EQ(syncClok(0x7FA66CD10250, 0x113584970), kClok);
    EXPECT_EQ(syncTime(0x7FA67CC17980, 0x113223D50), kTime);
    EXPECT_EQ(syncStop(0x7FBA35425FF0, 0x102FD4910), kStop);
    EXPECT_EQ(asynRels(0x7FBA35608A00), kRels);
}

TEST(SimUsbPackets, PartlyPrintedPacketsMatchTheirDocumentedHeaders) {
    // CVRP: the documentation leaves out its 613-byte dictionary; everything up to it matches, and both
    // length fields agree with what follows.
    Bytes cvrp = syncCvrp(0x1135659D0, 0x113538DA0, kFormat);
    EXPECT_EQ(slice(cvrp, 4, 36), slice(kCvrpHeader, 4, 36));
    EXPECT_EQ(slice(cvrp, 40, 44), slice(kCvrpHeader, 40, 44)); // "dict"
    EXPECT_EQ(u32At(cvrp, 0), cvrp.size());
    EXPECT_EQ(u32At(cvrp, 36), cvrp.size() - 36);

    // FEED: the documented one holds a 91587-byte sample buffer; ours is made that size. Its fixed atoms
    // (times, count, size) take 156 bytes.
    Bytes feed =
        asynFeed(kStreamClock, {Bytes(91587 - 156, 0x41)}, Time::valid(0, 1'000'000'000), Time{}, nullptr);
    ASSERT_EQ(feed.size(), 91607U);
    EXPECT_EQ(slice(feed, 0, kFeedHeader.size()), kFeedHeader);

    // SPRP is printed after its length only; EAT! is "just like FEED" with its own code.
    EXPECT_EQ(slice(asynSprp(kStreamClock, "ObeyEmptyMediaMarkers", true), 4, 20),
              hex("6E797361 18BC2311 01000000 70727073"));
    EXPECT_EQ(slice(asynEat(0x7FA66CE20CB0, Bytes(4, 0), 0), 4, 20),
              hex("6E797361 B00CE26C A67F0000 21746165"));
}

TEST(SimUsbPackets, SoundIsOneSampleBufferOfSixteenBitStereoFrames) {
    // Written out atom by atom: opts, stia (one tick at 48 kHz, the start, no decode time), sdat, nsmp,
    // ssiz, and the format (sound, 48 kHz linear PCM as in the documented AFMT).
    const Bytes second = hex("80BB0000 00000000 80BB0000 01000000 00000000 00000000");
    const Bytes expected = concat(
        {hex("F4000000 6E797361 B00CE26C A67F0000 21746165 E0000000 66756273 20000000 7374706F"), second,
         hex("50000000 61697473 01000000 00000000 80BB0000 01000000 00000000 00000000"), second, Bytes(24, 0),
         hex("0C000000 74616473 01020304 0C000000 706D736E 01000000 0C000000 7A697373 04000000"),
         hex("44000000 63736466 0C000000 6169646D 6E756F73 30000000 64627361"), slice(kAfmt, 28, 68)});
    EXPECT_EQ(asynEat(0x7FA66CE20CB0, hex("01020304"), 48000), expected);
}

TEST(SimUsbPackets, TheHostsDocumentedPacketsReadAsThePhoneNeedsThem) {
    HostPacket reply = readHostPacket(kCwpaReply);
    EXPECT_EQ(reply.kind, HostPacket::Kind::reply);
    EXPECT_EQ(reply.id, 0x113573DE0U);
    EXPECT_EQ(replyClock(reply.replyPayload), 0x7FA66CE20CB0U);
    EXPECT_EQ(replyError(readHostPacket(kAfmtReply).replyPayload), 0);
    EXPECT_TRUE(replyTimeIsValid(readHostPacket(kTimeReply).replyPayload));
    EXPECT_FALSE(replyTimeIsValid(Bytes(24, 0)));
    EXPECT_THROW(replyClock(readHostPacket(kTimeReply).replyPayload), DamagedPacket);
    EXPECT_EQ(replyError(Bytes{0x08, 0, 0, 0, 't', 'c', 'i', 'd'}), std::nullopt);

    HostPacket need = readHostPacket(kNeed);
    EXPECT_EQ(need.kind, HostPacket::Kind::need);
    EXPECT_EQ(need.clock, 0x113538DA0U);
    EXPECT_EQ(readHostPacket(kHpa0).kind, HostPacket::Kind::stopSound);
    EXPECT_EQ(readHostPacket(kHpa0).clock, 0x102C5FC10U);
    // The HPD0 example prints the HPA0 code; read as printed, it stops sound.
    EXPECT_EQ(readHostPacket(kHpd0AsPrinted).kind, HostPacket::Kind::stopSound);
    EXPECT_EQ(readHostPacket(hex("14000000 6E797361 01000000 00000000 30647068")).kind,
              HostPacket::Kind::stopVideo);
    EXPECT_EQ(readHostPacket(kPing).kind, HostPacket::Kind::ping);

    // What only the phone sends is named, for the phone's complaint.
    EXPECT_EQ(readHostPacket(kClok).name, "SYNC CLOK");
    EXPECT_EQ(readHostPacket(kRels).name, "ASYN RELS");
}

TEST(SimUsbPackets, DamagedHostPacketsAreRefused) {
    Bytes longer = concat({kNeed, Bytes{0}});
    longer[0] = 0x15;
    const Bytes damaged[] = {
        hex("15000000 6E797361 A08D5313 01000000 6465656E"), // says one byte more than it has
        longer,                                              // a NEED with a byte left over
        hex("14000000 6E797361 A08D5313 01000000 78787878"), // an unknown message
        hex("0C000000 78787878 00000000"),                   // an unknown packet
        hex("0C000000 676E6970 00000000"),                   // a PING cut short
    };
    for (const auto& bytes : damaged)
        EXPECT_THROW(readHostPacket(bytes), DamagedPacket) << bytes.size();

    PacketCutter cutter;
    cutter.append(slice(kNeed, 0, 3));
    EXPECT_FALSE(cutter.next());
    cutter.append(concat({slice(kNeed, 3, kNeed.size()), kPing, slice(kPing, 0, 6)}));
    EXPECT_EQ(cutter.next(), kNeed);
    EXPECT_EQ(cutter.next(), kPing);
    EXPECT_FALSE(cutter.next());
    cutter.append(concat({slice(kPing, 6, kPing.size()), hex("07000000")}));
    EXPECT_EQ(cutter.next(), kPing);
    EXPECT_THROW(cutter.next(), DamagedPacket); // a length shorter than a packet's header
}
