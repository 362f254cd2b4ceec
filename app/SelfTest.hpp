// Command-line diagnostics: `pokescope --selftest <mode> [arguments…]` exercises one part of the system,
// reports through the log (which prints every line) and exits: 0 when the mode finishes, 1 on a time-out,
// 2 for an unknown mode.
#pragma once

#include "app/Entry.hpp"

#include <string>
#include <vector>

namespace pokescope::SelfTest {

// Starts the mode on the main queue and runs the main queue; the mode ends the process itself.
void run(const std::string& mode, const std::vector<std::string>& extra, const Entry::Options& options);

} // namespace pokescope::SelfTest
