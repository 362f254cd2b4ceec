// Helpers shared by the test suites: temporary folders standing in for the user's home, child processes
// of the pokescope executable, and a raw HTTP client that sends exactly the bytes a test gives it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pokescope::test {

// A fresh folder under the temporary folder, removed again at the end of the test.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets environment variables for the life of the object, restoring the old values afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    void set(const std::string& name, const std::optional<std::string>& value);

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// Points HOME and the XDG folders of this process at a temporary folder.
class TempHome {
public:
    TempHome();
    const std::filesystem::path& path() const { return folder_.path(); }
    // The environment a child process needs to use the same folders.
    std::vector<std::string> environment() const;

private:
    TempFolder folder_;
    ScopedEnvironment environment_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& text);
// The lines of `text`, split at `separator`; an unterminated last one counts too.
std::vector<std::string> splitLines(const std::string& text, char separator = '\n');
long openDescriptors();
// The time that local clocks show as that date and time (month 1 to 12).
std::time_t localTime(int year, int month, int day, int hour, int minute, int second);
// The exception of type E that `action` throws; none, and a failed test, when it throws none.
template <class E, class F> std::optional<E> thrown(F&& action) {
    try {
        action();
    } catch (const E& error) {
        return error;
    }
    ADD_FAILURE() << "nothing was thrown";
    return std::nullopt;
}
// Polls `condition` every few milliseconds until it holds (true) or `timeout` has passed (false).
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(20));

// A child process with its standard output and standard error read through pipes.
class Child {
public:
    // `environment` entries ("NAME=value") are added to (or replace in) this process's environment. The
    // display variables (DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM) are not passed on unless given here.
    Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {},
          bool pipeStdin = false);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int pid() const { return pid_; }
    // Waits until standard output holds a line containing `text`; returns that line.
    std::optional<std::string> waitForLine(const std::string& text, std::chrono::milliseconds timeout);
    // Everything read from standard output or standard error so far.
    std::string output() { return pump(std::chrono::milliseconds(0)), outText_; }
    std::string errors() { return pump(std::chrono::milliseconds(0)), errText_; }
    void writeInput(const std::string& text);
    void closeInput();
    void signal(int number);
    // The exit status (or 128 + signal), or none when the child has not ended within `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);

private:
    void pump(std::chrono::milliseconds timeout);
    int pid_ = -1;
    int out_ = -1, err_ = -1, in_ = -1;
    std::string outText_, errText_;
    std::optional<int> status_;
};

// Runs a program found on the PATH to its end, expecting it to succeed; returns its standard output.
std::string run(std::vector<std::string> arguments, std::chrono::seconds timeout = std::chrono::seconds(120));
// Writes `file` with ffmpeg from the given input and output arguments; returns the file.
std::filesystem::path ffmpegWrites(const std::filesystem::path& file, std::vector<std::string> arguments);

std::filesystem::path binaryPath();
std::filesystem::path sourcePath();

// Starts `pokescope --headless --port 0` in `home`, waits for its server and returns the port.
struct RunningApp {
    std::unique_ptr<Child> child;
    int port = 0;
};
RunningApp startApp(const TempHome& home, const std::vector<std::string>& extraArguments = {},
                    const std::vector<std::string>& extraEnvironment = {});
// When a check of the running test failed, prints the end of the application's `log`, which says why.
void showLogOnFailure(const std::string& log);

// A loopback port that was free a moment ago.
int freePort();
// A socket bound to a loopback port the system chooses (`port`), listening or (for a port nothing can
// connect to or bind) only bound, without SO_REUSEADDR.
int loopbackSocket(bool listening, std::uint16_t& port);

// A blocking loopback TCP client for exact-byte HTTP tests.
class RawClient {
public:
    explicit RawClient(int port);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool connected() const { return fd_ >= 0; }
    void send(const std::string& bytes);
    // Reads one complete HTTP response (head + Content-Length body); none on time-out or close.
    std::optional<std::string> readResponse(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True once the server has closed the connection (reads end), within `timeout`.
    bool closedByPeer(std::chrono::milliseconds timeout);
    // Every byte received until the server closed the connection; none on time-out.
    std::optional<std::string> readUntilClosed(std::chrono::milliseconds timeout);
    int fd() const { return fd_; }

private:
    // Waits until `deadline` for bytes and keeps them: 1 when some came, 0 when the peer closed, -1 on time-out.
    int receive(std::chrono::steady_clock::time_point deadline);
    int fd_ = -1;
    std::string pending_;
};

// Sends one request on a new connection and returns the whole response.
std::optional<std::string> roundTrip(int port, const std::string& request);
// A POST /mcp with the given body and the usual headers.
std::string post(const std::string& body, const std::string& extraHeaders = "");
std::string bodyOf(const std::string& response);

} // namespace pokescope::test
