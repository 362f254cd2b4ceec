// The simulated phone as a capture device: its own screen stream ("iOS Device"), or, in HDMI-adapter
// mode, a capture stick that shows the phone between black bars.
#pragma once

#include "platform/Capture.hpp"
#include "sim/SimPhone.hpp"

#include <memory>
#include <mutex>

namespace pokescope::sim {

class SimCapture final : public CaptureBackend {
public:
    explicit SimCapture(std::shared_ptr<SimPhone> phone);
    ~SimCapture() override;

    Permission permission() const override;
    void requestPermission(std::function<void(bool granted)> done) override;
    std::vector<CaptureDeviceInfo> devices() override;
    void setDeviceEvents(DeviceEventHandler handler) override;
    std::unique_ptr<CaptureSession> open(const CaptureDeviceInfo& device, std::string& error) override;

    // Tests: this computer refuses access to capture devices.
    void denyPermission(bool denied);
    CaptureDeviceInfo deviceInfo() const;

private:
    std::shared_ptr<SimPhone> phone_;
    mutable std::mutex mutex_;
    bool denied_ = false;
};

} // namespace pokescope::sim
