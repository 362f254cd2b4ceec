#include "platform/linux/BlueZMgmt.hpp"

#include "platform/linux/BlueZL2cap.hpp"

#include <bluetooth/bluetooth.h>
#include <bluetooth/hci.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pokescope::bluez {

namespace {

constexpr std::uint16_t kSetDeviceClass = 0x000E;
constexpr std::uint16_t kCommandComplete = 0x0001;
constexpr std::uint16_t kCommandStatus = 0x0002;
constexpr std::uint16_t kNoIndex = 0xFFFF;
constexpr int kAnswerTimeoutMs = 2000;

void putLE16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::uint16_t le16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::string statusText(std::uint8_t status) {
    switch (status) {
    case 0x0A:
        return "the controller is busy";
    case 0x0C:
        return "the controller does not support classic Bluetooth";
    case 0x0D:
        return "the class was not accepted";
    case 0x11:
        return "the controller is gone";
    case 0x14:
        return "permission denied";
    default:
        return "status " + std::to_string(status);
    }
}

// Reads management events until the answer to our command for `index` arrives; -1 on timeout.
int awaitStatus(int fd, std::uint16_t index) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerTimeoutMs);
    std::uint8_t buffer[512];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return -1;
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 9)
            continue;
        std::uint16_t event = le16(buffer);
        if ((event == kCommandComplete || event == kCommandStatus) && le16(buffer + 2) == index &&
            le16(buffer + 6) == kSetDeviceClass)
            return buffer[8];
    }
}

} // namespace

std::vector<std::uint8_t> setDeviceClassCommand(std::uint16_t index, std::uint32_t classOfDevice) {
    std::vector<std::uint8_t> out;
    putLE16(out, kSetDeviceClass);
    putLE16(out, index);
    putLE16(out, 2);
    out.push_back(static_cast<std::uint8_t>((classOfDevice >> 8) & 0x1F)); // major device class
    out.push_back(static_cast<std::uint8_t>(classOfDevice & 0xFC));        // minor device class, as its byte
    return out;
}

bool setDeviceClass(std::uint16_t index, std::uint32_t classOfDevice, std::string& error) {
    UniqueFd fd(::socket(AF_BLUETOOTH, SOCK_RAW | SOCK_CLOEXEC, BTPROTO_HCI));
    if (!fd) {
        error = errno == EAFNOSUPPORT ? "no Bluetooth support in this kernel"
                                      : "no management socket: " + std::string(std::strerror(errno));
        return false;
    }
    sockaddr_hci address{};
    address.hci_family = AF_BLUETOOTH;
    address.hci_dev = kNoIndex;
    address.hci_channel = HCI_CHANNEL_CONTROL;
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = errno == EPERM || errno == EACCES
                    ? "this process may not change the adapter's class (that needs CAP_NET_ADMIN)"
                    : "no management socket: " + std::string(std::strerror(errno));
        return false;
    }
    auto command = setDeviceClassCommand(index, classOfDevice);
    if (::write(fd.get(), command.data(), command.size()) != static_cast<ssize_t>(command.size())) {
        error = "the management command failed: " + std::string(std::strerror(errno));
        return false;
    }
    int status = awaitStatus(fd.get(), index);
    if (status == 0)
        return true;
    error = status < 0 ? "the kernel did not answer the class change"
                       : "the kernel refused the class change (" +
                             statusText(static_cast<std::uint8_t>(status)) + ")";
    return false;
}

} // namespace pokescope::bluez
