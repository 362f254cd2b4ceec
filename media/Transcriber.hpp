// Offline speech-to-text of the phone's sound: recordings turned into timed lines (and SubRip subtitles),
// and live listening to the phone's sound while an agent keeps acting.
//
// Live listening runs at most one session at a time; the last session that stopped stays readable. A
// session stops on request, when its time limit runs out, when the phone's screen goes away, or when
// transcription is turned off in the settings.
//
// Threads: every member may be called from any thread. `transcribe` blocks its caller for the whole file.
// The live session is fed on the capture's audio queue; recognition results arrive on the recogniser's
// threads; time limits run on a background queue; the screen-lost notification's stop runs on the
// global pool (never on the main thread: it waits for the last pass). `lock_` guards the session slots
// and is never held while calling capture, a chunker or a pass, or while waiting.
#pragma once

#include "core/AppSettings.hpp"
#include "capture/ScreenCapture.hpp"
#include "media/TranscriberChunker.hpp"
#include "platform/Dispatch.hpp"
#include "platform/SpeechRecognition.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pokescope {

// What a transcriber is built with; tests replace the recogniser, the clocks and the waits.
struct TranscriberOptions {
    std::shared_ptr<SpeechBackend> backend;      // the machine's recogniser unless given
    Clock* clock = nullptr;                      // times sessions and their limits; the system clock unless given
    std::function<void(const std::string&)> log; // the shared log unless given
    Duration permissionWait = std::chrono::seconds(120);
    Duration openWait = std::chrono::seconds(20); // reading a file's tracks
    Duration lastPassWait = std::chrono::seconds(10); // for the last live pass at a stop
};

class Transcriber {
public:
    using Line = TranscriptLine;
    using Options = TranscriberOptions;

    enum class ErrorCase { permission, language, noAudio, failed, alreadyListening };
    struct TranscribeError : std::runtime_error {
        TranscribeError(ErrorCase which, const std::string& message);
        ErrorCase which;
    };

    struct FileResult {
        std::vector<Line> lines;
        std::string language; // the recogniser's locale identifier
    };
    struct Stopped {
        std::vector<Line> lines;
        double seconds = 0;
        std::optional<std::string> stoppedBecause;
    };
    struct Transcript {
        std::vector<Line> lines;
        double seconds = 0;
        bool listening = false;
        std::optional<std::string> stoppedBecause;
    };
    struct Listening {
        std::string language;
        double seconds = 0;
    };

    static constexpr const char* kListenerKey = "transcriber";
    static constexpr const char* kTimeLimitReason = "the time limit was reached";
    static constexpr const char* kDisconnectedReason = "the iPhone was disconnected";

    Transcriber(ScreenCapture& capture, AppSettings& settings, Options options = {});
    ~Transcriber();
    Transcriber(const Transcriber&) = delete;
    Transcriber& operator=(const Transcriber&) = delete;

    // Makes sure speech recognition is allowed (asking and waiting for the answer when undecided).
    void ensureAuthorized();
    // The locales with a model on this machine, sorted.
    std::vector<std::string> offlineLanguages();
    // The recogniser for `language`, else the setting's language, else this computer's locale or en-US.
    std::shared_ptr<SpeechRecognizer> recognizer(const std::optional<std::string>& language);

    // The speech of a movie's first audio track as timed lines, measured from the movie's time zero.
    FileResult transcribe(const std::filesystem::path& file, const std::optional<std::string>& language);

    // Starts live listening; returns the recogniser's locale identifier.
    std::string startListening(const std::optional<std::string>& language, double maxSeconds);
    // Stops live listening; none when nothing was listening.
    std::optional<Stopped> stopListening(const std::optional<std::string>& reason);
    // The screen went away: live listening stops with `reason`, soon, on the transcriber's own queue.
    void screenLost(const std::string& reason);
    // The running session's transcript so far, else the last session's; none before any session.
    std::optional<Transcript> transcript();
    // The running session's language and length; none while not listening.
    std::optional<Listening> listening() const;

    // SubRip subtitles: numbered blocks "HH:MM:SS,mmm --> HH:MM:SS,mmm", each cue at least 0.5 s long.
    static std::string srt(const std::vector<Line>& lines);
    // "[MM:SS] text" rows (hours when needed), or "(no speech detected)".
    static std::string text(const std::vector<Line>& lines);
    // The video's path with its extension (only the file name's) replaced by "srt".
    static std::filesystem::path subtitlePath(const std::filesystem::path& video);

private:
    struct Session;
    std::optional<Stopped> stop(const std::optional<std::string>& reason, const Session* only);
    double now() const;
    void log(const std::string& line) const;

    ScreenCapture& capture_;
    AppSettings& settings_;
    Options options_;
    std::shared_ptr<SpeechBackend> backend_;

    mutable std::mutex lock_;
    std::shared_ptr<Session> live_;
    std::shared_ptr<Session> previous_;
    WorkItemPtr autoStop_;

    // Taken around registering and removing the audio listener, so that a late start never replaces
    // the listener of a newer session and a stop removes only its own session's listener.
    std::mutex audioLock_;
    const Session* listenerOwner_ = nullptr;

    // Time limits and screen-lost stops; last, so that it is the first to go.
    DispatchQueue queue_{"pokescope.transcriber"};
};

} // namespace pokescope
