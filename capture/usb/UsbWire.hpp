// Byte-level reading and writing for the phone's USB screen-sharing protocol. Everything on the wire is
// little-endian, and four-character codes travel as little-endian 32-bit numbers, so "sync" appears as
// the bytes "cnys". Most structures are atoms: a 32-bit length that counts its own 8-byte header, a code,
// then the body. Readers check every access against the bytes they were given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope::usbscreen {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
using FourCC = std::uint32_t;

// Any input the parsers cannot accept, and any value too large to be framed; what() says why.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "sync" -> 0x73796E63, which the writer stores as the bytes 63 6E 79 73.
constexpr FourCC fourcc(const char (&code)[5]) {
    return (FourCC(std::uint8_t(code[0])) << 24) | (FourCC(std::uint8_t(code[1])) << 16) |
           (FourCC(std::uint8_t(code[2])) << 8) | FourCC(std::uint8_t(code[3]));
}

// The code as text for messages: "sync", or "0x00000001" when it is not printable.
std::string fourccName(FourCC code);

// An atom as read: its code and its body (the bytes after the 8-byte header).
struct Atom {
    FourCC code = 0;
    ByteView body;
};

// Reads from a byte span; every read past the end throws ProtocolError naming `what`.
class WireReader {
public:
    WireReader(ByteView bytes, std::string what) : bytes_(bytes), what_(std::move(what)) {}

    std::uint8_t u8();
    std::uint32_t u32();
    std::uint64_t u64();
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    float f32();
    double f64();
    ByteView take(std::size_t count);
    ByteView rest() { return take(remaining()); }
    Atom atom();

    std::size_t remaining() const { return bytes_.size() - position_; }
    bool atEnd() const { return position_ == bytes_.size(); }
    // Throws when bytes are left over: every structure we accept is consumed exactly.
    void expectEnd() const;
    const std::string& what() const { return what_; }

private:
    void need(std::size_t count) const;

    ByteView bytes_;
    std::size_t position_ = 0;
    std::string what_;
};

// Appends to a growing byte string; atoms get their length filled in when they end.
class WireWriter {
public:
    void u8(std::uint8_t value) { bytes_.push_back(value); }
    void u32(std::uint32_t value);
    void u64(std::uint64_t value);
    void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }
    void i64(std::int64_t value) { u64(static_cast<std::uint64_t>(value)); }
    void f32(float value);
    void f64(double value);
    void bytes(ByteView data) { bytes_.insert(bytes_.end(), data.begin(), data.end()); }

    // Starts an atom and returns its mark; endAtom(mark) writes the length, throwing ProtocolError when
    // the atom outgrows the 32-bit length field.
    std::size_t beginAtom(FourCC code);
    void endAtom(std::size_t mark);

    Bytes take() && { return std::move(bytes_); }

private:
    Bytes bytes_;
};

} // namespace pokescope::usbscreen
