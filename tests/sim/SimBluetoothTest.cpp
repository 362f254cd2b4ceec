// Our HID device and the simulated phone's HID host, over the same socket path the application uses.
#include "sim/SimBluetooth.hpp"
#include "bluetooth/BluetoothHID.hpp"
#include "bluetooth/HIDRecord.hpp"
#include "bluetooth/HIDReports.hpp"
#include "input/Keymap.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace pokescope::sim;
using namespace std::chrono_literals;
using State = BluetoothHID::State;

namespace {

HidDescriptor ourDescriptor() {
    std::string error;
    auto descriptor =
        HidDescriptor::parse({HIDRecord::descriptor.begin(), HIDRecord::descriptor.end()}, error);
    EXPECT_TRUE(descriptor) << error;
    return *descriptor;
}

std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values)
        out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

} // namespace

TEST(SimHidDescriptor, RefusesEveryMalformedReport) {
    auto descriptor = ourDescriptor();
    std::string error;
    for (auto bad : {bytes({0xA2, 0x02, 0, 0, 0, 0}),                 // not an input report
                     bytes({0xA1, 0x03, 0, 0, 0, 0}),                 // unknown report
                     bytes({0xA1, 0x02, 0, 0, 0}),                    // short
                     bytes({0xA1, 0x02, 0, 0, 0, 0, 0}),              // long
                     bytes({0xA1, 0x02, 0, 0x80, 0, 0}),              // X = -128, outside -127…127
                     bytes({0xA1, 0x02, 0x08, 0, 0, 0}),              // a padding bit set
                     bytes({0xA1, 0x01, 0, 0x01, 0, 0, 0, 0, 0, 0}),  // reserved byte not zero
                     bytes({0xA1, 0x01, 0, 0, 0x66, 0, 0, 0, 0, 0})}) // usage beyond 0x65
        EXPECT_FALSE(descriptor.decode(bad, error)) << testing::PrintToString(bad);
    std::string malformedError;
    EXPECT_FALSE(HidDescriptor::parse(bytes({0xA1, 0x01, 0x05}), malformedError));
    EXPECT_FALSE(malformedError.empty());
}

class SimLinkTest : public testing::Test {
protected:
    std::shared_ptr<SimPhone> phone = std::make_shared<SimPhone>();
    std::shared_ptr<SimBluetooth> host = std::make_shared<SimBluetooth>(phone);
    DispatchQueue main{"test.main"};
    std::unique_ptr<BluetoothHID> hid = std::make_unique<BluetoothHID>(host, main);

    void TearDown() override { hid.reset(); main.sync([] {}); }
    void connectPhone() {
        hid->setPhoneAddress(phone->identity().bluetoothAddress);
        hid->start();
        ASSERT_TRUE(eventually([&] { return hid->state() == State::ready; }));
        ASSERT_EQ(host->classOfDevice(), 0x002540u);
    }
    void press(std::uint8_t modifiers, std::uint8_t usage) {
        ASSERT_TRUE(hid->keyboard(modifiers, {}));
        std::this_thread::sleep_for(30ms);
        ASSERT_TRUE(hid->keyboard(modifiers, {usage}));
        std::this_thread::sleep_for(60ms);
        ASSERT_TRUE(hid->keyboard(modifiers, {}));
        std::this_thread::sleep_for(30ms);
        ASSERT_TRUE(hid->keyboard(0, {}));
    }
    void type(const std::string& text) {
        for (const auto& character : Keymap::graphemes(text)) {
            auto key = Keymap::usage(character);
            ASSERT_TRUE(key) << character;
            ASSERT_TRUE(hid->keyboard(key->shift ? 0x02 : 0x00, {key->usage}));
            std::this_thread::sleep_for(30ms);
            ASSERT_TRUE(hid->keyboard(0, {}));
            std::this_thread::sleep_for(50ms);
        }
    }
    // Walks the pointer to a point with small reports, watching where the phone puts it.
    void movePointerTo(double x, double y) {
        for (int step = 0; step < 400; ++step) {
            auto [px, py] = phone->screen().pointer();
            double ex = x - px, ey = y - py;
            if (std::abs(ex) < 4 && std::abs(ey) < 4)
                return;
            int dx = static_cast<int>(std::clamp(ex / 2.0, -8.0, 8.0));
            int dy = static_cast<int>(std::clamp(ey / 2.0, -8.0, 8.0));
            ASSERT_TRUE(hid->pointer(0, dx == 0 && std::abs(ex) >= 4 ? (ex > 0 ? 1 : -1) : dx,
                                     dy == 0 && std::abs(ey) >= 4 ? (ey > 0 ? 1 : -1) : dy));
            std::this_thread::sleep_for(16ms);
        }
        FAIL() << "the pointer never got to " << x << "," << y;
    }
    void click() {
        ASSERT_TRUE(hid->pointer(HIDReports::kPrimaryButton, 0, 0));
        std::this_thread::sleep_for(70ms);
        ASSERT_TRUE(hid->pointer(0, 0, 0));
    }
};

TEST_F(SimLinkTest, ThePhonePointsClicksAndTypesThroughTheRealSocketPath) {
    connectPhone();
    phone->setAssistiveTouch(true);
    // Spotlight, "notes", Return: the Notes app opens.
    press(0x08, 0x2C);
    ASSERT_TRUE(eventually([&] { return phone->screen().location() == "spotlight"; }));
    std::this_thread::sleep_for(400ms);
    type("notes");
    press(0, 0x28);
    ASSERT_TRUE(eventually([&] { return phone->screen().location() == "Notes"; }));
    std::this_thread::sleep_for(600ms);
    movePointerTo(SimScreen::kWidth / 2.0, SimScreen::kHeight * 0.35);
    click();
    std::this_thread::sleep_for(500ms);
    type("Hello, World! 123");
    ASSERT_TRUE(eventually([&] { return phone->screen().fieldText() == "Hello, World! 123"; }))
        << phone->screen().fieldText();
    auto* hidHost = host->hidHost();
    ASSERT_NE(hidHost, nullptr);
    EXPECT_EQ(hidHost->rejectedReports(), 0) << hidHost->lastRejection();
    EXPECT_GT(hidHost->acceptedReports(), 50);
    // The phone asked for report mode when the control channel came up, and was answered.
    EXPECT_EQ(hidHost->controlReplies(), std::vector<std::uint8_t>{0x00});
}
