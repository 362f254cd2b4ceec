// The simulated phone's speech: text spoken with espeak-ng (synthesised on a worker thread, never
// downloaded), resampled to 48 kHz and played out in real time by the phone's sound thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pokescope::sim {

class SimSpeech {
public:
    static constexpr int kRate = 48000;

    SimSpeech();
    ~SimSpeech();
    SimSpeech(const SimSpeech&) = delete;
    SimSpeech& operator=(const SimSpeech&) = delete;

    // Queues `text` to be spoken after what is playing now.
    void say(const std::string& text);
    // The next samples of speech (48 kHz mono), at most `frames`; fewer or none when speech ends.
    std::vector<float> take(std::size_t frames);
    bool playing() const;

    // `text` spoken as 48 kHz mono samples; empty with `error` set when espeak-ng cannot speak.
    static std::vector<float> synthesize(const std::string& text, std::string& error);
    // A PCM WAV file as mono samples at its own rate; false when it is not one.
    static bool parseWav(const std::string& bytes, std::vector<float>& samples, int& rate);
    // Linear resampling from `from` to `to` samples a second.
    static std::vector<float> resample(const std::vector<float>& samples, int from, int to);

private:
    void work();

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool running_ = true;
    std::deque<std::string> requests_;
    bool synthesising_ = false;
    std::deque<float> samples_;
    std::map<std::string, std::vector<float>> cache_;
    std::thread worker_;
};

} // namespace pokescope::sim
