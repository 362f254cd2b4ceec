#include "sim/SimCapture.hpp"

#include "platform/AudioPlayback.hpp"

#include <atomic>
#include <mutex>

namespace pokescope::sim {

namespace {

class SimSession final : public CaptureSession {
public:
    SimSession(std::shared_ptr<SimPhone> phone, std::string key) : phone_(std::move(phone)), key_(std::move(key)) {}
    ~SimSession() override { stop(); }

    void start(FrameHandler onFrame, ErrorHandler onError) override {
        phone_->setFrameSink(std::move(onFrame));
        // A stream whose device is pulled out ends with an error, as a real one does.
        phone_->setPlugListener(key_, [onError](bool pluggedIn) {
            if (!pluggedIn && onError)
                onError("the capture device was removed", true);
        });
    }
    void stop() override {
        phone_->setPlugListener(key_, nullptr);
        phone_->setFrameSink(nullptr);
        phone_->setAudioSink(nullptr);
        {
            std::lock_guard lock(mutex_);
            audio_ = nullptr;
        }
        playback_.set(false);
    }
    bool offersAudio() const override { return true; }
    bool setAudioOutput(AudioHandler onAudio) override {
        bool silent = false;
        {
            std::lock_guard lock(mutex_);
            audio_ = std::move(onAudio);
            silent = !audio_;
        }
        if (silent)
            playback_.set(false);
        if (hasAudioOutput())
            phone_->setAudioSink([this](const AudioBufferRef& buffer) { deliver(buffer); });
        else
            phone_->setAudioSink(nullptr);
        return true;
    }
    bool hasAudioOutput() const override {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(audio_);
    }
    // The phone's sound plays on this computer's output, like a real phone's does.
    bool setPlayback(bool on) override { return playback_.set(on); }
    bool hasPlayback() const override { return playback_.on(); }
    std::string playbackProblem() const override { return playback_.problem(); }

private:
    void deliver(const AudioBufferRef& buffer) {
        AudioHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = audio_;
        }
        if (handler)
            handler(buffer);
        playback_.play(buffer);
    }

    std::shared_ptr<SimPhone> phone_;
    std::string key_;
    mutable std::mutex mutex_;
    AudioHandler audio_;
    PlaybackSwitch playback_;
};

} // namespace

SimCapture::SimCapture(std::shared_ptr<SimPhone> phone) : phone_(std::move(phone)) {}

SimCapture::~SimCapture() { phone_->setPlugListener("capture", nullptr); }

CaptureBackend::Permission SimCapture::permission() const {
    std::lock_guard lock(mutex_);
    return denied_ ? Permission::denied : Permission::authorized;
}

void SimCapture::requestPermission(std::function<void(bool granted)> done) {
    done(permission() == Permission::authorized);
}

void SimCapture::denyPermission(bool denied) {
    std::lock_guard lock(mutex_);
    denied_ = denied;
}

CaptureDeviceInfo SimCapture::deviceInfo() const {
    const auto& identity = phone_->identity();
    CaptureDeviceInfo info;
    if (identity.hdmiAdapter()) {
        info.uniqueID = "sim-hdmi:" + identity.udid;
        info.localizedName = "HDMI Capture (iPhone)";
        info.manufacturer = "USB Video";
        info.path = "/dev/video-sim";
    } else {
        info.uniqueID = "sim:" + identity.udid;
        info.localizedName = identity.name;
        info.modelID = kPhoneStreamModel;
        info.manufacturer = "Apple Inc.";
    }
    info.hasAudio = true;
    return info;
}

std::vector<CaptureDeviceInfo> SimCapture::devices() {
    if (!phone_->pluggedIn())
        return {};
    return {deviceInfo()};
}

void SimCapture::setDeviceEvents(DeviceEventHandler handler) {
    if (!handler) {
        phone_->setPlugListener("capture", nullptr);
        return;
    }
    std::string uniqueID = deviceInfo().uniqueID;
    phone_->setPlugListener("capture", [handler, uniqueID](bool pluggedIn) { handler(uniqueID, pluggedIn); });
}

std::unique_ptr<CaptureSession> SimCapture::open(const CaptureDeviceInfo& device, std::string& error) {
    if (!phone_->pluggedIn() || device.uniqueID != deviceInfo().uniqueID) {
        error = "the device is not connected";
        return nullptr;
    }
    static std::atomic<int> sessions{0};
    return std::make_unique<SimSession>(phone_, "session-" + std::to_string(++sessions));
}

} // namespace pokescope::sim
