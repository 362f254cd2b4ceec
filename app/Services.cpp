#include "app/Services.hpp"

#include "capture/CaptureSources.hpp"
#include "capture/UsbScreenCapture.hpp"
#include "core/Log.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Paths.hpp"
#include "sim/SimBluetooth.hpp"
#include "sim/SimCapture.hpp"
#include "sim/SimLockdown.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimUsbScreen.hpp"
#include "vision/ScreenText.hpp"

#include <atomic>
#include <cstdlib>

namespace pokescope {

namespace {

std::atomic<Services*> processServices{nullptr};

void log(const std::string& line) {
    Log::shared().add(line);
}

// What the debug_simulator tool tells of the simulated phone.
nlohmann::json describe(const std::weak_ptr<sim::SimPhone>& weak) {
    auto phone = weak.lock();
    if (!phone)
        return nlohmann::json::object();
    auto [x, y] = phone->screen().pointer();
    return nlohmann::json{{"location", phone->screen().location()},
                          {"field", phone->screen().fieldText()},
                          {"pointer", {x, y}},
                          {"assistiveTouch", phone->screen().assistiveTouch()},
                          {"settings", phone->identity().settings.describe()},
                          {"speaking", phone->speaking()}};
}

} // namespace

Backends Backends::system() {
    Backends made;
    made.lockdown = LockdownBackend::system();
    made.capture = CaptureSources::system();
    made.bluetooth = BluetoothHost::system();
    made.recognizer = TextRecognizer::system();
    return made;
}

Backends Backends::simulated(std::shared_ptr<sim::SimPhone> phone) {
    Backends made;
    made.phone = phone;
    made.lockdown = std::make_shared<sim::SimLockdown>(phone);
    std::string problem;
    auto preference = CaptureSources::preference(std::getenv(CaptureSources::kVariable), problem);
    if (!problem.empty())
        log("screen: " + problem);
    if (preference == CaptureSources::Preference::usb)
        made.capture = std::make_shared<CaptureSources>(
            std::make_shared<UsbScreenCapture>(std::make_shared<sim::SimUsbScreenHost>(phone)),
            std::make_shared<sim::SimCapture>(phone), preference);
    else
        made.capture = std::make_shared<sim::SimCapture>(phone);
    made.bluetooth = std::make_shared<sim::SimBluetooth>(phone);
    made.recognizer = TextRecognizer::system();
    return made;
}

InputEngine::Timing Services::pointerTiming() const {
    return settings.pointerTiming() == AppSettings::PointerTiming::exact ? InputEngine::Timing::exact
                                                                         : InputEngine::Timing::adaptive;
}

Services::Services(Backends backends, ServicesOptions options)
    : backends_(std::move(backends)),
      preferences(options.settingsFile.empty() ? Paths::settingsFile() : options.settingsFile, log),
      settings(preferences), device(backends_.lockdown, DispatchQueue::main()), records(device),
      capture(backends_.capture, DispatchQueue::main(), settings),
      // The sound outputs follow the link (sound stays connected while it is ready).
      hid(backends_.bluetooth, DispatchQueue::main(),
          [this] {
              std::lock_guard lock(capture.audioConfigLock());
              capture.updateAudio();
          }),
      input(InputEngine::linkTo(hid), InputEngine::framesOf(capture),
            InputEngine::Options{options.calibrationFile.empty() ? Paths::appSupport() / "calibration.json"
                                                                 : options.calibrationFile,
                                 log,
                                 [this] {
                                     return InputEngine::debugDirFromEnvironment(
                                         preferences.stringForKey(AppSettings::kDebugDir).value_or(""));
                                 },
                                 nullptr,
                                 [recognizer = backends_.recognizer](const Image& image) {
                                     return ScreenText::read(image, *recognizer);
                                 },
                                 [this] { return pointerTiming(); }}),
      recorder(capture, settings, DispatchQueue::main()),
      transcriber(capture, settings,
                  [this] {
                      Transcriber::Options options;
                      options.backend = backends_.speech;
                      return options;
                  }()),
      tools(std::make_shared<ToolSet>(
          ToolServices{settings, device, capture, hid, input, *backends_.recognizer, recorder, transcriber, records})),
      server(tools),
      model(ModelServices{settings, device, records, capture, hid, input, recorder, transcriber, *tools, server}) {
    // The sound settings change the outputs at once, on the thread that wrote them; turning
    // transcription off stops live listening.
    settings.setAudioUpdate([this] {
        std::lock_guard lock(capture.audioConfigLock());
        capture.updateAudio();
    });
    settings.setListeningStop([this](const std::string& reason) { transcriber.stopListening(reason); });
    // A screen that goes away ends a recording and live listening.
    capture.setOnScreenLost([this](const std::string& reason) {
        recorder.screenLost(reason);
        transcriber.screenLost(reason);
    });
    // Gestures post their marks to a running recording; capture asks whether input can follow.
    input.setMarkSink([this](const ActionMark& mark) { recorder.mark(mark); });
    capture.setLinkReady([this] { return hid.state() == BluetoothHID::State::ready; });
    model.setUpdates(AppModel::Updates{updater.canCheck(), updater.automatic(), Updater::reason(),
                                       Updater::version(), [this] { updater.checkForUpdates(); }});
    if (backends_.phone) {
        model.setSimulated(true);
        const auto& identity = backends_.phone->identity();
        tools->addDebugTools([weak = std::weak_ptr<sim::SimPhone>(backends_.phone)] { return describe(weak); },
                             identity.settings.describe());
        log("app: simulated iPhone plugged in (" + identity.name + ", " + identity.productType() + "; " +
            identity.settings.describe() + ")");
    }
}

Services::~Services() {
    Services* self = this;
    processServices.compare_exchange_strong(self, nullptr);
    settings.setAudioUpdate(nullptr);
    settings.setListeningStop(nullptr);
    input.setMarkSink(nullptr);
    capture.setLinkReady(nullptr);
    capture.setOnScreenLost(nullptr);
    hid.stop();
}

Services& Services::forProcess(Backends backends) {
    static Services* services = [&backends] {
        auto* made = new Services(std::move(backends)); // never destroyed: see the exit hook
        processServices = made;
        return made;
    }();
    return *services;
}

BluetoothHID* Services::exitHookDevice() {
    Services* services = processServices.load();
    return services ? &services->hid : nullptr;
}

} // namespace pokescope
