#include "model/AppModel.hpp"

#include "agent/MCPServer.hpp"
#include "core/AppSettings.hpp"
#include "core/Log.hpp"
#include "capture/ScreenCapture.hpp"
#include "input/InputEngine.hpp"
#include "media/Transcriber.hpp"
#include "model/AgentConfiguration.hpp"
#include "model/ScreenshotSaving.hpp"
#include "platform/Dispatch.hpp"


namespace pokescope {

AppModel::AppModel(ModelServices services)
    : settings_(services.settings), device_(services.device), records_(services.records), capture_(services.capture),
      hid_(services.hid),
      input_(services.input), recorder_(services.recorder), transcriber_(services.transcriber),
      tools_(services.tools), server_(services.server) {
    auto& store = settings_.store();
    state_.onboardingDone = store.boolForKey(AppSettings::kOnboardingDone);
    state_.selectedUDID = store.stringForKey(AppSettings::kSelectedPhone);
}

AppModel::~AppModel() {
    // The services outlive the model: nothing of theirs may call it any more.
    Log::shared().setOnLine(nullptr);
    device_.setOnChange(nullptr);
    capture_.setOnFrame(nullptr);
    hid_.setOnStateChange(nullptr);
    recorder_.setOnChange(nullptr);
    server_.setOnRequest(nullptr);
    tools_.setEnvironment({});
    life_.end(); // waits for work for the model that is running now
}

AppModel::Poster AppModel::poster() const { return Poster(life_.token()); }

void AppModel::background(std::function<void()> work) { DispatchQueue::global().async(std::move(work)); }

std::uint16_t AppModel::port() const { return server_.port(); }

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
        ++state_.logLinesAdded;
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

    Log::shared().setOnLine([this, post = poster()](const std::string& line) {
        post([this, line] { appendLogLine(line); });
    });

    // Each listener reaches the model only while it lives (the services may still call as it goes).
    device_.setOnChange([this, life = life_.token()](const std::vector<PhoneInfo>& phones) {
        life.guard([&] { phonesChanged(phones); })();
    });
    device_.start();
    scheduleVitals();

    capture_.setOnFrame([this, life = life_.token()](const ImageRef& image) {
        life.guard([&] {
            {
                std::lock_guard lock(mutex_);
                state_.screen = image;
            }
            changed();
        })();
    });
    {
        std::lock_guard lock(mutex_);
        state_.cameraStatus = capture_.cameraStatus();
    }
    if (capture_.cameraStatus() == CaptureBackend::Permission::authorized) {
        capture_.start();
    } else if (snapshot().onboardingDone &&
               capture_.cameraStatus() == CaptureBackend::Permission::notDetermined) {
        requestCamera();
    }

    hid_.setOnStateChange([this, life = life_.token()](BluetoothHID::State state) {
        life.guard([&] { bluetoothStateChanged(state); })();
    });

    // The recorder tells of starts and finishes on the main queue.
    recorder_.setOnChange([this, life = life_.token()](bool recording, std::optional<ScreenRecorder::Result> result) {
        life.guard([&] {
            {
                std::lock_guard lock(mutex_);
                state_.recording = recording;
                state_.recordingStartedAt =
                    recording ? std::optional(std::chrono::system_clock::now()) : std::nullopt;
                if (result)
                    state_.lastRecording = result;
            }
            changed();
        })();
    });

    {
        std::lock_guard lock(mutex_);
        state_.calibration = input_.calibration();
    }
    tools_.setEnvironment(ToolSet::Environment{
        [this, life = life_.token()] {
            std::optional<PhoneInfo> phone;
            life.guard([&] { phone = selectedPhone(); })();
            return phone;
        },
        [this, post = poster()](const Calibration& calibration) {
            post([this, calibration] {
                {
                    std::lock_guard lock(mutex_);
                    state_.calibration = calibration;
                }
                changed();
            });
        }});

    server_.setOnRequest([this, post = poster()](const std::string& label) {
        post([this, label] {
            {
                std::lock_guard lock(mutex_);
                state_.lastAgentActivity = label;
            }
            changed();
        });
    });
    server_.start(port_);
    poster().after(seconds(1), [this] {
        {
            std::lock_guard lock(mutex_);
            state_.mcpRunning = server_.running();
        }
        changed();
    });
    poster().after(seconds(5), [this] {
        if (snapshot().phones.empty())
            Log::shared().add("app: no iPhone on USB yet; plug one in, unlock it and trust this computer");
    });
}

std::optional<std::string> AppModel::portTaken() const {
    if (server_.startError() != std::errc::address_in_use)
        return std::nullopt;
    return "Port " + std::to_string(port_) +
           " is already in use by another program; start Pokescope with --port or POKESCOPE_PORT.";
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
    settings_.store().set(AppSettings::kSelectedPhone, phone.udid);
    phonesChanged(snapshot().phones);
    if (hid_.phoneAddress() && !phone.bluetoothAddress.empty() &&
        *hid_.phoneAddress() == BluetoothHID::normalisedAddress(phone.bluetoothAddress))
        hid_.choosePhoneAgain();
}

void AppModel::connectAgain() { hid_.choosePhoneAgain(); }

void AppModel::phonesChanged(const std::vector<PhoneInfo>& phones) {
    bool noScreen;
    {
        std::lock_guard lock(mutex_);
        state_.phones = phones;
        noScreen = !state_.screen;
    }
    if (auto selected = selectedPhone(); !selected || !selected->paired) {
        std::lock_guard lock(mutex_);
        state_.phoneVitals.reset();
    }
    changed();
    auto& capture = capture_;
    // Capture may have found no device before the phone was plugged in.
    if (noScreen && capture.cameraStatus() == CaptureBackend::Permission::authorized)
        capture.start();
    auto phone = selectedPhone();
    if (!phone || !phone->paired || phone->bluetoothAddress.empty())
        return;
    if (!snapshot().selectedUDID)
        select(*phone);
    // The link starts for the selected, trusted phone once Bluetooth may be used.
    auto& hid = hid_;
    if (snapshot().bluetoothAuth == BluetoothAuthorization::allowedAlways &&
        hid.phoneAddress() != BluetoothHID::normalisedAddress(phone->bluetoothAddress)) {
        hid.setPhoneAddress(phone->bluetoothAddress);
        hid.start();
    }
    refreshVitals();
    // Whether AssistiveTouch is on: read in the background, shown on the main queue.
    background([this, &device = device_, post = poster(), udid = phone->udid] {
        auto on = device.assistiveTouchEnabled(udid);
        post([this, udid, on] { assistiveTouchRead(udid, on); });
    });
    bluetoothStateChanged(hid.state());
}

void AppModel::scheduleVitals() {
    poster().after(kVitalsInterval, [this] {
        refreshVitals();
        scheduleVitals();
    });
}

void AppModel::refreshVitals() {
    auto phone = selectedPhone();
    if (!phone || !phone->paired)
        return;
    background([this, &records = records_, post = poster(), udid = phone->udid] {
        auto vitals = records.vitals(udid);
        std::optional<std::string> text;
        if (vitals)
            text = "Battery " + PhoneRecords::batteryText(*vitals) + " · " + PhoneRecords::storageText(*vitals);
        post([this, udid, text] {
            auto selected = selectedPhone();
            if (!selected || selected->udid != udid)
                return;
            {
                std::lock_guard lock(mutex_);
                state_.phoneVitals = text;
            }
            changed();
        });
    });
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
    background([this, &device = device_, post = poster(), udid] {
        bool ok = device.setAssistiveTouch(udid, true);
        auto now = device.assistiveTouchEnabled(udid);
        if (!ok)
            Log::shared().add("app: couldn't switch AssistiveTouch on; turn it on in Settings › Accessibility › "
                              "Touch › AssistiveTouch");
        post([this, now] {
            {
                std::lock_guard lock(mutex_);
                state_.assistiveTouchOn = now;
            }
            changed();
        });
    });
}

void AppModel::bluetoothStateChanged(BluetoothHID::State state) {
    {
        std::lock_guard lock(mutex_);
        state_.bluetooth = state;
        state_.bluetoothRemovedByPhone = hid_.removedByPhone();
    }
    changed();
    if (!headless_)
        return;
    auto& hid = hid_;
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
    capture_.requestCamera([this, post = poster()](bool granted) {
        post([this, granted] {
            {
                std::lock_guard lock(mutex_);
                state_.cameraStatus = capture_.cameraStatus();
            }
            changed();
            if (granted)
                capture_.start();
        });
    });
}

void AppModel::requestBluetooth() {
    // Linux asks no per-application question, so the answer is there at once: allowed always.
    {
        std::lock_guard lock(mutex_);
        state_.bluetoothAuth = BluetoothAuthorization::allowedAlways;
    }
    changed();
    phonesChanged(snapshot().phones);
}

void AppModel::requestTrust(const std::string& udid) {
    background([&device = device_, udid] { device.requestTrust(udid); });
}

void AppModel::restartCapture() { capture_.restart(); }

std::string AppModel::computerBluetoothName() { return hid_.computerBluetoothName(); }

void AppModel::setPairingMode(bool on) { hid_.setPairingMode(on); }

void AppModel::makeDiscoverable() { hid_.makeDiscoverable(); }

std::vector<std::string> AppModel::offlineLanguages() { return transcriber_.offlineLanguages(); }

void AppModel::setUpdates(Updates updates) {
    std::lock_guard lock(mutex_);
    updates_ = std::move(updates);
}

AppModel::Updates AppModel::updates() const {
    std::lock_guard lock(mutex_);
    return updates_;
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
    settings_.store().set(AppSettings::kOnboardingDone, done);
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
    input_.queue().async([this, &input = input_, post = poster()] {
        std::optional<Calibration> result;
        std::string error;
        try {
            result = input.calibrate();
        } catch (const std::exception& e) {
            error = e.what();
        }
        post([this, result, error] {
            {
                std::lock_guard lock(mutex_);
                if (result)
                    state_.calibration = result;
                else
                    state_.calibrationError = error;
                state_.calibrating = false;
            }
            changed();
        });
    });
}

void AppModel::toggleRecording() {
    {
        std::lock_guard lock(mutex_);
        state_.recordingError.reset();
    }
    changed();
    auto& recorder = recorder_;
    auto failed = [this, post = poster()](const std::string& error) {
        post([this, error] {
            {
                std::lock_guard lock(mutex_);
                state_.recordingError = error;
            }
            changed();
        });
    };
    if (recorder.recording()) {
        // Finishing waits for the writer: off the main queue. The recorder's listener shows the result.
        background([&recorder = recorder_, failed] {
            try {
                recorder.stop();
            } catch (const std::exception& e) {
                failed(e.what());
            }
        });
        return;
    }
    auto& settings = settings_;
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
    background([this, &device = device_, post = poster(), udid = phone->udid] {
        bool ok = device.setAssistiveTouch(udid, true);
        auto on = device.assistiveTouchEnabled(udid);
        post([this, on, ok] {
            {
                std::lock_guard lock(mutex_);
                state_.assistiveTouchOn = on ? on : std::optional<bool>(ok);
            }
            changed();
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

void AppModel::saveScreenshot() {
    auto image = capture_.latestImage();
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
    background([this, post = poster(), image, now, folder] {
        auto png = ScreenshotSaving::encode(image, folder);
        if (!png) {
            Log::shared().add("screenshot: the picture could not be encoded");
            return;
        }
        post([this, image, now, png = std::move(*png)] {
            std::string failure;
            auto file = ScreenshotSaving::write(png.folder, now, png.png, failure);
            if (!file) {
                {
                    std::lock_guard lock(mutex_);
                    state_.recordingError = "Couldn't save the screenshot: " + failure;
                }
                changed();
                return;
            }
            std::function<bool(const ImageRef&)> clipboard;
            {
                std::lock_guard lock(mutex_);
                clipboard = clipboard_;
            }
            if (clipboard && settings_.copyScreenshots() && !clipboard(image))
                Log::shared().add("screenshot: couldn't put the picture on the clipboard");
            {
                std::lock_guard lock(mutex_);
                state_.lastScreenshot = file;
                state_.recordingError.reset();
            }
            changed();
            Log::shared().add("screenshot: saved " + file->filename().string());
        });
    });
}

std::string AppModel::urlConfigJSON() const { return AgentConfiguration::urlJSON(port()); }

std::string AppModel::stdioConfigJSON() const {
    return AgentConfiguration::stdioJSON(AgentConfiguration::executablePath(), port(), simulated_);
}

std::string AppModel::claudeCodeCommand() const { return AgentConfiguration::claudeCodeCommand(port()); }

} // namespace pokescope
