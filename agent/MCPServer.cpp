// The agent server's listener, connection read loop and routing.
#include "agent/MCPServer.hpp"

#include "agent/LaunchOptions.hpp"
#include "core/Log.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Tcp.hpp"

#include <algorithm>
#include <condition_variable>
#include <future>
#include <set>
#include <thread>

namespace pokescope {

std::uint16_t serverPort(const LaunchOptions& options) { return options.port.value_or(MCPServer::kDefaultPort); }

using nlohmann::json;

namespace {

constexpr std::size_t kMaxRead = 1024 * 1024;

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : static_cast<char>(c); });
    return text;
}

// Serialises a response; result strings are made valid UTF-8 on the way. If it still fails, the client
// gets an internal error for that id rather than no answer at all.
std::string serialised(const json& response) {
    try {
        return response.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const json::exception&) {
        auto id = response.find("id");
        return MCPServer::rpcError(id != response.end() ? &*id : nullptr, -32603, "Internal error");
    }
}

// The progress token of a tools/call whose client takes an event stream: a string or an integer.
std::optional<json> progressToken(const HTTPRequest& request, const json& message) {
    auto accept = request.headers.find("accept");
    if (accept == request.headers.end() || lowered(accept->second).find("text/event-stream") == std::string::npos)
        return std::nullopt;
    auto method = message.find("method");
    auto params = message.find("params");
    if (method == message.end() || *method != "tools/call" || !message.contains("id") || params == message.end() ||
        !params->is_object())
        return std::nullopt;
    auto meta = params->find("_meta");
    if (meta == params->end() || !meta->is_object())
        return std::nullopt;
    auto token = meta->find("progressToken");
    if (token == meta->end() || !(token->is_string() || token->is_number_integer()))
        return std::nullopt;
    return *token;
}

// Writes a streamed answer's pieces one at a time, each after the one before has gone out.
class ConnectionSink final : public EventSink {
public:
    explicit ConnectionSink(std::shared_ptr<TcpConnection> tcp) : tcp_(std::move(tcp)) {}
    bool open() override { return write(MCPServer::eventStreamHead()); }
    bool event(const std::string& data) override { return write(MCPServer::event(data)); }

private:
    bool write(std::string bytes) {
        if (failed_)
            return false;
        auto written = std::make_shared<std::promise<bool>>();
        auto result = written->get_future();
        tcp_->send(std::move(bytes), [written](std::error_code error) { written->set_value(!error); });
        // A peer that stops reading must not hold the call: a write that has not gone out in time counts as
        // failed, and nothing more is written.
        failed_ = result.wait_for(std::chrono::seconds(10)) != std::future_status::ready || !result.get();
        return !failed_;
    }
    std::shared_ptr<TcpConnection> tcp_;
    bool failed_ = false;
};

thread_local callCancellation::Flag currentCancellation;

} // namespace

const callCancellation::Flag& callCancellation::current() { return currentCancellation; }
bool callCancellation::gone() { return currentCancellation && *currentCancellation; }
callCancellation::Scope::Scope(Flag flag) : previous_(std::move(currentCancellation)) {
    currentCancellation = std::move(flag);
}
callCancellation::Scope::~Scope() { currentCancellation = std::move(previous_); }

std::string MCPServer::busyText(int others) {
    return "Pokescope is busy with " + std::to_string(others) + " other actions; try again when they finish.";
}

bool MCPServer::callsTools(const HTTPRequest& request) {
    if (request.method != "POST" || request.body.find("tools/call") == std::string::npos)
        return false;
    // A lone call of the status tool reads state only; anything less plain is taken to call tools.
    if (request.body.size() > 64 * 1024 || jsonNestingDepth(request.body) > kMaxJsonDepth)
        return true;
    json message = json::parse(request.body, nullptr, false);
    if (!message.is_object()) // a batch, or no JSON (which the handling answers at once)
        return true;
    if (message.value("method", json()) != "tools/call")
        return false;
    auto params = message.find("params");
    return params == message.end() || !params->is_object() || params->value("name", json()) != "status";
}

std::string MCPServer::eventStreamHead() {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
}

std::string MCPServer::event(const std::string& data) { return "event: message\ndata: " + data + "\n\n"; }

// The call runs on this thread; a second one keeps the client told while a step takes long.
std::string MCPServer::streamCall(const json& message, const json& token, EventSink& sink) {
    sink.opened = sink.open();
    std::mutex mutex;
    std::condition_variable wake;
    bool done = false;
    long count = 0;
    std::string last = "Working";
    const TimePoint started = std::chrono::steady_clock::now();
    TimePoint lastSent = started;
    auto notify = [&](const std::string& text) { // with `mutex` held
        json params{{"progressToken", token}, {"progress", ++count}, {"message", text}};
        sink.event(serialised(json{{"jsonrpc", "2.0"}, {"method", "notifications/progress"}, {"params", params}}));
        lastSent = std::chrono::steady_clock::now();
    };
    std::thread beat([&] {
        std::unique_lock lock(mutex);
        while (!wake.wait_for(lock, std::chrono::milliseconds(250), [&] { return done; })) {
            auto now = std::chrono::steady_clock::now();
            if (now - lastSent >= kProgressInterval)
                notify(last + " (" +
                       std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - started).count()) + " s)");
        }
    });
    std::optional<json> response;
    try {
        response = dispatch(message, [&](const std::string& text) {
            std::lock_guard lock(mutex);
            last = text;
            notify(text);
        });
    } catch (...) {
        response.reset();
    }
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    wake.notify_all();
    beat.join();
    if (!response) {
        auto id = message.find("id");
        return event(rpcError(id != message.end() ? &*id : nullptr, -32603, "Internal error"));
    }
    return event(serialised(*response));
}

// Everything the read loop touches lives here, so that its callbacks can outlive a test's server object
// safely: they hold the state weakly and stop once the server is gone.
struct MCPServer::State {
    struct Connection {
        std::shared_ptr<TcpConnection> tcp;
        std::string buffer;
        TimePoint lastActivity;
        TimePoint requestStarted{}; // the first byte of the request being read; none while the buffer is empty
        bool busy = false;          // a request is being handled
        bool reading = false;       // a read is outstanding
        bool peerDone = false;      // the peer finished sending, or the connection broke
        std::shared_ptr<std::atomic<bool>> gone = std::make_shared<std::atomic<bool>>(false);
    };

    MCPServer* server = nullptr;
    DispatchQueue* queue = nullptr;
    std::shared_ptr<TcpListener> listener;
    std::set<std::shared_ptr<Connection>> connections; // on the queue only
    std::atomic<std::size_t> connectionCount{0};
    std::size_t buffered = 0; // bytes all connections hold; on the queue only
    WorkItemPtr sweep;
    std::atomic<int> toolCalls{0};

    // Handling runs on other queues; the server waits for it before it goes away.
    std::mutex lifeMutex;
    std::condition_variable handled;
    bool alive = true;
    int inFlight = 0;

    void accept(std::shared_ptr<TcpConnection> tcp);
    void receive(const std::shared_ptr<Connection>& connection);
    void onBytes(const std::shared_ptr<Connection>& connection, std::string_view data, bool complete,
                 std::error_code error);
    void process(const std::shared_ptr<Connection>& connection);
    void respond(const std::shared_ptr<Connection>& connection, HTTPRequest request);
    void refuse(const std::shared_ptr<Connection>& connection, int status, const std::string& message);
    void close(const std::shared_ptr<Connection>& connection);
    void consume(const std::shared_ptr<Connection>& connection, std::size_t bytes);
    bool overflowing(const Connection& connection) const;
    void scheduleSweep();
    std::weak_ptr<State> weak;
};

MCPServer::MCPServer(std::shared_ptr<ToolProvider> tools, Options options)
    : tools_(std::move(tools)), options_(options), queue_(std::make_unique<DispatchQueue>("pokescope.mcp")),
      quick_(std::make_unique<DispatchQueue>("pokescope.mcp.protocol")), state_(std::make_shared<State>()) {
    state_->server = this;
    state_->queue = queue_.get();
    state_->weak = state_;
}

MCPServer::MCPServer(std::shared_ptr<ToolProvider> tools) : MCPServer(std::move(tools), Options{}) {}

MCPServer::~MCPServer() {
    queue_->sync([&] { // calls in progress learn that their clients are gone
        for (auto& connection : state_->connections)
            connection->gone->store(true);
    });
    {
        std::unique_lock lock(state_->lifeMutex);
        state_->alive = false;
        state_->handled.wait(lock, [&] { return state_->inFlight == 0; });
    }
    queue_->sync([&] {
        if (state_->listener)
            state_->listener->cancel();
        if (state_->sweep)
            state_->sweep->cancel();
        for (auto& connection : state_->connections)
            connection->tcp->close();
        state_->connections.clear();
        state_->listener.reset();
        state_->sweep.reset();
        state_->server = nullptr;
    });
    quick_.reset();
    queue_.reset(); // joins the read loop's thread; pending callbacks are dropped with its loop
}

std::size_t MCPServer::connectionCount() const { return state_->connectionCount.load(); }

std::error_code MCPServer::startError() const {
    std::lock_guard lock(mutex_);
    return startError_;
}

void MCPServer::start(std::uint16_t port) {
    queue_->sync([&] {
        if (state_->listener)
            return;
        port_ = port;
        std::weak_ptr<State> weak = state_;
        try {
            state_->listener = TcpListener::listen(
                "127.0.0.1", port, *queue_,
                [weak](std::shared_ptr<TcpConnection> tcp) {
                    if (auto state = weak.lock(); state && state->server)
                        state->accept(std::move(tcp));
                },
                [weak](TcpListener::State listenerState, const std::string& error) {
                    auto state = weak.lock();
                    if (!state || !state->server)
                        return;
                    MCPServer& server = *state->server;
                    if (listenerState == TcpListener::State::ready) {
                        server.running_ = true;
                        Log::shared().add("mcp: listening on http://127.0.0.1:" + std::to_string(server.port()) +
                                          "/mcp");
                    } else {
                        server.running_ = false;
                        Log::shared().add("mcp: listener failed " + error);
                    }
                });
            // Port 0 asks the system for a free port; from here on the server names the real one.
            port_ = state_->listener->port();
        } catch (const std::system_error& e) {
            state_->listener.reset();
            {
                std::lock_guard lock(mutex_);
                startError_ = e.code();
            }
            Log::shared().add("mcp: can't listen on " + std::to_string(port) + ": " + e.code().message());
        }
    });
}

void MCPServer::State::accept(std::shared_ptr<TcpConnection> tcp) {
    auto connection = std::make_shared<Connection>();
    connection->tcp = std::move(tcp);
    connection->lastActivity = std::chrono::steady_clock::now();
    connections.insert(connection);
    connectionCount = connections.size();
    scheduleSweep();
    if (connections.size() > server->options_.maxConnections) {
        // Full: the connection that has waited longest for request bytes makes room (a flood of idle or
        // trickling clients must not lock out the next ping); with every one busy, the new one is refused.
        std::shared_ptr<Connection> oldest;
        for (const auto& other : connections)
            if (other != connection && !other->busy && (!oldest || other->lastActivity < oldest->lastActivity))
                oldest = other;
        if (!oldest) {
            refuse(connection, 503, "too many connections");
            return;
        }
        close(oldest);
    }
    receive(connection);
}

void MCPServer::State::receive(const std::shared_ptr<Connection>& connection) {
    if (connection->reading || connection->peerDone)
        return;
    connection->reading = true;
    auto self = weak;
    connection->tcp->receive(kMaxRead, [self, connection](std::string_view data, bool complete, std::error_code error) {
        if (auto state = self.lock())
            state->onBytes(connection, data, complete, error);
    });
}

void MCPServer::State::onBytes(const std::shared_ptr<Connection>& connection, std::string_view data, bool complete,
                               std::error_code error) {
    if (!server || !connections.count(connection))
        return;
    connection->reading = false;
    const Options& options = server->options_;
    if (!data.empty()) {
        if (buffered + data.size() > options.maxBuffered) {
            refuse(connection, 503, "the server holds too many unanswered bytes; try again");
            return;
        }
        if (connection->buffer.empty())
            connection->requestStarted = std::chrono::steady_clock::now();
        connection->buffer.append(data);
        buffered += data.size();
        connection->lastActivity = std::chrono::steady_clock::now();
    }
    if (complete || error)
        connection->peerDone = true;
    if (!connection->busy) {
        process(connection);
        return;
    }
    // A client that goes away while its request is handled cancels the call; its answer is dropped.
    if (connection->peerDone)
        connection->gone->store(true);
    else if (!overflowing(*connection))
        receive(connection); // the next request may come meanwhile; it waits its turn
}

void MCPServer::State::process(const std::shared_ptr<Connection>& connection) {
    const Options& options = server->options_;
    HTTPFraming framing = HTTPFraming::examine(connection->buffer, options.limits);
    switch (framing.kind) {
    case HTTPFraming::Kind::request:
        // Requests are answered one at a time, in the order they came; bytes after this one wait.
        consume(connection, framing.consumed);
        connection->busy = true;
        respond(connection, std::move(framing.request));
        receive(connection);
        return;
    case HTTPFraming::Kind::reject:
        refuse(connection, framing.status, framing.message);
        return;
    case HTTPFraming::Kind::needMore:
        break;
    }
    // A malformed head gets no answer; it is read until the peer stops, but never without bound.
    if (connection->peerDone || overflowing(*connection))
        close(connection);
    else
        receive(connection);
}

bool MCPServer::State::overflowing(const Connection& connection) const {
    const HTTPLimits& limits = server->options_.limits;
    return connection.buffer.size() > limits.maxHead + limits.maxBody + 4; // more than the largest request
}

void MCPServer::State::consume(const std::shared_ptr<Connection>& connection, std::size_t bytes) {
    bytes = std::min(bytes, connection->buffer.size());
    connection->buffer.erase(0, bytes);
    buffered -= bytes;
    if (connection->buffer.empty())
        connection->buffer.shrink_to_fit();
    else
        connection->requestStarted = std::chrono::steady_clock::now();
}

void MCPServer::State::refuse(const std::shared_ptr<Connection>& connection, int status, const std::string& message) {
    connection->busy = true; // nothing more is read or handled
    consume(connection, connection->buffer.size());
    auto self = weak;
    connection->tcp->send(HTTPRequest::response(status, message, "text/plain"), [self, connection](std::error_code) {
        if (auto state = self.lock())
            state->close(connection);
    });
}

void MCPServer::State::respond(const std::shared_ptr<Connection>& connection, HTTPRequest request) {
    {
        std::lock_guard lock(lifeMutex);
        if (!alive)
            return;
        ++inFlight;
    }
    // Tool calls take the shared pool, at most kMaxToolCalls at once; one more is answered at once that the
    // server is busy. Everything else has its own lane and never waits behind them.
    int busyWith = 0;
    bool toolLane = callsTools(request);
    if (toolLane) {
        const int before = toolCalls.fetch_add(1);
        if (before >= kMaxToolCalls) {
            toolCalls.fetch_sub(1);
            busyWith = before;
            toolLane = false;
        }
    }
    auto self = weak;
    MCPServer* owner = server;
    auto gone = connection->gone;
    auto work = [self, owner, connection, gone, toolLane, busyWith, request = std::move(request)]() mutable {
        auto state = self.lock();
        if (!state)
            return;
        std::string bytes;
        bool closeAfter = false;
        {
            callCancellation::Scope scope(gone);
            ConnectionSink sink(connection->tcp);
            bytes = owner->handle(request, &sink, busyWith);
            closeAfter = sink.opened; // a stream ends with the connection
        }
        if (toolLane)
            state->toolCalls.fetch_sub(1);
        if (auto it = request.headers.find("connection"); it != request.headers.end())
            closeAfter = closeAfter || lowered(it->second) == "close";
        // The socket must not outlive the server's loop: this closure gives up its reference before the
        // server may go away.
        auto held = std::move(connection);
        std::lock_guard lock(state->lifeMutex);
        if (state->alive) {
            // Send errors are not looked at: a broken connection shows at its next read.
            held->tcp->send(std::move(bytes), [self, held, closeAfter](std::error_code) {
                auto state = self.lock();
                if (!state || !state->server || !state->connections.count(held))
                    return;
                if (closeAfter) {
                    state->close(held);
                    return;
                }
                held->busy = false;
                held->gone = std::make_shared<std::atomic<bool>>(false);
                held->lastActivity = std::chrono::steady_clock::now();
                state->process(held); // a request that came meanwhile is next
            });
        }
        held.reset();
        --state->inFlight;
        state->handled.notify_all();
    };
    if (toolLane)
        DispatchQueue::global().async(std::move(work));
    else
        owner->quick_->async(std::move(work));
}

void MCPServer::State::close(const std::shared_ptr<Connection>& connection) {
    if (connections.erase(connection) == 0)
        return;
    connectionCount = connections.size();
    consume(connection, connection->buffer.size());
    connection->gone->store(true);
    connection->tcp->close();
}

// Drops connections that have sent nothing for the idle time-out while the server waited for request
// bytes, and requests that have not all come within the request deadline. Runs only while connections
// are open.
void MCPServer::State::scheduleSweep() {
    if (sweep || !server)
        return;
    auto timeout = server->options_.idleTimeout;
    auto deadline = server->options_.requestDeadline;
    auto period = std::clamp<Duration>(std::min<Duration>(timeout, deadline) / 4, std::chrono::milliseconds(10),
                                       std::chrono::seconds(1));
    auto self = weak;
    sweep = queue->asyncAfter(period, [self, timeout, deadline] {
        auto state = self.lock();
        if (!state || !state->server)
            return;
        state->sweep.reset();
        auto now = std::chrono::steady_clock::now();
        std::vector<std::shared_ptr<Connection>> late;
        for (auto& connection : state->connections)
            if (!connection->busy && (now - connection->lastActivity >= timeout ||
                                      (!connection->buffer.empty() && now - connection->requestStarted >= deadline)))
                late.push_back(connection);
        for (auto& connection : late)
            state->close(connection);
        if (!state->connections.empty())
            state->scheduleSweep();
    });
}

std::string MCPServer::handle(const HTTPRequest& request, EventSink* sink, int busyWith) {
    if (request.method == "OPTIONS")
        return HTTPRequest::response(204, std::nullopt);
    if (request.path.rfind("/mcp", 0) != 0)
        return HTTPRequest::response(404, std::string("not found"), "text/plain");
    // A web page may only reach the server from a page served by this machine's loopback server; a Host
    // other than the loopback names means a rebound DNS name and is refused the same way.
    auto origin = request.headers.find("origin");
    auto host = request.headers.find("host");
    if ((origin != request.headers.end() && !isLocalOrigin(origin->second)) ||
        (host != request.headers.end() && !isLocalHost(host->second)))
        return HTTPRequest::response(403, std::string("forbidden origin"), "text/plain");
    if (request.method == "POST")
        return handlePost(request, sink, busyWith);
    if (request.method == "DELETE")
        return HTTPRequest::response(200, std::nullopt);
    return HTTPRequest::response(405, std::nullopt); // GET and every other method
}

std::string MCPServer::handlePost(const HTTPRequest& request, EventSink* sink, int busyWith) {
    auto parseError = [] { return HTTPRequest::response(400, rpcError(nullptr, -32700, "Parse error"), "application/json"); };
    // Deep nesting is refused before parsing: copying or printing such a value would exhaust the stack.
    if (jsonNestingDepth(request.body) > kMaxJsonDepth)
        return parseError();
    json message = json::parse(request.body, nullptr, false);
    if (message.is_discarded() || !(message.is_object() || message.is_array()))
        return parseError();

    if (message.is_array()) {
        if (message.empty() || message.size() > kMaxBatch ||
            !std::all_of(message.begin(), message.end(), [](const json& element) { return element.is_object(); }))
            return HTTPRequest::response(400, rpcError(nullptr, -32600, "Invalid request"), "application/json");
        std::string body;
        for (const auto& element : message) {
            if (callCancellation::gone())
                break; // nobody is left to read the rest
            auto response = dispatch(element, {}, busyWith);
            if (!response)
                continue;
            body += body.empty() ? "[" : ",";
            body += serialised(*response);
        }
        if (body.empty())
            return HTTPRequest::response(202, std::nullopt);
        body += "]";
        return HTTPRequest::response(200, body, "application/json");
    }

    if (sink && !busyWith)
        if (auto token = progressToken(request, message))
            return streamCall(message, *token, *sink);
    auto response = dispatch(message, {}, busyWith);
    if (!response)
        return HTTPRequest::response(202, std::nullopt);
    std::vector<std::pair<std::string, std::string>> headers;
    if (auto method = message.find("method"); method != message.end() && *method == "initialize")
        headers.emplace_back("Mcp-Session-Id", makeUUID());
    return HTTPRequest::response(200, serialised(*response), "application/json", headers);
}

} // namespace pokescope
