// The bytes that go to the phone on the HID interrupt channel: a transaction header 0xA1 (DATA, input),
// the report ID, then the report as the descriptor lays it out.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace pokescope::HIDReports {

constexpr std::uint8_t kHeader = 0xA1;
constexpr std::uint8_t kKeyboardID = 0x01;
constexpr std::uint8_t kPointerID = 0x02;

// Modifier bits (left-hand keys only).
constexpr std::uint8_t kControl = 0x01;
constexpr std::uint8_t kShift = 0x02;
constexpr std::uint8_t kOption = 0x04;
constexpr std::uint8_t kCommand = 0x08;

constexpr std::uint8_t kPrimaryButton = 0x01;

// A1 01 modifiers 00 k1..k6: the first six usages, empty slots 0x00.
std::array<std::uint8_t, 10> keyboard(std::uint8_t modifiers, const std::vector<std::uint8_t>& usages);

// A1 02 buttons dx dy 00, with dx and dy clamped to -127…127 (the descriptor's range).
std::array<std::uint8_t, 6> pointer(std::uint8_t buttons, int dx, int dy);

} // namespace pokescope::HIDReports
