#include "core/AppSettings.hpp"

#include "platform/Dispatch.hpp"
#include "platform/MovieWriter.hpp"

#include <cmath>

namespace pokescope {

namespace {

constexpr const char* kRecordAudio = "recordAudio";
constexpr const char* kShowActions = "showActions";
constexpr const char* kRecordingLimitMinutes = "recordingLimitMinutes";
constexpr const char* kVideoQuality = "videoQuality";
constexpr const char* kCopyScreenshots = "copyScreenshots";
constexpr const char* kTranscriptionLanguage = "transcriptionLanguage";
constexpr const char* kTranscriptionEnabled = "transcriptionEnabled";
constexpr const char* kKeepAudioConnected = "keepAudioConnected";
constexpr const char* kPlayAudioOnMac = "playAudioOnMac";
constexpr const char* kPointerTiming = "pointerTiming";

AppSettings::Quality qualityFrom(const std::optional<std::string>& raw) {
    return raw && *raw == "smaller" ? AppSettings::Quality::smaller : AppSettings::Quality::full;
}

// Anything but "exact" (a value from a later version, a typing error in the file) is the default.
AppSettings::PointerTiming timingFrom(const std::optional<std::string>& raw) {
    return raw && *raw == "exact" ? AppSettings::PointerTiming::exact : AppSettings::PointerTiming::adaptive;
}

} // namespace

const char* AppSettings::rawValue(Quality quality) { return quality == Quality::smaller ? "smaller" : "full"; }

const char* AppSettings::rawValue(PointerTiming timing) {
    return timing == PointerTiming::exact ? "exact" : "adaptive";
}

AppSettings::AppSettings(Preferences& store) : store_(store) {
    store_.registerDefaults({
        {kRecordAudio, true},
        {kShowActions, true},
        {kRecordingLimitMinutes, 10},
        {kVideoQuality, "full"},
        {kCopyScreenshots, true},
        {kTranscriptionLanguage, ""},
        {kTranscriptionEnabled, false},
        {kKeepAudioConnected, true},
        {kPlayAudioOnMac, true},
        {kPointerTiming, "adaptive"},
    });
    load();
}

void AppSettings::load() {
    recordAudio_ = store_.boolForKey(kRecordAudio);
    showActions_ = store_.boolForKey(kShowActions);
    recordingLimitMinutes_ = store_.integerForKey(kRecordingLimitMinutes);
    quality_ = qualityFrom(store_.stringForKey(kVideoQuality));
    copyScreenshots_ = store_.boolForKey(kCopyScreenshots);
    transcriptionLanguage_ = store_.stringForKey(kTranscriptionLanguage).value_or("");
    transcriptionEnabled_ = store_.boolForKey(kTranscriptionEnabled);
    keepAudioConnected_ = store_.boolForKey(kKeepAudioConnected);
    playAudioOnMac_ = store_.boolForKey(kPlayAudioOnMac);
    pointerTiming_ = timingFrom(store_.stringForKey(kPointerTiming));
}

bool AppSettings::reload() {
    if (!store_.reload())
        return false;
    const bool keep = keepAudioConnected_, play = playAudioOnMac_, transcribing = transcriptionEnabled_;
    load();
    // The effects the setters have, for what the file changed.
    if (keepAudioConnected_ != keep || playAudioOnMac_ != play)
        afterAudioChange();
    if (transcribing && !transcriptionEnabled_)
        stopListening();
    return true;
}

void AppSettings::setPointerTiming(PointerTiming value) {
    pointerTiming_ = value;
    store_.set(kPointerTiming, rawValue(value));
}

void AppSettings::setAudioUpdate(std::function<void()> update) {
    std::lock_guard lock(mutex_);
    audioUpdate_ = std::move(update);
}

void AppSettings::setListeningStop(std::function<void(const std::string& reason)> stop) {
    std::lock_guard lock(mutex_);
    listeningStop_ = std::move(stop);
}

void AppSettings::setRecordAudio(bool value) {
    recordAudio_ = value;
    store_.set(kRecordAudio, value);
}

void AppSettings::setShowActions(bool value) {
    showActions_ = value;
    store_.set(kShowActions, value);
}

void AppSettings::setRecordingLimitMinutes(long long value) {
    recordingLimitMinutes_ = value;
    store_.set(kRecordingLimitMinutes, value);
}

void AppSettings::setQuality(Quality value) {
    quality_ = value;
    store_.set(kVideoQuality, rawValue(value));
}

void AppSettings::setCopyScreenshots(bool value) {
    copyScreenshots_ = value;
    store_.set(kCopyScreenshots, value);
}

std::string AppSettings::transcriptionLanguage() const {
    std::lock_guard lock(mutex_);
    return transcriptionLanguage_;
}

void AppSettings::setTranscriptionLanguage(const std::string& value) {
    {
        std::lock_guard lock(mutex_);
        transcriptionLanguage_ = value;
    }
    store_.set(kTranscriptionLanguage, value);
}

void AppSettings::setTranscriptionEnabled(bool value) {
    transcriptionEnabled_ = value;
    store_.set(kTranscriptionEnabled, value);
    if (!value)
        stopListening();
}

void AppSettings::stopListening() {
    std::function<void(const std::string&)> stop;
    {
        std::lock_guard lock(mutex_);
        stop = listeningStop_;
    }
    if (stop)
        DispatchQueue::global().async([stop] { stop(kTranscriptionOffReason); });
}

void AppSettings::setKeepAudioConnected(bool value) {
    keepAudioConnected_ = value;
    store_.set(kKeepAudioConnected, value);
    afterAudioChange();
}

void AppSettings::setPlayAudioOnMac(bool value) {
    playAudioOnMac_ = value;
    store_.set(kPlayAudioOnMac, value);
    afterAudioChange();
}

void AppSettings::afterAudioChange() {
    std::function<void()> update;
    {
        std::lock_guard lock(mutex_);
        update = audioUpdate_;
    }
    if (update)
        update();
}

std::optional<double> AppSettings::recordingLimitSeconds() const {
    long long minutes = recordingLimitMinutes();
    if (minutes < 1)
        return std::nullopt;
    return static_cast<double>(minutes) * 60.0;
}

int AppSettings::videoBitRate(Quality quality) { return quality == Quality::full ? 8'000'000 : 3'000'000; }

int AppSettings::megabytesPerMinute(Quality quality) {
    const double bytesPerSecond = (videoBitRate(quality) + MovieSettings::kAudioBitRate) / 8.0;
    return static_cast<int>(std::lround(bytesPerSecond * 60 / 1e6));
}

} // namespace pokescope
