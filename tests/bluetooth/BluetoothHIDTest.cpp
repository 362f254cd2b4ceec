// The HID record and reports; the link's state machine, timers, control protocol and write path, against a
// scripted host with real connected sockets as channels and a hand-driven clock.
#include "bluetooth/BluetoothHID.hpp"
#include "bluetooth/HIDRecord.hpp"
#include "bluetooth/HIDReports.hpp"
#include "platform/BluetoothHost.hpp"

#include "tests/support/LogLines.hpp"
#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using State = BluetoothHID::State;
using E = SdpElement;

namespace {

// A Bluetooth host the test drives: it records what the device logic asks of it and lets the test play
// the stack's events, with real connected sockets as channels.
class FakeHost : public BluetoothHost {
public:
    void setEvents(Events e) override { std::lock_guard lock(mutex); events = std::move(e); }
    bool publish(const SdpRecord& record, std::string& error) override {
        std::lock_guard lock(mutex);
        if (!adapter) {
            error = "no Bluetooth adapter";
            return false;
        }
        ++publishes;
        published = record;
        return true;
    }
    void withdraw() override { std::lock_guard lock(mutex); ++withdrawals; }
    bool setClassOfDevice(std::uint32_t cod, double, std::string&) override {
        std::lock_guard lock(mutex);
        classOfDevice = cod;
        return true;
    }
    std::string controllerName() override { return "pokescope-box"; }
    void makeDiscoverable() override {}
    bool discoverable() override { return false; }
    void setPairingPeer(std::optional<std::string> address) override {
        std::lock_guard lock(mutex);
        pairingPeer = std::move(address);
    }
    bool canSeeConnections() override { return true; }
    bool knowsPeer(const std::string&) override { return true; }
    void disconnectPeer(const std::string& address) override {
        std::lock_guard lock(mutex);
        disconnects.push_back(address);
    }
    void openChannel(const std::string& address, std::uint16_t psm) override {
        std::lock_guard lock(mutex);
        opens.emplace_back(address, psm);
    }

    // A connected channel: ours goes to the device logic, the far end stays with the test.
    struct Pair {
        BluetoothChannelRef channel;
        int far = -1;
    };
    Pair channel(std::uint16_t psm, const std::string& peer) {
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds);
        return {std::make_shared<BluetoothChannel>(fds[0], psm, peer, true), fds[1]};
    }
    Events copy() { std::lock_guard lock(mutex); return events; }

    std::mutex mutex;
    Events events;
    bool adapter = true;
    int publishes = 0, withdrawals = 0;
    std::uint32_t classOfDevice = 0;
    std::optional<std::string> pairingPeer;
    SdpRecord published;
    std::vector<std::string> disconnects;
    std::vector<std::pair<std::string, std::uint16_t>> opens;
};

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

class BluetoothHIDTest : public testing::Test {
protected:
    ManualClock clock;
    DispatchQueue main{"test.main"};
    std::atomic<int> linkChanges{0};
    std::shared_ptr<FakeHost> host = std::make_shared<FakeHost>();
    std::unique_ptr<BluetoothHID> hid;
    std::vector<State> changes;
    std::vector<int> farEnds;

    void SetUp() override {
        hid = std::make_unique<BluetoothHID>(host, main, [this] { ++linkChanges; }, clock);
        hid->setOnStateChange([this](State state) { changes.push_back(state); });
        hid->setPhoneAddress(std::string(kPhone));
    }
    void TearDown() override {
        hid.reset();
        main.sync([] {});
        for (int fd : farEnds)
            ::close(fd);
    }
    void flush() { main.sync([] {}); main.sync([] {}); }
    void start() { hid->start(); flush(); }
    void advance(Duration by) { clock.advance(by); flush(); }
    // Hands the logic a channel from the phone; returns the phone's end.
    int give(std::uint16_t psm, const std::string& peer = kPhone) {
        auto pair = host->channel(psm, peer);
        farEnds.push_back(pair.far);
        host->copy().channelReady(peer, pair.channel);
        flush();
        return pair.far;
    }
    // Pages: opening the control channel is what brings a link up.
    std::vector<std::string> paged() {
        std::vector<std::string> addresses;
        for (const auto& [address, psm] : opens())
            if (psm == 0x11)
                addresses.push_back(address);
        return addresses;
    }
    std::size_t pages() { return paged().size(); }
    std::vector<std::pair<std::string, std::uint16_t>> opens() {
        std::lock_guard lock(host->mutex);
        return host->opens;
    }
};

} // namespace

TEST_F(BluetoothHIDTest, StartsOncePublishingTheRecordAdvertisingAsAKeyboardAndPagingWhileWaiting) {
    hid->start();
    start();
    EXPECT_EQ(std::tuple(host->publishes, host->published.size(), host->classOfDevice, hid->state()),
              std::tuple(1, 18u, 0x002540u, State::waiting));
    EXPECT_EQ(changes, std::vector<State>{State::waiting});
    EXPECT_TRUE(logged("bluetooth: SDP HID record published"));
    EXPECT_TRUE(logged("bluetooth: target a4:c3:f0:85:1d:2e"));
    // The startup page comes a second later: the control channel's connection, never a bare link first.
    EXPECT_EQ(pages(), 0u);
    advance(1s);
    EXPECT_EQ(opens(), (std::vector<std::pair<std::string, std::uint16_t>>{{kPhone, 0x11}}));
    EXPECT_TRUE(logged("bluetooth: connect (startup)"));
    EXPECT_TRUE(logged("bluetooth: no link yet, paging the phone as a keyboard"));
    EXPECT_TRUE(logged("bluetooth: opening psm 17"));
    advance(14s); // and again every 15 s while no phone connects
    EXPECT_EQ(pages(), 2u);
    EXPECT_TRUE(logged("bluetooth: connect (periodic)"));
}

TEST_F(BluetoothHIDTest, PagesAtMostOnceInFiveSecondsAndNeverWhenReady) {
    start();
    hid->connect("test");
    hid->connect("test");
    EXPECT_EQ(pages(), 1u);
    advance(5100ms); // a channel still on its way is not opened again beside itself
    hid->connect("test");
    EXPECT_EQ(pages(), 1u);
    host->copy().channelReady(kPhone, nullptr); // it failed: the next page goes at once
    flush();
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
    EXPECT_EQ(linkChanges, 3); // and to the link's listener, after the state listener
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

TEST_F(BluetoothHIDTest, AnswersControlRequestsAsTheHIDProfileAsksAndTracksSuspend) {
    start();
    int control = give(0x11);
    // Each request and its exact answer: handshakes, and the reports at rest for GET_REPORT.
    const std::pair<std::string, std::string> exchanges[] = {
        {"\x71", std::string(1, '\0')},                         // SET_PROTOCOL (report): successful
        {"\x60", std::string("\xA0\x01", 2)},                  // GET_PROTOCOL: report
        {"\x70", std::string(1, '\0')},                         // SET_PROTOCOL (boot): the same reports serve
        {"\x60", std::string("\xA0\x00", 2)},                  // GET_PROTOCOL: boot
        {"\x49\x01\x0A\x00", std::string("\xA1\x01") + std::string(8, '\0')}, // GET_REPORT input 1, size 10
        {std::string("\x41\x02", 2), std::string("\xA1\x02", 2) + std::string(4, '\0')},
        {std::string("\x41\x03", 2), "\x02"},                  // no such report: invalid report ID
        {std::string("\x43\x01\x02", 3), "\x02"},             // a feature report: none
        {"\x41", "\x02"},                                       // an ID is needed: the reports carry them
        {std::string("\x52\x01\x00", 3), std::string(1, '\0')}, // SET_REPORT (the keyboard's lights)
        {"\x90", std::string(1, '\0')},                         // SET_IDLE
        {"\x80", std::string("\xA0\x00", 2)},                  // GET_IDLE
        {"\x30", "\x03"},                                       // unknown: unsupported request
    };
    for (const auto& [request, answer] : exchanges) {
        ASSERT_EQ(::write(control, request.data(), request.size()), static_cast<ssize_t>(request.size()));
        EXPECT_EQ(readFar(control), answer) << testing::PrintToString(request);
    }
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

// The phone removing this keyboard may be its user's wish: it is not paged again until it connects by
// itself or the user chooses it again, and everyone who shows the link hears why.
TEST_F(BluetoothHIDTest, AVirtualCableUnplugClosesBothAndStopsPagingUntilThePhoneReturnsOrIsChosenAgain) {
    start();
    advance(6s);
    int control = give(0x11);
    int interrupt = give(0x13);
    ASSERT_EQ(hid->state(), State::ready);
    const auto before = pages();
    const int heard = linkChanges;
    ASSERT_EQ(::write(control, "\x15", 1), 1);
    ASSERT_TRUE(eventually([&] { return flush(), hid->state() == State::waiting; }));
    EXPECT_TRUE(logged("bluetooth: phone removed this keyboard (virtual cable unplug)"));
    EXPECT_TRUE(logged("bluetooth: not paging the phone until it connects again or is chosen again"));
    EXPECT_TRUE(hid->removedByPhone());
    // Both of our ends are shut: the phone's ends see the channels end.
    char byte;
    EXPECT_EQ(::read(interrupt, &byte, 1), 0);
    advance(2s);
    advance(30s);
    hid->connect("test");
    EXPECT_EQ(pages(), before);
    EXPECT_FALSE(logged("bluetooth: connect (link lost)"));

    hid->choosePhoneAgain();
    flush();
    EXPECT_EQ(std::tuple(pages(), hid->removedByPhone()), std::tuple(before + 1, false));
    EXPECT_TRUE(logged("bluetooth: the phone was chosen again"));
    EXPECT_TRUE(logged("bluetooth: connect (chosen again)"));
    EXPECT_GT(linkChanges, heard + 1); // removed, then chosen again: both announced

    // Removed again, and this time the phone connects by itself.
    control = give(0x11);
    ASSERT_EQ(::write(control, "\x15", 1), 1);
    ASSERT_TRUE(eventually([&] { return flush(), hid->removedByPhone(); }));
    give(0x11);
    EXPECT_EQ(std::tuple(hid->state(), hid->removedByPhone()), std::tuple(State::connected, false));
    EXPECT_TRUE(logged("bluetooth: the phone connected again"));
}

TEST_F(BluetoothHIDTest, WritesReachTheInterruptChannelOfThePhoneAloneAndFailuresAreReported) {
    EXPECT_FALSE(hid->pointer(0, 1, 1)); // no channel: nothing written, and it says so
    start();
    int stranger = give(0x13, "de:ad:be:ef:00:01");
    EXPECT_EQ(hid->state(), State::waiting);
    EXPECT_FALSE(hid->hasInterrupt());
    EXPECT_TRUE(logged("bluetooth: refused a channel from de:ad:be:ef:00:01: not the selected phone"));
    char byte;
    EXPECT_EQ(::read(stranger, &byte, 1), 0);
    EXPECT_FALSE(hid->pointer(0, 1, 1));
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
    const long before = openDescriptors();
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
    EXPECT_EQ(std::tuple(hid->state(), hid->phoneAddress(), host->disconnects.back(), pages(), paged().back(),
                         hid->pointer(0, 1, 1)),
              std::tuple(State::waiting, "f0:99:b6:0a:12:cd", kPhone, before + 1, "f0:99:b6:0a:12:cd", false));
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
    EXPECT_EQ(std::pair(hid->state(), host->withdrawals), std::pair(State::off, 1));
    // Neither a new adapter nor delayed work from before the stop starts it again; a new start does.
    host->copy().adapterAvailable();
    advance(30s);
    EXPECT_EQ(std::pair(hid->state(), host->publishes), std::pair(State::off, 1));
    start();
    EXPECT_EQ(hid->state(), State::waiting);
}

TEST(HIDRecord, TheRecordsAttributesAndDescriptorAlsoInXmlAndTheReportsAtTheirLimits) {
    const std::string expected = "05 01 09 06 A1 01 85 01 05 07 19 E0 29 E7 15 00 25 01 75 01 95 08 81 02 95 01 75 08 81 "
                                 "01 95 06 75 08 15 00 25 65 05 07 19 00 29 65 81 00 C0 05 01 09 02 A1 01 85 02 09 01 A1 "
                                 "00 05 09 19 01 29 03 15 00 25 01 95 03 75 01 81 02 95 01 75 05 81 01 05 01 09 30 09 31 "
                                 "09 38 15 81 25 7F 75 08 95 03 81 06 C0 C0";
    std::string actual;
    char hex[4];
    for (auto byte : HIDRecord::descriptor)
        actual += (actual.empty() ? "" : " ") + std::string(hex, std::snprintf(hex, sizeof hex, "%02X", byte));
    EXPECT_EQ(actual, expected);

    auto record = HIDRecord::record();
    std::vector<std::uint16_t> ids;
    for (auto& attribute : record)
        ids.push_back(attribute.id);
    EXPECT_EQ(ids, (std::vector<std::uint16_t>{0x0001, 0x0004, 0x0005, 0x0006, 0x0009, 0x000D, 0x0100, 0x0201, 0x0202,
                                               0x0203, 0x0204, 0x0205, 0x0206, 0x0207, 0x020B, 0x020C, 0x020D, 0x020E}));
    auto value = [&](std::uint16_t id) { return std::ranges::find(record, id, &SdpAttribute::id)->value; };
    EXPECT_EQ(value(0x0001), E::sequence({E::uuid(0x1124)}));
    EXPECT_EQ(value(0x0004), E::sequence({E::sequence({E::uuid(0x0100), E::u16(0x0011)}), E::sequence({E::uuid(0x0011)})}));
    EXPECT_EQ(value(0x000D), E::sequence({E::sequence(
                                 {E::sequence({E::uuid(0x0100), E::u16(0x0013)}), E::sequence({E::uuid(0x0011)})})}));
    EXPECT_EQ(value(0x0006), E::sequence({E::u16(0x656E), E::u16(0x006A), E::u16(0x0100)}));
    EXPECT_EQ(value(0x0100), E::string("Pokescope Keyboard"));
    EXPECT_EQ(value(0x0201), E::u16(0x0111));
    EXPECT_EQ(value(0x0202), E::u8(0xC0));
    EXPECT_EQ(value(0x0203), E::u8(0));
    EXPECT_EQ(value(0x0204), E::boolean(true));
    EXPECT_EQ(value(0x0207), E::sequence({E::sequence({E::u16(0x0409), E::u16(0x0100)})}));
    EXPECT_EQ(value(0x020C), E::u16(3200));
    EXPECT_EQ(value(0x0206),
              E::sequence({E::sequence({E::u8(0x22), E::string(std::string(HIDRecord::descriptor.begin(),
                                                                           HIDRecord::descriptor.end()))})}));

    std::string xml = sdpRecordXML(record);
    for (const char* part : {"<attribute id=\"0x0100\">\n    <text value=\"Pokescope Keyboard\" />",
                             "<text encoding=\"hex\" value=\"05010906a101850105", "<uint16 value=\"0x0c80\" />",
                             "<uint8 value=\"0xc0\" />", "<boolean value=\"true\" />"})
        EXPECT_THAT(xml, testing::HasSubstr(part));
    EXPECT_GT(std::count(xml.begin(), xml.end(), '\n'), 18);
    EXPECT_EQ(xml.find("<attribute"), xml.find("<attribute id=\"0x0001\">"));

    // The common reports' bytes are checked where they reach the interrupt channel (BluetoothHIDTest).
    auto seven = HIDReports::keyboard(0, {1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(std::vector<std::uint8_t>(seven.begin() + 4, seven.end()), (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));
    auto release = HIDReports::keyboard(0, {});
    EXPECT_EQ(std::vector<std::uint8_t>(release.begin(), release.end()),
              (std::vector<std::uint8_t>{0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}));
    auto far = HIDReports::pointer(0, 400, -400);
    EXPECT_EQ(far[3], 0x7F);
    EXPECT_EQ(far[4], 0x81); // -127, never -128
}
