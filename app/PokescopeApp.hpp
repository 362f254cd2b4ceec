// The application mode: builds the process's services and hands the main thread to the main queue.
#pragma once

#include "app/Entry.hpp"
#include "app/Services.hpp"

namespace pokescope::PokescopeApp {

// Runs until the process is ended by a signal or a quit; returns the exit status.
int run(const Entry::Options& options);

// The backends of a run: the simulated iPhone (with the switches POKESCOPE_SELFTEST_SIM and the self-tests
// set) when `options.simulate`, else this computer's devices.
Backends backendsFor(const Entry::Options& options);

} // namespace pokescope::PokescopeApp
