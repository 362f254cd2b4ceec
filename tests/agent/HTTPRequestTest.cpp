#include "agent/MCPServer.hpp"

#include <gtest/gtest.h>

#include <random>

using namespace pokescope;
using Kind = HTTPFraming::Kind;

TEST(HTTPRequestParse, YieldsNothingUntilTheHeadIsComplete) {
    EXPECT_FALSE(HTTPRequest::parse(""));
    EXPECT_FALSE(HTTPRequest::parse("POST /mcp HTTP/1.1\r\nHost: x\r\n"));
    EXPECT_FALSE(HTTPRequest::parse("POST /mcp HTTP/1.1\r\nHost: x\r\n\r"));
    // Bare line feeds never end a head.
    EXPECT_FALSE(HTTPRequest::parse("POST /mcp HTTP/1.1\nHost: x\n\n"));
    EXPECT_TRUE(HTTPRequest::parse("POST /mcp HTTP/1.1\r\nHost: x\r\n\r\n"));
}

TEST(HTTPRequestParse, ReadsMethodPathHeadersAndExactlyContentLengthBytes) {
    auto request = HTTPRequest::parse("post  /mcp?x=1   HTTP/1.1\r\nContent-Length: 5\r\nX-Thing:\t a b \t\r\n"
                                      "no colon here\r\n\r\nhello world");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "post");
    EXPECT_EQ(request->path, "/mcp?x=1");
    EXPECT_EQ(request->headers.at("x-thing"), "a b");
    EXPECT_EQ(request->headers.size(), 2u);
    EXPECT_EQ(request->body, "hello");
}

TEST(HTTPRequestParse, WaitsForTheWholeBody) {
    EXPECT_FALSE(HTTPRequest::parse("POST /mcp HTTP/1.1\r\nContent-Length: 10\r\n\r\n123456789"));
    auto request = HTTPRequest::parse("POST /mcp HTTP/1.1\r\nContent-Length: 10\r\n\r\n1234567890");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->body, "1234567890");
}

TEST(HTTPRequestParse, HeaderNamesAreLowerCasedButNotTrimmed) {
    auto lower = HTTPRequest::parse("POST / HTTP/1.1\r\ncontent-length: 2\r\n\r\nab");
    auto upper = HTTPRequest::parse("POST / HTTP/1.1\r\nCONTENT-LENGTH: 2\r\n\r\nab");
    auto spaced = HTTPRequest::parse("POST / HTTP/1.1\r\nContent-Length : 2\r\n\r\nab");
    ASSERT_TRUE(lower && upper && spaced);
    EXPECT_EQ(lower->body, "ab");
    EXPECT_EQ(upper->body, "ab");
    EXPECT_EQ(spaced->body, "");
    EXPECT_EQ(spaced->headers.count("content-length "), 1u);
}

TEST(HTTPRequestParse, ALaterHeaderLineReplacesTheEarlierOne) {
    auto request = HTTPRequest::parse("POST / HTTP/1.1\r\nContent-Length: 9\r\nContent-Length: 2\r\n\r\nabcdefghi");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->body, "ab");
}

TEST(HTTPRequestParse, ContentLengthIsASignedDecimalOrZero) {
    auto body = [](const std::string& value) {
        auto request = HTTPRequest::parse("POST / HTTP/1.1\r\nContent-Length: " + value + "\r\n\r\nabcdef");
        return request ? std::optional<std::string>(request->body) : std::nullopt;
    };
    EXPECT_EQ(body("abc"), "");
    EXPECT_EQ(body("+3"), "abc");
    EXPECT_EQ(body("3x"), "");
    EXPECT_EQ(body("0x3"), "");
    EXPECT_EQ(body(" 3 "), "abc"); // values are trimmed
    EXPECT_EQ(body("99999999999999999999999"), ""); // overflow counts as 0
    EXPECT_EQ(body("-3"), "");                      // never used as a length
    EXPECT_EQ(body("7"), std::nullopt);
}

TEST(HTTPRequestParse, RefusesHeadsThatAreNotUtf8OrLackAPath) {
    EXPECT_FALSE(HTTPRequest::parse("POST /\xFF HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(HTTPRequest::parse("POST\r\nHost: x\r\n\r\n"));
    EXPECT_FALSE(HTTPRequest::parse("   \r\n\r\n"));
    EXPECT_TRUE(HTTPRequest::parse("POST /caf\xC3\xA9\r\n\r\n"));
}

TEST(HTTPResponse, EncodesTheExactBytes) {
    EXPECT_EQ(HTTPRequest::response(204, std::nullopt), "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(HTTPRequest::response(404, std::string("not found"), "text/plain"),
              "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nContent-Type: text/plain\r\n\r\nnot found");
    EXPECT_EQ(HTTPRequest::response(405, std::nullopt),
              "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nAllow: POST, DELETE\r\n\r\n");
    EXPECT_EQ(HTTPRequest::response(202, std::nullopt), "HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(HTTPRequest::response(200, std::string("{}"), "application/json", {{"Mcp-Session-Id", "ABC"}}),
              "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: application/json\r\nMcp-Session-Id: ABC\r\n\r\n{}");
    EXPECT_EQ(HTTPRequest::response(200, std::string("\xC3\xA9"), "text/plain"),
              "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Type: text/plain\r\n\r\n\xC3\xA9");
}

TEST(HTTPResponse, ReasonPhrases) {
    EXPECT_STREQ(HTTPRequest::reasonPhrase(400), "Bad Request");
    EXPECT_STREQ(HTTPRequest::reasonPhrase(403), "Forbidden");
    EXPECT_STREQ(HTTPRequest::reasonPhrase(413), "Content Too Large");
    EXPECT_STREQ(HTTPRequest::reasonPhrase(431), "Request Header Fields Too Large");
    EXPECT_STREQ(HTTPRequest::reasonPhrase(500), "OK");
}

TEST(HTTPFramingLimits, RefuseOversizedHeadsAtOnce) {
    HTTPLimits limits;
    std::string longHead = "POST /mcp HTTP/1.1\r\nX-Fill: " + std::string(limits.maxHead, 'a');
    auto framing = HTTPFraming::examine(longHead);
    EXPECT_EQ(framing.kind, Kind::reject);
    EXPECT_EQ(framing.status, 431);

    // Exactly at the limit still passes.
    std::string atLimit = "POST /mcp HTTP/1.1\r\nX: ";
    atLimit += std::string(limits.maxHead - atLimit.size(), 'a') + "\r\n\r\n";
    EXPECT_EQ(HTTPFraming::examine(atLimit).kind, Kind::request);
    std::string overLimit = "POST /mcp HTTP/1.1\r\nX: ";
    overLimit += std::string(limits.maxHead - overLimit.size() + 1, 'a') + "\r\n\r\n";
    EXPECT_EQ(HTTPFraming::examine(overLimit).status, 431);
}

TEST(HTTPFramingLimits, RefuseOversizedBodiesBeforeTheyArrive) {
    HTTPLimits limits;
    auto framing = HTTPFraming::examine("POST /mcp HTTP/1.1\r\nContent-Length: " + std::to_string(limits.maxBody + 1) +
                                        "\r\n\r\n");
    EXPECT_EQ(framing.kind, Kind::reject);
    EXPECT_EQ(framing.status, 413);
    EXPECT_EQ(HTTPFraming::examine("POST /mcp HTTP/1.1\r\nContent-Length: " + std::to_string(limits.maxBody) +
                                   "\r\n\r\n")
                  .kind,
              Kind::needMore);
}

TEST(HTTPFramingLimits, RefuseNegativeLengthsAndTransferEncodings) {
    auto negative = HTTPFraming::examine("POST /mcp HTTP/1.1\r\nContent-Length: -1\r\n\r\nab");
    EXPECT_EQ(negative.kind, Kind::reject);
    EXPECT_EQ(negative.status, 400);
    auto chunked = HTTPFraming::examine("POST /mcp HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n");
    EXPECT_EQ(chunked.kind, Kind::reject);
    EXPECT_EQ(chunked.status, 400);
    // The quirks stay: an unreadable length counts as 0.
    auto abc = HTTPFraming::examine("POST /mcp HTTP/1.1\r\nContent-Length: abc\r\n\r\n{}");
    EXPECT_EQ(abc.kind, Kind::request);
    EXPECT_EQ(abc.request.body, "");
}

TEST(HTTPFramingLimits, AMalformedHeadWaitsWithoutAnAnswer) {
    EXPECT_EQ(HTTPFraming::examine("GARBAGE\r\n\r\n").kind, Kind::needMore);
    EXPECT_EQ(HTTPFraming::examine("POST /\xFE HTTP/1.1\r\n\r\n").kind, Kind::needMore);
}

TEST(LocalOrigins, AcceptOnlyTheLoopbackNamesOverHttp) {
    for (std::string origin : {"http://localhost", "http://localhost:5173", "http://127.0.0.1", "http://127.0.0.1:8080",
                               "http://localhost/", "http://localhost:"})
        EXPECT_TRUE(isLocalOrigin(origin)) << origin;
    for (std::string origin :
         {"https://localhost", "null", "http://localhost.evil.example", "http://127.0.0.1.evil.example",
          "http://localhost@evil.example", "http://localhost:80@evil.example", "http://127.0.0.10",
          "http://localhost:5173/path", "http://localhost:123456", "http://[::1]", "http://LOCALHOST", ""})
        EXPECT_FALSE(isLocalOrigin(origin)) << origin;
}

TEST(LocalOrigins, HostHeadersNameTheLoopbackServer) {
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
        std::string id = makeUUID();
        ASSERT_EQ(id.size(), 36u);
        EXPECT_EQ(id[8], '-');
        EXPECT_EQ(id[14], '4');
        EXPECT_EQ(id.find_first_of("abcdef"), std::string::npos);
        seen.insert(id);
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
            EXPECT_EQ(framing.request.body, request->body);
            EXPECT_EQ(framing.request.method, request->method);
        }
        if (request) {
            EXPECT_LE(request->body.size(), input.size());
            EXPECT_NE(input.find(request->body), std::string::npos);
        }
    }
}
