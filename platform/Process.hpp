// Ending the process. Queue threads keep running until the very end, so the process must not run the
// static destructors of the libraries they use (error categories, I/O services) underneath them: every
// deliberate exit goes through `exitProcess`, which runs the registered exit hooks and leaves without
// static destruction.
#pragma once

namespace pokescope {

// Runs `hook` when the process ends through exitProcess, std::exit or a return from main.
void atProcessExit(void (*hook)());

// Blocks until `fd` has something to read (true), or until `wakeFd` has (another thread asking the caller
// to stop) or waiting fails (false).
bool awaitReadable(int fd, int wakeFd);

[[noreturn]] void exitProcess(int status);

} // namespace pokescope

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace pokescope {

struct ProcessResult {
    int status = -1; // exit status, 128 + signal when killed, -1 when it could not start
    std::string output; // standard output
};

// Runs a program (looked up on PATH) with the given arguments and no standard input, collecting its
// standard output; killed when it outlives `timeout`. The child starts with no signals blocked.
ProcessResult runProcess(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout);

} // namespace pokescope
