// The speech library's decoders: one loaded model each, reset before every task, and the pool that lends
// them out, loading more only up to a limit. Private to the PocketSphinx backend.
#pragma once

#include "platform/linux/PocketSphinxSpeech.hpp"

#include <pocketsphinx.h>
#include <sphinxbase/cmn.h>
#include <sphinxbase/err.h>
#include <sphinxbase/feat.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace pokescope::speech {

// The library writes its progress and its errors through one process-wide log; nothing of it is wanted.
// ("-logfn" is not used: every decoder load would reopen and swap that one global file, which is not safe
// while another thread loads or decodes.)
inline void silenceLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { err_set_logfp(nullptr); });
}

// Model loading and freeing go through the library's process-wide state (the log, its argument parser);
// they are done one at a time. Decoding needs no lock: each decoder is used by one thread at a time.
inline std::mutex& loadLock() {
    static std::mutex lock;
    return lock;
}

class DecoderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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

} // namespace pokescope::speech
