// The simulated iPhone: a phone of one of several models (SimSettings) whose capture path and Bluetooth
// link misbehave as real ones do. It owns the simulated screen and delivers it like a real capture source
// (only when it changes, at most `fps` frames a second, late by `latency` and `jitter`, with an encoder's
// blocky artefacts around what changed; or, in HDMI-adapter mode, a constant 30 frames a second of
// 1920 × 1080 with the picture between black bars), plays its sound at 48 kHz, and keeps the lockdown
// values that the USB side reads.
//
// SimCapture and SimLockdown present it through the platform interfaces; tests drive it directly.
//
// Thread contract: every member may be called from any thread. Sinks run on the phone's own frame and
// sound threads; once a setter replaces a sink and returns, the old sink is never entered again.
#pragma once

#include "platform/Capture.hpp"
#include "platform/Lockdown.hpp"
#include "sim/SimRecords.hpp"
#include "sim/SimScreen.hpp"
#include "sim/SimSettings.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pokescope::sim {

struct SimOptions {
    std::string udid = "00008120-001A2B3C4D5E6F01";
    std::string name = "Simulated iPhone";
    std::string iosVersion = "17.5.1";
    std::string bluetoothAddress = "A4:C3:F0:85:1D:2E"; // as the phone gives it: upper case
    bool trusted = true;
    bool pluggedIn = true;
    // The simulated user taps Trust when the trust prompt appears (after a short moment).
    bool trustOnPrompt = true;
    // The model, its capture path and Bluetooth link, AssistiveTouch, the radio (POKESCOPE_SIM).
    SimSettings settings;

    bool assistiveTouch() const { return settings.assistiveTouch.value_or(false); }
    // The screen comes through an HDMI capture adapter instead of straight over USB.
    bool hdmiAdapter() const { return settings.adapter; }
    // The phone's Bluetooth radio is on. Off, it neither answers pages nor connects: the HID link never
    // comes up, though this computer still knows the phone.
    bool bluetoothOn() const { return settings.bluetoothOn; }
    const std::string& productType() const { return settings.model.productType; }
};

// The options of the phone that a whole run of the program against the simulated phone plugs in: the
// ideal phone, unless the run asked for another before plugging it in.
SimOptions runOptions();
void setRunOptions(SimOptions options);

// The settings a --simulate run reads: POKESCOPE_SIM, or its older name POKESCOPE_SELFTEST_SIM.
inline constexpr const char* kSettingsVariable = "POKESCOPE_SIM";
inline constexpr const char* kSettingsVariableAlias = "POKESCOPE_SELFTEST_SIM";
// The variable's words over `base`; none when neither variable is set (or both are empty). Throws
// std::invalid_argument with a sentence that names the variable and the word it cannot take.
std::optional<SimSettings> settingsFromEnvironment(const SimSettings& base);

class SimPhone {
public:
    explicit SimPhone(SimOptions options = {});
    ~SimPhone();
    SimPhone(const SimPhone&) = delete;
    SimPhone& operator=(const SimPhone&) = delete;

    SimScreen& screen();
    // Its apps, system log, crash reports and battery and storage, as its services hand them out.
    SimRecords& records();
    const SimOptions& identity() const { return options_; }

    // USB
    bool pluggedIn() const;
    void unplug();
    void replug();
    // Listeners of plug changes, by key (the lockdown and capture sides each keep one).
    void setPlugListener(const std::string& key, std::function<void(bool pluggedIn)> listener);

    // The screen stream: stopping it is what a phone does when it locks its mirrored output.
    // Stops the screen; once this returns no frame is being drawn.
    void stopScreen();
    void resumeScreen();
    bool screenStreaming() const;
    void setSwitches(const SimSwitches& switches);
    SimSwitches switches() const;

    // Lockdown state
    bool trusted() const;
    void setTrusted(bool trusted);
    bool assistiveTouch() const;
    void setAssistiveTouch(bool on);
    // What lockdown gives for (domain, key): without a session only the name and model; none otherwise.
    std::optional<LockdownValue> lockdownValue(const std::optional<std::string>& domain,
                                               const std::optional<std::string>& key, bool inSession) const;
    // 0 on success.
    int setLockdownValue(const std::string& domain, const std::string& key, const LockdownValue& value);
    // Shows the trust prompt; 0 when already trusted, else the "response pending" status.
    int requestPairing();
    static constexpr int kPairingPending = -19;

    // Where frames and sound go (one each).
    void setFrameSink(std::function<void(const CapturedFrame&)> sink);
    void setAudioSink(std::function<void(const AudioBufferRef&)> sink);
    long framesDelivered() const;

    // Plays speech through the phone's sound (the speaking app calls this).
    void speak(const std::string& text);
    bool speaking() const;

private:
    struct Impl;
    SimOptions options_;
    std::unique_ptr<Impl> impl_;
};

} // namespace pokescope::sim
