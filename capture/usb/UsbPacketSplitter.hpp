// Cuts the byte stream from the phone's bulk endpoint into packets. USB transfers end anywhere: a
// packet may span many of them and one may hold many packets. The reading thread appends what each
// transfer brought, then takes whole packets with next() until it returns nothing. Not thread-safe: one
// owner at a time.
#pragma once

#include "capture/usb/UsbWire.hpp"

#include <optional>

namespace pokescope::usbscreen {

class PacketSplitter {
public:
    // Larger than any video frame the phone sends, small enough that a corrupt length cannot make us
    // buffer without end.
    static constexpr std::size_t kDefaultMaxPacket = 16 * 1024 * 1024;

    explicit PacketSplitter(std::size_t maxPacket = kDefaultMaxPacket);

    void append(ByteView bytes);
    // The next whole packet (length and code included), or nothing until more bytes arrive. Throws
    // ProtocolError on a length below 8 or above the maximum; the stream cannot be resynchronised after
    // that, so every later call throws the same error.
    std::optional<Bytes> next();
    // Bytes held that do not yet make a whole packet.
    std::size_t pending() const { return buffer_.size() - start_; }

private:
    std::size_t maxPacket_;
    Bytes buffer_;
    std::size_t start_ = 0;
    std::optional<ProtocolError> failure_;
};

} // namespace pokescope::usbscreen
