#include "device/MobileDevice.hpp"

#include "sim/SimLockdown.hpp"
#include "tests/support/LogLines.hpp"
#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using Kind = LockdownBackend::Event::Kind;

namespace {

// A lockdown service whose values and timing the test sets.
class FakeLockdown : public LockdownBackend {
public:
    struct Phone {
        LockdownValue values = LockdownValue::object();
        bool trusted = true;
        std::chrono::milliseconds readDelay{0};
    };

    bool available() const override { return true; }
    std::string unavailableReason() const override { return ""; }
    std::string statusNote() const override { return "usbmuxd is not running"; }
    int subscribe(std::function<void(const Event&)> handler) override {
        this->handler = std::move(handler);
        return 0;
    }
    std::unique_ptr<LockdownConnection> connect(const std::string& udid) override;
    void send(Kind kind, const std::string& udid, bool usb = true) { handler(Event{kind, udid, usb}); }

    std::function<void(const Event&)> handler;
    std::map<std::string, Phone> phones;
    std::mutex mutex;
};

class FakeConnection : public LockdownConnection {
public:
    FakeConnection(FakeLockdown& owner, std::string udid) : owner_(owner), udid_(std::move(udid)) {}
    FakeLockdown::Phone phone() { std::lock_guard lock(owner_.mutex); return owner_.phones[udid_]; }
    bool isPaired() override { return phone().trusted; }
    int validatePairing() override { return phone().trusted ? 0 : -21; }
    int startSession() override { return phone().trusted ? 0 : -21; }
    void stopSession() override {}
    std::optional<LockdownValue> copyValue(const std::optional<std::string>& domain,
                                           const std::optional<std::string>& key) override {
        auto p = phone();
        std::this_thread::sleep_for(p.readDelay);
        auto& scope = domain ? p.values[*domain] : p.values;
        if (!key)
            return scope;
        if (scope.contains(*key))
            return scope[*key];
        return std::nullopt;
    }
    int setValue(const std::string& domain, const std::string& key, const LockdownValue& value) override {
        std::lock_guard lock(owner_.mutex);
        owner_.phones[udid_].values[domain][key] = value;
        return 0;
    }
    int pair() override { return 0; }
    // A phone whose services this test does not reach.
    std::vector<InstalledApp> installedApps(bool) override { throw LockdownServiceError("apps", -1, "not here"); }
    std::unique_ptr<LogRelay> startLogRelay(std::function<void(std::string_view)>,
                                            std::function<void(const std::string&)>) override {
        throw LockdownServiceError("log", -1, "not here");
    }
    std::unique_ptr<CrashReportFolder> openCrashReports() override { throw LockdownServiceError("reports", -1, "not here"); }

private:
    FakeLockdown& owner_;
    std::string udid_;
};

std::unique_ptr<LockdownConnection> FakeLockdown::connect(const std::string& udid) {
    std::lock_guard lock(mutex);
    if (!phones.count(udid))
        return nullptr;
    return std::make_unique<FakeConnection>(*this, udid);
}

class MobileDeviceTest : public testing::Test {
protected:
    DispatchQueue main{"test.main"};
    std::shared_ptr<FakeLockdown> backend = std::make_shared<FakeLockdown>();
    std::unique_ptr<MobileDevice> device;
    std::mutex mutex;
    std::vector<std::vector<PhoneInfo>> changes;

    void SetUp() override {
        device = std::make_unique<MobileDevice>(backend, main);
        device->setOnChange([this](const std::vector<PhoneInfo>& phones) {
            std::lock_guard lock(mutex);
            changes.push_back(phones);
        });
        device->start();
    }
    void TearDown() override { device.reset(); main.sync([] {}); }
    std::size_t changeCount() { std::lock_guard lock(mutex); return changes.size(); }
    void settle() { device->queue().sync([] {}); main.sync([] {}); }
};

} // namespace

TEST_F(MobileDeviceTest, PhonesAreReadIntoTheirRecordsLeavingOutWrongTypesAndAnUntrustedOnesSecretsAndAssistiveTouchInASession) {
    EXPECT_TRUE(logged("lockdown: subscribed (0)"));
    EXPECT_TRUE(logged("lockdown: usbmuxd is not running"));
    backend->phones["A"].values = {{"DeviceName", "Ana's iPhone"}, {"ProductType", "iPhone16,1"},
                                   {"ProductVersion", "18.1"}, {"BluetoothAddress", "F0:99:B6:0A:12:CD"},
                                   {"com.apple.Accessibility", {{"AssistiveTouchEnabledByiTunes", false}}}};
    backend->phones["B"].values = {{"DeviceName", 42}, {"ProductType", "iPhone14,7"}, {"ProductVersion", true},
                                   {"BluetoothAddress", {{"nested", 1}}}};
    backend->phones["C"].values = {{"DeviceName", "New Phone"}, {"ProductType", "iPhone15,4"}, {"BluetoothAddress", "AA:BB"}};
    backend->phones["C"].trusted = false;
    for (const char* udid : {"A", "B", "C"})
        backend->send(Kind::attached, udid);
    settle();
    EXPECT_EQ(device->phones(), (std::vector<PhoneInfo>{{"A", "Ana's iPhone", "iPhone16,1", "18.1", "f0:99:b6:0a:12:cd", true},
                                                        {"B", "iPhone", "iPhone14,7", "", "", true},
                                                        {"C", "New Phone", "iPhone15,4", "", "", false}}));
    EXPECT_TRUE(logged("lockdown: attached A"));
    EXPECT_TRUE(logged("lockdown: Ana's iPhone iPhone16,1 iOS 18.1 bt=f0:99:b6:0a:12:cd trusted=true"));
    EXPECT_EQ(device->assistiveTouchEnabled("C"), std::nullopt);
    EXPECT_FALSE(device->setAssistiveTouch("C", true));
    EXPECT_EQ(device->debugDomain("C", "com.apple.Accessibility"), "no session");
    // AssistiveTouch is read and written in a session.
    EXPECT_EQ(device->assistiveTouchEnabled("A"), false);
    EXPECT_TRUE(device->setAssistiveTouch("A", true));
    EXPECT_TRUE(logged("lockdown: AssistiveTouch -> true (0)"));
    EXPECT_EQ(device->assistiveTouchEnabled("A"), true);
    // A value of another type reads as unknown.
    backend->phones["A"].values["com.apple.Accessibility"]["AssistiveTouchEnabledByiTunes"] = 1;
    EXPECT_EQ(device->assistiveTouchEnabled("A"), std::nullopt);
    EXPECT_THAT(device->debugDomain("A", "com.apple.Accessibility"), testing::HasSubstr("AssistiveTouchEnabledByiTunes"));
    EXPECT_EQ(device->assistiveTouchEnabled("not-attached"), std::nullopt);
    // Product names: known models by name, others passed through.
    for (auto [type, name] : {std::pair{"iPhone15,2", "iPhone 14 Pro"}, {"iPhone17,5", "iPhone 16e"},
                              {"iPhone18,4", "iPhone Air"}, {"iPhone99,9", "iPhone99,9"}, {"", "iPhone"}})
        EXPECT_EQ(ProductNames::name(type), name) << type;
}

TEST_F(MobileDeviceTest, UnpluggingRemovesThePhoneWithOneChangeEvenWhileItIsReadAndPhonesOverTheNetworkAreIgnored) {
    backend->phones["A"];
    backend->phones["B"];
    backend->send(Kind::attached, "A");
    backend->send(Kind::attached, "B");
    backend->send(Kind::attached, "W", false);
    settle();
    auto before = changeCount();
    backend->send(Kind::detached, "A");
    settle();
    EXPECT_EQ(changeCount(), before + 1);
    ASSERT_EQ(device->phones().size(), 1u);
    EXPECT_EQ(device->phones()[0].udid, "B");
    EXPECT_TRUE(logged("lockdown: detached A"));
    // Plugging it back puts it at the end; the same phone going away over Wi-Fi stays listed.
    backend->send(Kind::attached, "A");
    settle();
    backend->send(Kind::detached, "A", false);
    settle();
    ASSERT_EQ(device->phones().size(), 2u);
    EXPECT_EQ(device->phones()[1].udid, "A");

    // A phone unplugged while being read does not come back.
    backend->phones["S"].values = {{"DeviceName", "Slow"}};
    backend->phones["S"].readDelay = 50ms;
    backend->send(Kind::attached, "S");
    std::this_thread::sleep_for(60ms); // the refresh is in the middle of its reads
    backend->send(Kind::detached, "S");
    settle();
    std::this_thread::sleep_for(400ms);
    settle();
    EXPECT_EQ(device->phones().size(), 2u);
}

TEST(MobileDeviceWithSimulatedPhone, TrustIsAUserActionAndAddsTheBluetoothAddress) {
    sim::SimOptions options;
    options.trusted = false;
    auto phone = std::make_shared<sim::SimPhone>(options);
    DispatchQueue main("test.main");
    MobileDevice device(std::make_shared<sim::SimLockdown>(phone), main);
    device.start();
    ASSERT_TRUE(eventually([&] { return device.phones().size() == 1; }));
    auto first = device.phones()[0];
    EXPECT_EQ(std::tuple(first.paired, first.bluetoothAddress, first.name), std::tuple(false, "", "Simulated iPhone"));
    EXPECT_FALSE(phone->trusted()); // reading values never asks for trust by itself

    device.requestTrust(first.udid);
    EXPECT_TRUE(eventually([] { return logged("lockdown: pair request -> 0xFFFFFFED"); }));
    ASSERT_TRUE(eventually([&] { return phone->trusted(); }));
    device.refresh(first.udid);
    ASSERT_TRUE(eventually([&] { return !device.phones().empty() && device.phones()[0].paired; }));
    EXPECT_EQ(device.phones()[0].bluetoothAddress, "a4:c3:f0:85:1d:2e");
    EXPECT_EQ(device.phones()[0].iosVersion, "17.5.1");

    phone->unplug();
    ASSERT_TRUE(eventually([&] { return device.phones().empty(); }));
    phone->replug();
    ASSERT_TRUE(eventually([&] { return device.phones().size() == 1; }));
    main.sync([] {});
}
