// Routing and JSON-RPC dispatch, driven through MCPServer::handle with exact request and response bytes.
#include "agent/MCPServer.hpp"

#include "tests/agent/FakeTools.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

using namespace pokescope;
using namespace pokescope::test;
using nlohmann::json;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

class MCPServerTest : public testing::Test {
protected:
    std::shared_ptr<FakeTools> tools = std::make_shared<FakeTools>();
    MCPServer server{tools};
    std::vector<std::string> requests;

    void SetUp() override { server.setOnRequest([this](const std::string& label) { requests.push_back(label); }); }

    HTTPRequest request(std::string method, std::string path, std::string body = "",
                        std::map<std::string, std::string> headers = {}) {
        return HTTPRequest{std::move(method), std::move(path), std::move(headers), std::move(body)};
    }
    std::string postBody(const std::string& body, std::map<std::string, std::string> headers = {}) {
        return server.handle(request("POST", "/mcp", body, std::move(headers)));
    }

    static std::string body(const std::string& response) { return response.substr(response.find("\r\n\r\n") + 4); }
    static json bodyJSON(const std::string& response) { return json::parse(body(response)); }
};

} // namespace

TEST_F(MCPServerTest, RoutesByMethodPathAndOriginRefusingForeignOriginsAndHosts) {
    EXPECT_EQ(server.handle(request("OPTIONS", "/anything")), "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(server.handle(request("POST", "/other", "{}")),
              "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nContent-Type: text/plain\r\n\r\nnot found");
    EXPECT_EQ(server.handle(request("GET", "/mcp")),
              "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nAllow: POST, DELETE\r\n\r\n");
    EXPECT_EQ(server.handle(request("DELETE", "/mcp")), "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    for (std::string method : {"PUT", "post"})
        EXPECT_THAT(server.handle(request(method, "/mcp", "{}")), StartsWith("HTTP/1.1 405 ")) << method;
    // The path test is a prefix test.
    for (std::string path : {"/mcp/", "/mcp?x=1", "/mcpfoo"})
        EXPECT_THAT(server.handle(request("DELETE", path)), StartsWith("HTTP/1.1 200 ")) << path;
    const std::string forbidden =
        "HTTP/1.1 403 Forbidden\r\nContent-Length: 16\r\nContent-Type: text/plain\r\n\r\nforbidden origin";
    auto ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    EXPECT_EQ(postBody(ping, {{"origin", "http://localhost.evil.example"}}), forbidden);
    EXPECT_EQ(postBody(ping, {{"host", "evil.example:47811"}}), forbidden);
    EXPECT_THAT(postBody(ping, {{"origin", "http://localhost:5173"}, {"host", "127.0.0.1:47811"}}),
                StartsWith("HTTP/1.1 200 "));
    // OPTIONS and unknown paths are answered before the origin is looked at.
    EXPECT_THAT(server.handle(request("OPTIONS", "/mcp", "", {{"origin", "null"}})), StartsWith("HTTP/1.1 204 "));
}

TEST_F(MCPServerTest, BadOrAbsurdlyDeepBodiesGetTheParseAndInvalidRequestErrors) {
    const std::string parseError =
        "HTTP/1.1 400 Bad Request\r\nContent-Length: 75\r\nContent-Type: application/json\r\n\r\n"
        R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";
    for (std::string body : {"", "\"x\"", "42", "true", "null", "{", "{\"a\":1} trailing", "\xFF"})
        EXPECT_EQ(postBody(body), parseError) << body;
    auto invalid = postBody("[1, 2]");
    EXPECT_THAT(invalid, StartsWith("HTTP/1.1 400 Bad Request\r\n"));
    EXPECT_EQ(bodyJSON(invalid), json::parse(R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid request"}})"));
    // An empty batch and one longer than the batch tool's limit are invalid requests as a whole.
    json many = json::array();
    for (std::size_t i = 0; i <= MCPServer::kMaxBatch; ++i)
        many.push_back({{"jsonrpc", "2.0"}, {"id", i}, {"method", "ping"}});
    for (std::string body : {std::string(R"([{"id":1,"method":"ping"}, 3])"), std::string("[]"), many.dump()})
        EXPECT_EQ(postBody(body), invalid) << body.substr(0, 40);
    EXPECT_TRUE(requests.empty());
    // A request with an id is always answered: a missing or non-string method, another JSON-RPC version, or
    // an id that is no string, number or null is an invalid request (with the id, where it is one).
    for (auto [body, id] : {std::pair{R"({"id":5,"method":7})", "5"}, {R"({"id":"x"})", "\"x\""},
                            {R"({"jsonrpc":"1.0","id":3,"method":"ping"})", "3"},
                            {R"({"jsonrpc":"2.0","id":{"k":[1]},"method":"ping"})", "null"},
                            {R"({"jsonrpc":"2.0","id":[1,"x"],"method":"ping"})", "null"},
                            {R"({"jsonrpc":"2.0","id":true,"method":"ping"})", "null"}}) {
        auto response = postBody(body);
        EXPECT_THAT(response, StartsWith("HTTP/1.1 200 OK\r\n")) << body;
        EXPECT_EQ(bodyJSON(response), json::parse(std::string(R"({"jsonrpc":"2.0","id":)") + id +
                                                  R"(,"error":{"code":-32600,"message":"Invalid request"}})"))
            << body;
    }
    // Absurdly deep JSON, in the body or its parameters, is a parse error.
    EXPECT_THAT(postBody(std::string(100000, '[') + std::string(100000, ']')), HasSubstr("-32700"));
    EXPECT_THAT(postBody(R"({"id":1,"method":"ping","params":)" + std::string(65, '[') + std::string(65, ']') + "}"),
                HasSubstr("-32700"));
    EXPECT_THAT(postBody(R"({"id":1,"method":"ping","params":{"a":)" + std::string(60, '[') + std::string(60, ']') + "}}"),
                StartsWith("HTTP/1.1 200 "));
}

TEST_F(MCPServerTest, NotificationsAndBatchesWithoutRequestsGet202AndBatchesAnswerOnlyTheirRequests) {
    const std::string accepted = "HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\n\r\n";
    // A client's response (to nothing the server asked) and a malformed notification are dropped too.
    for (std::string body : {R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                             R"([{"method":"notifications/cancelled"},{"jsonrpc":"2.0","method":"x"}])",
                             R"({"jsonrpc":"2.0","id":5,"result":{}})", R"({"method":7})"})
        EXPECT_EQ(postBody(body), accepted) << body;
    EXPECT_TRUE(requests.empty());
    // A batch answers only its requests.
    auto batch = postBody(R"([{"jsonrpc":"2.0","id":1,"method":"ping"},{"jsonrpc":"2.0","method":"notifications/x"}])");
    EXPECT_THAT(batch, StartsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(bodyJSON(batch), json::parse(R"([{"jsonrpc":"2.0","id":1,"result":{}}])"));
    // An initialize inside a batch gets no session header.
    EXPECT_THAT(postBody(R"([{"id":1,"method":"initialize"}])"), testing::Not(HasSubstr("Mcp-Session-Id")));
    for (std::string id : {"7", "\"a\"", "null", "-1.5", "123456789012345"}) {
        auto response = bodyJSON(postBody(R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})"));
        EXPECT_EQ(response, json::parse(R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})")) << id;
    }
    EXPECT_EQ(body(postBody(R"({"jsonrpc":"2.0","id":"a","method":"ping"})")), R"({"id":"a","jsonrpc":"2.0","result":{}})");
}

TEST_F(MCPServerTest, InitializeNegotiatesTheVersionAndStartsASession) {
    auto answer = [&](const std::string& params) {
        auto response = postBody(R"({"jsonrpc":"2.0","id":7,"method":"initialize")" + params + "}");
        return std::make_pair(response, bodyJSON(response)["result"]);
    };
    for (auto [asked, given] : {std::pair{R"("2025-03-26")", "2025-03-26"}, {R"("2024-11-05")", "2024-11-05"},
                                {R"("1999-01-01")", "2025-06-18"}, {"20250326", "2025-06-18"}})
        EXPECT_EQ(answer(std::string(R"(,"params":{"protocolVersion":)") + asked + "}").second["protocolVersion"], given);
    auto [response, result] = answer("");
    EXPECT_EQ(result, (json{{"protocolVersion", "2025-06-18"},
                            {"capabilities", json::parse(R"({"tools":{"listChanged":false}})")},
                            {"serverInfo", json::parse(R"({"name":"pokescope","title":"Pokescope","version":"0.1.0"})")},
                            {"instructions", MCPServer::instructions()}}));
    auto session = [](const std::string& response) {
        auto at = response.find("Mcp-Session-Id: ");
        return at == std::string::npos ? "" : response.substr(at + 16, 36);
    };
    // Each session is a new version 4 UUID in upper case.
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    EXPECT_TRUE(std::regex_match(session(response), uuid)) << response;
    EXPECT_NE(session(response), session(answer("").first));
    EXPECT_EQ(requests, std::vector<std::string>(6, "initialize"));
    EXPECT_THAT(MCPServer::instructions(), HasSubstr("a left-edge swipe goes back\nand a bottom-edge swipe goes Home."));
}

TEST_F(MCPServerTest, UnknownMethodsAreRefusedToolsAreListedWithoutPagingAndCalledWithLenientArguments) {
    EXPECT_EQ(bodyJSON(postBody(R"({"id":1,"method":"resources/list"})")),
              json::parse(R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"Method not found: resources/list"}})"));
    EXPECT_EQ(bodyJSON(postBody(R"({"id":2,"method":"tools/list","params":{"cursor":"abc"}})"))["result"],
              json::parse(R"({"tools":[{"name":"tap"},{"name":"status"}]})"));
    for (std::string params : {R"({"name":"tap","arguments":"x"})", "{}", R"({"name":5,"arguments":{"x":1}})", "[1]"})
        postBody(R"({"id":1,"method":"tools/call","params":)" + params + "}");
    auto response = bodyJSON(postBody(R"({"id":5,"method":"tools/call","params":{"name":"status"}})"));
    ASSERT_EQ(tools->calls.size(), 5u);
    EXPECT_EQ(tools->calls[0], std::make_pair(std::string("tap"), json::object()));
    EXPECT_EQ(tools->calls[1], std::make_pair(std::string(""), json::object()));
    EXPECT_EQ(tools->calls[2], std::make_pair(std::string(""), json({{"x", 1}})));
    EXPECT_EQ(tools->calls[3].first, "");
    EXPECT_EQ(requests, (std::vector<std::string>{"resources/list", "tools/list", "tool: tap", "tool: ?", "tool: 5",
                                                  "tool: ?", "tool: status"}));
    EXPECT_EQ(response, json({{"jsonrpc", "2.0"}, {"id", 5}, {"result", tools->result}}));
    // Results that are not UTF-8 still reach the client.
    tools->result = {{"content", json::array({{{"type", "text"}, {"text", "bad \xFF byte"}}})}};
    auto raw = postBody(R"({"id":1,"method":"tools/call","params":{"name":"tap"}})");
    EXPECT_THAT(raw, StartsWith("HTTP/1.1 200 OK\r\n"));
    EXPECT_EQ(bodyJSON(raw)["result"]["content"][0]["text"], "bad \xEF\xBF\xBD byte");
}
