// Capture devices on Linux: a V4L2 video node read through libavdevice, the ALSA capture card of the
// same USB device for sound, and udev for plugging and unplugging.
#include "platform/Capture.hpp"
#include "platform/linux/FFmpegCaptureModes.hpp"
#include "platform/linux/FFmpegCaptureSession.hpp"
#include "platform/linux/UdevDevices.hpp"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

namespace pokescope {

namespace {

class FFmpegCaptureBackend final : public CaptureBackend {
public:
    explicit FFmpegCaptureBackend(udev::Roots roots = {}) : roots_(std::move(roots)) {}

    ~FFmpegCaptureBackend() override { setDeviceEvents(nullptr); }

    Permission permission() const override {
        return udev::canOpenVideoNodes(roots_) ? Permission::authorized : Permission::denied;
    }

    void requestPermission(std::function<void(bool)> done) override {
        done(permission() == Permission::authorized);
    }

    std::vector<CaptureDeviceInfo> devices() override {
        std::vector<CaptureDeviceInfo> infos;
        for (auto& node : udev::findVideoNodes(roots_))
            infos.push_back(std::move(node.info));
        return infos;
    }

    void setDeviceEvents(DeviceEventHandler handler) override {
        std::lock_guard configuring(monitorMutex_);
        monitor_.reset(); // joins the old thread, which may be waiting for eventsMutex_: not held here
        {
            std::lock_guard lock(eventsMutex_);
            handler_ = std::move(handler);
            known_.clear();
            if (!handler_)
                return;
            for (const auto& node : udev::findVideoNodes(roots_))
                known_.insert(node.info.uniqueID);
        }
        monitor_ = std::make_unique<udev::UdevMonitor>(
            "video4linux", [this](const std::string& devicePath, const std::string& devNode, bool added) {
                onUdevEvent(devicePath, devNode, added);
            });
    }

    std::unique_ptr<CaptureSession> open(const CaptureDeviceInfo& device, std::string& error) override {
        std::optional<udev::VideoNode> found;
        for (auto& node : udev::findVideoNodes(roots_))
            if ((!device.uniqueID.empty() && node.info.uniqueID == device.uniqueID) ||
                (!device.path.empty() && node.info.path == device.path))
                found = std::move(node);
        std::string path = found ? found->info.path : device.path;
        if (path.empty()) {
            error = "The capture device " + device.localizedName + " has no device node to open";
            return nullptr;
        }
        ffmpeg::InputSpec spec{"v4l2", path, {}};
        if (auto mode = ffmpeg::chooseCaptureMode(ffmpeg::listCaptureModes(path)))
            spec.options = ffmpeg::v4l2Options(*mode);
        auto video = ffmpeg::VideoReader::open(spec, error);
        if (!video)
            return nullptr;
        std::optional<ffmpeg::InputSpec> sound;
        if (auto card = found ? udev::findSoundCapture(roots_, found->physicalDevice) : std::nullopt)
            sound = ffmpeg::InputSpec{"alsa", *card, {{"sample_rate", "48000"}, {"channels", "2"}}};
        return std::make_unique<ffmpeg::CaptureSessionImpl>(std::move(video), std::move(sound));
    }

private:
    void onUdevEvent(const std::string& devicePath, const std::string& devNode, bool added) {
        DeviceEventHandler handler;
        {
            std::lock_guard lock(eventsMutex_);
            if (added) {
                if (!isCaptureNode(devicePath, devNode) || !known_.insert(devicePath).second)
                    return;
            } else if (known_.erase(devicePath) == 0) {
                return; // a metadata node or one never reported
            }
            handler = handler_;
        }
        if (handler)
            handler(devicePath, added);
    }

    bool isCaptureNode(const std::string& devicePath, const std::string& devNode) const {
        if (auto caps = udev::queryCapabilities(devNode))
            return caps->videoCapture;
        // Unreadable node: as when listing, its device's first node is the capture node.
        std::ifstream index(roots_.sys / std::filesystem::path(devicePath).relative_path() / "index");
        std::string first;
        return std::getline(index, first) && first == "0";
    }

    const udev::Roots roots_;
    std::mutex eventsMutex_;
    DeviceEventHandler handler_;
    std::set<std::string> known_;
    std::mutex monitorMutex_;
    std::unique_ptr<udev::UdevMonitor> monitor_;
};

} // namespace

std::shared_ptr<CaptureBackend> CaptureBackend::system() {
    return std::make_shared<FFmpegCaptureBackend>();
}

} // namespace pokescope
