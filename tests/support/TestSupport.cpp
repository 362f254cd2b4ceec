#include "tests/support/TestSupport.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <utility>
#include <gtest/gtest.h>
#include <iostream>
#include <iterator>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace pokescope::test {

namespace fs = std::filesystem;
using namespace std::chrono;

TempFolder::TempFolder() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = fs::temp_directory_path() / ("pokescope-test-" + std::to_string(random()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("can't make a temporary folder");
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

static void put(const std::string& name, const std::optional<std::string>& value) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
    for (auto& [name, value] : saved_)
        put(name, value);
}

void ScopedEnvironment::set(const std::string& name, const std::optional<std::string>& value) {
    if (const char* old = std::getenv(name.c_str()); !saved_.count(name))
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    put(name, value);
}

TempHome::TempHome() {
    environment_.set("HOME", path().string());
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR",
                             "XDG_PICTURES_DIR", "XDG_VIDEOS_DIR", "POKESCOPE_PORT"})
        environment_.set(name, std::nullopt);
}

std::vector<std::string> TempHome::environment() const {
    return {"HOME=" + path().string(), "XDG_CONFIG_HOME=", "XDG_STATE_HOME=", "XDG_DATA_HOME=",
            "XDG_RUNTIME_DIR=", "POKESCOPE_PORT="};
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> splitLines(const std::string& text, char separator) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
        result.push_back(text.substr(start, end - start));
    if (start < text.size())
        result.push_back(text.substr(start));
    return result;
}

long openDescriptors() { return std::distance(fs::directory_iterator("/proc/self/fd"), {}); }

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

Child::Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment, bool pipeStdin) {
    int outPipe[2], errPipe[2], inPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC) || (pipeStdin && ::pipe2(inPipe, O_CLOEXEC)))
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
    if (pipeStdin)
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        env[entry.substr(0, eq)] = eq == std::string::npos ? "" : entry.substr(eq + 1);
    }
    // Children open no windows on the desktop the tests happen to run on, unless a test gives a display.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.erase(name);
    for (const auto& entry : environment) {
        auto eq = entry.find('=');
        std::string name = entry.substr(0, eq), value = entry.substr(eq + 1);
        if (value.empty() && (name.rfind("XDG_", 0) == 0 || name == "POKESCOPE_PORT"))
            env.erase(name);
        else
            env[name] = value;
    }
    std::vector<std::string> envStrings, args = arguments;
    for (auto& [name, value] : env)
        envStrings.push_back(name + "=" + value);
    auto pointers = [](std::vector<std::string>& strings) {
        std::vector<char*> list;
        for (auto& s : strings)
            list.push_back(s.data());
        return list.push_back(nullptr), list;
    };
    std::vector<char*> envp = pointers(envStrings), argv = pointers(args);

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    int rc = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    for (int fd : {outPipe[1], errPipe[1], inPipe[0]})
        if (fd >= 0)
            ::close(fd);
    if (rc != 0)
        throw std::runtime_error(std::string("spawn failed: ") + std::strerror(rc));
    out_ = outPipe[0], err_ = errPipe[0], in_ = inPipe[1];
}

Child::~Child() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait(seconds(10));
    }
    for (int fd : {out_, err_, in_})
        if (fd >= 0)
            ::close(fd);
}

void Child::pump(milliseconds timeout) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(timeout.count())) <= 0)
        return;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP)))
            continue;
        ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0)
            (i == 0 ? outText_ : errText_).append(buffer, static_cast<size_t>(n));
    }
}

std::optional<std::string> Child::waitForLine(const std::string& text, milliseconds timeout) {
    auto deadline = steady_clock::now() + timeout;
    size_t searched = 0;
    while (true) {
        size_t found = outText_.find(text, searched > text.size() ? searched - text.size() : 0);
        if (found != std::string::npos) {
            size_t start = outText_.rfind('\n', found);
            start = start == std::string::npos ? 0 : start + 1;
            size_t end = outText_.find('\n', found);
            return outText_.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        searched = outText_.size();
        auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        if (status_ || (wait(milliseconds(0)), status_)) {
            pump(milliseconds(50));
            if (outText_.size() == searched)
                return std::nullopt;
            continue;
        }
        pump(std::min(left, milliseconds(100)));
    }
}


void Child::writeInput(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

void Child::closeInput() {
    if (in_ >= 0)
        ::close(in_);
    in_ = -1;
}

void Child::signal(int number) {
    if (pid_ > 0 && !status_)
        ::kill(pid_, number);
}

std::optional<int> Child::wait(milliseconds timeout) {
    if (status_)
        return status_;
    auto deadline = steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pump(milliseconds(0));
            return status_;
        }
        if (steady_clock::now() >= deadline)
            return std::nullopt;
        pump(milliseconds(20));
    }
}

std::string run(std::vector<std::string> arguments, seconds timeout) {
    arguments.insert(arguments.begin(), "/usr/bin/env");
    Child child(arguments);
    const auto status = child.wait(timeout);
    EXPECT_TRUE(status && *status == 0) << arguments[1] << ": " << child.errors();
    return child.output();
}

fs::path ffmpegWrites(const fs::path& file, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"});
    arguments.push_back(file.string());
    run(arguments);
    return file;
}

fs::path binaryPath() { return POKESCOPE_BINARY; }
fs::path sourcePath() { return POKESCOPE_SOURCE_DIR; }

void showLogOnFailure(const std::string& log) {
    if (testing::Test::HasFailure())
        std::cout << "the application's log:\n" << log.substr(log.size() > 20000 ? log.size() - 20000 : 0) << "\n";
}

RunningApp startApp(const TempHome& home, const std::vector<std::string>& extraArguments,
                    const std::vector<std::string>& extraEnvironment) {
    std::vector<std::string> arguments{binaryPath().string(), "--headless", "--port", "0"};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    auto environment = home.environment();
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    RunningApp app;
    app.child = std::make_unique<Child>(arguments, environment);
    auto line = app.child->waitForLine("mcp: listening on http://127.0.0.1:", seconds(30));
    if (!line)
        throw std::runtime_error("the application did not start its server: " + app.child->output() +
                                 app.child->errors());
    auto colon = line->rfind(':');
    app.port = std::stoi(line->substr(colon + 1));
    return app;
}

bool eventually(const std::function<bool()>& condition, milliseconds timeout) {
    for (auto deadline = steady_clock::now() + timeout; !condition(); std::this_thread::sleep_for(5ms))
        if (steady_clock::now() > deadline)
            return false;
    return true;
}

int loopbackSocket(bool listening, std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(fd, 8) != 0) || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("can't bind a loopback port");
    port = ntohs(address.sin_port);
    return fd;
}

int freePort() {
    std::uint16_t port = 0;
    ::close(loopbackSocket(false, port));
    return port;
}

RawClient::RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawClient::~RawClient() {
    if (fd_ >= 0)
        ::close(fd_);
}

void RawClient::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

int RawClient::receive(steady_clock::time_point deadline) {
    auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
    pollfd fd{fd_, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&fd, 1, static_cast<int>(left.count())) <= 0)
        return -1;
    char buffer[65536];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0)
        pending_.append(buffer, static_cast<size_t>(n));
    return n > 0 ? 1 : 0;
}

std::optional<std::string> RawClient::readResponse(milliseconds timeout) {
    for (auto deadline = steady_clock::now() + timeout;;) {
        size_t headEnd = pending_.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            size_t length = 0;
            std::string head = pending_.substr(0, headEnd);
            auto at = head.find("Content-Length: ");
            if (at != std::string::npos)
                length = std::stoul(head.substr(at + 16));
            if (pending_.size() >= headEnd + 4 + length) {
                std::string response = pending_.substr(0, headEnd + 4 + length);
                pending_.erase(0, headEnd + 4 + length);
                return response;
            }
        }
        if (receive(deadline) <= 0)
            return std::nullopt;
    }
}

bool RawClient::closedByPeer(milliseconds timeout) {
    for (auto deadline = steady_clock::now() + timeout;;)
        if (int got = receive(deadline); got <= 0)
            return got == 0;
}

std::optional<std::string> RawClient::readUntilClosed(milliseconds timeout) {
    if (!closedByPeer(timeout))
        return std::nullopt;
    return std::exchange(pending_, {});
}

std::optional<std::string> roundTrip(int port, const std::string& request) {
    RawClient client(port);
    if (!client.connected())
        return std::nullopt;
    client.send(request);
    return client.readResponse();
}

std::string post(const std::string& body, const std::string& extraHeaders) {
    return "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

std::string bodyOf(const std::string& response) {
    auto at = response.find("\r\n\r\n");
    return at == std::string::npos ? "" : response.substr(at + 4);
}

std::time_t localTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm local{};
    local.tm_year = year - 1900, local.tm_mon = month - 1, local.tm_mday = day;
    local.tm_hour = hour, local.tm_min = minute, local.tm_sec = second, local.tm_isdst = -1;
    return std::mktime(&local);
}

} // namespace pokescope::test
