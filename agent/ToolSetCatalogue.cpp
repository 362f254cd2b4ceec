// The tool catalogue: what an agent learns about each tool before it calls any. The descriptions are
// instructions to the agent; every word of them is deliberate.
#include "agent/ToolSet.hpp"

namespace pokescope {

using nlohmann::json;

namespace {

json obj(json properties, json required) {
    return json{{"type", "object"}, {"properties", std::move(properties)}, {"required", std::move(required)}};
}

json typed(const char* type) {
    return json{{"type", type}};
}

json typed(const char* type, const char* description) {
    return json{{"type", type}, {"description", description}};
}

json definition(const char* name, const char* description, json schema, bool readOnly = false) {
    json made{{"name", name}, {"description", description}, {"inputSchema", std::move(schema)}};
    if (readOnly)
        made["annotations"] = json{{"readOnlyHint", true}};
    return made;
}

json directions() { return ToolArguments::kDirections; }

} // namespace

const std::set<std::string>& ToolSet::transcription() {
    static const std::set<std::string> names{"transcribe", "start_listening", "get_transcript",
                                             "stop_listening"};
    return names;
}

json ToolSet::debugDefinition(const std::string& name) {
    const json noneRequired = json::array();
    auto integer = [](const char* description) { return typed("integer", description); };
    if (name == "debug_pointer")
        return definition("debug_pointer",
                          "Simulated runs only: park the pointer, travel the given units on both axes, and say "
                          "where it was found.",
                          obj({{"units", integer("Units per axis (default 160)")},
                               {"step", integer("Units per report (default 8)")},
                               {"interval_ms", integer("Between reports (default 8)")}},
                              noneRequired));
    if (name == "debug_fine")
        return definition("debug_fine",
                          "Simulated runs only: find the pointer, travel the given units on one axis in small "
                          "reports, and say how far it moved.",
                          obj({{"units", integer("Units (default 20)")},
                               {"axis", {{"type", "string"}, {"enum", {"x", "y"}}}},
                               {"step", integer("Units per report (default 1)")},
                               {"interval_ms", integer("Between reports (default 16)")}},
                              noneRequired));
    if (name == "debug_move")
        return definition("debug_move",
                          "Simulated runs only: move the pointer to a point (screenshot coordinates) and say "
                          "where it landed.",
                          obj({{"x", typed("number")}, {"y", typed("number")}}, {"x", "y"}));
    if (name == "debug_lockdown")
        return definition("debug_lockdown", "Simulated runs only: the phone's values in one lockdown domain.",
                          obj({{"domain", typed("string", "Default com.apple.Accessibility")}}, noneRequired),
                          true);
    if (name == "debug_assistivetouch")
        return definition("debug_assistivetouch", "Simulated runs only: switch AssistiveTouch on the phone.",
                          obj({{"on", typed("boolean", "Default true")}}, noneRequired));
    if (name == "debug_simulator")
        return definition("debug_simulator", "Simulated runs only: the simulated phone's own state, as JSON.",
                          obj(json::object(), noneRequired), true);
    if (name == "wait")
        return definition("wait", "Simulated runs only: do nothing for a while, as a batch's wait step does.",
                          obj({{"ms", integer("Milliseconds, at most 10000 (default 500)")}}, noneRequired), true);
    return nullptr;
}

std::vector<ToolSet::Tool> ToolSet::catalogue() {
    json none = json::object();
    json noneRequired = json::array();
    std::vector<Tool> list;
    auto add = [&list](Handler handler, json made) {
        std::string name = made["name"];
        list.push_back({std::move(name), std::move(made), std::move(handler)});
    };
    auto act = [this](const char* name) -> Handler {
        return [this, name](const json& arguments) { return action(name, arguments); };
    };

    add([this](
            const json& a) { return screenshot(ToolArguments::boolean(a, "include_text").value_or(true)); },
        definition(
            "screenshot",
            "Capture the iPhone screen. Returns the image plus on-screen text with tap coordinates.",
            obj({{"include_text", typed("boolean", "Include OCR text list (default true)")}}, noneRequired),
            true));
    add(act("tap"), definition("tap", "Tap at a point (screenshot coordinates).",
                               obj({{"x", typed("number")}, {"y", typed("number")}}, {"x", "y"})));
    add(act("tap_text"),
        definition(
            "tap_text",
            "Tap the centre of on-screen text found by OCR (case-insensitive; exact > prefix > contains).",
            obj({{"text", typed("string")},
                 {"occurrence", typed("integer", "Which match, top to bottom (default 1)")}},
                {"text"})));
    add(act("long_press"),
        definition(
            "long_press", "Touch and hold at a point.",
            obj({{"x", typed("number")}, {"y", typed("number")}, {"seconds", typed("number")}}, {"x", "y"})));
    add(act("swipe"), definition("swipe", "Drag from one point to another (screenshot coordinates).",
                                 obj({{"from_x", typed("number")},
                                      {"from_y", typed("number")},
                                      {"to_x", typed("number")},
                                      {"to_y", typed("number")},
                                      {"duration_ms", typed("integer")}},
                                     {"from_x", "from_y", "to_x", "to_y"})));
    add(act("scroll"),
        definition("scroll",
                   "Scroll the content in a direction (content moves the way you'd swipe: 'down' reveals "
                   "content below).",
                   obj({{"direction", {{"type", "string"}, {"enum", directions()}}},
                        {"amount", typed("number", "Fraction of the screen, default 0.5")}},
                       {"direction"})));
    add([this](const json& a) { return scrollTo(a); },
        definition(
            "scroll_to",
            "Scroll until text is visible (OCR), then return the screenshot. Stops at the end of the list.",
            obj({{"text", typed("string")},
                 {"direction", {{"type", "string"}, {"enum", directions()}, {"description", "Default down"}}},
                 {"max_scrolls", typed("integer", "Default 8, max 20")}},
                {"text"})));
    add([this](const json& a) { return batch(a); },
        definition(
            "batch",
            "Run several actions in order in one call (e.g. tap a field, type, press return) and get one "
            "screenshot at "
            "the end. Stops at the first failure. Allowed tools: tap, tap_text, long_press, swipe, scroll, "
            "type_text, "
            "press_key, open_app, and wait {ms}.",
            obj({{"actions",
                  {{"type", "array"},
                   {"items", obj({{"tool", typed("string")}, {"arguments", typed("object")}}, {"tool"})},
                   {"description", R"(e.g. [{"tool":"tap_text","arguments":{"text":"Search"}}, )"
                                   R"({"tool":"type_text","arguments":{"text":"coffee","submit":true}}])"}}}},
                {"actions"})));
    add(act("type_text"),
        definition("type_text", "Type text into the focused field (US ASCII).",
                   obj({{"text", typed("string")}, {"submit", typed("boolean", "Press Return afterwards")}},
                       {"text"})));
    add(act("press_key"),
        definition("press_key",
                   "Press a key or system action: home, back (taps the nav bar's back button), return, "
                   "backspace, tab, escape, space, up, down, left, right, or a combo like cmd+space.",
                   obj({{"key", typed("string")}}, {"key"})));
    add(act("open_app"), definition("open_app", "Open an app by name (via Home + Spotlight).",
                                    obj({{"name", typed("string")}}, {"name"})));
    add([this](const json& a) { return startRecording(a); },
        definition(
            "start_recording",
            "Start recording the iPhone screen (and, by default, the iPhone's own audio) to an .mp4. By "
            "default the "
            "agent's taps, swipes and typing are drawn on the video. Defaults follow the user's Pokescope "
            "settings. "
            "Call stop_recording to finish.",
            obj({{"overlay",
                  typed("boolean", "Draw taps/swipes/typing on the video (default: user setting)")},
                 {"audio",
                  typed("boolean", "Record the iPhone's sound (default: user setting). Never records this "
                                   "computer's microphone.")},
                 {"max_seconds", typed("number", "Stop automatically after this many seconds (default: user "
                                                 "setting, which may be never)")}},
                noneRequired)));
    add([this](const json&) { return stopRecording(); },
        definition("stop_recording", "Stop the screen recording and return the video file's path.",
                   obj(none, noneRequired)));
    add([this](const json& a) { return transcribe(a); },
        definition("transcribe",
                   "Transcribe the speech in a screen recording (default: the most recent one). Returns "
                   "timestamped text and "
                   "saves an .srt subtitle file next to the video. Runs offline on this computer; music and "
                   "sound effects "
                   "aren't transcribed, and copy-protected audio (Apple Music, Spotify) records as silence.",
                   obj({{"path", typed("string",
                                       "A recording's file path (default: the latest Pokescope recording)")},
                        {"language", typed("string", "e.g. en-US (default: user setting)")}},
                       noneRequired),
                   true));
    add([this](const json& a) { return startListening(a); },
        definition("start_listening",
                   "Start live transcription of the iPhone's sound (videos, voice notes, calls on speaker, "
                   "Siri). Keep acting "
                   "on the phone, then call get_transcript or stop_listening. While listening, the phone's "
                   "sound plays through "
                   "this computer instead of the phone. If Pokescope's Keep iPhone audio connected setting "
                   "is off, the first "
                   "~5 s may be silent while the phone switches its audio over.",
                   obj({{"language", typed("string", "e.g. en-US (default: user setting)")},
                        {"max_seconds",
                         typed("number", "Stop automatically after this many seconds (default 1800)")}},
                       noneRequired)));
    add([this](const json& a) { return getTranscript(a); },
        definition("get_transcript",
                   "Read the live transcript so far without stopping (or the last session's, if it already "
                   "stopped).",
                   obj({{"since_seconds",
                         typed("number", "Only lines from this many seconds into the session onward")}},
                       noneRequired),
                   true));
    add([this](const json&) { return stopListening(); },
        definition("stop_listening", "Stop live transcription and return the full transcript.",
                   obj(none, noneRequired)));
    add([this](const json&) { return calibrate(); },
        definition(
            "calibrate",
            "Re-measure the pointer (run if taps land in the wrong place). Works best on a still screen "
            "like the Home Screen.",
            obj(none, noneRequired)));
    add([this](const json&) { return Tools::text(statusText()); },
        definition("status", "Connection status: USB, screen, Bluetooth, calibration.",
                   obj(none, noneRequired), true));

    // What the phone itself tells, through the services it offers a computer it trusts.
    add([this](const json& a) { return listApps(a); },
        definition("list_apps",
                   "List the apps installed on the iPhone, one line each: name, bundle identifier, version, "
                   "sorted by name. By default only the apps the user installed; include_system adds those "
                   "that came with iOS.",
                   obj({{"include_system", typed("boolean", "Also list the apps that came with iOS (default false)")}},
                       noneRequired),
                   true));
    add([this](const json& a) { return deviceLog(a); },
        definition("device_log",
                   "Read the iPhone's system log: what its apps and services wrote in the last seconds, newest "
                   "last (e.g. what an app logged when a tap did nothing). Collected while the iPhone is "
                   "plugged in; the newest 20000 lines (at most 4 MiB) are kept.",
                   obj({{"seconds", typed("number", "How far back to read (default 60, at most 3600)")},
                        {"process", typed("string", "Only lines of this process, any letter case (e.g. "
                                                    "SpringBoard, or an app's process such as Podcasts)")},
                        {"contains", typed("string", "Only lines containing this text, any letter case")},
                        {"max_lines", typed("integer", "The newest matching lines to return (default 200, at most 2000)")}},
                       noneRequired),
                   true));
    add([this](const json& a) { return crashReports(a); },
        definition("crash_reports",
                   "List the iPhone's crash reports, newest first (process, time, file name), or read one by "
                   "name. Reports are copied to this computer and kept, so one the iPhone deletes stays readable.",
                   obj({{"name", typed("string", "A report's file name from the list: returns its text (cut at 64 KiB)")}},
                       noneRequired),
                   true));
    add([this](const json&) { return deviceInfo(); },
        definition("device_info",
                   "The iPhone's name, model, iOS version, screen size, battery, storage, Bluetooth address, "
                   "trust and AssistiveTouch.",
                   obj(none, noneRequired), true));
    return list;
}

} // namespace pokescope
