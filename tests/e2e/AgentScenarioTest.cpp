// An agent's whole session on the simulated iPhone through the official SDK client, over HTTP and over a
// stdio bridge the client starts itself: screenshot, calibrate, open Settings, tap a row, go back, scroll
// to a row far down, go home, read the phone's own records (its apps, log, crash reports and state, with
// Podcasts crashing as it opens on one run), type into Notes, a batch with a failing action. Each step is
// checked on the simulated phone's own state by the script. One run takes the phone's screen over the USB
// protocol.
#include "app/InstanceLock.hpp"
#include "tests/e2e/LaunchedApp.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <iostream>

using namespace pokescope::test;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

json runScenario(const std::vector<std::string>& target, const std::vector<std::string>& environment) {
    std::vector<std::string> arguments{"/usr/bin/env", "node", (sourcePath() / "tests/e2e/agent-scenario.mjs").string()};
    arguments.insert(arguments.end(), target.begin(), target.end());
    std::vector<std::string> childEnvironment = environment;
    childEnvironment.push_back("NODE_PATH=" + (sourcePath() / "node_modules").string());
    Child client(arguments, childEnvironment);
    client.wait(900s);
    std::string output = client.output();
    auto parsed = json::parse(output.substr(0, output.find('\n')), nullptr, false);
    EXPECT_FALSE(parsed.is_discarded()) << output << client.errors();
    return parsed;
}

void expectEveryStep(const json& out) {
    ASSERT_TRUE(out.contains("steps")) << out.dump(2);
    EXPECT_TRUE(out["ok"].get<bool>()) << out.value("error", "");
    for (const auto& step : out["steps"]) {
        EXPECT_TRUE(step["ok"].get<bool>()) << step["step"].get<std::string>() << ": " << step["detail"].dump();
        std::cout << step["step"].get<std::string>() << ": " << step["ms"].get<long>() << " ms";
        if (step["step"].get<std::string>().starts_with("stop_recording") ||
            step["step"].get<std::string>().starts_with("the phone's own records"))
            std::cout << " — " << step["detail"].get<std::string>();
        std::cout << "\n";
    }
    EXPECT_EQ(out["steps"].size(), 14u);
}

} // namespace

// On a mini whose stream sends at most 30 frames a second, with the pointer's fixed timing, whose Podcasts
// crashes as it opens.
TEST(AgentScenario, OverHttpOnAMiniAtThirtyFramesASecondWithFixedPointerTiming) {
    TempHome home;
    writeFile(home.path() / ".config/pokescope/settings.json", R"({"pointerTiming": "exact"})");
    auto app = startApp(home, {"--simulate"}, {"POKESCOPE_SIM=model=iphone-13-mini,fps=30,noise=12,crash-on-open=Podcasts"});
    expectEveryStep(runScenario({"http://127.0.0.1:" + std::to_string(app.port) + "/mcp"}, home.environment()));
    const std::string log = app.child->output();
    EXPECT_EQ(log.find("input: move from "), std::string::npos) << "fixed timing parks before every move";
    showLogOnFailure(log);
}

// The same session in the dark appearance with the screen and sound coming over the USB screen-sharing
// protocol: the simulated phone encodes its screen as H.264 and the application decodes it.
TEST(AgentScenario, OverHttpWithTheScreenOverUsbInTheDark) {
    TempHome home;
    auto app = startApp(home, {"--simulate"}, {"POKESCOPE_CAPTURE=usb", "POKESCOPE_SIM=dark"});
    expectEveryStep(runScenario({"http://127.0.0.1:" + std::to_string(app.port) + "/mcp"}, home.environment()));
    const std::string log = app.child->output();
    EXPECT_NE(log.find("screen: source: the iPhone's own screen sharing over USB (POKESCOPE_CAPTURE=usb)"),
              std::string::npos);
    EXPECT_NE(log.find("screen: usb: video format: avc1, 1179 x 2556"), std::string::npos);
    EXPECT_NE(log.find("input: move from "), std::string::npos) << "adaptive timing moves from the last sighting";
    showLogOnFailure(log);
}

// Through a bridge the client starts, on a small dark phone with a Home button and a slow capture path.
TEST(AgentScenario, OverStdioWithTheAppStartedByTheBridgeOnASmallDarkPhone) {
    TempHome home;
    int port = freePort();
    LaunchedApp launched(pokescope::InstanceLock::pathFor(static_cast<std::uint16_t>(port)));
    json command = {binaryPath().string(), "--stdio", "--port", std::to_string(port), "--simulate"};
    auto environment = home.environment();
    environment.insert(environment.end(), {"DISPLAY=", "WAYLAND_DISPLAY=", "POKESCOPE_SIM=model=iphone-se,dark,latency=200"});
    expectEveryStep(runScenario({"--stdio", command.dump()}, environment));
}
