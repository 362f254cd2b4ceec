#include "app/InstanceLock.hpp"

#include "platform/Paths.hpp"
#include "platform/Process.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace pokescope {

namespace fs = std::filesystem;

namespace {

// /tmp/pokescope-<uid>, this user's own: made with mode 0700 when missing, and used only when it is a real
// folder (no link) that this user owns and nobody else may enter; none otherwise.
std::optional<fs::path> userTemporaryFolder() {
    const fs::path folder = "/tmp/pokescope-" + std::to_string(::getuid());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return std::nullopt;
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 077) != 0)
        return std::nullopt;
    return folder;
}

} // namespace

fs::path InstanceLock::pathFor(std::uint16_t port) {
    // Where every Pokescope of this user looks, whatever its HOME: two applications with different homes
    // must still find each other's lock.
    std::string name = "pokescope-" + std::to_string(port) + ".lock";
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return fs::path(runtime) / name;
    if (auto folder = userTemporaryFolder())
        return *folder / name;
    return Paths::stateFolder() / name;
}

std::optional<InstanceLock> InstanceLock::acquire(std::uint16_t port) {
    fs::path path = pathFor(port);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "can't open " + path.string());
    InstanceLock lock(fd);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return std::nullopt;
        if (errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "can't lock " + path.string());
    }
    // The holder's process id, for whoever needs to find the application serving this port.
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
        throw std::system_error(errno, std::generic_category(), "can't write " + path.string());
    return lock;
}

std::filesystem::path InstanceLock::socketPathFor(std::uint16_t port) {
    return pathFor(port).replace_extension(".socket");
}

void InstanceLock::holdForProcessOrExit(std::uint16_t port, const std::function<bool()>& handOver) {
    if (port == 0)
        return;
    try {
        auto lock = acquire(port);
        if (!lock && handOver && handOver()) {
            std::fprintf(stderr, "pokescope: Pokescope is already running on port %u; showing its window\n",
                         unsigned{port});
            exitProcess(0);
        }
        if (!lock) {
            std::fprintf(stderr, "pokescope: another Pokescope is already running on port %u\n",
                         unsigned{port});
            exitProcess(1);
        }
        static auto* held =
            new InstanceLock(std::move(*lock)); // released by the kernel when the process ends
        (void)held;
    } catch (const std::system_error& e) {
        // Without a lock file the port itself still keeps a second server out; say so and go on.
        std::fprintf(stderr, "pokescope: %s; starting without the single-instance lock\n", e.what());
    }
}

InstanceLock::InstanceLock(InstanceLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

InstanceLock& InstanceLock::operator=(InstanceLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

InstanceLock::~InstanceLock() {
    if (fd_ >= 0)
        ::close(fd_); // closing the last descriptor of the open file releases the lock
}

} // namespace pokescope
