// The window application on Qt: the main queue handed to Qt's event loop, the main and settings windows,
// the tray item, and the local socket through which a second start shows the running one's window.
#pragma once

#include "app/Entry.hpp"

#include <cstdint>
#include <string>

namespace pokescope {
class Services;
}

namespace pokescope::PokescopeWindows {

// Why there can be no windows: "--headless" or no display; empty when windows can open.
std::string noWindowsReason(const Entry::Options& options);

// Creates the process's QApplication (kept for the rest of the process) and runs the main queue's work
// inside its event loop from then on. `offscreen` renders without a display.
void createApplication(bool offscreen);

// Asks the application holding `port` to show its window; true when it answered.
bool askRunningInstanceToShow(std::uint16_t port);

// Runs the window application until it quits; returns the exit status.
int run(const Entry::Options& options, Services& services);

} // namespace pokescope::PokescopeWindows
