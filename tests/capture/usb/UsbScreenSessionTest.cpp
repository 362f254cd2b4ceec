// The host's side of a screen-sharing session against a scripted phone.
#include "capture/usb/UsbScreenSession.hpp"

#include "UsbTestBytes.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

using namespace pokescope::usbscreen;
using namespace pokescope::usbscreen::test;
using testing::HasSubstr;
using testing::Contains;
using State = ScreenSession::State;

namespace {

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kMillisecond = 1'000'000;

const FormatDescription kPortrait = FormatDescription::h264(1178, 2556, kSps, kPps);
const FormatDescription kLandscape = FormatDescription::h264(2556, 1178, hex("6764002A AC2484"), kPps);

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

// A SYNC's or ASYN's bytes with its code replaced by four times `letter`: a kind nobody knows.
Bytes withCode(Bytes packet, char letter) {
    std::fill_n(packet.begin() + 16, 4, static_cast<std::uint8_t>(letter));
    return packet;
}

using Endings = std::vector<std::pair<std::string, bool>>;

class UsbScreenSessionTest : public testing::Test {
protected:
    void SetUp() override { start(); }

    void start(ScreenSession::Timeouts timeouts = {}) {
        session.reset();
        forget();
        endings.clear();
        writable = true;
        ScreenSession::Events events;
        events.send = [this](const Bytes& packet) { return writable && (sent.push_back(packet), true); };
        events.videoFormat = [this](const auto& format) { record("videoFormat", videoFormats, format); };
        events.video = [this](const SampleBuffer& sample) {
            record("video", videos, sample);
            if (onVideo)
                onVideo();
        };
        events.audioFormat = [this](const auto& format) { record("audioFormat", audioFormats, format); };
        events.audio = [this](const SampleBuffer& sample) { record("audio", audios, sample); };
        events.ended = [this](const std::string& reason, bool orderly) {
            record("ended", endings, std::pair(reason, orderly));
            if (onEnded)
                onEnded();
        };
        events.log = [this](const std::string& line) { logs.push_back(line); };
        session = std::make_unique<ScreenSession>(std::move(events), [this] { return now; }, timeouts);
    }

    template <class T, class V> void record(const char* event, std::vector<T>& into, V&& value) {
        into.push_back(std::forward<V>(value));
        order.emplace_back(event);
    }

    void forget() {
        sent = {}, videoFormats = {}, videos = {}, audioFormats = {}, audios = {}, order = {}, logs = {};
    }

    void phone(const Packet& packet) { session->received(buildPacket(packet)); }
    static ClockRef clockIn(const Bytes& reply) { return std::get<Reply>(parsePacket(reply)).clock(); }

    void expectSent(std::initializer_list<Packet> expected) {
        std::vector<Bytes> want;
        for (const auto& packet : expected)
            want.push_back(buildPacket(packet));
        EXPECT_EQ(std::exchange(sent, {}), want);
    }

    void expectNothingSent() { EXPECT_EQ(std::exchange(sent, {}).size(), 0U); }

    // The phone's greeting and audio start; it learns our audio clock from our reply, as the phone does.
    void greet() {
        phone(Ping{});
        phone(SyncCwpa{kNoClock, 0x11, kDeviceAudioClock});
        ASSERT_EQ(sent.size(), 4U);
        ourAudioClock = clockIn(sent[1]);
    }

    // The phone's side of the handshake, as the documentation describes it, up to streaming.
    void handshake() {
        greet();
        phone(SyncAfmt{ourAudioClock, 0x12, AudioStreamDescription::pcm48kStereo16()});
        phone(SyncCvrp::withFormat(0x13, kDeviceVideoClock, kPortrait));
        ASSERT_EQ(sent.size(), 7U);
        ourVideoClock = clockIn(sent[5]);
        forget();
    }

    std::int64_t now = 7 * kSecond;
    bool writable = true;
    std::function<void()> onVideo, onEnded;
    std::vector<Bytes> sent;
    std::vector<FormatDescription> videoFormats;
    std::vector<AudioStreamDescription> audioFormats;
    std::vector<SampleBuffer> videos, audios;
    std::vector<std::string> order;
    Endings endings;
    std::vector<std::string> logs;
    ClockRef ourAudioClock = 0, ourVideoClock = 0;
    std::unique_ptr<ScreenSession> session;
};

} // namespace

TEST_F(UsbScreenSessionTest, TheHandshakeIsAnsweredByteForByte) {
    session->received(kPing);
    EXPECT_EQ(std::exchange(sent, {}), std::vector<Bytes>{kPing});
    EXPECT_EQ(session->state(), State::starting);

    session->received(kCwpa);
    ASSERT_EQ(sent.size(), 3U);
    // Our answer names the request and our new audio clock; video and sound are then switched on, the
    // sound with the phone's audio clock.
    ClockRef ourAudio = clockIn(sent[0]);
    expectSent({Reply::withClock(0x113573DE0, ourAudio), AsynHpd1{kNoClock, std::nullopt},
                AsynHpa1{kDeviceAudioClock, std::nullopt}});

    phone(SyncAfmt{ourAudio, 0x22, AudioStreamDescription::pcm48kStereo16()});
    expectSent({Reply::audioFormatAccepted(0x22)});
    EXPECT_EQ(audioFormats, std::vector{AudioStreamDescription::pcm48kStereo16()});
    EXPECT_EQ(session->state(), State::starting);
    // Sound may come before video has started.
    phone(AsynEat{ourAudio, soundChunk(1)});
    EXPECT_EQ(audios, std::vector{soundChunk(1)});
    expectNothingSent();

    phone(SyncCvrp::withFormat(0x33, kDeviceVideoClock, kPortrait));
    ASSERT_EQ(sent.size(), 2U);
    ClockRef ourVideo = clockIn(sent[0]);
    expectSent({Reply::withClock(0x33, ourVideo), AsynNeed{kDeviceVideoClock}});
    EXPECT_EQ(videoFormats, std::vector{kPortrait});
    EXPECT_EQ(session->state(), State::streaming);
}

TEST_F(UsbScreenSessionTest, ClocksAreNewAndTellTheTimeSinceTheyWereMadeAndOnlyRequestsAreAnswered) {
    handshake();
    std::int64_t videoClockMade = now;
    now += kSecond;
    phone(SyncClok{ourVideoClock, 0x50});
    EXPECT_EQ(std::get<Reply>(parsePacket(sent.at(0))).correlationId, 0x50U);
    ClockRef clock = clockIn(std::exchange(sent, {}).at(0));
    for (ClockRef taken :
         {ClockRef{0}, kNoClock, kDeviceAudioClock, kDeviceVideoClock, ourAudioClock, ourVideoClock})
        EXPECT_NE(clock, taken);
    now += 1500 * kMillisecond;
    phone(SyncTime{clock, 0x51});
    expectSent({Reply::withTime(0x51, MediaTime::fromNanoseconds(1500 * kMillisecond))});
    // Each clock counts from its own start.
    phone(SyncTime{ourVideoClock, 0x53});
    expectSent({Reply::withTime(0x53, MediaTime::fromNanoseconds(now - videoClockMade))});
    // Skew and OG are answered; announcements are not.
    phone(SyncSkew{ourAudioClock, 0x60, {}});
    expectSent({Reply::withSkew(0x60, 48000.0)});
    session->received(kOg);
    EXPECT_EQ(std::exchange(sent, {}), std::vector<Bytes>{kOgReply});
    phone(AsynSprp{ourVideoClock, Entry{std::string("ObeyEmptyMediaMarkers"), true}});
    phone(AsynTbas{ourVideoClock, ClockRef{0x111234BC18}});
    phone(AsynRels{ClockRef{0x111234BC18}});
    expectNothingSent();
    EXPECT_EQ(session->state(), State::streaming);
}

TEST_F(UsbScreenSessionTest, EveryFeedIsAnsweredWithOneNeedAndChangedFormatsAreAnnouncedFirst) {
    handshake();
    // The first frame repeats the format CVRP gave: nothing new to announce.
    std::vector<SampleBuffer> expected{videoFrame(1, kPortrait), videoFrame(2, kLandscape), videoFrame(3),
                                       videoFrame(4, kLandscape), videoFrame(5, kPortrait)};
    for (const auto& frame : expected) {
        phone(AsynFeed{ourVideoClock, frame});
        expectSent({AsynNeed{kDeviceVideoClock}});
    }
    EXPECT_EQ(order, (std::vector<std::string>{"video", "videoFormat", "video", "video", "video",
                                               "videoFormat", "video"}));
    EXPECT_EQ(videoFormats, (std::vector{kLandscape, kPortrait}));
    EXPECT_EQ(videos, expected);
    forget();

    AudioStreamDescription cd = AudioStreamDescription::pcm48kStereo16();
    cd.sampleRate = 44100;
    for (const auto& chunk : {soundChunk(1), soundChunk(2, cd), soundChunk(3, cd)})
        phone(AsynEat{ourAudioClock, chunk});
    EXPECT_EQ(order, (std::vector<std::string>{"audio", "audioFormat", "audio", "audio"}));
    EXPECT_EQ(audioFormats, std::vector{cd});
    EXPECT_EQ(audios, (std::vector{soundChunk(1), soundChunk(2, cd), soundChunk(3, cd)}));
    expectNothingSent(); // sound is never asked for
}

TEST_F(UsbScreenSessionTest, EachWaitEndsAfterItsTimeOutAndStreamingHasNone) {
    // Ticks until one millisecond before `budget` has passed, then past it, and expects `ending`.
    auto expectTimeOut = [this](std::int64_t budget, const std::string& ending) {
        State waiting = session->state();
        forget();
        now += budget - kMillisecond;
        session->tick();
        EXPECT_EQ(session->state(), waiting);
        EXPECT_TRUE(endings.empty());
        now += kMillisecond;
        session->tick();
        EXPECT_EQ(endings, (Endings{{ending, false}}));
        expectNothingSent();
    };
    start({.pingNanoseconds = 2500 * kMillisecond});
    now += 60 * kSecond; // the owner has not started ticking yet
    session->tick();
    expectTimeOut(2500 * kMillisecond, "the iPhone did not answer: no screen-sharing greeting within 2.5 s");
    // The greeting's deadline no longer applies; the handshake's counts from the greeting.
    start();
    session->tick();
    now += 4 * kSecond;
    greet();
    expectTimeOut(10 * kSecond,
                  "the iPhone did not answer: screen sharing did not start within 10 s of its greeting");
    start();
    session->tick();
    handshake();
    now += 3600 * kSecond; // a screen that does not change sends nothing
    session->tick();
    session->stop();
    expectTimeOut(3 * kSecond,
                  "the iPhone did not answer: it did not confirm the end of screen sharing within 3 s");
}

TEST_F(UsbScreenSessionTest, StopAsksThePhoneOnceAndEndsOrderlyOnItsStop) {
    handshake();
    session->stop();
    session->stop();
    expectSent({AsynHpa0{kDeviceAudioClock}, AsynHpd0{kNoClock}});
    EXPECT_EQ(session->state(), State::stopping);
    // Frames already on their way are handed on, but no more are asked for.
    phone(AsynFeed{ourVideoClock, videoFrame(9)});
    EXPECT_EQ(videos, std::vector{videoFrame(9)});
    // A stop of another clock is answered and the wait goes on.
    phone(SyncStop{ourAudioClock, 0x71});
    expectSent({Reply::empty(0x71)});
    EXPECT_EQ(session->state(), State::stopping);
    phone(SyncStop{ourVideoClock, 0x70});
    expectSent({Reply::empty(0x70)});
    EXPECT_EQ(session->state(), State::ended);
    EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));

    // Before streaming, what was switched on is switched off and the session ends at once.
    for (bool greeted : {false, true}) {
        start();
        if (greeted)
            phone(Ping{}), sent.clear();
        session->stop();
        session->received(kPing);
        expectNothingSent();
        EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));
    }
    start();
    greet();
    sent.clear();
    session->stop();
    expectSent({AsynHpa0{kDeviceAudioClock}, AsynHpd0{kNoClock}});
    EXPECT_EQ(endings, (Endings{{"screen sharing stopped", true}}));

    // A video handler may stop the session.
    start();
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
}

TEST_F(UsbScreenSessionTest, BadPacketsEndTheSessionUnansweredAndNothingAfterIsReadAndAFailedWriteEndsItWithoutOrder) {
    auto expectEnds = [this](const Bytes& bytes, const testing::Matcher<const std::string&>& ending) {
        auto videoClock = session->deviceVideoClock();
        forget();
        session->received(bytes);
        EXPECT_TRUE(videoFormats.empty());
        EXPECT_EQ(session->deviceVideoClock(), videoClock);
        EXPECT_EQ(session->state(), State::ended);
        ASSERT_EQ(endings.size(), 1U);
        EXPECT_THAT(endings[0].first, ending);
        EXPECT_FALSE(endings[0].second);
        phone(AsynFeed{ourVideoClock, videoFrame(2)});
        EXPECT_TRUE(videos.empty());
        expectNothingSent();
        start();
    };
    auto damaged = [](const char* what) {
        return testing::AllOf(testing::StartsWith("the iPhone sent a damaged packet: "), HasSubstr(what));
    };
    handshake();
    expectEnds(concat({hex("03000000 6E797361"), buildPacket(AsynFeed{ourVideoClock, videoFrame(1)})}),
               damaged("8-byte header"));
    // A request cut short, its length telling the truth about it.
    phone(Ping{});
    Bytes cwpa = buildPacket(SyncCwpa{kNoClock, 0x11, kDeviceAudioClock});
    cwpa.erase(cwpa.end() - 3, cwpa.end());
    expectEnds(withLength(cwpa, 33), damaged("SYNC CWPA"));
    handshake();
    SampleBuffer overrun = videoFrame(1);
    overrun.data = hex("00000009 65888400");
    expectEnds(buildPacket(AsynFeed{ourVideoClock, overrun}), damaged("H.264 sample"));
    handshake();
    expectEnds(buildPacket(SyncCvrp::withFormat(0x90, 0x1234, kLandscape)),
               HasSubstr("damaged packet: a second SYNC CVRP"));
    expectEnds(kCwpa, testing::Eq("the iPhone did not start screen sharing: its first packet was SYNC CWPA, "
                                  "not the greeting (PING)"));
    expectEnds(withCode(buildPacket(AsynRels{5}), 'z'),
               HasSubstr("its first packet was ASYN message 'zzzz'"));

    writable = false;
    phone(Ping{});
    EXPECT_EQ(endings, (Endings{{"couldn't write to the iPhone (PING)", false}}));
    start();
    handshake();
    writable = false;
    phone(AsynFeed{ourVideoClock, videoFrame(1)});
    phone(AsynFeed{ourVideoClock, videoFrame(2)});
    // The NEED goes out before the frame is handed on; once it fails, nothing more is.
    EXPECT_TRUE(videos.empty());
    EXPECT_EQ(endings, (Endings{{"couldn't write to the iPhone (ASYN NEED)", false}}));
    start();
    handshake();
    writable = false;
    session->stop();
    EXPECT_EQ(endings, (Endings{{"couldn't write to the iPhone (ASYN HPA0)", false}}));
    EXPECT_EQ(session->state(), State::ended);
}

TEST_F(UsbScreenSessionTest, APhoneThatStopsItsVideoEndsTheSessionAndUnknownKindsAndHarmlessSurprisesAreSkipped) {
    handshake();
    onEnded = [this] {
        session->stop();
        session->received(buildPacket(AsynFeed{ourVideoClock, videoFrame(1)}));
    };
    // A stop of another clock is answered and streaming goes on.
    phone(SyncStop{ourAudioClock, 0x81});
    expectSent({Reply::empty(0x81)});
    EXPECT_EQ(session->state(), State::streaming);
    phone(SyncStop{ourVideoClock, 0x80});
    expectSent({Reply::empty(0x80)});
    EXPECT_EQ(endings, (Endings{{"the iPhone stopped screen sharing", false}}));
    forget();
    phone(AsynEat{ourAudioClock, soundChunk(1)});
    phone(SyncClok{ourVideoClock, 0x81});
    session->received(kPing);
    now += 3600 * kSecond;
    session->tick();
    expectNothingSent();
    EXPECT_TRUE(order.empty());

    start();
    handshake();
    phone(AsynRels{kDeviceVideoClock});
    expectNothingSent();
    EXPECT_EQ(endings, (Endings{{"the iPhone stopped screen sharing", false}}));

    onEnded = nullptr;
    start();
    phone(Ping{});
    forget();
    // Video before video has started, sound before sound has, a second greeting, an answer to nothing, and
    // what only we send.
    phone(AsynFeed{0x99, videoFrame(1)});
    phone(AsynEat{0x98, soundChunk(1)});
    phone(Ping{});
    phone(Reply::empty(0x99));
    phone(AsynNeed{kDeviceVideoClock});
    expectNothingSent();
    EXPECT_EQ(session->state(), State::starting);
    EXPECT_TRUE(order.empty());
    EXPECT_EQ(logs.size(), 5U) << testing::PrintToString(logs);
    start();
    handshake();
    session->received(withCode(buildPacket(AsynRels{ourVideoClock}), 'z'));
    session->received(withCode(buildPacket(SyncClok{ourVideoClock, 0xA0}), 'q'));
    expectNothingSent();
    EXPECT_THAT(logs, Contains(HasSubstr("ASYN message 'zzzz'")));
    EXPECT_THAT(logs, Contains(HasSubstr("SYNC request 'qqqq'")));
    phone(AsynFeed{ourVideoClock, videoFrame(1)}); // and streaming goes on
    expectSent({AsynNeed{kDeviceVideoClock}});
}
