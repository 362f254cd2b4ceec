// End to end: the pokescope executable, started as a user would, driven by the official MCP TypeScript
// SDK client as an agent would drive it.
#include "app/InstanceLock.hpp"
#include "tests/e2e/LaunchedApp.hpp"
#include "tests/support/TestSupport.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pokescope::test;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::HasSubstr;

namespace {

// Runs the SDK client with a transport target (a URL, or "--stdio" and a command) and returns what it printed.
json runSdk(const std::vector<std::string>& target, const std::vector<std::string>& steps,
            const std::vector<std::string>& environment = {}) {
    std::vector<std::string> arguments{"/usr/bin/env", "node", (sourcePath() / "tests/e2e/mcp-client.mjs").string()};
    arguments.insert(arguments.end(), target.begin(), target.end());
    arguments.insert(arguments.end(), steps.begin(), steps.end());
    std::vector<std::string> childEnvironment = environment;
    childEnvironment.push_back("NODE_PATH=" + (sourcePath() / "node_modules").string());
    Child client(arguments, childEnvironment);
    auto status = client.wait(240s);
    std::string output = client.output();
    EXPECT_EQ(status, 0) << output << client.errors();
    auto line = output.substr(0, output.find('\n'));
    auto parsed = json::parse(line, nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << output << client.errors();
    return parsed;
}

// Runs the SDK client against the app over HTTP.
json runClient(int port, const std::vector<std::string>& steps) {
    return runSdk({"http://127.0.0.1:" + std::to_string(port) + "/mcp"}, steps);
}

std::vector<std::string> toolNames(const json& tools) {
    std::vector<std::string> names;
    for (auto& tool : tools)
        names.push_back(tool["name"]);
    return names;
}

} // namespace

TEST(EndToEnd, TheSdkClientInitializesPingsAndListsNineteenTools) {
    TempHome home;
    auto app = startApp(home);
    json out = runClient(app.port, {"ping", "list"});
    ASSERT_TRUE(out["ok"].get<bool>()) << out.dump(2);
    EXPECT_EQ(out["serverVersion"], json::parse(R"({"name":"pokescope","title":"Pokescope","version":"0.1.0"})"));
    EXPECT_THAT(out["instructions"].get<std::string>(), testing::StartsWith("Pokescope drives a real iPhone."));
    EXPECT_EQ(out["sessionId"].get<std::string>().size(), 36u);
    EXPECT_EQ(out["steps"][0]["ping"], json::object());
    auto names = toolNames(out["steps"][1]["tools"]);
    EXPECT_EQ(names, (std::vector<std::string>{"screenshot", "tap", "tap_text", "long_press", "swipe", "scroll",
                                               "scroll_to", "batch", "type_text", "press_key", "open_app",
                                               "start_recording", "stop_recording", "calibrate", "status",
                                               "list_apps", "device_log", "crash_reports", "device_info"}));
    // The server noted the agent's requests in its log.
    app.child->signal(SIGTERM);
    EXPECT_EQ(app.child->wait(30s), 0);
}

TEST(EndToEnd, WithTranscriptionOnTheClientSeesTwentyThreeTools) {
    TempHome home;
    writeFile(home.path() / ".config/pokescope/settings.json", R"({"transcriptionEnabled": true})");
    auto app = startApp(home);
    json out = runClient(app.port, {"list", "call:transcribe:{\"path\":\"/nonexistent.mp4\"}"});
    ASSERT_TRUE(out["ok"].get<bool>()) << out.dump(2);
    auto names = toolNames(out["steps"][0]["tools"]);
    EXPECT_EQ(names.size(), 23u);
    EXPECT_EQ(names[13], "transcribe");
    EXPECT_EQ(names[16], "stop_listening");
}

TEST(EndToEnd, ToolFailuresReachTheAgentAsResults) {
    TempHome home;
    auto app = startApp(home);
    json out = runClient(app.port, {"call:get_transcript:{}", "call:fly:{}"});
    ASSERT_TRUE(out["ok"].get<bool>()) << out.dump(2);
    auto& refused = out["steps"][0]["result"];
    EXPECT_EQ(refused["isError"], true);
    EXPECT_THAT(refused["content"][0]["text"].get<std::string>(), HasSubstr("Transcription is turned off."));
    EXPECT_EQ(out["steps"][1]["result"]["content"][0]["text"], "Unknown tool: fly");
}

TEST(EndToEnd, TheSdkClientOverStdioGetsTheAppStartedByTheBridge) {
    TempHome home;
    int port = freePort();
    LaunchedApp launched(pokescope::InstanceLock::pathFor(static_cast<std::uint16_t>(port)));
    json command = {binaryPath().string(), "--stdio", "--port", std::to_string(port), "--simulate"};
    auto environment = home.environment();
    environment.insert(environment.end(), {"DISPLAY=", "WAYLAND_DISPLAY="});
    json out = runSdk({"--stdio", command.dump()}, {"ping", "list", "call:status:{}"}, environment);
    ASSERT_TRUE(out["ok"].get<bool>()) << out.dump(2);
    EXPECT_EQ(out["serverVersion"]["name"], "pokescope");
    EXPECT_EQ(out["steps"][0]["ping"], json::object());
    EXPECT_EQ(toolNames(out["steps"][1]["tools"]).size(), 19u + 7u); // and a simulated run's own seven
    auto& status = out["steps"][2]["result"];
    EXPECT_FALSE(status.contains("isError")) << status.dump(2);
    std::string text = status["content"][0]["text"];
    EXPECT_THAT(text, testing::StartsWith("usb: "));
    EXPECT_THAT(text, HasSubstr("\nrecording: off"));
    // Closing the client's end of the pipe ended the bridge by itself, before the SDK's SIGTERM.
    EXPECT_EQ(out["bridgeExit"], json::parse(R"({"code":0,"signal":null})"));
    EXPECT_THAT(out["bridgeStderr"].get<std::string>(), HasSubstr("bridge: started the application"));

    // The application outlives the bridge, as the agent's next session expects.
    auto pid = launched.pid();
    ASSERT_TRUE(pid);
    EXPECT_TRUE(LaunchedApp::alive(*pid));
    launched.stop();
    EXPECT_FALSE(LaunchedApp::alive(*pid));
}

// A call that asks for progress is kept alive by it: 90 s of waiting under the client's 30 s time-out, and
// a calibration through the bridge that tells its samples.
TEST(EndToEnd, ProgressKeepsTheSdkClientThroughLongCallsOverHttpAndStdio) {
    TempHome home;
    auto app = startApp(home, {"--simulate"});
    json waits = json::array();
    for (int i = 0; i < 9; ++i)
        waits.push_back({{"tool", "wait"}, {"arguments", {{"ms", 10000}}}});
    json out = runClient(app.port, {"progress:batch:" + json{{"actions", waits}}.dump()});
    ASSERT_TRUE(out["ok"].get<bool>()) << out.dump(2);
    auto& batch = out["steps"][0];
    EXPECT_FALSE(batch["result"].contains("isError")) << batch["result"].dump(2);
    EXPECT_GE(batch["progress"].size(), 18u); // at least every 5 s
    EXPECT_EQ(batch["progress"][0]["message"], "Action 1 of 9: wait");
    app.child->signal(SIGTERM);
    EXPECT_EQ(app.child->wait(30s), 0);

    int port = freePort();
    LaunchedApp launched(pokescope::InstanceLock::pathFor(static_cast<std::uint16_t>(port)));
    json command = {binaryPath().string(), "--stdio", "--port", std::to_string(port), "--simulate"};
    auto environment = home.environment();
    environment.insert(environment.end(), {"DISPLAY=", "WAYLAND_DISPLAY="});
    out = runSdk({"--stdio", command.dump()}, {"progress:calibrate:{}"}, environment);
    ASSERT_TRUE(out["ok"].get<bool>()) << out.dump(2);
    auto& calibrate = out["steps"][0];
    EXPECT_THAT(calibrate["result"]["content"][0]["text"].get<std::string>(), testing::StartsWith("Calibrated: "));
    std::vector<std::string> messages;
    for (auto& p : calibrate["progress"])
        messages.push_back(p["message"]);
    EXPECT_THAT(messages, testing::Contains("Calibrating: sample 1 of at most 11"));
    EXPECT_THAT(messages, testing::Contains("Calibrating: single steps"));
    launched.stop();
}
