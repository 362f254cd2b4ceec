#include "bench/recorder/Processes.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace recorderbench {

namespace {

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

struct Pipe {
    int read = -1, write = -1;
    bool open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return false;
        read = fds[0];
        write = fds[1];
        return true;
    }
    void close() {
        closeFd(read);
        closeFd(write);
    }
};

// Appends what `fd` has to `into`; false at its end (or on an error), when the caller closes it.
bool drain(int& fd, std::string& into) {
    char buffer[65536];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    closeFd(fd);
    return false;
}

double number(const nlohmann::json& object, const char* key) {
    if (!object.contains(key))
        return 0;
    const auto& value = object[key];
    if (value.is_number())
        return value.get<double>();
    if (value.is_string()) {
        try {
            return std::stod(value.get<std::string>());
        } catch (const std::exception&) {
            return 0; // "N/A"
        }
    }
    return 0;
}

std::string text(const nlohmann::json& object, const char* key) {
    return object.contains(key) && object[key].is_string() ? object[key].get<std::string>() : std::string();
}

// The end of the last video packet: its presentation time plus its duration.
double videoEnd(const nlohmann::json& packets, int videoIndex) {
    double end = 0;
    for (const auto& packet : packets)
        if (packet.value("stream_index", -1) == videoIndex)
            end = std::max(end, number(packet, "pts_time") + number(packet, "duration_time"));
    return end;
}

void readStreams(const nlohmann::json& streams, MovieProbe& probe, int& videoIndex) {
    for (const auto& stream : streams) {
        const std::string type = text(stream, "codec_type");
        if (type == "video" && videoIndex < 0) {
            videoIndex = stream.value("index", 0);
            probe.videoCodec = text(stream, "codec_name");
            probe.profile = text(stream, "profile");
            probe.width = stream.value("width", 0);
            probe.height = stream.value("height", 0);
            probe.videoFrames = static_cast<long>(
                number(stream, stream.contains("nb_read_frames") ? "nb_read_frames" : "nb_read_packets"));
        } else if (type == "audio" && !probe.audio) {
            probe.audio = true;
            probe.audioCodec = text(stream, "codec_name");
            probe.sampleRate = static_cast<int>(number(stream, "sample_rate"));
            probe.channels = stream.value("channels", 0);
        }
    }
}

} // namespace

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

double cpuSeconds(const rusage& usage) { return seconds(usage.ru_utime) + seconds(usage.ru_stime); }

CpuMeter::CpuMeter() : wall_(SteadyClock::now()), cpu_(processCpuSeconds()) {}

double CpuMeter::wallSeconds() const { return std::chrono::duration<double>(SteadyClock::now() - wall_).count(); }

double CpuMeter::cpuSeconds() const { return processCpuSeconds() - cpu_; }

double CpuMeter::cores() const {
    const double wall = wallSeconds();
    return wall > 0 ? cpuSeconds() / wall : 0;
}

double loadAverage() {
    std::ifstream file("/proc/loadavg");
    double load = 0;
    file >> load;
    return load;
}

std::optional<Child> Child::spawn(const std::vector<std::string>& argv, bool feedInput, std::string& error) {
    Pipe in, out, err;
    if ((feedInput && !in.open()) || !out.open() || !err.open()) {
        error = std::strerror(errno);
        in.close(), out.close(), err.close();
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (feedInput)
        posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
    std::vector<char*> args;
    for (const auto& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    closeFd(in.read);
    closeFd(out.write);
    closeFd(err.write);
    if (rc != 0) {
        error = "can't start " + argv[0] + ": " + std::strerror(rc);
        in.close(), out.close(), err.close();
        return std::nullopt;
    }
    Child child;
    child.pid_ = pid;
    child.input_ = in.write;
    child.output_ = out.read;
    child.errors_ = err.read;
    return child;
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), input_(std::exchange(other.input_, -1)),
      output_(std::exchange(other.output_, -1)), errors_(std::exchange(other.errors_, -1)),
      out_(std::move(other.out_)), err_(std::move(other.err_)), usage_(other.usage_) {}

Child::~Child() {
    closeInput();
    closeFd(output_);
    closeFd(errors_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

void Child::closeInput() { closeFd(input_); }

bool Child::pump(std::optional<SteadyClock::time_point> until) {
    while (output_ >= 0 || errors_ >= 0) {
        int timeout = -1;
        if (until) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - SteadyClock::now());
            if (left.count() <= 0)
                return false;
            timeout = static_cast<int>(left.count());
        }
        pollfd fds[2] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        if (fds[0].revents)
            drain(output_, out_);
        if (fds[1].revents)
            drain(errors_, err_);
    }
    return true;
}

void Child::kill(int signal) {
    if (pid_ > 0)
        ::kill(pid_, signal);
}

int Child::wait() {
    int status = -1;
    while (pid_ > 0 && ::wait4(pid_, &status, 0, &usage_) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
}

bool Finished::succeeded() const { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

Finished run(const std::vector<std::string>& argv, const std::function<void(int fd)>& feed) {
    Finished finished;
    const auto start = SteadyClock::now();
    auto child = Child::spawn(argv, static_cast<bool>(feed), finished.err);
    if (!child)
        return finished;
    std::thread feeder;
    if (feed)
        feeder = std::thread([&] {
            feed(child->input());
            child->closeInput();
        });
    child->pump();
    if (feeder.joinable())
        feeder.join();
    finished.status = child->wait();
    finished.wallSeconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    finished.cpuSeconds = cpuSeconds(child->usage());
    finished.out = child->out();
    finished.err = child->err();
    return finished;
}

bool writeAll(int fd, const void* bytes, std::size_t size) {
    const auto* p = static_cast<const char*>(bytes);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

MovieProbe probeMovie(const std::filesystem::path& file, bool decode) {
    std::vector<std::string> argv{"ffprobe", "-v", "error", decode ? "-count_frames" : "-count_packets",
                                  "-show_entries"};
    std::string entries = "format=duration:stream=index,codec_type,codec_name,profile,width,height,sample_rate,"
                          "channels,nb_read_frames,nb_read_packets";
    if (decode)
        entries += ":packet=stream_index,pts_time,duration_time";
    argv.insert(argv.end(), {entries, "-of", "json", file.string()});
    const Finished probe = run(argv);
    MovieProbe result;
    result.error = probe.err;
    if (!probe.succeeded() || !probe.err.empty())
        return result;
    try {
        const auto json = nlohmann::json::parse(probe.out);
        int videoIndex = -1;
        readStreams(json.value("streams", nlohmann::json::array()), result, videoIndex);
        if (json.contains("format"))
            result.duration = number(json["format"], "duration");
        if (decode && videoIndex >= 0)
            result.videoEnd = videoEnd(json.value("packets", nlohmann::json::array()), videoIndex);
        result.opened = true;
    } catch (const std::exception& e) {
        result.error = std::string("unreadable ffprobe output: ") + e.what();
    }
    return result;
}

} // namespace recorderbench
