// The switches every mode shares: whether the phone is simulated, whether there are windows, and the
// agent server's port. The entry reads them from the command line; the stdio bridge passes them on to
// the application it starts.
#pragma once

#include <cstdint>
#include <optional>

namespace pokescope {

struct LaunchOptions {
    bool simulate = false;               // --simulate: run against the simulated iPhone
    bool headless = false;               // --headless: no windows
    std::optional<std::uint16_t> port;   // --port N, --port=N, or POKESCOPE_PORT
};

// The port the agent server listens on: the option, else 47811.
std::uint16_t serverPort(const LaunchOptions& options);

} // namespace pokescope
