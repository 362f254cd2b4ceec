// Capture devices: where the phone's screen frames and sound come from. The logic that chooses a device,
// keeps the latest frame and fans sound out lives in capture/ScreenCapture; a backend only finds devices,
// opens one and delivers what it produces.
//
// Backends: linux/FFmpegCapture (a V4L2 video device and the ALSA sound of the same USB device),
// sim/SimCapture (the simulated iPhone).
//
// Thread contract: `devices`, `open` and the session's setters may be called from any thread. Frames and
// sound buffers arrive on the backend's own threads; the handlers must return quickly.
#pragma once

#include "platform/Dispatch.hpp"
#include "platform/Image.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pokescope {

// The one clock that stamps both video frames and sound buffers, so that what the recorder writes and what
// the settle waits compare stays on one time line.
inline TimePoint captureClockNow() { return std::chrono::steady_clock::now(); }

// The model of a capture device that is a phone streaming its own screen.
inline constexpr const char* kPhoneStreamModel = "iOS Device";

struct CaptureDeviceInfo {
    std::string uniqueID;      // stable while the device stays plugged in
    std::string localizedName; // the name the device gives itself
    std::string modelID;       // kPhoneStreamModel for a phone that streams its own screen
    std::string manufacturer;  // "Apple Inc." for Apple's devices
    std::string path;          // where the backend opens it (/dev/video0), if it has such a thing
    bool hasAudio = false;     // the same device also delivers sound

    bool phoneStream() const { return modelID == kPhoneStreamModel; }
};

// Sound as the phone plays it: 32-bit float samples, interleaved, with the capture-clock time of the
// first sample.
struct AudioBuffer {
    int sampleRate = 48000;
    int channels = 2;
    std::vector<float> samples;
    TimePoint time;
    std::size_t frames() const { return channels > 0 ? samples.size() / static_cast<std::size_t>(channels) : 0; }
};
using AudioBufferRef = std::shared_ptr<const AudioBuffer>;

// A frame as delivered: the BGRA picture and the capture-clock time at which the source took it.
struct CapturedFrame {
    ImageRef image;
    TimePoint time;
};

class CaptureSession {
public:
    using FrameHandler = std::function<void(const CapturedFrame&)>;
    using AudioHandler = std::function<void(const AudioBufferRef&)>;
    // A failure after start; `deviceGone` is set when the device vanished (unplugged) rather than failed.
    using ErrorHandler = std::function<void(const std::string& description, bool deviceGone)>;

    virtual ~CaptureSession() = default;
    // Starts delivering frames; late frames are dropped rather than queued.
    virtual void start(FrameHandler onFrame, ErrorHandler onError) = 0;
    // Stops delivery; once it returns no handler of this session is entered again.
    virtual void stop() = 0;
    // The device has a sound input that this session can deliver.
    virtual bool offersAudio() const = 0;
    // Attaches (handler set) or detaches (none) the sound data output; false when it cannot be attached.
    virtual bool setAudioOutput(AudioHandler onAudio) = 0;
    virtual bool hasAudioOutput() const = 0;
    // Plays the sound on this computer's output while attached; false when there is no output to play on
    // (the reason is in `playbackProblem`).
    virtual bool setPlayback(bool on) = 0;
    virtual bool hasPlayback() const = 0;
    virtual std::string playbackProblem() const = 0;
};

class CaptureBackend {
public:
    enum class Permission { notDetermined, restricted, denied, authorized };
    using DeviceEventHandler = std::function<void(const std::string& uniqueID, bool connected)>;

    virtual ~CaptureBackend() = default;
    // Whether this computer lets the application open capture devices.
    virtual Permission permission() const = 0;
    // Asks for permission; `done(granted)` runs on any thread.
    virtual void requestPermission(std::function<void(bool granted)> done) = 0;
    // The capture devices present now.
    virtual std::vector<CaptureDeviceInfo> devices() = 0;
    // Device plugged in or removed; the handler runs on any thread.
    virtual void setDeviceEvents(DeviceEventHandler handler) = 0;
    // Opens a device; none with `error` filled when that fails.
    virtual std::unique_ptr<CaptureSession> open(const CaptureDeviceInfo& device, std::string& error) = 0;

    // The backend for real devices on this computer.
    static std::shared_ptr<CaptureBackend> system();
};

} // namespace pokescope
