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
                                    "start_listening", "get_transcript", "stop_listening", "calibrate", "status"};

bool containsKey(const json& value, const std::string& key) {
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it)
            if (it.key() == key || containsKey(it.value(), key))
                return true;
    } else if (value.is_array()) {
        for (auto& element : value)
            if (containsKey(element, key))
                return true;
    }
    return false;
}

class ToolsCatalogue : public testing::Test {
protected:
    test::SimServices sim;
    ToolSet& tools = *sim->tools;
};

} // namespace

TEST_F(ToolsCatalogue, ListsNineteenToolsInOrderAndHidesTranscriptionWhenOff) {
    EXPECT_EQ(names(tools.allDefinitions()), kAll);
    sim->settings.setTranscriptionEnabled(true);
    EXPECT_EQ(names(tools.definitions()), kAll);
    sim->settings.setTranscriptionEnabled(false);
    std::vector<std::string> without;
    for (auto& name : kAll)
        if (!ToolSet::transcription().count(name))
            without.push_back(name);
    EXPECT_EQ(without.size(), 15u);
    EXPECT_EQ(names(tools.definitions()), without);
}

TEST_F(ToolsCatalogue, EverySchemaIsAnObjectWithARequiredList) {
    const std::set<std::string> noneRequired{"screenshot",      "start_recording", "stop_recording", "transcribe",
                                             "start_listening", "get_transcript",  "stop_listening", "calibrate",
                                             "status"};
    for (auto& definition : tools.allDefinitions()) {
        std::string name = definition["name"];
        auto& schema = definition["inputSchema"];
        EXPECT_EQ(schema["type"], "object") << name;
        ASSERT_TRUE(schema["properties"].is_object()) << name;
        ASSERT_TRUE(schema["required"].is_array()) << name;
        EXPECT_EQ(schema["required"].empty(), noneRequired.count(name) == 1) << name;
        EXPECT_FALSE(containsKey(definition, "default")) << name;
        EXPECT_FALSE(definition.contains("title")) << name;
        EXPECT_FALSE(definition.contains("outputSchema")) << name;
        std::set<std::string> keys;
        for (auto it = definition.begin(); it != definition.end(); ++it)
            keys.insert(it.key());
        keys.erase("annotations");
        EXPECT_EQ(keys, (std::set<std::string>{"name", "description", "inputSchema"})) << name;
    }
}

TEST_F(ToolsCatalogue, OnlyReadOnlyToolsCarryTheHint) {
    std::vector<std::string> readOnly;
    for (auto& definition : tools.allDefinitions())
        if (definition.contains("annotations")) {
            EXPECT_EQ(definition["annotations"], json({{"readOnlyHint", true}}));
            readOnly.push_back(definition["name"]);
        }
    EXPECT_EQ(readOnly, (std::vector<std::string>{"screenshot", "transcribe", "get_transcript", "status"}));
}

TEST_F(ToolsCatalogue, PropertyTypesMatchTheContract) {
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
        {"get_transcript.since_seconds", "number"}};
    std::map<std::string, std::string> actual;
    for (auto& definition : tools.allDefinitions())
        for (auto it = definition["inputSchema"]["properties"].begin(); it != definition["inputSchema"]["properties"].end(); ++it)
            actual[definition["name"].get<std::string>() + "." + it.key()] = it.value()["type"];
    EXPECT_EQ(actual, expected);
}

TEST_F(ToolsCatalogue, DescriptionsAreWordForWord) {
    std::map<std::string, json> byName;
    for (auto& definition : tools.allDefinitions())
        byName[definition["name"]] = definition;
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
}

TEST_F(ToolsCatalogue, TranscriptionToolsAreRefusedWhileTranscriptionIsOff) {
    ASSERT_FALSE(sim->settings.transcriptionEnabled());
    for (auto& name : ToolSet::transcription()) {
        auto result = tools.call(name, json{{"path", 42}});
        EXPECT_EQ(result, json::parse(R"({"content":[{"type":"text","text":"Transcription is turned off. The user can turn it on in Pokescope › Settings › Transcription."}],"isError":true})"))
            << name;
    }
}

TEST_F(ToolsCatalogue, AnUnknownToolIsAnErrorResult) {
    EXPECT_EQ(tools.call("fly", json::object()),
              json::parse(R"({"content":[{"type":"text","text":"Unknown tool: fly"}],"isError":true})"));
    EXPECT_EQ(tools.call("", json::object())["content"][0]["text"], "Unknown tool: ");
}
