// Transcription through the official SDK client on the simulated iPhone, with the machine's real speech
// recogniser: live listening while the agent keeps calling tools, and a recording transcribed into timed
// lines and an .srt file beside it. Each step is checked by the script.
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <iostream>

using namespace pokescope::test;
using namespace std::chrono_literals;
using nlohmann::json;

TEST(TranscriptionScenario, OverHttp) {
    TempHome home;
    writeFile(home.path() / ".config/pokescope/settings.json", R"({"transcriptionEnabled": true})");
    auto app = startApp(home, {"--simulate"});
    std::vector<std::string> arguments{"/usr/bin/env", "node",
                                       (sourcePath() / "tests/e2e/transcription-scenario.mjs").string(),
                                       "http://127.0.0.1:" + std::to_string(app.port) + "/mcp"};
    auto environment = home.environment();
    environment.push_back("NODE_PATH=" + (sourcePath() / "node_modules").string());
    Child client(arguments, environment);
    client.wait(900s);
    const std::string output = client.output();
    auto out = json::parse(output.substr(0, output.find('\n')), nullptr, false);
    ASSERT_FALSE(out.is_discarded()) << output << client.errors();
    ASSERT_TRUE(out.contains("steps")) << out.dump(2);
    EXPECT_TRUE(out["ok"].get<bool>()) << out.value("error", "");
    for (const auto& step : out["steps"]) {
        EXPECT_TRUE(step["ok"].get<bool>()) << step["step"].get<std::string>() << ": " << step["detail"].dump();
        std::cout << step["step"].get<std::string>() << ": " << step["ms"].get<long>() << " ms — "
                  << step["detail"].dump() << "\n";
    }
    EXPECT_EQ(out["steps"].size(), 5u);
    showLogOnFailure(app.child->output());
}
