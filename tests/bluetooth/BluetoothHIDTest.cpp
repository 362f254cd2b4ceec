// The link's state machine, timers, control protocol and write path, against a scripted host with real
// connected sockets as channels and a hand-driven clock.
#include "bluetooth/BluetoothHID.hpp"
#include "core/Notifications.hpp"

#include "core/Log.hpp"
#include "platform/NotificationCenter.hpp"
#include "tests/bluetooth/FakeHost.hpp"

#include <gmock/gmock.h>
#include "tests/support/LogLines.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using State = BluetoothHID::State;

namespace {

constexpr const char* kPhone = "a4:c3:f0:85:1d:2e";

std::optional<std::string> readFar(int fd, std::chrono::milliseconds timeout = 5s) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return std::nullopt;
    char buffer[64];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0)
        return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
}

int openDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir))
            ++count;
        ::closedir(dir);
    }
    return count;
}

class BluetoothHIDTest : public testing::Test {
protected:
    ManualClock clock;
    DispatchQueue main{"test.main"};
    NotificationCenter notifications;
    std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
    std::unique_ptr<BluetoothHID> hid;
    std::vector<State> changes;
    std::vector<int> farEnds;

    void SetUp() override {
        hid = std::make_unique<BluetoothHID>(host, main, notifications, clock);
        hid->setOnStateChange([this](State state) { changes.push_back(state); });
        hid->setPhoneAddress(std::string(kPhone));
    }
    void TearDown() override {
        hid.reset();
        main.sync([] {});
        for (int fd : farEnds)
            ::close(fd);
    }
    void flush() {
        main.sync([] {});
        main.sync([] {});
    }
    void start() {
        hid->start();
        flush();
    }
    void advance(Duration by) {
        clock.advance(by);
        flush();
    }
    // Hands the logic a channel from the phone; returns the phone's end.
    int give(std::uint16_t psm, const std::string& peer = kPhone) {
        auto pair = host->channel(psm, peer);
        farEnds.push_back(pair.far);
        host->copy().channelReady(peer, pair.channel);
        flush();
        return pair.far;
    }
    std::size_t pages() {
        std::lock_guard lock(host->mutex);
        return host->pages.size();
    }
    std::vector<std::pair<std::string, std::uint16_t>> opens() {
        std::lock_guard lock(host->mutex);
        return host->opens;
    }
};

} // namespace

TEST_F(BluetoothHIDTest, StartsOncePublishingTheRecordAdvertisingAsAKeyboardAndPagingWhileWaiting) {
    hid->start();
    start();
    EXPECT_EQ(host->publishes, 1);
    EXPECT_EQ(host->published.size(), 18u);
    EXPECT_EQ(host->classOfDevice, 0x002540u);
    EXPECT_EQ(hid->state(), State::waiting);
    EXPECT_EQ(changes, std::vector<State>{State::waiting});
    EXPECT_TRUE(logged("bluetooth: SDP HID record published"));
    EXPECT_TRUE(logged("bluetooth: target a4:c3:f0:85:1d:2e"));
    // The startup page comes a second later, then the keyboard page 1.5 s after that.
    EXPECT_EQ(pages(), 0u);
    advance(1s);
    EXPECT_EQ(pages(), 1u);
    EXPECT_TRUE(logged("bluetooth: connect (startup)"));
    advance(1500ms);
    EXPECT_EQ(opens(), (std::vector<std::pair<std::string, std::uint16_t>>{{kPhone, 0x11}}));
    EXPECT_TRUE(logged("bluetooth: no link yet, paging the phone as a keyboard"));
    EXPECT_TRUE(logged("bluetooth: opening psm 17"));
    advance(13500ms); // and again every 15 s while no phone connects
    EXPECT_EQ(pages(), 2u);
    EXPECT_TRUE(logged("bluetooth: connect (periodic)"));
}

TEST_F(BluetoothHIDTest, PagesAtMostOnceInFiveSecondsAndNeverWhenReady) {
    start();
    hid->connect("test");
    hid->connect("test");
    EXPECT_EQ(pages(), 1u);
    advance(5100ms);
    hid->connect("test");
    EXPECT_EQ(pages(), 2u);
    give(0x11);
    give(0x13);
    EXPECT_EQ(hid->state(), State::ready);
    advance(20s);
    hid->connect("test");
    EXPECT_EQ(pages(), 2u);
}

TEST_F(BluetoothHIDTest, TheControlChannelAloneConnectsAndAsksForTheInterruptChannelOnceAnnouncingEachState) {
    int heard = 0;
    auto observer = notifications.addObserver(kBluetoothStateChangedNotification, [&](const auto&) { ++heard; });
    start();
    give(0x11);
    EXPECT_EQ(hid->state(), State::connected);
    EXPECT_TRUE(logged("bluetooth: channel psm=17 fd="));
    advance(1s);
    auto o = opens();
    EXPECT_EQ(std::count(o.begin(), o.end(), std::make_pair(std::string(kPhone), std::uint16_t{0x13})), 1);
    give(0x13);
    EXPECT_EQ(hid->state(), State::ready);
    EXPECT_EQ(changes, (std::vector<State>{State::waiting, State::connected, State::ready}));
    EXPECT_EQ(heard, 3); // to the whole process too
    EXPECT_TRUE(logged("bluetooth: state ready"));
}

TEST_F(BluetoothHIDTest, ALinkUpWaitsThenOpensTheMissingChannels) {
    start();
    host->copy().linkUp("A4-C3-F0-85-1D-2E"); // the stack's own spelling of the same address
    flush();
    EXPECT_EQ(hid->state(), State::connected);
    EXPECT_TRUE(logged("bluetooth: link up with phone"));
    advance(300ms);
    EXPECT_EQ(opens().back(), std::make_pair(std::string(kPhone), std::uint16_t{0x11}));
    // Another phone's link events are not ours.
    host->copy().linkDown("11:22:33:44:55:66");
    flush();
    EXPECT_EQ(hid->state(), State::connected);
    host->copy().linkDown(kPhone);
    flush();
    EXPECT_EQ(hid->state(), State::waiting);
}

TEST_F(BluetoothHIDTest, AnswersControlRequestsWithASuccessfulHandshakeAndTracksSuspend) {
    start();
    int control = give(0x11);
    ASSERT_EQ(::write(control, "\x71", 1), 1); // SET_PROTOCOL (report)
    EXPECT_EQ(readFar(control), std::string(1, '\0'));
    EXPECT_TRUE(eventually([] { return logged("bluetooth: request 71"); }));
    ASSERT_EQ(::write(control, "\x43\x01\x02", 3), 3); // GET_REPORT gets only the handshake too
    EXPECT_EQ(readFar(control), std::string(1, '\0'));
    EXPECT_TRUE(eventually([] { return logged("bluetooth: request 43 01 02"); }));
    ASSERT_EQ(::write(control, "\xA1\x01", 2), 2); // data: ignored, no answer
    EXPECT_EQ(readFar(control, 200ms), std::nullopt);
    ASSERT_EQ(::write(control, "\x16", 1), 1);
    EXPECT_TRUE(eventually([] { return logged("bluetooth: control 16"); }));
    // HID_CONTROL suspend and exit suspend.
    ASSERT_EQ(::write(control, "\x13", 1), 1);
    EXPECT_TRUE(eventually([&] { return flush(), hid->phoneSuspended(); }));
    EXPECT_TRUE(logged("bluetooth: phone asleep (suspend)"));
    ASSERT_EQ(::write(control, "\x14", 1), 1);
    EXPECT_TRUE(eventually([&] { return flush(), !hid->phoneSuspended(); }));
}

TEST_F(BluetoothHIDTest, AVirtualCableUnplugClosesBothAndPagesAgainTwoSecondsLater) {
    start();
    advance(6s);
    int control = give(0x11);
    int interrupt = give(0x13);
    ASSERT_EQ(hid->state(), State::ready);
    auto before = pages();
    ASSERT_EQ(::write(control, "\x15", 1), 1);
    ASSERT_TRUE(eventually([&] { return flush(), hid->state() == State::waiting; }));
    EXPECT_TRUE(logged("bluetooth: phone removed this keyboard (virtual cable unplug)"));
    // Both of our ends are shut: the phone's ends see the channels end.
    char byte;
    EXPECT_EQ(::read(interrupt, &byte, 1), 0);
    advance(2s);
    EXPECT_EQ(pages(), before + 1);
    EXPECT_TRUE(logged("bluetooth: connect (link lost)"));
}

TEST_F(BluetoothHIDTest, ChannelsFromAnotherDeviceAreRefused) {
    start();
    int stranger = give(0x13, "de:ad:be:ef:00:01");
    EXPECT_EQ(hid->state(), State::waiting);
    EXPECT_FALSE(hid->hasInterrupt());
    EXPECT_TRUE(logged("bluetooth: refused a channel from de:ad:be:ef:00:01: not the selected phone"));
    char byte;
    EXPECT_EQ(::read(stranger, &byte, 1), 0);
    EXPECT_FALSE(hid->pointer(0, 1, 1));
}

TEST_F(BluetoothHIDTest, WritesReachTheInterruptChannelAndFailuresAreReported) {
    EXPECT_FALSE(hid->pointer(0, 1, 1)); // no channel: nothing written, and it says so
    start();
    give(0x11);
    int interrupt = give(0x13);
    EXPECT_TRUE(hid->keyboard(0x08, {0x2C}));
    EXPECT_EQ(readFar(interrupt), std::string("\xA1\x01\x08\x00\x2C\x00\x00\x00\x00\x00", 10));
    EXPECT_TRUE(hid->pointer(0x01, 5, -3));
    EXPECT_EQ(readFar(interrupt), std::string("\xA1\x02\x01\x05\xFD\x00", 6));
    // The phone goes away mid-session: the write fails, the channel is closed, the state drops.
    ::shutdown(interrupt, SHUT_RDWR);
    ASSERT_TRUE(eventually([&] { return flush(), !hid->hasInterrupt(); }));
    EXPECT_FALSE(hid->pointer(0, 1, 0));
    EXPECT_NE(hid->state(), State::ready);
}

TEST_F(BluetoothHIDTest, AReconnectThatRacesTheOldChannelsEndKeepsTheNewOne) {
    start();
    auto oldControl = host->channel(0x11, kPhone);
    farEnds.push_back(oldControl.far);
    host->copy().channelReady(kPhone, oldControl.channel);
    flush();
    give(0x13);
    ASSERT_EQ(hid->state(), State::ready);
    // The phone reconnects before the old control socket reports its end.
    give(0x11);
    EXPECT_EQ(hid->state(), State::ready);
    host->copy().channelClosed(kPhone, oldControl.channel);
    flush();
    std::this_thread::sleep_for(50ms);
    flush();
    EXPECT_EQ(hid->state(), State::ready);
}

TEST_F(BluetoothHIDTest, NoDescriptorLeaksOverAHundredConnections) {
    start();
    int before = openDescriptors();
    for (int cycle = 0; cycle < 100; ++cycle) {
        auto control = host->channel(0x11, kPhone);
        auto interrupt = host->channel(0x13, kPhone);
        host->copy().channelReady(kPhone, control.channel);
        host->copy().channelReady(kPhone, interrupt.channel);
        flush();
        ASSERT_EQ(hid->state(), State::ready) << cycle;
        ::close(control.far);
        ::close(interrupt.far);
        ASSERT_TRUE(eventually([&] { return flush(), hid->state() == State::waiting; })) << cycle;
    }
    hid.reset(); // joins the readers
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(BluetoothHIDTest, SwitchingPhonesDropsTheOldOnePagesTheNewAndPairsOnlyWithIt) {
    start();
    advance(6s);
    give(0x11);
    give(0x13);
    ASSERT_EQ(hid->state(), State::ready);
    auto before = pages();
    hid->setPhoneAddress(std::string("F0:99:B6:0A:12:CD"));
    flush();
    EXPECT_EQ(hid->state(), State::waiting);
    EXPECT_EQ(hid->phoneAddress(), "f0:99:b6:0a:12:cd");
    EXPECT_EQ(host->disconnects.back(), kPhone);
    EXPECT_EQ(pages(), before + 1);
    EXPECT_EQ(host->pages.back(), "f0:99:b6:0a:12:cd");
    EXPECT_FALSE(hid->pointer(0, 1, 1));
    // Pairing is accepted from the selected phone alone, and only while pairing.
    hid->setPairingMode(true);
    EXPECT_EQ(host->pairingPeer, "f0:99:b6:0a:12:cd");
    hid->setPairingMode(false);
    EXPECT_EQ(host->pairingPeer, std::nullopt);
}

TEST_F(BluetoothHIDTest, AFailedStartIsRetriedWhenAnAdapterAppearsAndStopIsHarmlessAtAnyTime) {
    hid->stop();
    host->adapter = false;
    hid->start();
    start();
    EXPECT_EQ(hid->state(), State::off);
    EXPECT_EQ(countLogged("bluetooth: SDP publish FAILED"), 1);
    EXPECT_TRUE(logged("bluetooth: no Bluetooth adapter"));
    host->adapter = true;
    host->copy().adapterAvailable();
    flush();
    EXPECT_EQ(hid->state(), State::waiting);
    give(0x11);
    hid->stop();
    hid->stop();
    flush();
    EXPECT_EQ(hid->state(), State::off);
    EXPECT_EQ(host->withdrawals, 1);
    // Neither a new adapter nor delayed work from before the stop starts it again; a new start does.
    host->copy().adapterAvailable();
    advance(30s);
    EXPECT_EQ(hid->state(), State::off);
    EXPECT_EQ(host->publishes, 1);
    start();
    EXPECT_EQ(hid->state(), State::waiting);
}
