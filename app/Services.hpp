// The composition root: builds every long-lived service with its collaborators, in one readable order,
// and holds them for as long as it lives. The application, each self-test and each test fixture build
// their own; the simulated phone is plugged in by passing its backends.
//
// The application's is made once and never destroyed (`forProcess`), so that the exit hook can still take
// the Bluetooth link down however the process ends.
#pragma once

#include "agent/MCPServer.hpp"
#include "agent/ToolSet.hpp"
#include "bluetooth/BluetoothHID.hpp"
#include "capture/ScreenCapture.hpp"
#include "core/AppSettings.hpp"
#include "device/MobileDevice.hpp"
#include "device/PhoneRecords.hpp"
#include "distribution/Updater.hpp"
#include "input/InputEngine.hpp"
#include "media/ScreenRecorder.hpp"
#include "media/Transcriber.hpp"
#include "model/AppModel.hpp"
#include "platform/BluetoothHost.hpp"
#include "platform/Capture.hpp"
#include "platform/Lockdown.hpp"
#include "platform/Preferences.hpp"
#include "platform/SpeechRecognition.hpp"
#include "platform/TextRecognition.hpp"

#include <filesystem>
#include <memory>

namespace pokescope {

namespace sim {
class SimPhone;
}

// What the phone is to the services: this computer's devices, or the simulated iPhone.
struct Backends {
    std::shared_ptr<LockdownBackend> lockdown;
    std::shared_ptr<CaptureBackend> capture;
    std::shared_ptr<BluetoothHost> bluetooth;
    std::shared_ptr<TextRecognizer> recognizer;
    std::shared_ptr<SpeechBackend> speech; // null: this computer's recogniser
    std::shared_ptr<sim::SimPhone> phone;  // the simulated phone, when it is one

    // USB, the capture sources (USB screen sharing and capture adapters), this computer's Bluetooth
    // adapter, Tesseract and PocketSphinx.
    static Backends system();
    // The simulated phone on every seam. Its screen comes as a capture adapter's, or over its USB screen
    // sharing when POKESCOPE_CAPTURE=usb (H.264 through the screen-sharing protocol, as a real phone's).
    static Backends simulated(std::shared_ptr<sim::SimPhone> phone);
};

struct ServicesOptions {
    std::filesystem::path settingsFile;    // empty: the user's settings.json
    std::filesystem::path calibrationFile; // empty: calibration.json in the application-support folder
};

class Services {
public:
    explicit Services(Backends backends, ServicesOptions options = {});
    ~Services();
    Services(const Services&) = delete;
    Services& operator=(const Services&) = delete;

    // The process's services, made on the first call and never destroyed; the exit hook reaches their
    // Bluetooth device. Later calls return the same services whatever they pass.
    static Services& forProcess(Backends backends);
    // The Bluetooth device of the process's services, when they exist; for the exit hook alone.
    static BluetoothHID* exitHookDevice();

    const Backends& backends() const { return backends_; }
    // The pointer timing the settings ask for, as the input engines take it.
    InputEngine::Timing pointerTiming() const;

private:
    Backends backends_;

public:
    // In the order they are built; each takes only what is built before it.
    Preferences preferences;
    AppSettings settings;
    MobileDevice device;
    PhoneRecords records;
    ScreenCapture capture;
    BluetoothHID hid;
    InputEngine input;
    ScreenRecorder recorder;
    Transcriber transcriber;
    std::shared_ptr<ToolSet> tools;
    MCPServer server;
    Updater updater;
    AppModel model;
};

} // namespace pokescope
