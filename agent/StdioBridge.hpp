// The stdio bridge (`pokescope --stdio`): for MCP clients that start their server as a child process. It
// makes sure the application is running, then forwards each line of standard input as an HTTP POST to the
// application's agent server and writes each JSON reply as one line on standard output; a reply that
// comes as an event stream (a call that asked for progress) is written event by event, each as it comes,
// one line each. It holds no MCP state of its own; sessions, tools and the phone all live in the
// application.
//
// Single-threaded: one line in flight at a time, so replies come out in input order.
#pragma once

#include "agent/LaunchOptions.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope::StdioBridge {

inline constexpr std::string_view kProbeBody = R"({"jsonrpc":"2.0","id":0,"method":"ping"})";

// "http://127.0.0.1:<port>/mcp".
std::string serverUrl(std::uint16_t port);

// The outcome of one HTTP exchange: a status and body, or, when no response came, the transport
// error's description.
struct Exchange {
    long status = 0;
    std::string body;
    std::optional<std::string> transportError;
};

// The data of each complete event in a `text/event-stream` body, fed in pieces as they arrive.
class EventStreamParser {
public:
    std::vector<std::string> feed(std::string_view bytes);

private:
    std::string buffer_;
};

// Whether a request line asks for progress (a tools/call with `_meta.progressToken`): its answer may take
// as long as the call, with events meanwhile.
bool asksForProgress(const std::string& line);

// What the bridge writes on standard output for `line` after `exchange`: one line ending in a line feed,
// or none (notifications, malformed lines, replies that are not UTF-8).
std::optional<std::string> outputFor(const std::string& line, const Exchange& exchange);

// True when the server answers the ping probe with HTTP status 200 within a second.
bool reachable(const std::string& url);

// The command line that starts the application for a bridge with `options`: this executable in the
// application mode, headless when there is no display, on the same port, simulated when the bridge is.
std::vector<std::string> launchArguments(const std::string& executable, const LaunchOptions& options,
                                         bool hasDisplay);

// Starts the application, detached from the bridge, when the server isn't reachable, then waits up to
// about ten seconds for it to answer. Returns in every case: an application that did not come up shows
// later as transport errors.
void ensureAppRunning(const std::string& url, const LaunchOptions& options);

// The --stdio main loop; ends the process with status 0 at end of input.
[[noreturn]] void run(const LaunchOptions& options);

} // namespace pokescope::StdioBridge
