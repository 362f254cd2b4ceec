// One application per agent port: the application mode holds an flock(2) on a per-port lock file for its
// whole life, so two starts on the same port (two bridges launching at once, say) never give two
// applications fighting over the port, the phone and the log. The kernel drops the lock when the process
// ends, however it ends, so a crash leaves no stale lock behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace pokescope {

class InstanceLock {
public:
    // pokescope-<port>.lock in $XDG_RUNTIME_DIR when that is set, else in the state folder.
    static std::filesystem::path pathFor(std::uint16_t port);

    // Takes the lock for `port` without waiting and writes this process's id into the file; none when
    // another process holds it. Throws std::system_error when the file cannot be opened or locked.
    static std::optional<InstanceLock> acquire(std::uint16_t port);

    // For the application's start: holds the lock for `port` for the rest of the process, or says on
    // standard error that another application has the port and ends the process with status 1. Port 0
    // (a port the system picks) cannot collide and takes no lock.
    static void holdForProcessOrExit(std::uint16_t port);

    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&& other) noexcept;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();

private:
    explicit InstanceLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

} // namespace pokescope
