// This computer's classic Bluetooth host, as the HID device logic (bluetooth/BluetoothHID) needs it:
// publish a service record, advertise as a keyboard, stay discoverable while pairing, page one phone,
// open and accept the two HID L2CAP channels, and report what happens.
//
// Backends: linux/BlueZ* (BlueZ over D-Bus with sdbus-c++, L2CAP sockets from libbluetooth),
// sim/SimBluetooth (the simulated iPhone's HID host over connected SOCK_SEQPACKET pairs).
//
// Thread contract: operations may be called from any thread and never block for long (a page or channel
// attempt reports its outcome through the events later). Events arrive on the backend's own threads.
// Addresses are lower-case hexadecimal pairs separated by colons ("a4:c3:f0:85:1d:2e").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pokescope {

// One SDP data element.
struct SdpElement {
    enum class Type { uuid16, uint8, uint16, boolean, text, sequence };
    Type type = Type::sequence;
    std::uint32_t number = 0;         // uuid16, uint8, uint16, boolean (0 or 1)
    std::string text;                 // text (raw bytes; the report descriptor is binary)
    std::vector<SdpElement> elements; // sequence

    static SdpElement uuid(std::uint16_t value) { return {Type::uuid16, value, {}, {}}; }
    static SdpElement u8(std::uint8_t value) { return {Type::uint8, value, {}, {}}; }
    static SdpElement u16(std::uint16_t value) { return {Type::uint16, value, {}, {}}; }
    static SdpElement boolean(bool value) { return {Type::boolean, value ? 1u : 0u, {}, {}}; }
    static SdpElement string(std::string value) { return {Type::text, 0, std::move(value), {}}; }
    static SdpElement sequence(std::vector<SdpElement> elements) { return {Type::sequence, 0, {}, std::move(elements)}; }
    bool operator==(const SdpElement&) const = default;
};

struct SdpAttribute {
    std::uint16_t id;
    std::string name; // for people reading logs and the XML
    SdpElement value;
    bool operator==(const SdpAttribute&) const = default;
};
using SdpRecord = std::vector<SdpAttribute>;

// The record in BlueZ's XML service-record form; text elements that are not printable ASCII (the report
// descriptor) are written with encoding="hex".
std::string sdpRecordXML(const SdpRecord& record);

// An open L2CAP channel. It owns its socket and closes it exactly once, after the last holder (the reader,
// a writer in the middle of a write) lets go; `shutdown` ends reads and writes at once without closing.
class BluetoothChannel {
public:
    BluetoothChannel(int fd, std::uint16_t psm, std::string peerAddress, bool incoming);
    ~BluetoothChannel();
    BluetoothChannel(const BluetoothChannel&) = delete;
    BluetoothChannel& operator=(const BluetoothChannel&) = delete;

    int fd() const { return fd_; }
    std::uint16_t psm() const { return psm_; }
    const std::string& peerAddress() const { return peerAddress_; }
    bool incoming() const { return incoming_; }
    void shutdown();

private:
    int fd_;
    std::uint16_t psm_;
    std::string peerAddress_;
    bool incoming_;
    std::once_flag shutdownOnce_;
};
using BluetoothChannelRef = std::shared_ptr<BluetoothChannel>;

class BluetoothHost {
public:
    static constexpr std::uint16_t kControlPSM = 0x0011;
    static constexpr std::uint16_t kInterruptPSM = 0x0013;

    struct Events {
        // A channel (incoming or outgoing) was set up; `result` is the stack's status when it tells one.
        std::function<void(const std::string& peer, std::uint16_t psm, std::optional<int> result, bool incoming)>
            channelOpened;
        // The channel for an attempt or an incoming connection; null when an attempt failed.
        std::function<void(const std::string& peer, BluetoothChannelRef channel)> channelReady;
        // A channel that the stack saw closed (the logic clears its slot only if it still holds that one).
        std::function<void(const std::string& peer, BluetoothChannelRef channel)> channelClosed;
        // The baseband link to a peer came up or went down.
        std::function<void(const std::string& peer)> linkUp;
        std::function<void(const std::string& peer)> linkDown;
        std::function<void(const std::string& peer)> pairingCompleted;
        // An adapter appeared or was powered on: a start that failed may be tried again.
        std::function<void()> adapterAvailable;
    };

    virtual ~BluetoothHost() = default;
    virtual void setEvents(Events events) = 0;

    // Publishes the record and starts accepting the HID channels; false with `error` set when that fails
    // (no adapter, no Bluetooth service, the HID channels taken by another program).
    virtual bool publish(const SdpRecord& record, std::string& error) = 0;
    // Withdraws the record and stops accepting channels; harmless when nothing is published.
    virtual void withdraw() = 0;
    // Advertises this computer as `classOfDevice` for `seconds`; false with `error` when it cannot.
    virtual bool setClassOfDevice(std::uint32_t classOfDevice, double seconds, std::string& error) = 0;
    // The adapter's Bluetooth name, empty when unknown.
    virtual std::string controllerName() = 0;
    // Discoverable, connectable and pairable now.
    virtual void makeDiscoverable() = 0;
    virtual bool discoverable() = 0;
    // Pairing requests are accepted only from this address, and only while set; none refuses all.
    virtual void setPairingPeer(std::optional<std::string> address) = 0;
    // Incoming links can be seen (the stack's event source is there).
    virtual bool canSeeConnections() = 0;
    // The stack knows this peer (it can be paged).
    virtual bool knowsPeer(const std::string& address) = 0;
    virtual void disconnectPeer(const std::string& address) = 0;
    // Starts an outgoing L2CAP channel attempt; the outcome arrives as channelReady. With no baseband link
    // to a known peer, the attempt pages it and the link comes up with the channel (then linkUp too).
    virtual void openChannel(const std::string& address, std::uint16_t psm) = 0;

    // The backend for this computer's adapter.
    static std::shared_ptr<BluetoothHost> system();
};

} // namespace pokescope
