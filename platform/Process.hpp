// Ending the process. Queue threads keep running until the very end, so the process must not run the
// static destructors of the libraries they use (error categories, I/O services) underneath them: every
// deliberate exit goes through `exitProcess`, which runs the registered exit hooks and leaves without
// static destruction.
#pragma once

namespace pokescope {

// Runs `hook` when the process ends through exitProcess, std::exit or a return from main.
void atProcessExit(void (*hook)());

[[noreturn]] void exitProcess(int status);

} // namespace pokescope
