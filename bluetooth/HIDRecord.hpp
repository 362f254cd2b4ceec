// What this computer is to the phone: a Bluetooth HID keyboard and three-button pointer with a wheel.
// The service record and the report descriptor inside it are constant.
#pragma once

#include "platform/BluetoothHost.hpp"

#include <array>
#include <cstdint>

namespace pokescope::HIDRecord {

// The report descriptor: report 1 is the keyboard (modifiers, reserved, six keys), report 2 the pointer
// (three buttons, X, Y, wheel, each -127…127).
extern const std::array<std::uint8_t, 101> descriptor;

// The 18-attribute service record, built anew on each call.
SdpRecord record();

// The name the phone lists.
inline constexpr const char* kServiceName = "Pokescope Keyboard";
// Major class peripheral, minor keyboard, limited-discoverable bit.
inline constexpr std::uint32_t kClassOfDevice = 0x002540;

} // namespace pokescope::HIDRecord
