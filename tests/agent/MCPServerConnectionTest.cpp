// The agent server over real loopback sockets: framing across reads, one request at a time per
// connection, concurrency between connections, limits and idle connections.
#include "agent/MCPServer.hpp"
#include "core/Log.hpp"
#include "tests/agent/FakeTools.hpp"
#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>
#include <sys/socket.h>
#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

const std::string kPing = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
const std::string kPong = R"({"id":1,"jsonrpc":"2.0","result":{}})";

class ServerFixture : public testing::Test {
protected:
    std::shared_ptr<FakeTools> tools = std::make_shared<FakeTools>();
    std::unique_ptr<MCPServer> server;
    int port = 0;

    void start(MCPServer::Options options = {}) {
        server = std::make_unique<MCPServer>(tools, options);
        server->start(0);
        ASSERT_TRUE(eventually([&] { return server->running(); }));
        ASSERT_NE(port = server->port(), 0);
    }
    void SetUp() override { start(); }
    void TearDown() override { tools->release(), server.reset(); }
};

std::string call(const std::string& tool, int id, json arguments = json::object()) {
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", {{"name", tool}, {"arguments", arguments}}}}
        .dump();
}

// A response's body, or a note that none came.
std::string body(const std::optional<std::string>& response) {
    return response ? bodyOf(*response) : "(no response)";
}

} // namespace

TEST_F(ServerFixture, AConnectionIsAnsweredOnceCompleteAnswersPipelinedRequestsInOrderAndStaysOpenUntilAskedToClose) {
    RawClient client(port);
    const std::string request = post(kPing);
    client.send(request.substr(0, 27));
    EXPECT_FALSE(client.readResponse(100ms));
    client.send(request.substr(27, request.size() - 28));
    EXPECT_FALSE(client.readResponse(100ms)); // one body byte still missing
    client.send(request.substr(request.size() - 1));
    EXPECT_EQ(body(client.readResponse()), kPong);
    EXPECT_FALSE(client.readResponse(100ms)); // answered once
    // Requests in one write are answered one after the other, in their order, a slow one first.
    client.send(post(call("sleep", 4, {{"ms", 300}})) + request + post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"));
    EXPECT_THAT(body(client.readResponse()), HasSubstr("done"));
    EXPECT_EQ(body(client.readResponse()), kPong);
    EXPECT_EQ(body(client.readResponse()), R"({"id":2,"jsonrpc":"2.0","result":{}})");
    EXPECT_FALSE(client.readResponse(200ms));
    client.send(post(R"({"jsonrpc":"2.0","id":3,"method":"ping"})", "Connection: CLOSE\r\n"));
    EXPECT_EQ(body(client.readResponse()), R"({"id":3,"jsonrpc":"2.0","result":{}})");
    EXPECT_TRUE(client.closedByPeer(5s));

    RawClient slow(port); // one byte at a time
    for (char c : request) {
        slow.send(std::string(1, c));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(body(slow.readResponse()), kPong);
}

// A call that asks for progress, from a client that takes an event stream, is answered with the tool's
// progress, a notification whenever a step takes longer than the interval, then the result; the stream
// ends with the connection. Without the stream in Accept (or without a token) the answer is the usual JSON.
TEST_F(ServerFixture, ACallThatAsksForProgressIsAnsweredWithAnEventStreamOfProgressThenTheResult) {
    json message = json::parse(call("progress", 7, {{"messages", {"Step 1", "Step 2"}}, {"ms", 5000}}));
    message["params"]["_meta"] = {{"progressToken", "p-7"}};
    RawClient client(port);
    client.send(post(message.dump(), "Accept: application/json, text/event-stream\r\n"));
    auto stream = client.readUntilClosed(20s);
    ASSERT_TRUE(stream);
    ASSERT_THAT(*stream, StartsWith(MCPServer::eventStreamHead()));
    auto notice = [](int n, const std::string& text) {
        return MCPServer::event(json{{"jsonrpc", "2.0"},
                                     {"method", "notifications/progress"},
                                     {"params", {{"progressToken", "p-7"}, {"progress", n}, {"message", text}}}}
                                    .dump());
    };
    EXPECT_EQ(stream->substr(MCPServer::eventStreamHead().size()),
              notice(1, "Step 1") + notice(2, "Step 2") + notice(3, "Step 2 (4 s)") +
                  MCPServer::event(MCPServer::result(&message["id"], tools->result).dump()));

    message["params"]["_meta"] = {{"progressToken", 8}};
    message["params"]["arguments"]["ms"] = 0;
    EXPECT_EQ(body(roundTrip(port, post(message.dump(), "Accept: application/json\r\n"))),
              MCPServer::result(&message["id"], tools->result).dump());
    message["params"].erase("_meta");
    EXPECT_EQ(body(roundTrip(port, post(message.dump(), "Accept: application/json, text/event-stream\r\n"))),
              MCPServer::result(&message["id"], tools->result).dump());
}

TEST_F(ServerFixture, PingAndStatusAnswerWhileToolCallsBlockBeyondTheLimitCallsAreBusyAndAGoneClientCancelsItsCall) {
    std::vector<std::unique_ptr<RawClient>> busy, idle;
    for (int i = 0; i < MCPServer::kMaxToolCalls; ++i) {
        busy.push_back(std::make_unique<RawClient>(port));
        busy.back()->send(post(call("block", i)));
    }
    ASSERT_TRUE(tools->waitForStarted(MCPServer::kMaxToolCalls));
    for (int i = 0; i < 200; ++i) {
        idle.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(idle.back()->connected());
        if (i % 2)
            idle.back()->send("P"); // the start of a request that never finishes
    }
    // Every tool call is still blocked while the ping and the status tool go through; one call more is
    // told at once that the server is busy.
    EXPECT_EQ(body(roundTrip(port, post(kPing))), kPong);
    EXPECT_THAT(body(roundTrip(port, post(call("status", 90)))), HasSubstr("done"));
    EXPECT_EQ(json::parse(body(roundTrip(port, post(call("block", 91)))))["result"],
              (json{{"content", {{{"type", "text"}, {"text", "Pokescope is busy with 16 other actions; try again when they finish."}}}},
                    {"isError", true}}));
    EXPECT_EQ(tools->started, MCPServer::kMaxToolCalls + 1); // the status call; the busy one never started
    // Clients that go away cancel their calls, which frees their places.
    for (int i = 0; i < 4; ++i)
        busy.pop_back();
    EXPECT_TRUE(eventually([&] { std::lock_guard lock(tools->mutex); return tools->cancelled == 4; }));
    RawClient again(port);
    again.send(post(call("block", 92)));
    EXPECT_TRUE(tools->waitForStarted(MCPServer::kMaxToolCalls + 2));
    tools->release();
    EXPECT_THAT(body(again.readResponse()), HasSubstr("done"));
    for (auto& client : busy)
        EXPECT_THAT(body(client->readResponse()), HasSubstr("done"));
}

class BoundedServer : public ServerFixture {
protected:
    void SetUp() override {
        start({.limits = {.maxHead = 16 * 1024, .maxBody = 64 * 1024}, .idleTimeout = 30s,
               .requestDeadline = 800ms, .maxConnections = 4, .maxBuffered = 100 * 1024});
    }
};

TEST_F(BoundedServer, CapsConnectionsTheBytesTheyHoldTogetherAndTheTimeARequestTakesToArrive) {
    // A request trickling in, each byte well within the idle time, is dropped at the request deadline.
    RawClient trickling(port);
    const auto started = std::chrono::steady_clock::now();
    for (char c : post(kPing).substr(0, 40)) {
        trickling.send(std::string(1, c));
        if (trickling.closedByPeer(50ms))
            break;
    }
    EXPECT_TRUE(trickling.closedByPeer(2s));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1900ms);
    // Two unfinished bodies may not hold more than the bytes all connections share.
    const std::string head = "POST /mcp HTTP/1.1\r\nContent-Length: 60000\r\n\r\n";
    auto first = std::make_unique<RawClient>(port), second = std::make_unique<RawClient>(port);
    first->send(head + std::string(55000, ' '));
    ASSERT_FALSE(first->readResponse(100ms));
    second->send(head + std::string(55000, ' '));
    EXPECT_THAT(second->readResponse().value_or(""), StartsWith("HTTP/1.1 503 Service Unavailable\r\n"));
    EXPECT_TRUE(second->closedByPeer(2s));
    first->send(std::string(4999, ' ') + "1");
    EXPECT_THAT(first->readResponse().value_or(""), StartsWith("HTTP/1.1 400 ")); // it was let finish: a parse error
    first.reset();
    second.reset();
    ASSERT_TRUE(eventually([&] { return server->connectionCount() == 0; }));
    // Beyond the connection cap, the one idle longest makes room: a ping always gets through; with every
    // connection busy, one more is refused.
    std::vector<std::unique_ptr<RawClient>> open;
    for (int i = 0; i < 4; ++i) {
        open.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(eventually([&] { return server->connectionCount() == static_cast<std::size_t>(i + 1); }));
    }
    EXPECT_EQ(body(roundTrip(port, post(kPing))), kPong);
    EXPECT_TRUE(open.front()->closedByPeer(5s)); // the first, idle longest
    EXPECT_FALSE(open.back()->closedByPeer(100ms));
    open.clear();
    ASSERT_TRUE(eventually([&] { return server->connectionCount() == 0; }));
    for (int i = 0; i < 4; ++i) {
        open.push_back(std::make_unique<RawClient>(port));
        open.back()->send(post(call("block", i)));
    }
    ASSERT_TRUE(tools->waitForStarted(4));
    RawClient extra(port);
    EXPECT_THAT(extra.readResponse().value_or(""), StartsWith("HTTP/1.1 503 Service Unavailable\r\n"));
    tools->release();
    for (auto& client : open)
        EXPECT_THAT(body(client->readResponse()), HasSubstr("done"));
}

TEST_F(ServerFixture, OversizedRequestsAreRefusedAtOnceAndMalformedOnesGetNoAnswerAndAreClosedWhenThePeerStops) {
    for (auto [request, statusLine] :
         {std::pair{std::string("POST /mcp HTTP/1.1\r\nContent-Length: 5000000\r\n\r\n"), "HTTP/1.1 413 Content Too Large\r\n"},
          {"POST /mcp HTTP/1.1\r\nX-Fill: " + std::string(20000, 'a'), "HTTP/1.1 431 Request Header Fields Too Large\r\n"},
          {"POST /mcp HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
          {"NONSENSE\r\n\r\n", ""}, {"POST /mcp HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"id\"", ""}}) {
        SCOPED_TRACE(request.substr(0, 40));
        RawClient client(port);
        client.send(request);
        const std::string expected = statusLine;
        auto response = client.readResponse(expected.empty() ? 200ms : 10s);
        EXPECT_EQ(response.has_value(), !expected.empty());
        EXPECT_EQ(response.value_or("").substr(0, expected.size()), expected);
        if (expected.empty())
            ::shutdown(client.fd(), SHUT_WR);
        EXPECT_TRUE(client.closedByPeer(5s));
    }
}

TEST_F(ServerFixture, RandomBytesNeverStopTheServer) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        RawClient client(port);
        std::string junk(1 + random() % 3000, '\0');
        for (auto& c : junk)
            c = static_cast<char>(random() % 256);
        if (round % 3 == 0)
            junk = "POST /mcp HTTP/1.1\r\nContent-Length: " + std::to_string(random() % 50) + "\r\n\r\n" + junk;
        client.send(junk);
        ::shutdown(client.fd(), SHUT_WR);
        client.closedByPeer(2s);
    }
    EXPECT_EQ(body(roundTrip(port, post(kPing))), kPong);
}

TEST_F(ServerFixture, APortInUseIsLoggedAndLeavesTheServerStoppedAndASecondStartNeverRebinds) {
    MCPServer second(tools);
    second.start(port);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(second.running());
    EXPECT_EQ(second.port(), port);
    EXPECT_THAT(Log::shared().lines(), testing::Contains(HasSubstr("mcp: can't listen on " + std::to_string(port) + ": ")));
    server->start(0);
    EXPECT_EQ(server->port(), port);
    EXPECT_EQ(body(roundTrip(port, post(kPing))), kPong);
}

class IdleServer : public ServerFixture {
protected:
    void SetUp() override { start({.limits = {}, .idleTimeout = 300ms}); }
};

TEST_F(IdleServer, DropsAConnectionThatSendsNothingButNeverOneWhileItsToolCallRuns) {
    RawClient silent(port), trickling(port), calling(port);
    trickling.send("POST /mcp");
    calling.send(post(call("sleep", 9, {{"ms", 1200}})));
    EXPECT_TRUE(silent.closedByPeer(10s));
    EXPECT_TRUE(trickling.closedByPeer(10s));
    EXPECT_THAT(body(calling.readResponse(20s)), HasSubstr("done"));
    calling.send(post(kPing)); // and the connection still serves the next request
    EXPECT_EQ(body(calling.readResponse()), kPong);
}
