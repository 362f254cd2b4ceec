// Packets of the phone's USB screen-sharing protocol, parsed from and built to exact bytes; no I/O, no
// state, callable from any thread. Every packet is a u32 length (counting itself), a code, then:
//   PING  8 bytes (00000000 01000000); each side sends one before anything else
//   SYNC  clock ref (u64), request code, correlation id (u64), payload; always answered by a RPLY
//   RPLY  correlation id (u64), status (u32, 0), payload
//   ASYN  clock ref (u64), message code, payload; never answered
// The host session feeds each frame from PacketSplitter to parsePacket, std::visit's the result and
// answers SYNC requests with buildPacket(Reply::...). The simulated device builds the device's packets
// with the same structures and parses the host's; a RPLY does not say what it answers, so the device
// reads it with the Reply accessor that fits its own request.
#pragma once

#include "capture/usb/UsbObjects.hpp"
#include "capture/usb/UsbSampleBuffer.hpp"

#include <string_view>

namespace pokescope::usbscreen {

using ClockRef = std::uint64_t;
using CorrelationId = std::uint64_t;
// The clock reference in packets that are about no clock.
inline constexpr ClockRef kNoClock = 1;

struct Ping {
    static constexpr std::uint64_t kPayload = 0x1'0000'0000;
    std::uint64_t payload = kPayload;
    bool operator==(const Ping&) const = default;
};

// Device -> host requests. `clock` is the packet's clock reference; the comments say what it refers to.

// Audio starts: the device's audio clock; we answer Reply::withClock(our new audio clock) and send AsynHpa1
// with `deviceClock`. `clock` is kNoClock.
struct SyncCwpa {
    ClockRef clock = kNoClock;
    CorrelationId correlationId = 0;
    ClockRef deviceClock = 0;
    bool operator==(const SyncCwpa&) const = default;
};

// The audio format, on our audio clock; we answer Reply::audioFormatAccepted.
struct SyncAfmt {
    ClockRef clock = 0;
    CorrelationId correlationId = 0;
    AudioStreamDescription format;
    bool operator==(const SyncAfmt&) const = default;
};

// Video starts: the device's video clock (for our NEED messages) and a dictionary holding the format
// description; we answer Reply::withClock(our new video clock), which FEED messages then carry.
struct SyncCvrp {
    ClockRef clock = kNoClock;
    CorrelationId correlationId = 0;
    ClockRef deviceClock = 0;
    Dictionary payload;

    static constexpr std::string_view kFormatKey = "FormatDescription";
    static SyncCvrp withFormat(CorrelationId id, ClockRef deviceClock, const FormatDescription& format);
    // The first format description among the payload's values; nothing when there is none.
    std::optional<FormatDescription> format() const;
    bool operator==(const SyncCvrp&) const = default;
};

// Asks for a new clock; we answer Reply::withClock(it). The TIME requests that follow name it.
struct SyncClok {
    ClockRef clock = 0;
    CorrelationId correlationId = 0;
    bool operator==(const SyncClok&) const = default;
};

// Asks for the time of our clock `clock`; we answer Reply::withTime.
struct SyncTime {
    ClockRef clock = 0;
    CorrelationId correlationId = 0;
    bool operator==(const SyncTime&) const = default;
};

// Asks for the skew of `clock` against the device's audio; we answer Reply::withSkew. The payload's
// meaning is unknown.
struct SyncSkew {
    ClockRef clock = 0;
    CorrelationId correlationId = 0;
    Bytes payload;
    bool operator==(const SyncSkew&) const = default;
};

// Of unknown purpose (code "go! ", seen with value 1); we answer Reply::empty.
struct SyncOg {
    ClockRef clock = 0;
    CorrelationId correlationId = 0;
    std::uint32_t value = 1;
    bool operator==(const SyncOg&) const = default;
};

// Stops our clock `clock`; we answer Reply::empty.
struct SyncStop {
    ClockRef clock = 0;
    CorrelationId correlationId = 0;
    bool operator==(const SyncStop&) const = default;
};

// Host -> device answer to a SYNC request.
struct Reply {
    CorrelationId correlationId = 0;
    std::uint32_t status = 0;
    Bytes payload;

    static Reply withClock(CorrelationId id, ClockRef clock); // CWPA, CVRP, CLOK
    static Reply withDictionary(CorrelationId id, const Dictionary& dictionary);
    static Reply audioFormatAccepted(CorrelationId id);             // AFMT: {"Error": 0}
    static Reply withTime(CorrelationId id, const MediaTime& time); // TIME
    static Reply withSkew(CorrelationId id, double skew);           // SKEW
    static Reply empty(CorrelationId id);                           // OG, STOP: 4 zero bytes

    // The payload read as each kind of answer; ProtocolError when it is not one.
    ClockRef clock() const;
    Dictionary dictionary() const;
    MediaTime time() const;
    double skew() const;
    bool operator==(const Reply&) const = default;
};

// Device -> host messages.

// Sets one property of the stream `clock`, e.g. "ObeyEmptyMediaMarkers" = true.
struct AsynSprp {
    ClockRef clock = 0;
    Entry property;
    bool operator==(const AsynSprp&) const = default;
};

// Sets a time base's rate and anchor time; the second number's meaning is unknown (seen as 1.0).
struct AsynSrat {
    ClockRef clock = 0;
    float rate = 1.0F;
    float secondRate = 1.0F;
    MediaTime anchor;
    bool operator==(const AsynSrat&) const = default;
};

// Names a time base the device made for `clock`.
struct AsynTbas {
    ClockRef clock = 0;
    ClockRef timeBase = 0;
    bool operator==(const AsynTbas&) const = default;
};

// A time base jumped; the payload's layout is unknown.
struct AsynTjmp {
    ClockRef clock = 0;
    Bytes payload;
    bool operator==(const AsynTjmp&) const = default;
};

// Video on our video clock.
struct AsynFeed {
    ClockRef clock = 0;
    SampleBuffer buffer;
    bool operator==(const AsynFeed&) const = default;
};

// Sound on our audio clock.
struct AsynEat {
    ClockRef clock = 0;
    SampleBuffer buffer;
    bool operator==(const AsynEat&) const = default;
};

// The device released its clock `clock`.
struct AsynRels {
    ClockRef clock = 0;
    bool operator==(const AsynRels&) const = default;
};

// Host -> device messages.

// Asks for more video; `clock` is the device's video clock from CVRP.
struct AsynNeed {
    ClockRef clock = 0;
    bool operator==(const AsynNeed&) const = default;
};

// Starts video (`clock` kNoClock) and audio (`clock` the device's audio clock from CWPA); the stream's
// properties, when given, follow as a dictionary.
struct AsynHpd1 {
    ClockRef clock = kNoClock;
    std::optional<Dictionary> properties;
    bool operator==(const AsynHpd1&) const = default;
};

struct AsynHpa1 {
    ClockRef clock = 0;
    std::optional<Dictionary> properties;
    bool operator==(const AsynHpa1&) const = default;
};

// Stops video (`clock` kNoClock) and audio (`clock` the device's audio clock).
struct AsynHpd0 {
    ClockRef clock = kNoClock;
    bool operator==(const AsynHpd0&) const = default;
};

struct AsynHpa0 {
    ClockRef clock = 0;
    bool operator==(const AsynHpa0&) const = default;
};

using Packet = std::variant<Ping, SyncCwpa, SyncAfmt, SyncCvrp, SyncClok, SyncTime, SyncSkew, SyncOg,
                            SyncStop, Reply, AsynSprp, AsynSrat, AsynTbas, AsynTjmp, AsynFeed, AsynEat,
                            AsynRels, AsynNeed, AsynHpd1, AsynHpa1, AsynHpd0, AsynHpa0>;

// Exactly one whole packet, its length field equal to the bytes given; ProtocolError for anything else,
// including unknown packet, request and message codes.
Packet parsePacket(ByteView bytes);
// ProtocolError when a packet would exceed the 32-bit length field.
Bytes buildPacket(const Packet& packet);
// "PING", "SYNC CWPA", "RPLY", "ASYN FEED" … for log lines.
std::string_view packetName(const Packet& packet);

} // namespace pokescope::usbscreen
