// Placeholder until the V4L2 backend lands: reports no devices.
#include "platform/Capture.hpp"

namespace pokescope {

namespace {

class NoCapture final : public CaptureBackend {
public:
    Permission permission() const override { return Permission::authorized; }
    void requestPermission(std::function<void(bool)> done) override { done(true); }
    std::vector<CaptureDeviceInfo> devices() override { return {}; }
    void setDeviceEvents(DeviceEventHandler) override {}
    std::unique_ptr<CaptureSession> open(const CaptureDeviceInfo&, std::string& error) override {
        error = "no capture backend";
        return nullptr;
    }
};

} // namespace

std::shared_ptr<CaptureBackend> CaptureBackend::system() { return std::make_shared<NoCapture>(); }

} // namespace pokescope
