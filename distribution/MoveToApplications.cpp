#include "distribution/MoveToApplications.hpp"

#include "core/Log.hpp"

#include <climits>
#include <unistd.h>

namespace pokescope::MoveToApplications {

std::filesystem::path runningFrom(const std::filesystem::path& executable) { return executable.parent_path(); }

void offerIfNeeded() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return;
    Log::shared().add("app: running from " + runningFrom(std::string(path, static_cast<std::size_t>(n))).string());
}

} // namespace pokescope::MoveToApplications
