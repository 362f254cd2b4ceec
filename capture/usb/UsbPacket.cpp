#include "capture/usb/UsbPacket.hpp"

namespace pokescope::usbscreen {

namespace {

constexpr FourCC kPing = fourcc("ping");
constexpr FourCC kSync = fourcc("sync");
constexpr FourCC kReply = fourcc("rply");
constexpr FourCC kAsyn = fourcc("asyn");
constexpr FourCC kDictionary = fourcc("dict");

// The code each packet kind carries (after PING, SYNC, RPLY or ASYN) and its name in messages.
struct Kind {
    FourCC frame;
    FourCC code;
    std::string_view name;
};

template <class T> constexpr Kind kKind = {};

template <> constexpr Kind kKind<Ping> = {kPing, 0, "PING"};
template <> constexpr Kind kKind<SyncCwpa> = {kSync, fourcc("cwpa"), "SYNC CWPA"};
template <> constexpr Kind kKind<SyncAfmt> = {kSync, fourcc("afmt"), "SYNC AFMT"};
template <> constexpr Kind kKind<SyncCvrp> = {kSync, fourcc("cvrp"), "SYNC CVRP"};
template <> constexpr Kind kKind<SyncClok> = {kSync, fourcc("clok"), "SYNC CLOK"};
template <> constexpr Kind kKind<SyncTime> = {kSync, fourcc("time"), "SYNC TIME"};
template <> constexpr Kind kKind<SyncSkew> = {kSync, fourcc("skew"), "SYNC SKEW"};
// Its bytes on the wire are 20 21 6F 67.
template <> constexpr Kind kKind<SyncOg> = {kSync, fourcc("go! "), "SYNC OG"};
template <> constexpr Kind kKind<SyncStop> = {kSync, fourcc("stop"), "SYNC STOP"};
template <> constexpr Kind kKind<Reply> = {kReply, 0, "RPLY"};
template <> constexpr Kind kKind<AsynSprp> = {kAsyn, fourcc("sprp"), "ASYN SPRP"};
template <> constexpr Kind kKind<AsynSrat> = {kAsyn, fourcc("srat"), "ASYN SRAT"};
template <> constexpr Kind kKind<AsynTbas> = {kAsyn, fourcc("tbas"), "ASYN TBAS"};
template <> constexpr Kind kKind<AsynTjmp> = {kAsyn, fourcc("tjmp"), "ASYN TJMP"};
template <> constexpr Kind kKind<AsynFeed> = {kAsyn, fourcc("feed"), "ASYN FEED"};
template <> constexpr Kind kKind<AsynEat> = {kAsyn, fourcc("eat!"), "ASYN EAT!"};
template <> constexpr Kind kKind<AsynRels> = {kAsyn, fourcc("rels"), "ASYN RELS"};
template <> constexpr Kind kKind<AsynNeed> = {kAsyn, fourcc("need"), "ASYN NEED"};
template <> constexpr Kind kKind<AsynHpd1> = {kAsyn, fourcc("hpd1"), "ASYN HPD1"};
template <> constexpr Kind kKind<AsynHpa1> = {kAsyn, fourcc("hpa1"), "ASYN HPA1"};
template <> constexpr Kind kKind<AsynHpd0> = {kAsyn, fourcc("hpd0"), "ASYN HPD0"};
template <> constexpr Kind kKind<AsynHpa0> = {kAsyn, fourcc("hpa0"), "ASYN HPA0"};

Dictionary readDictionaryAtom(WireReader& reader) {
    Atom atom = reader.atom();
    if (atom.code != kDictionary)
        throw ProtocolError("The " + reader.what() + " holds a '" + fourccName(atom.code) +
                            "' atom where a dictionary is expected.");
    return detail::readDictionaryBody(atom.body, atom.code, 0);
}

SampleBuffer readSampleBufferAtom(WireReader& reader) {
    Atom atom = reader.atom();
    if (atom.code != fourcc("sbuf"))
        throw ProtocolError("The " + reader.what() + " holds a '" + fourccName(atom.code) +
                            "' atom where a sample buffer is expected.");
    return detail::readSampleBufferBody(atom.body);
}

// Payload readers: the reader is positioned after the header fields, and must be left at its end.
template <class T> T readSync(WireReader& reader, ClockRef clock, CorrelationId id);

template <> SyncCwpa readSync(WireReader& reader, ClockRef clock, CorrelationId id) {
    return {clock, id, reader.u64()};
}
template <> SyncAfmt readSync(WireReader& reader, ClockRef clock, CorrelationId id) {
    return {clock, id, detail::readAudioStreamDescription(reader)};
}
template <> SyncCvrp readSync(WireReader& reader, ClockRef clock, CorrelationId id) {
    ClockRef deviceClock = reader.u64();
    return {clock, id, deviceClock, readDictionaryAtom(reader)};
}
template <> SyncClok readSync(WireReader&, ClockRef clock, CorrelationId id) {
    return {clock, id};
}
template <> SyncTime readSync(WireReader&, ClockRef clock, CorrelationId id) {
    return {clock, id};
}
template <> SyncSkew readSync(WireReader& reader, ClockRef clock, CorrelationId id) {
    auto rest = reader.rest();
    return {clock, id, Bytes(rest.begin(), rest.end())};
}
template <> SyncOg readSync(WireReader& reader, ClockRef clock, CorrelationId id) {
    return {clock, id, reader.u32()};
}
template <> SyncStop readSync(WireReader&, ClockRef clock, CorrelationId id) {
    return {clock, id};
}

template <class T> T readAsyn(WireReader& reader, ClockRef clock);

template <> AsynSprp readAsyn(WireReader& reader, ClockRef clock) {
    return {clock, detail::readEntry(reader.atom(), 0)};
}
template <> AsynSrat readAsyn(WireReader& reader, ClockRef clock) {
    AsynSrat message;
    message.clock = clock;
    message.rate = reader.f32();
    message.secondRate = reader.f32();
    message.anchor = detail::readMediaTime(reader);
    return message;
}
template <> AsynTbas readAsyn(WireReader& reader, ClockRef clock) {
    return {clock, reader.u64()};
}
template <> AsynTjmp readAsyn(WireReader& reader, ClockRef clock) {
    auto rest = reader.rest();
    return {clock, Bytes(rest.begin(), rest.end())};
}
template <> AsynFeed readAsyn(WireReader& reader, ClockRef clock) {
    return {clock, readSampleBufferAtom(reader)};
}
template <> AsynEat readAsyn(WireReader& reader, ClockRef clock) {
    return {clock, readSampleBufferAtom(reader)};
}
template <> AsynRels readAsyn(WireReader&, ClockRef clock) {
    return {clock};
}
template <> AsynNeed readAsyn(WireReader&, ClockRef clock) {
    return {clock};
}
template <> AsynHpd1 readAsyn(WireReader& reader, ClockRef clock) {
    return {clock, reader.atEnd() ? std::nullopt : std::optional(readDictionaryAtom(reader))};
}
template <> AsynHpa1 readAsyn(WireReader& reader, ClockRef clock) {
    return {clock, reader.atEnd() ? std::nullopt : std::optional(readDictionaryAtom(reader))};
}
template <> AsynHpd0 readAsyn(WireReader&, ClockRef clock) {
    return {clock};
}
template <> AsynHpa0 readAsyn(WireReader&, ClockRef clock) {
    return {clock};
}

std::string upper(std::string text) {
    for (auto& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

Packet parseSync(WireReader& header) {
    ClockRef clock = header.u64();
    FourCC code = header.u32();
    CorrelationId id = header.u64();
    Packet packet;
    auto rest = header.rest();
    WireReader reader(rest, "SYNC " + upper(fourccName(code)) + " packet");
    auto tryKind = [&]<class T>() {
        if (code != kKind<T>.code)
            return false;
        packet = readSync<T>(reader, clock, id);
        return true;
    };
    bool known = tryKind.operator()<SyncCwpa>() || tryKind.operator()<SyncAfmt>() ||
                 tryKind.operator()<SyncCvrp>() || tryKind.operator()<SyncClok>() ||
                 tryKind.operator()<SyncTime>() || tryKind.operator()<SyncSkew>() ||
                 tryKind.operator()<SyncOg>() || tryKind.operator()<SyncStop>();
    if (!known)
        throw ProtocolError("A SYNC packet carries the unknown request '" + fourccName(code) + "'.");
    reader.expectEnd();
    return packet;
}

Packet parseAsyn(WireReader& header) {
    ClockRef clock = header.u64();
    FourCC code = header.u32();
    Packet packet;
    auto rest = header.rest();
    WireReader reader(rest, "ASYN " + upper(fourccName(code)) + " packet");
    auto tryKind = [&]<class T>() {
        if (code != kKind<T>.code)
            return false;
        packet = readAsyn<T>(reader, clock);
        return true;
    };
    bool known =
        tryKind.operator()<AsynSprp>() || tryKind.operator()<AsynSrat>() || tryKind.operator()<AsynTbas>() ||
        tryKind.operator()<AsynTjmp>() || tryKind.operator()<AsynFeed>() || tryKind.operator()<AsynEat>() ||
        tryKind.operator()<AsynRels>() || tryKind.operator()<AsynNeed>() || tryKind.operator()<AsynHpd1>() ||
        tryKind.operator()<AsynHpa1>() || tryKind.operator()<AsynHpd0>() || tryKind.operator()<AsynHpa0>();
    if (!known)
        throw ProtocolError("An ASYN packet carries the unknown message '" + fourccName(code) + "'.");
    reader.expectEnd();
    return packet;
}

// Payload writers, after the header fields.
void writePayload(WireWriter& writer, const Ping& ping) {
    writer.u64(ping.payload);
}
void writePayload(WireWriter& writer, const SyncCwpa& request) {
    writer.u64(request.deviceClock);
}
void writePayload(WireWriter& writer, const SyncAfmt& request) {
    detail::writeAudioStreamDescription(writer, request.format);
}
void writePayload(WireWriter& writer, const SyncCvrp& request) {
    writer.u64(request.deviceClock);
    detail::writeDictionary(writer, kDictionary, request.payload, 0);
}
void writePayload(WireWriter&, const SyncClok&) {}
void writePayload(WireWriter&, const SyncTime&) {}
void writePayload(WireWriter& writer, const SyncSkew& request) {
    writer.bytes(request.payload);
}
void writePayload(WireWriter& writer, const SyncOg& request) {
    writer.u32(request.value);
}
void writePayload(WireWriter&, const SyncStop&) {}
void writePayload(WireWriter& writer, const Reply& reply) {
    writer.u64(reply.correlationId);
    writer.u32(reply.status);
    writer.bytes(reply.payload);
}
void writePayload(WireWriter& writer, const AsynSprp& message) {
    detail::writeEntry(writer, message.property, 0);
}
void writePayload(WireWriter& writer, const AsynSrat& message) {
    writer.f32(message.rate);
    writer.f32(message.secondRate);
    detail::writeMediaTime(writer, message.anchor);
}
void writePayload(WireWriter& writer, const AsynTbas& message) {
    writer.u64(message.timeBase);
}
void writePayload(WireWriter& writer, const AsynTjmp& message) {
    writer.bytes(message.payload);
}
void writePayload(WireWriter& writer, const AsynFeed& message) {
    detail::writeSampleBuffer(writer, message.buffer);
}
void writePayload(WireWriter& writer, const AsynEat& message) {
    detail::writeSampleBuffer(writer, message.buffer);
}
void writePayload(WireWriter&, const AsynRels&) {}
void writePayload(WireWriter&, const AsynNeed&) {}
void writePayload(WireWriter& writer, const AsynHpd1& message) {
    if (message.properties)
        detail::writeDictionary(writer, kDictionary, *message.properties, 0);
}
void writePayload(WireWriter& writer, const AsynHpa1& message) {
    if (message.properties)
        detail::writeDictionary(writer, kDictionary, *message.properties, 0);
}
void writePayload(WireWriter&, const AsynHpd0&) {}
void writePayload(WireWriter&, const AsynHpa0&) {}

template <class T> void writePacket(WireWriter& writer, const T& packet) {
    constexpr Kind k = kKind<T>;
    auto mark = writer.beginAtom(k.frame);
    if constexpr (k.frame == kSync) {
        writer.u64(packet.clock);
        writer.u32(k.code);
        writer.u64(packet.correlationId);
    } else if constexpr (k.frame == kAsyn) {
        writer.u64(packet.clock);
        writer.u32(k.code);
    }
    writePayload(writer, packet);
    writer.endAtom(mark);
}

Bytes payloadOf(auto&& write) {
    WireWriter writer;
    write(writer);
    return std::move(writer).take();
}

void expectPayloadSize(const Reply& reply, std::size_t size, const char* what) {
    if (reply.payload.size() != size)
        throw ProtocolError("The RPLY carries " + std::to_string(reply.payload.size()) +
                            " payload bytes, not " + what + " (" + std::to_string(size) + " bytes).");
}

} // namespace

SyncCvrp SyncCvrp::withFormat(CorrelationId id, ClockRef deviceClock, const FormatDescription& format) {
    SyncCvrp request{kNoClock, id, deviceClock, {}};
    request.payload.add(std::string(kFormatKey), format);
    return request;
}

std::optional<FormatDescription> SyncCvrp::format() const {
    for (const auto& entry : payload.entries)
        if (const auto* format = std::get_if<FormatDescription>(&entry.value))
            return *format;
    return std::nullopt;
}

Reply Reply::withClock(CorrelationId id, ClockRef clock) {
    return {id, 0, payloadOf([clock](WireWriter& writer) { writer.u64(clock); })};
}

Reply Reply::withDictionary(CorrelationId id, const Dictionary& dictionary) {
    return {id, 0, buildDictionary(dictionary)};
}

Reply Reply::audioFormatAccepted(CorrelationId id) {
    Dictionary answer;
    answer.add(std::string("Error"), Number{std::int32_t{0}});
    return withDictionary(id, answer);
}

Reply Reply::withTime(CorrelationId id, const MediaTime& time) {
    return {id, 0, buildMediaTime(time)};
}

Reply Reply::withSkew(CorrelationId id, double skew) {
    return {id, 0, payloadOf([skew](WireWriter& writer) { writer.f64(skew); })};
}

Reply Reply::empty(CorrelationId id) {
    return {id, 0, Bytes(4, 0)};
}

ClockRef Reply::clock() const {
    expectPayloadSize(*this, 8, "a clock reference");
    WireReader reader(payload, "RPLY");
    return reader.u64();
}

Dictionary Reply::dictionary() const {
    return parseDictionary(payload);
}

MediaTime Reply::time() const {
    expectPayloadSize(*this, 24, "a media time");
    return parseMediaTime(payload);
}

double Reply::skew() const {
    expectPayloadSize(*this, 8, "a skew");
    WireReader reader(payload, "RPLY");
    return reader.f64();
}

Packet parsePacket(ByteView bytes) {
    if (bytes.size() < 8)
        throw ProtocolError("A packet needs its 8-byte header, but only " + std::to_string(bytes.size()) +
                            " bytes were given.");
    WireReader reader(bytes, "packet");
    std::size_t length = reader.u32();
    FourCC code = reader.u32();
    if (length != bytes.size())
        throw ProtocolError("The " + upper(fourccName(code)) + " packet's length field says " +
                            std::to_string(length) + " bytes, but " + std::to_string(bytes.size()) +
                            " were given.");
    switch (code) {
    case kPing: {
        WireReader body(reader.rest(), "PING packet");
        Ping ping{body.u64()};
        body.expectEnd();
        return ping;
    }
    case kSync: {
        WireReader body(reader.rest(), "SYNC packet");
        return parseSync(body);
    }
    case kAsyn: {
        WireReader body(reader.rest(), "ASYN packet");
        return parseAsyn(body);
    }
    case kReply: {
        WireReader body(reader.rest(), "RPLY packet");
        Reply reply;
        reply.correlationId = body.u64();
        reply.status = body.u32();
        auto rest = body.rest();
        reply.payload.assign(rest.begin(), rest.end());
        return reply;
    }
    default:
        throw ProtocolError("A packet has the unknown code '" + fourccName(code) + "'.");
    }
}

Bytes buildPacket(const Packet& packet) {
    WireWriter writer;
    std::visit([&writer](const auto& p) { writePacket(writer, p); }, packet);
    return std::move(writer).take();
}

std::string_view packetName(const Packet& packet) {
    return std::visit([](const auto& p) { return kKind<std::decay_t<decltype(p)>>.name; }, packet);
}

} // namespace pokescope::usbscreen
