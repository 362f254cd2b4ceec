#include "platform/AtomicFile.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pokescope {

namespace {

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string errnoText() { return std::strerror(errno); }

} // namespace

bool writeFileAtomically(const std::filesystem::path& file, const std::string& text, std::string& failure) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temporary = file;
    temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        failure = errnoText();
        return false;
    }
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    failure = ok ? "" : errnoText();
    ::close(fd);
    if (ok && ::rename(temporary.c_str(), file.c_str()) != 0) {
        ok = false;
        failure = errnoText();
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    int dir = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(),
                     O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

} // namespace pokescope
