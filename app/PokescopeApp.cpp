#include "app/PokescopeApp.hpp"

#include "agent/Tools.hpp"
#include "model/AppModel.hpp"
#include "core/Log.hpp"
#include "model/Migration.hpp"
#include "app/PokescopeWindows.hpp"
#include "capture/CaptureSources.hpp"
#include "capture/ScreenCapture.hpp"
#include "capture/UsbScreenCapture.hpp"
#include "device/MobileDevice.hpp"
#include "platform/Dispatch.hpp"
#include "bluetooth/BluetoothHID.hpp"
#include "sim/SimBluetooth.hpp"
#include "sim/SimCapture.hpp"
#include "sim/SimLockdown.hpp"
#include "sim/SimUsbScreen.hpp"

#include <cstdlib>

namespace pokescope::PokescopeApp {

void plugInSimulatedPhone() {
    static auto* phone = new std::shared_ptr<sim::SimPhone>(std::make_shared<sim::SimPhone>(sim::runOptions()));
    MobileDevice::useBackend(std::make_shared<sim::SimLockdown>(*phone));
    // The simulated phone hangs on a capture adapter, unless POKESCOPE_CAPTURE=usb has it share its screen
    // over the USB cable (H.264 through the screen-sharing protocol, as a real phone does).
    std::string problem;
    auto preference = CaptureSources::preference(std::getenv(CaptureSources::kVariable), problem);
    if (!problem.empty())
        Log::shared().add("screen: " + problem);
    if (preference == CaptureSources::Preference::usb)
        ScreenCapture::useBackend(std::make_shared<CaptureSources>(
            std::make_shared<UsbScreenCapture>(std::make_shared<sim::SimUsbScreenHost>(*phone)),
            std::make_shared<sim::SimCapture>(*phone), preference));
    else
        ScreenCapture::useBackend(std::make_shared<sim::SimCapture>(*phone));
    BluetoothHID::useHost(std::make_shared<sim::SimBluetooth>(*phone));
    Tools::setSimulatorProbe([weak = std::weak_ptr<sim::SimPhone>(*phone)] {
        auto phone = weak.lock();
        if (!phone)
            return nlohmann::json::object();
        auto [x, y] = phone->screen().pointer();
        return nlohmann::json{{"location", phone->screen().location()},
                              {"field", phone->screen().fieldText()},
                              {"pointer", {x, y}},
                              {"assistiveTouch", phone->screen().assistiveTouch()},
                              {"speaking", phone->speaking()}};
    });
    const auto& identity = (*phone)->identity();
    Log::shared().add("app: simulated iPhone plugged in (" + identity.name + ", " + identity.productType + ")");
}

namespace {

// Without windows the log is the only view: say how the screen is doing when it changes.
void reportScreen(long lastCount) {
    DispatchQueue::main().asyncAfter(seconds(10), [lastCount] {
        auto snapshot = ScreenCapture::shared().snapshot();
        if (snapshot.frameCount != lastCount && snapshot.latest)
            Log::shared().add("app: screen " + std::to_string(snapshot.latest->width()) + "x" +
                              std::to_string(snapshot.latest->height()) + ", " + std::to_string(snapshot.frameCount) +
                              " frames");
        reportScreen(snapshot.frameCount);
    });
}

} // namespace

int run(const Entry::Options& options) {
    const std::string noWindows = PokescopeWindows::noWindowsReason(options);
    if (noWindows.empty()) {
        if (options.simulate)
            plugInSimulatedPhone();
        Migration::run();
        AppModel::shared().setPort(Entry::serverPort(options));
        return PokescopeWindows::run(options);
    }
    Log::shared().add("app: Pokescope 0.1.0 running without windows (" + noWindows + ")");
    if (options.simulate)
        plugInSimulatedPhone();
    Migration::run();
    AppModel::shared().setPort(Entry::serverPort(options));
    AppModel::shared().setHeadless(true);
    DispatchQueue::main().async([] { AppModel::shared().start(); });
    reportScreen(0);
    DispatchQueue::runMain();
    return 0;
}

} // namespace pokescope::PokescopeApp
