#include "agent/MCPServer.hpp"

#include <gtest/gtest.h>

#include <random>

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
        {"Content-Length: 9\r\nContent-Length: 2\r\n", "abcdefghi", "ab"}, // a later line replaces the earlier
        // A signed decimal, trimmed, else zero; a negative one is never used as a length.
        {"Content-Length: abc\r\n", "abcdef", ""},
        {"Content-Length: +3\r\n", "abcdef", "abc"},
        {"Content-Length: 3x\r\n", "abcdef", ""},
        {"Content-Length: 0x3\r\n", "abcdef", ""},
        {"Content-Length:  3 \r\n", "abcdef", "abc"},
        {"Content-Length: 99999999999999999999999\r\n", "abcdef", ""},
        {"Content-Length: -3\r\n", "abcdef", ""},
        {"Content-Length: 7\r\n", "abcdef", std::nullopt},
    };
    for (const auto& [headers, rest, body] : rows) {
        auto request = HTTPRequest::parse("POST / HTTP/1.1\r\n" + headers + "\r\n" + rest);
        EXPECT_EQ(request ? std::optional(request->body) : std::nullopt, body) << headers;
    }
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

TEST(HTTPFramingLimits, RefuseOversizedHeadsAtOnceAndBodiesBeforeTheyArrive) {
    const HTTPLimits limits;
    const std::string start = "POST /mcp HTTP/1.1\r\nX: ";
    auto framing = HTTPFraming::examine(start + std::string(limits.maxHead, 'a')); // the head has not even ended
    EXPECT_EQ(framing.kind, Kind::reject);
    EXPECT_EQ(framing.status, 431);
    // Exactly at the limit still passes.
    EXPECT_EQ(HTTPFraming::examine(start + std::string(limits.maxHead - start.size(), 'a') + "\r\n\r\n").kind,
              Kind::request);
    EXPECT_EQ(HTTPFraming::examine(start + std::string(limits.maxHead - start.size() + 1, 'a') + "\r\n\r\n").status,
              431);
    // Bodies are refused before they arrive.
    const std::string length = "POST /mcp HTTP/1.1\r\nContent-Length: ";
    framing = HTTPFraming::examine(length + std::to_string(limits.maxBody + 1) + "\r\n\r\n");
    EXPECT_EQ(framing.kind, Kind::reject);
    EXPECT_EQ(framing.status, 413);
    EXPECT_EQ(HTTPFraming::examine(length + std::to_string(limits.maxBody) + "\r\n\r\n").kind, Kind::needMore);
}

TEST(HTTPFramingLimits, RefuseNegativeLengthsAndTransferEncodingsButAMalformedHeadWaits) {
    for (std::string head : {"Content-Length: -1\r\n\r\nab", "Transfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n"}) {
        auto framing = HTTPFraming::examine("POST /mcp HTTP/1.1\r\n" + head);
        EXPECT_EQ(framing.kind, Kind::reject) << head;
        EXPECT_EQ(framing.status, 400) << head;
    }
    // The quirks stay: an unreadable length counts as 0.
    auto abc = HTTPFraming::examine("POST /mcp HTTP/1.1\r\nContent-Length: abc\r\n\r\n{}");
    EXPECT_EQ(abc.kind, Kind::request);
    EXPECT_EQ(abc.request.body, "");
    EXPECT_EQ(HTTPFraming::examine("GARBAGE\r\n\r\n").kind, Kind::needMore);
    EXPECT_EQ(HTTPFraming::examine("POST /\xFE HTTP/1.1\r\n\r\n").kind, Kind::needMore);
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

TEST(UUIDs, AreCanonicalUpperCaseAndDistinct) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        const std::string id = *seen.insert(makeUUID()).first;
        EXPECT_TRUE(id.size() == 36 && id[8] == '-' && id[14] == '4') << id;
        EXPECT_EQ(id.find_first_of("abcdef"), std::string::npos);
    }
    EXPECT_EQ(seen.size(), 100u);
}

// Random byte strings, and random mutations of valid requests, never upset the parser: a request it
// yields always carries exactly its declared body.
TEST(HTTPRequestFuzz, RandomInputIsParsedConsistently) {
    std::mt19937 random(2026);
    const std::string valid = "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 15\r\n\r\n{\"id\":1,\"m\":2}x";
    for (int round = 0; round < 20000; ++round) {
        std::string input;
        if (round % 2) {
            input.resize(random() % 200);
            for (auto& c : input)
                c = static_cast<char>(random() % 256);
        } else {
            input = valid;
            for (int edits = 1 + random() % 4; edits > 0; --edits)
                input[random() % input.size()] = static_cast<char>(random() % 256);
        }
        auto request = HTTPRequest::parse(input);
        auto framing = HTTPFraming::examine(input);
        if (framing.kind == Kind::request) {
            ASSERT_TRUE(request);
            EXPECT_EQ(std::tie(framing.request.body, framing.request.method), std::tie(request->body, request->method));
        }
        if (request) {
            EXPECT_LE(request->body.size(), input.size());
            EXPECT_NE(input.find(request->body), std::string::npos);
        }
    }
}
