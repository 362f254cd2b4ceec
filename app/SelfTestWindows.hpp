// The self-test modes that draw: they render views and the icon off screen (or open the real settings
// window) and write PNG files under /tmp. They need the window toolkit, unlike every other mode.
#pragma once

#include "app/Entry.hpp"

#include <string>
#include <vector>

namespace pokescope::SelfTestWindows {

// True for "window-settings", "render-settings", "render-icon", "render-welcome" and "render-main".
bool handles(const std::string& mode);

// Runs one of those modes and ends the process: status 0 when its file was written, 1 when not (the log
// says why). "render-icon" takes the icon set's folder as an optional extra argument.
[[noreturn]] void run(const std::string& mode, const Entry::Options& options, const std::vector<std::string>& extra);

} // namespace pokescope::SelfTestWindows
