#include "agent/StdioBridge.hpp"
#include "app/InstanceLock.hpp"

#include "tests/e2e/LaunchedApp.hpp"
#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
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
// gives for its body (a whole HTTP response), one request per connection, each on a thread of its own.
class FakeServer {
public:
    explicit FakeServer(std::function<std::string(const std::string&)> respond)
        : fd_(loopbackSocket(true, port_)), thread_([this, respond] {
              for (int connection; (connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
                  workers_.emplace_back([this, respond, connection] {
                      const timeval timeout{5, 0}; // the head and a Content-Length body, read for at most 5 s
                      ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
                      std::string request;
                      char buffer[65536];
                      for (ssize_t n; !complete(request) && (n = ::read(connection, buffer, sizeof buffer)) > 0;)
                          request.append(buffer, static_cast<std::size_t>(n));
                      {
                          std::lock_guard lock(mutex_);
                          requests_.push_back(request);
                      }
                      const auto reply = respond(request.substr(std::min(request.size(), request.find("\r\n\r\n") + 4)));
                      (void)!::write(connection, reply.data(), reply.size());
                      ::close(connection);
                  });
          }) {}
    ~FakeServer() {
        ::shutdown(fd_, SHUT_RDWR); // ends the accept
        thread_.join();
        for (auto& worker : workers_)
            worker.join();
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
    std::vector<std::thread> workers_; // the accepting thread's only
    std::thread thread_;
};

std::filesystem::path lockFile(const TempHome&, std::uint16_t port) { return InstanceLock::pathFor(port); }

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

TEST(StdioBridgeOutput, RepliesInUtf8AreWrittenAndRefusalsAndTransportErrorsAnswerRequestsAndTheApplicationStartsHeadless) {
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
    // A refused request is answered all the same: with the application's own JSON-RPC answer, else an
    // internal error naming the status; an accepted notification gets nothing.
    EXPECT_EQ(StdioBridge::outputFor(ping, {202, "", {}}), std::nullopt);
    for (long status : {400L, 403L, 404L, 405L, 500L})
        EXPECT_EQ(StdioBridge::outputFor(ping, {status, R"({"jsonrpc":"2.0","id":null,"error":{}})", {}}),
                  R"({"jsonrpc":"2.0","id":null,"error":{}})" "\n");
    EXPECT_EQ(StdioBridge::outputFor(ping, {413, "request body too large", {}}),
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"Pokescope app answered HTTP 413: request body too large"}})" "\n");
    EXPECT_EQ(StdioBridge::outputFor(ping, {403, "", {}}),
              R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"Pokescope app answered HTTP 403"}})" "\n");
    EXPECT_EQ(StdioBridge::outputFor(R"({"method":"x"})", {413, "too large", {}}), std::nullopt);
    EXPECT_EQ(StdioBridge::parseErrorLine(), R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})" "\n");
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

TEST(InstanceLockTest, TheLockFileLivesInTheRuntimeFolderElseThisUsersTemporaryFolderIsHeldOnceAndNotTakenOnSystemChosenPorts) {
    TempHome home;
    const std::filesystem::path mine = "/tmp/pokescope-" + std::to_string(::getuid());
    EXPECT_EQ(InstanceLock::pathFor(5000), mine / "pokescope-5000.lock"); // whatever HOME says
    struct stat info {};
    ASSERT_EQ(::lstat(mine.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
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
    const auto log = home.path() / (".local/state/pokescope/Pokescope-" + std::to_string(port) + ".log");
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
    ASSERT_EQ(output.size(), 2u) << bridge->output(); // the line that is no JSON is told so at once
    EXPECT_EQ(output[0] + "\n", StdioBridge::parseErrorLine());
    EXPECT_EQ(json::parse(output[1]), json::parse(R"({"jsonrpc":"2.0","id":1,"result":{}})"));

    bridge->writeInput(R"({"jsonrpc":"2.0","id":"two","method":"tools/list"})" + std::string("\r\n"));
    ASSERT_TRUE(bridge->waitForLine(R"("id":"two")", 30s)) << bridge->errors();
    output = splitLines(bridge->output());
    ASSERT_EQ(output.size(), 3u) << bridge->output();
    EXPECT_EQ(json::parse(output[2])["result"]["tools"][0]["name"], "screenshot");

    bridge->closeInput();
    EXPECT_EQ(bridge->wait(30s), 0);
    EXPECT_EQ(splitLines(bridge->output()).size(), 3u);
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
    auto written = splitLines(bridge->output()); // in the order the answers came
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, (std::vector<std::string>{"{  \"id\": 1,  \"result\": {}}", "{\"ok\":true}"}));

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 5u); // the probe and four lines: blank lines send nothing
    std::sort(requests.begin() + 1, requests.end(), [](const std::string& a, const std::string& b) {
        return a.substr(a.find("\r\n\r\n")) < b.substr(b.find("\r\n\r\n"));
    });
    EXPECT_THAT(requests[0], testing::Not(HasSubstr("text/event-stream")));
    const std::string bodies[] = {R"({"jsonrpc":"2.0","id":0,"method":"ping"})", R"( {"id":2,"method":"latin1"}  )",
                                  R"({"id":1,"method":"pretty"})", R"({"id":3,"method":"last"})",
                                  R"({"method":"notify"})"};
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

TEST(StdioBridgeProcess, AnswersRequestsAsTheyCompleteTellsEveryRefusalAndEndsOnASignal) {
    TempHome home;
    FakeServer server([](const std::string& body) {
        if (body.find("slow") != std::string::npos) {
            std::this_thread::sleep_for(3s);
            return FakeServer::response(200, R"({"jsonrpc":"2.0","id":"slow","result":{}})");
        }
        if (body.size() > 1000000)
            return std::string("HTTP/1.1 413 Content Too Large\r\nContent-Type: text/plain\r\nContent-Length: 22\r\n"
                   "Connection: close\r\n\r\nrequest body too large");
        return FakeServer::response(200, R"({"jsonrpc":"2.0","id":1,"result":{}})");
    });
    auto bridge = startBridge(home, server.port());
    const std::string big = R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"open_app","arguments":{"name":")" +
                            std::string(10 << 20, 'x') + R"("}}})";
    bridge->writeInput(input({R"({"jsonrpc":"2.0","id":"slow","method":"slow"})", R"({"jsonrpc":"2.0","id":1,"method":"ping"})",
                              big, "{not json"}));
    ASSERT_TRUE(bridge->waitForLine(R"("id":"slow")", 30s)) << bridge->errors();
    ASSERT_TRUE(bridge->waitForLine(R"("id":7)", 30s)) << bridge->errors();
    auto written = splitLines(bridge->output());
    ASSERT_EQ(written.size(), 4u) << bridge->output();
    auto at = [&](const std::string& id) {
        return std::find_if(written.begin(), written.end(), [&](const std::string& l) { return l.find(id) != std::string::npos; });
    };
    EXPECT_LT(at(R"("id":1,)"), at(R"("id":"slow")")); // the ping did not wait behind the slow call
    EXPECT_THAT(written, testing::Contains(StdioBridge::parseErrorLine().substr(0, StdioBridge::parseErrorLine().size() - 1)));
    EXPECT_THAT(written, testing::Contains(R"({"jsonrpc":"2.0","id":7,"error":{"code":-32603,"message":"Pokescope app answered HTTP 413: request body too large"}})"));

    // A signal ends the bridge at once, though a call is still in flight.
    bridge->writeInput(input({R"({"jsonrpc":"2.0","id":"slow","method":"slow"})"}));
    std::this_thread::sleep_for(300ms);
    const auto signalled = std::chrono::steady_clock::now();
    bridge->signal(SIGTERM);
    EXPECT_EQ(bridge->wait(10s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 2s);
}
