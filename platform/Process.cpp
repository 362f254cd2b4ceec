#include "platform/Process.hpp"

#include <cstdio>
#include <cstdlib>

namespace pokescope {

void atProcessExit(void (*hook)()) {
    std::atexit(hook);
    std::at_quick_exit(hook);
}

void exitProcess(int status) {
    std::fflush(nullptr);
    std::quick_exit(status);
}

} // namespace pokescope
