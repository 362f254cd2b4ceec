// The texts a user copies to connect an agent to Pokescope.
#pragma once

#include <cstdint>
#include <string>

namespace pokescope::AgentConfiguration {

// {"mcpServers": {"pokescope": {"url": "http://127.0.0.1:<port>/mcp"}}}, laid out for reading.
std::string urlJSON(std::uint16_t port);
// The stdio entry that starts `executable --stdio`; valid JSON whatever the path holds.
std::string stdioJSON(const std::string& executable);
// The command that adds the server to Claude Code.
std::string claudeCodeCommand(std::uint16_t port);
// This executable's path, for the stdio entry.
std::string executablePath();

} // namespace pokescope::AgentConfiguration
