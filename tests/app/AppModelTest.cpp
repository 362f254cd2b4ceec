// The agent configuration texts the user copies: exact for ordinary paths, valid JSON for any path.
#include "app/AppModel.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace pokescope;

TEST(AppModelConfiguration, TheStdioEntryIsExactForOrdinaryPathsAndValidJsonForAnyPath) {
    EXPECT_EQ(AppModel::stdioConfigJSON("/opt/pokescope/bin/pokescope"),
              "{\n  \"mcpServers\": {\n    \"pokescope\": { \"command\": \"/opt/pokescope/bin/pokescope\", "
              "\"args\": [\"--stdio\"] }\n  }\n}");
    const std::string odd = "/home/a \"b\"\\c/pokescope";
    auto parsed = nlohmann::json::parse(AppModel::stdioConfigJSON(odd), nullptr, false);
    ASSERT_FALSE(parsed.is_discarded());
    EXPECT_EQ(parsed["mcpServers"]["pokescope"]["command"], odd);
    EXPECT_EQ(parsed["mcpServers"]["pokescope"]["args"], nlohmann::json::array({"--stdio"}));
}
