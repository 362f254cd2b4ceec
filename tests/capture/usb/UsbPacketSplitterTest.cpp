#include "capture/usb/UsbPacketSplitter.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

using namespace pokescope::usbscreen;
using namespace pokescope::usbscreen::test;
using testing::HasSubstr;

namespace {

const Bytes kStream = concat({kPing, kClok, kNeed});

std::vector<Bytes> drain(PacketSplitter& splitter) {
    std::vector<Bytes> packets;
    while (auto packet = splitter.next())
        packets.push_back(std::move(*packet));
    return packets;
}

} // namespace

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
}

TEST(UsbPacketSplitter, ImpossibleLengthsAreErrorsBeforeTheBodyArrives) {
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

TEST(UsbPacketSplitter, NothingUntilTheLengthIsComplete) {
    PacketSplitter splitter;
    EXPECT_EQ(splitter.next(), std::nullopt);
    splitter.append(hex("070000"));
    EXPECT_EQ(splitter.next(), std::nullopt);
    splitter.append(hex("00"));
    EXPECT_THROW(splitter.next(), ProtocolError);
}
