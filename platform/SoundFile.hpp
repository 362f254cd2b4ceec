// The sound of a movie or sound file, decoded for speech recognition, and live sound converted to the
// same format: 16 kHz mono signed 16-bit samples.
//
// Thread contract: a SoundFile and a SpeechResampler are each used by one thread at a time.
#pragma once

#include "platform/Capture.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pokescope {

// Sound for the recogniser: 16 kHz mono signed 16-bit samples and the time of the first one, in
// seconds (a file's presentation time, measured from the movie's time zero; for live sound the capture
// clock's time).
struct SpeechSound {
    double time = 0;
    std::vector<std::int16_t> samples;
    double duration() const;
};

class SoundFileError : public std::runtime_error {
public:
    enum class Stage {
        timedOut,    // the file's tracks were not read within the time allowed
        open,        // the file could not be opened or is not a movie or sound file
        reader,      // the first audio track cannot be decoded (no decoder for its format)
    };
    SoundFileError(Stage stage, const std::string& description)
        : std::runtime_error(description), stage(stage) {}
    Stage stage;
};

class SoundFile {
public:
    virtual ~SoundFile() = default;

    // Opens the file and reads its track list, giving up after `timeout`. Throws SoundFileError with
    // stage `timedOut` or `open` (its text is the library's description of what went wrong).
    static std::unique_ptr<SoundFile> open(const std::string& path, std::chrono::milliseconds timeout);

    virtual int audioTrackCount() const = 0;
    // Prepares decoding of the first audio track; throws SoundFileError with stage `reader`.
    virtual void startReading() = 0;
    // The next decoded buffer (a fraction of a second of sound), or none at the end of the track or
    // after a failure; check `failed` then.
    virtual std::optional<SpeechSound> read() = 0;
    virtual bool failed() const = 0;
    virtual std::string errorDescription() const = 0;
};

// Converts the capture's sound (any rate and channel count, float) to SpeechSound, keeping the
// converter's state between buffers of one stream so that no sample is lost at buffer edges.
class SpeechResampler {
public:
    SpeechResampler();
    ~SpeechResampler();
    SpeechResampler(const SpeechResampler&) = delete;
    SpeechResampler& operator=(const SpeechResampler&) = delete;

    // The buffer's sound at 16 kHz mono; its time is the input's time in seconds on the capture clock
    // (minus what the converter holds back). Empty samples while the converter still holds them back.
    SpeechSound convert(const AudioBuffer& buffer);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pokescope
