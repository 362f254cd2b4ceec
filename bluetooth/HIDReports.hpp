// The bytes that go to the phone on the HID interrupt channel: a transaction header 0xA1 (DATA, input),
// the report ID, then the report as the descriptor lays it out.
#pragma once

#include <array>
#include <cstddef>
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

// The answer on the control channel to one request from the phone (the HID profile's transactions),
// for a device whose two input reports carry their IDs (1, the keyboard; 2, the pointer: the boot
// protocol's own IDs, so the same reports serve in either protocol):
//   GET_REPORT (4x) of an input report: DATA (A1), its ID, the report at rest; of any other report or ID:
//     HANDSHAKE invalid report ID (02).
//   GET_PROTOCOL (6x): DATA (A0) and `protocol` (1 report, 0 boot). GET_IDLE (8x): DATA (A0) 00.
//   SET_PROTOCOL (7x), SET_REPORT (5x), SET_IDLE (9x): HANDSHAKE successful (00).
//   Anything else that asks for an answer: HANDSHAKE unsupported request (03).
// HID_CONTROL (1x) and DATA (Ax) get no answer (an empty result).
std::vector<std::uint8_t> controlAnswer(const std::uint8_t* request, std::size_t size, std::uint8_t protocol);

} // namespace pokescope::HIDReports
