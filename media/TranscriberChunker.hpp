// Cutting a stream of sound into stretches and recognising each stretch in one pass.
//
// A stretch begins at the first loud buffer (with up to 0.4 s of the quiet before it) and ends 0.8 s
// after the last loud buffer, after 50 s, or when the recogniser finishes by itself. Each stretch is one
// recognition `Pass`; a pass turns the recogniser's hypotheses into timed `TranscriptLine`s. Files are
// recognised stretch by stretch (each pass waited for before more sound is read); live sound is not
// waited for.
//
// Threads: `feed` on one thread at a time (the file reader, or the capture's audio queue); `close`,
// `takeCurrent`, `closeFeeding` and `lines` from any thread. Recognition results arrive on the
// recogniser's threads. Each pass guards its state with its own lock and the chunker with its own; the
// chunker never holds its lock while it waits for a pass or calls the recogniser.
#pragma once

#include "platform/Dispatch.hpp"
#include "platform/SoundFile.hpp"
#include "platform/SpeechRecognition.hpp"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace pokescope {

// One line of a transcript: seconds from the beginning of the audio, and its words.
struct TranscriptLine {
    double start = 0;
    double end = 0;
    std::string text;
    bool operator==(const TranscriptLine&) const = default;
};

namespace transcription {

inline constexpr float kLoudnessThreshold = -45;  // dB of mean-square power
inline constexpr double kQuietGap = 0.8;          // seconds of quiet that end a stretch
inline constexpr double kLongestStretch = 50;     // seconds
inline constexpr double kPreroll = 0.4;           // seconds of quiet kept before a stretch
inline constexpr double kFilePassWait = 60;       // seconds a file pass may take to finish
inline constexpr double kRealTiming = 0.05;       // a segment longer than this carries real timing
inline constexpr double kWordGap = 1.0;           // a longer gap between words breaks the line
inline constexpr double kLongestLine = 12.0;      // seconds
inline constexpr std::size_t kMostWords = 30;     // words in a line

// Loudness in dB: 10·log10(mean square + 1e-12) over every sample (integers scaled by 1/32768); none
// when there are no samples.
std::optional<float> level(const SpeechSound& sound);
std::optional<float> level(const AudioBuffer& buffer);

// Whether a recogniser's error only means that the audio held no speech.
bool meansNoSpeech(const SpeechError& error);

// Turns hypotheses into lines: (transcription, start, end) items, each flushed at its end. `offset` is
// where the pass's audio begins on the time line; segment times are relative to it.
struct HeardItem {
    SpeechTranscription transcription;
    double start = 0;
    double end = 0;
};
std::vector<TranscriptLine> linesFrom(const std::vector<HeardItem>& items, double offset);

// One recognition request over one stretch of sound.
class Pass : public std::enable_shared_from_this<Pass> {
public:
    // Starts a recognition task whose results update the pass (the handler holds the pass weakly).
    static std::shared_ptr<Pass> start(SpeechRecognizer& recognizer, double offset);
    ~Pass();
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;

    const double offset;

    // Raises `heardUntil` to `time` and hands the sound to the recogniser.
    void append(double time, const SpeechSound& sound);
    // No more sound for this pass.
    void endAudio();
    // Waits for the recognition to end; false when it did not within `limit`.
    bool waitEnded(Duration limit);
    void cancel();
    bool ended() const;
    std::optional<SpeechError> failure() const;
    std::vector<TranscriptLine> lines() const;

private:
    explicit Pass(double offset);
    void received(const std::optional<SpeechTranscription>& hypothesis, bool isFinal,
                  const std::optional<SpeechError>& error);

    std::shared_ptr<SpeechRecognitionTask> task_;
    mutable std::mutex lock_;
    std::condition_variable endedSignal_;
    std::vector<HeardItem> earlier_;
    std::optional<SpeechTranscription> best_;
    double bestStart_;
    double heardUntil_;
    std::optional<SpeechError> failure_;
    bool ended_ = false;
};

// Cuts sound buffers into passes on one time line.
class Chunker {
public:
    // `origin`: the time that is zero on the time line (a movie's time zero); none makes the first
    // buffer's time the zero.
    Chunker(std::shared_ptr<SpeechRecognizer> recognizer, bool waitForEachPass,
            std::optional<double> origin = std::nullopt);

    void feed(const SpeechSound& sound);
    // Ends the pass's audio; for files, waits for it (60 s at most, then cancels it).
    void close(const std::shared_ptr<Pass>& pass);
    // The pass being fed, taken away so that nothing more is fed to it.
    std::shared_ptr<Pass> takeCurrent();
    // Later buffers are ignored (live listening has stopped).
    void closeFeeding();

    std::vector<std::shared_ptr<Pass>> passes() const;
    std::vector<TranscriptLine> lines() const;

private:
    std::shared_ptr<SpeechRecognizer> recognizer_;
    const bool waitForEachPass_;
    mutable std::mutex lock_;
    std::vector<std::shared_ptr<Pass>> passes_;
    std::shared_ptr<Pass> current_;
    std::optional<double> firstTime_;
    double lastSound_ = 0;
    struct Held {
        double time;
        SpeechSound sound;
    };
    std::deque<Held> preroll_;
    bool closed_ = false;
};

} // namespace transcription
} // namespace pokescope
