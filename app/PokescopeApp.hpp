// The application mode: starts the long-lived services and hands the main thread to the main queue.
#pragma once

#include "app/Entry.hpp"

namespace pokescope::PokescopeApp {

// Runs until the process is ended by a signal or a quit; returns the exit status.
int run(const Entry::Options& options);

// Plugs the simulated iPhone in for the whole run: device discovery, screen capture and the Bluetooth
// host all reach it. Called before the application model starts.
void plugInSimulatedPhone();

} // namespace pokescope::PokescopeApp
