#include "platform/AtomicFile.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pokescope {

namespace {

// Names are drawn at random, so this many collisions in a row mean something else is wrong.
constexpr int kNameAttempts = 8;

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

// 64 random bits as hex. The temporary name sits in the target's folder, which may be shared (/tmp):
// a name nobody can predict leaves nobody time to plant something there first.
std::string randomSuffix() {
    std::uint64_t value = 0;
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    std::size_t got = 0;
    while (got < sizeof value) {
        ssize_t n = ::getrandom(bytes + got, sizeof value - got, 0);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// A new, empty file of this user's only, made by this call: never an existing file, never through a
// symbolic link. -1 with errno set when none could be made.
int createTemporary(const std::filesystem::path& file, std::filesystem::path& temporary) {
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        temporary = file;
        temporary += ".tmp-" + randomSuffix();
        int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

} // namespace

bool writeFileAtomically(const std::filesystem::path& file, const std::string& text, std::string& failure) {
    std::filesystem::path temporary;
    int fd = createTemporary(file, temporary);
    if (fd < 0) {
        failure = errnoText();
        return false;
    }
    // The mode asked for at creation is narrowed by the umask, never widened; make it exactly 0600.
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    failure = ok ? "" : errnoText();
    ::close(fd);
    // rename replaces a symbolic link at `file` itself (it never follows it) and fails on a folder.
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

int removeOrphanedTemporaries(const std::filesystem::path& file, std::chrono::seconds olderThan) {
    const std::string prefix = file.filename().string() + ".tmp-";
    const auto now = std::filesystem::file_time_type::clock::now();
    std::error_code ec;
    int removed = 0;
    for (std::filesystem::directory_iterator it(file.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() != prefix.size() + 16 || !name.starts_with(prefix) ||
            name.find_first_not_of("0123456789abcdef", prefix.size()) != std::string::npos)
            continue;
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid())
            continue;
        std::error_code timeError;
        const auto changed = std::filesystem::last_write_time(it->path(), timeError);
        if (timeError || now - changed < olderThan)
            continue;
        removed += ::unlink(it->path().c_str()) == 0;
    }
    return removed;
}

} // namespace pokescope
