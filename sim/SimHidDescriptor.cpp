#include "sim/SimHidDescriptor.hpp"

namespace pokescope::sim {

namespace {

int signedValue(std::uint32_t raw, int size) {
    switch (size) {
    case 1: return static_cast<std::int8_t>(raw);
    case 2: return static_cast<std::int16_t>(raw);
    case 4: return static_cast<std::int32_t>(raw);
    default: return 0;
    }
}

std::uint32_t bitsAt(const std::vector<std::uint8_t>& bytes, int offset, int size) {
    std::uint32_t value = 0;
    for (int i = 0; i < size; ++i) {
        int bit = offset + i;
        if (bytes[static_cast<std::size_t>(bit / 8)] & (1u << (bit % 8)))
            value |= 1u << i;
    }
    return value;
}

} // namespace

std::optional<HidDescriptor> HidDescriptor::parse(const std::vector<std::uint8_t>& bytes, std::string& error) {
    HidDescriptor descriptor;
    struct Globals {
        int usagePage = 0, logicalMinimum = 0, logicalMaximum = 0, reportSize = 0, reportCount = 0;
        std::uint8_t reportID = 0;
    } globals;
    int usageMinimum = 0, usageMaximum = 0;
    int depth = 0;
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::uint8_t prefix = bytes[i];
        if (prefix == 0xFE) {
            error = "long items are not expected";
            return std::nullopt;
        }
        int size = prefix & 0x03;
        if (size == 3)
            size = 4;
        int type = (prefix >> 2) & 0x03;
        int tag = prefix >> 4;
        if (i + 1 + static_cast<std::size_t>(size) > bytes.size()) {
            error = "item at byte " + std::to_string(i) + " runs past the end";
            return std::nullopt;
        }
        std::uint32_t raw = 0;
        for (int b = 0; b < size; ++b)
            raw |= static_cast<std::uint32_t>(bytes[i + 1 + static_cast<std::size_t>(b)]) << (8 * b);
        i += 1 + static_cast<std::size_t>(size);
        if (type == 0) { // main
            if (tag == 0x8) { // input
                auto& report = descriptor.inputs[globals.reportID];
                report.id = globals.reportID;
                HidField field;
                field.bitOffset = report.bits;
                field.bitSize = globals.reportSize;
                field.count = globals.reportCount;
                field.logicalMinimum = globals.logicalMinimum;
                field.logicalMaximum = globals.logicalMaximum;
                field.usagePage = globals.usagePage;
                field.usageMinimum = usageMinimum;
                field.usageMaximum = usageMaximum;
                field.constant = raw & 0x01;
                field.variable = raw & 0x02;
                field.relative = raw & 0x04;
                report.bits += field.bitSize * field.count;
                report.fields.push_back(field);
            } else if (tag == 0xA) {
                ++depth;
            } else if (tag == 0xC) {
                if (--depth < 0) {
                    error = "End Collection without a collection";
                    return std::nullopt;
                }
            } else if (tag == 0x9 || tag == 0xB) {
                error = "output and feature reports are not expected";
                return std::nullopt;
            }
            usageMinimum = usageMaximum = 0;
        } else if (type == 1) { // global
            switch (tag) {
            case 0x0: globals.usagePage = static_cast<int>(raw); break;
            case 0x1: globals.logicalMinimum = signedValue(raw, size); break;
            case 0x2: globals.logicalMaximum = signedValue(raw, size); break;
            case 0x7: globals.reportSize = static_cast<int>(raw); break;
            case 0x8: globals.reportID = static_cast<std::uint8_t>(raw); break;
            case 0x9: globals.reportCount = static_cast<int>(raw); break;
            default: break;
            }
        } else if (type == 2) { // local
            if (tag == 0x1)
                usageMinimum = static_cast<int>(raw);
            else if (tag == 0x2)
                usageMaximum = static_cast<int>(raw);
        }
    }
    if (depth != 0) {
        error = "collections are not closed";
        return std::nullopt;
    }
    return descriptor;
}

std::optional<std::vector<std::vector<int>>> HidDescriptor::decode(const std::vector<std::uint8_t>& message,
                                                                   std::string& error) const {
    if (message.size() < 2 || message[0] != 0xA1) {
        error = "not an input report";
        return std::nullopt;
    }
    auto it = inputs.find(message[1]);
    if (it == inputs.end()) {
        error = "unknown report ID " + std::to_string(message[1]);
        return std::nullopt;
    }
    const HidReportLayout& layout = it->second;
    if (message.size() != static_cast<std::size_t>(2 + layout.bytes())) {
        error = "report " + std::to_string(layout.id) + " has " + std::to_string(message.size() - 2) + " bytes, not " +
                std::to_string(layout.bytes());
        return std::nullopt;
    }
    std::vector<std::uint8_t> body(message.begin() + 2, message.end());
    std::vector<std::vector<int>> values;
    for (const auto& field : layout.fields) {
        std::vector<int> fieldValues;
        for (int n = 0; n < field.count; ++n) {
            std::uint32_t raw = bitsAt(body, field.bitOffset + n * field.bitSize, field.bitSize);
            int value = field.logicalMinimum < 0 && field.bitSize < 32 && (raw & (1u << (field.bitSize - 1)))
                            ? static_cast<int>(raw) - (1 << field.bitSize)
                            : static_cast<int>(raw);
            if (field.constant) {
                if (raw != 0) {
                    error = "a constant field is not zero";
                    return std::nullopt;
                }
            } else if (value < field.logicalMinimum || value > field.logicalMaximum) {
                error = "value " + std::to_string(value) + " outside " + std::to_string(field.logicalMinimum) + "…" +
                        std::to_string(field.logicalMaximum);
                return std::nullopt;
            }
            fieldValues.push_back(value);
        }
        values.push_back(std::move(fieldValues));
    }
    return values;
}

} // namespace pokescope::sim
