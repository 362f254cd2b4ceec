#include "core/Log.hpp"

#include "platform/Paths.hpp"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace pokescope {

namespace {

void writeLine(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // a closed console or a full disk is not the log's problem to report
        done += static_cast<size_t>(n);
    }
}

} // namespace

Log::Log(std::optional<std::filesystem::path> file, FileMode mode, int consoleFd)
    : path_(std::move(file)), mode_(mode), consoleFd_(consoleFd) {}

Log& Log::shared() {
    static auto* log = new Log(std::nullopt, FileMode::recreate, 1); // lives for the whole process
    return *log;
}

void Log::configure(FileMode mode, int consoleFd, std::optional<std::filesystem::path> file) {
    std::lock_guard lock(mutex_);
    mode_ = mode;
    consoleFd_ = consoleFd;
    if (file)
        path_ = std::move(file);
}

std::string Log::format(std::string_view message) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    std::string line(stamp);
    line += ' ';
    line += message;
    return line;
}

std::filesystem::path Log::file() const {
    std::lock_guard lock(mutex_);
    return path_ ? *path_ : Paths::logFile();
}

void Log::openFile() {
    FileMode mode;
    {
        std::lock_guard lock(mutex_);
        mode = mode_;
    }
    std::filesystem::path path = path_ ? *path_ : Paths::logFile();
    int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
    if (mode == FileMode::recreate)
        flags |= O_TRUNC;
    fd_ = ::open(path.c_str(), flags, 0644);
    fileState_ = fd_ >= 0 ? FileState::open : FileState::none;
}

void Log::add(std::string_view message) {
    std::string line = format(message);
    std::function<void(const std::string&)> listener;
    int console;
    {
        std::lock_guard lock(mutex_);
        while (lines_.size() >= kCapacity)
            lines_.pop_front();
        lines_.push_back(line);
        listener = onLine_;
        console = consoleFd_;
    }
    std::string withNewline = line + "\n";
    if (console >= 0)
        writeLine(console, withNewline);
    std::call_once(fileOnce_, [this] { openFile(); });
    if (fileState_ == FileState::open)
        writeLine(fd_, withNewline);
    if (listener)
        listener(line);
}

std::vector<std::string> Log::lines() const {
    std::lock_guard lock(mutex_);
    return {lines_.begin(), lines_.end()};
}

void Log::setOnLine(std::function<void(const std::string&)> listener) {
    std::lock_guard lock(mutex_);
    onLine_ = std::move(listener);
}

} // namespace pokescope
