// The BlueZ backend against stand-ins for what it talks to (BlueZFakes.hpp): a private bus, a bluetoothd
// that records what it is asked, and L2CAP sockets made of socket pairs.
#include "platform/linux/BlueZHost.hpp"

#include "platform/BluetoothHost.hpp"
#include "platform/linux/BlueZBus.hpp"
#include "platform/linux/BlueZL2cap.hpp"
#include "platform/linux/BlueZMgmt.hpp"
#include "tests/platform/BlueZFakes.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace pokescope {
namespace {

using namespace test;

class BlueZHostTest : public ::testing::Test {
protected:
    std::unique_ptr<BlueZHost> makeHost() {
        BlueZOptions options;
        options.busAddress = bus.address();
        options.sockets = sockets;
        options.setDeviceClass = [this](std::uint16_t index, std::uint32_t cls, std::string& error) {
            classRequests.push_back({index, cls});
            if (!kernelTakesClass)
                error = "this process may not change the adapter's class (that needs CAP_NET_ADMIN)";
            return kernelTakesClass;
        };
        auto host = std::make_unique<BlueZHost>(std::move(options));
        host->setEvents(log.events());
        return host;
    }

    bool publish(BlueZHost& host) {
        std::string error;
        bool ok = host.publish(testRecord(), error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }

    // The backend's connection, as the fake bluetoothd saw it register.
    std::string hostBusName() {
        auto calls = fake->calls("RegisterProfile");
        return calls.empty() ? "" : calls.back().sender;
    }

    // Calls the backend's agent the way bluetoothd does; the D-Bus error name, or "" when it accepted.
    std::string askAgent(const std::string& method, const std::string& device) {
        auto agent = sdbus::createProxy(fake->connection(), hostBusName(), bluez::kAgentPath);
        auto call = agent->createMethodCall(bluez::kAgent, method);
        call << sdbus::ObjectPath(device);
        if (method == "RequestConfirmation")
            call << std::uint32_t{123456};
        else if (method == "AuthorizeService")
            call << std::string(bluez::kHidUuid);
        try {
            agent->callMethod(call);
        } catch (const sdbus::Error& e) {
            return e.getName();
        }
        return "";
    }

    PrivateBus bus;
    std::unique_ptr<FakeBluez> fake = std::make_unique<FakeBluez>(bus.address());
    std::shared_ptr<FakeSockets> sockets = std::make_shared<FakeSockets>();
    std::vector<std::pair<std::uint16_t, std::uint32_t>> classRequests;
    bool kernelTakesClass = false;
    EventLog log;
};

// Channels the kernel refuses leave nothing registered and say what to do; then the record goes to BlueZ as
// XML, and withdraw unregisters it once.
TEST_F(BlueZHostTest, RegistersTheRecordAsBlueZXmlAndWithdrawUnregistersOnce) {
    EXPECT_EQ(bluez::l2capListenError(EAFNOSUPPORT).rfind("no Bluetooth support in this kernel", 0), 0u);
    EXPECT_EQ(bluez::l2capListenError(ENODEV), "no Bluetooth adapter");
    EXPECT_NE(bluez::l2capListenError(EPERM).find("CAP_NET_BIND_SERVICE"), std::string::npos);
    EXPECT_NE(bluez::l2capListenError(EIO).find(std::strerror(EIO)), std::string::npos);
    auto host = makeHost();
    std::string error;
    sockets->listenError = EADDRINUSE;
    EXPECT_FALSE(host->publish(testRecord(), error));
    EXPECT_EQ(error, "the HID channels are taken by another program: start bluetoothd without its input "
                     "plugin (-P input)");
    sockets->listenError = EACCES;
    EXPECT_FALSE(host->publish(testRecord(), error));
    EXPECT_NE(error.find("CAP_NET_BIND_SERVICE"), std::string::npos) << error;
    EXPECT_TRUE(fake->calls("RegisterProfile").empty());
    sockets->listenError.reset();
    host->withdraw(); // nothing published yet
    EXPECT_TRUE(fake->calls("UnregisterProfile").empty());

    ASSERT_TRUE(publish(*host));
    auto calls = fake->calls("RegisterProfile");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].arguments, std::string(bluez::kProfilePath) + " 00001124-0000-1000-8000-00805f9b34fb");
    auto& options = calls[0].options;
    ASSERT_EQ(options.size(), 5u);
    EXPECT_EQ(options.at("ServiceRecord").get<std::string>(), sdpRecordXML(testRecord()));
    EXPECT_EQ(std::tuple(options.at("Role").get<std::string>(), options.at("RequireAuthentication").get<bool>(),
                         options.at("RequireAuthorization").get<bool>(), options.at("AutoConnect").get<bool>()),
              std::tuple("server", true, false, true));
    EXPECT_TRUE(sockets->listening());
    EXPECT_TRUE(host->canSeeConnections());

    host->withdraw();
    host->withdraw();
    calls = fake->calls("UnregisterProfile");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].arguments, bluez::kProfilePath);
    EXPECT_FALSE(sockets->listening());
    EXPECT_EQ(sockets->stops, 1);
    // Published again after a withdraw: a fresh registration, not an "already exists".
    ASSERT_TRUE(publish(*host));
    EXPECT_EQ(fake->calls("RegisterProfile").size(), 2u);
}

TEST_F(BlueZHostTest, PublishFailsClearlyWhenTheAdapterIsMissingOrOffAndTriesAgainWhenItComes) {
    fake.reset();
    fake = std::make_unique<FakeBluez>(bus.address(), false);
    auto host = makeHost();
    std::string error;
    EXPECT_FALSE(host->publish(testRecord(), error));
    EXPECT_EQ(error, "no Bluetooth adapter");
    EXPECT_EQ(host->controllerName(), "");
    EXPECT_FALSE(host->knowsPeer(FakeBluez::kPhone));

    fake.reset();
    fake = std::make_unique<FakeBluez>(bus.address(), true, false);
    EXPECT_FALSE(host->publish(testRecord(), error));
    EXPECT_EQ(error, "the Bluetooth adapter is off (switch it on, for example with \"bluetoothctl power on\")");
    EXPECT_TRUE(fake->calls("RegisterProfile").empty());
    EXPECT_EQ(sockets->listens, 0);
    fake->set("Powered", true);
    EXPECT_TRUE(log.saw("adapterAvailable"));
    ASSERT_TRUE(publish(*host));
    fake->addAdapter("/org/bluez/hci1");
    EXPECT_TRUE(log.saw("adapterAvailable", 2));
}

// Discoverable without timeouts, and an agent that accepts only the selected phone while pairing.
TEST_F(BlueZHostTest, PairingOpensTheAdapterForTheSelectedPhoneKnownPeersArePagedAndTheClassGoesThroughTheKernel) {
    auto host = makeHost();
    EXPECT_EQ(host->controllerName(), "Workbench");
    EXPECT_FALSE(host->discoverable());
    host->makeDiscoverable();
    auto a = fake->adapter();
    EXPECT_EQ(std::tuple(a.discoverable, a.pairable, a.discoverableTimeout, a.pairableTimeout), std::tuple(true, true, 0u, 0u));
    EXPECT_TRUE(host->discoverable());
    // The timeouts go first, so the adapter never opens with bluetoothd's three-minute limit.
    std::string sets;
    for (const auto& call : fake->calls("Set"))
        sets += call.arguments + " ";
    EXPECT_EQ(sets, "PairableTimeout DiscoverableTimeout Pairable Discoverable ");

    ASSERT_TRUE(publish(*host));
    EXPECT_TRUE(fake->calls("RegisterAgent").empty()) << "no agent before the user pairs";
    host->setPairingPeer("A4-C3-F0-85-1D-2E");
    auto registered = fake->calls("RegisterAgent");
    ASSERT_EQ(registered.size(), 1u);
    EXPECT_EQ(registered[0].arguments, std::string(bluez::kAgentPath) + " NoInputNoOutput");
    ASSERT_EQ(fake->calls("RequestDefaultAgent").size(), 1u);
    for (const char* method : {"RequestConfirmation", "RequestAuthorization", "AuthorizeService"}) {
        EXPECT_EQ(askAgent(method, FakeBluez::kPhonePath), "") << method;
        EXPECT_EQ(askAgent(method, "/org/bluez/hci0/dev_00_11_22_33_44_55"), bluez::kRejected) << method;
        EXPECT_EQ(askAgent(method, "/org/bluez/hci0"), bluez::kRejected) << method;
    }
    // Nobody is at this computer to type a code.
    EXPECT_EQ(askAgent("RequestPasskey", FakeBluez::kPhonePath), bluez::kRejected);
    host->setPairingPeer(std::nullopt);
    EXPECT_EQ(fake->calls("UnregisterAgent").size(), 1u);
    EXPECT_EQ(askAgent("RequestConfirmation", FakeBluez::kPhonePath), bluez::kRejected);
    EXPECT_EQ(askAgent("AuthorizeService", FakeBluez::kPhonePath), bluez::kRejected);

    // Only devices BlueZ has are known, dropped through Device1 (never connected through it: links come up
    // with the HID channels); their connected and paired changes become events.
    EXPECT_EQ(std::tuple(host->knowsPeer(FakeBluez::kPhone), host->knowsPeer("A4:C3:F0:85:1D:2E"),
                         host->knowsPeer("00:11:22:33:44:55")), std::tuple(true, true, false));
    host->disconnectPeer(FakeBluez::kPhone);
    EXPECT_TRUE(eventually([&] { return fake->calls("Disconnect").size() == 1; }));
    EXPECT_EQ(fake->calls("Disconnect")[0].arguments, FakeBluez::kPhonePath);
    host->disconnectPeer("00:11:22:33:44:55"); // unknown to BlueZ: an error nobody waits for
    EXPECT_EQ(fake->calls("Disconnect").size(), 1u);

    // A bond made while the user was not pairing this phone is not reported as ours.
    fake->set("Paired", true);
    fake->set("Paired", false);
    // Signals arrive in order: once the link events are in, the bond changes above have been seen too.
    fake->set("Connected", true);
    EXPECT_TRUE(log.saw("linkUp a4:c3:f0:85:1d:2e"));
    fake->set("Connected", false);
    EXPECT_TRUE(log.saw("linkDown a4:c3:f0:85:1d:2e"));
    host->setPairingPeer(FakeBluez::kPhone);
    fake->set("Paired", true);
    EXPECT_TRUE(log.saw("paired a4:c3:f0:85:1d:2e"));
    EXPECT_EQ(std::ranges::count(log.lines(), "paired a4:c3:f0:85:1d:2e"), 1);

    std::string error;
    EXPECT_FALSE(host->setClassOfDevice(0x002540, 180, error));
    EXPECT_EQ(classRequests, (std::vector<std::pair<std::uint16_t, std::uint32_t>>{{0, 0x002540}}));
    EXPECT_EQ(error,
              "this process may not change the adapter's class (that needs CAP_NET_ADMIN); put \"Class = "
              "0x002540\" in the [General] section of /etc/bluetooth/main.conf and restart bluetoothd");
    // main.conf says so already (the limited-discoverable service bit aside).
    fake->setClass(0x5a2540);
    EXPECT_TRUE(host->setClassOfDevice(0x002540, 180, error));
    EXPECT_EQ(classRequests.size(), 1u);

    fake->setClass(0x0c010c);
    kernelTakesClass = true;
    EXPECT_TRUE(host->setClassOfDevice(0x002540, 180, error)) << error;
    EXPECT_EQ(classRequests.size(), 2u);
}

TEST_F(BlueZHostTest, ChannelsInAndOutAreHandedToTheLogicWithTheirPeerAndOutcome) {
    auto host = makeHost();
    ASSERT_TRUE(publish(*host));
    ASSERT_TRUE(sockets->peerConnects("a4:c3:f0:85:1d:2e", BluetoothHost::kControlPSM));
    ASSERT_TRUE(sockets->peerConnects("00:11:22:33:44:55", BluetoothHost::kInterruptPSM));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"opened a4:c3:f0:85:1d:2e 17 ? in", "ready a4:c3:f0:85:1d:2e 17",
                                                     "opened 00:11:22:33:44:55 19 ? in", "ready 00:11:22:33:44:55 19"}));
    auto channels = log.channelList;
    ASSERT_EQ(channels.size(), 2u);
    EXPECT_TRUE(channels[0]->incoming());
    EXPECT_EQ(channels[1]->peerAddress(), "00:11:22:33:44:55");
    // The channel is the socket itself: what the phone sends arrives on it.
    ASSERT_EQ(::send(sockets->farEnds[0].get(), "\x71", 1, 0), 1);
    char got = 0;
    EXPECT_EQ(::read(channels[0]->fd(), &got, 1), 1);
    EXPECT_EQ(got, 0x71);

    host->openChannel("A4:C3:F0:85:1D:2E", BluetoothHost::kControlPSM);
    EXPECT_TRUE(log.saw("ready a4:c3:f0:85:1d:2e 17", 2));
    EXPECT_EQ(log.lines().at(4), "opened a4:c3:f0:85:1d:2e 17 0 out");
    EXPECT_FALSE(log.channelList.at(2)->incoming());
    { std::lock_guard lock(sockets->mutex_); sockets->connectError = EHOSTDOWN; }
    host->openChannel(FakeBluez::kPhone, BluetoothHost::kInterruptPSM);
    EXPECT_TRUE(log.saw("ready a4:c3:f0:85:1d:2e none"));
    EXPECT_TRUE(log.saw("opened a4:c3:f0:85:1d:2e 19 " + std::to_string(EHOSTDOWN) + " out"));
    {
        std::lock_guard lock(sockets->mutex_);
        EXPECT_EQ(sockets->connects, (std::vector<std::string>{"a4:c3:f0:85:1d:2e 17", "a4:c3:f0:85:1d:2e 19"}));
    }

    // The profile closes connections bluetoothd hands over: every copy of the write end gone, the read end
    // sees the end of the stream.
    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    bluez::UniqueFd readEnd(pipe[0]);
    {
        bluez::UniqueFd writeEnd(pipe[1]);
        auto profile = sdbus::createProxy(fake->connection(), hostBusName(), bluez::kProfilePath);
        profile->callMethod("NewConnection")
            .onInterface(bluez::kProfile)
            .withArguments(sdbus::ObjectPath(FakeBluez::kPhonePath), sdbus::UnixFd(writeEnd.get()),
                           std::map<std::string, sdbus::Variant>{})
            .storeResultsTo();
    }
    EXPECT_TRUE(eventually([&] { return ::read(readEnd.get(), &got, 1) == 0; }));
}

TEST(BlueZMgmt, SetDeviceClassCommandBytesAndDevicePaths) {
    EXPECT_EQ(bluez::setDeviceClassCommand(0, 0x002540),
              (std::vector<std::uint8_t>{0x0E, 0x00, 0x00, 0x00, 0x02, 0x00, 0x05, 0x40}));
    // The service-class and limited-discoverable bits are the kernel's; the format bits must be zero.
    EXPECT_EQ(bluez::setDeviceClassCommand(0x0102, 0xFFA5C3),
              (std::vector<std::uint8_t>{0x0E, 0x00, 0x02, 0x01, 0x02, 0x00, 0x05, 0xC0}));
    EXPECT_EQ(bluez::devicePath("/org/bluez/hci0", "a4:c3:f0:85:1d:2e"), "/org/bluez/hci0/dev_A4_C3_F0_85_1D_2E");
    EXPECT_EQ(bluez::addressOfDevicePath("/org/bluez/hci1/dev_A4_C3_F0_85_1D_2E"), "a4:c3:f0:85:1d:2e");
    for (const char* bad : {"/org/bluez/hci0", "/org/bluez/hci0/dev_A4_C3_F0_85_1D",
                            "/org/bluez/hci0/dev_A4_C3_F0_85_1D_2E/sep1", "/org/bluez/hci0/dev_A4:C3:F0:85:1D:2E",
                            "/org/bluez/hci0/dev_G4_C3_F0_85_1D_2E", ""})
        EXPECT_EQ(bluez::addressOfDevicePath(bad), std::nullopt) << bad;
    EXPECT_EQ(bluez::adapterIndex("/org/bluez/hci12"), 12);
    for (const char* bad : {"/org/bluez", "/org/bluez/hci", "/org/bluez/hcix", "/org/bluez/hci0/dev_A4"})
        EXPECT_EQ(bluez::adapterIndex(bad), std::nullopt) << bad;
}

TEST_F(BlueZHostTest, RepeatedPublishLeaksNothingAndBluetoothdRestartsRegisterAgain) {
    auto host = makeHost();
    ASSERT_TRUE(publish(*host));
    host->withdraw();
    const long before = openDescriptors();
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(publish(*host));
        host->setPairingPeer(FakeBluez::kPhone);
        host->setPairingPeer(std::nullopt);
        host->withdraw();
    }
    EXPECT_EQ(openDescriptors(), before);

    ASSERT_TRUE(publish(*host));
    host->setPairingPeer(FakeBluez::kPhone);
    fake.reset();
    EXPECT_TRUE(eventually([&] { return !host->canSeeConnections(); }));
    fake = std::make_unique<FakeBluez>(bus.address());
    EXPECT_TRUE(eventually([&] {
        return fake->calls("RegisterProfile").size() == 1 && fake->calls("RequestDefaultAgent").size() == 1;
    }));
    EXPECT_EQ(fake->calls("RegisterProfile")[0].options.at("ServiceRecord").get<std::string>(),
              sdpRecordXML(testRecord()));
    EXPECT_TRUE(host->canSeeConnections());
}

// Without bluetoothd on the bus, or without a bus at all (the system bus as production finds it, at an
// address where nothing listens), every operation fails quietly and publish says why.
TEST(BlueZHostWithout, BluetoothdOrABusEveryOperationFailsQuietlyAndPublishSaysWhy) {
    PrivateBus bus;
    test::TempFolder folder;
    test::ScopedEnvironment environment;
    environment.set("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (folder.path() / "no-bus").string());
    for (const auto& address : {std::optional<std::string>(bus.address()), std::optional<std::string>()}) {
        BlueZOptions options;
        options.busAddress = address;
        options.sockets = std::make_shared<FakeSockets>();
        BlueZHost host(std::move(options));
        EventLog log;
        host.setEvents(log.events());
        std::string error;
        EXPECT_FALSE(host.publish(testRecord(), error));
        const std::string expected =
            address ? "the Bluetooth service (bluetoothd) is not running" : "the system D-Bus can't be reached: ";
        EXPECT_EQ(address ? error : error.substr(0, expected.size()), expected);
        EXPECT_EQ(std::tuple(host.setClassOfDevice(0x002540, 180, error), host.canSeeConnections(),
                             host.controllerName(), host.discoverable(), host.knowsPeer(FakeBluez::kPhone)),
                  std::tuple(false, false, "", false, false));
        host.makeDiscoverable();
        host.setPairingPeer(FakeBluez::kPhone);
        host.disconnectPeer(FakeBluez::kPhone);
        host.withdraw();
        host.withdraw();
        EXPECT_TRUE(log.lines().empty());
    }
}

} // namespace
} // namespace pokescope
