// The screen recorder on a busy simulated phone: for each quality, a recording with the overlay and sound
// (how well the frame clock kept time, the CPU the recorder adds to the phone's own, the file's size per
// minute and what ffprobe finds in it); our movie writer against the ffmpeg command line on the same
// frames; and recordings killed at random moments, to see what they leave behind.
//
// Usage: recorder-bench [--seconds N] [--kills N] [--skip-kills]
// (--kill-child FILE is the child the kill trials start.)
#include "bench/recorder/BusyPhone.hpp"
#include "bench/recorder/EncoderRace.hpp"
#include "bench/recorder/KillTrials.hpp"
#include "bench/recorder/Processes.hpp"
#include "core/Log.hpp"
#include "media/ScreenRecorder.hpp"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace pokescope;
using namespace recorderbench;
using namespace std::chrono_literals;

namespace {

constexpr double kTicksPerSecond = ScreenRecorder::kFramesPerSecond;
constexpr double kMissedGoalPercent = 0.5;
constexpr double kRecorderGoalCores = 1.5;
constexpr long kRaceSeconds = 20;
constexpr int kRaceFrames = 60;

struct Options {
    int seconds = 60;
    int kills = 100;
    bool skipKills = false;
    std::optional<std::filesystem::path> killChild;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--seconds") == 0 && hasValue)
            options.seconds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--kills") == 0 && hasValue)
            options.kills = std::max(0, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--skip-kills") == 0)
            options.skipKills = true;
        else if (std::strcmp(argv[i], "--kill-child") == 0 && hasValue)
            options.killChild = argv[++i];
    }
    return options;
}

int bitRate(AppSettings::Quality quality) { return quality == AppSettings::Quality::full ? 8'000'000 : 3'000'000; }
// What the settings say a minute of recording takes.
double labelledMegabytesPerMinute(AppSettings::Quality quality) {
    return quality == AppSettings::Quality::full ? 30 : 10;
}

struct Recording {
    AppSettings::Quality quality = AppSettings::Quality::full;
    std::string error; // empty when the recording ran
    double seconds = 0;      // from start to stop
    double phoneCores = 0;   // the phone alone, just before
    double withRecorder = 0; // the phone and the recorder
    ScreenRecorder::TickStats ticks;
    ScreenRecorder::Result result;
    MovieProbe probe;

    double expected() const { return kTicksPerSecond * seconds; }
    double missedPercent() const {
        return expected() > 0 ? 100.0 * static_cast<double>(ticks.busy + ticks.late) / expected() : 0;
    }
    double recorderCores() const { return withRecorder - phoneCores; }
    double megabytesPerMinute() const {
        const double length = probe.duration > 0 ? probe.duration : seconds;
        return length > 0 ? static_cast<double>(result.bytes) / 1e6 * 60 / length : 0;
    }
};

// This process's CPU use in cores over `seconds` of waiting.
double coresOver(int seconds) {
    CpuMeter meter;
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    return meter.cores();
}

Recording record(BusyPhone& phone, ScreenRecorder& recorder, AppSettings::Quality quality, int seconds) {
    Recording recording;
    recording.quality = quality;
    phone.settings().setQuality(quality);
    recording.phoneCores = coresOver(seconds);
    try {
        recorder.start(true, true, std::nullopt);
        CpuMeter meter;
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        recording.withRecorder = meter.cores();
        recording.seconds = meter.wallSeconds();
        recording.ticks = recorder.tickStats();
        recording.result = recorder.stop();
    } catch (const std::exception& e) {
        recording.error = e.what();
        return recording;
    }
    recording.probe = probeMovie(recording.result.url, false);
    return recording;
}

void printRecording(const Recording& r) {
    const char* name = AppSettings::rawValue(r.quality);
    if (!r.error.empty()) {
        std::printf("%s: could not record: %s\n", name, r.error.c_str());
        return;
    }
    const auto& t = r.ticks;
    std::printf("%s: ticks expected %.0f (30 x %.1f s), ran %ld, appended %ld, busy %ld, late %ld\n", name,
                r.expected(), r.seconds, t.ticks, t.appended, t.busy, t.late);
    std::printf("%s: late or skipped %.2f %% (goal under %.1f %%)\n", name, r.missedPercent(), kMissedGoalPercent);
    std::printf("%s: CPU phone alone %.2f cores, phone + recorder %.2f cores, recorder %.2f cores (goal under %.1f)\n",
                name, r.phoneCores, r.withRecorder, r.recorderCores(), kRecorderGoalCores);
    std::printf("%s: file %.1f MB, %.1f MB per minute (settings label: about %.0f MB per minute)%s%s\n", name,
                static_cast<double>(r.result.bytes) / 1e6, r.megabytesPerMinute(),
                labelledMegabytesPerMinute(r.quality), r.result.stoppedBecause ? ", stopped because " : "",
                r.result.stoppedBecause.value_or("").c_str());
    const auto& p = r.probe;
    if (!p.opened) {
        std::printf("%s: ffprobe could not read the file: %s\n", name, p.error.c_str());
        return;
    }
    std::printf("%s: ffprobe: %s %s %dx%d, %.2f s, %ld video packets; audio %s\n", name, p.videoCodec.c_str(),
                p.profile.c_str(), p.width, p.height, p.duration, p.videoFrames,
                p.audio ? (p.audioCodec + " " + std::to_string(p.sampleRate) + " Hz " +
                           std::to_string(p.channels) + " ch").c_str()
                        : "missing");
}

// The recordings at both qualities on the busy phone, then the frames for the encoder race.
std::vector<Recording> recordings(const std::filesystem::path& folder, int seconds, std::vector<Image>& frames) {
    BusyPhone phone(folder);
    if (!phone.start(60s))
        throw std::runtime_error("the simulated phone showed no screen within a minute");
    phone.startActivity();
    std::vector<Recording> done;
    {
        ScreenRecorderOptions options;
        options.folder = [folder] { return folder / "recordings"; };
        options.log = [](const std::string&) {};
        ScreenRecorder recorder(phone.capture(), phone.settings(), phone.mainQueue(), options);
        phone.setMarkSink([&recorder](const ActionMark& mark) { recorder.mark(mark); });
        for (auto quality : {AppSettings::Quality::full, AppSettings::Quality::smaller}) {
            done.push_back(record(phone, recorder, quality, seconds));
            printRecording(done.back());
            std::fflush(stdout);
        }
        phone.setMarkSink({});
    }
    frames = composedFrames(phone, kRaceFrames);
    return done;
}

void printEncoder(const EncoderFigures& e) {
    std::printf("encode: %-20s %ld frames in %.1f s: %.1f frames per second, %.1f ms CPU per frame, %.1f MB%s%s\n",
                e.name.c_str(), e.frames, e.wallSeconds, e.framesPerSecond(), e.cpuMillisecondsPerFrame(),
                static_cast<double>(e.bytes) / 1e6, e.error.empty() ? "" : ", failed: ", e.error.c_str());
}

std::vector<EncoderFigures> race(const std::filesystem::path& folder, const std::vector<Image>& frames) {
    if (frames.empty())
        throw std::runtime_error("no frames to encode");
    const long count = kRaceSeconds * static_cast<long>(kTicksPerSecond);
    const int rate = bitRate(AppSettings::Quality::full);
    std::printf("encode: %zu distinct %dx%d frames, cycled to %ld frames (%ld s at 30 per second), %d bit/s\n",
                frames.size(), frames.front().width(), frames.front().height(), count, kRaceSeconds, rate);
    std::vector<EncoderFigures> figures{encodeWithCommandLine(frames, count, rate, folder / "command-line.mp4"),
                                        encodeWithWriter(frames, count, rate, folder / "writer.mp4")};
    for (const auto& e : figures)
        printEncoder(e);
    return figures;
}

void printKills(const KillFigures& k) {
    std::printf("kills: %d/%d playable (%d with at least one frame), within %.0f s: %d/%d, lag median %.2f s, "
                "max %.2f s\n",
                k.playable, k.trials, k.withFrames, KillFigures::kTolerance, k.within, k.trials, k.medianLag, k.maxLag);
}

void printSummary(const std::vector<Recording>& recorded, const std::vector<EncoderFigures>& encoders,
                  const std::optional<KillFigures>& kills, double loadBefore) {
    std::printf("\n== recorder summary (load average %.2f before, %.2f after, on %ld cores) ==\n", loadBefore,
                loadAverage(), ::sysconf(_SC_NPROCESSORS_ONLN));
    for (const auto& r : recorded) {
        if (r.error.empty())
            std::printf("%-8s %dx%d: late or skipped %.2f %% (goal < %.1f %%), recorder %.2f cores (goal < %.1f), "
                        "%.1f MB/min (label ~%.0f), %s %s, audio %s\n",
                        AppSettings::rawValue(r.quality), r.probe.width, r.probe.height, r.missedPercent(),
                        kMissedGoalPercent, r.recorderCores(), kRecorderGoalCores, r.megabytesPerMinute(),
                        labelledMegabytesPerMinute(r.quality), r.probe.videoCodec.c_str(), r.probe.profile.c_str(),
                        r.probe.audio ? "yes" : "no");
        else
            std::printf("%-8s could not record: %s\n", AppSettings::rawValue(r.quality), r.error.c_str());
    }
    for (const auto& e : encoders)
        std::printf("encode   %-20s %.1f fps, %.1f ms CPU per frame%s\n", e.name.c_str(), e.framesPerSecond(),
                    e.cpuMillisecondsPerFrame(), e.error.empty() ? "" : " (failed)");
    if (kills)
        std::printf("kills    %d/%d playable (%d with at least one frame), within %.0f s: %d/%d, median lag %.2f s\n",
                    kills->playable, kills->trials, kills->withFrames, KillFigures::kTolerance, kills->within,
                    kills->trials, kills->medianLag);
    else
        std::printf("kills    skipped\n");
}

// A home of its own: the log, settings and recordings of the bench never touch the user's, and the
// console shows the figures only.
void quieten(const std::filesystem::path& home) {
    ::setenv("HOME", home.c_str(), 1);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"})
        ::unsetenv(name);
    Log::shared().configure(Log::FileMode::append, -1);
    av_log_set_level(AV_LOG_ERROR);
}

bool allRan(const std::vector<Recording>& recorded, const std::vector<EncoderFigures>& encoders) {
    return std::all_of(recorded.begin(), recorded.end(), [](const Recording& r) { return r.error.empty(); }) &&
           std::all_of(encoders.begin(), encoders.end(), [](const EncoderFigures& e) { return e.error.empty(); });
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    if (options.killChild)
        return writeUntilKilled(*options.killChild);
    std::signal(SIGPIPE, SIG_IGN); // a child that stops reading its input fails the write, not the bench

    const auto folder = std::filesystem::temp_directory_path() / ("recorder-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    quieten(folder);
    const double loadBefore = loadAverage();
    std::printf("recorder: %d s per quality with overlay and sound, on the busy simulated phone (load average %.2f)\n",
                options.seconds, loadBefore);
    std::fflush(stdout);
    int status = 0;
    try {
        std::vector<Image> frames;
        const auto recorded = recordings(folder, options.seconds, frames);
        const auto encoders = race(folder, frames);
        std::vector<Image>().swap(frames); // a gigabyte the kill trials do not need
        std::optional<KillFigures> kills;
        if (!options.skipKills) {
            kills = killTrials(std::filesystem::read_symlink("/proc/self/exe"), folder, options.kills);
            printKills(*kills);
        }
        printSummary(recorded, encoders, kills, loadBefore);
        status = allRan(recorded, encoders) ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "recorder-bench: %s\n", e.what());
        status = 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status;
}
