// Every parser of the phone's USB screen-sharing protocol on arbitrary bytes. Nothing may crash, read out
// of bounds or throw anything but ProtocolError; whatever a parser accepts must rebuild to bytes that parse
// to the same value and rebuild to the very same bytes; and the splitter must cut a stream the same way
// however the transfers divide it. The host's session takes the bytes too, fresh and after a phone's
// handshake: it never throws, ends exactly once, and a stop always ends it.
#include "capture/usb/UsbPacket.hpp"
#include "capture/usb/UsbPacketSplitter.hpp"
#include "capture/usb/UsbScreenSession.hpp"

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace {

using namespace pokescope::usbscreen;

template <class Parse, class Build> void roundTrip(ByteView input, Parse parse, Build build) {
    std::optional<decltype(parse(input))> parsed;
    try {
        parsed = parse(input);
    } catch (const ProtocolError&) {
        return;
    }
    Bytes once = build(*parsed);
    auto again = parse(once);
    if (build(again) != once)
        std::abort();
    // Equal values too, unless a NaN inside makes the value unequal to itself.
    if (*parsed == *parsed && !(again == *parsed))
        std::abort();
}

// The accessors that read further into what a parser accepted.
template <class F> void mayRefuse(F&& read) {
    try {
        read();
    } catch (const ProtocolError&) {
    }
}

void derivedReads(ByteView input) {
    Reply reply{0, 0, Bytes(input.begin(), input.end())};
    mayRefuse([&] { reply.clock(); });
    mayRefuse([&] { reply.time(); });
    mayRefuse([&] { reply.skew(); });
    mayRefuse([&] { reply.dictionary(); });
    mayRefuse([&] {
        SampleBuffer buffer = parseSampleBuffer(input);
        mayRefuse([&] { buffer.nalUnits(); });
        if (buffer.format)
            mayRefuse([&] { buffer.format->h264ParameterSets(); });
    });
    mayRefuse([&] { parseFormatDescription(input).h264ParameterSets(); });
    mayRefuse([&] {
        Packet packet = parsePacket(input);
        if (const auto* cvrp = std::get_if<SyncCvrp>(&packet); cvrp && cvrp->format())
            mayRefuse([&] { cvrp->format()->h264ParameterSets(); });
        if (const auto* feed = std::get_if<AsynFeed>(&packet))
            mayRefuse([&] { feed->buffer.nalUnits(); });
    });
}

// Takes every packet it can; false when the splitter refused the stream.
bool drain(PacketSplitter& splitter, std::vector<Bytes>& packets) {
    try {
        while (auto packet = splitter.next())
            packets.push_back(std::move(*packet));
        return true;
    } catch (const ProtocolError&) {
        return false;
    }
}

void split(ByteView input) {
    // A small limit, so that the fuzzer meets it.
    constexpr std::size_t kLimit = 4096;
    PacketSplitter whole(kLimit);
    std::vector<Bytes> wholePackets;
    whole.append(input);
    bool wholeAccepted = drain(whole, wholePackets);

    PacketSplitter chunked(kLimit);
    std::vector<Bytes> chunkedPackets;
    bool chunkedAccepted = true;
    for (std::size_t at = 0; at < input.size() && chunkedAccepted;) {
        std::size_t size = std::min<std::size_t>(1 + input[at] % 13, input.size() - at);
        chunked.append(input.subspan(at, size));
        chunkedAccepted = drain(chunked, chunkedPackets);
        at += size;
    }
    if (wholeAccepted != chunkedAccepted || wholePackets != chunkedPackets)
        std::abort();
    if (wholeAccepted && whole.pending() != chunked.pending())
        std::abort();
    for (const auto& packet : wholePackets)
        roundTrip(packet, parsePacket, buildPacket);
}

// The session as a phone meets it: optionally the start of a handshake built here (so that the input also
// reaches a streaming session), then the input in pieces while time passes, then a stop.
void session(ByteView input, bool handshake) {
    std::int64_t now = 1'000'000'000;
    int endings = 0;
    std::optional<ClockRef> replied; // the clock in our last reply
    ScreenSession::Events events;
    events.send = [&replied](const Bytes& packet) {
        Packet sent = parsePacket(packet); // what we send always parses
        if (const auto* reply = std::get_if<Reply>(&sent))
            mayRefuse([&] { replied = reply->clock(); });
        return true;
    };
    events.video = [](const SampleBuffer& sample) { mayRefuse([&] { sample.nalUnits(); }); };
    events.ended = [&endings](const std::string&, bool) { ++endings; };
    ScreenSession session(std::move(events), [&now] { return now; });
    if (handshake) {
        const Bytes sps{0x67, 0x64, 0x00, 0x1F}, pps{0x68, 0xEE, 0x3C, 0xB0};
        session.received(buildPacket(Ping{}));
        session.received(buildPacket(SyncCwpa{kNoClock, 0x11, 0x4000135A000074E0}));
        if (!replied)
            std::abort(); // the CWPA was answered with our audio clock
        session.received(buildPacket(SyncAfmt{*replied, 0x12, AudioStreamDescription::pcm48kStereo16()}));
        session.received(buildPacket(SyncCvrp::withFormat(0x13, 0x113538DA0, FormatDescription::h264(1178, 2556, sps, pps))));
        if (session.state() == ScreenSession::State::ended)
            std::abort();
    }
    for (std::size_t at = 0; at < input.size();) {
        std::size_t size = std::min<std::size_t>(1 + input[at] % 61, input.size() - at);
        session.received(input.subspan(at, size));
        at += size;
        now += 250'000'000;
        session.tick();
    }
    session.stop();
    now += 4'000'000'000;
    session.tick();
    if (endings != 1 || session.state() != ScreenSession::State::ended)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ByteView input(data, size);
    roundTrip(input, parsePacket, buildPacket);
    roundTrip(input, parseValue, buildValue);
    roundTrip(input, parseDictionary, buildDictionary);
    roundTrip(input, parseFormatDescription, buildFormatDescription);
    roundTrip(input, parseSampleBuffer, buildSampleBuffer);
    derivedReads(input);
    split(input);
    session(input, false);
    session(input, true);
    return 0;
}
