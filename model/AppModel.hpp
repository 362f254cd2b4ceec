// The application's central model: every piece of state the windows show, and the wiring of the
// long-lived services in a fixed order, so that no event is lost (each listener is in place before its
// service starts).
//
// Thread contract: state changes and every operation happen on the main queue only; readers on other
// threads take `snapshot()`.
#pragma once

#include "agent/MCPServer.hpp"
#include "agent/ToolSet.hpp"
#include "bluetooth/BluetoothHID.hpp"
#include "capture/ScreenCapture.hpp"
#include "core/AppSettings.hpp"
#include "device/MobileDevice.hpp"
#include "device/PhoneRecords.hpp"
#include "input/Calibration.hpp"
#include "media/ScreenRecorder.hpp"
#include "media/Transcriber.hpp"
#include "platform/Capture.hpp"
#include "platform/Image.hpp"
#include "platform/Lifetime.hpp"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pokescope {

// The services the model shows and drives; each outlives the model.
struct ModelServices {
    AppSettings& settings;
    MobileDevice& device;
    PhoneRecords& records;
    ScreenCapture& capture;
    BluetoothHID& hid;
    InputEngine& input;
    ScreenRecorder& recorder;
    Transcriber& transcriber;
    ToolSet& tools;
    MCPServer& server;
};

class AppModel {
public:
    static constexpr std::size_t kLogLinesLimit = 300;

    // Whether this process may use Bluetooth. Linux asks no per-application question: a process that can
    // reach the adapter may use it, so the status is "allowed always" and what can go wrong shows in the
    // link state and the log. The states stay so that the windows behave as they must where there is one.
    enum class BluetoothAuthorization { notDetermined, restricted, denied, allowedAlways };

    explicit AppModel(ModelServices services);
    ~AppModel();
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    // The agent server's port (47811 unless the command line says otherwise); set before `start`.
    void setPort(std::uint16_t port) { port_ = port; }
    // Without windows nobody can ask for AssistiveTouch or pairing: the model then does both itself.
    void setHeadless(bool headless) { headless_ = headless; }
    // A run on the simulated phone: the copyable stdio entry then asks for one too.
    void setSimulated(bool simulated) { simulated_ = simulated; }
    std::uint16_t port() const;
    // Runs once: log listener, device discovery, capture, agent server.
    void start();
    // After `start`: the sentence for a port that another program holds, which ends the application.
    std::optional<std::string> portTaken() const;

    struct State {
        std::vector<PhoneInfo> phones;
        std::optional<std::string> selectedUDID;
        ImageRef screen;
        CaptureBackend::Permission cameraStatus = CaptureBackend::Permission::notDetermined;
        BluetoothAuthorization bluetoothAuth = BluetoothAuthorization::allowedAlways;
        std::optional<bool> assistiveTouchOn;
        // The selected phone's battery and storage ("Battery 82%, charging · 71.4 GB free of 128 GB"), read
        // when the phone changes and every minute.
        std::optional<std::string> phoneVitals;
        BluetoothHID::State bluetooth = BluetoothHID::State::off;
        bool bluetoothRemovedByPhone = false; // not paged again until it connects or is chosen again
        bool mcpRunning = false;
        std::optional<std::string> lastAgentActivity;
        std::vector<std::string> logLines;
        std::uint64_t logLinesAdded = 0; // every line ever added, so a view knows which of the list are new
        bool onboardingDone = false;
        std::optional<Calibration> calibration;
        bool calibrating = false;
        std::optional<std::string> calibrationError;
        bool recording = false;
        std::optional<std::chrono::system_clock::time_point> recordingStartedAt;
        std::optional<ScreenRecorder::Result> lastRecording;
        // Recording and screenshot problems, for the window to show.
        std::optional<std::string> recordingError;
        std::optional<std::filesystem::path> lastScreenshot;
    };
    State snapshot() const;
    // Heard after every change of state, on the main queue.
    void setOnChange(std::function<void()> listener);

    // The selected phone: the one with the selected UDID, else the first; none without phones.
    std::optional<PhoneInfo> selectedPhone() const;
    void select(const PhoneInfo& phone);
    void phonesChanged(const std::vector<PhoneInfo>& phones);
    void setOnboardingDone(bool done);

    // Asks for camera permission, then starts capture when it is granted.
    void requestCamera();
    // Asks for Bluetooth permission (on Linux answered at once: allowed always), then acts on the phones.
    void requestBluetooth();

    // The desktop's file browser and settings. `open` takes a location ("file:///…", a URL or a settings
    // anchor) and says whether something opened it; `reveal` shows a file in its folder.
    struct Desktop {
        std::function<bool(const std::string& location)> open;
        std::function<bool(const std::filesystem::path& file)> reveal;
    };
    void setDesktop(Desktop desktop);
    // Shows the last screenshot or recording in the file browser; nothing when there is none.
    void revealLastScreenshot();
    void revealLastRecording();
    // Opens the system's privacy settings at "Privacy_Camera" or "Privacy_Bluetooth"; false when this
    // desktop has no such place (the window then explains what to do instead).
    bool openPrivacySettings(const std::string& anchor);

    // Pages the selected phone again after it removed this keyboard.
    void connectAgain();
    // Runs the pointer calibration on the input engine's queue; the result or the error arrives as state.
    void calibrate();
    // Starts a recording with the user's settings, or stops the running one (in the background).
    void toggleRecording();
    // Turns AssistiveTouch on on the selected phone, then shows what the phone reports.
    void enableAssistiveTouch();
    // Saves the current screen as a PNG file in the screenshots folder (and puts it on the clipboard when
    // the setting asks and a clipboard exists). Encoding and writing happen off the main queue; the
    // outcome arrives as state and a log line.
    void saveScreenshot();
    // Where screenshots go; the pictures folder's Pokescope folder unless set (tests).
    void setScreenshotFolder(std::filesystem::path folder);
    // The window application's clipboard: takes the picture; false when it could not. Without one
    // (no display) screenshots are only saved.
    void setClipboard(std::function<bool(const ImageRef&)> clipboard);

    // What the windows ask of the services, all through here.
    void requestTrust(const std::string& udid); // asks the phone to trust this computer, off the main queue
    void restartCapture();
    std::string computerBluetoothName();
    void setPairingMode(bool on);
    void makeDiscoverable();
    std::vector<std::string> offlineLanguages();
    // The user's settings, read by the windows and changed through the setters below.
    const AppSettings& settings() const { return settings_; }
    void setRecordAudio(bool on) { settings_.setRecordAudio(on); }
    void setShowActions(bool on) { settings_.setShowActions(on); }
    void setRecordingLimitMinutes(long long minutes) { settings_.setRecordingLimitMinutes(minutes); }
    void setQuality(AppSettings::Quality quality) { settings_.setQuality(quality); }
    void setPointerTiming(AppSettings::PointerTiming timing) { settings_.setPointerTiming(timing); }
    void setKeepAudioConnected(bool on) { settings_.setKeepAudioConnected(on); }
    void setPlayAudioOnMac(bool on) { settings_.setPlayAudioOnMac(on); }
    void setTranscriptionEnabled(bool on) { settings_.setTranscriptionEnabled(on); }
    void setTranscriptionLanguage(const std::string& language) { settings_.setTranscriptionLanguage(language); }
    void setCopyScreenshots(bool on) { settings_.setCopyScreenshots(on); }
    // Software updates as the windows show them; set by the application at start.
    struct Updates {
        bool canCheck = false;
        bool automatic = false;
        std::string reason;  // why updates are not checked, when they are not
        std::string version;
        std::function<void()> check;
    };
    void setUpdates(Updates updates);
    Updates updates() const;

    // Agent configuration texts, for the user to copy.
    std::string urlConfigJSON() const;
    std::string stdioConfigJSON() const;
    std::string claudeCodeCommand() const;

private:
    // Hands work to the main queue; the work is dropped once the model is gone, and the model waits for
    // work that is running when it goes. Safe to copy to any thread and to keep past the model.
    class Poster {
    public:
        explicit Poster(Lifetime::Token life) : life_(std::move(life)) {}
        void operator()(std::function<void()> work) const { DispatchQueue::main().async(life_.guard(std::move(work))); }
        void after(Duration delay, std::function<void()> work) const {
            DispatchQueue::main().asyncAfter(delay, life_.guard(std::move(work)));
        }

    private:
        Lifetime::Token life_;
    };
    Poster poster() const;
    // Blocking work off the main queue; it reaches the model only through a Poster.
    static void background(std::function<void()> work);

    void changed();
    void appendLogLine(const std::string& line);
    void assistiveTouchRead(const std::string& udid, std::optional<bool> on);
    void bluetoothStateChanged(BluetoothHID::State state);
    // Reads the selected phone's battery and storage off the main queue.
    void refreshVitals();
    void scheduleVitals();
    static constexpr Duration kVitalsInterval = std::chrono::minutes(1);

    AppSettings& settings_;
    MobileDevice& device_;
    PhoneRecords& records_;
    ScreenCapture& capture_;
    BluetoothHID& hid_;
    InputEngine& input_;
    ScreenRecorder& recorder_;
    Transcriber& transcriber_;
    ToolSet& tools_;
    MCPServer& server_;
    Lifetime life_;

    mutable std::mutex mutex_;
    State state_;
    std::function<void()> onChange_;
    bool started_ = false;
    std::uint16_t port_ = 47811;
    bool headless_ = false;
    bool simulated_ = false;
    std::optional<std::string> assistiveTouchSwitchedFor_; // headless: switched on once per phone
    bool headlessPairing_ = false;
    std::optional<std::filesystem::path> screenshotFolder_;
    std::function<bool(const ImageRef&)> clipboard_;
    Desktop desktop_;
    Updates updates_;
};

} // namespace pokescope
