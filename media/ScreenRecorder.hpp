// The screen recorder: the phone's screen, as screen capture delivers it, into an MPEG-4 movie, with the
// phone's sound when asked and the agent's actions drawn on each frame. It runs a frame clock of its own
// (30 ticks a second): every tick takes the latest captured frame, fits it whole into the output size,
// draws the live marks and appends it with its time on the capture clock, so a still screen still gives a
// steady 30 frames a second. A recording ends when it is stopped, when its time limit runs out, when the
// phone's screen goes away or when writing fails; the result of an automatic stop is kept for the next
// `stop`.
//
// States: idle → starting → recording → finishing → idle. Only one start can pass the "already
// recording" check: the first reserves the recorder under its lock and releases the reservation if it
// fails. A stop or start that arrives while a recording is finishing waits for the finish (a stop then
// returns that recording's result), so no result is lost and none is handed to a later recording.
//
// Threads: `start`, `stop` and `mark` from any thread (tool queues, the main queue, background queues);
// ticks on "pokescope.recorder"; sound on the capture's audio queue; `onChange` on the main queue. The
// lock guards every field that changes; the expensive part of a tick (fitting the frame, drawing marks)
// runs outside it, on the recorder's queue only.
#pragma once

#include "core/AppSettings.hpp"
#include "capture/ScreenCapture.hpp"
#include "input/InputEngine.hpp"
#include "media/ActionOverlay.hpp"
#include "platform/Dispatch.hpp"
#include "platform/GuardedCallback.hpp"
#include "platform/MovieWriter.hpp"

#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pokescope {

// What a recorder is built with; tests replace the writer, the folder and the clocks.
struct ScreenRecorderOptions {
    using WriterFactory = std::function<std::unique_ptr<MovieWriter>(const MovieSettings&, std::string& error)>;
    WriterFactory writerFactory;                   // the FFmpeg movie writer unless given
    std::function<std::filesystem::path()> folder; // the recordings folder unless given
    std::function<std::time_t()> wallClock;        // names the files; the system's time unless given
    Clock* clock = nullptr;                        // times the time limit; the system clock unless given
    std::function<void(const std::string&)> log;   // the shared log unless given
};

class ScreenRecorder {
public:
    using Mark = ActionMark;

    struct Result {
        std::filesystem::path url;
        double seconds = 0;     // wall-clock length
        std::int64_t bytes = 0; // the file's size
        std::optional<std::string> stoppedBecause; // why it stopped by itself; none for a requested stop
        bool operator==(const Result&) const = default;
    };

    enum class ErrorCase { writer, alreadyRecording, notRecording, noScreen };
    struct RecorderError : std::runtime_error {
        RecorderError(ErrorCase which, const std::string& message = {});
        ErrorCase which;
    };

    static constexpr const char* kTimeLimitReason = "the time limit was reached";
    static constexpr const char* kScreenGoneReason = "the iPhone's screen went away";
    static constexpr double kFramesPerSecond = 30;

    using Options = ScreenRecorderOptions;

    ScreenRecorder(ScreenCapture& capture, AppSettings& settings, DispatchQueue& mainQueue, Options options = {});
    ~ScreenRecorder();
    ScreenRecorder(const ScreenRecorder&) = delete;
    ScreenRecorder& operator=(const ScreenRecorder&) = delete;

    // The recordings folder (created on every read; a failure to create it is ignored).
    static std::filesystem::path folder();

    // Starts a recording; returns its file. `maxSeconds` absent: no time limit.
    std::filesystem::path start(bool overlay, bool audio, std::optional<double> maxSeconds);
    // Stops the running recording, or hands over the result of one that stopped by itself.
    Result stop();
    // Posts a mark to be drawn; ignored unless a recording runs with the overlay on.
    void mark(const Mark& mark);
    // The screen went away: a running recording finishes by itself, with `reason`.
    void screenLost(const std::string& reason);

    bool recording() const;
    bool hasAudio() const;
    // The running recording's file; none while idle.
    std::optional<std::filesystem::path> currentFile() const;
    std::optional<std::chrono::system_clock::time_point> startedAt() const;
    // Called with (true, none) after a start and (false, result) after every finish, on the main queue.
    void setOnChange(std::function<void(bool recording, std::optional<Result> result)> listener);

    // How the running (or last) recording's frame clock kept time.
    struct TickStats {
        long ticks = 0;    // ticks that ran
        long appended = 0; // frames the writer took
        long busy = 0;     // ticks that found the writer still busy
        long late = 0;     // ticks skipped because the clock fell a whole tick behind
    };
    TickStats tickStats() const;

    // The output size for a captured frame: each side times the quality factor, truncated, made even.
    static std::pair<int, int> outputSize(int width, int height, AppSettings::Quality quality);
    // "Pokescope 2026-12-05 at 15.23.29.mp4" for that local time.
    static std::string fileName(std::time_t when);
    // Places `frame` whole, centred, in `output` (black bars where the shapes differ); the scale and
    // offset that map a frame point into the output. An output within two pixels of the frame's size
    // takes the frame unscaled, centred (cut by those pixels).
    static void fit(const Image& frame, Image& output, double& scale, PointD& offset);

private:
    enum class State { idle, starting, recording, finishing };

    std::filesystem::path reserveFile(std::string& error);
    void scheduleTick(unsigned long generation, long index);
    void tick(unsigned long generation, long index);
    void appendAudio(const AudioBufferRef& sound);
    Result finish(std::optional<std::string> reason);
    void finishInBackground(std::string reason);
    void log(const std::string& line) const;

    ScreenCapture& capture_;
    AppSettings& settings_;
    DispatchQueue& main_;
    Options options_;
    mutable std::mutex lock_;
    std::condition_variable settled_; // the state left `finishing` or `starting`
    State state_ = State::idle;
    std::unique_ptr<MovieWriter> writer_;
    unsigned long generation_ = 0; // ticks of an older recording stop
    WorkItemPtr autoStop_;
    std::chrono::system_clock::time_point startedAt_{};
    TimePoint startTime_{}; // capture-clock time at start
    std::int64_t lastTime_ = -1;
    int width_ = 0, height_ = 0;
    bool overlay_ = true;
    bool hasAudio_ = false;
    std::vector<TimedMark> marks_;
    std::optional<std::filesystem::path> url_;
    std::optional<Result> autoStopped_;
    int waitingStops_ = 0; // stops waiting for a finish that is under way
    // Closures on the main queue hold the listener, not the recorder; a recorder that goes away withdraws it.
    using ChangeListener = GuardedCallback<bool, std::optional<Result>>;
    std::shared_ptr<ChangeListener> onChange_;
    void tellListener(bool recording, std::optional<Result> result);
    TickStats stats_;

    Image output_; // the composed frame; touched on queue_ only

    // Last, so that they are the first to go: no tick or automatic stop runs once the rest is torn down.
    DispatchQueue stopQueue_{"pokescope.recorder.stop"}; // automatic stops wait for the writer here
    DispatchQueue queue_{"pokescope.recorder"};
};

} // namespace pokescope
