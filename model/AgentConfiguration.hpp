// The texts a user copies to connect an agent to Pokescope.
#pragma once

#include <cstdint>
#include <string>

namespace pokescope::AgentConfiguration {

// {"mcpServers": {"pokescope": {"url": "http://127.0.0.1:<port>/mcp"}}}, laid out for reading.
std::string urlJSON(std::uint16_t port);
// The stdio entry that starts `executable --stdio`, with `--port` on another port than the usual one and
// `--simulate` for a simulated run (so that the bridge reaches this application, or starts one like it);
// valid JSON whatever the path holds.
std::string stdioJSON(const std::string& executable, std::uint16_t port = 47811, bool simulate = false);
// The command that adds the server to Claude Code.
std::string claudeCodeCommand(std::uint16_t port);
// This executable's path, for the stdio entry.
std::string executablePath();

} // namespace pokescope::AgentConfiguration
