// The stdio bridge (`pokescope --stdio`): for MCP clients that start their server as a child process. It
// makes sure the application is running, then forwards each line of standard input as an HTTP POST to the
// application's agent server and writes each JSON reply as one line on standard output; a reply that
// comes as an event stream (a call that asked for progress) is written event by event, each as it comes,
// one line each. It holds no MCP state of its own; sessions, tools and the phone all live in the
// application.
//
// Lines are forwarded as they come, several in flight (each on a thread of its own, at most
// `kMaxInFlight`), and replies are written in whatever order they complete, each line in one write. Every
// request with an id gets an answer: a line that is not JSON gets the parse error, one the application
// refused (a status other than 200) an internal error naming the status. SIGTERM, SIGINT and SIGHUP end
// the bridge at once, after the reply being written (if any) is out.
#pragma once

#include "agent/LaunchOptions.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope::StdioBridge {

inline constexpr std::string_view kProbeBody = R"({"jsonrpc":"2.0","id":0,"method":"ping"})";
inline constexpr int kMaxInFlight = 32;

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

// Whether a request (a line, parsed) asks for progress (a tools/call with `_meta.progressToken`): its answer may take
// as long as the call, with events meanwhile.
bool asksForProgress(const nlohmann::json& message);

// What the bridge writes on standard output for `line` after `exchange`: one line ending in a line feed,
// or none (notifications and replies that are not UTF-8). A refused request with an id (a status other
// than 200) is answered -32603 naming the status, unless the application's own answer is a JSON-RPC
// message, which is passed on.
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

// The answer to a line that is not JSON: the parse error, with a null id.
std::string parseErrorLine();

// The --stdio main loop; ends the process with status 0 at end of input, once every reply is out.
[[noreturn]] void run(const LaunchOptions& options);

// For the signal handler: ends the process with status 0 once no reply is being written.
[[noreturn]] void endNow();

} // namespace pokescope::StdioBridge
