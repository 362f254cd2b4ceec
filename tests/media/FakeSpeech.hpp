// A recogniser for tests: each run of loud sound (10 ms frames above -30 dB, gaps under 50 ms joined) is
// a word "w<n>", timed where it lies; results come at once on the caller's thread, a partial one now and
// then and the final one (or the scripted error) at the end.
#pragma once

#include "platform/SpeechRecognition.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

namespace pokescope::test {

struct FakeSpeechScript {
    std::string failure;     // every task ends with this error when set
    bool finishOnEnd = true; // false: tasks never end by themselves (only by cancel)
};

class FakeSpeechTask : public SpeechRecognitionTask {
public:
    FakeSpeechTask(SpeechRecognizer::ResultHandler handler, FakeSpeechScript script)
        : handler_(std::move(handler)), script_(std::move(script)) {}

    void append(const std::int16_t* samples, std::size_t count) override {
        std::unique_lock lock(mutex_);
        if (done_ || ended_)
            return;
        audio_.insert(audio_.end(), samples, samples + count);
        if (++appends_ % 10 == 1) {
            auto partial = transcriptionLocked();
            lock.unlock();
            deliver(partial, false, std::nullopt);
        }
    }
    void endAudio() override {
        std::unique_lock lock(mutex_);
        if (done_ || ended_ || (ended_ = true, !script_.finishOnEnd))
            return;
        auto final = transcriptionLocked();
        lock.unlock();
        if (!script_.failure.empty())
            finish(std::nullopt, SpeechError{SpeechError::kDomain, SpeechError::failed, script_.failure});
        else if (final.segments.empty())
            finish(std::nullopt, SpeechError{SpeechError::kDomain, SpeechError::noSpeech, "No speech detected"});
        else
            finish(final, std::nullopt);
    }
    void cancel() override { finish(std::nullopt, SpeechError{SpeechError::kDomain, SpeechError::cancelled, "Cancelled"}); }

    void deliver(const std::optional<SpeechTranscription>& words, bool isFinal, const std::optional<SpeechError>& e) {
        handler_(words, isFinal, e);
    }
    std::size_t samplesHeard() const { return std::lock_guard(mutex_), audio_.size(); }
    bool audioEnded() const { return std::lock_guard(mutex_), ended_; }
    bool cancelledOrDone() const { return std::lock_guard(mutex_), done_; }

private:
    void finish(const std::optional<SpeechTranscription>& hypothesis, const std::optional<SpeechError>& error) {
        if (std::lock_guard lock(mutex_); std::exchange(done_, true))
            return;
        handler_(hypothesis, true, error);
    }

    SpeechTranscription transcriptionLocked() const {
        const std::size_t frame = 160; // 10 ms
        std::vector<std::pair<long, long>> runs; // first and last loud frame of each word
        for (std::size_t f = 0; f < audio_.size() / frame; ++f) {
            double sum = 0;
            for (std::size_t i = 0; i < frame; ++i)
                sum += std::pow(audio_[f * frame + i] / 32768.0, 2);
            if (10 * std::log10(sum / frame + 1e-12) <= -30)
                continue;
            if (runs.empty() || long(f) - runs.back().second > 5)
                runs.emplace_back(f, f);
            runs.back().second = long(f);
        }
        SpeechTranscription result;
        for (auto [from, to] : runs)
            result.segments.push_back(
                {"w" + std::to_string(result.segments.size() + 1), from * 0.01, (to - from + 1) * 0.01});
        return result;
    }

    SpeechRecognizer::ResultHandler handler_;
    FakeSpeechScript script_;
    mutable std::mutex mutex_;
    std::vector<std::int16_t> audio_;
    long appends_ = 0;
    bool ended_ = false, done_ = false;
};

class FakeSpeechRecognizer : public SpeechRecognizer {
public:
    explicit FakeSpeechRecognizer(std::string locale) : locale_(std::move(locale)) {}
    std::string localeIdentifier() const override { return locale_; }
    bool supportsOnDeviceRecognition() const override { return onDevice; }
    std::shared_ptr<SpeechRecognitionTask> start(ResultHandler handler) override {
        std::lock_guard lock(mutex_);
        return tasks_.emplace_back(std::make_shared<FakeSpeechTask>(std::move(handler), script_));
    }
    std::vector<std::shared_ptr<FakeSpeechTask>> tasks() const { return std::lock_guard(mutex_), tasks_; }
    void setScript(FakeSpeechScript script) { std::lock_guard lock(mutex_); script_ = std::move(script); }
    std::atomic<bool> onDevice{true};

private:
    const std::string locale_;
    mutable std::mutex mutex_;
    FakeSpeechScript script_;
    std::vector<std::shared_ptr<FakeSpeechTask>> tasks_;
};

class FakeSpeechBackend : public SpeechBackend {
public:
    Authorization authorizationStatus() const override { return status.load(); }
    // Answers at once when `answer` is set, else waits for answerAll.
    void requestAuthorization(std::function<void(Authorization)> done) override {
        if (answer)
            return ++requests, done(*answer);
        std::unique_lock lock(mutex_);
        pending_.push_back(std::move(done));
        ++requests; // only once it waits, so answerAll after the count finds it
    }
    void answerAll(Authorization value) {
        std::unique_lock lock(mutex_);
        auto waiting = std::exchange(pending_, {});
        lock.unlock();
        for (auto& done : waiting)
            done(value);
    }
    std::vector<std::string> supportedLocales() const override { return locales; }
    std::shared_ptr<SpeechRecognizer> recognizer(const std::string& locale) override {
        auto key = [](unsigned char c) { return c == '_' ? '-' : std::tolower(c); };
        for (const auto& known : locales)
            if (std::ranges::equal(known, locale, [&](char a, char b) { return key(a) == key(b); }))
                return known == "en-US" ? english : std::make_shared<FakeSpeechRecognizer>(known);
        return nullptr;
    }
    std::string currentLocale() const override { return current; }

    std::atomic<Authorization> status{Authorization::authorized};
    std::optional<Authorization> answer = Authorization::authorized;
    std::atomic<int> requests{0};
    std::vector<std::string> locales{"en-US"};
    std::string current = "en_US";
    std::shared_ptr<FakeSpeechRecognizer> english = std::make_shared<FakeSpeechRecognizer>("en-US");

private:
    std::mutex mutex_;
    std::vector<std::function<void(Authorization)>> pending_;
};

} // namespace pokescope::test
