#include "capture/CaptureSources.hpp"

#include "core/Log.hpp"
#include "capture/UsbScreenCapture.hpp"

#include <algorithm>
#include <cstdlib>

namespace pokescope {

namespace {

constexpr const char* kUsbPrefix = "usb:";

bool isUsb(const CaptureDeviceInfo& device) { return device.path.rfind(kUsbPrefix, 0) == 0; }

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

} // namespace

CaptureSources::Preference CaptureSources::preference(const char* variable, std::string& problem) {
    if (!variable || !*variable)
        return Preference::automatic;
    const std::string value = lowered(variable);
    if (value == "usb")
        return Preference::usb;
    if (value == "adapter")
        return Preference::adapter;
    problem = std::string(kVariable) + " is \"" + variable + "\"; it takes usb or adapter, so both are tried";
    return Preference::automatic;
}

std::shared_ptr<CaptureBackend> CaptureSources::system() {
    std::string problem;
    const Preference chosen = preference(std::getenv(kVariable), problem);
    if (!problem.empty())
        Log::shared().add("screen: " + problem);
    std::shared_ptr<UsbScreenHost> host = UsbScreenHost::system();
    return std::make_shared<CaptureSources>(std::make_shared<UsbScreenCapture>(host), CaptureBackend::system(), chosen,
                                            [host] { return host->problem(); });
}

CaptureSources::CaptureSources(std::shared_ptr<CaptureBackend> usb, std::shared_ptr<CaptureBackend> adapter,
                               Preference preference, std::function<std::string()> usbProblem)
    : usb_(std::move(usb)), adapter_(std::move(adapter)), preference_(preference), usbProblem_(std::move(usbProblem)) {
    if (preference_ == Preference::adapter)
        usb_.reset();
    if (preference_ == Preference::usb)
        adapter_.reset();
}

CaptureBackend::Permission CaptureSources::permission() const {
    // USB screen sharing needs no camera permission; the adapter's video devices may.
    if (usb_)
        return Permission::authorized;
    return adapter_ ? adapter_->permission() : Permission::authorized;
}

void CaptureSources::requestPermission(std::function<void(bool granted)> done) {
    if (usb_ || !adapter_) {
        done(true);
        return;
    }
    adapter_->requestPermission(std::move(done));
}

std::vector<CaptureDeviceInfo> CaptureSources::devices() {
    std::vector<CaptureDeviceInfo> usb = usb_ ? usb_->devices() : std::vector<CaptureDeviceInfo>{};
    std::vector<CaptureDeviceInfo> adapter;
    if (adapter_ && adapter_->permission() == Permission::authorized)
        adapter = adapter_->devices();
    const char* forced = preference_ == Preference::usb       ? " (POKESCOPE_CAPTURE=usb)"
                         : preference_ == Preference::adapter ? " (POKESCOPE_CAPTURE=adapter)"
                                                              : "";
    std::string line;
    if (!usb.empty()) {
        line = "screen: source: the iPhone's own screen sharing over USB" + std::string(forced);
    } else if (preference_ == Preference::usb) {
        const std::string problem = usbProblem_ ? usbProblem_() : "";
        line = "screen: source: none: no iPhone shares its screen over USB" + std::string(forced) +
               (problem.empty() ? "" : "; " + problem);
    } else {
        bool hasAdapter = std::any_of(adapter.begin(), adapter.end(), [](const CaptureDeviceInfo& d) { return !isUsb(d); });
        const std::string why = preference_ == Preference::adapter ? std::string(forced)
                                                                    : " (no iPhone shares its screen over USB)";
        line = hasAdapter ? "screen: source: the capture adapter" + why
                          : "screen: source: none yet: no iPhone shares its screen over USB and no capture adapter "
                            "is plugged in";
    }
    say(line);
    // The phone's own sharing first; the adapter's devices after, for a chosen device or a second phone.
    usb.insert(usb.end(), adapter.begin(), adapter.end());
    return usb;
}

void CaptureSources::setDeviceEvents(DeviceEventHandler handler) {
    if (usb_)
        usb_->setDeviceEvents(handler);
    if (adapter_)
        adapter_->setDeviceEvents(handler);
}

std::unique_ptr<CaptureSession> CaptureSources::open(const CaptureDeviceInfo& device, std::string& error) {
    auto& backend = isUsb(device) ? usb_ : adapter_;
    if (!backend) {
        error = "that capture source is turned off by POKESCOPE_CAPTURE";
        return nullptr;
    }
    return backend->open(device, error);
}

std::string CaptureSources::lastChoice() const {
    std::lock_guard lock(mutex_);
    return lastChoice_;
}

void CaptureSources::say(const std::string& line) {
    {
        std::lock_guard lock(mutex_);
        if (line == lastChoice_)
            return;
        lastChoice_ = line;
    }
    Log::shared().add(line);
}

} // namespace pokescope
