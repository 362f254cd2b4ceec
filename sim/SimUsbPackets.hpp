// The simulated iPhone's own reading and writing of screen-sharing packets. It shares nothing with the
// host's codec in capture/usb: were both ends built from one codec, a mistake in it would pass both.
// Only what the phone sends is written, and only what the phone acts on is read. Pure; any thread.
//
// Everything is little-endian; four-character codes travel as 32-bit numbers, so "sync" is the bytes
// "cnys". A packet is a u32 length (counting itself) and a code, then for SYNC a clock, a request code and
// a correlation id, for RPLY a correlation id and a status, for ASYN a clock and a message code. Objects
// inside are atoms: a u32 length counting its 8-byte header, a code, the body.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope::sim::usbwire {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::uint64_t;
using RequestId = std::uint64_t;

// The clock reference of packets that are about no clock.
inline constexpr Clock kNoClock = 1;

// A rational time in the phone's 24-byte layout: value, timescale, flags (1: valid), epoch.
struct Time {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
    std::uint32_t flags = 0;
    static Time valid(std::int64_t value, std::int32_t timescale) { return {value, timescale, 1}; }
};

// The H.264 stream the phone announces.
struct VideoFormat {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    Bytes sps; // at least its 4 header bytes
    Bytes pps;
};

// What the phone sends, each a whole packet.
Bytes ping();
Bytes syncCwpa(RequestId id, Clock deviceAudioClock);
// The sound format on the host's audio clock: 48 kHz, 2 channels of packed signed 16-bit integers.
Bytes syncAfmt(Clock hostAudioClock, RequestId id);
// The video format in a dictionary under "FormatDescription".
Bytes syncCvrp(RequestId id, Clock deviceVideoClock, const VideoFormat& format);
Bytes syncClok(Clock clock, RequestId id);
Bytes syncTime(Clock clock, RequestId id);
Bytes syncStop(Clock clock, RequestId id);
Bytes asynSprp(Clock clock, std::string_view property, bool value);
Bytes asynRels(Clock clock);
// One access unit, each NAL unit behind its 4-byte big-endian length; the format goes with a new stream.
Bytes asynFeed(Clock clock, const std::vector<Bytes>& nalUnits, Time presentation, Time duration,
               const VideoFormat* format);
// 48 kHz 16-bit stereo frames; `firstSample` counts samples at 48 kHz.
Bytes asynEat(Clock clock, const Bytes& frames, std::int64_t firstSample);
// Where the sample buffer's length field sits in a FEED or EAT! packet.
inline constexpr std::size_t kSampleBufferLengthOffset = 20;

// The host's bytes do not make the packet they claim to be.
class DamagedPacket : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A packet from the host, read as far as the phone acts on it.
struct HostPacket {
    enum class Kind { ping, reply, need, startVideo, startSound, stopVideo, stopSound, phoneOnly };
    Kind kind = Kind::ping;
    Clock clock = 0;    // ASYN
    RequestId id = 0;   // RPLY
    Bytes replyPayload; // RPLY, after the status
    std::string name;   // "SYNC CWPA", "ASYN FEED" … for a packet only the phone may send
};

// Exactly one packet; DamagedPacket when its length, header or code is wrong.
HostPacket readHostPacket(std::span<const std::uint8_t> bytes);

// A reply's payload read as the answer the phone asked for; DamagedPacket when it is not one.
Clock replyClock(const Bytes& payload);
// The number under "Error" in a dictionary answer; nothing when there is none.
std::optional<std::int64_t> replyError(const Bytes& payload);
// Whether a time answer holds a valid, finite time.
bool replyTimeIsValid(const Bytes& payload);

// Cuts the host's byte stream into packets by their length fields.
class PacketCutter {
public:
    void append(std::span<const std::uint8_t> bytes);
    // The next whole packet; DamagedPacket for a length no packet can have.
    std::optional<Bytes> next();

private:
    Bytes buffer_;
    std::size_t start_ = 0;
};

} // namespace pokescope::sim::usbwire
