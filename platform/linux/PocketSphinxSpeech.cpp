#include "platform/linux/PocketSphinxSpeech.hpp"

#include "platform/linux/PocketSphinxDecoders.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <thread>
#include <utility>

namespace pokescope {

namespace speech {

namespace {

// Sound goes to the decoder in blocks of this many samples: 64 ms, fewer frames than the decoder's voice
// detector needs to wake up. Between blocks the task looks for cancellation and for the end of an
// utterance; since no block can hold both the detector falling silent and waking again, every utterance is
// one unbroken run of frames, which its word times rely on (see Session). Block boundaries do not change
// what is recognised.
constexpr std::size_t kBlock = 1024;
// A partial hypothesis is looked at after every half second of sound.
constexpr std::size_t kPartialEvery = kSpeechSampleRate / 2;

} // namespace

std::optional<std::string> cleanWord(std::string_view word) {
    if (word.empty())
        return std::nullopt;
    const char first = word.front();
    const char last = word.back();
    // Silences, sentence marks and noises: <s>, </s>, <sil>, [NOISE], ++BREATH++, +NSN+.
    if ((first == '<' && last == '>') || (first == '[' && last == ']') || (first == '+' && last == '+'))
        return std::nullopt;
    // "read(2)": the dictionary's second pronunciation of the same word.
    if (last == ')') {
        const auto open = word.rfind('(');
        if (open != std::string_view::npos && open > 0 && open + 2 < word.size() &&
            std::all_of(word.begin() + static_cast<std::ptrdiff_t>(open) + 1, word.end() - 1,
                        [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }))
            word = word.substr(0, open);
    }
    return std::string(word);
}

namespace {

// ---- Task ----

using ResultHandler = SpeechRecognizer::ResultHandler;

SpeechError makeError(SpeechError::Code code, std::string description) {
    SpeechError error;
    error.code = code;
    error.description = std::move(description);
    return error;
}

// What the task object and its thread share; the thread keeps it alive after the task object is gone.
struct TaskState {
    TaskState(std::shared_ptr<DecoderPool> pool, ResultHandler handler)
        : pool(std::move(pool)), handler(std::move(handler)) {}

    const std::shared_ptr<DecoderPool> pool;
    ResultHandler handler; // used by the task's thread only

    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::int16_t> queued;
    bool audioEnded = false;
    std::atomic<bool> cancelled{false};
    bool finished = false; // the handler has had its last call, or will have none
    std::thread::id worker;

    // Calls the handler, unless the task has finished; a cancelled task gets the `cancelled` error instead
    // of whatever was to come. False when nothing more may be delivered.
    bool report(const std::optional<SpeechTranscription>& hypothesis, bool isFinal,
                const std::optional<SpeechError>& error) {
        {
            std::lock_guard guard(lock);
            if (finished)
                return false;
        }
        if (cancelled) {
            reportCancelled();
            return false;
        }
        handler(hypothesis, isFinal, error);
        if (isFinal || error) {
            finish();
            return false;
        }
        return true;
    }

    void reportCancelled() {
        {
            std::lock_guard guard(lock);
            if (finished)
                return;
        }
        handler(std::nullopt, false, makeError(SpeechError::cancelled, "Recognition was cancelled"));
        finish();
    }

    void reportFailure(const std::string& what) {
        report(std::nullopt, false, makeError(SpeechError::failed, "Speech recognition failed: " + what));
    }

    void finish() {
        {
            std::lock_guard guard(lock);
            finished = true;
        }
        changed.notify_all();
    }
};

// Turns the decoder's segments into the task's hypotheses, numbering the utterances that have something
// to show: an utterance that never showed a word does not take a number.
class Reporter {
public:
    explicit Reporter(TaskState& state) : state_(state) {}

    // False when nothing more may be delivered.
    bool partial(std::vector<SpeechSegment> segments) {
        std::vector<std::string> words = texts(segments);
        if (words.empty() || words == shownWords_)
            return true;
        SpeechTranscription hypothesis{std::move(segments), next_};
        shownWords_ = std::move(words);
        shownCurrent_ = true;
        lastShown_ = hypothesis;
        return state_.report(hypothesis, false, std::nullopt);
    }

    // The decoder ended an utterance before the task's sound ended.
    bool utteranceEnded(std::vector<SpeechSegment> segments) {
        const bool words = !segments.empty();
        const bool show = words || shownCurrent_; // an empty result still corrects words shown before
        shownCurrent_ = false;
        shownWords_.clear();
        if (!show)
            return true;
        anyWords_ = anyWords_ || words;
        SpeechTranscription hypothesis{std::move(segments), next_++};
        lastShown_ = hypothesis;
        return state_.report(hypothesis, false, std::nullopt);
    }

    void finalResult(std::vector<SpeechSegment> segments) {
        if (!segments.empty()) {
            state_.report(SpeechTranscription{std::move(segments), next_}, true, std::nullopt);
        } else if (anyWords_ && shownCurrent_) {
            state_.report(SpeechTranscription{{}, next_}, true, std::nullopt);
        } else if (anyWords_ && lastShown_) {
            // The last utterance heard nothing: the one before it stands as the final result.
            state_.report(*lastShown_, true, std::nullopt);
        } else {
            state_.report(std::nullopt, false, makeError(SpeechError::noSpeech, "No speech detected"));
        }
    }

private:
    static std::vector<std::string> texts(const std::vector<SpeechSegment>& segments) {
        std::vector<std::string> out;
        out.reserve(segments.size());
        for (const auto& segment : segments)
            out.push_back(segment.substring);
        return out;
    }

    TaskState& state_;
    long next_ = 0;
    bool shownCurrent_ = false; // the current utterance has shown words under number `next_`
    bool anyWords_ = false;     // a finished utterance had words
    std::vector<std::string> shownWords_;
    std::optional<SpeechTranscription> lastShown_;
};

// One task's decoding on its decoder.
//
// The decoder's voice detector drops the frames of long silences, and its segment frames count only the
// frames it kept, from where the utterance's speech began in the stream. So an utterance is ended as soon
// as the detector falls silent (after half a second without speech), as the library's own command-line
// transcriber does: each utterance is then one unbroken run of frames and its frame numbers are the
// stream's, which count from the task's first sample.
class Session {
public:
    Session(TaskState& state, Decoder& decoder) : state_(state), decoder_(decoder), reporter_(state) {}

    // Decodes until the sound ends (true) or the task is cancelled (false). Throws DecoderError.
    bool run() {
        decoder_.rewind();
        startUtterance();
        std::vector<std::int16_t> pending;
        for (;;) {
            bool ended = false;
            {
                std::unique_lock lock(state_.lock);
                state_.changed.wait(
                    lock, [&] { return !state_.queued.empty() || state_.audioEnded || state_.cancelled; });
                if (state_.cancelled)
                    return false;
                pending.insert(pending.end(), state_.queued.begin(), state_.queued.end());
                state_.queued.clear();
                ended = state_.audioEnded;
            }
            std::size_t used = 0;
            while (pending.size() - used >= kBlock || (ended && used < pending.size())) {
                if (state_.cancelled)
                    return false;
                const std::size_t count = std::min(kBlock, pending.size() - used);
                if (!feed(pending.data() + used, count))
                    return false;
                used += count;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
            if (ended) {
                endUtterance();
                reporter_.finalResult(segments());
                return true;
            }
        }
    }

    // Ends an utterance left open by a cancellation, so that the decoder can start the next task.
    void close() {
        if (inUtterance_) {
            inUtterance_ = false;
            ps_end_utt(decoder_.get());
        }
    }

private:
    void startUtterance() {
        if (ps_start_utt(decoder_.get()) < 0)
            throw DecoderError("the speech decoder could not start an utterance");
        inUtterance_ = true;
        heardSpeech_ = false;
    }

    void endUtterance() {
        inUtterance_ = false;
        if (ps_end_utt(decoder_.get()) < 0)
            throw DecoderError("the speech decoder could not finish an utterance");
    }

    // False when nothing more may be delivered.
    bool feed(const std::int16_t* samples, std::size_t count) {
        if (ps_process_raw(decoder_.get(), samples, count, FALSE, FALSE) < 0)
            throw DecoderError("the speech decoder could not process the sound");
        fed_ += count;
        if (ps_get_in_speech(decoder_.get())) {
            heardSpeech_ = true;
        } else if (heardSpeech_) {
            endUtterance();
            if (!reporter_.utteranceEnded(segments()))
                return false;
            startUtterance();
            sinceReport_ = 0;
            return true;
        }
        sinceReport_ += count;
        if (sinceReport_ >= kPartialEvery) {
            sinceReport_ = 0;
            if (heardSpeech_)
                return reporter_.partial(segments());
        }
        return true;
    }

    // The words of the current (or just ended) utterance, in seconds from the task's first sample.
    std::vector<SpeechSegment> segments() const {
        std::vector<SpeechSegment> out;
        const double rate = decoder_.frameRate();
        const double heard = static_cast<double>(fed_) / kSpeechSampleRate;
        for (ps_seg_t* seg = ps_seg_iter(decoder_.get()); seg; seg = ps_seg_next(seg)) {
            const char* text = ps_seg_word(seg);
            auto word = cleanWord(text ? text : "");
            if (!word)
                continue;
            int first = 0;
            int last = 0;
            ps_seg_frames(seg, &first, &last);
            const double start = std::clamp(first / rate, 0.0, heard);
            const double end = std::clamp((last + 1) / rate, start, heard);
            out.push_back({std::move(*word), start, end - start});
        }
        return out;
    }

    TaskState& state_;
    Decoder& decoder_;
    Reporter reporter_;
    std::size_t fed_ = 0;
    std::size_t sinceReport_ = 0;
    bool inUtterance_ = false;
    bool heardSpeech_ = false;
};

// A decoder lent by the pool: given back when the task is done with it, thrown away when it failed.
class Lease {
public:
    Lease(DecoderPool& pool, std::unique_ptr<Decoder> decoder) : pool_(pool), decoder_(std::move(decoder)) {}
    ~Lease() {
        if (decoder_)
            pool_.discard(std::move(decoder_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    Decoder& decoder() { return *decoder_; }
    void giveBack() { pool_.release(std::move(decoder_)); }

private:
    DecoderPool& pool_;
    std::unique_ptr<Decoder> decoder_;
};

void decode(TaskState& state) {
    {
        std::unique_lock lock(state.lock);
        state.changed.wait(lock,
                           [&] { return !state.queued.empty() || state.audioEnded || state.cancelled; });
        if (state.queued.empty() && state.audioEnded && !state.cancelled) {
            lock.unlock();
            state.report(std::nullopt, false, makeError(SpeechError::noSpeech, "No speech detected"));
            return;
        }
    }
    std::unique_ptr<Decoder> decoder;
    try {
        decoder = state.pool->acquire([&] { return state.cancelled.load(); });
    } catch (const DecoderError& e) {
        state.reportFailure(e.what());
        return;
    }
    if (!decoder) {
        state.reportCancelled();
        return;
    }
    Lease lease(*state.pool, std::move(decoder));
    try {
        Session session(state, lease.decoder());
        if (!session.run()) {
            // Cancelled (perhaps by the handler): say so first, tidy up after.
            state.reportCancelled();
            session.close();
        }
    } catch (const DecoderError& e) {
        state.reportFailure(e.what());
        return;
    }
    lease.giveBack();
}

class PocketSphinxTask final : public SpeechRecognitionTask {
public:
    PocketSphinxTask(std::shared_ptr<DecoderPool> pool, ResultHandler handler)
        : state_(std::make_shared<TaskState>(std::move(pool), std::move(handler))) {
        std::lock_guard lock(state_->lock);
        thread_ = std::thread([state = state_] {
            {
                std::lock_guard guard(state->lock);
                state->worker = std::this_thread::get_id();
            }
            try {
                decode(*state);
            } catch (const std::exception& e) {
                // Out of memory, or a handler that threw: the task ends here either way.
                try {
                    state->reportFailure(e.what());
                } catch (...) {
                }
            } catch (...) {
            }
            state->finish();
            // What the handler holds may own this task; it is let go here, on this thread.
            state->handler = nullptr;
        });
    }

    ~PocketSphinxTask() override {
        cancel();
        if (std::this_thread::get_id() == thread_.get_id())
            thread_.detach();
        else
            thread_.join();
    }

    PocketSphinxTask(const PocketSphinxTask&) = delete;
    PocketSphinxTask& operator=(const PocketSphinxTask&) = delete;

    void append(const std::int16_t* samples, std::size_t count) override {
        if (!samples || count == 0)
            return;
        {
            std::lock_guard lock(state_->lock);
            if (state_->audioEnded || state_->cancelled || state_->finished)
                return;
            state_->queued.insert(state_->queued.end(), samples, samples + count);
        }
        state_->changed.notify_all();
    }

    void endAudio() override {
        {
            std::lock_guard lock(state_->lock);
            state_->audioEnded = true;
        }
        state_->changed.notify_all();
    }

    void cancel() override {
        std::unique_lock lock(state_->lock);
        if (state_->finished)
            return;
        state_->cancelled = true;
        if (std::this_thread::get_id() == state_->worker) {
            // From inside the handler: it is not entered again, and this thread cannot wait for itself.
            state_->finished = true;
            return;
        }
        lock.unlock();
        state_->changed.notify_all();
        state_->pool->wake();
        lock.lock();
        state_->changed.wait(lock, [&] { return state_->finished; });
    }

private:
    std::shared_ptr<TaskState> state_;
    std::thread thread_;
};

// ---- Recognizer ----

class PocketSphinxRecognizer final : public SpeechRecognizer {
public:
    explicit PocketSphinxRecognizer(std::shared_ptr<DecoderPool> pool) : pool_(std::move(pool)) {}

    std::string localeIdentifier() const override { return pool_->model().locale; }
    bool supportsOnDeviceRecognition() const override { return true; }
    std::shared_ptr<SpeechRecognitionTask> start(ResultHandler handler) override {
        return std::make_shared<PocketSphinxTask>(pool_, std::move(handler));
    }

private:
    std::shared_ptr<DecoderPool> pool_;
};

} // namespace

} // namespace speech

// ---- Backend ----

PocketSphinxBackend::PocketSphinxBackend(std::string modelFolder, std::size_t maxDecoders)
    : folder_(std::move(modelFolder)), maxDecoders_(maxDecoders) {}

PocketSphinxBackend::~PocketSphinxBackend() = default;

SpeechBackend::Authorization PocketSphinxBackend::authorizationStatus() const {
    // Recognition never leaves the machine and needs nobody's consent but the file system's.
    return Authorization::authorized;
}

void PocketSphinxBackend::requestAuthorization(std::function<void(Authorization)> done) {
    if (done)
        done(Authorization::authorized);
}

std::vector<std::string> PocketSphinxBackend::supportedLocales() const {
    std::vector<std::string> locales;
    for (const auto& model : speech::findModels(folder_))
        locales.push_back(model.locale);
    return locales;
}

std::shared_ptr<SpeechRecognizer> PocketSphinxBackend::recognizer(const std::string& locale) {
    const std::string wanted = speech::localeIdentifier(locale);
    if (wanted.empty())
        return nullptr;
    for (auto& model : speech::findModels(folder_)) {
        if (model.locale != wanted) // both as localeIdentifier spells them
            continue;
        std::lock_guard lock(lock_);
        auto& pool = pools_[model.acousticModel];
        if (!pool)
            pool = std::make_shared<speech::DecoderPool>(std::move(model), maxDecoders_);
        return std::make_shared<speech::PocketSphinxRecognizer>(pool);
    }
    return nullptr;
}

std::string PocketSphinxBackend::currentLocale() const {
    return speech::localeFromEnvironment(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                                         std::getenv("LANG"));
}

std::size_t PocketSphinxBackend::decodersLoaded() const {
    std::lock_guard lock(lock_);
    std::size_t total = 0;
    for (const auto& [folder, pool] : pools_)
        total += pool->loaded();
    return total;
}

std::shared_ptr<SpeechBackend> SpeechBackend::system() {
    // Never destroyed: tasks and their threads may still use it while the process ends.
    static auto* shared = new std::shared_ptr<SpeechBackend>(std::make_shared<PocketSphinxBackend>());
    return *shared;
}

} // namespace pokescope
