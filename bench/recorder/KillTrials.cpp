#include "bench/recorder/KillTrials.hpp"

#include "bench/recorder/Processes.hpp"
#include "platform/MovieWriter.hpp"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

namespace recorderbench {

using namespace pokescope;

namespace {

constexpr int kWidth = 320, kHeight = 640, kFrameRate = 30, kPatternFrames = 30;
constexpr int kSoundRate = 48000, kSoundFrames = 480; // 10 ms buffers
constexpr double kShortest = 0.3, kLongest = 3.0;     // when the child is killed, seconds after its start

// A moving diagonal pattern with a bar sweeping down: every frame differs, as a live screen does.
std::vector<Image> patternFrames() {
    std::vector<Image> frames;
    for (int i = 0; i < kPatternFrames; ++i) {
        Image frame(kWidth, kHeight, Image::Format::bgra);
        const int bar = i * kHeight / kPatternFrames;
        for (int y = 0; y < kHeight; ++y) {
            std::uint8_t* p = frame.row(y);
            for (int x = 0; x < kWidth; ++x, p += 4) {
                const bool onBar = y >= bar && y < bar + 40;
                p[0] = static_cast<std::uint8_t>((x + 4 * i) ^ y);
                p[1] = onBar ? 255 : static_cast<std::uint8_t>(x / 2 + y / 4);
                p[2] = static_cast<std::uint8_t>(y - 8 * i);
                p[3] = 255;
            }
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

// A 440 Hz tone, `kSoundFrames` long, starting `at` seconds in.
AudioBuffer tone(double at) {
    AudioBuffer sound;
    sound.sampleRate = kSoundRate;
    sound.channels = 2;
    sound.samples.resize(2 * kSoundFrames);
    for (int i = 0; i < kSoundFrames; ++i) {
        const double t = at + static_cast<double>(i) / kSoundRate;
        sound.samples[2 * i] = sound.samples[2 * i + 1] = static_cast<float>(0.2 * std::sin(2 * M_PI * 440 * t));
    }
    return sound;
}

// The last line the child wrote, as a number; 0 when none. Each line goes out in one write, whole.
double lastReported(const std::string& out) {
    std::istringstream lines(out);
    std::string line, last;
    while (std::getline(lines, line))
        if (!line.empty())
            last = line;
    return std::atof(last.c_str());
}

// The first line of what a program said, for a report line.
std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

struct Outcome {
    double written = 0; // seconds the child handed to the writer
    MovieProbe probe;
    std::string childError;
};

Outcome killOnce(const std::filesystem::path& program, const std::filesystem::path& file, double after) {
    Outcome outcome;
    auto child = Child::spawn({program.string(), "--kill-child", file.string()}, false, outcome.childError);
    if (!child)
        return outcome;
    const auto killAt =
        SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(after));
    const bool ended = child->pump(killAt);
    child->kill(SIGKILL);
    child->pump();
    child->wait();
    if (ended) // it stopped by itself before the kill: it could not write
        outcome.childError = child->err().empty() ? "the child ended early" : child->err();
    outcome.written = lastReported(child->out());
    outcome.probe = probeMovie(file, true);
    return outcome;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void tally(KillFigures& figures, std::vector<double>& lags, const Outcome& outcome) {
    ++figures.trials;
    if (!outcome.probe.opened)
        return;
    ++figures.playable;
    figures.withFrames += outcome.probe.videoFrames > 0;
    const double lag = outcome.written - outcome.probe.videoEnd;
    lags.push_back(lag);
    figures.within += std::abs(lag) <= KillFigures::kTolerance;
}

void reportOddOne(int trial, double after, const Outcome& outcome) {
    const double lag = outcome.written - outcome.probe.videoEnd;
    if (outcome.probe.opened && std::abs(lag) <= KillFigures::kTolerance && outcome.childError.empty())
        return;
    std::string note;
    if (!outcome.childError.empty())
        note += ", child: " + firstLine(outcome.childError);
    if (!outcome.probe.opened)
        note += ", ffprobe: " + firstLine(outcome.probe.error);
    std::printf("kills: trial %d (killed after %.2f s): written %.2f s, file plays %.2f s (%ld frames)%s\n", trial,
                after, outcome.written, outcome.probe.videoEnd, outcome.probe.videoFrames, note.c_str());
}

} // namespace

int writeUntilKilled(const std::filesystem::path& file) {
    MovieSettings settings;
    settings.file = file;
    settings.width = kWidth;
    settings.height = kHeight;
    settings.videoBitRate = 1'000'000;
    settings.frameRate = kFrameRate;
    settings.audio = true;
    std::string error;
    auto writer = MovieWriter::create(settings, error);
    if (!writer) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const auto frames = patternFrames();
    const auto start = SteadyClock::now();
    double soundUntil = 0;
    for (long i = 0;; ++i) {
        std::this_thread::sleep_until(start + std::chrono::duration<double>(static_cast<double>(i) / kFrameRate));
        const double now = std::chrono::duration<double>(SteadyClock::now() - start).count();
        for (; soundUntil < now; soundUntil += static_cast<double>(kSoundFrames) / kSoundRate)
            writer->appendAudio(tone(soundUntil), soundUntil);
        const auto time = static_cast<std::int64_t>(std::llround(now * MovieWriter::kTimeScale));
        if (writer->readyForVideo() && writer->appendVideo(frames[static_cast<std::size_t>(i) % frames.size()], time)) {
            std::printf("%.4f\n", now + 1.0 / kFrameRate);
            std::fflush(stdout);
        }
    }
}

KillFigures killTrials(const std::filesystem::path& program, const std::filesystem::path& folder, int trials) {
    std::mt19937 random(2024);
    std::uniform_real_distribution<double> moment(kShortest, kLongest);
    KillFigures figures;
    std::vector<double> lags;
    for (int trial = 1; trial <= trials; ++trial) {
        const double after = moment(random);
        const auto file = folder / ("killed-" + std::to_string(trial) + ".mp4");
        const Outcome outcome = killOnce(program, file, after);
        tally(figures, lags, outcome);
        reportOddOne(trial, after, outcome);
        if (trial % 10 == 0 || trial == trials) {
            std::printf("kills: %d/%d done, %d playable so far\n", trial, trials, figures.playable);
            std::fflush(stdout);
        }
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
    }
    figures.medianLag = median(lags);
    figures.maxLag = lags.empty() ? 0 : *std::max_element(lags.begin(), lags.end());
    return figures;
}

} // namespace recorderbench
