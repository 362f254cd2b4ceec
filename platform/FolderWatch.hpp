// Tells when a file in a folder is written or replaced (inotify): closed after writing, or renamed or
// moved into the folder, as an atomic write does. One thread per watch, ended by the destructor.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace pokescope {

class FolderWatch {
public:
    // `changed` runs on the watch's thread with the file's name, for every change to a file of `folder`
    // named `name`. A folder that cannot be watched (missing, no inotify) is said through `failed` once.
    FolderWatch(const std::filesystem::path& folder, std::string name, std::function<void()> changed,
                std::function<void(const std::string& why)> failed = {});
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

private:
    int inotify_ = -1;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace pokescope
