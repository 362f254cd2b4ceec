#include "agent/ToolSet.hpp"

#include "tests/support/SimServices.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace pokescope;
using nlohmann::json;
using testing::HasSubstr;

namespace {

std::vector<std::string> names(const json& definitions) {
    std::vector<std::string> out;
    for (auto& definition : definitions)
        out.push_back(definition["name"]);
    return out;
}

const std::vector<std::string> kAll{"screenshot",     "tap",          "tap_text",  "long_press", "swipe",
                                    "scroll",         "scroll_to",    "batch",     "type_text",  "press_key",
                                    "open_app",       "start_recording", "stop_recording", "transcribe",
                                    "start_listening", "get_transcript", "stop_listening", "calibrate", "status",
                                    // the phone's own records, after the others
                                    "list_apps", "device_log", "crash_reports", "device_info"};

class ToolsCatalogue : public testing::Test {
protected:
    test::SimServices sim;
    ToolSet& tools = *sim->tools;
};

} // namespace

TEST_F(ToolsCatalogue, ListsTwentyThreeToolsInOrderHidesTranscriptionWhenOffAndListsASimulatedRunsOwnToolsLast) {
    // A simulated run's own tools are listed after the others, like every tool that can be called.
    const std::vector<std::string> simulated{"debug_pointer", "debug_fine",           "debug_move", "debug_lockdown",
                                             "debug_assistivetouch", "debug_simulator", "wait"};
    EXPECT_EQ(names(tools.allDefinitions()), kAll);
    sim->settings.setTranscriptionEnabled(true);
    auto all = kAll;
    all.insert(all.end(), simulated.begin(), simulated.end());
    EXPECT_EQ(names(tools.definitions()), all);
    sim->settings.setTranscriptionEnabled(false);
    std::vector<std::string> without;
    for (auto& name : all)
        if (!ToolSet::transcription().count(name))
            without.push_back(name);
    EXPECT_EQ(without.size(), 19u + simulated.size());
    EXPECT_EQ(names(tools.definitions()), without);
}

TEST_F(ToolsCatalogue, EverySchemaIsAnObjectWithARequiredListAndOnlyReadOnlyToolsCarryTheHint) {
    const std::set<std::string> noneRequired{"screenshot",      "start_recording", "stop_recording", "transcribe",
                                             "start_listening", "get_transcript",  "stop_listening", "calibrate",
                                             "status",          "list_apps",       "device_log",     "crash_reports",
                                             "device_info"};
    std::vector<std::string> readOnly;
    for (auto& definition : tools.allDefinitions()) {
        std::string name = definition["name"];
        SCOPED_TRACE(name);
        auto& schema = definition["inputSchema"];
        EXPECT_EQ(schema["type"], "object");
        ASSERT_TRUE(schema["properties"].is_object());
        ASSERT_TRUE(schema["required"].is_array());
        EXPECT_EQ(schema["required"].empty(), noneRequired.count(name) == 1);
        EXPECT_EQ(definition.dump().find("\"default\":"), std::string::npos); // at no depth
        std::set<std::string> keys;
        for (auto it = definition.begin(); it != definition.end(); ++it)
            keys.insert(it.key());
        if (keys.erase("annotations")) {
            EXPECT_EQ(definition["annotations"], json({{"readOnlyHint", true}}));
            readOnly.push_back(name);
        }
        EXPECT_EQ(keys, (std::set<std::string>{"name", "description", "inputSchema"})); // no title, no outputSchema
    }
    EXPECT_EQ(readOnly, (std::vector<std::string>{"screenshot", "transcribe", "get_transcript", "status", "list_apps",
                                                  "device_log", "crash_reports", "device_info"}));
}

TEST_F(ToolsCatalogue, PropertyTypesMatchTheContractAndDescriptionsAreWordForWord) {
    std::map<std::string, std::string> expected{
        {"screenshot.include_text", "boolean"}, {"tap.x", "number"},           {"tap.y", "number"},
        {"tap_text.text", "string"},            {"tap_text.occurrence", "integer"}, {"long_press.x", "number"},
        {"long_press.y", "number"},             {"long_press.seconds", "number"}, {"swipe.from_x", "number"},
        {"swipe.from_y", "number"},             {"swipe.to_x", "number"},       {"swipe.to_y", "number"},
        {"swipe.duration_ms", "integer"},       {"scroll.direction", "string"}, {"scroll.amount", "number"},
        {"scroll_to.text", "string"},           {"scroll_to.direction", "string"}, {"scroll_to.max_scrolls", "integer"},
        {"batch.actions", "array"},             {"type_text.text", "string"},   {"type_text.submit", "boolean"},
        {"press_key.key", "string"},            {"open_app.name", "string"},    {"start_recording.overlay", "boolean"},
        {"start_recording.audio", "boolean"},   {"start_recording.max_seconds", "number"},
        {"transcribe.path", "string"},          {"transcribe.language", "string"},
        {"start_listening.language", "string"}, {"start_listening.max_seconds", "number"},
        {"get_transcript.since_seconds", "number"},
        {"list_apps.include_system", "boolean"}, {"device_log.seconds", "number"},  {"device_log.process", "string"},
        {"device_log.contains", "string"},      {"device_log.max_lines", "integer"}, {"crash_reports.name", "string"}};
    std::map<std::string, std::string> actual;
    std::map<std::string, json> byName;
    for (auto& definition : tools.allDefinitions()) {
        byName[definition["name"]] = definition;
        for (auto it = definition["inputSchema"]["properties"].begin(); it != definition["inputSchema"]["properties"].end(); ++it)
            actual[definition["name"].get<std::string>() + "." + it.key()] = it.value()["type"];
    }
    EXPECT_EQ(actual, expected);
    // The descriptions that steer the agent, word for word.
    EXPECT_EQ(byName["tap_text"]["description"],
              "Tap the centre of on-screen text found by OCR (case-insensitive; exact > prefix > contains).");
    EXPECT_EQ(byName["scroll"]["description"],
              "Scroll the content in a direction (content moves the way you'd swipe: 'down' reveals content below).");
    EXPECT_EQ(byName["scroll"]["inputSchema"]["properties"]["direction"],
              json::parse(R"({"type":"string","enum":["up","down","left","right"]})"));
    EXPECT_EQ(byName["scroll_to"]["inputSchema"]["properties"]["direction"],
              json::parse(R"({"type":"string","enum":["up","down","left","right"],"description":"Default down"})"));
    EXPECT_EQ(byName["batch"]["inputSchema"],
              json::parse(R"({"type":"object","required":["actions"],"properties":{"actions":{"type":"array",
                  "items":{"type":"object","properties":{"tool":{"type":"string"},"arguments":{"type":"object"}},"required":["tool"]},
                  "description":"e.g. [{\"tool\":\"tap_text\",\"arguments\":{\"text\":\"Search\"}}, {\"tool\":\"type_text\",\"arguments\":{\"text\":\"coffee\",\"submit\":true}}]"}}})"));
    EXPECT_EQ(byName["batch"]["description"],
              "Run several actions in order in one call (e.g. tap a field, type, press return) and get one screenshot "
              "at the end. Stops at the first failure. Allowed tools: tap, tap_text, long_press, swipe, scroll, "
              "type_text, press_key, open_app, and wait {ms}.");
    EXPECT_EQ(byName["press_key"]["description"],
              "Press a key or system action: home, back (taps the nav bar's back button), return, backspace, tab, "
              "escape, space, up, down, left, right, or a combo like cmd+space.");
    EXPECT_THAT(byName["transcribe"]["description"].get<std::string>(), HasSubstr("Runs offline on this computer;"));
    EXPECT_THAT(byName["start_recording"]["inputSchema"]["properties"]["audio"]["description"].get<std::string>(),
                HasSubstr("Never records this computer's microphone."));
    EXPECT_EQ(byName["status"]["description"], "Connection status: USB, screen, Bluetooth, calibration.");
    // The log's bound is what the agent is told.
    EXPECT_THAT(byName["device_log"]["description"].get<std::string>(),
                HasSubstr("the newest 20000 lines (at most 4 MiB) are kept."));
}

TEST_F(ToolsCatalogue, TranscriptionToolsWhileTranscriptionIsOffUnknownToolsAndUnboundedOrUnlistedArgumentsAreErrorResults) {
    ASSERT_FALSE(sim->settings.transcriptionEnabled());
    for (auto& name : ToolSet::transcription()) {
        auto result = tools.call(name, json{{"path", 42}});
        EXPECT_EQ(result, json::parse(R"({"content":[{"type":"text","text":"Transcription is turned off. The user can turn it on in Pokescope › Settings › Transcription."}],"isError":true})"))
            << name;
    }
    // An unknown tool is an error result too.
    EXPECT_EQ(tools.call("fly", json::object()),
              json::parse(R"({"content":[{"type":"text","text":"Unknown tool: fly"}],"isError":true})"));
    EXPECT_EQ(tools.call("", json::object())["content"][0]["text"], "Unknown tool: ");
    // Every string is bounded before anything is typed or searched, and an enumerated one is checked.
    auto error = [&](const char* tool, json arguments) {
        auto result = tools.call(tool, arguments);
        EXPECT_EQ(result.value("isError", false), true) << tool;
        return result["content"][0]["text"].get<std::string>();
    };
    const std::string huge(1 << 20, 'x');
    EXPECT_EQ(error("open_app", {{"name", huge}}), "name is too long: at most 100 characters");
    EXPECT_EQ(error("tap_text", {{"text", huge}}), "text is too long: at most 200 characters");
    EXPECT_EQ(error("scroll_to", {{"text", huge}}), "text is too long: at most 200 characters");
    EXPECT_EQ(error("press_key", {{"key", huge}}), "key is too long: at most 64 characters");
    EXPECT_EQ(error("transcribe", {{"path", huge}}), "Transcription is turned off. The user can turn it on in Pokescope › Settings › Transcription.");
    EXPECT_EQ(error("type_text", {{"text", huge}}), "text is too long; type at most 1000 characters per call");
    EXPECT_EQ(error("open_app", {{"name", std::string(100, 'a') + "\xC3\xA9"}}), "name is too long: at most 100 characters");
    for (const char* tool : {"scroll", "scroll_to"})
        EXPECT_EQ(error(tool, {{"direction", "sideways"}, {"text", "General"}}),
                  "direction must be one of: up, down, left, right");
}
