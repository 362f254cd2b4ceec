#include "agent/MCPServer.hpp"

#include <gtest/gtest.h>

using namespace pokescope;
using Kind = HTTPFraming::Kind;

TEST(HTTPRequestParse, YieldsNothingUntilTheHeadIsCompleteOrForHeadsThatAreNotUtf8OrLackAPath) {
    for (auto [input, parsed] : {std::pair{"", false}, {"POST /mcp HTTP/1.1\r\nHost: x\r\n", false},
                                 {"POST /mcp HTTP/1.1\r\nHost: x\r\n\r", false},
                                 {"POST /mcp HTTP/1.1\nHost: x\n\n", false}, // bare line feeds never end a head
                                 {"POST /mcp HTTP/1.1\r\nHost: x\r\n\r\n", true}, {"POST /\xFF HTTP/1.1\r\n\r\n", false},
                                 {"POST\r\nHost: x\r\n\r\n", false}, {"   \r\n\r\n", false},
                                 {"POST /caf\xC3\xA9\r\n\r\n", true}})
        EXPECT_EQ(HTTPRequest::parse(input).has_value(), parsed) << input;
}

TEST(HTTPRequestParse, ReadsMethodPathHeadersAndExactlyContentLengthBytes) {
    auto request = HTTPRequest::parse("post  /mcp?x=1   HTTP/1.1\r\nContent-Length: 5\r\nX-Thing:\t a b \t\r\n"
                                      "no colon here\r\n\r\nhello world"); // one body byte per declared one
    ASSERT_TRUE(request);
    EXPECT_EQ(std::tie(request->method, request->path, request->body), std::tuple("post", "/mcp?x=1", "hello"));
    EXPECT_EQ(request->headers, (std::map<std::string, std::string>{{"content-length", "5"}, {"x-thing", "a b"}}));
}

TEST(HTTPRequestParse, TheBodyIsExactlyContentLengthBytesOnceAllHaveCome) {
    // Each row: the header lines, what follows the head, and the body parsed (none: wait for more).
    const std::tuple<std::string, std::string, std::optional<std::string>> rows[] = {
        {"Content-Length: 10\r\n", "123456789", std::nullopt},
        {"Content-Length: 10\r\n", "1234567890", "1234567890"},
        {"content-length: 2\r\n", "ab", "ab"}, // names are lower-cased, but not trimmed
        {"CONTENT-LENGTH: 2\r\n", "ab", "ab"},
        {"Content-Length : 2\r\n", "ab", ""},
        {"Content-Length: 2\r\nContent-Length: 2\r\n", "abcdefghi", "ab"}, // the same length twice is one
        // Only plain decimal digits (trimmed) are a length; anything else makes the request malformed.
        {"Content-Length: 9\r\nContent-Length: 2\r\n", "abcdefghi", std::nullopt},
        {"Content-Length:  3 \r\n", "abcdef", "abc"},
        {"Content-Length: 007\r\n", "abcdefg", "abcdefg"},
        {"Content-Length: 7\r\n", "abcdef", std::nullopt},
    };
    for (const auto& [headers, rest, body] : rows) {
        auto request = HTTPRequest::parse("POST / HTTP/1.1\r\n" + headers + "\r\n" + rest);
        EXPECT_EQ(request ? std::optional(request->body) : std::nullopt, body) << headers;
    }
    for (const char* length : {"abc", "+3", "3x", "0x26", "38, 38", "-0", "-3", "", "99999999999999999999999"})
        EXPECT_FALSE(HTTPRequest::parse(std::string("POST / HTTP/1.1\r\nContent-Length: ") + length + "\r\n\r\nabcdef"))
            << length;
    EXPECT_EQ(HTTPRequest::parse("POST / HTTP/1.1\r\nContent-Length : 2\r\n\r\n")->headers.count("content-length "), 1u);
}

TEST(HTTPResponse, EncodesTheExactBytes) {
    // 202, 204, 404 and 405 are checked to the byte as the server answers them.
    EXPECT_EQ(HTTPRequest::response(200, std::string("{}"), "application/json", {{"Mcp-Session-Id", "ABC"}}),
              "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: application/json\r\nMcp-Session-Id: ABC\r\n\r\n{}");
    EXPECT_EQ(HTTPRequest::response(200, std::string("\xC3\xA9"), "text/plain"),
              "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\n\xC3\xA9");
    for (auto [status, phrase] : {std::pair{400, "Bad Request"}, {403, "Forbidden"}, {413, "Content Too Large"},
                                  {431, "Request Header Fields Too Large"}, {500, "OK"}})
        EXPECT_STREQ(HTTPRequest::reasonPhrase(status), phrase) << status;
}

TEST(HTTPFramingLimits, RefuseOversizedHeadsAndBodiesLengthsThatAreNoPlainNumberAndTransferEncodingsButAMalformedHeadWaits) {
    const HTTPLimits limits;
    const std::string head = "POST /mcp HTTP/1.1\r\nX: ", length = "POST /mcp HTTP/1.1\r\nContent-Length: ";
    const std::size_t fill = limits.maxHead - head.size();
    // Each row: the bytes, what the framing makes of them and, for a refusal, its status (else 0).
    const std::tuple<std::string, Kind, int> rows[] = {
        {head + std::string(limits.maxHead, 'a'), Kind::reject, 431}, // the head has not even ended
        {head + std::string(fill, 'a') + "\r\n\r\n", Kind::request, 0}, // exactly at the limit
        {head + std::string(fill + 1, 'a') + "\r\n\r\n", Kind::reject, 431},
        {length + std::to_string(limits.maxBody + 1) + "\r\n\r\n", Kind::reject, 413}, // before the body arrives
        {length + std::to_string(limits.maxBody) + "\r\n\r\n", Kind::needMore, 0},
        {length + "-1\r\n\r\nab", Kind::reject, 400},
        {length + "-0\r\n\r\n", Kind::reject, 400},
        {length + "0x26\r\n\r\n", Kind::reject, 400},
        {length + "38, 38\r\n\r\n", Kind::reject, 400},
        {length + "2\r\nContent-Length: 3\r\n\r\nabc", Kind::reject, 400}, // two that differ
        {length + "12345678901234567890\r\n\r\n", Kind::reject, 413},
        {length + "2\r\n\r\n{}POST /mcp", Kind::request, 0}, // what follows is the next request's
        {"POST /mcp HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", Kind::reject, 400},
        {length + "abc\r\n\r\n{}", Kind::reject, 400},
        {"GARBAGE\r\n\r\n", Kind::needMore, 0},
        {"POST /\xFE HTTP/1.1\r\n\r\n", Kind::needMore, 0},
    };
    for (const auto& [input, kind, status] : rows) {
        SCOPED_TRACE(input.substr(0, 60));
        auto framing = HTTPFraming::examine(input);
        EXPECT_EQ(framing.kind, kind);
        EXPECT_EQ(kind == Kind::reject ? framing.status : 0, status);
        EXPECT_EQ(kind == Kind::request ? framing.request.body : "", kind == Kind::request && input.find("{}") != std::string::npos ? "{}" : "");
        EXPECT_EQ(framing.consumed, kind == Kind::request ? input.size() - (input.ends_with("POST /mcp") ? 9 : 0) : 0);
    }
}

TEST(LocalOrigins, AcceptOnlyTheLoopbackNamesOverHttpAndHostsNamingTheServer) {
    for (std::string origin : {"http://localhost", "http://localhost:5173", "http://127.0.0.1", "http://127.0.0.1:8080",
                               "http://localhost/", "http://localhost:"})
        EXPECT_TRUE(isLocalOrigin(origin)) << origin;
    for (std::string origin :
         {"https://localhost", "null", "http://localhost.evil.example", "http://127.0.0.1.evil.example",
          "http://localhost@evil.example", "http://localhost:80@evil.example", "http://127.0.0.10",
          "http://localhost:5173/path", "http://localhost:123456", "http://[::1]", "http://LOCALHOST", ""})
        EXPECT_FALSE(isLocalOrigin(origin)) << origin;
    // Host headers name the loopback server.
    for (std::string host : {"127.0.0.1", "127.0.0.1:47811", "localhost", "LocalHost:47811"})
        EXPECT_TRUE(isLocalHost(host)) << host;
    for (std::string host : {"evil.example", "evil.example:47811", "localhost.evil.example", "127.0.0.1.nip.io",
                             "192.168.1.2:47811", "", "localhost:abc"})
        EXPECT_FALSE(isLocalHost(host)) << host;
}

TEST(JsonNesting, CountsBracketsOutsideStrings) {
    EXPECT_EQ(jsonNestingDepth("{}"), 1u);
    EXPECT_EQ(jsonNestingDepth(R"({"a":[[1],{"b":[]}]})"), 4u);
    EXPECT_EQ(jsonNestingDepth(R"({"a":"[[[[\"[[["})"), 1u);
    EXPECT_EQ(jsonNestingDepth(std::string(100, '[')), 100u);
}
