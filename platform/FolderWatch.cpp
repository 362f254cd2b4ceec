#include "platform/FolderWatch.hpp"

#include "platform/Process.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace pokescope {

FolderWatch::FolderWatch(const std::filesystem::path& folder, std::string name, std::function<void()> changed,
                         std::function<void(const std::string& why)> failed) {
    inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (inotify_ < 0 || ::pipe2(stop_, O_CLOEXEC) != 0 ||
        ::inotify_add_watch(inotify_, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
        if (failed)
            failed("can't watch " + folder.string() + ": " + std::strerror(errno));
        return;
    }
    thread_ = std::thread([this, name = std::move(name), changed = std::move(changed)] {
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        while (awaitReadable(inotify_, stop_[0])) {
            bool ours = false;
            for (ssize_t n; (n = ::read(inotify_, buffer, sizeof buffer)) > 0;)
                for (char* at = buffer; at < buffer + n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(at);
                    if (event->len > 0 && name == event->name)
                        ours = true;
                    at += sizeof(inotify_event) + event->len;
                }
            if (ours)
                changed();
        }
    });
}

FolderWatch::~FolderWatch() {
    if (thread_.joinable()) {
        (void)!::write(stop_[1], "x", 1);
        thread_.join();
    }
    for (int fd : {inotify_, stop_[0], stop_[1]})
        if (fd >= 0)
            ::close(fd);
}

} // namespace pokescope
