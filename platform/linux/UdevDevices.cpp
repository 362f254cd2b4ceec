#include "platform/linux/UdevDevices.hpp"

#include "platform/Process.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <libudev.h>
#include <linux/videodev2.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace pokescope::udev {

namespace fs = std::filesystem;

namespace {

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

// The number at the end of "video12" or "card3"; -1 when there is none.
int trailingNumber(const std::string& name, const std::string& prefix) {
    if (name.rfind(prefix, 0) != 0 || name.size() == prefix.size() || name.size() > prefix.size() + 9)
        return -1;
    std::string digits = name.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return -1;
    return std::stoi(digits);
}

// The nearest folder at or above `start`, inside the devices tree, that is a whole USB device.
std::optional<fs::path> usbDeviceAbove(const fs::path& sysRoot, const fs::path& start) {
    const std::string top = fs::weakly_canonical(sysRoot / "devices").string();
    std::error_code ec;
    for (fs::path dir = start; dir.string().size() > top.size(); dir = dir.parent_path()) {
        if (fs::exists(dir / "idVendor", ec) && fs::exists(dir / "idProduct", ec))
            return dir;
    }
    return std::nullopt;
}

// The physical device a class device (a video node, a sound card) belongs to.
fs::path physicalDeviceOf(const fs::path& sysRoot, const fs::path& classDevice) {
    if (auto usb = usbDeviceAbove(sysRoot, classDevice))
        return *usb;
    std::error_code ec;
    fs::path parent = fs::canonical(classDevice / "device", ec);
    return ec ? classDevice.parent_path() : parent;
}

std::string manufacturerOf(const fs::path& physicalDevice) {
    std::error_code ec;
    if (!fs::exists(physicalDevice / "idVendor", ec))
        return "";
    if (firstLine(physicalDevice / "idVendor") == "05ac")
        return "Apple Inc.";
    return firstLine(physicalDevice / "manufacturer");
}

struct NumberedEntry {
    int number;
    fs::path path;
};

std::vector<NumberedEntry> numberedEntries(const fs::path& dir, const std::string& prefix) {
    std::vector<NumberedEntry> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        int number = trailingNumber(entry.path().filename().string(), prefix);
        if (number >= 0)
            found.push_back({number, entry.path()});
    }
    std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.number < b.number; });
    return found;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

std::optional<NodeCapabilities> queryCapabilities(const fs::path& devNode) {
    FdCloser node{::open(devNode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)};
    if (node.fd < 0)
        return std::nullopt;
    v4l2_capability cap{};
    if (::ioctl(node.fd, VIDIOC_QUERYCAP, &cap) < 0)
        return std::nullopt;
    uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    NodeCapabilities result;
    result.videoCapture = (caps & V4L2_CAP_VIDEO_CAPTURE) != 0;
    result.card.assign(reinterpret_cast<const char*>(cap.card),
                       strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
    return result;
}

std::string uniqueIDFromDevicePath(const fs::path& sysRoot, const fs::path& resolved) {
    return "/" + resolved.lexically_relative(fs::weakly_canonical(sysRoot)).generic_string();
}

std::vector<VideoNode> findVideoNodes(const Roots& roots, const CapabilityProbe& probe) {
    std::vector<VideoNode> nodes;
    for (const auto& [number, classEntry] : numberedEntries(roots.sys / "class/video4linux", "video")) {
        std::error_code ec;
        fs::path resolved = fs::canonical(classEntry, ec);
        if (ec)
            continue;
        fs::path devNode = roots.dev / classEntry.filename();
        std::optional<NodeCapabilities> caps = probe(devNode);
        if (caps && !caps->videoCapture)
            continue;
        if (!caps && firstLine(resolved / "index") != "0")
            continue;
        VideoNode node;
        node.physicalDevice = physicalDeviceOf(roots.sys, resolved);
        node.info.path = devNode.string();
        node.info.uniqueID = uniqueIDFromDevicePath(roots.sys, resolved);
        node.info.localizedName = caps && !caps->card.empty() ? caps->card : firstLine(resolved / "name");
        node.info.manufacturer = manufacturerOf(node.physicalDevice);
        node.info.hasAudio = findSoundCapture(roots, node.physicalDevice).has_value();
        nodes.push_back(std::move(node));
    }
    return nodes;
}

std::optional<std::string> findSoundCapture(const Roots& roots, const fs::path& physicalDevice) {
    for (const auto& [card, classEntry] : numberedEntries(roots.sys / "class/sound", "card")) {
        std::error_code ec;
        fs::path resolved = fs::canonical(classEntry, ec);
        if (ec || physicalDeviceOf(roots.sys, resolved) != physicalDevice)
            continue;
        // Capture PCMs are named pcmC<card>D<device>c; playback ones end in p.
        std::vector<int> devices;
        const std::string prefix = "pcmC" + std::to_string(card) + "D";
        for (const auto& entry : fs::directory_iterator(resolved, ec)) {
            std::string name = entry.path().filename().string();
            if (name.size() > prefix.size() + 1 && name.rfind(prefix, 0) == 0 && name.back() == 'c') {
                int device = trailingNumber(name.substr(0, name.size() - 1), prefix);
                if (device >= 0)
                    devices.push_back(device);
            }
        }
        if (!devices.empty())
            return "plughw:" + std::to_string(card) + "," +
                   std::to_string(*std::min_element(devices.begin(), devices.end()));
    }
    return std::nullopt;
}

bool canOpenVideoNodes(const Roots& roots) {
    bool anyNode = false;
    for (const auto& entry : numberedEntries(roots.sys / "class/video4linux", "video")) {
        fs::path devNode = roots.dev / entry.path.filename();
        std::error_code ec;
        if (!fs::exists(devNode, ec))
            continue;
        anyNode = true;
        if (::access(devNode.c_str(), R_OK | W_OK) == 0)
            return true;
    }
    return !anyNode;
}

struct UdevMonitor::Handles {
    struct udev* context = nullptr;
    struct udev_monitor* monitor = nullptr;
    ~Handles() {
        if (monitor)
            udev_monitor_unref(monitor);
        if (context)
            udev_unref(context);
    }
};

UdevMonitor::UdevMonitor(const std::string& subsystem, Handler handler)
    : handles_(std::make_unique<Handles>()), handler_(std::move(handler)) {
    handles_->context = udev_new();
    if (!handles_->context)
        return;
    handles_->monitor = udev_monitor_new_from_netlink(handles_->context, "udev");
    if (!handles_->monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(handles_->monitor, subsystem.c_str(), nullptr) < 0 ||
        udev_monitor_enable_receiving(handles_->monitor) < 0)
        return;
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        return;
    listening_ = true;
    thread_ = std::thread([this] { run(); });
}

UdevMonitor::~UdevMonitor() {
    if (thread_.joinable()) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void UdevMonitor::run() {
    setThreadName("pokescope.capture.devices");
    int monitorFd = udev_monitor_get_fd(handles_->monitor);
    while (awaitReadable(monitorFd, wakeFd_)) {
        struct udev_device* device = udev_monitor_receive_device(handles_->monitor);
        if (!device)
            continue;
        const char* action = udev_device_get_action(device);
        const char* path = udev_device_get_devpath(device);
        const char* node = udev_device_get_devnode(device);
        std::string actionText = action ? action : "";
        if (path && (actionText == "add" || actionText == "remove"))
            handler_(path, node ? node : "", actionText == "add");
        udev_device_unref(device);
    }
}

} // namespace pokescope::udev
