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

std::vector<std::uint8_t> controlAnswer(const std::uint8_t* request, std::size_t size, std::uint8_t protocol) {
    if (size == 0)
        return {};
    constexpr std::uint8_t kSuccessful = 0x00, kInvalidReportID = 0x02, kUnsupported = 0x03, kData = 0xA0;
    const std::uint8_t type = request[0] >> 4, parameter = request[0] & 0x0F;
    switch (type) {
    case 0x1: // HID_CONTROL
    case 0xA: // DATA
        return {};
    case 0x4: { // GET_REPORT: the report type in the low bits, the ID after the header
        const std::uint8_t reportType = parameter & 0x03;
        if (reportType != 1 || size < 2)
            return {kInvalidReportID};
        if (request[1] == kKeyboardID) {
            auto rest = keyboard(0, {});
            return {rest.begin(), rest.end()};
        }
        if (request[1] == kPointerID) {
            auto rest = pointer(0, 0, 0);
            return {rest.begin(), rest.end()};
        }
        return {kInvalidReportID};
    }
    case 0x5: // SET_REPORT
    case 0x7: // SET_PROTOCOL
    case 0x9: // SET_IDLE
        return {kSuccessful};
    case 0x6: // GET_PROTOCOL
        return {kData, protocol};
    case 0x8: // GET_IDLE
        return {kData, 0x00};
    default:
        return {kUnsupported};
    }
}

} // namespace pokescope::HIDReports
