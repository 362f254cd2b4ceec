// The simulated iPhone's USB screen sharing against a small host: video only when asked, the latest picture,
// the fault switches, a host breaking the protocol. The real host session, sound, unplugging: capture_tests.
#include "sim/SimUsbScreen.hpp"
#include "tests/support/ImageDifference.hpp"
#include "tests/support/TestSupport.hpp"

#include "capture/usb/UsbPacket.hpp"
#include "capture/usb/UsbPacketSplitter.hpp"
#include "platform/VideoCodec.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
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

    bool send(const Packet& packet) { return link_->write(buildPacket(packet), lastWriteError_); }

    // The next packet that is not sound (sound stays in the log for the sound checks), as a T.
    template <class T> T expect() {
        std::unique_lock lock(mutex_);
        auto ready = [&] {
            while (cursor_ < log_.size() && isSound(log_[cursor_].first))
                ++cursor_;
            return cursor_ < log_.size() || closed_;
        };
        if (!changed_.wait_for(lock, kPatience, ready) || cursor_ >= log_.size()) {
            ADD_FAILURE() << "no packet came" << (closed_ ? " before the link closed: " + closed_->first : "");
            return T{};
        }
        const auto& [packet, damage] = log_[cursor_++];
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

    // Waits for sound that the phone made at or after `time`: the device takes pictures and sound from one
    // mailbox in one go, so a picture that reached it before `time` has been dealt with (sent or kept).
    bool soundAfter(TimePoint time) {
        auto sample = std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count() *
                      48 / 1'000'000;
        return eventually(
            [&] {
                auto eats = sound(); // in the order the phone made them
                return !eats.empty() && eats.back().buffer.outputPresentationTime &&
                       eats.back().buffer.outputPresentationTime->value >= sample;
            },
            kPatience);
    }


    std::optional<std::pair<std::string, bool>> waitClosed() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kPatience, [&] { return closed_.has_value(); });
        return closed_;
    }

    UsbScreenLink& link() { return *link_; }
    std::size_t bytesReceived() { return std::lock_guard(mutex_), bytes_; }

private:
    void received(std::span<const std::uint8_t> bytes) {
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

    std::unique_ptr<UsbScreenLink> link_;
    std::mutex mutex_;
    std::condition_variable changed_;
    PacketSplitter splitter_;
    std::vector<std::pair<std::optional<Packet>, std::string>> log_;
    std::size_t cursor_ = 0, bytes_ = 0;
    std::optional<std::pair<std::string, bool>> closed_;
    std::string lastWriteError_;
};

class SimUsbScreen : public testing::Test {
protected:
    SimUsbScreen() : phone(std::make_shared<SimPhone>()) {
        // Without noise what the device encodes is exactly what the screen draws.
        phone->setSwitches({.latency = 5ms, .noise = 0});
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

    // The whole handshake as a well-behaved host answers it, in the order the device asks; the video format
    // from CVRP. The host session's test runs the real host against this device.
    FormatDescription handshake(TestHost& host) {
        host.expect<Ping>();
        host.send(Ping{});
        auto cwpa = host.expect<SyncCwpa>();
        host.send(Reply::withClock(cwpa.correlationId, kHostAudioClock));
        host.send(AsynHpd1{kNoClock, std::nullopt});
        host.send(AsynHpa1{SimUsbScreenHost::kDeviceAudioClock, std::nullopt});
        host.send(Reply::audioFormatAccepted(host.expect<SyncAfmt>().correlationId));
        auto cvrp = host.expect<SyncCvrp>();
        host.send(Reply::withClock(cvrp.correlationId, kHostVideoClock));
        host.expect<AsynSprp>();
        host.expect<AsynSprp>();
        host.send(Reply::withClock(host.expect<SyncClok>().correlationId, kTimeClock));
        for (int i = 0; i < 2; ++i)
            host.send(Reply::withTime(host.expect<SyncTime>().correlationId,
                                      MediaTime::fromNanoseconds(1'000'000)));
        auto format = cvrp.format();
        EXPECT_TRUE(format);
        return format.value_or(FormatDescription{});
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

    std::shared_ptr<SimPhone> phone;
    SimScreen mirror; // the same screen, drawn only by the test
    std::unique_ptr<SimUsbScreenHost> usb;
};

} // namespace

TEST_F(SimUsbScreen, VideoGoesOutOnePictureForEachNeedAndAlwaysTheLatest) {
    auto host = connect();
    ASSERT_TRUE(host);
    auto format = handshake(*host);
    auto sets = format.h264ParameterSets();
    ASSERT_TRUE(sets);
    auto decoder = H264Decoder::create(sets->sps, sets->pps, SimScreen::kWidth, SimScreen::kHeight);

    // The phone hands the device its pictures, but video goes only once asked for; sound flows meanwhile.
    changeUnasked(*host, "Hello");
    EXPECT_EQ(host->sound().front().clock, kHostAudioClock);
    host->send(AsynNeed{kDeviceVideo});
    auto feed = host->expect<AsynFeed>();
    EXPECT_EQ(feed.clock, kHostVideoClock);
    EXPECT_EQ(feed.buffer.format, format); // the first one carries the format
    auto picture = decoder->decode(feed.buffer.nalUnits());
    ASSERT_TRUE(picture);
    EXPECT_LT(meanError(*picture, screenNow()), kMeanErrorBound);

    // Two changes while the host asks for nothing: nothing is sent. Then one NEED: the latest picture.
    changeUnasked(*host, "First banner");
    Image first = screenNow();
    changeUnasked(*host, "Second banner");
    host->send(AsynNeed{kDeviceVideo});
    picture = decoder->decode(host->expect<AsynFeed>().buffer.nalUnits());
    ASSERT_TRUE(picture);
    EXPECT_LT(meanError(*picture, screenNow()), kMeanErrorBound); // and the mirror now knows its texts
    auto texts = mirror.drawnTexts(); // the banner's box
    auto where = std::find_if(texts.begin(), texts.end(),
                              [](const DrawnText& t) { return t.text == "Second banner"; });
    ASSERT_NE(where, texts.end());
    EXPECT_GT(meanError(*picture, first, where->x, where->y, where->width, where->height),
              4 * kMeanErrorBound);

    // Credit waits for changes: two NEEDs and a still screen send nothing, then each change goes out.
    host->send(AsynNeed{kDeviceVideo});
    host->send(AsynNeed{kDeviceVideo});
    noPictureSent(*host);
    banner("Third banner");
    feed = host->expect<AsynFeed>();
    EXPECT_FALSE(feed.buffer.format); // the format went with the first picture only
    EXPECT_TRUE(decoder->decode(feed.buffer.nalUnits()));
    banner(std::nullopt);
    picture = decoder->decode(host->expect<AsynFeed>().buffer.nalUnits());
    ASSERT_TRUE(picture);
    EXPECT_LT(meanError(*picture, screenNow()), kMeanErrorBound);
    // And then the credit is spent: the next change waits for the next NEED.
    changeUnasked(*host, "Fourth banner");
}

TEST_F(SimUsbScreen, AHostThatBreaksTheProtocolIsToldHow) {
    const std::tuple<bool, Bytes, std::vector<std::string>> cases[] = {
        {true, buildPacket(AsynNeed{0x1234}), {"NEED", "0x1234"}},
        {true, buildPacket(Reply::withClock(0x999, 1)), {"never sent", "0x999"}},
        {true, buildPacket(SyncClok{kTimeClock, 5}), {"SYNC CLOK, which only the iPhone sends"}},
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

// Closing while streaming, from either side, is what every capture test does at its end.
TEST_F(SimUsbScreen, OneLinkAtATimeCloseIsSafeBeforeStartAndTwiceAndANeverAnsweringDeviceSendsNothing) {
    std::string error;
    auto device = usb->devices().front();
    auto unstarted = usb->open(device, error);
    ASSERT_TRUE(unstarted) << error;
    EXPECT_FALSE(usb->open(device, error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    unstarted->close(); // never started
    unstarted->close(); // twice
    EXPECT_FALSE(unstarted->write(buildPacket(Ping{}), error));

    auto host = connect({.neverAnswers = true, .stopAfterFeeds = {}, .malformedAfterFeeds = {}});
    ASSERT_TRUE(host);
    ASSERT_TRUE(host->send(Ping{}));
    // The ideal device's PING is in the socket before the link is even started; give this one ample time.
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(host->bytesReceived(), 0U);
}
