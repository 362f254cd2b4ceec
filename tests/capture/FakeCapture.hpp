// A capture backend the test drives by hand: it decides the devices, pushes frames and sound, and
// breaks sessions when asked.
#pragma once

#include "platform/Capture.hpp"

#include <mutex>
#include <optional>

namespace pokescope::test {

// A copy of a handler taken under its lock, so that it is called without holding the lock.
template <class Handler> Handler copyLocked(std::mutex& mutex, const Handler& handler) {
    std::lock_guard lock(mutex);
    return handler;
}

class FakeSession : public CaptureSession {
public:
    explicit FakeSession(bool audio) : audio_(audio) {}
    void start(FrameHandler onFrame, ErrorHandler onError) override {
        std::lock_guard lock(mutex);
        frame = std::move(onFrame), error = std::move(onError);
    }
    void stop() override {
        std::lock_guard lock(mutex);
        frame = nullptr, error = nullptr, sound = nullptr;
        stopped = true;
    }
    bool offersAudio() const override { return audio_; }
    bool setAudioOutput(AudioHandler onAudio) override {
        std::lock_guard lock(mutex);
        return sound = std::move(onAudio), true;
    }
    bool hasAudioOutput() const override { return static_cast<bool>(copyLocked(mutex, sound)); }
    bool setPlayback(bool on) override { return !(on && !canPlay) && (playing = on, true); }
    bool hasPlayback() const override { return playing; }
    std::string playbackProblem() const override { return "no sound output on this computer"; }

    void push(ImageRef image, std::optional<TimePoint> captured = std::nullopt) {
        if (auto handler = copyLocked(mutex, frame))
            handler(CapturedFrame{std::move(image), captured.value_or(captureClockNow())});
    }
    void pushSound(float value) {
        auto buffer = std::make_shared<AudioBuffer>();
        buffer->samples.assign(960 * 2, value);
        buffer->time = captureClockNow();
        if (auto handler = copyLocked(mutex, sound))
            handler(buffer);
    }
    void fail(const std::string& description, bool gone) {
        if (auto handler = copyLocked(mutex, error))
            handler(description, gone);
    }

    mutable std::mutex mutex;
    FrameHandler frame;
    ErrorHandler error;
    AudioHandler sound;
    bool stopped = false;
    bool canPlay = false;
    std::atomic<bool> playing{false};
    const bool audio_;
};

// What the capture holds: forwards to a session the test keeps alive as long as it likes.
class SessionHandle : public CaptureSession {
public:
    explicit SessionHandle(std::shared_ptr<FakeSession> session) : session_(std::move(session)) {}
    void start(FrameHandler onFrame, ErrorHandler onError) override { session_->start(std::move(onFrame), std::move(onError)); }
    void stop() override { session_->stop(); }
    bool offersAudio() const override { return session_->offersAudio(); }
    bool setAudioOutput(AudioHandler onAudio) override { return session_->setAudioOutput(std::move(onAudio)); }
    bool hasAudioOutput() const override { return session_->hasAudioOutput(); }
    bool setPlayback(bool on) override { return session_->setPlayback(on); }
    bool hasPlayback() const override { return session_->hasPlayback(); }
    std::string playbackProblem() const override { return session_->playbackProblem(); }

private:
    std::shared_ptr<FakeSession> session_;
};

class FakeCapture : public CaptureBackend {
public:
    Permission permission() const override { return permissionValue; }
    void requestPermission(std::function<void(bool)> done) override { done(permissionValue == Permission::authorized); }
    std::vector<CaptureDeviceInfo> devices() override { return copyLocked(mutex, list); }
    void setDeviceEvents(DeviceEventHandler handler) override {
        std::lock_guard lock(mutex);
        events = std::move(handler);
    }
    std::unique_ptr<CaptureSession> open(const CaptureDeviceInfo& device, std::string& error) override {
        if (device.localizedName == "Broken") {
            error = "device busy";
            return nullptr;
        }
        auto session = std::make_shared<FakeSession>(device.hasAudio);
        std::lock_guard lock(mutex);
        all.push_back(session);
        ++opened;
        return std::make_unique<SessionHandle>(session);
    }
    FakeSession* session() {
        auto sessions = copyLocked(mutex, all);
        return sessions.empty() ? nullptr : sessions.back().get();
    }
    void event(const std::string& id, bool connected) {
        if (auto handler = copyLocked(mutex, events))
            handler(id, connected);
    }

    std::mutex mutex;
    std::vector<CaptureDeviceInfo> list;
    DeviceEventHandler events;
    std::vector<std::shared_ptr<FakeSession>> all; // kept for the whole test
    int opened = 0;
    Permission permissionValue = Permission::authorized;
};

inline CaptureDeviceInfo phoneDevice(bool audio = true) {
    return CaptureDeviceInfo{"usb-1-2:video0", "iPhone Screen", "iOS Device", "Apple Inc.", "/dev/video0", audio};
}

} // namespace pokescope::test
