// The application a stdio bridge started by itself. It is no child of the test, so it is found through
// its per-port lock file (which holds its process id) and stopped when the object goes, so a test leaves
// nothing running even when its checks fail.
#pragma once

#include "tests/support/TestSupport.hpp"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace pokescope::test {

class LaunchedApp {
public:
    explicit LaunchedApp(std::filesystem::path lockFile) : lockFile_(std::move(lockFile)) {}
    ~LaunchedApp() { stop(); }
    LaunchedApp(const LaunchedApp&) = delete;
    LaunchedApp& operator=(const LaunchedApp&) = delete;

    // The process holding the lock when it is this test's pokescope executable, else none.
    std::optional<int> pid() const {
        std::string text = readFile(lockFile_);
        if (text.empty() || !locked())
            return std::nullopt;
        int pid = std::stoi(text);
        std::error_code error;
        auto exe = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
        if (error || !std::filesystem::equivalent(exe, binaryPath(), error))
            return std::nullopt;
        return pid;
    }

    static bool alive(int pid) {
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        auto close = stat.rfind(')');
        return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
    }

    void stop() {
        auto found = pid();
        if (!found)
            return;
        for (int signal : {SIGTERM, SIGKILL}) {
            ::kill(*found, signal);
            for (int i = 0; i < 200 && alive(*found); ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (!alive(*found))
                return;
        }
    }

private:
    // Someone holds the lock when this process can't take it.
    bool locked() const {
        int fd = ::open(lockFile_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
        ::close(fd);
        return held;
    }

    std::filesystem::path lockFile_;
};

} // namespace pokescope::test
