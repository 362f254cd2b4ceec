#include "sim/SimUsbPackets.hpp"

#include <cstring>

namespace pokescope::sim::usbwire {

namespace {

// Nothing the host sends is this large; a corrupt length must not make the phone wait for ever.
constexpr std::size_t kMaxPacket = 16 * 1024 * 1024;

class Writer {
public:
    void u8(std::uint8_t value) { bytes_.push_back(value); }
    void u32(std::uint32_t value) {
        for (int i = 0; i < 4; ++i)
            bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    void u64(std::uint64_t value) {
        u32(static_cast<std::uint32_t>(value));
        u32(static_cast<std::uint32_t>(value >> 32));
    }
    void f64(double value) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        u64(bits);
    }
    // Written as the number whose big-endian bytes are the letters, so "sync" goes out as "cnys".
    void code(std::string_view letters) {
        for (std::size_t i = letters.size(); i-- > 0;)
            bytes_.push_back(static_cast<std::uint8_t>(letters[i]));
    }
    void bytes(std::span<const std::uint8_t> data) { bytes_.insert(bytes_.end(), data.begin(), data.end()); }
    void text(std::string_view data) { bytes_.insert(bytes_.end(), data.begin(), data.end()); }
    void time(const Time& time) {
        u64(static_cast<std::uint64_t>(time.value));
        u32(static_cast<std::uint32_t>(time.timescale));
        u32(time.flags);
        u64(0); // epoch
    }

    // An atom (or a whole packet, framed the same way): its length is filled in when `body` returns.
    template <class Body> void atom(std::string_view letters, Body&& body) {
        std::size_t start = bytes_.size();
        u32(0);
        code(letters);
        body();
        auto length = static_cast<std::uint32_t>(bytes_.size() - start);
        for (int i = 0; i < 4; ++i)
            bytes_[start + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
    }

    Bytes take() { return std::move(bytes_); }

private:
    Bytes bytes_;
};

template <class Payload> Bytes sync(Clock clock, std::string_view request, RequestId id, Payload&& payload) {
    Writer w;
    w.atom("sync", [&] {
        w.u64(clock);
        w.code(request);
        w.u64(id);
        payload(w);
    });
    return w.take();
}

template <class Payload> Bytes asyn(Clock clock, std::string_view message, Payload&& payload) {
    Writer w;
    w.atom("asyn", [&] {
        w.u64(clock);
        w.code(message);
        payload(w);
    });
    return w.take();
}

void nothing(Writer&) {}

void soundFormat(Writer& w) {
    w.f64(48000.0);
    w.code("lpcm");
    for (std::uint32_t field : {0x4Cu, 4u, 1u, 4u, 2u, 16u, 0u}) // flags, bytes per packet, frames per
        w.u32(field);                                            // packet, bytes per frame, channels, bits
}

// H.264's decoder configuration record, whose lengths are big-endian: version 1, the SPS's profile,
// compatibility and level, 4-byte NAL lengths, one SPS, one PPS.
Bytes decoderConfiguration(const VideoFormat& format) {
    Bytes record{1, format.sps.at(1), format.sps.at(2), format.sps.at(3), 0xFF, 0xE1};
    auto add = [&record](const Bytes& set) {
        record.push_back(static_cast<std::uint8_t>(set.size() >> 8));
        record.push_back(static_cast<std::uint8_t>(set.size()));
        record.insert(record.end(), set.begin(), set.end());
    };
    add(format.sps);
    record.push_back(1);
    add(format.pps);
    return record;
}

void videoFormat(Writer& w, const VideoFormat& format) {
    w.atom("fdsc", [&] {
        w.atom("mdia", [&] { w.code("vide"); });
        w.atom("vdim", [&] {
            w.u32(format.width);
            w.u32(format.height);
        });
        w.atom("codc", [&] { w.code("avc1"); });
        // Extension 49 holds the codec's atoms; atom 105 of those is the decoder configuration.
        w.atom("extn", [&] {
            w.atom("keyv", [&] {
                w.atom("idxk", [&] { w.u32(49); });
                w.atom("dict", [&] {
                    w.atom("keyv", [&] {
                        w.atom("idxk", [&] { w.u32(105); });
                        w.atom("datv", [&] { w.bytes(decoderConfiguration(format)); });
                    });
                });
            });
        });
    });
}

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::span<const std::uint8_t> take(std::size_t count) {
        if (count > bytes_.size() - at_)
            throw DamagedPacket("it ends early");
        auto part = bytes_.subspan(at_, count);
        at_ += count;
        return part;
    }
    std::uint32_t u32() {
        auto b = take(4);
        return std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
               std::uint32_t(b[3]) << 24;
    }
    std::uint64_t u64() {
        std::uint64_t low = u32();
        return low | std::uint64_t(u32()) << 32;
    }
    std::string code() {
        auto b = take(4);
        return {char(b[3]), char(b[2]), char(b[1]), char(b[0])};
    }
    std::size_t left() const { return bytes_.size() - at_; }
    std::span<const std::uint8_t> rest() { return take(left()); }
    // The next atom's code and body.
    std::pair<std::string, std::span<const std::uint8_t>> atom() {
        std::size_t length = u32();
        std::string name = code();
        if (length < 8)
            throw DamagedPacket("an atom's length is less than its header");
        return {name, take(length - 8)};
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

std::string upper(std::string text) {
    for (auto& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

void expectEnd(const Reader& reader, const std::string& what) {
    if (reader.left() != 0)
        throw DamagedPacket(what + " has " + std::to_string(reader.left()) + " bytes too many");
}

} // namespace

Bytes ping() {
    Writer w;
    w.atom("ping", [&] { w.u64(0x1'0000'0000); });
    return w.take();
}

Bytes syncCwpa(RequestId id, Clock deviceAudioClock) {
    return sync(kNoClock, "cwpa", id, [&](Writer& w) { w.u64(deviceAudioClock); });
}

Bytes syncAfmt(Clock hostAudioClock, RequestId id) {
    return sync(hostAudioClock, "afmt", id, soundFormat);
}

Bytes syncCvrp(RequestId id, Clock deviceVideoClock, const VideoFormat& format) {
    return sync(kNoClock, "cvrp", id, [&](Writer& w) {
        w.u64(deviceVideoClock);
        w.atom("dict", [&] {
            w.atom("keyv", [&] {
                w.atom("strk", [&] { w.text("FormatDescription"); });
                videoFormat(w, format);
            });
        });
    });
}

Bytes syncClok(Clock clock, RequestId id) {
    return sync(clock, "clok", id, nothing);
}
Bytes syncTime(Clock clock, RequestId id) {
    return sync(clock, "time", id, nothing);
}
Bytes syncStop(Clock clock, RequestId id) {
    return sync(clock, "stop", id, nothing);
}

Bytes asynSprp(Clock clock, std::string_view property, bool value) {
    return asyn(clock, "sprp", [&](Writer& w) {
        w.atom("keyv", [&] {
            w.atom("strk", [&] { w.text(property); });
            w.atom("bulv", [&] { w.u8(value ? 1 : 0); });
        });
    });
}

Bytes asynRels(Clock clock) {
    return asyn(clock, "rels", nothing);
}

Bytes asynFeed(Clock clock, const std::vector<Bytes>& nalUnits, Time presentation, Time duration,
               const VideoFormat* format) {
    Bytes data;
    for (const auto& unit : nalUnits) {
        for (int shift = 24; shift >= 0; shift -= 8)
            data.push_back(static_cast<std::uint8_t>(unit.size() >> shift));
        data.insert(data.end(), unit.begin(), unit.end());
    }
    return asyn(clock, "feed", [&](Writer& w) {
        w.atom("sbuf", [&] {
            w.atom("opts", [&] { w.time(presentation); });
            // Duration, presentation and decode time of the one sample.
            w.atom("stia", [&] {
                w.time(duration);
                w.time(presentation);
                w.time(presentation);
            });
            w.atom("sdat", [&] { w.bytes(data); });
            w.atom("nsmp", [&] { w.u32(1); });
            w.atom("ssiz", [&] { w.u32(static_cast<std::uint32_t>(data.size())); });
            if (format)
                videoFormat(w, *format);
        });
    });
}

Bytes asynEat(Clock clock, const Bytes& frames, std::int64_t firstSample) {
    const Time start = Time::valid(firstSample, 48000);
    return asyn(clock, "eat!", [&](Writer& w) {
        w.atom("sbuf", [&] {
            w.atom("opts", [&] { w.time(start); });
            // Every frame is a sample of one tick; no decode time.
            w.atom("stia", [&] {
                w.time(Time::valid(1, 48000));
                w.time(start);
                w.time(Time{});
            });
            w.atom("sdat", [&] { w.bytes(frames); });
            w.atom("nsmp", [&] { w.u32(static_cast<std::uint32_t>(frames.size() / 4)); });
            w.atom("ssiz", [&] { w.u32(4); });
            w.atom("fdsc", [&] {
                w.atom("mdia", [&] { w.code("soun"); });
                w.atom("asbd", [&] { soundFormat(w); });
            });
        });
    });
}

HostPacket readHostPacket(std::span<const std::uint8_t> bytes) {
    Reader reader(bytes);
    std::size_t length = reader.u32();
    std::string frame = reader.code();
    if (length != bytes.size())
        throw DamagedPacket("its length field says " + std::to_string(length) + " bytes, but it has " +
                            std::to_string(bytes.size()));
    HostPacket packet;
    if (frame == "ping") {
        reader.u64();
        expectEnd(reader, "a PING");
        return packet;
    }
    if (frame == "rply") {
        packet.kind = HostPacket::Kind::reply;
        packet.id = reader.u64();
        reader.u32(); // status
        auto rest = reader.rest();
        packet.replyPayload.assign(rest.begin(), rest.end());
        return packet;
    }
    if (frame == "sync") {
        reader.u64();
        packet.kind = HostPacket::Kind::phoneOnly;
        packet.name = "SYNC " + upper(reader.code());
        return packet;
    }
    if (frame != "asyn")
        throw DamagedPacket("it has the unknown code '" + frame + "'");
    packet.clock = reader.u64();
    const std::string message = reader.code();
    using Kind = HostPacket::Kind;
    struct Known {
        const char* code;
        Kind kind;
        bool mayHaveProperties;
    };
    static constexpr Known kHostMessages[] = {{"need", Kind::need, false},
                                              {"hpd1", Kind::startVideo, true},
                                              {"hpa1", Kind::startSound, true},
                                              {"hpd0", Kind::stopVideo, false},
                                              {"hpa0", Kind::stopSound, false}};
    for (const auto& known : kHostMessages)
        if (message == known.code) {
            packet.kind = known.kind;
            if (!known.mayHaveProperties)
                expectEnd(reader, "an ASYN " + upper(message));
            return packet; // the properties of a stream change nothing here
        }
    for (const char* phone : {"sprp", "srat", "tbas", "tjmp", "feed", "eat!", "rels"})
        if (message == phone) {
            packet.kind = Kind::phoneOnly;
            packet.name = "ASYN " + upper(message);
            return packet;
        }
    throw DamagedPacket("an ASYN carries the unknown message '" + message + "'");
}

Clock replyClock(const Bytes& payload) {
    if (payload.size() != 8)
        throw DamagedPacket("a RPLY carries " + std::to_string(payload.size()) + " bytes, not a clock");
    Reader reader(payload);
    return reader.u64();
}

std::optional<std::int64_t> replyError(const Bytes& payload) {
    Reader outer(payload);
    auto [code, body] = outer.atom();
    expectEnd(outer, "a dictionary answer");
    if (code != "dict")
        throw DamagedPacket("a RPLY carries a '" + code + "' atom, not a dictionary");
    Reader entries(body);
    while (entries.left() > 0) {
        auto [entryCode, entry] = entries.atom();
        if (entryCode != "keyv")
            continue;
        Reader parts(entry);
        auto [keyCode, key] = parts.atom();
        auto [valueCode, value] = parts.atom();
        if (keyCode != "strk" || std::string(key.begin(), key.end()) != "Error" || valueCode != "nmbv")
            continue;
        Reader number(value);
        std::uint8_t type = number.take(1)[0];
        if (type == 3 && number.left() == 4)
            return static_cast<std::int32_t>(number.u32());
        if (type == 4 && number.left() == 8)
            return static_cast<std::int64_t>(number.u64());
        return std::nullopt;
    }
    return std::nullopt;
}

bool replyTimeIsValid(const Bytes& payload) {
    if (payload.size() != 24)
        throw DamagedPacket("a RPLY carries " + std::to_string(payload.size()) + " bytes, not a time");
    Reader reader(payload);
    reader.u64();
    auto timescale = static_cast<std::int32_t>(reader.u32());
    std::uint32_t flags = reader.u32();
    // Valid, and neither infinite nor indefinite.
    return (flags & 1) && !(flags & (4 | 8 | 16)) && timescale > 0;
}

void PacketCutter::append(std::span<const std::uint8_t> bytes) {
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Bytes> PacketCutter::next() {
    if (buffer_.size() - start_ < 4)
        return std::nullopt;
    Reader reader(std::span<const std::uint8_t>(buffer_).subspan(start_, 4));
    std::size_t length = reader.u32();
    if (length < 8 || length > kMaxPacket)
        throw DamagedPacket("a packet's length field says " + std::to_string(length) + " bytes");
    if (buffer_.size() - start_ < length)
        return std::nullopt;
    auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(start_);
    Bytes packet(first, first + static_cast<std::ptrdiff_t>(length));
    start_ += length;
    return packet;
}

} // namespace pokescope::sim::usbwire
