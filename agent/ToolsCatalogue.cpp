// The tool catalogue: what an agent learns about each tool before it calls any. The descriptions are
// instructions to the agent; every word of them is deliberate.
#include "agent/Tools.hpp"

#include "core/AppSettings.hpp"

namespace pokescope::Tools {

using nlohmann::json;

namespace {

json obj(json properties, json required) {
    return json{{"type", "object"}, {"properties", std::move(properties)}, {"required", std::move(required)}};
}

json typed(const char* type) { return json{{"type", type}}; }

json typed(const char* type, const char* description) {
    return json{{"type", type}, {"description", description}};
}

json tool(const char* name, const char* description, json schema, bool readOnly = false) {
    json definition{{"name", name}, {"description", description}, {"inputSchema", std::move(schema)}};
    if (readOnly)
        definition["annotations"] = json{{"readOnlyHint", true}};
    return definition;
}

json directions() { return json::array({"up", "down", "left", "right"}); }

} // namespace

const std::set<std::string>& transcription() {
    static const std::set<std::string> names{"transcribe", "start_listening", "get_transcript", "stop_listening"};
    return names;
}

namespace {

json buildDefinitions() {
    json none = json::object();
    json noneRequired = json::array();
    json list = json::array();

    list.push_back(tool("screenshot",
                        "Capture the iPhone screen. Returns the image plus on-screen text with tap coordinates.",
                        obj({{"include_text", typed("boolean", "Include OCR text list (default true)")}}, noneRequired),
                        true));
    list.push_back(tool("tap", "Tap at a point (screenshot coordinates).",
                        obj({{"x", typed("number")}, {"y", typed("number")}}, {"x", "y"})));
    list.push_back(tool("tap_text",
                        "Tap the centre of on-screen text found by OCR (case-insensitive; exact > prefix > contains).",
                        obj({{"text", typed("string")},
                             {"occurrence", typed("integer", "Which match, top to bottom (default 1)")}},
                            {"text"})));
    list.push_back(tool("long_press", "Touch and hold at a point.",
                        obj({{"x", typed("number")}, {"y", typed("number")}, {"seconds", typed("number")}}, {"x", "y"})));
    list.push_back(tool("swipe", "Drag from one point to another (screenshot coordinates).",
                        obj({{"from_x", typed("number")},
                             {"from_y", typed("number")},
                             {"to_x", typed("number")},
                             {"to_y", typed("number")},
                             {"duration_ms", typed("integer")}},
                            {"from_x", "from_y", "to_x", "to_y"})));
    list.push_back(tool("scroll",
                        "Scroll the content in a direction (content moves the way you'd swipe: 'down' reveals "
                        "content below).",
                        obj({{"direction", {{"type", "string"}, {"enum", directions()}}},
                             {"amount", typed("number", "Fraction of the screen, default 0.5")}},
                            {"direction"})));
    list.push_back(tool("scroll_to",
                        "Scroll until text is visible (OCR), then return the screenshot. Stops at the end of the list.",
                        obj({{"text", typed("string")},
                             {"direction", {{"type", "string"}, {"enum", directions()}, {"description", "Default down"}}},
                             {"max_scrolls", typed("integer", "Default 8, max 20")}},
                            {"text"})));
    list.push_back(tool(
        "batch",
        "Run several actions in order in one call (e.g. tap a field, type, press return) and get one screenshot at "
        "the end. Stops at the first failure. Allowed tools: tap, tap_text, long_press, swipe, scroll, type_text, "
        "press_key, open_app, and wait {ms}.",
        obj({{"actions",
              {{"type", "array"},
               {"items", obj({{"tool", typed("string")}, {"arguments", typed("object")}}, {"tool"})},
               {"description", R"(e.g. [{"tool":"tap_text","arguments":{"text":"Search"}}, )"
                               R"({"tool":"type_text","arguments":{"text":"coffee","submit":true}}])"}}}},
            {"actions"})));
    list.push_back(tool("type_text", "Type text into the focused field (US ASCII).",
                        obj({{"text", typed("string")}, {"submit", typed("boolean", "Press Return afterwards")}},
                            {"text"})));
    list.push_back(tool("press_key",
                        "Press a key or system action: home, back (taps the nav bar's back button), return, "
                        "backspace, tab, escape, space, up, down, left, right, or a combo like cmd+space.",
                        obj({{"key", typed("string")}}, {"key"})));
    list.push_back(tool("open_app", "Open an app by name (via Home + Spotlight).",
                        obj({{"name", typed("string")}}, {"name"})));
    list.push_back(tool(
        "start_recording",
        "Start recording the iPhone screen (and, by default, the iPhone's own audio) to an .mp4. By default the "
        "agent's taps, swipes and typing are drawn on the video. Defaults follow the user's Pokescope settings. "
        "Call stop_recording to finish.",
        obj({{"overlay", typed("boolean", "Draw taps/swipes/typing on the video (default: user setting)")},
             {"audio", typed("boolean", "Record the iPhone's sound (default: user setting). Never records this "
                                        "computer's microphone.")},
             {"max_seconds",
              typed("number", "Stop automatically after this many seconds (default: user setting, which may be never)")}},
            noneRequired)));
    list.push_back(tool("stop_recording", "Stop the screen recording and return the video file's path.",
                        obj(none, noneRequired)));
    list.push_back(tool(
        "transcribe",
        "Transcribe the speech in a screen recording (default: the most recent one). Returns timestamped text and "
        "saves an .srt subtitle file next to the video. Runs offline on this computer; music and sound effects "
        "aren't transcribed, and copy-protected audio (Apple Music, Spotify) records as silence.",
        obj({{"path", typed("string", "A recording's file path (default: the latest Pokescope recording)")},
             {"language", typed("string", "e.g. en-US (default: user setting)")}},
            noneRequired),
        true));
    list.push_back(tool(
        "start_listening",
        "Start live transcription of the iPhone's sound (videos, voice notes, calls on speaker, Siri). Keep acting "
        "on the phone, then call get_transcript or stop_listening. While listening, the phone's sound plays through "
        "this computer instead of the phone. If Pokescope's Keep iPhone audio connected setting is off, the first "
        "~5 s may be silent while the phone switches its audio over.",
        obj({{"language", typed("string", "e.g. en-US (default: user setting)")},
             {"max_seconds", typed("number", "Stop automatically after this many seconds (default 1800)")}},
            noneRequired)));
    list.push_back(tool("get_transcript",
                        "Read the live transcript so far without stopping (or the last session's, if it already "
                        "stopped).",
                        obj({{"since_seconds", typed("number", "Only lines from this many seconds into the session onward")}},
                            noneRequired),
                        true));
    list.push_back(tool("stop_listening", "Stop live transcription and return the full transcript.",
                        obj(none, noneRequired)));
    list.push_back(tool("calibrate",
                        "Re-measure the pointer (run if taps land in the wrong place). Works best on a still screen "
                        "like the Home Screen.",
                        obj(none, noneRequired)));
    list.push_back(tool("status", "Connection status: USB, screen, Bluetooth, calibration.", obj(none, noneRequired),
                        true));
    return list;
}

} // namespace

// The catalogue is constant, so it is built once; only the transcription filter depends on the settings.
const json& allDefinitions() {
    static const json all = buildDefinitions();
    return all;
}

const json& definitions(bool transcriptionEnabled) {
    static const json withoutTranscription = [] {
        json served = json::array();
        for (const auto& definition : allDefinitions())
            if (!transcription().count(definition["name"].get<std::string>()))
                served.push_back(definition);
        return served;
    }();
    return transcriptionEnabled ? allDefinitions() : withoutTranscription;
}

const json& definitions() { return definitions(AppSettings::shared().transcriptionEnabled()); }

} // namespace pokescope::Tools
