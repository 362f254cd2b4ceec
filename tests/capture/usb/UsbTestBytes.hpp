// Hex test data as the protocol's documentation prints it: groups of hex digits separated by spaces.
#pragma once

#include "capture/usb/UsbWire.hpp"

#include <stdexcept>
#include <string_view>

namespace pokescope::usbscreen::test {

inline Bytes hex(std::string_view text) {
    Bytes bytes;
    int high = -1;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : -1;
        if (digit < 0) {
            if (c != ' ' && c != '\n')
                throw std::invalid_argument("not a hex digit in test data");
            continue;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0)
        throw std::invalid_argument("odd number of hex digits in test data");
    return bytes;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Runs `parse` and returns the ProtocolError's message; fails the test when nothing is thrown.
template <class F> std::string protocolError(F&& parse) {
    try {
        parse();
    } catch (const ProtocolError& error) {
        return error.what();
    }
    return "(no ProtocolError)";
}

} // namespace pokescope::usbscreen::test
