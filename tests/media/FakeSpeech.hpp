// A recogniser for tests: every run of loud sound (10 ms frames above -30 dB, gaps under 50 ms joined)
// is one word, named from a script ("w1", "w2", … unless given), timed where it lies in the task's audio.
// Results are given at once on the caller's thread: a partial hypothesis after every append, the final
// one (or the scripted error) at the end of the audio. Tests may also drive a task's handler directly.
#pragma once

#include "platform/SpeechRecognition.hpp"

#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

namespace pokescope::test {

struct FakeSpeechScript {
    std::vector<std::string> words;  // names of the words in order; "w<n>" beyond the list
    std::string failure;             // every task ends with this error when set
    bool noTimings = false;          // segments come without durations
    bool emptyIsNoSpeech = true;     // a task that heard no words ends with the no-speech error
    bool finishOnEnd = true;         // false: tasks never end by themselves (only by cancel)
};

class FakeSpeechTask : public SpeechRecognitionTask {
public:
    FakeSpeechTask(SpeechRecognizer::ResultHandler handler, const FakeSpeechScript& script)
        : handler_(std::move(handler)), script_(script) {}

    void append(const std::int16_t* samples, std::size_t count) override {
        SpeechTranscription partial;
        {
            std::lock_guard lock(mutex_);
            if (done_ || ended_)
                return;
            audio_.insert(audio_.end(), samples, samples + count);
            if (++appends_ % 10 != 1)
                return; // a partial hypothesis now and then, as a recogniser gives them
            partial = transcriptionLocked();
        }
        deliver(partial, false, std::nullopt);
    }
    void endAudio() override {
        SpeechTranscription final;
        {
            std::lock_guard lock(mutex_);
            if (done_ || ended_)
                return;
            ended_ = true;
            if (!script_.finishOnEnd)
                return;
            final = transcriptionLocked();
        }
        if (!script_.failure.empty())
            finish(std::nullopt, SpeechError{SpeechError::kDomain, SpeechError::failed, script_.failure});
        else if (final.segments.empty() && script_.emptyIsNoSpeech)
            finish(std::nullopt, SpeechError{SpeechError::kDomain, SpeechError::noSpeech, "No speech detected"});
        else
            finish(final, std::nullopt);
    }
    void cancel() override {
        finish(std::nullopt, SpeechError{SpeechError::kDomain, SpeechError::cancelled, "Cancelled"});
    }

    // For tests that script results by hand.
    void deliver(const std::optional<SpeechTranscription>& hypothesis, bool isFinal,
                 const std::optional<SpeechError>& error) {
        handler_(hypothesis, isFinal, error);
    }
    std::size_t samplesHeard() const {
        std::lock_guard lock(mutex_);
        return audio_.size();
    }
    bool audioEnded() const {
        std::lock_guard lock(mutex_);
        return ended_;
    }
    bool cancelledOrDone() const {
        std::lock_guard lock(mutex_);
        return done_;
    }

private:
    void finish(const std::optional<SpeechTranscription>& hypothesis, const std::optional<SpeechError>& error) {
        {
            std::lock_guard lock(mutex_);
            if (done_)
                return;
            done_ = true;
        }
        handler_(hypothesis, true, error);
    }

    SpeechTranscription transcriptionLocked() const {
        SpeechTranscription result;
        const std::size_t frame = 160; // 10 ms
        long runStart = -1, lastLoud = -10;
        auto close = [&](long from, long to) {
            SpeechSegment segment;
            const std::size_t index = result.segments.size();
            segment.substring = index < script_.words.size() ? script_.words[index] : "w" + std::to_string(index + 1);
            segment.timestamp = script_.noTimings ? 0 : from * 0.01;
            segment.duration = script_.noTimings ? 0 : (to - from + 1) * 0.01;
            result.segments.push_back(segment);
        };
        const long frames = static_cast<long>(audio_.size() / frame);
        for (long f = 0; f < frames; ++f) {
            double sum = 0;
            for (std::size_t i = 0; i < frame; ++i) {
                const double v = audio_[static_cast<std::size_t>(f) * frame + i] / 32768.0;
                sum += v * v;
            }
            const bool loud = 10 * std::log10(sum / frame + 1e-12) > -30;
            if (!loud)
                continue;
            if (runStart >= 0 && f - lastLoud > 5) {
                close(runStart, lastLoud);
                runStart = -1;
            }
            if (runStart < 0)
                runStart = f;
            lastLoud = f;
        }
        if (runStart >= 0)
            close(runStart, lastLoud);
        return result;
    }

    SpeechRecognizer::ResultHandler handler_;
    FakeSpeechScript script_;
    mutable std::mutex mutex_;
    std::vector<std::int16_t> audio_;
    long appends_ = 0;
    bool ended_ = false;
    bool done_ = false;
};

class FakeSpeechRecognizer : public SpeechRecognizer {
public:
    explicit FakeSpeechRecognizer(std::string locale) : locale_(std::move(locale)) {}
    std::string localeIdentifier() const override { return locale_; }
    bool supportsOnDeviceRecognition() const override { return onDevice; }
    std::shared_ptr<SpeechRecognitionTask> start(ResultHandler handler) override {
        auto task = std::make_shared<FakeSpeechTask>(std::move(handler), script());
        std::lock_guard lock(mutex_);
        tasks_.push_back(task);
        return task;
    }
    std::vector<std::shared_ptr<FakeSpeechTask>> tasks() const {
        std::lock_guard lock(mutex_);
        return tasks_;
    }
    FakeSpeechScript script() const {
        std::lock_guard lock(mutex_);
        return script_;
    }
    void setScript(FakeSpeechScript script) {
        std::lock_guard lock(mutex_);
        script_ = std::move(script);
    }
    std::atomic<bool> onDevice{true};

private:
    std::string locale_;
    mutable std::mutex mutex_;
    FakeSpeechScript script_;
    std::vector<std::shared_ptr<FakeSpeechTask>> tasks_;
};

class FakeSpeechBackend : public SpeechBackend {
public:
    FakeSpeechBackend() : english(std::make_shared<FakeSpeechRecognizer>("en-US")) {}

    Authorization authorizationStatus() const override { return status.load(); }
    void requestAuthorization(std::function<void(Authorization)> done) override {
        ++requests;
        if (answer)
            done(*answer);
        else {
            std::lock_guard lock(mutex_);
            pending_.push_back(std::move(done));
        }
    }
    // Answers every request still waiting.
    void answerAll(Authorization value) {
        std::vector<std::function<void(Authorization)>> waiting;
        {
            std::lock_guard lock(mutex_);
            waiting.swap(pending_);
        }
        for (auto& done : waiting)
            done(value);
    }
    std::vector<std::string> supportedLocales() const override { return locales; }
    std::shared_ptr<SpeechRecognizer> recognizer(const std::string& locale) override {
        std::string key = locale;
        for (auto& c : key)
            c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const auto& known : locales) {
            std::string lowered = known;
            for (auto& c : lowered)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (lowered == key)
                return known == "en-US" ? english : std::make_shared<FakeSpeechRecognizer>(known);
        }
        return nullptr;
    }
    std::string currentLocale() const override { return current; }

    std::atomic<Authorization> status{Authorization::authorized};
    std::optional<Authorization> answer = Authorization::authorized;
    std::atomic<int> requests{0};
    std::vector<std::string> locales{"en-US"};
    std::string current = "en_US";
    std::shared_ptr<FakeSpeechRecognizer> english;

private:
    std::mutex mutex_;
    std::vector<std::function<void(Authorization)>> pending_;
};

} // namespace pokescope::test
