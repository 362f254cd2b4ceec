// Phones that share their screen and sound over the USB cable itself: the phone's screen-sharing
// interface (two bulk endpoints in a configuration the phone shows only when asked), found, opened and
// read as a byte stream. What the bytes mean is capture/usb's; this layer only moves them.
//
// Backends: linux/LibusbScreen (libusb, real phones), sim/SimUsbScreen (the simulated iPhone's
// device side over a connected socket pair).
//
// Thread contract: every member may be called from any thread. `received` and `closed` run on the link's
// own reading thread, one at a time; `closed` runs once and nothing of the link runs after it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pokescope {

struct UsbScreenDevice {
    std::string uniqueID; // the phone's serial number (its UDID)
    std::string name;     // what the phone calls itself, or its product name
};

class UsbScreenLink {
public:
    using Received = std::function<void(std::span<const std::uint8_t> bytes)>;
    // Why the link ended; `deviceGone` when the phone was unplugged rather than failed.
    using Closed = std::function<void(const std::string& reason, bool deviceGone)>;

    virtual ~UsbScreenLink() = default;
    // Starts reading the phone's bulk IN endpoint.
    virtual void start(Received received, Closed closed) = 0;
    // Writes one whole packet to the bulk OUT endpoint and waits until it is sent; false with `error`.
    virtual bool write(std::span<const std::uint8_t> bytes, std::string& error) = 0;
    // Stops reading, releases the interface and returns the phone to its normal configuration. Once it
    // returns no callback of this link runs again. Safe to call more than once.
    virtual void close() = 0;
};

class UsbScreenHost {
public:
    using DeviceEventHandler = std::function<void(const std::string& uniqueID, bool connected)>;

    virtual ~UsbScreenHost() = default;
    // Phones on USB that can share their screen over it (whether or not sharing is on now).
    virtual std::vector<UsbScreenDevice> devices() = 0;
    // Phones plugged in or removed; the handler runs on any thread.
    virtual void setDeviceEvents(DeviceEventHandler handler) = 0;
    // Switches the phone to its screen-sharing configuration and opens the interface; none with `error`.
    virtual std::unique_ptr<UsbScreenLink> open(const UsbScreenDevice& device, std::string& error) = 0;
    // Why no phone can be used this way here (no USB access, no library), for the log; empty when fine.
    virtual std::string problem() const = 0;

    // The host for real phones on this computer, one per process; when it cannot start, a host with no
    // devices whose `problem` says why.
    static std::shared_ptr<UsbScreenHost> system();
};

} // namespace pokescope
