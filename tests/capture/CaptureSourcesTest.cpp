// Which capture source is used: the phone's own USB screen sharing first, else the capture adapter,
// POKESCOPE_CAPTURE forcing one, with one log line per change of choice that says why.
#include "capture/CaptureSources.hpp"
#include "tests/capture/FakeCapture.hpp"

#include <gtest/gtest.h>

using namespace pokescope;
using namespace pokescope::test;
using Preference = CaptureSources::Preference;

namespace {

CaptureDeviceInfo usbPhone() { return {"00008120-0001", "iPhone", "iOS Device", "Apple Inc.", "usb:00008120-0001", true}; }
CaptureDeviceInfo adapterStick() { return {"uvc-1", "USB3 Video", "UVC", "MACROSILICON", "/dev/video0", true}; }

struct Sources {
    std::shared_ptr<FakeCapture> usb = std::make_shared<FakeCapture>();
    std::shared_ptr<FakeCapture> adapter = std::make_shared<FakeCapture>();
    std::unique_ptr<CaptureSources> sources;
    explicit Sources(Preference preference, std::string usbProblem = "") {
        sources = std::make_unique<CaptureSources>(usb, adapter, preference, [usbProblem] { return usbProblem; });
    }
};

std::vector<std::string> paths(const std::vector<CaptureDeviceInfo>& devices) {
    std::vector<std::string> out;
    for (const auto& device : devices)
        out.push_back(device.path);
    return out;
}

} // namespace

TEST(CaptureSources, ThePreferenceComesFromTheVariable) {
    std::string problem;
    EXPECT_EQ(std::tuple(CaptureSources::preference(nullptr, problem), CaptureSources::preference("", problem),
                         CaptureSources::preference("usb", problem), CaptureSources::preference("ADAPTER", problem)),
              std::tuple(Preference::automatic, Preference::automatic, Preference::usb, Preference::adapter));
    EXPECT_TRUE(problem.empty());
    EXPECT_EQ(CaptureSources::preference("hdmi", problem), Preference::automatic);
    EXPECT_EQ(problem, "POKESCOPE_CAPTURE is \"hdmi\"; it takes usb or adapter, so both are tried");
}

TEST(CaptureSources, APhoneSharingOverUsbComesFirstAndTheAdapterAfterIt) {
    Sources s(Preference::automatic);
    s.usb->list = {usbPhone()};
    s.adapter->list = {adapterStick()};
    EXPECT_EQ(paths(s.sources->devices()), (std::vector<std::string>{"usb:00008120-0001", "/dev/video0"}));
    EXPECT_EQ(s.sources->lastChoice(), "screen: source: the iPhone's own screen sharing over USB");

    std::string error;
    ASSERT_TRUE(s.sources->open(usbPhone(), error)) << error;
    EXPECT_EQ(s.usb->opened, 1);
    ASSERT_TRUE(s.sources->open(adapterStick(), error)) << error;
    EXPECT_EQ(s.adapter->opened, 1);
    std::vector<std::string> events;
    s.sources->setDeviceEvents([&events](const std::string& id, bool connected) {
        events.push_back(id + (connected ? " in" : " out"));
    });
    s.usb->event("00008120-0001", true);
    s.adapter->event("uvc-1", false);
    EXPECT_EQ(events, (std::vector<std::string>{"00008120-0001 in", "uvc-1 out"}));
}

TEST(CaptureSources, WithoutUsbSharingTheAdapterIsUsedAndTheLogSaysWhy) {
    Sources s(Preference::automatic);
    s.adapter->list = {adapterStick()};
    EXPECT_EQ(paths(s.sources->devices()), (std::vector<std::string>{"/dev/video0"}));
    EXPECT_EQ(s.sources->lastChoice(), "screen: source: the capture adapter (no iPhone shares its screen over USB)");
    s.adapter->list.clear();
    EXPECT_TRUE(s.sources->devices().empty());
    EXPECT_EQ(s.sources->lastChoice(), "screen: source: none yet: no iPhone shares its screen over USB and no "
                                       "capture adapter is plugged in");
    // The phone starts sharing: the choice changes and says so.
    s.usb->list = {usbPhone()};
    s.sources->devices();
    EXPECT_EQ(s.sources->lastChoice(), "screen: source: the iPhone's own screen sharing over USB");
}

TEST(CaptureSources, ForcingOneSourceHidesTheOtherAndSaysWhy) {
    Sources s(Preference::usb, "can't open the iPhone's USB device (Access denied)");
    s.adapter->list = {adapterStick()};
    EXPECT_TRUE(s.sources->devices().empty());
    EXPECT_EQ(s.sources->lastChoice(), "screen: source: none: no iPhone shares its screen over USB "
                                       "(POKESCOPE_CAPTURE=usb); can't open the iPhone's USB device (Access denied)");
    std::string error;
    EXPECT_FALSE(s.sources->open(adapterStick(), error));
    EXPECT_EQ(error, "that capture source is turned off by POKESCOPE_CAPTURE");
    EXPECT_EQ(s.adapter->opened, 0);

    Sources forced(Preference::adapter);
    forced.usb->list = {usbPhone()};
    forced.adapter->list = {adapterStick()};
    EXPECT_EQ(paths(forced.sources->devices()), (std::vector<std::string>{"/dev/video0"}));
    EXPECT_EQ(forced.sources->lastChoice(), "screen: source: the capture adapter (POKESCOPE_CAPTURE=adapter)");
    EXPECT_FALSE(forced.sources->open(usbPhone(), error));
}

TEST(CaptureSources, UsbSharingNeedsNoCameraPermissionButTheAdaptersDevicesDo) {
    Sources automatic(Preference::automatic);
    automatic.adapter->permissionValue = CaptureBackend::Permission::denied;
    automatic.adapter->list = {adapterStick()};
    automatic.usb->list = {usbPhone()};
    EXPECT_EQ(automatic.sources->permission(), CaptureBackend::Permission::authorized);
    // The adapter's devices are not listed while they may not be opened.
    EXPECT_EQ(paths(automatic.sources->devices()), (std::vector<std::string>{"usb:00008120-0001"}));

    Sources adapterOnly(Preference::adapter);
    adapterOnly.adapter->permissionValue = CaptureBackend::Permission::denied;
    EXPECT_EQ(adapterOnly.sources->permission(), CaptureBackend::Permission::denied);
}
