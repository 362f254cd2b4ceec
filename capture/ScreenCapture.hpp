// The phone's screen and sound. One capture session on the phone's capture device keeps the most recent
// frame where every other part takes it (pointer detection, screenshots, text recognition, recording, the
// main window), and hands the phone's sound to registered listeners (the recorder, live transcription) and,
// when asked, to this computer's speakers.
//
// The frame contract: `latest` is the last frame the device delivered that showed a change, in 32-bit
// BGRA at the phone's picture size; `frameCount` and `lastFrameAt` change with it under one lock. A caller
// that must see the screen after an action of its own waits until `lastFrameAt` is later than its action.
// Stopping empties `latest`; `lastFrameAt` keeps its value. `stillness` tells whether the screen has stopped
// changing (see Stillness).
//
// Threads: the main queue (start, attach, stop, device events, `onFrame`); "pokescope.capture" (frames,
// session start and stop); "pokescope.capture.audio" (sound buffers, fanned out to listeners). The frame
// lock is held only for assignments. `updateAudio` runs under `audioConfigLock`, taken before the
// listener lock whenever both are held.
#pragma once

#include "platform/Capture.hpp"
#include "platform/Dispatch.hpp"
#include "platform/GuardedCallback.hpp"
#include "platform/Lifetime.hpp"

#include "capture/ScreenCaptureGate.hpp"
#include "capture/Stillness.hpp"

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace pokescope {

class AppSettings;

class ScreenCapture {
public:
    using AudioListener = std::function<void(const AudioBufferRef&)>;

    static constexpr const char* kDisconnected = "the iPhone was disconnected";
    static constexpr const char* kCaptureFailed = "screen capture failed";
    // Names the capture device to use: a /dev/video* path or part of the device's name.
    static constexpr const char* kDeviceVariable = "POKESCOPE_CAPTURE_DEVICE";

    ScreenCapture(std::shared_ptr<CaptureBackend> backend, DispatchQueue& mainQueue, AppSettings& settings,
                  Clock& clock = Clock::system());
    ~ScreenCapture();
    ScreenCapture(const ScreenCapture&) = delete;
    ScreenCapture& operator=(const ScreenCapture&) = delete;


    // Asks for permission if needed and attaches to the phone, retrying 1, 3 and 6 seconds later.
    void start();
    // Stops, then attaches again a second later.
    void restart();
    // Stops the session and forgets the device.
    void stop();
    // Attaches to the phone's capture device when none is attached (main queue).
    void attachIfNeeded();
    void requestCamera(std::function<void(bool granted)> completion);
    CaptureBackend::Permission cameraStatus() const { return backend_->permission(); }

    struct Snapshot {
        ImageRef latest;
        long frameCount = 0;
        TimePoint lastFrameAt; // the distant past until the first frame
    };
    Snapshot snapshot() const;
    using Stillness = pokescope::Stillness;
    Stillness stillness() const;
    ImageRef latestImage() const;
    long frameCount() const;
    TimePoint lastFrameAt() const;
    std::optional<std::string> deviceUniqueID() const;
    std::optional<CaptureDeviceInfo> device() const;

    bool offersAudio() const;
    // Registers (or with an empty listener removes) the listener under `key`, then updates the sound
    // outputs. False only when a listener was given and the phone's sound cannot be delivered; the
    // registration is then withdrawn. Once a removal returns, the old listener is never entered again.
    bool setAudioListener(const std::string& key, AudioListener listener);
    // Brings the sound outputs in line with what is wanted; callers hold `audioConfigLock()`.
    bool updateAudio();
    std::mutex& audioConfigLock() { return audioConfigLock_; }

    // The user-interface frame listener: at most about 15 frames a second, on the main queue.
    void setOnFrame(std::function<void(const ImageRef&)> listener);
    // Whether the Bluetooth link is ready (sound stays connected while it is and the setting asks for it).
    void setLinkReady(std::function<bool()> ready);
    // Told the reason when capture stops because the screen went away (the phone left, capture failed), on
    // the main queue. Once a new listener is set, the old one is not running and will not run again.
    void setOnScreenLost(std::function<void(const std::string& reason)> listener);

    // The capture device that `start` would choose among `devices`, following POKESCOPE_CAPTURE_DEVICE
    // (`variable`) or else the phone's own rules; none when there is none.
    static std::optional<CaptureDeviceInfo> chooseDevice(const std::vector<CaptureDeviceInfo>& devices,
                                                         const std::optional<std::string>& variable);

private:
    struct Pending {
        CapturedFrame frame;
        unsigned long generation = 0;
    };
    using ListenerEntry = GuardedCallback<const AudioBufferRef&>;

    void onDeviceEvent(const std::string& uniqueID, bool connected);
    void onSessionError(unsigned long generation, const std::string& description, bool deviceGone);
    void lose(const char* reason);
    void receiveFrame(const CapturedFrame& frame, unsigned long generation);
    void drainFrame();
    void fanOut(const AudioBufferRef& buffer);

    std::shared_ptr<CaptureBackend> backend_;
    DispatchQueue& main_;
    AppSettings& settings_;
    Clock& clock_;
    DispatchQueue queue_{"pokescope.capture"};
    DispatchQueue audioQueue_{"pokescope.capture.audio"};

    mutable std::mutex lock_; // latest, frameCount, lastFrameAt, generation
    ImageRef latest_;
    long frameCount_ = 0;
    TimePoint lastFrameAt_{};
    TimePoint lastSeenCaptured_{}, lastChangeCaptured_{};
    std::array<Duration, 8> delays_{}; // of the last frames, newest at delays_[frameSeen_ % 8]
    unsigned long frameSeen_ = 0;
    std::array<Duration, 9> intervals_{}; // between the last changed frames of a change, newest at [changes_ % 9]
    unsigned long changes_ = 0;
    unsigned long generation_ = 0;

    mutable std::mutex pendingMutex_;
    std::optional<Pending> pending_;
    FrameGate gate_; // on queue_ only

    mutable std::mutex audioConfigLock_; // every change of the sound outputs; also guards session_
    std::shared_ptr<CaptureSession> session_;
    std::optional<CaptureDeviceInfo> device_;
    bool playbackFailed_ = false;

    mutable std::mutex audioLock_;
    std::map<std::string, std::shared_ptr<ListenerEntry>> listeners_;

    mutable std::mutex stateMutex_; // deviceUniqueID, onFrame, linkReady, onScreenLost, notices
    std::optional<std::string> deviceUniqueID_;
    std::function<void(const ImageRef&)> onFrame_;
    std::function<bool()> linkReady_;
    TimePoint lastUIFrame_{};
    std::string lastNotice_;

    std::shared_ptr<GuardedCallback<const std::string&>> onScreenLost_;
    std::atomic<bool> alive_{true};
    Lifetime life_; // main-queue work for this capture
};

} // namespace pokescope
