#include "platform/linux/BlueZBus.hpp"

#include <algorithm>
#include <cctype>

namespace pokescope::bluez {

namespace {

constexpr const char* kDevicePrefix = "/dev_";

bool hexDigit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

} // namespace

std::string canonicalAddress(std::string address) {
    for (auto& c : address)
        c = c == '-' || c == '_' ? ':' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return address;
}

std::optional<std::string> addressOfDevicePath(const std::string& path) {
    auto at = path.rfind(kDevicePrefix);
    if (at == std::string::npos)
        return std::nullopt;
    std::string tail = path.substr(at + 5);
    if (tail.size() != 17)
        return std::nullopt;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        bool separator = i % 3 == 2;
        if (separator ? tail[i] != '_' : !hexDigit(tail[i]))
            return std::nullopt;
    }
    return canonicalAddress(tail);
}

std::string devicePath(const std::string& adapterPath, const std::string& address) {
    std::string tail = address;
    for (auto& c : tail)
        c = c == ':' || c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return adapterPath + kDevicePrefix + tail;
}

std::optional<int> adapterIndex(const std::string& adapterPath) {
    auto at = adapterPath.rfind("/hci");
    if (at == std::string::npos || at + 4 >= adapterPath.size())
        return std::nullopt;
    std::string digits = adapterPath.substr(at + 4);
    if (digits.size() > 5 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoi(digits);
}

std::string describeCallError(const std::string& errorName, const std::string& message,
                              const std::string& what) {
    if (errorName == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        errorName == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return "the Bluetooth service (bluetoothd) is not running";
    if (errorName == "org.freedesktop.DBus.Error.AccessDenied")
        return "the system D-Bus does not let this user " + what +
               " (run as root or as a member of the \"bluetooth\" group)";
    if (errorName == "org.freedesktop.DBus.Error.NoReply" ||
        errorName == "org.freedesktop.DBus.Error.Timeout" ||
        errorName == "org.freedesktop.DBus.Error.TimedOut")
        return "the Bluetooth service did not answer in time (" + what + ")";
    if (errorName == "org.bluez.Error.AlreadyExists")
        return "can't " + what + ": another program has registered it already";
    std::string text = "can't " + what;
    if (!message.empty())
        text += ": " + message;
    if (!errorName.empty())
        text += " (" + errorName + ")";
    return text;
}

} // namespace pokescope::bluez
