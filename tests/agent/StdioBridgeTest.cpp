#include "agent/StdioBridge.hpp"
#include "app/InstanceLock.hpp"

#include "tests/e2e/LaunchedApp.hpp"
#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <atomic>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;
using testing::StartsWith;

namespace {

// A loopback port bound (without listening and without SO_REUSEADDR) for the life of the object:
// connecting to it is refused and no server can bind it.
class HeldPort {
public:
    HeldPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("can't bind a loopback port");
        port_ = ntohs(address.sin_port);
    }
    ~HeldPort() { release(); }
    HeldPort(const HeldPort&) = delete;
    HeldPort& operator=(const HeldPort&) = delete;
    std::uint16_t port() const { return port_; }
    void release() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A stand-in for the application's server: records each request's bytes and answers with what `respond`
// gives for its body (a whole HTTP response), one request per connection.
class FakeServer {
public:
    explicit FakeServer(std::function<std::string(const std::string&)> respond)
        : respond_(std::move(respond)) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 8) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("can't listen on a loopback port");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    std::uint16_t port() const { return port_; }
    std::vector<std::string> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    static std::string response(int status, const std::string& body) {
        return "HTTP/1.1 " + std::to_string(status) +
               " X\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    }

private:
    void serve() {
        while (!stop_) {
            pollfd listening{fd_, POLLIN, 0};
            if (::poll(&listening, 1, 50) <= 0)
                continue;
            int connection = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            std::string request = readRequest(connection);
            {
                std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            std::string reply =
                respond_(request.substr(std::min(request.size(), request.find("\r\n\r\n") + 4)));
            (void)!::write(connection, reply.data(), reply.size());
            ::close(connection);
        }
    }
    // The head and a Content-Length body, within five seconds.
    static std::string readRequest(int connection) {
        std::string request;
        char buffer[4096];
        for (int i = 0; i < 100; ++i) {
            auto head = request.find("\r\n\r\n");
            if (head != std::string::npos) {
                auto length = request.find("Content-Length: ");
                std::size_t body = length == std::string::npos ? 0 : std::stoul(request.substr(length + 16));
                if (request.size() >= head + 4 + body)
                    break;
            }
            pollfd readable{connection, POLLIN, 0};
            if (::poll(&readable, 1, 50) <= 0)
                continue;
            ssize_t n = ::read(connection, buffer, sizeof buffer);
            if (n <= 0)
                break;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        return request;
    }

    std::function<std::string(const std::string&)> respond_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

// A port that was free a moment ago.
std::uint16_t unusedPort() {
    return HeldPort().port();
}

std::string portText(std::uint16_t port) {
    return std::to_string(port);
}

std::filesystem::path lockFile(const TempHome& home, std::uint16_t port) {
    return home.path() / ".local/state/pokescope" / ("pokescope-" + portText(port) + ".lock");
}

std::unique_ptr<Child> startHeadless(const TempHome& home, std::uint16_t port) {
    auto app = std::make_unique<Child>(
        std::vector<std::string>{binaryPath().string(), "--headless", "--port", portText(port)},
        home.environment());
    if (!app->waitForLine("mcp: listening on http://127.0.0.1:" + portText(port) + "/mcp", 30s))
        throw std::runtime_error("the application did not start: " + app->output() + app->errors());
    return app;
}

std::unique_ptr<Child> startBridge(const TempHome& home, std::uint16_t port,
                                   std::vector<std::string> extra = {}) {
    std::vector<std::string> arguments{binaryPath().string(), "--stdio", "--port", portText(port)};
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

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        result.push_back(text.substr(start, end - start));
    if (start < text.size())
        result.push_back(text.substr(start)); // an unterminated last line counts too
    return result;
}

std::vector<std::string> commandLine(int pid) {
    std::string raw = readFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::vector<std::string> arguments;
    for (std::size_t start = 0, end; (end = raw.find('\0', start)) != std::string::npos; start = end + 1)
        arguments.push_back(raw.substr(start, end - start));
    return arguments;
}

StdioBridge::Exchange answered(long status, std::string body) {
    return {status, std::move(body), std::nullopt};
}
StdioBridge::Exchange failed(std::string error) {
    return {0, "", std::move(error)};
}

} // namespace

// --- What the bridge writes for one exchange ------------------------------------------------------------

TEST(StdioBridgeOutput, AReplyIsWrittenAsOneLineWithItsLineFeedsRemoved) {
    EXPECT_EQ(StdioBridge::outputFor("{}", answered(200, "{\n  \"jsonrpc\": \"2.0\",\n  \"id\": 1\n}\n")),
              "{  \"jsonrpc\": \"2.0\",  \"id\": 1}\n");
    EXPECT_EQ(StdioBridge::outputFor("{}", answered(200, R"({"a":"b"})")), "{\"a\":\"b\"}\n");
}

TEST(StdioBridgeOutput, OnlyStatus200IsAReply) {
    for (long status : {202L, 400L, 403L, 404L, 405L, 500L})
        EXPECT_EQ(StdioBridge::outputFor(R"({"jsonrpc":"2.0","id":1,"method":"ping"})",
                                         answered(status, R"({"jsonrpc":"2.0","id":null,"error":{}})")),
                  std::nullopt)
            << status;
}

TEST(StdioBridgeOutput, AReplyThatIsNotUtf8IsDropped) {
    EXPECT_EQ(StdioBridge::outputFor("{}", answered(200, "{\"text\":\"\xff\xfe\"}")), std::nullopt);
    EXPECT_EQ(StdioBridge::outputFor("{}", answered(200, "{\"text\":\"\xed\xa0\x80\"}")),
              std::nullopt); // a surrogate
    EXPECT_EQ(StdioBridge::outputFor("{}", answered(200, "{\"text\":\"é\"}")), "{\"text\":\"é\"}\n");
}

TEST(StdioBridgeOutput, ATransportErrorAnswersARequestWithItsOwnId) {
    EXPECT_EQ(StdioBridge::outputFor(R"({"jsonrpc":"2.0","id":"x","method":"tools/list"})",
                                     failed("Failed to connect to 127.0.0.1 port 9: Connection refused")),
              R"({"jsonrpc":"2.0","id":"x","error":{"code":-32000,"message":"Pokescope app isn't reachable: )"
              R"(Failed to connect to 127.0.0.1 port 9: Connection refused"}})"
              "\n");
    auto numbered =
        StdioBridge::outputFor(R"({"id":{"n":[7]},"method":"ping"})", failed("Timeout was reached"));
    ASSERT_TRUE(numbered);
    EXPECT_EQ(json::parse(*numbered)["id"], json::parse(R"({"n":[7]})"));
    auto nullId = StdioBridge::outputFor(R"({"id":null})", failed("e"));
    ASSERT_TRUE(nullId);
    EXPECT_TRUE(json::parse(*nullId)["id"].is_null());
}

TEST(StdioBridgeOutput, ATransportErrorForANotificationOrABadLineWritesNothing) {
    for (std::string line : {R"({"jsonrpc":"2.0","method":"notifications/initialized"})", R"({"jsonrpc":)",
                             R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", R"("id")", "42"})
        EXPECT_EQ(StdioBridge::outputFor(line, failed("Connection refused")), std::nullopt) << line;
}

TEST(StdioBridgeLaunch, TheApplicationStartsHeadlessWithoutADisplayOnTheBridgesPort) {
    LaunchOptions plain;
    EXPECT_EQ(StdioBridge::launchArguments("/opt/p", plain, true), std::vector<std::string>{"/opt/p"});
    EXPECT_EQ(StdioBridge::launchArguments("/opt/p", plain, false),
              (std::vector<std::string>{"/opt/p", "--headless"}));

    LaunchOptions simulated;
    simulated.simulate = true;
    simulated.port = 5123;
    EXPECT_EQ(StdioBridge::launchArguments("/opt/p", simulated, true),
              (std::vector<std::string>{"/opt/p", "--simulate", "--port", "5123"}));

    LaunchOptions explicitDefault;
    explicitDefault.port = 47811;
    explicitDefault.headless = true;
    EXPECT_EQ(StdioBridge::launchArguments("/opt/p", explicitDefault, true),
              (std::vector<std::string>{"/opt/p", "--headless"}));
    EXPECT_EQ(StdioBridge::serverUrl(47811), "http://127.0.0.1:47811/mcp");
}

TEST(StdioBridgeReachable, TrueOnlyForAServerThatAnswersTheProbe) {
    TempHome home;
    auto app = startApp(home);
    EXPECT_TRUE(StdioBridge::reachable(StdioBridge::serverUrl(static_cast<std::uint16_t>(app.port))));
    EXPECT_FALSE(StdioBridge::reachable("http://127.0.0.1:" + std::to_string(app.port) + "/elsewhere"));
    HeldPort refused;
    EXPECT_FALSE(StdioBridge::reachable(StdioBridge::serverUrl(refused.port())));
}

// --- The single-instance lock ---------------------------------------------------------------------------

TEST(InstanceLockTest, TheLockFileLivesInTheRuntimeFolderElseTheStateFolder) {
    TempHome home;
    EXPECT_EQ(InstanceLock::pathFor(5000), home.path() / ".local/state/pokescope/pokescope-5000.lock");
    ScopedEnvironment environment;
    environment.set("XDG_RUNTIME_DIR", (home.path() / "run").string());
    EXPECT_EQ(InstanceLock::pathFor(47811), home.path() / "run/pokescope-47811.lock");
}

TEST(InstanceLockTest, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
    TempHome home;
    {
        auto first = InstanceLock::acquire(5001);
        ASSERT_TRUE(first);
        EXPECT_EQ(readFile(InstanceLock::pathFor(5001)), std::to_string(::getpid()) + "\n");
        EXPECT_FALSE(InstanceLock::acquire(5001));
        auto other = InstanceLock::acquire(5002); // each port has its own lock
        EXPECT_TRUE(other);
    }
    EXPECT_TRUE(InstanceLock::acquire(5001));
}

TEST(InstanceLockTest, AnUnusableFolderIsAClearError) {
    TempHome home;
    ScopedEnvironment environment;
    environment.set("XDG_RUNTIME_DIR", (home.path() / "missing/run").string());
    try {
        InstanceLock::acquire(5003);
        FAIL() << "no error";
    } catch (const std::system_error& e) {
        EXPECT_THAT(e.what(),
                    HasSubstr("can't open " + (home.path() / "missing/run/pokescope-5003.lock").string()));
    }
}

TEST(InstanceLockProcess, ASecondHeadlessApplicationOnThePortExitsAndTheFirstKeepsServing) {
    TempHome home;
    auto port = unusedPort();
    auto first = startHeadless(home, port);
    auto log = home.path() / ".local/state/pokescope/Pokescope.log";
    std::string firstLog;
    // The console gets each line just before the file does.
    for (int i = 0; i < 100 && firstLog.find("mcp: listening") == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
        firstLog = readFile(log);
    }
    ASSERT_THAT(firstLog, HasSubstr("mcp: listening"));

    Child second({binaryPath().string(), "--headless", "--simulate", "--port", portText(port)},
                 home.environment());
    EXPECT_EQ(second.wait(30s), 1);
    EXPECT_EQ(second.errors(),
              "pokescope: another Pokescope is already running on port " + portText(port) + "\n");
    EXPECT_EQ(second.output(), "");

    EXPECT_TRUE(pingAnswered(port));
    EXPECT_EQ(first->wait(0ms), std::nullopt);
    // The refused start did not recreate the running application's log.
    EXPECT_THAT(readFile(log), StartsWith(firstLog));
    first->signal(SIGTERM);
    EXPECT_EQ(first->wait(30s), 0);
}

TEST(InstanceLockProcess, ApplicationsOnSystemChosenPortsTakeNoLock) {
    TempHome home;
    auto one = startApp(home);
    auto two = startApp(home);
    EXPECT_NE(one.port, two.port);
    EXPECT_FALSE(std::filesystem::exists(lockFile(home, 0)));
}

// --- The bridge as an agent's client starts it -----------------------------------------------------------

TEST(StdioBridgeProcess, ForwardsLinesInOrderAndEndsWithItsInputWhileTheAppRuns) {
    TempHome home;
    auto port = unusedPort();
    auto app = startHeadless(home, port);
    auto bridge = startBridge(home, port);

    bridge->writeInput(input({R"({"jsonrpc":"2.0","method":"notifications/initialized"})", "", "  \t  ",
                              R"({"jsonrpc":)", R"({"jsonrpc":"2.0","id":1,"method":"ping"})"}));
    ASSERT_TRUE(bridge->waitForLine(R"("id":1)", 30s)) << bridge->errors();
    auto output = lines(bridge->output());
    ASSERT_EQ(output.size(), 1u) << bridge->output();
    EXPECT_EQ(json::parse(output[0]), json::parse(R"({"jsonrpc":"2.0","id":1,"result":{}})"));

    bridge->writeInput(R"({"jsonrpc":"2.0","id":"two","method":"tools/list"})" + std::string("\r\n"));
    ASSERT_TRUE(bridge->waitForLine(R"("id":"two")", 30s)) << bridge->errors();
    output = lines(bridge->output());
    ASSERT_EQ(output.size(), 2u) << bridge->output();
    auto tools = json::parse(output[1]);
    EXPECT_EQ(tools["result"]["tools"].size(), 15u);
    EXPECT_EQ(tools["result"]["tools"][0]["name"], "screenshot");

    bridge->closeInput();
    EXPECT_EQ(bridge->wait(30s), 0);
    EXPECT_EQ(lines(bridge->output()).size(), 2u);
    EXPECT_EQ(app->wait(0ms), std::nullopt);
    EXPECT_TRUE(pingAnswered(port));
    app->signal(SIGTERM);
    EXPECT_EQ(app->wait(30s), 0);
}

TEST(StdioBridgeProcess, WithNoApplicationAnsweringEachRequestGetsTheUnreachableError) {
    TempHome home;
    HeldPort held; // refuses connections, and the application the bridge starts can't listen there
    LaunchedApp launched(lockFile(home, held.port()));
    auto bridge = startBridge(home, held.port(), {"--simulate"});
    bridge->writeInput(input({R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                              R"({"jsonrpc":"2.0","id":"x","method":"tools/list"})"}));
    ASSERT_TRUE(bridge->waitForLine(R"("id":"x")", 60s)) << bridge->errors();
    auto output = lines(bridge->output());
    ASSERT_EQ(output.size(), 1u) << bridge->output();
    auto reply = json::parse(output[0]);
    EXPECT_EQ(reply["jsonrpc"], "2.0");
    EXPECT_EQ(reply["id"], "x");
    EXPECT_EQ(reply["error"]["code"], -32000);
    std::string message = reply["error"]["message"];
    EXPECT_THAT(message, StartsWith("Pokescope app isn't reachable: "));
    EXPECT_GT(message.size(), std::string("Pokescope app isn't reachable: ").size());
    EXPECT_EQ(reply.size(), 3u);

    bridge->closeInput();
    EXPECT_EQ(bridge->wait(30s), 0);
    EXPECT_THAT(bridge->errors(), HasSubstr("bridge: the application isn't answering on http://127.0.0.1:" +
                                            portText(held.port()) + "/mcp"));
}

TEST(StdioBridgeProcess, StartsTheApplicationItselfDetachedOnItsPort) {
    TempHome home;
    auto port = unusedPort();
    LaunchedApp launched(lockFile(home, port));
    auto bridge = startBridge(home, port, {"--simulate"});
    bridge->writeInput(input({R"({"jsonrpc":"2.0","id":1,"method":"ping"})"}));
    ASSERT_TRUE(bridge->waitForLine(R"("id":1)", 60s)) << bridge->errors();
    EXPECT_EQ(json::parse(lines(bridge->output()).at(0)),
              json::parse(R"({"jsonrpc":"2.0","id":1,"result":{}})"));

    auto pid = launched.pid();
    ASSERT_TRUE(pid) << readFile(lockFile(home, port));
    EXPECT_EQ(commandLine(*pid), (std::vector<std::string>{binaryPath().string(), "--headless", "--simulate",
                                                           "--port", portText(port)}));
    EXPECT_EQ(::getsid(*pid), *pid); // its own session: the client's signals don't reach it
    for (int fd : {0, 1, 2})
        EXPECT_EQ(
            std::filesystem::read_symlink("/proc/" + std::to_string(*pid) + "/fd/" + std::to_string(fd)),
            "/dev/null");
    EXPECT_THAT(bridge->errors(),
                HasSubstr("bridge: started the application (pid " + std::to_string(*pid) + ")"));

    bridge->closeInput();
    EXPECT_EQ(bridge->wait(30s), 0);
    EXPECT_TRUE(LaunchedApp::alive(*pid));
    EXPECT_TRUE(pingAnswered(port));
    launched.stop();
    EXPECT_FALSE(LaunchedApp::alive(*pid));
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
    auto bodyOf = [](const std::string& request) { return request.substr(request.find("\r\n\r\n") + 4); };
    EXPECT_THAT(requests[0], StartsWith("POST /mcp HTTP/1.1\r\n"));
    EXPECT_EQ(bodyOf(requests[0]), R"({"jsonrpc":"2.0","id":0,"method":"ping"})");
    EXPECT_THAT(requests[0], testing::Not(HasSubstr("text/event-stream")));
    std::vector<std::string> bodies;
    for (std::size_t i = 1; i < requests.size(); ++i) {
        EXPECT_THAT(requests[i], StartsWith("POST /mcp HTTP/1.1\r\n"));
        EXPECT_THAT(requests[i], HasSubstr("\r\nContent-Type: application/json\r\n"));
        EXPECT_THAT(requests[i], HasSubstr("\r\nAccept: application/json, text/event-stream\r\n"));
        EXPECT_THAT(requests[i], HasSubstr("\r\nHost: 127.0.0.1:" + portText(server.port()) + "\r\n"));
        bodies.push_back(bodyOf(requests[i]));
    }
    EXPECT_EQ(bodies,
              (std::vector<std::string>{R"({"id":1,"method":"pretty"})", R"( {"id":2,"method":"latin1"}  )",
                                        R"({"method":"notify"})", R"({"id":3,"method":"last"})"}));
}
