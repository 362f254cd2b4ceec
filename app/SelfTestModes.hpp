// The self-test modes behind SelfTest::run. Each starts on the main queue, starts the services it needs
// and arranges its own end; the Bluetooth modes take the HID device down before every exit.
#pragma once

#include "app/Services.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Image.hpp"

#include <string>
#include <vector>

namespace pokescope::SelfTest::Modes {

void usb(Services& services);
void transcribe(Services& services, const std::vector<std::string>& extra);
void wiggle(Services& services, Duration timeout);
void input(Services& services, Duration timeout);

// Writes the picture to `path` and logs "selftest wrote " + path, or the line saying why it could not.
bool reportPicture(const ImageRef& image, const std::string& path); // false when it could not be written

} // namespace pokescope::SelfTest::Modes
