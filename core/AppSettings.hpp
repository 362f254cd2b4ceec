// The user's preferences for recording, sound, transcription and the pointer's timing. Every write reaches the preferences
// store at once; two settings also tell the service that must react straight away (the capture's sound
// path, live listening).
//
// Thread contract: reads and writes from any thread; a reader sees the old or the new value. Writes
// normally come from the main thread (the settings window).
#pragma once

#include "platform/Preferences.hpp"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace pokescope {

class AppSettings {
public:
    enum class Quality { full, smaller };
    static const char* rawValue(Quality quality);
    // What a recording of that quality is encoded at, and the megabytes a minute of a busy screen with
    // sound takes at that rate (a still screen takes far less).
    static int videoBitRate(Quality quality);
    static int megabytesPerMinute(Quality quality);
    // How the pointer waits: until the screen shows the effect (adaptive) or the fixed times (exact).
    enum class PointerTiming { adaptive, exact };
    static const char* rawValue(PointerTiming timing);

    // Keys of the store that other parts of the system own.
    static constexpr const char* kOnboardingDone = "onboardingDone";
    static constexpr const char* kSelectedPhone = "selectedPhone";
    static constexpr const char* kDebugDir = "debugDir";

    // The reason live listening is given when transcription is turned off.
    static constexpr const char* kTranscriptionOffReason = "transcription was turned off in Settings";

    explicit AppSettings(Preferences& store);

    Preferences& store() { return store_; }

    bool recordAudio() const { return recordAudio_.load(); }
    void setRecordAudio(bool value);
    bool showActions() const { return showActions_.load(); }
    void setShowActions(bool value);
    long long recordingLimitMinutes() const { return recordingLimitMinutes_.load(); }
    void setRecordingLimitMinutes(long long value);
    Quality quality() const { return quality_.load(); }
    void setQuality(Quality value);
    bool copyScreenshots() const { return copyScreenshots_.load(); }
    void setCopyScreenshots(bool value);
    std::string transcriptionLanguage() const;
    void setTranscriptionLanguage(const std::string& value);
    bool transcriptionEnabled() const { return transcriptionEnabled_.load(); }
    void setTranscriptionEnabled(bool value);
    bool keepAudioConnected() const { return keepAudioConnected_.load(); }
    void setKeepAudioConnected(bool value);
    bool playAudioOnMac() const { return playAudioOnMac_.load(); }
    void setPlayAudioOnMac(bool value);
    PointerTiming pointerTiming() const { return pointerTiming_.load(); }
    void setPointerTiming(PointerTiming value);

    // Reads the settings file again (edited by hand while the application runs): the values in use follow
    // it, and a change of the sound settings or transcription turned off has the effect its setter has.
    // A file that does not parse keeps the values in use. True when they changed.
    bool reload();

    // Seconds a recording may run: none when the limit is below one minute.
    std::optional<double> recordingLimitSeconds() const;

    // The capture's sound update, run on the writing thread after keepAudioConnected or playAudioOnMac
    // change; the capture takes its own audio configuration lock inside it.
    void setAudioUpdate(std::function<void()> update);
    // Stops live listening with a reason; run on a background queue when transcription is turned off.
    void setListeningStop(std::function<void(const std::string& reason)> stop);

private:
    void load();
    void afterAudioChange();
    void stopListening();

    Preferences& store_;
    std::atomic<bool> recordAudio_;
    std::atomic<bool> showActions_;
    std::atomic<long long> recordingLimitMinutes_;
    std::atomic<Quality> quality_;
    std::atomic<bool> copyScreenshots_;
    std::atomic<bool> transcriptionEnabled_;
    std::atomic<bool> keepAudioConnected_;
    std::atomic<bool> playAudioOnMac_;
    std::atomic<PointerTiming> pointerTiming_;
    mutable std::mutex mutex_; // guards the language and the hooks
    std::string transcriptionLanguage_;
    std::function<void()> audioUpdate_;
    std::function<void(const std::string&)> listeningStop_;
};

} // namespace pokescope
