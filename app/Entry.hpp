// The program's entry: signal and exit handling that take the Bluetooth device down however the process
// ends, then one of three modes chosen from the command line: the stdio bridge ("--stdio"), a self-test
// ("--selftest <mode> [arguments…]") or the application.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pokescope::Entry {

// The project's own switches, taken out of the arguments before the mode is chosen.
struct Options {
    bool simulate = false;               // --simulate: run against the simulated iPhone
    bool headless = false;               // --headless: no windows
    std::optional<std::uint16_t> port;   // --port N, --port=N, or POKESCOPE_PORT
};

struct Mode {
    enum class Kind { application, stdio, selftest };
    Kind kind = Kind::application;
    std::string selftestMode;
    std::vector<std::string> extra;
    Options options;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The mode for an argument list whose first element is the program path. `portVariable` is the value of
// POKESCOPE_PORT, if set. Throws UsageError for a port that is not a number from 0 to 65535.
Mode parse(const std::vector<std::string>& arguments, const std::optional<std::string>& portVariable);

// The port the agent server listens on: the option, else 47811.
std::uint16_t serverPort(const Options& options);

int main(int argc, char** argv);

} // namespace pokescope::Entry
