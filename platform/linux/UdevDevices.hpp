// Capture hardware as the kernel shows it: V4L2 video nodes and the ALSA capture card of the same USB
// device, found through sysfs, and a udev monitor for plugging and unplugging.
//
// The sysfs and /dev roots are parameters so that tests can lay out a device tree in a folder.
#pragma once

#include "platform/Capture.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace pokescope::udev {

struct Roots {
    std::filesystem::path sys = "/sys";
    std::filesystem::path dev = "/dev";
};

// What VIDIOC_QUERYCAP says about a node; none when the node cannot be opened.
struct NodeCapabilities {
    bool videoCapture = false;
    std::string card;
};
using CapabilityProbe = std::function<std::optional<NodeCapabilities>(const std::filesystem::path& devNode)>;
std::optional<NodeCapabilities> queryCapabilities(const std::filesystem::path& devNode);

struct VideoNode {
    CaptureDeviceInfo info;
    // The sysfs folder of the physical device (the USB device, else the node's parent device).
    std::filesystem::path physicalDevice;
};

// The video-capture nodes present now, in node-number order. A node that cannot be opened counts when it
// is its device's first node (index 0), which for USB video class devices is the capture node.
std::vector<VideoNode> findVideoNodes(const Roots& roots, const CapabilityProbe& probe = queryCapabilities);

// The ALSA name ("plughw:CARD,DEVICE") of the first capture PCM of a sound card on `physicalDevice`;
// none when that device has no sound input.
std::optional<std::string> findSoundCapture(const Roots& roots, const std::filesystem::path& physicalDevice);

// The stable identifier of a video node from its sysfs device path ("/devices/.../video4linux/video0"),
// the same string udev reports as the device path on add and on remove.
std::string uniqueIDFromDevicePath(const std::filesystem::path& sysRoot,
                                   const std::filesystem::path& resolved);

// True unless video nodes exist and this user can open none of them for reading and writing.
bool canOpenVideoNodes(const Roots& roots);

// Listens to udev for one subsystem on a thread of its own until destroyed.
class UdevMonitor {
public:
    // `added` is false for removal; `devNode` is the /dev path (may be empty on removal).
    using Handler =
        std::function<void(const std::string& devicePath, const std::string& devNode, bool added)>;

    UdevMonitor(const std::string& subsystem, Handler handler);
    ~UdevMonitor();
    UdevMonitor(const UdevMonitor&) = delete;
    UdevMonitor& operator=(const UdevMonitor&) = delete;

    // False when udev's netlink socket could not be opened (the handler is then never called).
    bool listening() const { return listening_; }

private:
    struct Handles;
    void run();
    std::unique_ptr<Handles> handles_;
    Handler handler_;
    int wakeFd_ = -1;
    bool listening_ = false;
    std::thread thread_;
};

} // namespace pokescope::udev
