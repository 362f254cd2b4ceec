// The transcription tools: a recording to timed text and subtitles, and live listening.
#include "agent/ToolSet.hpp"
#include "core/Log.hpp"
#include "media/ScreenRecorder.hpp"
#include "media/Transcriber.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/Paths.hpp"

#include <pwd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace pokescope {

using Tools::errorResult;
using Tools::text;

using nlohmann::json;

namespace {

// "~" and "~/x" are the user's home; "~name/x" is that user's.
std::filesystem::path expandTilde(const std::string& path) {
    if (path.empty() || path[0] != '~')
        return path;
    const auto slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string rest = slash == std::string::npos ? std::string() : path.substr(slash + 1);
    std::filesystem::path home;
    if (user.empty()) {
        home = Paths::home();
    } else {
        const passwd* entry = getpwnam(user.c_str());
        if (!entry || !entry->pw_dir)
            return path;
        home = entry->pw_dir;
    }
    return rest.empty() ? home : home / rest;
}

// The newest ".mp4" in the recordings folder, by modification time.
std::optional<std::filesystem::path> newestRecording() {
    std::optional<std::filesystem::path> newest;
    std::filesystem::file_time_type newestTime{};
    std::error_code error;
    for (std::filesystem::directory_iterator it(ScreenRecorder::folder(), error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().extension() != ".mp4" || !it->is_regular_file(error))
            continue;
        const auto time = it->last_write_time(error);
        if (error)
            continue;
        if (!newest || time > newestTime) {
            newest = it->path();
            newestTime = time;
        }
    }
    return newest;
}

std::optional<std::string> stringArgument(const json& arguments, const char* key) {
    return ToolArguments::string(arguments, key);
}

} // namespace

json ToolSet::transcribe(const json& arguments) {
    std::filesystem::path file;
    if (auto given = stringArgument(arguments, "path"); given && !given->empty()) {
        file = expandTilde(*given);
    } else if (auto newest = newestRecording()) {
        file = *newest;
    } else {
        return errorResult("No recordings yet. Record one with start_recording, or pass a file path.");
    }
    if (auto current = services_.recorder.currentFile()) {
        std::error_code error;
        if (*current == file || std::filesystem::equivalent(*current, file, error))
            return errorResult("That recording is still running. Call stop_recording first.");
    }
    const auto began = std::chrono::steady_clock::now();
    auto result = services_.transcriber.transcribe(file, stringArgument(arguments, "language"));
    const auto subtitles = Transcriber::subtitlePath(file);
    std::string failure;
    const bool saved = writeFileAtomically(subtitles, Transcriber::srt(result.lines), failure);
    if (!saved)
        Log::shared().add("transcriber: couldn't save " + subtitles.string() + ": " + failure);
    char figures[64];
    std::snprintf(figures, sizeof figures, " -> %d lines in %.1f s", static_cast<int>(result.lines.size()),
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    Log::shared().add("transcriber: " + file.filename().string() + figures);
    return text("Transcript of " + file.filename().string() + " (" + result.language + ")." +
                (saved ? " Subtitles saved to " + subtitles.string() + "." : std::string()) + "\n" +
                Transcriber::text(result.lines));
}

json ToolSet::startListening(const json& arguments) {
    const double maxSeconds = std::clamp(ToolArguments::number(arguments, "max_seconds").value_or(1800.0), 10.0,
                                         14400.0);
    const auto language = services_.transcriber.startListening(stringArgument(arguments, "language"), maxSeconds);
    return text("Listening to the iPhone's sound (" + language +
                "). Call get_transcript to read it as it comes in, stop_listening to finish.");
}

json ToolSet::getTranscript(const json& arguments) {
    auto transcript = services_.transcriber.transcript();
    if (!transcript)
        return errorResult("Nothing to read: call start_listening first.");
    const double since = ToolArguments::number(arguments, "since_seconds").value_or(0.0);
    char figure[64];
    std::snprintf(figure, sizeof figure, "%.0f", transcript->seconds);
    const std::string header =
        transcript->listening
            ? "Listening for " + std::string(figure) + " s so far."
            : "Stopped after " + std::string(figure) + " s" +
                  (transcript->stoppedBecause ? " because " + *transcript->stoppedBecause : std::string()) + ".";
    std::vector<Transcriber::Line> lines;
    std::copy_if(transcript->lines.begin(), transcript->lines.end(), std::back_inserter(lines),
                 [since](const Transcriber::Line& line) { return line.start >= since; });
    return text(header + "\n" + Transcriber::text(lines));
}

json ToolSet::stopListening() {
    auto& transcriber = services_.transcriber;
    if (auto stopped = transcriber.stopListening(std::nullopt)) {
        char header[64];
        std::snprintf(header, sizeof header, "Listened for %.0f s.\n", stopped->seconds);
        return text(header + Transcriber::text(stopped->lines));
    }
    if (auto earlier = transcriber.transcript())
        return text("Already stopped" + (earlier->stoppedBecause ? " (" + *earlier->stoppedBecause + ")" : std::string()) +
                    ". Transcript:\n" + Transcriber::text(earlier->lines));
    return errorResult("Not listening. Call start_listening first.");
}

} // namespace pokescope
