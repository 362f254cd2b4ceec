// Hex test data as the protocol's documentation prints it (groups of hex digits separated by spaces), and
// the documentation's example packets, shared by the host's and the simulated phone's tests.
#pragma once

#include "capture/usb/UsbWire.hpp"

#include <cctype>
#include <stdexcept>
#include <string>
#include <string_view>

namespace pokescope::usbscreen::test {

inline Bytes hex(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
        else if (c != ' ' && c != '\n')
            throw std::invalid_argument("not a hex digit in test data");
    if (digits.size() % 2)
        throw std::invalid_argument("odd number of hex digits in test data");
    Bytes bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The protocol documentation's example packets, copied as printed.
inline const Bytes kPing = hex("10000000 676E6970 00000000 01000000");
inline const Bytes kCwpa =
    hex("24000000 636E7973 01000000 00000000 61707763 E03D5713 01000000 E0740000 5A130040");
inline const Bytes kCwpaReply = hex("1C000000 796C7072 E03D5713 01000000 00000000 B00CE26C A67F0000");
inline const Bytes kAfmt =
    hex("44000000 636E7973 B00CE26C A67F0000 746D6661 809D2213 01000000 00000000 0070E740 "
        "6D63706C 4C000000 04000000 01000000 04000000 02000000 10000000 00000000");
inline const Bytes kAfmtReply =
    hex("3E000000 796C7072 809D2213 01000000 00000000 2A000000 74636964 22000000 7679656B "
        "0D000000 6B727473 4572726F 720D0000 0076626D 6E030000 0000");
inline const Bytes kCvrpHeader =
    hex("89020000 636E7973 01000000 00000000 70727663 D0595613 01000000 A08D5313 01000000 "
        "65020000 74636964");
inline const Bytes kCvrpReply = hex("1C000000 796C7072 D0595613 01000000 00000000 5002D16C A67F0000");
inline const Bytes kClok = hex("1C000000 636E7973 5002D16C A67F0000 6B6F6C63 70495813 01000000");
inline const Bytes kClokReply = hex("1C000000 796C7072 70495813 01000000 00000000 8079C17C A67F0000");
inline const Bytes kTime = hex("1C000000 636E7973 8079C17C A67F0000 656D6974 503D2213 01000000");
inline const Bytes kTimeReply =
    hex("2C000000 796C7072 503D2213 01000000 00000000 E1E142C4 62BA0000 00CA9A3B 01000000 "
        "00000000 00000000");
inline const Bytes kSkewAsPrinted = hex("20000000 636E7973 8079C17C A67F0000 77656B73 60B9FD02 01000000");
inline const Bytes kSkewReplyAsPrinted =
    hex("18000000 796C7072 60B9FD02 01000000 00000000 00000000 0070E740");
inline const Bytes kOg = hex("20000000 636E7973 8079C17C A67F0000 20216F67 302FD302 01000000 01000000");
inline const Bytes kOgReply = hex("18000000 796C7072 302FD302 01000000 00000000 00000000");
inline const Bytes kStop = hex("1C000000 636E7973 F05F4235 BA7F0000 706F7473 1049FD02 01000000");
inline const Bytes kStopReply = hex("18000000 796C7072 1049FD02 01000000 00000000 00000000");
inline const Bytes kSratAsPrinted =
    hex("31000000 6E797361 18BC2311 01000000 74617273 0000803F 0000803F CB448EA1 CF10CC15 "
        "00CA9A3B 01000000 00000000 00000000");
inline const Bytes kTbasAsPrinted = hex("18000000 6E797361 18BC2311 01000000 73616274 C0904402 01000000");
inline const Bytes kFeedHeader = hex("D7650100 6E797361 18BC2311 01000000 64656566 C3650100 66756273");
inline const Bytes kNeed = hex("14000000 6E797361 A08D5313 01000000 6465656E");
inline const Bytes kHpd0AsPrinted = hex("14000000 6E797361 01000000 00000000 30617068");
inline const Bytes kHpa0 = hex("14000000 6E797361 10FCC502 01000000 30617068");
inline const Bytes kRels = hex("14000000 6E797361 008A6035 BA7F0000 736C6572");

// The documentation's dictionary example: {"Valeria": true}.
inline const Bytes kBooleanDictionary = hex("28000000 74636964 20000000 7679656B 0F000000 6B727473 56616C65 726961 "
                                            "09000000 766C7562 01");

inline constexpr std::uint64_t kDeviceAudioClock = 0x4000135A000074E0;
inline constexpr std::uint64_t kDeviceVideoClock = 0x113538DA0;

// The parameter sets of the phone's portrait video.
inline const Bytes kSps = hex("6764001F AC2484");
inline const Bytes kPps = hex("68EE3CB0");

// The packet with its length field set to `length`, whatever its size.
inline Bytes withLength(Bytes packet, std::uint32_t length) {
    for (int i = 0; i < 4; ++i)
        packet[i] = static_cast<std::uint8_t>(length >> (8 * i));
    return packet;
}

inline Bytes prefix(const Bytes& bytes, std::size_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
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
