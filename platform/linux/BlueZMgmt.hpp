// The kernel's Bluetooth management interface, for the one setting BlueZ offers no D-Bus way to change:
// the class of device (its Adapter1.Class is read-only).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pokescope::bluez {

// The Set Device Class command for controller `index`: major and minor class from `classOfDevice`; the
// service class bits are the kernel's to compute.
std::vector<std::uint8_t> setDeviceClassCommand(std::uint16_t index, std::uint32_t classOfDevice);

// Sends that command and waits briefly for the kernel's answer; false with `error` when it is refused or
// this process may not use the management interface (it needs CAP_NET_ADMIN).
bool setDeviceClass(std::uint16_t index, std::uint32_t classOfDevice, std::string& error);

} // namespace pokescope::bluez
