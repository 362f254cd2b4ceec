// The program's entry: signal and exit handling that take the Bluetooth device down however the process
// ends, then one of three modes chosen from the command line: the stdio bridge ("--stdio"), a self-test
// ("--selftest <mode> [arguments…]") or the application.
#pragma once

#include "agent/LaunchOptions.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pokescope::Entry {

// The project's own switches, taken out of the arguments before the mode is chosen.
using Options = LaunchOptions;

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

using pokescope::serverPort;

int main(int argc, char** argv);

} // namespace pokescope::Entry
