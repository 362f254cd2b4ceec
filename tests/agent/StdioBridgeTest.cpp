#include "agent/StdioBridge.hpp"
#include "app/InstanceLock.hpp"

#include "tests/e2e/LaunchedApp.hpp"
#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <system_error>
#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

struct HeldPort {
    std::uint16_t port = 0;
    int fd = loopbackSocket(false, port);
    ~HeldPort() { ::close(fd); }
};

// A stand-in for the application's server: keeps each request's bytes and answers it with what `respond`
// gives for its body (a whole HTTP response), one request per connection.
class FakeServer {
public:
    explicit FakeServer(std::function<std::string(const std::string&)> respond)
        : fd_(loopbackSocket(true, port_)), thread_([this, respond] {
              for (int connection; (connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                  const timeval timeout{5, 0}; // the head and a Content-Length body, read for at most 5 s
                  ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
                  std::string request;
                  char buffer[4096];
                  for (ssize_t n; !complete(request) && (n = ::read(connection, buffer, sizeof buffer)) > 0;)
                      request.append(buffer, static_cast<std::size_t>(n));
                  std::lock_guard lock(mutex_);
                  requests_.push_back(request);
                  const auto reply = respond(request.substr(std::min(request.size(), request.find("\r\n\r\n") + 4)));
                  (void)!::write(connection, reply.data(), reply.size());
                  ::close(connection);
              }
          }) {}
    ~FakeServer() {
        ::shutdown(fd_, SHUT_RDWR); // ends the accept
        thread_.join();
        ::close(fd_);
    }
    std::uint16_t port() const { return port_; }
    std::vector<std::string> requests() { return std::lock_guard(mutex_), requests_; }
    static std::string response(int status, const std::string& body) {
        return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }

private:
    static bool complete(const std::string& r) {
        const auto head = r.find("\r\n\r\n"), length = r.find("Content-Length: ");
        return head != std::string::npos &&
               r.size() >= head + 4 + (length == std::string::npos ? 0 : std::stoul(r.substr(length + 16)));
    }
    std::uint16_t port_ = 0;
    int fd_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

std::filesystem::path lockFile(const TempHome& home, std::uint16_t port) {
    return home.path() / ".local/state/pokescope" / ("pokescope-" + std::to_string(port) + ".lock");
}

std::unique_ptr<Child> startBridge(const TempHome& home, std::uint16_t port, std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{binaryPath().string(), "--stdio", "--port", std::to_string(port)};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto environment = home.environment();
    environment.insert(environment.end(), {"DISPLAY=", "WAYLAND_DISPLAY="});
    return std::make_unique<Child>(arguments, environment, true);
}

bool pingAnswered(std::uint16_t port) {
    auto response = roundTrip(port, post(R"({"jsonrpc":"2.0","id":5,"method":"ping"})"));
    return response && response->rfind("HTTP/1.1 200", 0) == 0;
}

// Lines as a client writes them, each ending in a line feed.
std::string input(std::initializer_list<std::string> lines) {
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    return text;
}

} // namespace

TEST(StdioBridgeOutput, OnlyA200ReplyInUtf8IsWrittenAndTransportErrorsAnswerRequestsAndTheApplicationStartsHeadless) {
    const std::string ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
    const std::string unreachable = R"({"jsonrpc":"2.0","id":"x","error":{"code":-32000,"message":"Pokescope app )"
                                    R"(isn't reachable: Failed to connect to 127.0.0.1 port 9: Connection refused"}})";
    const struct {
        std::string line;
        StdioBridge::Exchange exchange;
        std::optional<std::string> written;
    } rows[] = {
        {"{}", {200, "{\n  \"jsonrpc\": \"2.0\",\n  \"id\": 1\n}\n", {}}, "{  \"jsonrpc\": \"2.0\",  \"id\": 1}\n"},
        {"{}", {200, R"({"a":"b"})", {}}, "{\"a\":\"b\"}\n"},
        {"{}", {200, "{\"text\":\"\xff\xfe\"}", {}}, std::nullopt},
        {"{}", {200, "{\"text\":\"\xed\xa0\x80\"}", {}}, std::nullopt}, // a surrogate
        {"{}", {200, "{\"text\":\"é\"}", {}}, "{\"text\":\"é\"}\n"},
        {R"({"jsonrpc":"2.0","id":"x","method":"tools/list"})",
         {0, "", "Failed to connect to 127.0.0.1 port 9: Connection refused"}, unreachable + "\n"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(StdioBridge::outputFor(row.line, row.exchange), row.written) << row.line;
    for (long status : {202L, 400L, 403L, 404L, 405L, 500L}) // only status 200 is a reply
        EXPECT_EQ(StdioBridge::outputFor(ping, {status, R"({"jsonrpc":"2.0","id":null,"error":{}})", {}}), std::nullopt);
    // A transport error for a notification or a line that is not one request writes nothing.
    for (const std::string& line : std::vector<std::string>{R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                                                            R"({"jsonrpc":)", "[" + ping + "]", R"("id")", "42"})
        EXPECT_EQ(StdioBridge::outputFor(line, {0, "", "Connection refused"}), std::nullopt) << line;
    for (auto [line, id] : {std::pair{R"({"id":{"n":[7]},"method":"ping"})", R"({"n":[7]})"}, {R"({"id":null})", "null"}}) {
        auto written = StdioBridge::outputFor(line, {0, "", "Timeout was reached"});
        ASSERT_TRUE(written) << line;
        EXPECT_EQ(json::parse(*written)["id"], json::parse(id));
    }

    using Arguments = std::vector<std::string>;
    EXPECT_EQ(StdioBridge::launchArguments("/opt/p", {}, true), Arguments{"/opt/p"});
    EXPECT_EQ(StdioBridge::launchArguments("/opt/p", {}, false), (Arguments{"/opt/p", "--headless"}));
    EXPECT_EQ(StdioBridge::launchArguments("/opt/p", {.simulate = true, .port = 5123}, true),
              (Arguments{"/opt/p", "--simulate", "--port", "5123"}));
    EXPECT_EQ(StdioBridge::launchArguments("/opt/p", {.headless = true, .port = 47811}, true),
              (Arguments{"/opt/p", "--headless"}));
}

// An event stream arrives in pieces: only complete events come out, each event's data lines joined, with
// any line ending; comments, other fields and events without data give nothing.
TEST(StdioBridgeOutput, AnEventStreamGivesTheDataOfEachCompleteEventAsItArrives) {
    StdioBridge::EventStreamParser parser;
    using Events = std::vector<std::string>;
    EXPECT_EQ(parser.feed("event: message\ndata: {\"a\""), Events{});
    EXPECT_EQ(parser.feed(":1}\n\n: a comment\n\nid: 4\nretry: 100\n\nda"), Events{"{\"a\":1}"});
    EXPECT_EQ(parser.feed("ta:x\r\ndata:  y\r\n\r\ndata: z\r\r"), (Events{"x\n y", "z"}));
    EXPECT_EQ(parser.feed("data: unfinished\n"), Events{});
}

TEST(InstanceLockTest, TheLockFileLivesInTheRuntimeFolderElseTheStateFolderIsHeldOnceAndNotTakenOnSystemChosenPorts) {
    TempHome home;
    EXPECT_EQ(InstanceLock::pathFor(5000), home.path() / ".local/state/pokescope/pokescope-5000.lock");
    ScopedEnvironment environment;
    environment.set("XDG_RUNTIME_DIR", (home.path() / "run").string());
    EXPECT_EQ(InstanceLock::pathFor(47811), home.path() / "run/pokescope-47811.lock");
    environment.set("XDG_RUNTIME_DIR", (home.path() / "missing/run").string());
    EXPECT_THAT([] { InstanceLock::acquire(5003); },
                testing::ThrowsMessage<std::system_error>(
                    HasSubstr("can't open " + (home.path() / "missing/run/pokescope-5003.lock").string())));
    environment.set("XDG_RUNTIME_DIR", (home.path() / "run").string());
    std::filesystem::create_directories(home.path() / "run");
    {
        auto first = InstanceLock::acquire(5001);
        ASSERT_TRUE(first);
        EXPECT_EQ(readFile(home.path() / "run/pokescope-5001.lock"), std::to_string(::getpid()) + "\n");
        EXPECT_FALSE(InstanceLock::acquire(5001));
        EXPECT_TRUE(InstanceLock::acquire(5002)); // each port has its own lock
    }
    EXPECT_TRUE(InstanceLock::acquire(5001));

    auto one = startApp(home);
    auto two = startApp(home);
    EXPECT_NE(one.port, two.port);
    EXPECT_FALSE(std::filesystem::exists(lockFile(home, 0)));
}

TEST(StdioBridgeProcess, ASecondAppOnThePortExitsAndTheBridgeForwardsLinesInOrderToTheFirstUntilItsInputEnds) {
    TempHome home;
    const std::uint16_t port = freePort();
    auto app = std::make_unique<Child>(
        std::vector<std::string>{binaryPath().string(), "--headless", "--port", std::to_string(port)}, home.environment());
    ASSERT_TRUE(app->waitForLine("mcp: listening on http://127.0.0.1:" + std::to_string(port) + "/mcp", 30s)) << app->errors();
    const auto log = home.path() / ".local/state/pokescope/Pokescope.log";
    std::string firstLog; // the console gets each line just before the file does
    ASSERT_TRUE(eventually([&] { return (firstLog = readFile(log)).find("mcp: listening") != std::string::npos; }));
    Child second({binaryPath().string(), "--headless", "--simulate", "--port", std::to_string(port)}, home.environment());
    EXPECT_EQ(second.wait(30s), 1);
    EXPECT_EQ(second.errors(), "pokescope: another Pokescope is already running on port " + std::to_string(port) + "\n");
    EXPECT_EQ(second.output(), "");
    EXPECT_THAT(readFile(log), StartsWith(firstLog)); // the refused start left the running one's log alone

    auto bridge = startBridge(home, port);

    bridge->writeInput(input({R"({"jsonrpc":"2.0","method":"notifications/initialized"})", "", "  \t  ",
                              R"({"jsonrpc":)", R"({"jsonrpc":"2.0","id":1,"method":"ping"})"}));
    ASSERT_TRUE(bridge->waitForLine(R"("id":1)", 30s)) << bridge->errors();
    // The probe is answered only by such a server.
    EXPECT_TRUE(StdioBridge::reachable(StdioBridge::serverUrl(port)));
    EXPECT_FALSE(StdioBridge::reachable("http://127.0.0.1:" + std::to_string(port) + "/elsewhere"));
    EXPECT_FALSE(StdioBridge::reachable(StdioBridge::serverUrl(freePort())));
    auto output = splitLines(bridge->output());
    ASSERT_EQ(output.size(), 1u) << bridge->output();
    EXPECT_EQ(json::parse(output[0]), json::parse(R"({"jsonrpc":"2.0","id":1,"result":{}})"));

    bridge->writeInput(R"({"jsonrpc":"2.0","id":"two","method":"tools/list"})" + std::string("\r\n"));
    ASSERT_TRUE(bridge->waitForLine(R"("id":"two")", 30s)) << bridge->errors();
    output = splitLines(bridge->output());
    ASSERT_EQ(output.size(), 2u) << bridge->output();
    EXPECT_EQ(json::parse(output[1])["result"]["tools"][0]["name"], "screenshot");

    bridge->closeInput();
    EXPECT_EQ(bridge->wait(30s), 0);
    EXPECT_EQ(splitLines(bridge->output()).size(), 2u);
    EXPECT_EQ(app->wait(0ms), std::nullopt); // the first app runs on, serving
    EXPECT_TRUE(pingAnswered(port));
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(30s), 0);
}

TEST(StdioBridgeProcess, WithNoApplicationAnsweringEachRequestGetsTheUnreachableErrorElseItStartsOneDetached) {
    TempHome home;
    HeldPort held; // refuses connections, and the application the bridge starts can't listen there
    LaunchedApp launched(lockFile(home, held.port));
    auto bridge = startBridge(home, held.port, {"--simulate"});
    bridge->writeInput(input({R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                              R"({"jsonrpc":"2.0","id":"x","method":"tools/list"})"}));
    ASSERT_TRUE(bridge->waitForLine(R"("id":"x")", 60s)) << bridge->errors();
    auto output = splitLines(bridge->output());
    ASSERT_EQ(output.size(), 1u) << bridge->output();
    auto reply = json::parse(output[0]);
    std::string message = reply["error"]["message"];
    EXPECT_THAT(message, testing::MatchesRegex("Pokescope app isn't reachable: .+"));
    reply["error"].erase("message");
    EXPECT_EQ(reply, json::parse(R"({"jsonrpc":"2.0","id":"x","error":{"code":-32000}})"));

    bridge->closeInput();
    EXPECT_EQ(bridge->wait(30s), 0);
    EXPECT_THAT(bridge->errors(), HasSubstr("bridge: the application isn't answering on http://127.0.0.1:" +
                                            std::to_string(held.port) + "/mcp"));

    // With a free port it starts the application itself, detached, on that port.
    const std::uint16_t port = freePort();
    LaunchedApp started(lockFile(home, port));
    bridge = startBridge(home, port, {"--simulate"});
    bridge->writeInput(input({R"({"jsonrpc":"2.0","id":1,"method":"ping"})"}));
    ASSERT_TRUE(bridge->waitForLine(R"("id":1)", 60s)) << bridge->errors();
    EXPECT_EQ(json::parse(splitLines(bridge->output()).at(0)), json::parse(R"({"jsonrpc":"2.0","id":1,"result":{}})"));

    auto pid = started.pid();
    ASSERT_TRUE(pid) << readFile(lockFile(home, port));
    EXPECT_EQ(splitLines(readFile("/proc/" + std::to_string(*pid) + "/cmdline"), '\0'),
              (std::vector<std::string>{binaryPath().string(), "--headless", "--simulate", "--port", std::to_string(port)}));
    EXPECT_EQ(::getsid(*pid), *pid); // its own session: the client's signals don't reach it
    for (int fd : {0, 1, 2})
        EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(*pid) + "/fd/" + std::to_string(fd)), "/dev/null");
    EXPECT_THAT(bridge->errors(), HasSubstr("bridge: started the application (pid " + std::to_string(*pid) + ")"));
    // (That it outlives the bridge, the SDK client's stdio test shows.)
}

TEST(StdioBridgeProcess, SendsEachLineAsIsAndWritesRepliesAsOneUtf8Line) {
    TempHome home;
    FakeServer server([](const std::string& body) {
        if (body.find("pretty") != std::string::npos)
            return FakeServer::response(200, "{\n  \"id\": 1,\n  \"result\": {}\n}\n");
        if (body.find("latin1") != std::string::npos)
            return FakeServer::response(200, "{\"id\":2,\"text\":\"caf\xe9\"}");
        if (body.find("notify") != std::string::npos)
            return FakeServer::response(202, "");
        return FakeServer::response(200, R"({"ok":true})");
    });
    auto bridge = startBridge(home, server.port());
    bridge->writeInput(input({R"({"id":1,"method":"pretty"})", "", " \t ", R"( {"id":2,"method":"latin1"}  )",
                              R"({"method":"notify"})", R"({"id":3,"method":"last"})"}));
    bridge->closeInput();
    EXPECT_EQ(bridge->wait(30s), 0) << bridge->errors();
    EXPECT_EQ(bridge->output(), "{  \"id\": 1,  \"result\": {}}\n{\"ok\":true}\n");

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 5u); // the probe and four lines: blank lines send nothing
    EXPECT_THAT(requests[0], testing::Not(HasSubstr("text/event-stream")));
    const std::string bodies[] = {R"({"jsonrpc":"2.0","id":0,"method":"ping"})", R"({"id":1,"method":"pretty"})",
                                  R"( {"id":2,"method":"latin1"}  )", R"({"method":"notify"})",
                                  R"({"id":3,"method":"last"})"};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        EXPECT_THAT(requests[i], StartsWith("POST /mcp HTTP/1.1\r\n"));
        EXPECT_EQ(requests[i].substr(requests[i].find("\r\n\r\n") + 4), bodies[i]);
        if (i > 0) {
            EXPECT_THAT(requests[i], testing::AllOf(HasSubstr("\r\nContent-Type: application/json\r\n"),
                                                    HasSubstr("\r\nAccept: application/json, text/event-stream\r\n"),
                                                    HasSubstr("\r\nHost: 127.0.0.1:" + std::to_string(server.port()) + "\r\n")));
        }
    }
}
