// What the recorder bench needs from other programs and from the process itself: running a command with
// its output collected (and, when asked, its input fed from a thread), the CPU time a process used, and
// what ffprobe says about a movie file.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

namespace recorderbench {

using SteadyClock = std::chrono::steady_clock;

// CPU seconds (user and system) this process has used so far, all threads together.
double processCpuSeconds();
// CPU seconds in a child's resource usage.
double cpuSeconds(const rusage& usage);

// This process's CPU use over a stretch of wall time, in cores.
class CpuMeter {
public:
    CpuMeter();
    double wallSeconds() const;
    double cpuSeconds() const;
    double cores() const;

private:
    SteadyClock::time_point wall_;
    double cpu_;
};

// The system's one-minute load average, as /proc/loadavg gives it.
double loadAverage();

// A program started with its standard output and error going to pipes (and its input from one when
// asked), read as it runs.
class Child {
public:
    // None with `error` set when the program cannot be started.
    static std::optional<Child> spawn(const std::vector<std::string>& argv, bool feedInput, std::string& error);
    Child(Child&& other) noexcept;
    Child& operator=(Child&&) = delete;
    ~Child();

    // The write end of the child's input; the caller closes it with `closeInput`.
    int input() const { return input_; }
    void closeInput();
    // Reads what the child writes until both its outputs close or `until` passes; true once both closed.
    bool pump(std::optional<SteadyClock::time_point> until = std::nullopt);
    void kill(int signal);
    // Waits for the child to end; its exit status as waitpid gives it.
    int wait();

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }
    const rusage& usage() const { return usage_; }

private:
    Child() = default;
    pid_t pid_ = -1;
    int input_ = -1, output_ = -1, errors_ = -1;
    std::string out_, err_;
    rusage usage_{};
};

struct Finished {
    int status = -1;           // as waitpid gives it; -1 when the program could not start
    std::string out, err;      // its output, or why it could not start
    double wallSeconds = 0;
    double cpuSeconds = 0;     // the child's own user and system time
    bool succeeded() const;    // exited normally with status 0
};

// Runs `argv` to its end; `feed`, when given, writes the child's input from a thread of its own (the
// input is closed when it returns).
Finished run(const std::vector<std::string>& argv, const std::function<void(int fd)>& feed = {});

// Writes all of `bytes`; false when the reader went away.
bool writeAll(int fd, const void* bytes, std::size_t size);

// What ffprobe reads from a movie.
struct MovieProbe {
    bool opened = false;      // ffprobe read it without an error
    std::string error;        // what ffprobe said when it did not
    std::string videoCodec, profile;
    int width = 0, height = 0;
    double duration = 0;      // the container's duration, seconds
    long videoFrames = 0;     // frames decoded (`decode`) or packets counted
    double videoEnd = 0;      // end of the last video frame, seconds (with `decode` only)
    bool audio = false;
    std::string audioCodec;
    int sampleRate = 0, channels = 0;
};

// `decode` decodes every video frame (proving the file plays) and finds where its video ends; without it
// packets are only counted.
MovieProbe probeMovie(const std::filesystem::path& file, bool decode);

} // namespace recorderbench
