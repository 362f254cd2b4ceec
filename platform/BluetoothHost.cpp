#include "platform/BluetoothHost.hpp"

#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace pokescope {

namespace {

bool printable(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

void element(std::string& out, const SdpElement& e, int depth) {
    std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
    char number[16];
    switch (e.type) {
    case SdpElement::Type::uuid16:
        std::snprintf(number, sizeof number, "0x%04x", e.number);
        out += indent + "<uuid value=\"" + number + "\" />\n";
        break;
    case SdpElement::Type::uint8:
        std::snprintf(number, sizeof number, "0x%02x", e.number);
        out += indent + "<uint8 value=\"" + number + "\" />\n";
        break;
    case SdpElement::Type::uint16:
        std::snprintf(number, sizeof number, "0x%04x", e.number);
        out += indent + "<uint16 value=\"" + number + "\" />\n";
        break;
    case SdpElement::Type::boolean:
        out += indent + "<boolean value=\"" + (e.number ? "true" : "false") + "\" />\n";
        break;
    case SdpElement::Type::text:
        if (printable(e.text)) {
            out += indent + "<text value=\"" + escaped(e.text) + "\" />\n";
        } else {
            std::string hex;
            for (unsigned char c : e.text) {
                std::snprintf(number, sizeof number, "%02x", c);
                hex += number;
            }
            out += indent + "<text encoding=\"hex\" value=\"" + hex + "\" />\n";
        }
        break;
    case SdpElement::Type::sequence:
        out += indent + "<sequence>\n";
        for (const auto& child : e.elements)
            element(out, child, depth + 1);
        out += indent + "</sequence>\n";
        break;
    }
}

} // namespace

std::string sdpRecordXML(const SdpRecord& record) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<record>\n";
    char id[16];
    for (const auto& attribute : record) {
        std::snprintf(id, sizeof id, "0x%04x", attribute.id);
        out += "  <attribute id=\"" + std::string(id) + "\">\n";
        element(out, attribute.value, 2);
        out += "  </attribute>\n";
    }
    out += "</record>\n";
    return out;
}

BluetoothChannel::BluetoothChannel(int fd, std::uint16_t psm, std::string peerAddress, bool incoming)
    : fd_(fd), psm_(psm), peerAddress_(std::move(peerAddress)), incoming_(incoming) {}

BluetoothChannel::~BluetoothChannel() {
    if (fd_ >= 0)
        ::close(fd_);
}

void BluetoothChannel::shutdown() {
    std::call_once(shutdownOnce_, [this] {
        if (fd_ >= 0)
            ::shutdown(fd_, SHUT_RDWR);
    });
}

} // namespace pokescope
