// Pieces the tool files share.
#pragma once

#include "device/MobileDevice.hpp"

#include <optional>

namespace pokescope::Tools {

// The phone the application model selected, else the first on USB.
std::optional<PhoneInfo> selectedPhone();

} // namespace pokescope::Tools
