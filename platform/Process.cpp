#include "platform/Process.hpp"

#include <cstdio>
#include <cerrno>
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

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pokescope {

bool awaitReadable(int fd, int wakeFd) {
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (fds[1].revents)
            return false;
        if (fds[0].revents & POLLIN)
            return true;
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
            return false;
    }
}

ProcessResult runProcess(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
    ProcessResult result;
    if (arguments.empty())
        return result;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    std::vector<std::string> copy = arguments;
    std::vector<char*> argv;
    for (auto& argument : copy)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return result;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fd{out[0], POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        result.output.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace pokescope
