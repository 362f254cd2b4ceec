// Offline speech recognition: sound goes in as 16 kHz mono 16-bit buffers, hypotheses made of timed
// segments come out, with a final result or an error at the end. Nothing leaves the machine.
//
// Thread contract: a recogniser may start any number of tasks from any thread. A task's `append`,
// `endAudio` and `cancel` may be called from any thread (one caller at a time per task). The result
// handler runs on the recogniser's own threads, never twice at once for one task, and is not entered
// again after it was given a final result or an error, nor after `cancel` has returned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pokescope {

// The one format every recogniser takes.
inline constexpr int kSpeechSampleRate = 16000;

// One recognised word: its text as the recogniser spells it, and where it lies in the request's audio
// (seconds from the first sample appended to the task).
struct SpeechSegment {
    std::string substring;
    double timestamp = 0;
    double duration = 0;
};

// A hypothesis of the words heard so far in one utterance. A recogniser that starts a new utterance
// inside one task raises `utterance`; the segments of a hypothesis belong to its utterance only.
struct SpeechTranscription {
    std::vector<SpeechSegment> segments;
    long utterance = 0;
};

struct SpeechError {
    static constexpr const char* kDomain = "pokescope.speech";
    enum Code : int {
        noSpeech = 1,  // the audio held no words; not a failure
        cancelled = 2, // the task was cancelled
        failed = 3,    // the recogniser could not run (model missing, decoder error)
    };
    std::string domain = kDomain;
    int code = failed;
    std::string description;
};

class SpeechRecognitionTask {
public:
    virtual ~SpeechRecognitionTask() = default;
    // Adds sound to the request's audio: 16 kHz mono signed 16-bit samples. Ignored after `endAudio`.
    virtual void append(const std::int16_t* samples, std::size_t count) = 0;
    // No more sound will come; the final result (or an error) follows once what was appended is done.
    virtual void endAudio() = 0;
    // Gives up: the handler gets a `cancelled` error unless the task had ended already.
    virtual void cancel() = 0;
};

class SpeechRecognizer {
public:
    // (hypothesis, isFinal, error): partial hypotheses while sound comes in, then either a final
    // hypothesis or an error. Exactly one of `hypothesis` and `error` is set.
    using ResultHandler = std::function<void(const std::optional<SpeechTranscription>& hypothesis, bool isFinal,
                                             const std::optional<SpeechError>& error)>;

    virtual ~SpeechRecognizer() = default;
    // The locale this recogniser listens for, as "en-US".
    virtual std::string localeIdentifier() const = 0;
    // Recognition runs on this machine (always so for our recognisers; kept for the choice rules).
    virtual bool supportsOnDeviceRecognition() const = 0;
    // Starts a recognition task that reports through `handler` until it ends.
    virtual std::shared_ptr<SpeechRecognitionTask> start(ResultHandler handler) = 0;
};

class SpeechBackend {
public:
    enum class Authorization { notDetermined, denied, restricted, authorized };

    virtual ~SpeechBackend() = default;
    virtual Authorization authorizationStatus() const = 0;
    // Asks the user; `done` runs on any thread with the answer.
    virtual void requestAuthorization(std::function<void(Authorization)> done) = 0;
    // Every locale a recogniser can be made for ("en-US"), in no particular order.
    virtual std::vector<std::string> supportedLocales() const = 0;
    // The recogniser for `locale` ("en-US" or "en_us": letter case and separator do not matter), or
    // none when there is no model for it.
    virtual std::shared_ptr<SpeechRecognizer> recognizer(const std::string& locale) = 0;
    // The user's own locale identifier, as "en_US" (from the environment's locale settings).
    virtual std::string currentLocale() const = 0;

    // The machine's recogniser (PocketSphinx with the installed models), created on first use.
    static std::shared_ptr<SpeechBackend> system();
};

} // namespace pokescope
