// The simulated phone's reading of a HID report descriptor: it learns the layout of each input report
// from the descriptor the computer publishes, and checks every report against it, as a phone's HID host
// does. A wrong byte in a report is refused here, so a fault in our reports fails the tests.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pokescope::sim {

struct HidField {
    int bitOffset = 0;  // from the first bit after the report ID
    int bitSize = 0;
    int count = 0;
    int logicalMinimum = 0;
    int logicalMaximum = 0;
    int usagePage = 0;
    int usageMinimum = 0;
    int usageMaximum = 0;
    bool constant = false;
    bool variable = false;
    bool relative = false;
};

struct HidReportLayout {
    std::uint8_t id = 0;
    int bits = 0;
    std::vector<HidField> fields;
    int bytes() const { return (bits + 7) / 8; }
};

struct HidDescriptor {
    std::map<std::uint8_t, HidReportLayout> inputs;

    // Parses short items; none with `error` set when the descriptor is malformed.
    static std::optional<HidDescriptor> parse(const std::vector<std::uint8_t>& bytes, std::string& error);

    // The field values of one interrupt message (0xA1, report ID, report); none with `error` set when the
    // message does not fit the descriptor (unknown report, wrong length, a value out of range, a constant
    // field that is not zero).
    std::optional<std::vector<std::vector<int>>> decode(const std::vector<std::uint8_t>& message,
                                                        std::string& error) const;
};

} // namespace pokescope::sim
