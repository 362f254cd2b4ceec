#include "model/AgentConfiguration.hpp"

#include <nlohmann/json.hpp>

#include <climits>
#include <unistd.h>

namespace pokescope::AgentConfiguration {

std::string urlJSON(std::uint16_t port) {
    return "{\n  \"mcpServers\": {\n    \"pokescope\": { \"url\": \"http://127.0.0.1:" +
           std::to_string(port) + "/mcp\" }\n  }\n}";
}

std::string stdioJSON(const std::string& executable, std::uint16_t port, bool simulate) {
    // The path goes in as a JSON string, so a quote or backslash in it still gives valid JSON.
    std::string arguments = "\"--stdio\"";
    if (port != 47811)
        arguments += ", \"--port\", \"" + std::to_string(port) + "\"";
    if (simulate)
        arguments += ", \"--simulate\"";
    return "{\n  \"mcpServers\": {\n    \"pokescope\": { \"command\": " +
           nlohmann::json(executable).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
           ", \"args\": [" + arguments + "] }\n  }\n}";
}

std::string claudeCodeCommand(std::uint16_t port) {
    return "claude mcp add --transport http --scope user pokescope http://127.0.0.1:" + std::to_string(port) +
           "/mcp";
}

std::string executablePath() {
    char path[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "/usr/local/bin/pokescope";
    return std::string(path, static_cast<std::size_t>(n));
}

} // namespace pokescope::AgentConfiguration
