// The application mode: builds the process's services and hands the main thread to the main queue.
#pragma once

#include "app/Entry.hpp"
#include "app/Services.hpp"

#include <string>

namespace pokescope::PokescopeApp {

// Runs until the process is ended by a signal or a quit; returns the exit status.
int run(const Entry::Options& options);

// The backends of a run: the simulated iPhone (with the switches POKESCOPE_SELFTEST_SIM and the self-tests
// set) when `options.simulate`, else this computer's devices.
Backends backendsFor(const Entry::Options& options);

// Another program holds the agent server's port: says `sentence` in the log and on standard error and
// ends the process with status 1.
[[noreturn]] void endForTakenPort(const std::string& sentence);

} // namespace pokescope::PokescopeApp
