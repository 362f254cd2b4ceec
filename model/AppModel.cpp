#include "model/AppModel.hpp"

#include "agent/MCPServer.hpp"
#include "agent/Tools.hpp"
#include "core/AppSettings.hpp"
#include "core/Log.hpp"
#include "capture/ScreenCapture.hpp"
#include "input/InputEngine.hpp"
#include "media/Transcriber.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/Paths.hpp"
#include "platform/Dispatch.hpp"

#include <climits>

#include <nlohmann/json.hpp>
#include <unistd.h>

namespace pokescope {

AppModel::AppModel() {
    auto& store = AppSettings::shared().store();
    state_.onboardingDone = store.boolForKey(AppSettings::kOnboardingDone);
    state_.selectedUDID = store.stringForKey(AppSettings::kSelectedPhone);
}

AppModel& AppModel::shared() {
    static auto* model = new AppModel(); // lives for the whole process
    return *model;
}

std::uint16_t AppModel::port() const { return MCPServer::shared().port(); }

AppModel::State AppModel::snapshot() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void AppModel::setOnChange(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    onChange_ = std::move(listener);
}

void AppModel::changed() {
    std::function<void()> listener;
    {
        std::lock_guard lock(mutex_);
        listener = onChange_;
    }
    if (listener)
        listener();
}

void AppModel::appendLogLine(const std::string& line) {
    {
        std::lock_guard lock(mutex_);
        state_.logLines.push_back(line);
        // Trimmed in steps of 50, so the list holds at most 300 lines.
        if (state_.logLines.size() > kLogLinesLimit)
            state_.logLines.erase(state_.logLines.begin(), state_.logLines.begin() + 50);
    }
    changed();
}

void AppModel::start() {
    if (started_)
        return;
    started_ = true;
    auto& main = DispatchQueue::main();

    Log::shared().setOnLine([&main](const std::string& line) {
        main.async([line] { shared().appendLogLine(line); });
    });

    auto& device = MobileDevice::shared();
    device.setOnChange([](const std::vector<PhoneInfo>& phones) { shared().phonesChanged(phones); });
    device.start();

    auto& capture = ScreenCapture::shared();
    capture.setOnFrame([](const ImageRef& image) {
        {
            std::lock_guard lock(shared().mutex_);
            shared().state_.screen = image;
        }
        shared().changed();
    });
    {
        std::lock_guard lock(mutex_);
        state_.cameraStatus = capture.cameraStatus();
    }
    if (capture.cameraStatus() == CaptureBackend::Permission::authorized) {
        capture.start();
    } else if (snapshot().onboardingDone &&
               capture.cameraStatus() == CaptureBackend::Permission::notDetermined) {
        requestCamera();
    }

    {
        std::lock_guard lock(mutex_);
        state_.bluetoothAuth = bluetoothAuthorization_ ? bluetoothAuthorization_()
                                                       : BluetoothAuthorization::allowedAlways;
    }
    if (snapshot().onboardingDone && snapshot().bluetoothAuth == BluetoothAuthorization::notDetermined)
        requestBluetooth();

    auto& hid = BluetoothHID::shared();
    hid.setOnStateChange([](BluetoothHID::State state) { shared().bluetoothStateChanged(state); });

    // The recorder tells of starts and finishes on the main queue; gestures post their marks to it.
    ScreenRecorder::shared().setOnChange([](bool recording, std::optional<ScreenRecorder::Result> result) {
        {
            std::lock_guard lock(shared().mutex_);
            shared().state_.recording = recording;
            shared().state_.recordingStartedAt =
                recording ? std::optional(std::chrono::system_clock::now()) : std::nullopt;
            if (result)
                shared().state_.lastRecording = result;
        }
        shared().changed();
    });
    InputEngine::shared().setMarkSink([](const ActionMark& mark) { ScreenRecorder::shared().mark(mark); });
    // Created now, so that live listening stops when the screen goes away or transcription is turned off.
    Transcriber::shared();

    {
        std::lock_guard lock(mutex_);
        state_.calibration = InputEngine::shared().calibration();
    }
    Tools::setEnvironment(Tools::Environment{
        [] { return shared().selectedPhone(); },
        [&main](const Calibration& calibration) {
            main.async([calibration] {
                {
                    std::lock_guard lock(shared().mutex_);
                    shared().state_.calibration = calibration;
                }
                shared().changed();
            });
        }});
    capture.setLinkReady([] { return BluetoothHID::shared().state() == BluetoothHID::State::ready; });

    auto& server = MCPServer::shared();
    server.setOnRequest([&main](const std::string& label) {
        main.async([label] {
            {
                std::lock_guard lock(shared().mutex_);
                shared().state_.lastAgentActivity = label;
            }
            shared().changed();
        });
    });
    server.start(port_);
    main.asyncAfter(seconds(1), [] {
        {
            std::lock_guard lock(shared().mutex_);
            shared().state_.mcpRunning = MCPServer::shared().running();
        }
        shared().changed();
    });
    main.asyncAfter(seconds(5), [] {
        if (shared().snapshot().phones.empty())
            Log::shared().add("app: no iPhone on USB yet; plug one in, unlock it and trust this computer");
    });
}

std::optional<PhoneInfo> AppModel::selectedPhone() const {
    std::lock_guard lock(mutex_);
    if (state_.phones.empty())
        return std::nullopt;
    if (state_.selectedUDID)
        for (const auto& phone : state_.phones)
            if (phone.udid == *state_.selectedUDID)
                return phone;
    return state_.phones.front();
}

void AppModel::select(const PhoneInfo& phone) {
    {
        std::lock_guard lock(mutex_);
        state_.selectedUDID = phone.udid;
    }
    AppSettings::shared().store().set(AppSettings::kSelectedPhone, phone.udid);
    phonesChanged(snapshot().phones);
}

void AppModel::phonesChanged(const std::vector<PhoneInfo>& phones) {
    bool noScreen;
    {
        std::lock_guard lock(mutex_);
        state_.phones = phones;
        noScreen = !state_.screen;
    }
    changed();
    auto& capture = ScreenCapture::shared();
    // Capture may have found no device before the phone was plugged in.
    if (noScreen && capture.cameraStatus() == CaptureBackend::Permission::authorized)
        capture.start();
    auto phone = selectedPhone();
    if (!phone || !phone->paired || phone->bluetoothAddress.empty())
        return;
    if (!snapshot().selectedUDID)
        select(*phone);
    // The link starts for the selected, trusted phone once Bluetooth may be used.
    auto& hid = BluetoothHID::shared();
    if (snapshot().bluetoothAuth == BluetoothAuthorization::allowedAlways &&
        hid.phoneAddress() != BluetoothHID::normalisedAddress(phone->bluetoothAddress)) {
        hid.setPhoneAddress(phone->bluetoothAddress);
        hid.start();
    }
    // Whether AssistiveTouch is on: read in the background, shown on the main queue.
    DispatchQueue::global().async([udid = phone->udid] {
        auto on = MobileDevice::shared().assistiveTouchEnabled(udid);
        DispatchQueue::main().async([udid, on] { shared().assistiveTouchRead(udid, on); });
    });
    bluetoothStateChanged(hid.state());
}

void AppModel::assistiveTouchRead(const std::string& udid, std::optional<bool> on) {
    {
        std::lock_guard lock(mutex_);
        state_.assistiveTouchOn = on;
    }
    changed();
    if (!headless_ || on != false || assistiveTouchSwitchedFor_ == udid)
        return;
    // Without windows nobody can press the switch: the pointer needs AssistiveTouch, so turn it on once.
    assistiveTouchSwitchedFor_ = udid;
    Log::shared().add("app: AssistiveTouch is off on the iPhone; switching it on");
    DispatchQueue::global().async([udid] {
        bool ok = MobileDevice::shared().setAssistiveTouch(udid, true);
        auto now = MobileDevice::shared().assistiveTouchEnabled(udid);
        if (!ok)
            Log::shared().add("app: couldn't switch AssistiveTouch on; turn it on in Settings › Accessibility › "
                              "Touch › AssistiveTouch");
        DispatchQueue::main().async([now] {
            {
                std::lock_guard lock(shared().mutex_);
                shared().state_.assistiveTouchOn = now;
            }
            shared().changed();
        });
    });
}

void AppModel::bluetoothStateChanged(BluetoothHID::State state) {
    {
        std::lock_guard lock(mutex_);
        state_.bluetooth = state;
    }
    changed();
    if (!headless_)
        return;
    auto& hid = BluetoothHID::shared();
    // Without windows nobody can start pairing: keep it on until the selected phone has connected.
    bool waiting = state == BluetoothHID::State::waiting && hid.phoneAddress();
    if (waiting && !headlessPairing_) {
        headlessPairing_ = true;
        hid.setPairingMode(true);
        Log::shared().add("app: pairing mode on until the iPhone connects: on the iPhone, open Settings › "
                          "Bluetooth and tap " + hid.computerBluetoothName());
    } else if (headlessPairing_ && (state == BluetoothHID::State::connected || state == BluetoothHID::State::ready)) {
        headlessPairing_ = false;
        hid.setPairingMode(false);
        Log::shared().add("app: the iPhone connected; pairing mode off");
    }
}

void AppModel::requestCamera() {
    ScreenCapture::shared().requestCamera([](bool granted) {
        DispatchQueue::main().async([granted] {
            {
                std::lock_guard lock(shared().mutex_);
                shared().state_.cameraStatus = ScreenCapture::shared().cameraStatus();
            }
            shared().changed();
            if (granted)
                ScreenCapture::shared().start();
        });
    });
}

void AppModel::setBluetoothAuthorization(std::function<BluetoothAuthorization()> source) {
    std::lock_guard lock(mutex_);
    bluetoothAuthorization_ = std::move(source);
}

void AppModel::requestBluetooth() {
    if (bluetoothPollRunning_ && *bluetoothPollRunning_)
        return;
    bluetoothPollRunning_ = std::make_shared<bool>(true);
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [running = bluetoothPollRunning_, weakPoll = std::weak_ptr<std::function<void()>>(poll)] {
        auto& model = shared();
        std::function<BluetoothAuthorization()> source;
        {
            std::lock_guard lock(model.mutex_);
            source = model.bluetoothAuthorization_;
        }
        auto now = source ? source() : BluetoothAuthorization::allowedAlways;
        {
            std::lock_guard lock(model.mutex_);
            model.state_.bluetoothAuth = now;
        }
        model.changed();
        if (now != BluetoothAuthorization::notDetermined) {
            *running = false;
            model.phonesChanged(model.snapshot().phones);
            return;
        }
        if (auto again = weakPoll.lock())
            DispatchQueue::main().asyncAfter(seconds(0.5), [again] { (*again)(); });
    };
    // The poll keeps itself alive through the scheduled work until it is answered.
    DispatchQueue::main().async([poll] { (*poll)(); });
}

void AppModel::setDesktop(Desktop desktop) {
    std::lock_guard lock(mutex_);
    desktop_ = std::move(desktop);
}

void AppModel::revealLastScreenshot() {
    auto file = snapshot().lastScreenshot;
    std::function<bool(const std::filesystem::path&)> reveal;
    {
        std::lock_guard lock(mutex_);
        reveal = desktop_.reveal;
    }
    if (file && reveal && !reveal(*file))
        Log::shared().add("app: couldn't show " + file->string() + " in the file browser");
}

void AppModel::revealLastRecording() {
    auto recording = snapshot().lastRecording;
    std::function<bool(const std::filesystem::path&)> reveal;
    {
        std::lock_guard lock(mutex_);
        reveal = desktop_.reveal;
    }
    if (recording && reveal && !reveal(recording->url))
        Log::shared().add("app: couldn't show " + recording->url.string() + " in the file browser");
}

bool AppModel::openPrivacySettings(const std::string& anchor) {
    if (anchor != "Privacy_Camera" && anchor != "Privacy_Bluetooth")
        return false;
    std::function<bool(const std::string&)> open;
    {
        std::lock_guard lock(mutex_);
        open = desktop_.open;
    }
    // Linux has no privacy pane: the nearest place is the desktop's Bluetooth settings, when installed.
    return anchor == "Privacy_Bluetooth" && open && open("settings:bluetooth");
}

void AppModel::setOnboardingDone(bool done) {
    {
        std::lock_guard lock(mutex_);
        state_.onboardingDone = done;
    }
    AppSettings::shared().store().set(AppSettings::kOnboardingDone, done);
    changed();
}

void AppModel::calibrate() {
    {
        std::lock_guard lock(mutex_);
        if (state_.calibrating)
            return; // one calibration at a time; the running one reports
        state_.calibrating = true;
        state_.calibrationError.reset();
    }
    changed();
    InputEngine::shared().queue().async([] {
        std::optional<Calibration> result;
        std::string error;
        try {
            result = InputEngine::shared().calibrate();
        } catch (const std::exception& e) {
            error = e.what();
        }
        DispatchQueue::main().async([result, error] {
            {
                std::lock_guard lock(shared().mutex_);
                if (result)
                    shared().state_.calibration = result;
                else
                    shared().state_.calibrationError = error;
                shared().state_.calibrating = false;
            }
            shared().changed();
        });
    });
}

void AppModel::toggleRecording() {
    {
        std::lock_guard lock(mutex_);
        state_.recordingError.reset();
    }
    changed();
    auto& recorder = ScreenRecorder::shared();
    auto failed = [](const std::string& error) {
        DispatchQueue::main().async([error] {
            {
                std::lock_guard lock(shared().mutex_);
                shared().state_.recordingError = error;
            }
            shared().changed();
        });
    };
    if (recorder.recording()) {
        // Finishing waits for the writer: off the main queue. The recorder's listener shows the result.
        DispatchQueue::global().async([failed] {
            try {
                ScreenRecorder::shared().stop();
            } catch (const std::exception& e) {
                failed(e.what());
            }
        });
        return;
    }
    auto& settings = AppSettings::shared();
    try {
        recorder.start(settings.showActions(), settings.recordAudio(), settings.recordingLimitSeconds());
    } catch (const std::exception& e) {
        failed(e.what());
    }
}

void AppModel::enableAssistiveTouch() {
    auto phone = selectedPhone();
    if (!phone)
        return;
    DispatchQueue::global().async([udid = phone->udid] {
        bool ok = MobileDevice::shared().setAssistiveTouch(udid, true);
        auto on = MobileDevice::shared().assistiveTouchEnabled(udid);
        DispatchQueue::main().async([on, ok] {
            {
                std::lock_guard lock(shared().mutex_);
                shared().state_.assistiveTouchOn = on ? on : std::optional<bool>(ok);
            }
            shared().changed();
        });
    });
}

void AppModel::setScreenshotFolder(std::filesystem::path folder) {
    std::lock_guard lock(mutex_);
    screenshotFolder_ = std::move(folder);
}

void AppModel::setClipboard(std::function<bool(const ImageRef&)> clipboard) {
    std::lock_guard lock(mutex_);
    clipboard_ = std::move(clipboard);
}

std::string AppModel::screenshotName(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    std::strftime(text, sizeof text, "iPhone %Y-%m-%d at %H.%M.%S.png", &local);
    return text;
}

void AppModel::saveScreenshot() {
    auto image = ScreenCapture::shared().latestImage();
    if (!image) {
        {
            std::lock_guard lock(mutex_);
            state_.recordingError = "No screen to capture — is the iPhone connected and unlocked?";
        }
        changed();
        return;
    }
    const std::time_t now = std::time(nullptr);
    std::optional<std::filesystem::path> folder;
    {
        std::lock_guard lock(mutex_);
        folder = screenshotFolder_;
    }
    DispatchQueue::global().async([image, now, folder] {
        auto png = encoded(*image, ImageType::png, 0.8);
        if (!png) {
            Log::shared().add("screenshot: the picture could not be encoded");
            return;
        }
        std::filesystem::path directory;
        try {
            directory = folder ? *folder : Paths::screenshots();
        } catch (const std::exception&) {
            directory = Paths::home() / "Pictures" / "Pokescope";
        }
        std::error_code ignored;
        std::filesystem::create_directories(directory, ignored);
        DispatchQueue::main().async([image, now, directory, png = std::move(*png)] {
            // Two screenshots in the same second keep both: the second gets a number.
            const std::string name = screenshotName(now);
            std::filesystem::path file = directory / name;
            std::error_code ec;
            for (int n = 2; std::filesystem::exists(file, ec) && n < 1000; ++n)
                file = directory / (name.substr(0, name.size() - 4) + " (" + std::to_string(n) + ").png");
            std::string failure;
            if (!writeFileAtomically(file, png, failure)) {
                {
                    std::lock_guard lock(shared().mutex_);
                    shared().state_.recordingError = "Couldn't save the screenshot: " + failure;
                }
                shared().changed();
                return;
            }
            std::function<bool(const ImageRef&)> clipboard;
            {
                std::lock_guard lock(shared().mutex_);
                clipboard = shared().clipboard_;
            }
            if (clipboard && AppSettings::shared().copyScreenshots() && !clipboard(image))
                Log::shared().add("screenshot: couldn't put the picture on the clipboard");
            {
                std::lock_guard lock(shared().mutex_);
                shared().state_.lastScreenshot = file;
                shared().state_.recordingError.reset();
            }
            shared().changed();
            Log::shared().add("screenshot: saved " + file.filename().string());
        });
    });
}

std::string AppModel::executablePath() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "/usr/local/bin/pokescope";
    return std::string(path, static_cast<std::size_t>(n));
}

std::string AppModel::urlConfigJSON() const {
    return "{\n  \"mcpServers\": {\n    \"pokescope\": { \"url\": \"http://127.0.0.1:" + std::to_string(port()) +
           "/mcp\" }\n  }\n}";
}

std::string AppModel::stdioConfigJSON() const { return stdioConfigJSON(executablePath()); }

std::string AppModel::stdioConfigJSON(const std::string& executable) {
    // The path goes in as a JSON string, so a quote or backslash in it still gives valid JSON.
    return "{\n  \"mcpServers\": {\n    \"pokescope\": { \"command\": " +
           nlohmann::json(executable).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
           ", \"args\": [\"--stdio\"] }\n  }\n}";
}

std::string AppModel::claudeCodeCommand() const {
    return "claude mcp add --transport http --scope user pokescope http://127.0.0.1:" + std::to_string(port()) + "/mcp";
}

} // namespace pokescope
