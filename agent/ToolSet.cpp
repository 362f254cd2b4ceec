// Tool execution: finds the tool in the table, runs it and words every outcome for the agent.
#include "agent/ToolSet.hpp"

#include "bluetooth/BluetoothHID.hpp"
#include "capture/ScreenCapture.hpp"
#include "core/AppSettings.hpp"
#include "media/ScreenRecorder.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace pokescope {

using nlohmann::json;
using Tools::errorResult;
using Tools::text;
using Tools::textItem;

namespace {

std::string format(const char* pattern, double a, double b) {
    char out[160];
    std::snprintf(out, sizeof out, pattern, a, b);
    return out;
}

} // namespace

json Tools::text(const std::string& s) {
    return json{{"content", json::array({json{{"type", "text"}, {"text", s}}})}};
}

json Tools::errorResult(const std::string& message) {
    json result = text(message);
    result["isError"] = true;
    return result;
}

ToolSet::ToolSet(ToolServices services) : services_(services), table_(catalogue()) {}

void ToolSet::awaitLinkAtStart() {
    using State = BluetoothHID::State;
    auto& hid = services_.hid;
    const auto now = std::chrono::steady_clock::now();
    if (now - createdAt_ > kStartGrace)
        return;
    for (auto until = now + kLinkWait; std::chrono::steady_clock::now() < until;) {
        const State state = hid.state();
        if (state == State::ready || state == State::off)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void ToolSet::setEnvironment(Environment environment) {
    std::lock_guard lock(mutex_);
    environment_ = std::move(environment);
}

void ToolSet::addDebugTools(std::function<json()> probe, std::string settings) {
    auto tools = debugTools(std::move(probe));
    std::lock_guard lock(mutex_);
    debug_ = std::move(tools);
    simulated_ = std::move(settings);
}

const ToolSet::Tool* ToolSet::find(const std::string& name) const {
    for (const Tool& tool : table_)
        if (tool.name == name)
            return &tool;
    std::lock_guard lock(mutex_);
    for (const Tool& tool : debug_) // added once, before the server starts; never changed after
        if (tool.name == name)
            return &tool;
    return nullptr;
}

json ToolSet::allDefinitions() const {
    json list = json::array();
    for (const Tool& tool : table_)
        list.push_back(tool.definition);
    return list;
}

json ToolSet::definitions() {
    const bool transcribing = services_.settings.transcriptionEnabled();
    json list = json::array();
    for (const Tool& tool : table_)
        if (transcribing || !transcription().count(tool.name))
            list.push_back(tool.definition);
    std::lock_guard lock(mutex_);
    for (const Tool& tool : debug_) // a simulated run's own tools, after the others
        list.push_back(tool.definition);
    return list;
}

namespace {
thread_local const ToolProvider::Progress* callProgress = nullptr;
} // namespace

void ToolSet::progress(const std::string& message) {
    if (callProgress && *callProgress)
        (*callProgress)(message);
}

json ToolSet::callReporting(const std::string& name, const json& arguments, const Progress& progress) {
    const Progress* outer = callProgress;
    callProgress = &progress;
    struct Restore {
        const Progress* outer;
        ~Restore() { callProgress = outer; }
    } restore{outer};
    return call(name, arguments);
}

json ToolSet::call(const std::string& name, const json& arguments) {
    try {
        if (transcription().count(name) && !services_.settings.transcriptionEnabled())
            return errorResult(
                "Transcription is turned off. The user can turn it on in Pokescope › Settings › "
                "Transcription.");
        const Tool* tool = find(name);
        if (!tool)
            return errorResult("Unknown tool: " + name);
        return tool->handler(arguments);
    } catch (const InputEngine::InputError& e) {
        // Where the sentence sends the user to the application, the agent learns the tool that does it.
        std::string next;
        if (e.which == InputEngine::ErrorCase::notCalibrated)
            next = "\nCall the calibrate tool first.";
        else if (e.which == InputEngine::ErrorCase::tooFast)
            next = "\nThen call the calibrate tool.";
        return errorResult(e.what() + next);
    } catch (const std::exception& e) {
        return errorResult(e.what());
    }
}

std::optional<PhoneInfo> ToolSet::selectedPhone() {
    std::function<std::optional<PhoneInfo>()> selected;
    {
        std::lock_guard lock(mutex_);
        selected = environment_.selectedPhone;
    }
    if (selected)
        return selected();
    auto phones = services_.device.phones();
    return phones.empty() ? std::nullopt : std::optional(phones.front());
}

// An action tool: the action, the settle wait, then the screenshot.
json ToolSet::action(const std::string& name, const json& arguments) {
    std::vector<std::string> notes;
    const TimePoint started = std::chrono::steady_clock::now();
    if (!performAction(name, arguments, &notes))
        return errorResult("Unknown tool: " + name);
    if (callCancellation::gone()) // nobody is left to look at the screenshot
        return errorResult(InputEngine::InputError::text(InputEngine::ErrorCase::cancelled));
    settle(kSettleLimit, kStill, std::chrono::steady_clock::now());
    // Typing where nothing takes the keys leaves the screen as it was (a focused field at least moves its
    // caret).
    if (name == "type_text" && services_.capture.latestImage() &&
        services_.capture.stillness().lastChangeCaptured < started)
        notes.push_back("The screen did not change; is a text field focused?");
    if (name == "press_key") {
        // The key as the input engine reads it: lower case, no blanks.
        std::string key;
        for (char c : ToolArguments::string(arguments, "key", ToolArguments::kMaxKey).value_or(""))
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key == "back")
            notes.insert(notes.begin(), "Back: " + services_.input.lastBackMethod() + ".");
    }
    json result;
    try {
        result = screenshot(true);
    } catch (const std::exception& error) {
        // The action ran: say so, so that the agent does not repeat it.
        json out = errorResult(error.what());
        out["content"].insert(out["content"].begin(), textItem("Done: " + name));
        return out;
    }
    for (auto it = notes.rbegin(); it != notes.rend(); ++it)
        result["content"].insert(result["content"].begin(), textItem(*it));
    return result;
}

json ToolSet::calibrate() {
    // The engine calibrates on its own queue; the call's listener goes with it.
    const Progress* listener = callProgress;
    Calibration calibration = onEngine([&] {
        return services_.input.calibrate([listener](const std::string& step) {
            if (listener && *listener)
                (*listener)(step);
        });
    });
    std::function<void(const Calibration&)> calibrated;
    {
        std::lock_guard lock(mutex_);
        calibrated = environment_.calibrated;
    }
    if (calibrated)
        calibrated(calibration);
    return text(format("Calibrated: %.2f x %.2f screen px per unit.", calibration.gainX, calibration.gainY));
}

json ToolSet::startRecording(const json& arguments) {
    auto& settings = services_.settings;
    const bool overlay = ToolArguments::boolean(arguments, "overlay").value_or(settings.showActions());
    const bool audio = ToolArguments::boolean(arguments, "audio").value_or(settings.recordAudio());
    std::optional<double> maxSeconds = settings.recordingLimitSeconds();
    if (auto given = ToolArguments::number(arguments, "max_seconds"))
        maxSeconds = std::clamp(*given, 5.0, 14400.0);
    auto& recorder = services_.recorder;
    const auto file = recorder.start(overlay, audio, maxSeconds);
    return text(std::string("Recording started") + (recorder.hasAudio() ? " with iPhone audio" : "") + " → " +
                file.string() + ". Call stop_recording when done.");
}

json ToolSet::stopRecording() {
    const auto result = services_.recorder.stop();
    char figures[96];
    std::snprintf(figures, sizeof figures, "Saved %.1f s recording (%.1f MB): ", result.seconds,
                  static_cast<double>(result.bytes) / 1048576.0);
    std::string sentence = figures + result.url.string() + ".";
    if (result.stoppedBecause)
        sentence += " It stopped automatically because " + *result.stoppedBecause + ".";
    return text(sentence);
}

} // namespace pokescope
