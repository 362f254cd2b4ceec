// The simulated iPhone's side of the USB screen-sharing protocol, driven by a small host written here with
// the host's packet codec: the handshake's order and clock references, video only when asked for and
// always the latest picture, continuous sound, the orderly stop, each fault switch, a host that breaks the
// protocol, unplugging, and closing at any moment. The real host session against it is capture_tests'.
#include "sim/SimUsbScreen.hpp"
#include "tests/support/ImageDifference.hpp"
#include "tests/support/TestSupport.hpp"

#include "capture/usb/UsbPacket.hpp"
#include "capture/usb/UsbPacketSplitter.hpp"
#include "platform/VideoCodec.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace pokescope;
using pokescope::test::eventually;
using pokescope::test::meanError;
using namespace pokescope::sim;
using namespace pokescope::usbscreen;
using namespace std::chrono_literals;

namespace {

// How long a test waits for something that must happen before calling it missing; never a measure.
constexpr auto kPatience = 30s;
// The decoded screen against the screen drawn again here, mean grey levels (the codec's own test measures
// about 1.5 on a phone-like picture).
constexpr double kMeanErrorBound = 3.0;

constexpr ClockRef kHostAudioClock = 0x7FA6'6CE2'0CB0;
constexpr ClockRef kHostVideoClock = 0x7FA6'6CD1'0250;
constexpr ClockRef kTimeClock = 0x7FA6'7CC1'7980;
constexpr ClockRef kDeviceAudio = SimUsbScreenHost::kDeviceAudioClock;
constexpr ClockRef kDeviceVideo = SimUsbScreenHost::kDeviceVideoClock;

bool isSound(const std::optional<Packet>& packet) {
    return packet && std::holds_alternative<AsynEat>(*packet);
}

// The host's end of one link: every packet the device sent (or, for bytes that framed as a packet but did
// not parse, why), in order, and how the link ended.
class TestHost {
public:
    explicit TestHost(std::unique_ptr<UsbScreenLink> link) : link_(std::move(link)) {
        link_->start([this](std::span<const std::uint8_t> bytes) { received(bytes); },
                     [this](const std::string& reason, bool deviceGone) {
                         std::lock_guard lock(mutex_);
                         closed_ = std::make_pair(reason, deviceGone);
                         changed_.notify_all();
                     });
    }
    ~TestHost() { link_->close(); }

    bool send(const Packet& packet) { return link_->write(buildPacket(packet), lastWriteError); }

    // The next packet that is not sound (sound stays in the log for the sound tests), or why it is damaged.
    std::pair<std::optional<Packet>, std::string> nextItem() {
        std::unique_lock lock(mutex_);
        auto ready = [&] {
            while (cursor_ < log_.size() && isSound(log_[cursor_].first))
                ++cursor_;
            return cursor_ < log_.size() || closed_;
        };
        if (!changed_.wait_for(lock, kPatience, ready) || cursor_ >= log_.size()) {
            ADD_FAILURE() << "no packet came"
                          << (closed_ ? " before the link closed: " + closed_->first : "");
            return {Ping{0}, {}};
        }
        return log_[cursor_++];
    }

    template <class T> T expect() {
        auto [packet, damage] = nextItem();
        if (!packet || !std::holds_alternative<T>(*packet)) {
            ADD_FAILURE() << "got " << (packet ? packetName(*packet) : "a damaged packet: " + damage);
            return T{};
        }
        return std::get<T>(*packet);
    }

    // Packets other than sound that arrived and were not taken with expect().
    std::vector<Packet> unread() {
        std::lock_guard lock(mutex_);
        std::vector<Packet> packets;
        for (std::size_t i = cursor_; i < log_.size(); ++i)
            if (log_[i].first && !isSound(log_[i].first))
                packets.push_back(*log_[i].first);
        return packets;
    }

    std::vector<AsynEat> sound() {
        std::lock_guard lock(mutex_);
        std::vector<AsynEat> eats;
        for (const auto& item : log_)
            if (isSound(item.first))
                eats.push_back(std::get<AsynEat>(*item.first));
        return eats;
    }

    // Waits for sound that the phone made at or after `time`: the device takes its pictures and sound from
    // one mailbox in one go, so a picture that reached the device before `time` has been dealt with by
    // then (sent or kept waiting).
    bool soundAfter(TimePoint time) {
        auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch());
        std::int64_t sample = nanoseconds.count() * 48 / 1'000'000;
        return eventually(
            [&] {
                auto eats = sound();
                return std::any_of(eats.begin(), eats.end(), [&](const AsynEat& eat) {
                    return eat.buffer.outputPresentationTime &&
                           eat.buffer.outputPresentationTime->value >= sample;
                });
            },
            kPatience);
    }

    std::optional<std::pair<std::string, bool>> waitClosed() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kPatience, [&] { return closed_.has_value(); });
        return closed_;
    }

    std::size_t bytesReceived() {
        std::lock_guard lock(mutex_);
        return bytes_;
    }

    UsbScreenLink& link() { return *link_; }
    std::string lastWriteError;
    std::function<void()> onReceived; // runs on the reading thread after each read

private:
    void received(std::span<const std::uint8_t> bytes) {
        {
            std::lock_guard lock(mutex_);
            bytes_ += bytes.size();
            splitter_.append(bytes);
            while (auto packet = splitter_.next()) {
                try {
                    log_.emplace_back(parsePacket(*packet), "");
                } catch (const ProtocolError& error) {
                    log_.emplace_back(std::nullopt, error.what());
                }
            }
            changed_.notify_all();
        }
        if (onReceived)
            onReceived();
    }

    std::unique_ptr<UsbScreenLink> link_;
    std::mutex mutex_;
    std::condition_variable changed_;
    PacketSplitter splitter_;
    std::deque<std::pair<std::optional<Packet>, std::string>> log_;
    std::size_t cursor_ = 0;
    std::size_t bytes_ = 0;
    std::optional<std::pair<std::string, bool>> closed_;
};

class SimUsbScreen : public testing::Test {
protected:
    SimUsbScreen() : phone(std::make_shared<SimPhone>()) {
        SimSwitches switches;
        switches.noise = 0; // what the device encodes is then exactly what the screen draws
        switches.latency = 5ms;
        phone->setSwitches(switches);
        // A clock that shows the same minute for the whole test keeps the status bar still.
        auto now = std::chrono::steady_clock::now();
        auto wall = std::chrono::system_clock::from_time_t(9 * 3600 + 41 * 60);
        phone->screen().setWallClock(now, wall);
        mirror.setWallClock(now, wall);
        usb = std::make_unique<SimUsbScreenHost>(phone);
    }

    // Shows a banner (or none) on the phone and on the mirror.
    void banner(const std::optional<std::string>& text) {
        for (SimScreen* screen : {&phone->screen(), &mirror})
            text ? screen->showBanner(*text) : screen->hideBanner();
    }

    std::unique_ptr<TestHost> connect(SimUsbFaults faults = {}) {
        usb->setFaults(faults);
        std::string error;
        auto devices = usb->devices();
        auto link = devices.empty() ? nullptr : usb->open(devices.front(), error);
        EXPECT_TRUE(link) << error;
        return link ? std::make_unique<TestHost>(std::move(link)) : nullptr;
    }

    // The whole handshake as a well-behaved host answers it, checking the order of the device's packets
    // and the clocks they name; the video format from CVRP.
    FormatDescription handshake(TestHost& host) {
        EXPECT_EQ(host.expect<Ping>(), Ping{});
        host.send(Ping{});
        auto cwpa = host.expect<SyncCwpa>();
        EXPECT_EQ(cwpa.clock, kNoClock);
        EXPECT_EQ(cwpa.deviceClock, kDeviceAudio);
        host.send(Reply::withClock(cwpa.correlationId, kHostAudioClock));
        host.send(AsynHpd1{kNoClock, std::nullopt});
        host.send(AsynHpa1{kDeviceAudio, std::nullopt});
        auto afmt = host.expect<SyncAfmt>();
        EXPECT_EQ(afmt.clock, kHostAudioClock);
        EXPECT_EQ(afmt.format, AudioStreamDescription::pcm48kStereo16());
        EXPECT_NE(afmt.correlationId, cwpa.correlationId);
        host.send(Reply::audioFormatAccepted(afmt.correlationId));
        auto cvrp = host.expect<SyncCvrp>();
        EXPECT_EQ(cvrp.clock, kNoClock);
        EXPECT_EQ(cvrp.deviceClock, kDeviceVideo);
        host.send(Reply::withClock(cvrp.correlationId, kHostVideoClock));
        EXPECT_EQ(host.expect<AsynSprp>(),
                  (AsynSprp{kHostVideoClock, Entry{std::string("ObeyEmptyMediaMarkers"), true}}));
        EXPECT_EQ(host.expect<AsynSprp>(),
                  (AsynSprp{kHostVideoClock, Entry{std::string("RenderEmptyMedia"), false}}));
        auto clok = host.expect<SyncClok>();
        EXPECT_EQ(clok.clock, kHostVideoClock);
        host.send(Reply::withClock(clok.correlationId, kTimeClock));
        CorrelationId previous = clok.correlationId;
        for (int i = 0; i < 2; ++i) {
            auto time = host.expect<SyncTime>();
            EXPECT_EQ(time.clock, kTimeClock);
            EXPECT_NE(time.correlationId, previous);
            previous = time.correlationId;
            host.send(Reply::withTime(time.correlationId, MediaTime::fromNanoseconds(1'000'000 * (i + 1))));
        }
        auto format = cvrp.format();
        EXPECT_TRUE(format);
        return format.value_or(FormatDescription{});
    }

    // STOP on the host's video clock; once answered, RELS for it and for the time clock, then the end.
    void stopsInOrder(TestHost& host, const std::string& reason) {
        auto stop = host.expect<SyncStop>();
        EXPECT_EQ(stop.clock, kHostVideoClock);
        std::size_t soundAtStop = host.sound().size();
        host.send(Reply::empty(stop.correlationId));
        EXPECT_EQ(host.expect<AsynRels>(), AsynRels{kHostVideoClock});
        EXPECT_EQ(host.expect<AsynRels>(), AsynRels{kTimeClock});
        auto closed = host.waitClosed();
        ASSERT_TRUE(closed);
        EXPECT_EQ(*closed, std::make_pair(reason, false));
        EXPECT_TRUE(host.unread().empty()); // nothing after the last RELS
        EXPECT_EQ(host.sound().size(), soundAtStop);
        EXPECT_FALSE(host.send(AsynNeed{kDeviceVideo}));
    }

    std::unique_ptr<H264Decoder> decoderFor(const FormatDescription& format) {
        auto sets = format.h264ParameterSets();
        return sets ? H264Decoder::create(sets->sps, sets->pps, SimScreen::kWidth, SimScreen::kHeight)
                    : nullptr;
    }

    // The screen as the phone draws it now, drawn by the mirror: the phone's own screen draws only what
    // changed since it last drew, so drawing it here would hide changes from the phone's next frame.
    Image screenNow() {
        Image image;
        mirror.render(image, std::chrono::steady_clock::now());
        return image;
    }

    // Changes the banner and waits until the phone has handed the device a picture of it; none goes out.
    void changeUnasked(TestHost& host, const std::optional<std::string>& text) {
        long delivered = phone->framesDelivered();
        banner(text);
        ASSERT_TRUE(eventually([&] { return phone->framesDelivered() > delivered; }, kPatience));
        noPictureSent(host);
    }

    // Waits until the device has dealt with what the phone handed it until now; no picture went out.
    void noPictureSent(TestHost& host) {
        ASSERT_TRUE(host.soundAfter(std::chrono::steady_clock::now()));
        auto unread = host.unread();
        EXPECT_TRUE(std::none_of(unread.begin(), unread.end(),
                                 [](const Packet& p) { return std::holds_alternative<AsynFeed>(p); }));
    }

    // The banner's box on the mirror, for comparing that part of a picture.
    DrawnText box(const std::string& text) {
        auto texts = mirror.drawnTexts();
        auto found =
            std::find_if(texts.begin(), texts.end(), [&](const DrawnText& t) { return t.text == text; });
        EXPECT_NE(found, texts.end()) << text;
        return found == texts.end() ? DrawnText{} : *found;
    }

    std::shared_ptr<SimPhone> phone;
    SimScreen mirror; // the same screen, drawn only by the test
    std::unique_ptr<SimUsbScreenHost> usb;
};

} // namespace

TEST_F(SimUsbScreen, OneDeviceWhilePluggedInNamedAfterThePhone) {
    auto devices = usb->devices();
    ASSERT_EQ(devices.size(), 1U);
    EXPECT_EQ(devices[0].uniqueID, phone->identity().udid);
    EXPECT_EQ(devices[0].name, phone->identity().name);
    EXPECT_TRUE(usb->problem().empty());

    std::mutex mutex;
    std::vector<std::pair<std::string, bool>> events;
    usb->setDeviceEvents([&](const std::string& id, bool connected) {
        std::lock_guard lock(mutex);
        events.emplace_back(id, connected);
    });
    phone->unplug();
    EXPECT_TRUE(usb->devices().empty());
    std::string error;
    EXPECT_FALSE(usb->open(devices[0], error));
    EXPECT_NE(error.find("not connected"), std::string::npos) << error;
    phone->replug();
    EXPECT_EQ(usb->devices().size(), 1U);
    usb->setDeviceEvents(nullptr);
    std::lock_guard lock(mutex);
    EXPECT_EQ(events, (std::vector<std::pair<std::string, bool>>{{phone->identity().udid, false},
                                                                 {phone->identity().udid, true}}));
}

TEST_F(SimUsbScreen, AfterTheHandshakeSoundFlowsAndThePhonesScreenGoesOutWhenAsked) {
    auto host = connect();
    ASSERT_TRUE(host);
    auto format = handshake(*host);
    EXPECT_EQ(format.mediaType, FormatDescription::kVideo);
    EXPECT_EQ(format.codec, FormatDescription::kH264);
    EXPECT_EQ(format.dimensions, (VideoDimensions{SimScreen::kWidth, SimScreen::kHeight}));
    auto sets = format.h264ParameterSets();
    ASSERT_TRUE(sets);
    EXPECT_EQ(nal::type(sets->sps), nal::kSps);
    EXPECT_EQ(nal::type(sets->pps), nal::kPps);

    // The phone hands the device its pictures, but video goes only once asked for.
    changeUnasked(*host, "Hello");
    EXPECT_EQ(host->sound().front().clock, kHostAudioClock);
    host->send(AsynNeed{kDeviceVideo});
    auto feed = host->expect<AsynFeed>();
    EXPECT_EQ(feed.clock, kHostVideoClock);
    EXPECT_EQ(feed.buffer.format, format); // the first one carries the format
    EXPECT_TRUE(nal::isKeyframe(feed.buffer.nalUnits()));
    auto picture = decoderFor(format)->decode(feed.buffer.nalUnits());
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->width(), SimScreen::kWidth);
    EXPECT_EQ(picture->height(), SimScreen::kHeight);
    EXPECT_LT(meanError(*picture, screenNow()), kMeanErrorBound);
}

TEST_F(SimUsbScreen, VideoGoesOutOnePictureForEachNeedAndAlwaysTheLatest) {
    auto host = connect();
    ASSERT_TRUE(host);
    auto decoder = decoderFor(handshake(*host));
    ASSERT_TRUE(decoder);

    // Two changes while the host asks for nothing: nothing is sent. Then one NEED: the latest picture.
    changeUnasked(*host, "First banner");
    Image first = screenNow();
    changeUnasked(*host, "Second banner");
    host->send(AsynNeed{kDeviceVideo});
    auto picture = decoder->decode(host->expect<AsynFeed>().buffer.nalUnits());
    ASSERT_TRUE(picture);
    EXPECT_LT(meanError(*picture, screenNow()), kMeanErrorBound);
    auto where = box("Second banner");
    EXPECT_LT(meanError(*picture, screenNow(), where.x, where.y, where.width, where.height), kMeanErrorBound);
    EXPECT_GT(meanError(*picture, first, where.x, where.y, where.width, where.height), 4 * kMeanErrorBound);

    // The credit is spent: the next change waits for the next NEED.
    changeUnasked(*host, std::nullopt);
    host->send(AsynNeed{kDeviceVideo});
    auto feed = host->expect<AsynFeed>();
    EXPECT_FALSE(feed.buffer.format); // the format went with the first picture only
    picture = decoder->decode(feed.buffer.nalUnits());
    ASSERT_TRUE(picture);
    EXPECT_LT(meanError(*picture, screenNow()), kMeanErrorBound);

    // Credit waits for changes: two NEEDs and a still screen send nothing, then each change goes out.
    host->send(AsynNeed{kDeviceVideo});
    host->send(AsynNeed{kDeviceVideo});
    noPictureSent(*host);
    banner("Third banner");
    EXPECT_TRUE(decoder->decode(host->expect<AsynFeed>().buffer.nalUnits()));
    banner(std::nullopt);
    picture = decoder->decode(host->expect<AsynFeed>().buffer.nalUnits());
    ASSERT_TRUE(picture);
    EXPECT_LT(meanError(*picture, screenNow()), kMeanErrorBound);
    // And then the credit is gone again.
    changeUnasked(*host, "Fourth banner");
}

TEST_F(SimUsbScreen, SoundIsSixteenBitStereoAt48kHzWithoutGaps) {
    auto host = connect();
    ASSERT_TRUE(host);
    handshake(*host);
    phone->speak("Hello from the phone.");
    ASSERT_TRUE(eventually(
        [&] {
            auto sound = host->sound();
            return sound.size() >= 25 && std::any_of(sound.begin(), sound.end(), [](const AsynEat& eat) {
                       return std::any_of(eat.buffer.data->begin(), eat.buffer.data->end(),
                                          [](auto b) { return b; });
                   });
        },
        kPatience));
    std::optional<std::int64_t> end;
    for (const auto& [clock, buffer] : host->sound()) {
        EXPECT_EQ(clock, kHostAudioClock);
        ASSERT_TRUE(buffer.format && buffer.format->audio);
        EXPECT_EQ(*buffer.format->audio, AudioStreamDescription::pcm48kStereo16());
        ASSERT_TRUE(buffer.outputPresentationTime && buffer.sampleCount && buffer.data);
        const MediaTime& start = *buffer.outputPresentationTime;
        EXPECT_EQ(start.timescale, 48000);
        EXPECT_EQ(start.flags & MediaTime::kValid, MediaTime::kValid);
        EXPECT_EQ(start.value, end.value_or(start.value)) << "each buffer starts where the last ended";
        end = start.value + *buffer.sampleCount;
        EXPECT_EQ(*buffer.sampleCount, 960U); // the phone's 20 ms
        ASSERT_EQ(buffer.data->size(), *buffer.sampleCount * 4U);
        for (std::size_t i = 0; i + 3 < buffer.data->size(); i += 4) // mono speech: both channels carry it
            ASSERT_TRUE((*buffer.data)[i] == (*buffer.data)[i + 2] &&
                        (*buffer.data)[i + 1] == (*buffer.data)[i + 3]);
    }
}

TEST_F(SimUsbScreen, StopsInOrderWhenTheHostTurnsTheStreamsOff) {
    auto host = connect();
    ASSERT_TRUE(host);
    handshake(*host);
    host->send(AsynNeed{kDeviceVideo});
    host->expect<AsynFeed>();
    host->send(AsynHpa0{kDeviceAudio});
    host->send(AsynHpd0{kNoClock});
    stopsInOrder(*host, "the iPhone ended screen sharing");
}

TEST_F(SimUsbScreen, ADeviceThatStopsAfterSomeFeedsStopsInOrder) {
    SimUsbFaults faults;
    faults.stopAfterFeeds = 2;
    auto host = connect(faults);
    ASSERT_TRUE(host);
    handshake(*host);
    host->send(AsynNeed{kDeviceVideo});
    host->expect<AsynFeed>();
    banner("Going");
    host->send(AsynNeed{kDeviceVideo});
    host->expect<AsynFeed>();
    stopsInOrder(*host, "the iPhone stopped screen sharing");
}

TEST_F(SimUsbScreen, UnplugClosesTheLinkAsDeviceGone) {
    auto host = connect();
    ASSERT_TRUE(host);
    handshake(*host);
    phone->unplug();
    auto closed = host->waitClosed();
    ASSERT_TRUE(closed);
    EXPECT_EQ(*closed, std::make_pair(std::string("the iPhone was unplugged"), true));
    EXPECT_FALSE(host->send(AsynNeed{kDeviceVideo}));
    EXPECT_FALSE(host->lastWriteError.empty());
}

TEST_F(SimUsbScreen, AHostThatBreaksTheProtocolIsToldHow) {
    const struct {
        bool afterHandshake;
        Bytes bytes;
        std::vector<std::string> told;
    } cases[] = {
        {true, buildPacket(AsynNeed{0x1234}), {"NEED", "0x1234"}},
        {true, buildPacket(AsynHpa1{0x77, std::nullopt}), {"HPA1", "0x77"}},
        {true, buildPacket(AsynHpa0{0x78}), {"HPA0", "0x78"}},
        {true, buildPacket(Reply::withClock(0x999, 1)), {"never sent", "0x999"}},
        {true, buildPacket(SyncClok{kTimeClock, 5}), {"SYNC CLOK, which only the iPhone sends"}},
        {true, buildPacket(AsynFeed{kHostVideoClock, {}}), {"ASYN FEED, which only the iPhone sends"}},
        {false, buildPacket(AsynHpd1{}), {"HPD1 before its PING"}},
        {false, buildPacket(AsynNeed{kDeviceVideo}), {"NEED) before the video started"}},
        {false, Bytes{3, 0, 0, 0, 'x', 'y', 'z', 'w'}, {"damaged packet"}},
        {false, Bytes{12, 0, 0, 0, 'w', 'z', 'y', 'x', 0, 0, 0, 0}, {"damaged packet", "xyzw"}},
    };
    for (const auto& [afterHandshake, bytes, told] : cases) {
        auto host = connect();
        ASSERT_TRUE(host);
        afterHandshake ? (void)handshake(*host) : (void)host->expect<Ping>();
        std::string error;
        ASSERT_TRUE(host->link().write(bytes, error)) << error;
        auto closed = host->waitClosed();
        ASSERT_TRUE(closed);
        EXPECT_FALSE(closed->second);
        for (const auto& words : told)
            EXPECT_NE(closed->first.find(words), std::string::npos) << closed->first;
    }
}

TEST_F(SimUsbScreen, ADeviceThatNeverAnswersSendsNothing) {
    SimUsbFaults faults;
    faults.neverAnswers = true;
    auto host = connect(faults);
    ASSERT_TRUE(host);
    ASSERT_TRUE(host->send(Ping{}));
    // The ideal device's PING is in the socket before the link is even started; give this one ample time.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(host->bytesReceived(), 0U);
    EXPECT_TRUE(host->send(Ping{})); // it still takes what the host sends
    host.reset();
    host = connect();
    ASSERT_TRUE(host);
    host->expect<Ping>();
}

TEST_F(SimUsbScreen, ADeviceThatBreaksSendsOneDamagedPacketThenNothing) {
    SimUsbFaults faults;
    faults.malformedAfterFeeds = 1;
    auto host = connect(faults);
    ASSERT_TRUE(host);
    handshake(*host);
    host->send(AsynNeed{kDeviceVideo});
    host->expect<AsynFeed>();
    banner("Broken");
    host->send(AsynNeed{kDeviceVideo});
    // The splitter frames it (its length field is right), but its sample buffer overruns the packet.
    auto [packet, damage] = host->nextItem();
    EXPECT_FALSE(packet);
    EXPECT_NE(damage.find("'sbuf' atom"), std::string::npos) << damage;
    // Silence afterwards: no more sound, no more video, though the host keeps asking.
    std::size_t sound = host->sound().size();
    host->send(AsynNeed{kDeviceVideo});
    banner(std::nullopt);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(host->sound().size(), sound);
    EXPECT_TRUE(host->unread().empty());
}

TEST_F(SimUsbScreen, ADeviceThatIgnoresNeedSendsEveryChange) {
    SimUsbFaults faults;
    faults.ignoreNeed = true;
    auto host = connect(faults);
    ASSERT_TRUE(host);
    auto decoder = decoderFor(handshake(*host));
    ASSERT_TRUE(decoder);
    auto first = host->expect<AsynFeed>(); // the current picture, unasked
    EXPECT_TRUE(nal::isKeyframe(first.buffer.nalUnits()));
    EXPECT_TRUE(decoder->decode(first.buffer.nalUnits()));
    banner("Unasked");
    // Pictures may be replaced on the way, but one showing the banner comes, though nothing asked for it.
    Image expected = screenNow();
    auto where = box("Unasked");
    bool shown = false;
    for (int i = 0; i < 20 && !shown; ++i) {
        auto picture = decoder->decode(host->expect<AsynFeed>().buffer.nalUnits());
        ASSERT_TRUE(picture);
        shown =
            meanError(*picture, expected, where.x, where.y, where.width, where.height) < kMeanErrorBound &&
            meanError(*picture, expected) < kMeanErrorBound;
    }
    EXPECT_TRUE(shown);
}

TEST_F(SimUsbScreen, OneLinkAtATimeAndCloseIsSafeAtAnyMoment) {
    std::string error;
    auto device = usb->devices().front();
    auto unstarted = usb->open(device, error);
    ASSERT_TRUE(unstarted) << error;
    EXPECT_FALSE(usb->open(device, error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    unstarted->close(); // never started
    unstarted->close(); // twice
    EXPECT_FALSE(unstarted->write(buildPacket(Ping{}), error));
    EXPECT_FALSE(usb->open(UsbScreenDevice{"0000-NOT-THIS-PHONE", "Other"}, error));

    // Closed from inside its own callback, while the device streams. That host stays until the end: its
    // callback is still returning when close() has.
    auto inside = connect();
    ASSERT_TRUE(inside);
    handshake(*inside);
    std::atomic<int> afterClose{0};
    std::atomic<bool> closedInside{false};
    inside->onReceived = [&] {
        if (closedInside.load())
            ++afterClose;
        else
            inside->link().close(), closedInside = true;
    };
    ASSERT_TRUE(eventually([&] { return closedInside.load(); }, kPatience));
    std::size_t insideBytes = inside->bytesReceived();

    // Closed from another thread in the middle of streaming, with pictures going out.
    auto host = connect();
    ASSERT_TRUE(host);
    handshake(*host);
    for (int i = 0; i < 5; ++i)
        host->send(AsynNeed{kDeviceVideo});
    banner("Closing");
    std::thread([&] { host->link().close(); }).join();
    std::size_t bytes = host->bytesReceived();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(host->bytesReceived(), bytes); // no callback after close returned
    host.reset();

    // The host goes away with a link open: nothing hangs, and the link still closes cleanly.
    host = connect();
    ASSERT_TRUE(host);
    host->expect<Ping>();
    usb.reset();
    EXPECT_TRUE(host->send(Ping{}));
    EXPECT_EQ(host->expect<SyncCwpa>().deviceClock, kDeviceAudio);
    host.reset();

    EXPECT_EQ(afterClose.load(), 0);
    EXPECT_EQ(inside->bytesReceived(), insideBytes);
}
