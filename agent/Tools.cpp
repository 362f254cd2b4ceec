// Tool execution: reads the arguments, runs the tool and words every outcome for the agent.
#include "agent/Tools.hpp"

#include "agent/MCPServer.hpp"
#include "agent/ToolsInternal.hpp"
#include "core/AppSettings.hpp"
#include "capture/ScreenCapture.hpp"
#include "input/InputEngine.hpp"
#include "media/ScreenRecorder.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace pokescope::Tools {

using nlohmann::json;

namespace {

class Provider final : public ToolProvider {
public:
    json definitions() override { return Tools::definitions(); }
    json call(const std::string& name, const json& arguments) override { return Tools::call(name, arguments); }
};

std::mutex& environmentMutex() {
    static std::mutex mutex;
    return mutex;
}

Environment& environmentValue() {
    static Environment environment;
    return environment;
}

Environment currentEnvironment() {
    std::lock_guard lock(environmentMutex());
    return environmentValue();
}

std::string format(const char* pattern, double a, double b) {
    char out[160];
    std::snprintf(out, sizeof out, pattern, a, b);
    return out;
}

// An action tool: the action, the settle wait, then the screenshot.
json action(const std::string& name, const json& arguments) {
    std::vector<std::string> notes;
    if (!performAction(name, arguments, &notes))
        return errorResult("Unknown tool: " + name);
    settle(std::chrono::milliseconds(1200), std::chrono::milliseconds(300), std::chrono::steady_clock::now());
    if (name == "press_key") {
        // The key as the input engine reads it: lower case, no blanks.
        std::string key;
        for (char c : ToolArguments::string(arguments, "key").value_or(""))
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key == "back")
            notes.insert(notes.begin(), "Back: " + InputEngine::shared().lastBackMethod() + ".");
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

json calibrate() {
    auto& engine = InputEngine::shared();
    Calibration calibration = engine.queue().sync([&] { return engine.calibrate(); });
    Environment environment = currentEnvironment();
    if (environment.calibrated)
        environment.calibrated(calibration);
    return text(format("Calibrated: %.2f x %.2f screen px per unit.", calibration.gainX, calibration.gainY));
}

std::optional<json> debugTool(const std::string& name, const json& arguments) {
    using namespace ToolArguments;
    auto& engine = InputEngine::shared();
    auto position = [](const std::optional<PointD>& p) {
        return p ? std::to_string(static_cast<long>(p->x)) + "," + std::to_string(static_cast<long>(p->y))
                 : std::string("?");
    };
    if (name == "debug_pointer") {
        int units = clampedInteger(arguments, "units", 160, -4000, 4000);
        int step = clampedInteger(arguments, "step", 8, 1, 127);
        int interval = clampedInteger(arguments, "interval_ms", 8, 0, 1000);
        auto found = engine.queue().sync([&] {
            engine.park(false);
            engine.debugTravel(units, units, step, interval);
            return engine.locatePointer(std::nullopt);
        });
        return text("units=" + std::to_string(units) + " step=" + std::to_string(step) +
                    " interval=" + std::to_string(interval) + "ms: pointer at " + position(found));
    }
    if (name == "debug_fine") {
        int units = clampedInteger(arguments, "units", 20, -4000, 4000);
        std::string axis = string(arguments, "axis").value_or("x") == "y" ? "y" : "x";
        int step = clampedInteger(arguments, "step", 1, 1, 127);
        int interval = clampedInteger(arguments, "interval_ms", 16, 0, 1000);
        std::optional<PointD> before, after;
        engine.queue().sync([&] {
            before = engine.locatePointer(std::nullopt);
            engine.debugTravel(axis == "x" ? units : 0, axis == "y" ? units : 0, step, interval);
            after = engine.locatePointer(before);
        });
        if (!before || !after)
            return text(axis + " " + std::to_string(units) + " units: pointer not found");
        double moved = axis == "x" ? after->x - before->x : after->y - before->y;
        char out[200];
        std::snprintf(out, sizeof out, "%s %d units (step %d, %d ms): %.0f,%.0f -> %.0f,%.0f, moved %.0f px = %.2f px/unit",
                      axis.c_str(), units, step, interval, before->x, before->y, after->x, after->y, moved,
                      units ? moved / units : 0.0);
        return text(out);
    }
    if (name == "debug_move") {
        PointD target = point(arguments, "x", "y");
        auto start = std::chrono::steady_clock::now();
        auto found = engine.queue().sync([&] {
            engine.moveTo(target, true, 0);
            return engine.locatePointer(target);
        });
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!found)
            return text("pointer not found");
        char out[200];
        std::snprintf(out, sizeof out, "target %.0f,%.0f -> pointer %.0f,%.0f, error %.0f px (device), move took %.1fs",
                      target.x, target.y, found->x, found->y, std::hypot(found->x - target.x, found->y - target.y),
                      seconds);
        return text(out);
    }
    if (name == "debug_lockdown" || name == "debug_assistivetouch") {
        auto phones = MobileDevice::shared().phones();
        if (phones.empty())
            throw ToolError("no phone");
        const std::string udid = phones.front().udid;
        auto& device = MobileDevice::shared();
        if (name == "debug_lockdown") {
            std::string domain = string(arguments, "domain").value_or("com.apple.Accessibility");
            return text(device.queue().sync([&] { return device.debugDomain(udid, domain); }));
        }
        bool on = boolean(arguments, "on").value_or(true);
        auto start = std::chrono::steady_clock::now();
        bool ok = device.queue().sync([&] { return device.setAssistiveTouch(udid, on); });
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char out[120];
        std::snprintf(out, sizeof out, "AssistiveTouch -> %s (%s) in %.2f s", on ? "on" : "off", ok ? "ok" : "failed",
                      seconds);
        return text(out);
    }
    return std::nullopt;
}

} // namespace

json text(const std::string& s) {
    return json{{"content", json::array({json{{"type", "text"}, {"text", s}}})}};
}

json errorResult(const std::string& message) {
    json result = text(message);
    result["isError"] = true;
    return result;
}

json startRecording(const json& arguments) {
    auto& settings = AppSettings::shared();
    const bool overlay = ToolArguments::boolean(arguments, "overlay").value_or(settings.showActions());
    const bool audio = ToolArguments::boolean(arguments, "audio").value_or(settings.recordAudio());
    std::optional<double> maxSeconds = settings.recordingLimitSeconds();
    if (auto given = ToolArguments::number(arguments, "max_seconds"))
        maxSeconds = std::clamp(*given, 5.0, 14400.0);
    auto& recorder = ScreenRecorder::shared();
    const auto file = recorder.start(overlay, audio, maxSeconds);
    return text(std::string("Recording started") + (recorder.hasAudio() ? " with iPhone audio" : "") +
                " → " + file.string() + ". Call stop_recording when done.");
}

json stopRecording() {
    const auto result = ScreenRecorder::shared().stop();
    char figures[96];
    std::snprintf(figures, sizeof figures, "Saved %.1f s recording (%.1f MB): ", result.seconds,
                  static_cast<double>(result.bytes) / 1048576.0);
    std::string sentence = figures + result.url.string() + ".";
    if (result.stoppedBecause)
        sentence += " It stopped automatically because " + *result.stoppedBecause + ".";
    return text(sentence);
}

void setEnvironment(Environment environment) {
    std::lock_guard lock(environmentMutex());
    environmentValue() = std::move(environment);
}

std::function<json()>& simulatorProbe() {
    static std::function<json()> probe;
    return probe;
}

void setSimulatorProbe(std::function<json()> probe) {
    std::lock_guard lock(environmentMutex());
    simulatorProbe() = std::move(probe);
}

std::optional<PhoneInfo> selectedPhone() {
    Environment environment = currentEnvironment();
    if (environment.selectedPhone)
        return environment.selectedPhone();
    auto phones = MobileDevice::shared().phones();
    return phones.empty() ? std::nullopt : std::optional(phones.front());
}

json call(const std::string& name, const json& arguments) {
    try {
        if (transcription().count(name) && !AppSettings::shared().transcriptionEnabled())
            return errorResult("Transcription is turned off. The user can turn it on in Pokescope › Settings › "
                               "Transcription.");
        if (name == "status")
            return text(statusText());
        if (name == "screenshot")
            return screenshot(ToolArguments::boolean(arguments, "include_text").value_or(true));
        if (name == "calibrate")
            return calibrate();
        if (name == "batch")
            return batch(arguments);
        if (name == "scroll_to")
            return scrollTo(arguments);
        if (auto debug = debugTool(name, arguments))
            return *debug;
        if (name == "debug_simulator") {
            std::function<json()> probe;
            {
                std::lock_guard lock(environmentMutex());
                probe = simulatorProbe();
            }
            if (probe)
                return text(probe().dump());
        }
        if (name == "start_recording")
            return startRecording(arguments);
        if (name == "stop_recording")
            return stopRecording();
        if (name == "transcribe")
            return transcribe(arguments);
        if (name == "start_listening")
            return startListening(arguments);
        if (name == "get_transcript")
            return getTranscript(arguments);
        if (name == "stop_listening")
            return stopListening();
        return action(name, arguments);
    } catch (const std::exception& e) {
        return errorResult(e.what());
    }
}

std::shared_ptr<ToolProvider> provider() { return std::make_shared<Provider>(); }

} // namespace pokescope::Tools
