// The simulated iPhone's side of the USB screen-sharing protocol, driven by a small host written here from
// the packet library (and once by the real host session): the handshake's order and clock references,
// video only when asked for and always the latest picture, continuous sound, the orderly stop, each fault
// switch, unplugging, and closing at any moment.
#include "sim/SimUsbScreen.hpp"
#include "tests/support/ImageDifference.hpp"

#include "capture/usb/UsbPacket.hpp"
#include "capture/usb/UsbPacketSplitter.hpp"
#include "capture/usb/UsbScreenSession.hpp"
#include "platform/VideoCodec.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>

using namespace pokescope;
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

// What came from the device: a packet, or bytes that framed as a packet but did not parse.
struct Received {
    std::optional<Packet> packet;
    std::string damage;
};

// The host's end of one link: every packet the device sent, in order, and how the link ended.
class TestHost {
public:
    explicit TestHost(std::unique_ptr<UsbScreenLink> link) : link_(std::move(link)) {}
    ~TestHost() { link_->close(); }

    void start() {
        link_->start([this](std::span<const std::uint8_t> bytes) { received(bytes); },
                     [this](const std::string& reason, bool deviceGone) {
                         std::lock_guard lock(mutex_);
                         closed_ = std::make_pair(reason, deviceGone);
                         changed_.notify_all();
                     });
    }

    bool send(const Packet& packet) {
        std::string error;
        Bytes bytes = buildPacket(packet);
        bool sent = link_->write(bytes, error);
        if (!sent)
            lastWriteError = error;
        return sent;
    }

    // The next packet, or damaged bytes, that is not sound (sound stays in the log for the sound tests).
    Received nextItem() {
        std::unique_lock lock(mutex_);
        for (;;) {
            while (cursor_ < log_.size()) {
                const Received& item = log_[cursor_++];
                if (!item.packet || !std::holds_alternative<AsynEat>(*item.packet))
                    return item;
            }
            if (!changed_.wait_for(lock, kPatience, [&] { return cursor_ < log_.size() || closed_; }) ||
                (cursor_ >= log_.size() && closed_)) {
                ADD_FAILURE() << "no packet came"
                              << (closed_ ? " before the link closed: " + closed_->first : std::string());
                return {Ping{0}, {}};
            }
        }
    }

    Packet next() {
        Received item = nextItem();
        if (!item.packet) {
            ADD_FAILURE() << "a damaged packet: " << item.damage;
            return Ping{0};
        }
        return *item.packet;
    }

    template <class T> T expect() {
        Packet packet = next();
        EXPECT_TRUE(std::holds_alternative<T>(packet)) << "got " << packetName(packet);
        return std::holds_alternative<T>(packet) ? std::get<T>(packet) : T{};
    }

    // Packets other than sound that arrived and were not taken with next().
    std::vector<Packet> unread() {
        std::lock_guard lock(mutex_);
        std::vector<Packet> packets;
        for (std::size_t i = cursor_; i < log_.size(); ++i)
            if (log_[i].packet && !std::holds_alternative<AsynEat>(*log_[i].packet))
                packets.push_back(*log_[i].packet);
        return packets;
    }

    std::vector<AsynEat> sound() {
        std::lock_guard lock(mutex_);
        std::vector<AsynEat> eats;
        for (const auto& item : log_)
            if (item.packet && std::holds_alternative<AsynEat>(*item.packet))
                eats.push_back(std::get<AsynEat>(*item.packet));
        return eats;
    }

    // Waits for sound that the phone made at or after `time`: the device takes its pictures and sound from
    // one mailbox in one go, so a picture that reached the device before `time` has been dealt with by
    // then (sent or kept waiting).
    bool soundAfter(TimePoint time) {
        std::int64_t sample =
            std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count() * 48 /
            1'000'000;
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] {
            for (const auto& item : log_)
                if (item.packet && std::holds_alternative<AsynEat>(*item.packet)) {
                    const auto& eat = std::get<AsynEat>(*item.packet);
                    if (eat.buffer.outputPresentationTime &&
                        eat.buffer.outputPresentationTime->value >= sample)
                        return true;
                }
            return false;
        });
    }

    bool waitFor(std::size_t packets) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return log_.size() >= packets; });
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
                    log_.push_back({parsePacket(*packet), {}});
                } catch (const ProtocolError& error) {
                    log_.push_back({std::nullopt, error.what()});
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
    std::deque<Received> log_;
    std::size_t cursor_ = 0;
    std::size_t bytes_ = 0;
    std::optional<std::pair<std::string, bool>> closed_;
};



bool eventually(const std::function<bool()>& condition) {
    auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

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
        for (SimScreen* screen : {&phone->screen(), &mirror}) {
            if (text)
                screen->showBanner(*text);
            else
                screen->hideBanner();
        }
    }

    std::unique_ptr<TestHost> connect(SimUsbFaults faults = {}) {
        usb->setFaults(faults);
        std::string error;
        auto devices = usb->devices();
        EXPECT_EQ(devices.size(), 1U);
        if (devices.empty())
            return nullptr;
        auto link = usb->open(devices.front(), error);
        EXPECT_TRUE(link) << error;
        if (!link)
            return nullptr;
        auto host = std::make_unique<TestHost>(std::move(link));
        host->start();
        return host;
    }

    // The whole handshake as a well-behaved host answers it; the video format from CVRP.
    FormatDescription handshake(TestHost& host) {
        host.expect<Ping>();
        host.send(Ping{});
        auto cwpa = host.expect<SyncCwpa>();
        host.send(Reply::withClock(cwpa.correlationId, kHostAudioClock));
        host.send(AsynHpd1{kNoClock, std::nullopt});
        host.send(AsynHpa1{cwpa.deviceClock, std::nullopt});
        auto afmt = host.expect<SyncAfmt>();
        host.send(Reply::audioFormatAccepted(afmt.correlationId));
        auto cvrp = host.expect<SyncCvrp>();
        host.send(Reply::withClock(cvrp.correlationId, kHostVideoClock));
        host.expect<AsynSprp>();
        host.expect<AsynSprp>();
        auto clok = host.expect<SyncClok>();
        host.send(Reply::withClock(clok.correlationId, kTimeClock));
        for (int i = 0; i < 2; ++i) {
            auto time = host.expect<SyncTime>();
            host.send(Reply::withTime(time.correlationId, MediaTime::fromNanoseconds(1'000'000 * (i + 1))));
        }
        auto format = cvrp.format();
        EXPECT_TRUE(format);
        return format.value_or(FormatDescription{});
    }

    std::unique_ptr<H264Decoder> decoderFor(const FormatDescription& format) {
        auto sets = format.h264ParameterSets();
        if (!sets)
            return nullptr;
        return H264Decoder::create(sets->sps, sets->pps, SimScreen::kWidth, SimScreen::kHeight);
    }

    // The screen as the phone draws it now, drawn by the mirror: the phone's own screen draws only what
    // changed since it last drew, so drawing it here would hide changes from the phone's next frame.
    Image screenNow() {
        Image image;
        mirror.render(image, std::chrono::steady_clock::now());
        return image;
    }

    // Waits until the phone has handed the device a picture showing the latest change, then until the
    // device has dealt with it.
    void pictureReachesTheDevice(TestHost& host, long deliveredBefore) {
        ASSERT_TRUE(eventually([&] { return phone->framesDelivered() > deliveredBefore; }));
        ASSERT_TRUE(host.soundAfter(std::chrono::steady_clock::now()));
    }

    std::shared_ptr<SimPhone> phone;
    SimScreen mirror; // the same screen, drawn only by the test
    std::unique_ptr<SimUsbScreenHost> usb;
};

std::size_t countFeeds(const std::vector<Packet>& packets) {
    return static_cast<std::size_t>(std::count_if(packets.begin(), packets.end(), [](const Packet& packet) {
        return std::holds_alternative<AsynFeed>(packet);
    }));
}

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

TEST_F(SimUsbScreen, HandshakeComesInOrderOnTheRightClocks) {
    auto host = connect();
    ASSERT_TRUE(host);
    EXPECT_EQ(host->expect<Ping>(), Ping{});
    host->send(Ping{});

    auto cwpa = host->expect<SyncCwpa>();
    EXPECT_EQ(cwpa.clock, kNoClock);
    EXPECT_EQ(cwpa.deviceClock, kDeviceAudio);
    host->send(Reply::withClock(cwpa.correlationId, kHostAudioClock));
    host->send(AsynHpd1{kNoClock, std::nullopt});
    host->send(AsynHpa1{kDeviceAudio, std::nullopt});

    auto afmt = host->expect<SyncAfmt>();
    EXPECT_EQ(afmt.clock, kHostAudioClock);
    EXPECT_EQ(afmt.format, AudioStreamDescription::pcm48kStereo16());
    EXPECT_NE(afmt.correlationId, cwpa.correlationId);
    host->send(Reply::audioFormatAccepted(afmt.correlationId));

    auto cvrp = host->expect<SyncCvrp>();
    EXPECT_EQ(cvrp.clock, kNoClock);
    EXPECT_EQ(cvrp.deviceClock, kDeviceVideo);
    auto format = cvrp.format();
    ASSERT_TRUE(format);
    EXPECT_EQ(format->mediaType, FormatDescription::kVideo);
    EXPECT_EQ(format->codec, FormatDescription::kH264);
    EXPECT_EQ(format->dimensions, (VideoDimensions{SimScreen::kWidth, SimScreen::kHeight}));
    auto sets = format->h264ParameterSets();
    ASSERT_TRUE(sets);
    EXPECT_EQ(nal::type(sets->sps), nal::kSps);
    EXPECT_EQ(nal::type(sets->pps), nal::kPps);
    host->send(Reply::withClock(cvrp.correlationId, kHostVideoClock));

    auto obey = host->expect<AsynSprp>();
    EXPECT_EQ(obey, (AsynSprp{kHostVideoClock, Entry{std::string("ObeyEmptyMediaMarkers"), true}}));
    auto render = host->expect<AsynSprp>();
    EXPECT_EQ(render, (AsynSprp{kHostVideoClock, Entry{std::string("RenderEmptyMedia"), false}}));
    auto clok = host->expect<SyncClok>();
    EXPECT_EQ(clok.clock, kHostVideoClock);
    host->send(Reply::withClock(clok.correlationId, kTimeClock));
    auto first = host->expect<SyncTime>();
    EXPECT_EQ(first.clock, kTimeClock);
    host->send(Reply::withTime(first.correlationId, MediaTime::fromNanoseconds(5'000'000)));
    auto second = host->expect<SyncTime>();
    EXPECT_EQ(second.clock, kTimeClock);
    EXPECT_NE(second.correlationId, first.correlationId);
    long delivered = phone->framesDelivered();
    host->send(Reply::withTime(second.correlationId, MediaTime::fromNanoseconds(6'000'000)));

    // Streaming: sound comes on the host's audio clock, video only once asked for, though the phone has
    // handed the device its picture.
    pictureReachesTheDevice(*host, delivered);
    EXPECT_EQ(countFeeds(host->unread()), 0U);
    EXPECT_EQ(host->sound().front().clock, kHostAudioClock);
    host->send(AsynNeed{kDeviceVideo});
    auto feed = host->expect<AsynFeed>();
    EXPECT_EQ(feed.clock, kHostVideoClock);
    EXPECT_EQ(feed.buffer.format, format); // the first one carries the format
    auto units = feed.buffer.nalUnits();
    EXPECT_TRUE(nal::isKeyframe(units));

    // It is the phone's screen, at the phone's size.
    auto decoder = decoderFor(*format);
    ASSERT_TRUE(decoder);
    auto picture = decoder->decode(units);
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

    // Two changes while the host asks for nothing: nothing is sent.
    long delivered = phone->framesDelivered();
    banner("First banner");
    pictureReachesTheDevice(*host, delivered);
    Image first = screenNow();
    delivered = phone->framesDelivered();
    banner("Second banner");
    pictureReachesTheDevice(*host, delivered);
    EXPECT_EQ(countFeeds(host->unread()), 0U);

    // One NEED: one picture, the latest.
    host->send(AsynNeed{kDeviceVideo});
    auto feed = host->expect<AsynFeed>();
    auto picture = decoder->decode(feed.buffer.nalUnits());
    ASSERT_TRUE(picture);
    Image second = screenNow();
    EXPECT_LT(meanError(*picture, second), kMeanErrorBound);
    auto texts = mirror.drawnTexts();
    auto box = std::find_if(texts.begin(), texts.end(),
                            [](const DrawnText& t) { return t.text == "Second banner"; });
    ASSERT_NE(box, texts.end());
    EXPECT_LT(meanError(*picture, second, box->x, box->y, box->width, box->height), kMeanErrorBound);
    EXPECT_GT(meanError(*picture, first, box->x, box->y, box->width, box->height), 4 * kMeanErrorBound);

    // The credit is spent: the next change waits for the next NEED.
    delivered = phone->framesDelivered();
    banner(std::nullopt);
    pictureReachesTheDevice(*host, delivered);
    EXPECT_EQ(countFeeds(host->unread()), 0U);
    host->send(AsynNeed{kDeviceVideo});
    feed = host->expect<AsynFeed>();
    EXPECT_FALSE(feed.buffer.format); // the format went with the first picture only
    picture = decoder->decode(feed.buffer.nalUnits());
    ASSERT_TRUE(picture);
    EXPECT_LT(meanError(*picture, screenNow()), kMeanErrorBound);

    // Credit waits for changes: two NEEDs and a still screen send nothing, then each change goes out.
    host->send(AsynNeed{kDeviceVideo});
    host->send(AsynNeed{kDeviceVideo});
    ASSERT_TRUE(host->soundAfter(std::chrono::steady_clock::now()));
    EXPECT_EQ(countFeeds(host->unread()), 0U);
    banner("Third banner");
    EXPECT_TRUE(decoder->decode(host->expect<AsynFeed>().buffer.nalUnits()));
    banner(std::nullopt);
    picture = decoder->decode(host->expect<AsynFeed>().buffer.nalUnits());
    ASSERT_TRUE(picture);
    EXPECT_LT(meanError(*picture, screenNow()), kMeanErrorBound);
    // And then the credit is gone again.
    delivered = phone->framesDelivered();
    banner("Fourth banner");
    pictureReachesTheDevice(*host, delivered);
    EXPECT_EQ(countFeeds(host->unread()), 0U);
}

TEST_F(SimUsbScreen, SoundIsSixteenBitStereoAt48kHzWithoutGaps) {
    auto host = connect();
    ASSERT_TRUE(host);
    handshake(*host);
    phone->speak("Hello from the phone.");
    ASSERT_TRUE(eventually([&] {
        auto sound = host->sound();
        bool heard = false;
        for (const auto& eat : sound)
            heard = heard || std::any_of(eat.buffer.data->begin(), eat.buffer.data->end(),
                                         [](auto b) { return b != 0; });
        return heard && sound.size() >= 25;
    }));
    auto sound = host->sound();
    std::optional<std::int64_t> end;
    for (const auto& eat : sound) {
        EXPECT_EQ(eat.clock, kHostAudioClock);
        const auto& buffer = eat.buffer;
        ASSERT_TRUE(buffer.format && buffer.format->audio);
        EXPECT_EQ(*buffer.format->audio, AudioStreamDescription::pcm48kStereo16());
        ASSERT_TRUE(buffer.outputPresentationTime && buffer.sampleCount && buffer.data);
        const MediaTime& start = *buffer.outputPresentationTime;
        EXPECT_EQ(start.timescale, 48000);
        EXPECT_EQ(start.flags & MediaTime::kValid, MediaTime::kValid);
        if (end) {
            EXPECT_EQ(start.value, *end) << "each buffer starts where the last ended";
        }
        end = start.value + *buffer.sampleCount;
        EXPECT_EQ(buffer.data->size(), *buffer.sampleCount * 4U);
        EXPECT_EQ(*buffer.sampleCount, 960U); // the phone's 20 ms
        const auto& data = *buffer.data;
        for (std::size_t i = 0; i + 3 < data.size(); i += 4) {
            // The phone's speech is mono: both channels carry it.
            ASSERT_EQ(data[i], data[i + 2]);
            ASSERT_EQ(data[i + 1], data[i + 3]);
        }
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
    auto stop = host->expect<SyncStop>();
    EXPECT_EQ(stop.clock, kHostVideoClock);
    std::size_t soundAtStop = host->sound().size();
    host->send(Reply::empty(stop.correlationId));
    EXPECT_EQ(host->expect<AsynRels>(), AsynRels{kHostVideoClock});
    EXPECT_EQ(host->expect<AsynRels>(), AsynRels{kTimeClock});
    auto closed = host->waitClosed();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->first, "the iPhone ended screen sharing");
    EXPECT_FALSE(closed->second);
    // Nothing after the last RELS, and no sound after STOP.
    EXPECT_TRUE(host->unread().empty());
    EXPECT_EQ(host->sound().size(), soundAtStop);
    EXPECT_FALSE(host->send(AsynNeed{kDeviceVideo}));
}

TEST_F(SimUsbScreen, UnplugClosesTheLinkAsDeviceGone) {
    auto host = connect();
    ASSERT_TRUE(host);
    handshake(*host);
    phone->unplug();
    auto closed = host->waitClosed();
    ASSERT_TRUE(closed);
    EXPECT_TRUE(closed->second);
    EXPECT_EQ(closed->first, "the iPhone was unplugged");
    EXPECT_FALSE(host->send(AsynNeed{kDeviceVideo}));
    EXPECT_FALSE(host->lastWriteError.empty());
}

TEST_F(SimUsbScreen, AHostThatBreaksTheProtocolIsToldHow) {
    auto host = connect();
    ASSERT_TRUE(host);
    handshake(*host);
    host->send(AsynNeed{0x1234});
    auto closed = host->waitClosed();
    ASSERT_TRUE(closed);
    EXPECT_FALSE(closed->second);
    EXPECT_NE(closed->first.find("NEED"), std::string::npos) << closed->first;
    EXPECT_NE(closed->first.find("0x1234"), std::string::npos) << closed->first;

    // Bytes that are no packet at all.
    host.reset();
    host = connect();
    ASSERT_TRUE(host);
    host->expect<Ping>();
    std::string error;
    const std::uint8_t garbage[] = {3, 0, 0, 0, 'x', 'y', 'z', 'w'};
    ASSERT_TRUE(host->link().write(garbage, error)) << error;
    closed = host->waitClosed();
    ASSERT_TRUE(closed);
    EXPECT_NE(closed->first.find("damaged packet"), std::string::npos) << closed->first;
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

    auto ideal = connect();
    ASSERT_TRUE(ideal);
    ideal->expect<Ping>();
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
    auto stop = host->expect<SyncStop>();
    EXPECT_EQ(stop.clock, kHostVideoClock);
    host->send(Reply::empty(stop.correlationId));
    EXPECT_EQ(host->expect<AsynRels>(), AsynRels{kHostVideoClock});
    EXPECT_EQ(host->expect<AsynRels>(), AsynRels{kTimeClock});
    auto closed = host->waitClosed();
    ASSERT_TRUE(closed);
    EXPECT_EQ(closed->first, "the iPhone stopped screen sharing");
    EXPECT_FALSE(closed->second);
}

TEST_F(SimUsbScreen, ADeviceThatBreaksSendsOneDamagedPacketThenNothing) {
    SimUsbFaults faults;
    faults.malformedAfterFeeds = 1;
    auto host = connect(faults);
    ASSERT_TRUE(host);
    handshake(*host);
    host->send(AsynNeed{kDeviceVideo});
    host->expect<AsynFeed>();
    std::size_t before = host->sound().size();
    banner("Broken");
    host->send(AsynNeed{kDeviceVideo});
    // The splitter frames it (its length field is right), but its sample buffer overruns the packet.
    Received damaged = host->nextItem();
    EXPECT_FALSE(damaged.packet);
    EXPECT_NE(damaged.damage.find("'sbuf' atom"), std::string::npos) << damaged.damage;
    // Silence afterwards: no more sound, no more video, though the host keeps asking.
    std::size_t soundThen = host->sound().size();
    EXPECT_GE(soundThen, before);
    host->send(AsynNeed{kDeviceVideo});
    banner(std::nullopt);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(host->sound().size(), soundThen);
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
    auto texts = mirror.drawnTexts();
    auto box =
        std::find_if(texts.begin(), texts.end(), [](const DrawnText& t) { return t.text == "Unasked"; });
    ASSERT_NE(box, texts.end());
    bool shown = false;
    for (int i = 0; i < 20 && !shown; ++i) {
        auto picture = decoder->decode(host->expect<AsynFeed>().buffer.nalUnits());
        ASSERT_TRUE(picture);
        shown = meanError(*picture, expected, box->x, box->y, box->width, box->height) < kMeanErrorBound &&
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

    UsbScreenDevice stranger{"0000-NOT-THIS-PHONE", "Other"};
    EXPECT_FALSE(usb->open(stranger, error));

    // Closed from inside its own callback, while the device streams. That host stays until the end: its
    // callback is still returning when close() has.
    auto inside = connect();
    ASSERT_TRUE(inside);
    handshake(*inside);
    std::atomic<int> afterClose{0};
    std::atomic<bool> closedInside{false};
    inside->onReceived = [&] {
        if (closedInside.load()) {
            ++afterClose;
            return;
        }
        inside->link().close();
        closedInside = true;
    };
    ASSERT_TRUE(eventually([&] { return closedInside.load(); }));
    std::size_t insideBytes = inside->bytesReceived();

    // Closed from another thread in the middle of streaming, with pictures going out.
    auto host = connect();
    ASSERT_TRUE(host);
    handshake(*host);
    for (int i = 0; i < 5; ++i)
        host->send(AsynNeed{kDeviceVideo});
    banner("Closing");
    std::thread closer([&] { host->link().close(); });
    closer.join();
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

TEST_F(SimUsbScreen, TheHostSessionStreamsFromItAndStopsItInOrder) {
    std::string error;
    auto link = usb->open(usb->devices().front(), error);
    ASSERT_TRUE(link) << error;
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<FormatDescription> format;
    std::vector<SampleBuffer> video;
    std::size_t sound = 0;
    std::optional<std::pair<std::string, bool>> ended;
    ScreenSession::Events events;
    events.send = [&](const Bytes& packet) {
        std::string ignored;
        return link->write(packet, ignored);
    };
    events.videoFormat = [&](const FormatDescription& f) { format = f; };
    events.video = [&](const SampleBuffer& sample) {
        video.push_back(sample);
        changed.notify_all();
    };
    events.audio = [&](const SampleBuffer&) {
        ++sound;
        changed.notify_all();
    };
    events.ended = [&](const std::string& reason, bool orderly) {
        ended = std::make_pair(reason, orderly);
        changed.notify_all();
    };
    auto start = std::chrono::steady_clock::now();
    ScreenSession session(events, [start] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
            .count();
    });
    // The link goes before the session its thread feeds, however the test ends.
    struct CloseFirst {
        UsbScreenLink& link;
        ~CloseFirst() { link.close(); }
    } closeFirst{*link};
    link->start(
        [&](std::span<const std::uint8_t> bytes) {
            std::lock_guard lock(mutex);
            session.received(bytes);
        },
        [&](const std::string&, bool) {});
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kPatience, [&] { return video.size() >= 1 && sound >= 5; }));
        ASSERT_TRUE(format);
        EXPECT_EQ(session.deviceVideoClock(), kDeviceVideo);
        EXPECT_EQ(session.deviceAudioClock(), kDeviceAudio);
    }
    banner("Session");
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, kPatience, [&] { return video.size() >= 2; }));
        auto sets = format->h264ParameterSets();
        ASSERT_TRUE(sets);
        auto decoder = H264Decoder::create(sets->sps, sets->pps, SimScreen::kWidth, SimScreen::kHeight);
        std::optional<Image> picture;
        for (const auto& sample : video)
            picture = decoder->decode(sample.nalUnits());
        ASSERT_TRUE(picture);
        session.stop();
        ASSERT_TRUE(changed.wait_for(lock, kPatience, [&] { return ended.has_value(); }));
        EXPECT_TRUE(ended->second) << ended->first;
    }
}
