// The agent server: MCP's streamable-HTTP transport reduced to what Pokescope needs. A plain HTTP/1.1
// server on 127.0.0.1 takes JSON-RPC 2.0 messages by POST on /mcp and answers each with one
// application/json body, except a tools/call that asks for progress (`_meta.progressToken`) from a client
// that accepts `text/event-stream`: that one is answered with an event stream of progress notifications
// (at least every few seconds) and then the result, and the connection closes after it.
//
// Threads: the listener and every connection's reads run on the serial queue "pokescope.mcp", where
// bytes accumulate until a request is complete. Requests that call tools are handled on the global
// concurrent queue, at most `kMaxToolCalls` at once (more are answered at once that Pokescope is busy);
// everything else (initialize, ping, tools/list, notifications, the status tool) has a lane of its own,
// so it never waits behind tool calls. One connection's requests are answered in the order they came, one
// at a time; while one is handled the connection is still read, so that a client that goes away cancels
// its call.
#pragma once

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace pokescope {

class DispatchQueue;
class TcpListener;

struct HTTPRequest {
    std::string method;
    std::string path; // the request target, query string included
    std::map<std::string, std::string> headers; // names lower-cased, values trimmed
    std::string body;

    // A request when `data` holds a complete one; nothing when it is incomplete or malformed.
    static std::optional<HTTPRequest> parse(std::string_view data);

    // The complete response, head and body.
    static std::string response(int status, const std::optional<std::string>& body, std::string_view type = "",
                                const std::vector<std::pair<std::string, std::string>>& headers = {});

    static const char* reasonPhrase(int status);
};

// Bounds that keep one client from holding the server's memory.
struct HTTPLimits {
    std::size_t maxHead = 16 * 1024;      // request line and headers, without the blank line
    std::size_t maxBody = 4 * 1024 * 1024; // declared Content-Length
};

// What the read loop should do with the bytes it holds.
struct HTTPFraming {
    enum class Kind {
        needMore, // keep reading (also for a malformed head: the peer gets no answer)
        request,  // a complete request: the first `consumed` bytes; later ones are the next request's
        reject,   // answer `status` with `message` and close
    };
    Kind kind = Kind::needMore;
    HTTPRequest request;
    std::size_t consumed = 0;
    int status = 0;
    std::string message;

    static HTTPFraming examine(std::string_view buffer, const HTTPLimits& limits = {});
};

// Whether the client of the request being handled on this thread has gone away: set by the server around
// each request, read by the tools before and during an action.
namespace callCancellation {
using Flag = std::shared_ptr<const std::atomic<bool>>;
const Flag& current();
// Whether the client of the request on this thread has gone; then nothing more is done for it.
bool gone();
class Scope {
public:
    explicit Scope(Flag flag);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Flag previous_;
};
} // namespace callCancellation

// The tool layer as the server sees it.
class ToolProvider {
public:
    virtual ~ToolProvider() = default;
    virtual nlohmann::json definitions() = 0;
    // Blocks until the tool is done; never throws (failures are tool results).
    virtual nlohmann::json call(const std::string& name, const nlohmann::json& arguments) = 0;
    // Told a short message now and then during a long call (a calibration sample, a scroll, a batch action).
    using Progress = std::function<void(const std::string& message)>;
    // The same call, telling `progress` how it goes; a provider with nothing to tell need not override it.
    virtual nlohmann::json callReporting(const std::string& name, const nlohmann::json& arguments,
                                         const Progress& progress) {
        (void)progress;
        return call(name, arguments);
    }
};

// Where a streamed answer goes: `open` writes the response head, `event` one event's data; each returns
// once written, false when the peer is gone.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual bool open() = 0;
    virtual bool event(const std::string& data) = 0;
    bool opened = false;
};

class MCPServer {
public:
    struct Options {
        HTTPLimits limits;
        // A connection that sends nothing for this long while the server waits for request bytes is
        // dropped; never while its request is being handled.
        std::chrono::milliseconds idleTimeout{30000};
        // A request whose head and body have not all come this long after its first byte is dropped,
        // however steadily its bytes trickle in.
        std::chrono::milliseconds requestDeadline{10000};
        // Connections open at once; one more closes the one that has waited longest for request bytes,
        // or, when every one is handling a request, is answered 503 and closed.
        std::size_t maxConnections = 256;
        // Bytes all connections may hold unanswered together; a connection that would pass it is answered
        // 503 and closed.
        std::size_t maxBuffered = 64 * 1024 * 1024;
    };

    static constexpr std::uint16_t kDefaultPort = 47811;
    // A streamed call sends a progress notification at least this often.
    static constexpr std::chrono::seconds kProgressInterval{4};
    static constexpr std::size_t kMaxJsonDepth = 64;
    // Tool calls handled at once; a call beyond them is answered with `busyText`.
    static constexpr int kMaxToolCalls = 16;
    // Messages in one JSON-RPC batch (as many as the batch tool's actions).
    static constexpr std::size_t kMaxBatch = 25;
    static std::string busyText(int others);
    // Whether handling `request` may call a tool other than status (and so takes the tool calls' lane).
    static bool callsTools(const HTTPRequest& request);

    explicit MCPServer(std::shared_ptr<ToolProvider> tools, Options options);
    explicit MCPServer(std::shared_ptr<ToolProvider> tools);
    ~MCPServer();
    MCPServer(const MCPServer&) = delete;
    MCPServer& operator=(const MCPServer&) = delete;

    // Creates and starts the listener on 127.0.0.1:`port` (0 lets the system choose); does nothing when a
    // listener exists already, even a failed one.
    void start(std::uint16_t port);
    bool running() const { return running_.load(); }
    // Why the last `start` could not listen (none when it could).
    std::error_code startError() const;
    std::uint16_t port() const { return port_.load(); }
    // Told of each JSON-RPC request ("initialize", "tool: screenshot", …) on the handling thread.
    void setOnRequest(std::function<void(const std::string&)> listener);

    // Routing: the response bytes for one request. With a `sink`, a call that asks for progress is
    // streamed: the sink is opened and given the notifications, and the bytes returned are the last event.
    // With `busyWith` other calls in hand, tool calls are answered with `busyText` instead of being made.
    std::string handle(const HTTPRequest& request, EventSink* sink = nullptr, int busyWith = 0);
    // One JSON-RPC message in; the response object, or nothing for a message that gets none.
    std::optional<nlohmann::json> dispatch(const nlohmann::json& message,
                                           const ToolProvider::Progress& progress = {}, int busyWith = 0);
    // The head of a streamed answer, and one event of it.
    static std::string eventStreamHead();
    static std::string event(const std::string& data);

    static nlohmann::json result(const nlohmann::json* id, nlohmann::json result);
    static std::string rpcError(const nlohmann::json* id, int code, std::string_view message);
    static nlohmann::json initializeResult(const nlohmann::json& params);
    static const std::vector<std::string>& supportedVersions();
    static const std::string& instructions();

    // Connections currently open (for tests and the status view).
    std::size_t connectionCount() const;

private:
    struct State;
    std::string handlePost(const HTTPRequest& request, EventSink* sink, int busyWith);
    std::string streamCall(const nlohmann::json& message, const nlohmann::json& token, EventSink& sink);
    void reportRequest(const std::string& label);

    std::shared_ptr<ToolProvider> tools_;
    Options options_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint16_t> port_{kDefaultPort};
    std::error_code startError_; // under mutex_
    mutable std::mutex mutex_;
    std::function<void(const std::string&)> onRequest_;
    std::unique_ptr<DispatchQueue> queue_; // "pokescope.mcp"
    std::unique_ptr<DispatchQueue> quick_; // "pokescope.mcp.protocol": requests that call no tool
    std::shared_ptr<State> state_;
};

// Host and Origin values that name this machine's loopback server: scheme http (Origin only), host
// exactly 127.0.0.1 or localhost, any port.
bool isLocalOrigin(std::string_view origin);
bool isLocalHost(std::string_view host);

// A random UUID in canonical upper-case form.
std::string makeUUID();

// The deepest nesting of arrays and objects in a JSON text (strings are skipped), so that absurdly deep
// input is refused before a parser recurses into it.
std::size_t jsonNestingDepth(std::string_view text);

} // namespace pokescope
