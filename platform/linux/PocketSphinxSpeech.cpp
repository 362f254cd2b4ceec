#include "platform/linux/PocketSphinxSpeech.hpp"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>

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

constexpr const char* kDebianModelFolder = "/usr/share/pocketsphinx/model";

// Sound goes to the decoder in blocks of this many samples: 64 ms, fewer frames than the decoder's voice
// detector needs to wake up. Between blocks the task looks for cancellation and for the end of an
// utterance; since no block can hold both the detector falling silent and waking again, every utterance is
// one unbroken run of frames, which its word times rely on (see Session). Block boundaries do not change
// what is recognised.
constexpr std::size_t kBlock = 1024;
// A partial hypothesis is looked at after every half second of sound.
constexpr std::size_t kPartialEvery = kSpeechSampleRate / 2;

// What every acoustic model folder holds, besides its mixture weights ("sendump" or "mixture_weights").
constexpr const char* kAcousticFiles[] = {"mdef", "means", "variances", "transition_matrices"};

bool isDirectory(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_directory(path, error);
}

bool isFile(const std::filesystem::path& path) {
    std::error_code error;
    return std::filesystem::is_regular_file(path, error);
}

std::string lowered(std::string_view text) {
    std::string out(text);
    for (auto& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The library writes its progress and its errors through one process-wide log; nothing of it is wanted.
// ("-logfn" is not used: every decoder load would reopen and swap that one global file, which is not safe
// while another thread loads or decodes.)
void silenceLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { err_set_logfp(nullptr); });
}

// Model loading and freeing go through the library's process-wide state (the log, its argument parser);
// they are done one at a time. Decoding needs no lock: each decoder is used by one thread at a time.
std::mutex& loadLock() {
    static std::mutex lock;
    return lock;
}

class DecoderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace

std::string defaultModelFolder() {
    if (const char* configured = std::getenv("POKESCOPE_SPEECH_MODELS"); configured && *configured)
        return configured;
    return kDebianModelFolder;
}

std::string localeIdentifier(std::string_view name) {
    const auto cut = name.find_first_of("-_");
    std::string language = lowered(name.substr(0, cut));
    if (language.empty())
        return {};
    if (cut == std::string_view::npos || cut + 1 >= name.size())
        return language;
    std::string region(name.substr(cut + 1));
    for (auto& c : region) {
        if (c == '_')
            c = '-';
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return language + "-" + region;
}

std::vector<ModelFiles> findModels(const std::string& folder) {
    namespace fs = std::filesystem;
    std::vector<ModelFiles> models;
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error)
        return models;
    std::vector<fs::path> languages;
    for (const auto& entry : entries)
        if (isDirectory(entry.path()))
            languages.push_back(entry.path());
    std::sort(languages.begin(), languages.end());
    for (const auto& dir : languages) {
        const std::string name = dir.filename().string();
        const std::string locale = localeIdentifier(name);
        if (locale.empty())
            continue;
        // The library ends the process when it meets a broken acoustic model, so only a complete one counts.
        const fs::path acoustic = dir / name;
        const bool complete = std::all_of(std::begin(kAcousticFiles), std::end(kAcousticFiles),
                                          [&](const char* file) { return isFile(acoustic / file); }) &&
                              (isFile(acoustic / "sendump") || isFile(acoustic / "mixture_weights"));
        if (!complete)
            continue;
        std::optional<fs::path> languageModel;
        for (const char* suffix : {".lm.bin", ".lm"})
            if (!languageModel && isFile(dir / (name + suffix)))
                languageModel = dir / (name + suffix);
        std::optional<fs::path> dictionary;
        for (const auto& candidate :
             {dir / ("cmudict-" + name + ".dict"), dir / (name + ".dic"), dir / (name + ".dict")})
            if (!dictionary && isFile(candidate))
                dictionary = candidate;
        if (!languageModel || !dictionary)
            continue;
        models.push_back({locale, acoustic.string(), languageModel->string(), dictionary->string()});
    }
    return models;
}

std::string localeFromEnvironment(const char* lcAll, const char* lcMessages, const char* lang) {
    std::string value;
    for (const char* candidate : {lcAll, lcMessages, lang})
        if (candidate && *candidate) {
            value = candidate;
            break;
        }
    // "de_DE.UTF-8@euro": the encoding and the modifier say nothing about the language.
    value = value.substr(0, value.find_first_of(".@"));
    if (value.empty() || value == "C" || value == "POSIX")
        return "en_US";
    return value;
}

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

// ---- Decoder ----

// One loaded decoder. What it learns of the channel carries over from one utterance to the next: the live
// cepstral mean and the front end's noise estimate. Both go back to the loaded state before every task (the
// mean copied back, the noise estimate dropped with a new stream), so that a task's words do not depend on
// what the decoder heard before: every task decodes as a freshly loaded decoder would, which is also what
// the library's command-line transcriber does with one file.
class Decoder {
public:
    explicit Decoder(const ModelFiles& model) {
        silenceLibraryLog();
        std::lock_guard lock(loadLock());
        config_ = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", model.acousticModel.c_str(), "-lm",
                              model.languageModel.c_str(), "-dict", model.dictionary.c_str(), nullptr);
        if (!config_)
            throw DecoderError("the speech decoder's settings were refused");
        decoder_ = ps_init(config_);
        if (!decoder_) {
            cmd_ln_free_r(config_);
            throw DecoderError("the speech model for " + model.locale + " could not be loaded from " +
                               std::filesystem::path(model.acousticModel).parent_path().string());
        }
        frameRate_ = cmd_ln_int32_r(config_, "-frate");
        if (frameRate_ <= 0)
            frameRate_ = 100;
        const cmn_t* cmn = channel();
        if (cmn) {
            mean_.assign(cmn->cmn_mean, cmn->cmn_mean + cmn->veclen);
            sum_.assign(cmn->sum, cmn->sum + cmn->veclen);
            frames_ = cmn->nframe;
        }
    }
    ~Decoder() {
        std::lock_guard lock(loadLock());
        ps_free(decoder_);
        cmd_ln_free_r(config_);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    ps_decoder_t* get() const { return decoder_; }
    int frameRate() const { return frameRate_; }

    // Back to the loaded state; frames are counted from zero again, so that word times are measured from
    // the first sample of the task.
    void rewind() {
        if (cmn_t* cmn = channel(); cmn && static_cast<std::size_t>(cmn->veclen) == mean_.size()) {
            std::copy(mean_.begin(), mean_.end(), cmn->cmn_mean);
            std::copy(sum_.begin(), sum_.end(), cmn->sum);
            cmn->nframe = frames_;
        }
        if (ps_start_stream(decoder_) < 0)
            throw DecoderError("the speech decoder could not start a new stream");
    }

private:
    cmn_t* channel() const {
        feat_t* feat = ps_get_feat(decoder_);
        return feat ? feat->cmn_struct : nullptr;
    }

    cmd_ln_t* config_ = nullptr;
    ps_decoder_t* decoder_ = nullptr;
    int frameRate_ = 100;
    std::vector<mfcc_t> mean_;
    std::vector<mfcc_t> sum_;
    int32 frames_ = 0;
};

// ---- DecoderPool ----

class DecoderPool {
public:
    DecoderPool(ModelFiles model, std::size_t maxDecoders)
        : model_(std::move(model)), max_(std::max<std::size_t>(1, maxDecoders)) {}

    const ModelFiles& model() const { return model_; }

    // An idle decoder, a newly loaded one while fewer than the limit exist, or (all busy) the next one
    // given back. None when `stop` turns true while waiting (it is looked at whenever `wake` is called).
    // Throws DecoderError when the model cannot be loaded.
    std::unique_ptr<Decoder> acquire(const std::function<bool()>& stop) {
        {
            std::unique_lock lock(lock_);
            returned_.wait(lock, [&] { return stop() || !idle_.empty() || existing_ < max_; });
            if (stop())
                return nullptr;
            if (!idle_.empty()) {
                auto decoder = std::move(idle_.back());
                idle_.pop_back();
                return decoder;
            }
            ++existing_;
        }
        try {
            auto decoder = std::make_unique<Decoder>(model_);
            std::lock_guard lock(lock_);
            ++loaded_;
            return decoder;
        } catch (...) {
            {
                std::lock_guard lock(lock_);
                --existing_;
            }
            returned_.notify_one();
            throw;
        }
    }

    void release(std::unique_ptr<Decoder> decoder) {
        {
            std::lock_guard lock(lock_);
            idle_.push_back(std::move(decoder));
        }
        returned_.notify_one();
    }

    // A decoder that failed is not trusted again; its place is free for a new one.
    void discard(std::unique_ptr<Decoder> decoder) {
        decoder.reset();
        {
            std::lock_guard lock(lock_);
            --existing_;
        }
        returned_.notify_one();
    }

    void wake() {
        { std::lock_guard lock(lock_); }
        returned_.notify_all();
    }

    std::size_t loaded() const {
        std::lock_guard lock(lock_);
        return loaded_;
    }

private:
    const ModelFiles model_;
    const std::size_t max_;
    mutable std::mutex lock_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<Decoder>> idle_;
    std::size_t existing_ = 0; // idle, lent out or being loaded
    std::size_t loaded_ = 0;
};

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
        if (speech::lowered(model.locale) != speech::lowered(wanted))
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
