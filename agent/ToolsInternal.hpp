// Pieces the tool files share.
#pragma once

#include "device/MobileDevice.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace pokescope::Tools {

// The phone the application model selected, else the first on USB.
std::optional<PhoneInfo> selectedPhone();

// Device pixels per screenshot pixel for a frame of this size: frames already small are sent as they are.
double scaleFor(int width, int height);

// {"type": "text", "text": s}, one content item of a tool result.
inline nlohmann::json textItem(const std::string& s) { return nlohmann::json{{"type", "text"}, {"text", s}}; }

} // namespace pokescope::Tools
