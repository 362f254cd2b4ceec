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
        for (int i = 0; i < 500 && !server->running(); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(server->running());
        port = server->port();
        ASSERT_NE(port, 0);
    }
    void SetUp() override { start(); }
    void TearDown() override {
        tools->release();
        server.reset();
    }
};

std::string call(const std::string& tool, int id, json arguments = json::object()) {
    return json{{"jsonrpc", "2.0"}, {"id", id}, {"method", "tools/call"}, {"params", {{"name", tool}, {"arguments", arguments}}}}
        .dump();
}

} // namespace

TEST_F(ServerFixture, AnswersARequestThatArrivesInPiecesOnceComplete) {
    RawClient client(port);
    std::string request = post(kPing);
    client.send(request.substr(0, 7));
    client.send(request.substr(7, 20));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(client.readResponse(100ms));
    client.send(request.substr(27, request.size() - 28));
    EXPECT_FALSE(client.readResponse(100ms)); // one body byte still missing
    client.send(request.substr(request.size() - 1));
    auto response = client.readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(bodyOf(*response), kPong);
    EXPECT_FALSE(client.readResponse(100ms)); // answered once
}

TEST_F(ServerFixture, ASlowClientSendingOneByteAtATimeIsServed) {
    RawClient client(port);
    for (char c : post(kPing)) {
        client.send(std::string(1, c));
        std::this_thread::sleep_for(1ms);
    }
    auto response = client.readResponse();
    ASSERT_TRUE(response);
    EXPECT_EQ(bodyOf(*response), kPong);
}

TEST_F(ServerFixture, KeepsAConnectionOpenForTheNextRequest) {
    RawClient client(port);
    for (int i = 0; i < 3; ++i) {
        client.send(post(kPing));
        auto response = client.readResponse();
        ASSERT_TRUE(response) << i;
        EXPECT_EQ(bodyOf(*response), kPong);
    }
}

TEST_F(ServerFixture, ClosesAfterTheResponseWhenAskedTo) {
    RawClient client(port);
    client.send(post(kPing, "Connection: CLOSE\r\n"));
    auto response = client.readResponse();
    ASSERT_TRUE(response);
    EXPECT_TRUE(client.closedByPeer(5s));
}

TEST_F(ServerFixture, DropsPipelinedBytesButServesTheNextRequest) {
    RawClient client(port);
    client.send(post(kPing) + post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"));
    auto first = client.readResponse();
    ASSERT_TRUE(first);
    EXPECT_EQ(bodyOf(*first), kPong);
    EXPECT_FALSE(client.readResponse(200ms)); // the second request in the same read was dropped
    client.send(post(R"({"jsonrpc":"2.0","id":3,"method":"ping"})"));
    auto third = client.readResponse();
    ASSERT_TRUE(third);
    EXPECT_EQ(json::parse(bodyOf(*third))["id"], 3);
}

TEST_F(ServerFixture, ARequestInALaterReadAfterTheFirstIsServed) {
    RawClient client(port);
    client.send(post(kPing));
    ASSERT_TRUE(client.readResponse());
    client.send(post(R"({"jsonrpc":"2.0","id":2,"method":"ping"})"));
    auto second = client.readResponse();
    ASSERT_TRUE(second);
    EXPECT_EQ(json::parse(bodyOf(*second))["id"], 2);
}

TEST_F(ServerFixture, APingIsAnsweredWhileLongToolCallsBlockOtherConnections) {
    std::vector<std::unique_ptr<RawClient>> busy;
    for (int i = 0; i < 4; ++i) {
        busy.push_back(std::make_unique<RawClient>(port));
        busy.back()->send(post(call("block", i)));
    }
    ASSERT_TRUE(tools->waitForStarted(4));
    // Every tool call is still blocked while the ping goes through.
    auto pong = roundTrip(port, post(kPing));
    ASSERT_TRUE(pong);
    EXPECT_EQ(bodyOf(*pong), kPong);
    {
        std::lock_guard lock(tools->mutex);
        EXPECT_FALSE(tools->released);
    }
    tools->release();
    for (auto& client : busy) {
        auto response = client->readResponse();
        ASSERT_TRUE(response);
        EXPECT_THAT(bodyOf(*response), HasSubstr("done"));
    }
}

TEST_F(ServerFixture, ManyIdleOrTricklingConnectionsDoNotHoldUpAPing) {
    std::vector<std::unique_ptr<RawClient>> idle;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(idle.back()->connected());
        if (i % 2)
            idle.back()->send("P"); // the start of a request that never finishes
    }
    auto pong = roundTrip(port, post(kPing));
    ASSERT_TRUE(pong);
    EXPECT_EQ(bodyOf(*pong), kPong);
}

TEST_F(ServerFixture, RefusesOversizedRequestsAtOnceAndCloses) {
    {
        RawClient client(port);
        client.send("POST /mcp HTTP/1.1\r\nContent-Length: 5000000\r\n\r\n");
        auto response = client.readResponse();
        ASSERT_TRUE(response);
        EXPECT_THAT(*response, StartsWith("HTTP/1.1 413 Content Too Large\r\n"));
        EXPECT_TRUE(client.closedByPeer(5s));
    }
    {
        RawClient client(port);
        client.send("POST /mcp HTTP/1.1\r\nX-Fill: " + std::string(20000, 'a'));
        auto response = client.readResponse();
        ASSERT_TRUE(response);
        EXPECT_THAT(*response, StartsWith("HTTP/1.1 431 Request Header Fields Too Large\r\n"));
        EXPECT_TRUE(client.closedByPeer(5s));
    }
    {
        RawClient client(port);
        client.send("POST /mcp HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
        auto response = client.readResponse();
        ASSERT_TRUE(response);
        EXPECT_THAT(*response, StartsWith("HTTP/1.1 400 Bad Request\r\n"));
        EXPECT_TRUE(client.closedByPeer(5s));
    }
}

TEST_F(ServerFixture, AMalformedHeadGetsNoAnswerAndIsClosedWhenThePeerStops) {
    RawClient client(port);
    client.send("NONSENSE\r\n\r\n");
    EXPECT_FALSE(client.readResponse(200ms));
    ::shutdown(client.fd(), SHUT_WR);
    EXPECT_TRUE(client.closedByPeer(5s));
}

TEST_F(ServerFixture, ABodyCutShortIsClosedWithoutAnAnswer) {
    RawClient client(port);
    client.send("POST /mcp HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"id\"");
    ::shutdown(client.fd(), SHUT_WR);
    EXPECT_TRUE(client.closedByPeer(5s));
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
    auto pong = roundTrip(port, post(kPing));
    ASSERT_TRUE(pong);
    EXPECT_EQ(bodyOf(*pong), kPong);
}

class IdleServer : public ServerFixture {
protected:
    void SetUp() override {
        MCPServer::Options options;
        options.idleTimeout = 300ms;
        start(options);
    }
};

TEST_F(IdleServer, DropsAConnectionThatSendsNothing) {
    RawClient silent(port);
    RawClient trickling(port);
    trickling.send("POST /mcp");
    EXPECT_TRUE(silent.closedByPeer(10s));
    EXPECT_TRUE(trickling.closedByPeer(10s));
}

TEST_F(IdleServer, NeverDropsAConnectionWhileItsToolCallRuns) {
    RawClient client(port);
    client.send(post(call("sleep", 9, {{"ms", 1200}})));
    auto response = client.readResponse(20s);
    ASSERT_TRUE(response);
    EXPECT_THAT(bodyOf(*response), HasSubstr("done"));
    // And the connection still serves the next request.
    client.send(post(kPing));
    ASSERT_TRUE(client.readResponse());
}

TEST(MCPServerStart, APortInUseIsLoggedAndLeavesTheServerStopped) {
    auto tools = std::make_shared<FakeTools>();
    MCPServer first(tools);
    first.start(0);
    for (int i = 0; i < 500 && !first.running(); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(first.running());
    MCPServer second(tools);
    second.start(first.port());
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(second.running());
    EXPECT_EQ(second.port(), first.port());
    auto lines = Log::shared().lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find("mcp: can't listen on " + std::to_string(first.port()) + ": ") != std::string::npos;
    }));
}

TEST(MCPServerStart, ASecondStartNeverRebinds) {
    auto tools = std::make_shared<FakeTools>();
    MCPServer server(tools);
    server.start(0);
    for (int i = 0; i < 500 && !server.running(); ++i)
        std::this_thread::sleep_for(10ms);
    auto port = server.port();
    server.start(0);
    EXPECT_EQ(server.port(), port);
    auto pong = roundTrip(port, post(kPing));
    ASSERT_TRUE(pong);
}
