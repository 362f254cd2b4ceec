// One application per agent port: the application mode holds an flock(2) on a per-port lock file for its
// whole life, so two starts on the same port (two bridges launching at once, say) never give two
// applications fighting over the port, the phone and the log. The kernel drops the lock when the process
// ends, however it ends, so a crash leaves no stale lock behind.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

namespace pokescope {

class InstanceLock {
public:
    // pokescope-<port>.lock in $XDG_RUNTIME_DIR when that is set, else in /tmp/pokescope-<uid> (this user's
    // own folder, whatever HOME says), else in the state folder.
    static std::filesystem::path pathFor(std::uint16_t port);

    // Takes the lock for `port` without waiting and writes this process's id into the file; none when
    // another process holds it. Throws std::system_error when the file cannot be opened or locked.
    static std::optional<InstanceLock> acquire(std::uint16_t port);

    // Where the application holding the lock for `port` listens for "show your window" from a second
    // start: beside the lock file, pokescope-<port>.socket.
    static std::filesystem::path socketPathFor(std::uint16_t port);

    // For the application's start: holds the lock for `port` for the rest of the process. When another
    // application has it, `handOver` (if given) may pass the start on to it: when it returns true the
    // process ends with status 0; otherwise this says on standard error that another application has the
    // port and ends the process with status 1. Port 0 (a port the system picks) takes no lock.
    static void holdForProcessOrExit(std::uint16_t port, const std::function<bool()>& handOver = {});

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
