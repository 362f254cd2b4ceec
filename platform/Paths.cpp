#include "platform/Paths.hpp"

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <system_error>
#include <unistd.h>

namespace pokescope::Paths {

namespace fs = std::filesystem;

namespace {

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

fs::path ensured(fs::path folder) {
    std::error_code ignored;
    fs::create_directories(folder, ignored);
    return folder;
}

// An XDG base directory: the variable when it holds an absolute path, else home/`fallback`.
fs::path base(const char* variable, const char* fallback) {
    std::string value = env(variable);
    if (!value.empty() && value.front() == '/')
        return value;
    return home() / fallback;
}

} // namespace

fs::path home() {
    std::string value = env("HOME");
    if (!value.empty())
        return value;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/tmp";
}

fs::path stateFolder() { return ensured(base("XDG_STATE_HOME", ".local/state") / "pokescope"); }
fs::path logFile(std::optional<std::uint16_t> port) {
    return stateFolder() / (port ? "Pokescope-" + std::to_string(*port) + ".log" : std::string("Pokescope.log"));
}

fs::path configFolder() { return ensured(base("XDG_CONFIG_HOME", ".config") / "pokescope"); }
fs::path settingsFile() { return configFolder() / "settings.json"; }

fs::path appSupport() { return ensured(base("XDG_DATA_HOME", ".local/share") / "pokescope"); }

fs::path screenshots() { return ensured(userDirectory("PICTURES", "Pictures") / "Pokescope"); }
fs::path recordings() { return ensured(userDirectory("VIDEOS", "Videos") / "Pokescope"); }

fs::path userDirectory(const std::string& name, const std::string& fallback) {
    // The variable itself wins; then user-dirs.dirs as xdg-user-dirs writes it:
    // XDG_PICTURES_DIR="$HOME/Pictures"
    std::string key = "XDG_" + name + "_DIR";
    std::string direct = env(key.c_str());
    if (!direct.empty() && direct.front() == '/')
        return direct;
    std::ifstream file(base("XDG_CONFIG_HOME", ".config") / "user-dirs.dirs");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind(key + "=", 0) != 0)
            continue;
        std::string value = line.substr(key.size() + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0)
            value = home().string() + value.substr(5);
        while (value.size() > 1 && value.back() == '/')
            value.pop_back();
        // A user directory set to the home folder itself means "not configured".
        if (!value.empty() && value.front() == '/' && fs::path(value).lexically_normal() != home().lexically_normal())
            return value;
    }
    return home() / fallback;
}

} // namespace pokescope::Paths
