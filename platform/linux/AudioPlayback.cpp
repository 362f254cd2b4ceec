#include "platform/linux/AudioPlayback.hpp"

#include <alsa/asoundlib.h>
#include <pulse/error.h>
#include <pulse/simple.h>

namespace pokescope {

namespace {

constexpr int rate = 48000;
constexpr int channels = 2;
constexpr std::size_t maxQueuedFrames = rate / 2;

class PulseSink final : public AudioSink {
public:
    explicit PulseSink(pa_simple* stream) : stream_(stream) {}
    ~PulseSink() override { pa_simple_free(stream_); }
    bool write(const float* samples, std::size_t frames) override {
        int error = 0;
        return pa_simple_write(stream_, samples, frames * channels * sizeof(float), &error) == 0;
    }

private:
    pa_simple* stream_;
};

class AlsaSink final : public AudioSink {
public:
    explicit AlsaSink(snd_pcm_t* pcm) : pcm_(pcm) {}
    ~AlsaSink() override { snd_pcm_close(pcm_); }
    bool write(const float* samples, std::size_t frames) override {
        while (frames > 0) {
            snd_pcm_sframes_t written = snd_pcm_writei(pcm_, samples, frames);
            if (written < 0) {
                // An underrun or a suspend is recovered; anything else ends playback.
                if (snd_pcm_recover(pcm_, static_cast<int>(written), 1) < 0)
                    return false;
                continue;
            }
            samples += static_cast<std::size_t>(written) * channels;
            frames -= static_cast<std::size_t>(written);
        }
        return true;
    }

private:
    snd_pcm_t* pcm_;
};

void quietAlsa(const char*, int, const char*, int, const char*, ...) {}

} // namespace

std::unique_ptr<AudioSink> openPulseSink(std::string& problem) {
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, channels};
    // A short buffer (about 100 ms) keeps the speakers close to the phone.
    pa_buffer_attr buffer{};
    buffer.maxlength = static_cast<uint32_t>(-1);
    buffer.tlength = static_cast<uint32_t>(rate / 10 * channels * sizeof(float));
    buffer.prebuf = static_cast<uint32_t>(-1);
    buffer.minreq = static_cast<uint32_t>(-1);
    buffer.fragsize = static_cast<uint32_t>(-1);
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, "Pokescope", PA_STREAM_PLAYBACK, nullptr, "iPhone sound",
                                      &spec, nullptr, &buffer, &error);
    if (!stream) {
        problem = pa_strerror(error);
        return nullptr;
    }
    return std::make_unique<PulseSink>(stream);
}

std::unique_ptr<AudioSink> openAlsaSink(std::string& problem) {
    // ALSA prints every failed lookup of its configuration on standard error; the result says enough.
    static std::once_flag quiet;
    std::call_once(quiet, [] { snd_lib_error_set_handler(&quietAlsa); });
    snd_pcm_t* pcm = nullptr;
    int rc = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0);
    if (rc < 0) {
        problem = snd_strerror(rc);
        return nullptr;
    }
    auto sink = std::make_unique<AlsaSink>(pcm);
    rc = snd_pcm_set_params(pcm, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate, 1,
                            100000);
    if (rc < 0) {
        problem = snd_strerror(rc);
        return nullptr;
    }
    return sink;
}

std::unique_ptr<AudioPlayback> AudioPlayback::open(std::string& problem) {
    std::string pulseProblem, alsaProblem;
    auto sink = openPulseSink(pulseProblem);
    if (!sink)
        sink = openAlsaSink(alsaProblem);
    if (!sink) {
        problem = "There is no sound output on this computer: no PulseAudio or PipeWire server answered (" +
                  pulseProblem + ") and ALSA's default device could not be opened (" + alsaProblem + ").";
        return nullptr;
    }
    return std::make_unique<AudioPlayback>(std::move(sink));
}

std::unique_ptr<AudioPlayer> AudioPlayer::system(std::string& problem) { return AudioPlayback::open(problem); }

AudioPlayback::AudioPlayback(std::unique_ptr<AudioSink> sink) : sink_(std::move(sink)) {
    thread_ = std::thread([this] { run(); });
}

AudioPlayback::~AudioPlayback() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void AudioPlayback::play(const AudioBufferRef& buffer) {
    if (!buffer || buffer->frames() == 0)
        return;
    {
        std::lock_guard lock(mutex_);
        if (failed_ || stopping_)
            return;
        queue_.push_back(buffer);
        queuedFrames_ += buffer->frames();
        while (queuedFrames_ > maxQueuedFrames && queue_.size() > 1) {
            queuedFrames_ -= queue_.front()->frames();
            queue_.pop_front();
        }
    }
    wake_.notify_one();
}

bool AudioPlayback::healthy() const {
    std::lock_guard lock(mutex_);
    return !failed_;
}

void AudioPlayback::run() {
    setThreadName("pokescope.audio.out");
    for (;;) {
        AudioBufferRef next;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            next = std::move(queue_.front());
            queue_.pop_front();
            queuedFrames_ -= next->frames();
        }
        if (next->sampleRate != rate || next->channels != channels)
            continue;
        if (!sink_->write(next->samples.data(), next->frames())) {
            std::lock_guard lock(mutex_);
            failed_ = true;
            queue_.clear();
            queuedFrames_ = 0;
            return;
        }
    }
}

} // namespace pokescope
