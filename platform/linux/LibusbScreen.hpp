// Phones that share their screen over the USB cable, through libusb. A phone shows its screen-sharing
// interface (vendor class 0xFF, subclass 0x2A, a bulk IN and a bulk OUT endpoint) only in a configuration
// it adds when asked with a vendor request; opening a link asks, waits for the phone to come back with
// it, selects it and claims that interface alone, so usbmuxd keeps the phone's other interface (lockdown).
// Closing asks the phone to drop the configuration again; so does the end of the process, however it ends
// through exitProcess (signals included), so a phone is never left in the streaming configuration.
#pragma once

#include "platform/UsbScreen.hpp"

#include <memory>

namespace pokescope {

// The libusb backend; when libusb cannot start, a host with no devices whose `problem` says why.
std::shared_ptr<UsbScreenHost> makeLibusbScreenHost();

} // namespace pokescope
