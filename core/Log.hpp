// The application's one diagnostic log. Each message is stamped "HH:mm:ss" (local time) and goes to the
// console, to the log file and to a 500-line list in memory, and is handed to one listener.
//
// Thread contract: `add` may be called from any thread and never fails; the listener runs on the
// caller's thread after the lock is released. Each line reaches the console and the file in a single
// write(2), so lines from two processes appending to one file never interleave mid-line.
#pragma once

#include <filesystem>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope {

class Log {
public:
    // The application recreates the file at each start; every other mode (self-tests, the bridge)
    // appends, so it never truncates the log of an application that is running.
    enum class FileMode { recreate, append };

    static constexpr std::size_t kCapacity = 500;

    // `file` empty: the user's log file (Paths::logFile()), decided at the first line.
    Log(std::optional<std::filesystem::path> file, FileMode mode, int consoleFd);

    static Log& shared();
    // Sets how the shared log opens its file (and which file, when `file` is given) and where its console
    // lines go; only effective before the first line is added.
    void configure(FileMode mode, int consoleFd, std::optional<std::filesystem::path> file = std::nullopt);

    // The file the lines go to (this application's own log on another port).
    std::filesystem::path file() const;

    void add(std::string_view message);
    std::vector<std::string> lines() const;
    void setOnLine(std::function<void(const std::string&)> listener);

    // "HH:mm:ss message" for the current local time.
    static std::string format(std::string_view message);

private:
    enum class FileState { notOpened, none, open };
    void openFile();

    mutable std::mutex mutex_;
    std::deque<std::string> lines_;
    std::function<void(const std::string&)> onLine_;

    std::once_flag fileOnce_;
    std::optional<std::filesystem::path> path_;
    FileMode mode_;
    int consoleFd_;
    FileState fileState_ = FileState::notOpened;
    int fd_ = -1;
};

} // namespace pokescope
