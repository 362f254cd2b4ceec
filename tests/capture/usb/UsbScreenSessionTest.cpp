#include "capture/usb/UsbScreenSession.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <utility>

using namespace pokescope::usbscreen;
using pokescope::usbscreen::test::concat;
using pokescope::usbscreen::test::hex;
using testing::HasSubstr;
using testing::StartsWith;
using State = ScreenSession::State;

namespace {

// The protocol documentation's example packets, as printed: the phone's greeting and audio start, and the
// NEED that names the video clock of its CVRP.
const Bytes kDocPing = hex("10000000 676E6970 00000000 01000000");
const Bytes kDocCwpa =
    hex("24000000 636E7973 01000000 00000000 61707763 E03D5713 01000000 E0740000 5A130040");
const Bytes kDocOg = hex("20000000 636E7973 8079C17C A67F0000 20216F67 302FD302 01000000 01000000");
const Bytes kDocOgReply = hex("18000000 796C7072 302FD302 01000000 00000000 00000000");
const Bytes kDocNeed = hex("14000000 6E797361 A08D5313 01000000 6465656E");

constexpr ClockRef kDeviceAudioClock = 0x4000135A000074E0;
constexpr CorrelationId kDocCwpaId = 0x113573DE0;
constexpr ClockRef kDeviceVideoClock = 0x113538DA0;
constexpr ClockRef kDeviceTimeBase = 0x111234BC18;

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kMillisecond = 1'000'000;

const Bytes kSps = hex("6764001F AC2484");
const Bytes kPps = hex("68EE3CB0");

FormatDescription portrait() {
    return FormatDescription::h264(1178, 2556, kSps, kPps);
}

FormatDescription landscape() {
    return FormatDescription::h264(2556, 1178, hex("6764002A AC2484"), kPps);
}

AudioStreamDescription cdSound() {
    AudioStreamDescription format = AudioStreamDescription::pcm48kStereo16();
    format.sampleRate = 44100;
    return format;
}

// Frame `index` of the video: an IDR slice and a byte that tells the frames apart.
SampleBuffer videoFrame(int index, std::optional<FormatDescription> format = std::nullopt) {
    return SampleBuffer::h264({hex("65888400"), Bytes{static_cast<std::uint8_t>(index)}},
                              MediaTime::fromNanoseconds(index * 16'666'667),
                              MediaTime::fromNanoseconds(16'666'667), std::move(format));
}

// 10 ms of sound filled with `index`.
SampleBuffer soundChunk(int index,
                        const AudioStreamDescription& format = AudioStreamDescription::pcm48kStereo16()) {
    return SampleBuffer::linearPcm(Bytes(480 * format.bytesPerFrame, static_cast<std::uint8_t>(index)),
                                   format, MediaTime::fromNanoseconds(index * 10 * kMillisecond));
}

// A packet's bytes with the request or message code of a SYNC or ASYN replaced: a kind nobody knows.
Bytes withCode(Bytes packet, const char (&code)[5]) {
    FourCC value = fourcc(code);
    for (int i = 0; i < 4; ++i)
        packet[16 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    return packet;
}

// The packet cut short by `missing` bytes, its length field telling the truth about it.
Bytes truncated(Bytes packet, std::size_t missing) {
    packet.erase(packet.end() - static_cast<std::ptrdiff_t>(missing), packet.end());
    auto length = static_cast<std::uint32_t>(packet.size());
    for (int i = 0; i < 4; ++i)
        packet[i] = static_cast<std::uint8_t>(length >> (8 * i));
    return packet;
}

std::vector<Bytes> built(std::initializer_list<Packet> packets) {
    std::vector<Bytes> bytes;
    for (const auto& packet : packets)
        bytes.push_back(buildPacket(packet));
    return bytes;
}

// Packet names, so that a failure says which packet differs before the bytes do.
std::vector<std::string> names(const std::vector<Bytes>& packets) {
    std::vector<std::string> result;
    for (const auto& packet : packets) {
        try {
            result.emplace_back(packetName(parsePacket(packet)));
        } catch (const ProtocolError& error) {
            result.emplace_back(std::string("unparsable: ") + error.what());
        }
    }
    return result;
}

ClockRef clockIn(const Bytes& reply) {
    return std::get<Reply>(parsePacket(reply)).clock();
}

class UsbScreenSessionTest : public testing::Test {
protected:
    void SetUp() override { start(); }

    void start(ScreenSession::Timeouts timeouts = {}) {
        session.reset();
        forget();
        endings.clear();
        writable = true;
        ScreenSession::Events events;
        events.send = [this](const Bytes& packet) {
            if (!writable)
                return false;
            sent.push_back(packet);
            return true;
        };
        events.videoFormat = [this](const FormatDescription& format) {
            videoFormats.push_back(format);
            order.emplace_back("videoFormat");
        };
        events.video = [this](const SampleBuffer& sample) {
            videos.push_back(sample);
            order.emplace_back("video");
            if (onVideo)
                onVideo();
        };
        events.audioFormat = [this](const AudioStreamDescription& format) {
            audioFormats.push_back(format);
            order.emplace_back("audioFormat");
        };
        events.audio = [this](const SampleBuffer& sample) {
            audios.push_back(sample);
            order.emplace_back("audio");
        };
        events.ended = [this](const std::string& reason, bool orderly) {
            endings.emplace_back(reason, orderly);
            order.emplace_back("ended");
            if (onEnded)
                onEnded();
        };
        events.log = [this](const std::string& line) { logs.push_back(line); };
        session = std::make_unique<ScreenSession>(
            std::move(events), [this] { return now; }, timeouts);
    }

    // Clears what the session did so far, so that a test checks only what follows.
    void forget() {
        sent.clear();
        videoFormats.clear();
        videos.clear();
        audioFormats.clear();
        audios.clear();
        order.clear();
        logs.clear();
    }

    void phone(const Packet& packet) { session->received(buildPacket(packet)); }

    void expectSent(std::initializer_list<Packet> expected) {
        auto got = std::exchange(sent, {});
        auto want = built(expected);
        EXPECT_EQ(names(got), names(want));
        EXPECT_EQ(got, want);
    }

    void expectNothingSent() { EXPECT_EQ(names(std::exchange(sent, {})), std::vector<std::string>{}); }

    // The phone's side of the handshake, as the documentation describes it, up to streaming. It learns
    // our clocks from our replies, as the phone does.
    void handshake() {
        phone(Ping{});
        phone(SyncCwpa{kNoClock, 0x11, kDeviceAudioClock});
        ASSERT_EQ(sent.size(), 4U);
        ourAudioClock = clockIn(sent[1]);
        phone(SyncAfmt{ourAudioClock, 0x12, AudioStreamDescription::pcm48kStereo16()});
        phone(SyncCvrp::withFormat(0x13, kDeviceVideoClock, portrait()));
        ASSERT_EQ(sent.size(), 7U);
        ourVideoClock = clockIn(sent[5]);
        ASSERT_EQ(session->state(), State::streaming);
        forget();
    }

    bool hasLog(const std::string& part) const {
        for (const auto& line : logs)
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }

    std::int64_t now = 7 * kSecond;
    bool writable = true;
    std::function<void()> onVideo;
    std::function<void()> onEnded;
    std::vector<Bytes> sent;
    std::vector<FormatDescription> videoFormats;
    std::vector<SampleBuffer> videos;
    std::vector<AudioStreamDescription> audioFormats;
    std::vector<SampleBuffer> audios;
    std::vector<std::string> order;
    std::vector<std::pair<std::string, bool>> endings;
    std::vector<std::string> logs;
    ClockRef ourAudioClock = 0;
    ClockRef ourVideoClock = 0;
    std::unique_ptr<ScreenSession> session;
};

using Endings = std::vector<std::pair<std::string, bool>>;

} // namespace

// ---- The handshake ----

TEST_F(UsbScreenSessionTest, TheHandshakeIsAnsweredByteForByte) {
    EXPECT_EQ(session->state(), State::waitingForPing);

    session->received(kDocPing);
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(sent[0], kDocPing);
    EXPECT_EQ(session->state(), State::starting);
    sent.clear();

    session->received(kDocCwpa);
    ASSERT_EQ(sent.size(), 3U);
    // Our answer names the request and our new audio clock; video and sound are then switched on, the
    // sound with the phone's audio clock.
    EXPECT_EQ(Bytes(sent[0].begin(), sent[0].begin() + 20),
              hex("1C000000 796C7072 E03D5713 01000000 00000000"));
    ClockRef ourAudio = clockIn(sent[0]);
    EXPECT_EQ(session->hostAudioClock(), ourAudio);
    EXPECT_EQ(session->deviceAudioClock(), kDeviceAudioClock);
    EXPECT_EQ(sent[1], hex("14000000 6E797361 01000000 00000000 31647068"));
    EXPECT_EQ(sent[2], hex("14000000 6E797361 E0740000 5A130040 31617068"));
    expectSent({Reply::withClock(kDocCwpaId, ourAudio), AsynHpd1{kNoClock, std::nullopt},
                AsynHpa1{kDeviceAudioClock, std::nullopt}});

    phone(SyncAfmt{ourAudio, 0x22, AudioStreamDescription::pcm48kStereo16()});
    expectSent({Reply::audioFormatAccepted(0x22)});
    EXPECT_EQ(audioFormats, std::vector{AudioStreamDescription::pcm48kStereo16()});
    EXPECT_EQ(session->state(), State::starting);

    phone(SyncCvrp::withFormat(0x33, kDeviceVideoClock, portrait()));
    ASSERT_EQ(sent.size(), 2U);
    ClockRef ourVideo = clockIn(sent[0]);
    EXPECT_EQ(session->hostVideoClock(), ourVideo);
    EXPECT_EQ(session->deviceVideoClock(), kDeviceVideoClock);
    // The first NEED carries the phone's video clock, exactly as the documentation prints it.
    EXPECT_EQ(sent[1], kDocNeed);
    expectSent({Reply::withClock(0x33, ourVideo), AsynNeed{kDeviceVideoClock}});
    EXPECT_EQ(videoFormats, std::vector{portrait()});
    EXPECT_EQ(session->state(), State::streaming);
    EXPECT_EQ(session->videoSamples(), 0U);
    EXPECT_TRUE(endings.empty());
}

TEST_F(UsbScreenSessionTest, OurClocksAreDistinctAndNeverTheSpecialValues) {
    handshake();
    std::set<ClockRef> ours{ourAudioClock, ourVideoClock};
    for (CorrelationId id = 0x40; id < 0x43; ++id) {
        phone(SyncClok{ourVideoClock, id});
        ASSERT_EQ(sent.size(), 1U);
        auto reply = std::get<Reply>(parsePacket(sent[0]));
        EXPECT_EQ(reply.correlationId, id);
        ours.insert(reply.clock());
        sent.clear();
    }
    EXPECT_EQ(ours.size(), 5U);
    for (ClockRef clock : {ClockRef{0}, kNoClock, kDeviceAudioClock, kDeviceVideoClock})
        EXPECT_EQ(ours.count(clock), 0U) << std::hex << clock;
}

TEST_F(UsbScreenSessionTest, TimeIsHowLongAgoTheNamedClockWasMade) {
    handshake();
    std::int64_t videoClockMade = now;
    now += kSecond;
    phone(SyncClok{ourVideoClock, 0x50});
    ClockRef clock = clockIn(sent.at(0));
    sent.clear();

    now += 1500 * kMillisecond;
    phone(SyncTime{clock, 0x51});
    expectSent({Reply::withTime(0x51, MediaTime::fromNanoseconds(1500 * kMillisecond))});
    now += 250 * kMillisecond;
    phone(SyncTime{clock, 0x52});
    expectSent({Reply::withTime(0x52, MediaTime::fromNanoseconds(1750 * kMillisecond))});
    // Each clock counts from its own start.
    phone(SyncTime{ourVideoClock, 0x53});
    expectSent({Reply::withTime(0x53, MediaTime::fromNanoseconds(now - videoClockMade))});
}

TEST_F(UsbScreenSessionTest, SkewAndOgGetTheAnswersThePhoneExpects) {
    handshake();
    phone(SyncSkew{ourAudioClock, 0x60, {}});
    expectSent({Reply::withSkew(0x60, 48000.0)});
    session->received(kDocOg);
    ASSERT_EQ(sent.size(), 1U);
    EXPECT_EQ(sent[0], kDocOgReply);
    sent.clear();
    EXPECT_EQ(session->state(), State::streaming);
}

TEST_F(UsbScreenSessionTest, AnnouncementsAreLoggedAndNeverAnswered) {
    handshake();
    phone(AsynSprp{ourVideoClock, Entry{std::string("ObeyEmptyMediaMarkers"), true}});
    phone(AsynSprp{ourVideoClock, Entry{std::string("RenderEmptyMedia"), false}});
    phone(AsynTbas{ourVideoClock, kDeviceTimeBase});
    phone(AsynSrat{kDeviceTimeBase, 1.0F, 1.0F, MediaTime::fromNanoseconds(3 * kSecond)});
    phone(AsynTjmp{kDeviceTimeBase, Bytes(56, 0)});
    phone(AsynRels{kDeviceTimeBase});
    expectNothingSent();
    EXPECT_EQ(session->state(), State::streaming);
    EXPECT_TRUE(hasLog("ObeyEmptyMediaMarkers = true")) << testing::PrintToString(logs);
    EXPECT_TRUE(hasLog("RenderEmptyMedia = false"));
    EXPECT_TRUE(hasLog("0x111234bc18"));
}

TEST_F(UsbScreenSessionTest, SoundThatComesBeforeVideoIsHandedOn) {
    phone(Ping{});
    phone(SyncCwpa{kNoClock, 0x11, kDeviceAudioClock});
    ClockRef ourAudio = clockIn(sent.at(1));
    sent.clear();
    phone(AsynEat{ourAudio, soundChunk(1)});
    EXPECT_EQ(audios, std::vector{soundChunk(1)});
    expectNothingSent();
    EXPECT_EQ(session->state(), State::starting);
}

// ---- Streaming ----

TEST_F(UsbScreenSessionTest, EveryFeedIsHandedOnAndAnsweredWithOneNeed) {
    handshake();
    // The NEED is out before the frame is handed on, so the phone encodes the next one meanwhile.
    std::vector<std::size_t> sentWhenHandedOn;
    onVideo = [&] { sentWhenHandedOn.push_back(sent.size()); };
    std::vector<SampleBuffer> expected;
    for (int i = 0; i < 5; ++i) {
        expected.push_back(videoFrame(i, i == 0 ? std::optional(portrait()) : std::nullopt));
        phone(AsynFeed{ourVideoClock, expected.back()});
        expectSent({AsynNeed{kDeviceVideoClock}});
    }
    EXPECT_EQ(videos, expected);
    EXPECT_EQ(sentWhenHandedOn, std::vector<std::size_t>(5, 1));
    EXPECT_EQ(session->videoSamples(), 5U);
    // The first frame repeats the format CVRP gave: nothing new to announce.
    EXPECT_TRUE(videoFormats.empty());
}

TEST_F(UsbScreenSessionTest, AChangedVideoFormatIsAnnouncedBeforeItsFrame) {
    handshake();
    phone(AsynFeed{ourVideoClock, videoFrame(1, portrait())});
    phone(AsynFeed{ourVideoClock, videoFrame(2, landscape())});
    phone(AsynFeed{ourVideoClock, videoFrame(3, landscape())});
    phone(AsynFeed{ourVideoClock, videoFrame(4, portrait())});
    EXPECT_EQ(order,
              (std::vector<std::string>{"video", "videoFormat", "video", "video", "videoFormat", "video"}));
    EXPECT_EQ(videoFormats, (std::vector{landscape(), portrait()}));
    EXPECT_EQ(videos.at(1), videoFrame(2, landscape()));
    EXPECT_EQ(sent.size(), 4U);
}

TEST_F(UsbScreenSessionTest, SoundAndAChangedSoundFormatAreHandedOn) {
    handshake();
    phone(AsynEat{ourAudioClock, soundChunk(1)});
    phone(AsynEat{ourAudioClock, soundChunk(2, cdSound())});
    phone(AsynEat{ourAudioClock, soundChunk(3, cdSound())});
    EXPECT_EQ(order, (std::vector<std::string>{"audio", "audioFormat", "audio", "audio"}));
    EXPECT_EQ(audioFormats, std::vector{cdSound()});
    EXPECT_EQ(audios, (std::vector{soundChunk(1), soundChunk(2, cdSound()), soundChunk(3, cdSound())}));
    // Sound is never asked for.
    expectNothingSent();
    EXPECT_EQ(session->videoSamples(), 0U);
}

TEST_F(UsbScreenSessionTest, HowTheBytesAreCutDoesNotMatter) {
    // The phone's whole side, learnt packet by packet from a first session.
    std::vector<Bytes> script;
    auto play = [&](const Packet& packet) {
        script.push_back(buildPacket(packet));
        session->received(script.back());
    };
    play(Ping{});
    play(SyncCwpa{kNoClock, 0x11, kDeviceAudioClock});
    ClockRef ourAudio = clockIn(sent.at(1));
    play(SyncAfmt{ourAudio, 0x12, AudioStreamDescription::pcm48kStereo16()});
    play(SyncCvrp::withFormat(0x13, kDeviceVideoClock, portrait()));
    ClockRef ourVideo = clockIn(sent.at(5));
    play(AsynSprp{ourVideo, Entry{std::string("ObeyEmptyMediaMarkers"), true}});
    play(SyncClok{ourVideo, 0x14});
    ClockRef clock = clockIn(sent.back());
    play(SyncTime{clock, 0x15});
    play(SyncSkew{clock, 0x16, {}});
    for (int i = 0; i < 3; ++i) {
        play(AsynFeed{ourVideo, videoFrame(i, i == 1 ? std::optional(landscape()) : std::nullopt)});
        play(AsynEat{ourAudio, soundChunk(i)});
    }
    play(SyncOg{clock, 0x17, 1});
    ASSERT_EQ(sent.size(), 14U) << testing::PrintToString(names(sent));
    const auto wantSent = sent;
    const auto wantOrder = order;
    const auto wantVideos = videos;
    const auto wantAudios = audios;
    Bytes stream;
    for (const auto& packet : script)
        stream.insert(stream.end(), packet.begin(), packet.end());

    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, stream.size()}) {
        SCOPED_TRACE("chunks of " + std::to_string(chunk));
        start();
        for (std::size_t at = 0; at < stream.size(); at += chunk)
            session->received(ByteView(stream).subspan(at, std::min(chunk, stream.size() - at)));
        EXPECT_EQ(names(sent), names(wantSent));
        EXPECT_EQ(sent, wantSent);
        EXPECT_EQ(order, wantOrder);
        EXPECT_EQ(videos, wantVideos);
        EXPECT_EQ(audios, wantAudios);
        EXPECT_EQ(session->state(), State::streaming);
        EXPECT_EQ(session->videoSamples(), 3U);
    }
}

// ---- Time-outs ----

TEST_F(UsbScreenSessionTest, NoGreetingEndsTheSessionAfterThePingTimeOut) {
    session->tick();
    now += 4999 * kMillisecond;
    session->tick();
    EXPECT_EQ(session->state(), State::waitingForPing);
    EXPECT_TRUE(endings.empty());
    now += kMillisecond;
    session->tick();
    EXPECT_EQ(session->state(), State::ended);
    EXPECT_EQ(endings,
              (Endings{{"the iPhone did not answer: no screen-sharing greeting within 5 s", false}}));
    expectNothingSent();
}

TEST_F(UsbScreenSessionTest, ThePingTimeOutCountsFromTheFirstTickAndSaysItsLength) {
    start({.pingNanoseconds = 2500 * kMillisecond});
    now += 60 * kSecond; // the owner has not started ticking yet
    session->tick();
    now += 2499 * kMillisecond;
    session->tick();
    EXPECT_EQ(session->state(), State::waitingForPing);
    now += kMillisecond;
    session->tick();
    ASSERT_EQ(endings.size(), 1U);
    EXPECT_THAT(endings[0].first, HasSubstr("within 2.5 s"));
}

TEST_F(UsbScreenSessionTest, AHandshakeThatStallsEndsAfterItsTimeOut) {
    session->tick();
    now += 4 * kSecond;
    phone(Ping{});
    phone(SyncCwpa{kNoClock, 0x11, kDeviceAudioClock});
    // The ping deadline no longer applies; the handshake's counts from the greeting.
    now += 9999 * kMillisecond;
    session->tick();
    EXPECT_EQ(session->state(), State::starting);
    now += kMillisecond;
    session->tick();
    EXPECT_EQ(session->state(), State::ended);
    EXPECT_EQ(endings,
              (Endings{{"the iPhone did not answer: screen sharing did not start within 10 s of its greeting",
                        false}}));
}

TEST_F(UsbScreenSessionTest, StreamingHasNoTimeOut) {
    session->tick();
    handshake();
    now += 3600 * kSecond; // a screen that does not change sends nothing
    session->tick();
    EXPECT_EQ(session->state(), State::streaming);
    EXPECT_TRUE(endings.empty());
}

// ---- Stopping ----

TEST_F(UsbScreenSessionTest, StopAsksThePhoneAndEndsOrderlyOnItsStop) {
    handshake();
    session->stop();
    expectSent({AsynHpa0{kDeviceAudioClock}, AsynHpd0{kNoClock}});
    EXPECT_EQ(session->state(), State::stopping);

    // Frames already on their way are handed on, but no more are asked for.
    phone(AsynFeed{ourVideoClock, videoFrame(9)});
    EXPECT_EQ(videos, std::vector{videoFrame(9)});
    phone(AsynRels{kDeviceTimeBase});
    expectNothingSent();
    EXPECT_TRUE(hasLog("released clock 0x111234bc18"));

    phone(SyncStop{ourVideoClock, 0x70});
    expectSent({Reply::empty(0x70)});
    EXPECT_EQ(session->state(), State::ended);
    EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));

    // The phone's release of our clocks after that changes nothing.
    phone(AsynRels{ourVideoClock});
    expectNothingSent();
    EXPECT_EQ(endings.size(), 1U);
}

TEST_F(UsbScreenSessionTest, AStopOfAnotherClockWhileStoppingIsAnsweredAndTheWaitGoesOn) {
    handshake();
    session->stop();
    sent.clear();
    phone(SyncStop{ourAudioClock, 0x71});
    expectSent({Reply::empty(0x71)});
    EXPECT_EQ(session->state(), State::stopping);
    phone(SyncStop{ourVideoClock, 0x72});
    expectSent({Reply::empty(0x72)});
    EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));
}

TEST_F(UsbScreenSessionTest, APhoneThatDoesNotConfirmTheStopEndsTheSessionAfterItsTimeOut) {
    handshake();
    session->tick();
    session->stop();
    now += 2999 * kMillisecond;
    session->tick();
    EXPECT_EQ(session->state(), State::stopping);
    now += kMillisecond;
    session->tick();
    EXPECT_EQ(endings,
              (Endings{{"the iPhone did not answer: it did not confirm the end of screen sharing within 3 s",
                        false}}));
}

TEST_F(UsbScreenSessionTest, StopTwiceAsksOnce) {
    handshake();
    session->stop();
    session->stop();
    expectSent({AsynHpa0{kDeviceAudioClock}, AsynHpd0{kNoClock}});
    EXPECT_EQ(session->state(), State::stopping);
}

TEST_F(UsbScreenSessionTest, StopBeforeTheGreetingEndsAtOnce) {
    session->stop();
    expectNothingSent();
    EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));
    session->received(kDocPing);
    expectNothingSent();
}

TEST_F(UsbScreenSessionTest, StopDuringTheHandshakeSwitchesOffWhatItSwitchedOn) {
    phone(Ping{});
    sent.clear();
    session->stop();
    expectNothingSent();
    EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));

    start();
    phone(Ping{});
    phone(SyncCwpa{kNoClock, 0x11, kDeviceAudioClock});
    sent.clear();
    session->stop();
    expectSent({AsynHpa0{kDeviceAudioClock}, AsynHpd0{kNoClock}});
    EXPECT_EQ(session->state(), State::ended);
    EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));
}

// ---- The phone ends it ----

TEST_F(UsbScreenSessionTest, APhoneThatStopsOnItsOwnIsAnsweredAndEndsTheSession) {
    handshake();
    phone(SyncStop{ourVideoClock, 0x80});
    expectSent({Reply::empty(0x80)});
    EXPECT_EQ(session->state(), State::ended);
    EXPECT_EQ(endings, (Endings{{"the iPhone stopped screen sharing", false}}));
}

TEST_F(UsbScreenSessionTest, APhoneThatReleasesItsVideoClockEndsTheSession) {
    handshake();
    phone(AsynRels{kDeviceVideoClock});
    expectNothingSent();
    EXPECT_EQ(endings, (Endings{{"the iPhone stopped screen sharing", false}}));
}

TEST_F(UsbScreenSessionTest, AStopOfAnotherClockIsAnsweredAndStreamingGoesOn) {
    handshake();
    phone(SyncStop{ourAudioClock, 0x81});
    expectSent({Reply::empty(0x81)});
    EXPECT_EQ(session->state(), State::streaming);
    phone(AsynFeed{ourVideoClock, videoFrame(1)});
    expectSent({AsynNeed{kDeviceVideoClock}});
}

// ---- Bad input ----

TEST_F(UsbScreenSessionTest, AnImpossibleLengthEndsTheSessionAndNothingAfterIsRead) {
    handshake();
    session->received(
        concat({hex("03000000 6E797361"), buildPacket(AsynFeed{ourVideoClock, videoFrame(1)})}));
    ASSERT_EQ(endings.size(), 1U);
    EXPECT_THAT(endings[0].first, StartsWith("the iPhone sent a damaged packet: "));
    EXPECT_THAT(endings[0].first, HasSubstr("8-byte header"));
    EXPECT_FALSE(endings[0].second);
    phone(AsynFeed{ourVideoClock, videoFrame(2)});
    EXPECT_TRUE(videos.empty());
    expectNothingSent();
}

TEST_F(UsbScreenSessionTest, ADamagedRequestEndsTheSessionUnanswered) {
    phone(Ping{});
    sent.clear();
    session->received(truncated(buildPacket(SyncCwpa{kNoClock, 0x11, kDeviceAudioClock}), 3));
    expectNothingSent();
    ASSERT_EQ(endings.size(), 1U);
    EXPECT_THAT(endings[0].first, StartsWith("the iPhone sent a damaged packet: "));
    EXPECT_THAT(endings[0].first, HasSubstr("SYNC CWPA"));
    EXPECT_EQ(session->state(), State::ended);
}

TEST_F(UsbScreenSessionTest, AFrameWhoseNalLengthsOverrunItEndsTheSession) {
    handshake();
    SampleBuffer frame = videoFrame(1);
    frame.data = hex("00000009 65888400");
    phone(AsynFeed{ourVideoClock, frame});
    EXPECT_TRUE(videos.empty());
    expectNothingSent();
    ASSERT_EQ(endings.size(), 1U);
    EXPECT_THAT(endings[0].first, StartsWith("the iPhone sent a damaged packet: "));
    EXPECT_THAT(endings[0].first, HasSubstr("H.264 sample"));
}

TEST_F(UsbScreenSessionTest, ASecondVideoStartEndsTheSession) {
    handshake();
    phone(SyncCvrp::withFormat(0x90, 0x1234, landscape()));
    expectNothingSent();
    EXPECT_TRUE(videoFormats.empty());
    ASSERT_EQ(endings.size(), 1U);
    EXPECT_THAT(endings[0].first, HasSubstr("damaged packet: a second SYNC CVRP"));
    EXPECT_EQ(session->deviceVideoClock(), kDeviceVideoClock);
}

TEST_F(UsbScreenSessionTest, AFirstPacketOtherThanTheGreetingEndsTheSession) {
    session->received(kDocCwpa);
    expectNothingSent();
    EXPECT_EQ(endings,
              (Endings{{"the iPhone did not start screen sharing: its first packet was SYNC CWPA, not "
                        "the greeting (PING)",
                        false}}));

    start();
    session->received(withCode(buildPacket(AsynRels{5}), "zzzz"));
    expectNothingSent();
    ASSERT_EQ(endings.size(), 1U);
    EXPECT_THAT(endings[0].first, HasSubstr("its first packet was ASYN message 'zzzz'"));
}

TEST_F(UsbScreenSessionTest, PacketsOfUnknownKindsAreSkipped) {
    handshake();
    session->received(withCode(buildPacket(AsynRels{ourVideoClock}), "zzzz"));
    session->received(withCode(buildPacket(SyncClok{ourVideoClock, 0xA0}), "qqqq"));
    expectNothingSent();
    EXPECT_TRUE(hasLog("ASYN message 'zzzz'")) << testing::PrintToString(logs);
    EXPECT_TRUE(hasLog("SYNC request 'qqqq'"));
    phone(AsynFeed{ourVideoClock, videoFrame(1)});
    expectSent({AsynNeed{kDeviceVideoClock}});
    EXPECT_TRUE(endings.empty());
}

TEST_F(UsbScreenSessionTest, HarmlessSurprisesAreSkipped) {
    phone(Ping{});
    forget();
    // Video before video has started, sound before sound has: nothing to hand them to yet.
    phone(AsynFeed{0x99, videoFrame(1)});
    phone(AsynEat{0x98, soundChunk(1)});
    // A second greeting, an answer to nothing, and what only we send.
    phone(Ping{});
    phone(Reply::empty(0x99));
    phone(AsynNeed{kDeviceVideoClock});
    expectNothingSent();
    EXPECT_TRUE(videos.empty());
    EXPECT_TRUE(audios.empty());
    EXPECT_EQ(session->videoSamples(), 0U);
    EXPECT_EQ(session->state(), State::starting);
    EXPECT_TRUE(endings.empty());
    EXPECT_EQ(logs.size(), 5U) << testing::PrintToString(logs);
}

TEST_F(UsbScreenSessionTest, AFailedWriteEndsTheSession) {
    writable = false;
    phone(Ping{});
    EXPECT_EQ(endings, (Endings{{"couldn't write to the iPhone (PING)", false}}));
    EXPECT_EQ(session->state(), State::ended);

    start();
    handshake();
    writable = false;
    phone(AsynFeed{ourVideoClock, videoFrame(1)});
    phone(AsynFeed{ourVideoClock, videoFrame(2)});
    // The NEED goes out before the frame is handed on; once it fails, nothing more is.
    EXPECT_TRUE(videos.empty());
    EXPECT_EQ(endings, (Endings{{"couldn't write to the iPhone (ASYN NEED)", false}}));
}

TEST_F(UsbScreenSessionTest, AFailedWriteWhileStoppingEndsTheSessionWithoutOrder) {
    handshake();
    writable = false;
    session->stop();
    EXPECT_EQ(endings, (Endings{{"couldn't write to the iPhone (ASYN HPA0)", false}}));
    EXPECT_EQ(session->state(), State::ended);
}

// ---- After the end, and events that call back ----

TEST_F(UsbScreenSessionTest, NothingHappensAfterTheEnd) {
    handshake();
    phone(SyncStop{ourVideoClock, 0x80});
    forget();
    phone(AsynFeed{ourVideoClock, videoFrame(1)});
    phone(AsynEat{ourAudioClock, soundChunk(1)});
    phone(SyncClok{ourVideoClock, 0x81});
    session->received(kDocPing);
    session->stop();
    now += 3600 * kSecond;
    session->tick();
    expectNothingSent();
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(endings.size(), 1U);
    EXPECT_EQ(session->state(), State::ended);
    EXPECT_EQ(session->videoSamples(), 0U);
}

TEST_F(UsbScreenSessionTest, AVideoHandlerMayStopTheSession) {
    handshake();
    onVideo = [this] {
        if (videos.size() == 1)
            session->stop();
    };
    // Both frames arrive in one transfer; the second is handled after the stop, and asks for no more.
    session->received(concat({buildPacket(AsynFeed{ourVideoClock, videoFrame(1)}),
                              buildPacket(AsynFeed{ourVideoClock, videoFrame(2)})}));
    expectSent({AsynNeed{kDeviceVideoClock}, AsynHpa0{kDeviceAudioClock}, AsynHpd0{kNoClock}});
    EXPECT_EQ(videos, (std::vector{videoFrame(1), videoFrame(2)}));
    EXPECT_EQ(session->state(), State::stopping);
    phone(SyncStop{ourVideoClock, 0x82});
    expectSent({Reply::empty(0x82)});
    EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));
}

TEST_F(UsbScreenSessionTest, BytesGivenByAHandlerWaitForThePacketBeingHandled) {
    handshake();
    const Bytes second = buildPacket(AsynFeed{ourVideoClock, videoFrame(2)});
    onVideo = [&] {
        if (videos.size() == 1) {
            session->received(second);
            // Not yet: the first frame's NEED goes out first.
            EXPECT_EQ(videos.size(), 1U);
        }
    };
    phone(AsynFeed{ourVideoClock, videoFrame(1)});
    EXPECT_EQ(videos, (std::vector{videoFrame(1), videoFrame(2)}));
    expectSent({AsynNeed{kDeviceVideoClock}, AsynNeed{kDeviceVideoClock}});
}

TEST_F(UsbScreenSessionTest, TheEndedHandlerMayCallBackWithoutASecondEnd) {
    handshake();
    onEnded = [this] {
        session->stop();
        session->tick();
        session->received(buildPacket(AsynFeed{ourVideoClock, videoFrame(1)}));
    };
    phone(SyncStop{ourVideoClock, 0x83});
    expectSent({Reply::empty(0x83)});
    EXPECT_EQ(endings, (Endings{{"the iPhone stopped screen sharing", false}}));
    EXPECT_TRUE(videos.empty());
}
