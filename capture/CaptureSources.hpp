// Where the phone's screen comes from: its own screen sharing over the USB cable, or a capture adapter
// (HDMI into a USB capture device). A phone that offers USB screen sharing is used first, else the
// adapter; POKESCOPE_CAPTURE=usb or =adapter forces one. One log line says which was chosen and why,
// again whenever that changes.
#pragma once

#include "platform/Capture.hpp"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace pokescope {

class CaptureSources final : public CaptureBackend {
public:
    enum class Preference { automatic, usb, adapter };
    static constexpr const char* kVariable = "POKESCOPE_CAPTURE";

    // "usb" or "adapter" (any case); automatic for nothing or "" and for anything else, with `problem` set.
    static Preference preference(const char* variable, std::string& problem);

    // `usb` may be null (no USB screen sharing on this system); `usbProblem` says why it may find none.
    CaptureSources(std::shared_ptr<CaptureBackend> usb, std::shared_ptr<CaptureBackend> adapter,
                   Preference preference, std::function<std::string()> usbProblem = {});

    // The production sources: libusb screen sharing and the FFmpeg capture adapter, as POKESCOPE_CAPTURE
    // says.
    static std::shared_ptr<CaptureBackend> system();

    Permission permission() const override;
    void requestPermission(std::function<void(bool granted)> done) override;
    std::vector<CaptureDeviceInfo> devices() override;
    void setDeviceEvents(DeviceEventHandler handler) override;
    std::unique_ptr<CaptureSession> open(const CaptureDeviceInfo& device, std::string& error) override;

    // The line last logged about the choice, for tests.
    std::string lastChoice() const;

private:
    void say(const std::string& line);
    std::shared_ptr<CaptureBackend> usb_, adapter_;
    Preference preference_;
    std::function<std::string()> usbProblem_;
    mutable std::mutex mutex_;
    std::string lastChoice_;
};

} // namespace pokescope
