#include "capture/usb/UsbWire.hpp"

#include <bit>
#include <cstdio>
#include <limits>

namespace pokescope::usbscreen {

std::string fourccName(FourCC code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        auto c = static_cast<unsigned char>(code >> shift);
        if (c < 0x20 || c > 0x7E) {
            char hex[16];
            std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
            return hex;
        }
        text += static_cast<char>(c);
    }
    return text;
}

void WireReader::need(std::size_t count) const {
    if (count > remaining())
        throw ProtocolError("The " + what_ + " is truncated: " + std::to_string(count) +
                            " bytes are needed at offset " + std::to_string(position_) + " but only " +
                            std::to_string(remaining()) + " remain.");
}

std::uint8_t WireReader::u8() {
    need(1);
    return bytes_[position_++];
}

std::uint32_t WireReader::u32() {
    need(4);
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | bytes_[position_ + i];
    position_ += 4;
    return value;
}

std::uint64_t WireReader::u64() {
    std::uint64_t low = u32();
    std::uint64_t high = u32();
    return low | (high << 32);
}

float WireReader::f32() {
    return std::bit_cast<float>(u32());
}

double WireReader::f64() {
    return std::bit_cast<double>(u64());
}

ByteView WireReader::take(std::size_t count) {
    need(count);
    auto view = bytes_.subspan(position_, count);
    position_ += count;
    return view;
}

Atom WireReader::atom() {
    if (remaining() < 8)
        throw ProtocolError("The " + what_ + " is truncated: an 8-byte atom header is needed at offset " +
                            std::to_string(position_) + " but only " + std::to_string(remaining()) +
                            " bytes remain.");
    std::size_t length = u32();
    FourCC code = u32();
    if (length < 8)
        throw ProtocolError("The " + what_ + " holds a '" + fourccName(code) + "' atom whose length " +
                            std::to_string(length) + " is shorter than its 8-byte header.");
    if (length - 8 > remaining())
        throw ProtocolError("The " + what_ + " holds a '" + fourccName(code) + "' atom of " +
                            std::to_string(length) + " bytes but only " + std::to_string(remaining() + 8) +
                            " bytes are left for it.");
    return {code, take(length - 8)};
}

void WireReader::expectEnd() const {
    if (!atEnd())
        throw ProtocolError("The " + what_ + " has " + std::to_string(remaining()) +
                            " unexpected bytes at its end.");
}

void WireWriter::u32(std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void WireWriter::u64(std::uint64_t value) {
    u32(static_cast<std::uint32_t>(value));
    u32(static_cast<std::uint32_t>(value >> 32));
}

void WireWriter::f32(float value) {
    u32(std::bit_cast<std::uint32_t>(value));
}

void WireWriter::f64(double value) {
    u64(std::bit_cast<std::uint64_t>(value));
}

std::size_t WireWriter::beginAtom(FourCC code) {
    std::size_t mark = bytes_.size();
    u32(0);
    u32(code);
    return mark;
}

void WireWriter::endAtom(std::size_t mark) {
    std::size_t length = bytes_.size() - mark;
    if (length > std::numeric_limits<std::uint32_t>::max())
        throw ProtocolError("An atom of " + std::to_string(length) + " bytes does not fit a 32-bit length.");
    for (int i = 0; i < 4; ++i)
        bytes_[mark + i] = static_cast<std::uint8_t>(length >> (8 * i));
}

} // namespace pokescope::usbscreen
