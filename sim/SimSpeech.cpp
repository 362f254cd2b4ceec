#include "sim/SimSpeech.hpp"

#include "platform/Dispatch.hpp"
#include "platform/Process.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace pokescope::sim {

namespace {

std::uint32_t le32(const std::string& bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

std::uint16_t le16(const std::string& bytes, std::size_t at) {
    std::uint16_t value;
    std::memcpy(&value, bytes.data() + at, 2);
    return value;
}

} // namespace

SimSpeech::SimSpeech() : worker_([this] { work(); }) {}

SimSpeech::~SimSpeech() {
    {
        std::lock_guard lock(mutex_);
        running_ = false;
    }
    wake_.notify_all();
    worker_.join();
}

void SimSpeech::say(const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(text);
    }
    wake_.notify_all();
}

std::vector<float> SimSpeech::take(std::size_t frames) {
    std::lock_guard lock(mutex_);
    std::size_t n = std::min(frames, samples_.size());
    std::vector<float> out(samples_.begin(), samples_.begin() + static_cast<long>(n));
    samples_.erase(samples_.begin(), samples_.begin() + static_cast<long>(n));
    return out;
}

bool SimSpeech::playing() const {
    std::lock_guard lock(mutex_);
    return synthesising_ || !requests_.empty() || !samples_.empty();
}

void SimSpeech::work() {
    setThreadName("sim.speech");
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return !running_ || !requests_.empty(); });
        if (!running_)
            return;
        std::string text = requests_.front();
        requests_.pop_front();
        synthesising_ = true;
        std::vector<float> speech;
        if (auto cached = cache_.find(text); cached != cache_.end()) {
            speech = cached->second;
        } else {
            lock.unlock();
            std::string error;
            speech = synthesize(text, error);
            if (speech.empty())
                std::fprintf(stderr, "sim: can't speak: %s\n", error.c_str());
            lock.lock();
            cache_[text] = speech;
        }
        samples_.insert(samples_.end(), speech.begin(), speech.end());
        synthesising_ = false;
    }
}

std::vector<float> SimSpeech::synthesize(const std::string& text, std::string& error) {
    ProcessResult result = runProcess({"espeak-ng", "-v", "en-us", "-s", "150", "--stdout", text},
                                      std::chrono::seconds(20));
    if (result.status != 0) {
        error = result.status < 0 ? "espeak-ng is not installed" : "espeak-ng failed";
        return {};
    }
    std::vector<float> samples;
    int rate = 0;
    if (!parseWav(result.output, samples, rate)) {
        error = "espeak-ng gave no WAV sound";
        return {};
    }
    return resample(samples, rate, kRate);
}

bool SimSpeech::parseWav(const std::string& bytes, std::vector<float>& samples, int& rate) {
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0)
        return false;
    int channels = 0, bits = 0, format = 0;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        std::string id = bytes.substr(at, 4);
        std::size_t size = le32(bytes, at + 4);
        std::size_t body = at + 8;
        if (id == "fmt " && body + 16 <= bytes.size()) {
            format = le16(bytes, body);
            channels = le16(bytes, body + 2);
            rate = static_cast<int>(le32(bytes, body + 4));
            bits = le16(bytes, body + 14);
        } else if (id == "data") {
            // A streamed WAV announces a size it never reaches: take what is there.
            std::size_t available = bytes.size() - body;
            size = std::min(size, available);
            if (format != 1 || bits != 16 || channels < 1 || rate <= 0)
                return false;
            std::size_t count = size / 2 / static_cast<std::size_t>(channels);
            samples.resize(count);
            for (std::size_t i = 0; i < count; ++i) {
                auto sample = static_cast<std::int16_t>(le16(bytes, body + i * 2 * channels));
                samples[i] = static_cast<float>(sample) / 32768.0f;
            }
            return true;
        }
        at = body + size + (size & 1);
    }
    return false;
}

std::vector<float> SimSpeech::resample(const std::vector<float>& samples, int from, int to) {
    if (samples.empty() || from <= 0 || to <= 0)
        return {};
    std::size_t count = samples.size() * static_cast<std::size_t>(to) / static_cast<std::size_t>(from);
    std::vector<float> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        double position = static_cast<double>(i) * from / to;
        auto index = static_cast<std::size_t>(position);
        double fraction = position - static_cast<double>(index);
        float a = samples[std::min(index, samples.size() - 1)];
        float b = samples[std::min(index + 1, samples.size() - 1)];
        out[i] = static_cast<float>(a + (b - a) * fraction);
    }
    return out;
}

} // namespace pokescope::sim
