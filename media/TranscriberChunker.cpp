#include "media/TranscriberChunker.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace pokescope::transcription {

namespace {

std::optional<float> decibels(double sumOfSquares, std::size_t count) {
    if (count == 0)
        return std::nullopt;
    return static_cast<float>(10.0 * std::log10(sumOfSquares / static_cast<double>(count) + 1e-12));
}

std::string trimmed(const std::string& text) {
    auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    auto begin = std::find_if_not(text.begin(), text.end(), isSpace);
    auto end = std::find_if_not(text.rbegin(), text.rend(), isSpace).base();
    return begin < end ? std::string(begin, end) : std::string();
}

bool onlyPunctuation(const std::string& word) {
    return !word.empty() &&
           std::all_of(word.begin(), word.end(), [](unsigned char c) { return c < 0x80 && std::ispunct(c); });
}

bool endsSentence(const std::string& word) {
    return !word.empty() && (word.back() == '.' || word.back() == '?' || word.back() == '!');
}

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

} // namespace

std::optional<float> level(const SpeechSound& sound) {
    double sum = 0;
    for (auto sample : sound.samples) {
        const double value = sample / 32768.0;
        sum += value * value;
    }
    return decibels(sum, sound.samples.size());
}

std::optional<float> level(const AudioBuffer& buffer) {
    double sum = 0;
    for (auto sample : buffer.samples)
        sum += static_cast<double>(sample) * sample;
    return decibels(sum, buffer.samples.size());
}

bool meansNoSpeech(const SpeechError& error) {
    if (error.domain == SpeechError::kDomain && error.code == SpeechError::noSpeech)
        return true;
    return lowered(error.description).find("no speech") != std::string::npos;
}

std::vector<TranscriptLine> linesFrom(const std::vector<HeardItem>& items, double offset) {
    std::vector<TranscriptLine> result;
    for (const auto& item : items) {
        std::vector<std::string> words;
        double lineStart = 0, lineEnd = 0, previousEnd = 0;
        auto flush = [&] {
            if (words.empty())
                return;
            std::string text;
            for (std::size_t i = 0; i < words.size(); ++i)
                text += (i ? " " : "") + words[i];
            result.push_back({lineStart, std::max(lineEnd, lineStart), text});
            words.clear();
        };
        const auto& segments = item.transcription.segments;
        const bool realTiming = std::any_of(segments.begin(), segments.end(),
                                            [](const SpeechSegment& s) { return s.duration > kRealTiming; });
        const double step = (item.end - item.start) / static_cast<double>(std::max<std::size_t>(1, segments.size()));
        for (std::size_t i = 0; i < segments.size(); ++i) {
            const std::string word = trimmed(segments[i].substring);
            if (word.empty())
                continue;
            double start, end;
            if (realTiming) {
                start = offset + segments[i].timestamp;
                end = start + segments[i].duration;
            } else {
                start = item.start + static_cast<double>(i) * step;
                end = start + step;
            }
            if (onlyPunctuation(word) && !words.empty()) {
                words.back() += word;
                lineEnd = end;
                previousEnd = end;
            } else {
                if (!words.empty()) {
                    const bool tooMany = words.size() > kMostWords - 1;
                    const bool gap = realTiming && start - previousEnd > kWordGap;
                    const bool tooLong = previousEnd - lineStart > kLongestLine;
                    if (tooMany || gap || tooLong)
                        flush();
                }
                if (words.empty())
                    lineStart = start;
                words.push_back(word);
                lineEnd = end;
                previousEnd = end;
            }
            if (endsSentence(words.back()))
                flush();
        }
        flush();
    }
    return result;
}

// ---- Pass ----

Pass::Pass(double offset) : offset(offset), bestStart_(offset), heardUntil_(offset) {}

Pass::~Pass() {
    if (task_ && !ended())
        task_->cancel();
}

std::shared_ptr<Pass> Pass::start(SpeechRecognizer& recognizer, double offset) {
    std::shared_ptr<Pass> pass(new Pass(offset));
    std::weak_ptr<Pass> weak = pass;
    pass->task_ = recognizer.start([weak](const std::optional<SpeechTranscription>& hypothesis, bool isFinal,
                                          const std::optional<SpeechError>& error) {
        if (auto strong = weak.lock())
            strong->received(hypothesis, isFinal, error);
    });
    return pass;
}

void Pass::received(const std::optional<SpeechTranscription>& hypothesis, bool isFinal,
                    const std::optional<SpeechError>& error) {
    bool signal = false;
    {
        std::lock_guard lock(lock_);
        if (hypothesis) {
            // The recogniser numbers its utterances; a new number means the earlier one is complete.
            if (best_ && hypothesis->utterance != best_->utterance) {
                earlier_.push_back({*best_, bestStart_, heardUntil_});
                bestStart_ = heardUntil_;
            }
            best_ = *hypothesis;
        }
        if (error && !meansNoSpeech(*error))
            failure_ = *error;
        if (error || isFinal) {
            signal = !ended_;
            ended_ = true;
        }
    }
    if (signal)
        endedSignal_.notify_all();
}

void Pass::append(double time, const SpeechSound& sound) {
    {
        std::lock_guard lock(lock_);
        heardUntil_ = std::max(heardUntil_, time);
    }
    if (task_ && !sound.samples.empty())
        task_->append(sound.samples.data(), sound.samples.size());
}

void Pass::endAudio() {
    if (task_)
        task_->endAudio();
}

bool Pass::waitEnded(Duration limit) {
    std::unique_lock lock(lock_);
    return endedSignal_.wait_for(lock, limit, [&] { return ended_; });
}

void Pass::cancel() {
    if (task_)
        task_->cancel();
}

bool Pass::ended() const {
    std::lock_guard lock(lock_);
    return ended_;
}

std::optional<SpeechError> Pass::failure() const {
    std::lock_guard lock(lock_);
    return failure_;
}

std::vector<TranscriptLine> Pass::lines() const {
    std::vector<HeardItem> items;
    {
        std::lock_guard lock(lock_);
        items = earlier_;
        if (best_)
            items.push_back({*best_, bestStart_, heardUntil_});
    }
    return linesFrom(items, offset);
}

// ---- Chunker ----

Chunker::Chunker(std::shared_ptr<SpeechRecognizer> recognizer, bool waitForEachPass, std::optional<double> origin)
    : recognizer_(std::move(recognizer)), waitForEachPass_(waitForEachPass), firstTime_(origin) {}

void Chunker::feed(const SpeechSound& sound) {
    std::shared_ptr<Pass> toClose;
    {
        std::lock_guard lock(lock_);
        if (closed_)
            return;
        if (!firstTime_)
            firstTime_ = sound.time;
        const double t = sound.time - *firstTime_;
        const auto measured = level(sound);
        const bool loud = !measured || *measured > kLoudnessThreshold;
        if (loud)
            lastSound_ = t;
        if (current_) {
            const bool close = current_->ended() || t - current_->offset >= kLongestStretch ||
                               (!loud && t - lastSound_ >= kQuietGap);
            if (!close) {
                current_->append(t, sound);
                return;
            }
            toClose = std::move(current_);
            current_.reset();
            // The buffer that closed the pass goes on below, so no sound is lost at a cut.
        }
        if (loud) {
            auto pass = Pass::start(*recognizer_, preroll_.empty() ? t : preroll_.front().time);
            for (const auto& held : preroll_)
                if (!pass->ended())
                    pass->append(held.time, held.sound);
            preroll_.clear();
            passes_.push_back(pass);
            current_ = pass;
            pass->append(t, sound);
        } else {
            preroll_.push_back({t, sound});
            while (!preroll_.empty() && t - preroll_.front().time > kPreroll)
                preroll_.pop_front();
        }
    }
    if (toClose)
        close(toClose);
}

void Chunker::close(const std::shared_ptr<Pass>& pass) {
    if (!pass)
        return;
    pass->endAudio();
    if (waitForEachPass_ && !pass->waitEnded(seconds(kFilePassWait)))
        pass->cancel();
}

std::shared_ptr<Pass> Chunker::takeCurrent() {
    std::lock_guard lock(lock_);
    auto pass = std::move(current_);
    current_.reset();
    return pass;
}

void Chunker::closeFeeding() {
    std::lock_guard lock(lock_);
    closed_ = true;
}

std::vector<std::shared_ptr<Pass>> Chunker::passes() const {
    std::lock_guard lock(lock_);
    return passes_;
}

std::vector<TranscriptLine> Chunker::lines() const {
    std::vector<TranscriptLine> all;
    for (const auto& pass : passes()) {
        auto lines = pass->lines();
        all.insert(all.end(), lines.begin(), lines.end());
    }
    return all;
}

} // namespace pokescope::transcription
