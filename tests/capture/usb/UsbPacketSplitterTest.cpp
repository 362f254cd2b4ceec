#include "capture/usb/UsbPacketSplitter.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pokescope::usbscreen;
using pokescope::usbscreen::test::concat;
using pokescope::usbscreen::test::hex;
using pokescope::usbscreen::test::protocolError;
using testing::HasSubstr;

namespace {

const Bytes kPing = hex("10000000 676E6970 00000000 01000000");
const Bytes kClok = hex("1C000000 636E7973 5002D16C A67F0000 6B6F6C63 70495813 01000000");
const Bytes kNeed = hex("14000000 6E797361 A08D5313 01000000 6465656E");
const Bytes kStream = concat({kPing, kClok, kNeed});

std::vector<Bytes> drain(PacketSplitter& splitter) {
    std::vector<Bytes> packets;
    while (auto packet = splitter.next())
        packets.push_back(std::move(*packet));
    return packets;
}

} // namespace

TEST(UsbPacketSplitter, SeveralPacketsInOneTransfer) {
    PacketSplitter splitter;
    splitter.append(kStream);
    EXPECT_EQ(drain(splitter), (std::vector<Bytes>{kPing, kClok, kNeed}));
    EXPECT_EQ(splitter.pending(), 0U);
    EXPECT_EQ(splitter.next(), std::nullopt);
}

TEST(UsbPacketSplitter, APacketAppearsWithItsLastByte) {
    PacketSplitter splitter;
    std::vector<Bytes> packets;
    std::vector<std::size_t> completedAt;
    for (std::size_t i = 0; i < kStream.size(); ++i) {
        splitter.append(ByteView(&kStream[i], 1));
        for (auto& packet : drain(splitter)) {
            packets.push_back(std::move(packet));
            completedAt.push_back(i + 1);
        }
    }
    EXPECT_EQ(packets, (std::vector<Bytes>{kPing, kClok, kNeed}));
    EXPECT_EQ(completedAt, (std::vector<std::size_t>{16, 44, 64}));
}

TEST(UsbPacketSplitter, EverySplitIntoTwoTransfersGivesTheSamePackets) {
    for (std::size_t cut = 0; cut <= kStream.size(); ++cut) {
        PacketSplitter splitter;
        splitter.append(ByteView(kStream).first(cut));
        auto packets = drain(splitter);
        std::size_t complete = packets.size();
        splitter.append(ByteView(kStream).subspan(cut));
        for (auto& packet : drain(splitter))
            packets.push_back(std::move(packet));
        EXPECT_EQ(packets, (std::vector<Bytes>{kPing, kClok, kNeed})) << "cut at " << cut;
        EXPECT_EQ(complete, cut >= 64 ? 3U : cut >= 44 ? 2U : cut >= 16 ? 1U : 0U) << "cut at " << cut;
    }
}

TEST(UsbPacketSplitter, KeepsAPartialPacket) {
    PacketSplitter splitter;
    splitter.append(ByteView(kStream).first(20));
    EXPECT_EQ(drain(splitter), std::vector<Bytes>{kPing});
    EXPECT_EQ(splitter.pending(), 4U);
    splitter.append(ByteView(kStream).subspan(20, 23));
    EXPECT_TRUE(drain(splitter).empty());
    EXPECT_EQ(splitter.pending(), 27U);
    splitter.append(ByteView(kStream).subspan(43, 1));
    EXPECT_EQ(drain(splitter), std::vector<Bytes>{kClok});
    EXPECT_EQ(splitter.pending(), 0U);
}

TEST(UsbPacketSplitter, AnEmptyBodyIsAPacket) {
    PacketSplitter splitter;
    splitter.append(hex("08000000 78787878"));
    EXPECT_EQ(drain(splitter), std::vector<Bytes>{hex("08000000 78787878")});
}

TEST(UsbPacketSplitter, ALengthBelowTheHeaderIsAnErrorForGood) {
    PacketSplitter splitter;
    splitter.append(concat({kPing, hex("07000000 676E6970")}));
    // The good packet before it still comes out.
    EXPECT_EQ(splitter.next(), kPing);
    EXPECT_THAT(protocolError([&] { splitter.next(); }),
                HasSubstr("says 7 bytes, less than its own 8-byte header"));
    splitter.append(kPing);
    EXPECT_THAT(protocolError([&] { splitter.next(); }), HasSubstr("says 7 bytes"));

    PacketSplitter zero;
    zero.append(hex("00000000"));
    EXPECT_THAT(protocolError([&] { zero.next(); }), HasSubstr("says 0 bytes"));
}

TEST(UsbPacketSplitter, ALengthAboveTheLimitIsAnErrorBeforeItsBodyArrives) {
    PacketSplitter splitter;
    splitter.append(hex("01000001"));
    EXPECT_THAT(protocolError([&] { splitter.next(); }),
                HasSubstr("says 16777217 bytes, more than the 16777216-byte limit"));

    PacketSplitter atLimit;
    atLimit.append(hex("00000001 676E6970"));
    EXPECT_EQ(atLimit.next(), std::nullopt);
    EXPECT_EQ(atLimit.pending(), 8U);

    PacketSplitter small(64);
    small.append(hex("41000000"));
    EXPECT_THAT(protocolError([&] { small.next(); }),
                HasSubstr("says 65 bytes, more than the 64-byte limit"));
    PacketSplitter huge;
    huge.append(hex("FFFFFFFF"));
    EXPECT_THAT(protocolError([&] { huge.next(); }), HasSubstr("says 4294967295 bytes"));
}

TEST(UsbPacketSplitter, NothingUntilTheLengthIsComplete) {
    PacketSplitter splitter;
    EXPECT_EQ(splitter.next(), std::nullopt);
    splitter.append(hex("070000"));
    EXPECT_EQ(splitter.next(), std::nullopt);
    splitter.append(hex("00"));
    EXPECT_THROW(splitter.next(), ProtocolError);
}
