#include "capture/usb/UsbPacketSplitter.hpp"

namespace pokescope::usbscreen {

PacketSplitter::PacketSplitter(std::size_t maxPacket) : maxPacket_(maxPacket) {}

void PacketSplitter::append(ByteView bytes) {
    // Drop what was handed out before growing, so the buffer holds at most one partial packet plus a chunk.
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<Bytes> PacketSplitter::next() {
    if (failure_)
        throw *failure_;
    if (pending() < 4)
        return std::nullopt;
    WireReader reader(ByteView(buffer_).subspan(start_, 4), "packet length");
    std::size_t length = reader.u32();
    // Checked as soon as the length is known, before waiting for a body that may never come.
    if (length < 8)
        failure_ = ProtocolError("A packet's length field says " + std::to_string(length) +
                                 " bytes, less than its own 8-byte header.");
    else if (length > maxPacket_)
        failure_ = ProtocolError("A packet's length field says " + std::to_string(length) +
                                 " bytes, more than the " + std::to_string(maxPacket_) + "-byte limit.");
    if (failure_)
        throw *failure_;
    if (pending() < length)
        return std::nullopt;
    auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(start_);
    Bytes packet(first, first + static_cast<std::ptrdiff_t>(length));
    start_ += length;
    return packet;
}

} // namespace pokescope::usbscreen
