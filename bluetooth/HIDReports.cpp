#include "bluetooth/HIDReports.hpp"

#include <algorithm>

namespace pokescope::HIDReports {

std::array<std::uint8_t, 10> keyboard(std::uint8_t modifiers, const std::vector<std::uint8_t>& usages) {
    std::array<std::uint8_t, 10> report{kHeader, kKeyboardID, modifiers, 0x00, 0, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < std::min<std::size_t>(usages.size(), 6); ++i)
        report[4 + i] = usages[i];
    return report;
}

std::array<std::uint8_t, 6> pointer(std::uint8_t buttons, int dx, int dy) {
    auto axis = [](int value) { return static_cast<std::uint8_t>(static_cast<std::int8_t>(std::clamp(value, -127, 127))); };
    return {kHeader, kPointerID, buttons, axis(dx), axis(dy), 0x00};
}

} // namespace pokescope::HIDReports
