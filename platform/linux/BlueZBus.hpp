// Names on BlueZ's D-Bus API and the conversions between its object paths and our addresses.
#pragma once

#include <optional>
#include <string>

namespace pokescope::bluez {

inline constexpr const char* kService = "org.bluez";
inline constexpr const char* kAdapter = "org.bluez.Adapter1";
inline constexpr const char* kDevice = "org.bluez.Device1";
inline constexpr const char* kProfileManager = "org.bluez.ProfileManager1";
inline constexpr const char* kAgentManager = "org.bluez.AgentManager1";
inline constexpr const char* kProfile = "org.bluez.Profile1";
inline constexpr const char* kAgent = "org.bluez.Agent1";
inline constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
inline constexpr const char* kObjectManager = "org.freedesktop.DBus.ObjectManager";
inline constexpr const char* kRejected = "org.bluez.Error.Rejected";
inline constexpr const char* kHidUuid = "00001124-0000-1000-8000-00805f9b34fb";

// The objects this backend exports for bluetoothd to call.
inline constexpr const char* kProfilePath = "/org/pokescope/bluetooth/hid";
inline constexpr const char* kAgentPath = "/org/pokescope/bluetooth/agent";

// "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF" -> "aa:bb:cc:dd:ee:ff"; none for paths that are not devices.
std::optional<std::string> addressOfDevicePath(const std::string& path);
// ("/org/bluez/hci0", "aa:bb:cc:dd:ee:ff") -> "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF"
std::string devicePath(const std::string& adapterPath, const std::string& address);
// "/org/bluez/hci3" -> 3, the controller index the kernel's management interface uses.
std::optional<int> adapterIndex(const std::string& adapterPath);
// Lower case, colons: the form addresses take in the host interface.
std::string canonicalAddress(std::string address);

// A failed call to the Bluetooth service as a sentence for the user.
std::string describeCallError(const std::string& errorName, const std::string& message,
                              const std::string& what);

} // namespace pokescope::bluez
