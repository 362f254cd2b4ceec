// File transcription: our transcriber against PocketSphinx's own command-line transcriber
// (pocketsphinx_continuous with its default settings, one process a file) on the same recordings in the
// same run: human readers (a reading a file, and all of them in one file with pauses between), and
// synthesised sentences clean and in pink noise. For each corpus and system:
// the word error rate (our word alignment, and sclite's on the same words when sctk is installed) and the
// real-time factor (wall time over audio time). Ours is timed over the whole `transcribe` call, file
// decoding included, with the decoder pool already loaded; its first call's load is measured apart. The
// command line is timed as a whole process, and again less its model load (its time on 0.1 s of silence).
//
// Usage: transcribe-bench [--corpus human|synthetic|all] [--keep DIR] [--snr DB] [--phases N] [--diagnose]
// --keep DIR keeps the audio, the transcripts and sclite's input files in DIR. --phases N runs every
// recording N times, each starting a further 1/N of the decoders' 10 ms frame step later, and adds up the
// errors: one phase alone can move a corpus's error rate by several points (the recogniser's words change
// with the frames' alignment), so comparisons closer than that want several phases. --diagnose adds two rows:
// our recogniser given each whole file as one task (without the transcriber's stretches), and the command
// line on each file with its first 3 ms cut off, which shows how far the word error rate moves when
// nothing but the analysis frames' alignment changes.
#include "bench/transcribe/TranscribeCorpora.hpp"
#include "bench/transcribe/TranscribeScoring.hpp"

#include "media/Transcriber.hpp"
#include "platform/Preferences.hpp"
#include "platform/Process.hpp"
#include "platform/SoundFile.hpp"
#include "platform/linux/PocketSphinxSpeech.hpp"
#include "sim/SimCapture.hpp"
#include "sim/SimPhone.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

using namespace pokescope;
using namespace pokescope::bench;
using namespace std::chrono_literals;

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr double kGoalRtf = 0.3;
constexpr const char* kCommandLine = "pocketsphinx_continuous";
constexpr int kLoadRuns = 3;

struct Options {
    bool human = true;
    bool synthetic = true;
    std::optional<std::filesystem::path> keep;
    double snr = 15;
    int phases = 1;
    bool diagnose = false;
    bool valid = true;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--corpus") == 0 && hasValue) {
            const std::string which = argv[++i];
            options.human = which == "human" || which == "all";
            options.synthetic = which == "synthetic" || which == "all";
            options.valid = options.valid && (options.human || options.synthetic);
        } else if (std::strcmp(argv[i], "--keep") == 0 && hasValue) {
            options.keep = argv[++i];
        } else if (std::strcmp(argv[i], "--snr") == 0 && hasValue) {
            options.snr = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--phases") == 0 && hasValue) {
            options.phases = std::clamp(std::atoi(argv[++i]), 1, 16);
        } else if (std::strcmp(argv[i], "--diagnose") == 0) {
            options.diagnose = true;
        } else {
            options.valid = false;
        }
    }
    return options;
}

double since(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

double loadAverage() {
    std::ifstream in("/proc/loadavg");
    double load = 0;
    in >> load;
    return load;
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (::access((std::filesystem::path(dir.empty() ? "." : dir) / program).c_str(), X_OK) == 0)
            return true;
    return false;
}

// What one system made of one recording.
struct Heard {
    std::string text;
    double wall = 0; // seconds
    std::string note;
    std::string error; // empty when it ran
};

enum SystemId { kOurs, kCli, kOneTask, kCliShifted, kSystems };
constexpr std::array<const char*, kSystems> kSystemNames{"ours (Transcriber)", "pocketsphinx_continuous",
                                                         "recogniser, one task a file",
                                                         "command line, 3 ms later"};
constexpr std::array<const char*, kSystems> kSystemShort{"ours", "cli", "task", "cli3"};
constexpr int kShiftSamples = 48;  // 3 ms: under a third of the decoder's 10 ms frame step
constexpr int kFrameSamples = 160; // the decoder's frame step, 10 ms at 16 kHz

// Our transcriber and what it logs.
class Ours {
public:
    explicit Ours(const std::filesystem::path& folder)
        : store_(folder / "settings.json"), settings_(store_),
          capture_(std::make_shared<sim::SimCapture>(std::make_shared<sim::SimPhone>()), main_, settings_) {
        Transcriber::Options options;
        options.log = [this](const std::string& line) {
            std::lock_guard lock(logLock_);
            lastLog_ = line;
        };
        transcriber_ = std::make_unique<Transcriber>(capture_, settings_, options);
    }

    Heard transcribe(const std::filesystem::path& file) {
        Heard heard;
        const auto started = SteadyClock::now();
        try {
            const auto result = transcriber_->transcribe(file, std::string("en-US"));
            heard.wall = since(started);
            for (const auto& line : result.lines)
                heard.text += (heard.text.empty() ? "" : " ") + line.text;
            std::lock_guard lock(logLock_);
            // "transcriber: <name>: 3 stretches of sound, 4 lines"
            const auto at = lastLog_.rfind(": ");
            heard.note = at == std::string::npos ? lastLog_ : lastLog_.substr(at + 2);
        } catch (const std::exception& e) {
            heard.wall = since(started);
            heard.error = e.what();
        }
        return heard;
    }

    // The whole file as one recognition task, without the transcriber's stretches: every utterance's
    // last hypothesis, in order.
    Heard oneTask(const std::filesystem::path& file) {
        struct Collected {
            std::mutex lock;
            std::condition_variable ended;
            std::map<long, std::vector<SpeechSegment>> utterances;
            std::optional<SpeechError> error;
            bool done = false;
        };
        Heard heard;
        const auto started = SteadyClock::now();
        try {
            auto recognizer = transcriber_->recognizer(std::string("en-US"));
            auto collected = std::make_shared<Collected>();
            auto task = recognizer->start([collected](const std::optional<SpeechTranscription>& hypothesis,
                                                      bool isFinal, const std::optional<SpeechError>& error) {
                std::lock_guard lock(collected->lock);
                if (hypothesis)
                    collected->utterances[hypothesis->utterance] = hypothesis->segments;
                if (error)
                    collected->error = error;
                if (isFinal || error) {
                    collected->done = true;
                    collected->ended.notify_all();
                }
            });
            auto sound = SoundFile::open(file.string(), 20s);
            sound->startReading();
            while (auto buffer = sound->read())
                task->append(buffer->samples.data(), buffer->samples.size());
            task->endAudio();
            std::unique_lock lock(collected->lock);
            if (!collected->ended.wait_for(lock, 10min, [&] { return collected->done; }))
                heard.error = "no final result";
            if (collected->error && collected->error->code != SpeechError::noSpeech)
                heard.error = collected->error->description;
            for (const auto& [number, segments] : collected->utterances)
                for (const auto& segment : segments)
                    heard.text += (heard.text.empty() ? "" : " ") + segment.substring;
            heard.note = std::to_string(collected->utterances.size()) + " utterances";
        } catch (const std::exception& e) {
            heard.error = e.what();
        }
        heard.wall = since(started);
        return heard;
    }

    // Decoders the machine's recogniser has loaded so far.
    static std::size_t decodersLoaded() {
        auto backend = std::dynamic_pointer_cast<PocketSphinxBackend>(SpeechBackend::system());
        return backend ? backend->decodersLoaded() : 0;
    }

private:
    Preferences store_;
    AppSettings settings_;
    DispatchQueue main_{"bench.main"};
    ScreenCapture capture_;
    std::mutex logLock_;
    std::string lastLog_;
    std::unique_ptr<Transcriber> transcriber_;
};

Heard commandLine(const std::filesystem::path& file) {
    Heard heard;
    const auto started = SteadyClock::now();
    const auto result = runProcess({kCommandLine, "-infile", file.string(), "-logfn", "/dev/null"}, 10min);
    heard.wall = since(started);
    if (result.status != 0)
        heard.error =
            kCommandLine +
            std::string(result.status < 0 ? ": cannot start" : ": status " + std::to_string(result.status));
    std::istringstream lines(result.output);
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line);)
        if (line.find_first_not_of(" \t\r") != std::string::npos) {
            heard.text += (heard.text.empty() ? "" : " ") + line;
            ++count;
        }
    heard.note = std::to_string(count) + " utterances";
    return heard;
}

// `file` less its first `samples` samples, written to `to`.
std::filesystem::path trimmed(const std::filesystem::path& file, const std::filesystem::path& to,
                              int samples) {
    runTool({"sox", "-V1", "-R", file.string(), to.string(), "trim", std::to_string(samples) + "s"});
    return to;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Figures of one system over a set of recordings.
struct Figures {
    ErrorCounts counts;
    std::optional<ErrorCounts> scored; // sclite's
    std::string scliteError;
    double audio = 0, wall = 0, loads = 0; // loads: the command line's model loads within `wall`
    int failures = 0;
    double rtf() const { return audio > 0 ? wall / audio : 0; }
    double rtfWithoutLoad() const { return audio > 0 ? std::max(0.0, wall - loads) / audio : 0; }
};

std::string fixed(double value, int decimals, int width) {
    char text[64];
    std::snprintf(text, sizeof text, "%*.*f", width, decimals, value);
    return text;
}

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    if (!options.valid) {
        std::fprintf(stderr, "usage: transcribe-bench [--corpus human|synthetic|all] [--keep DIR] [--snr DB] "
                             "[--phases N] [--diagnose]\n");
        return 2;
    }
    for (const char* program : {kCommandLine, "sox", "espeak-ng"})
        if (!onPath(program)) {
            std::fprintf(stderr, "transcribe-bench: %s is not installed (scripts/install-deps)\n", program);
            return 1;
        }
    const auto folder = options.keep ? *options.keep
                                     : std::filesystem::temp_directory_path() /
                                           ("transcribe-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    const auto scliteProgram = findSclite();
    std::vector<SystemId> systems{kOurs, kCli};
    if (options.diagnose) {
        systems.push_back(kOneTask);
        systems.push_back(kCliShifted);
    }

    int status = 0;
    try {
        // ---- The audio ----
        const auto madeAt = SteadyClock::now();
        std::vector<Corpus> corpora;
        if (options.human)
            for (auto& corpus : humanCorpora(folder))
                corpora.push_back(std::move(corpus));
        if (options.synthetic)
            for (auto& corpus : syntheticCorpora(folder, options.snr))
                corpora.push_back(std::move(corpus));
        const auto warmup = folder / "warmup.wav";
        runTool({"sox", "-V1", "-R", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1",
                 "/usr/share/pocketsphinx/test/data/goforward.raw", warmup.string()});
        const auto quiet = silence(folder, 0.1);

        std::printf(
            "transcribe: our transcriber against %s (default settings, one process a file), same files, "
            "same run (load average %.2f)\n",
            kCommandLine, loadAverage());
        for (const auto& corpus : corpora) {
            long words = 0;
            for (const auto& r : corpus.recordings)
                words += static_cast<long>(scoredWords(r.reference).size());
            std::printf("  %-16s %2zu files, %6.1f s, %4ld words: %s\n", corpus.name.c_str(),
                        corpus.recordings.size(), corpus.seconds(), words, corpus.about.c_str());
        }
        std::printf("  audio made in %.1f s in %s\n", since(madeAt), folder.c_str());
        std::fflush(stdout);

        // ---- Loads ----
        Ours ours(folder);
        const std::size_t before = Ours::decodersLoaded();
        const auto first = ours.transcribe(warmup);
        const std::size_t loadedFirst = Ours::decodersLoaded() - before;
        const double later = std::min(ours.transcribe(warmup).wall, ours.transcribe(warmup).wall);
        if (!first.error.empty())
            throw std::runtime_error("our transcriber: " + first.error);
        std::printf(
            "our decoder pool: first call %.2f s (%zu decoder%s loaded), later calls %.2f s: load %.2f s "
            "(%.2f s of speech)\n",
            first.wall, loadedFirst, loadedFirst == 1 ? "" : "s", later, first.wall - later,
            readWave(warmup).seconds());
        std::vector<double> quietRuns;
        for (int k = 0; k < kLoadRuns; ++k)
            quietRuns.push_back(commandLine(quiet).wall);
        const double cliLoad = median(quietRuns);
        std::printf("%s: 0.1 s of silence takes %.2f s (its model load; median of %d)\n\n", kCommandLine,
                    cliLoad, kLoadRuns);
        std::fflush(stdout);

        // ---- Each recording through each system ----
        std::printf("%-22s %7s %5s", "recording", "audio s", "words");
        for (auto system : systems)
            std::printf(" | %-4s %4s %6s %5s", kSystemShort[system], "err", "WER", "RTF");
        std::printf(" | notes (ours; cli)\n");
        std::ofstream transcripts(folder / "transcripts.txt");
        std::vector<std::array<Figures, kSystems>> figures(corpora.size());
        std::array<std::vector<ScoredUtterance>, kSystems> everything;
        for (std::size_t c = 0; c < corpora.size(); ++c) {
            std::array<std::vector<ScoredUtterance>, kSystems> utterances;
            for (const auto& recording : corpora[c].recordings) {
                const auto reference = scoredWords(recording.reference);
                std::printf("%-22s %7.2f %5zu", recording.id.c_str(), recording.seconds * options.phases,
                            reference.size() * static_cast<std::size_t>(options.phases));
                std::fflush(stdout);
                transcripts << recording.id << "\n  reference: " << recording.reference << "\n";
                std::array<ErrorCounts, kSystems> counts;
                std::array<double, kSystems> wall{};
                std::string notes;
                for (int phase = 0; phase < options.phases; ++phase) {
                    // The same sound starting a fraction of the decoders' 10 ms frame step later.
                    const int cut = phase * kFrameSamples / options.phases;
                    const std::string id = recording.id + (phase ? "_p" + std::to_string(phase) : "");
                    const auto file =
                        phase ? trimmed(recording.file, folder / (id + ".wav"), cut) : recording.file;
                    for (auto system : systems) {
                        Heard heard;
                        if (system == kOurs)
                            heard = ours.transcribe(file);
                        else if (system == kCli)
                            heard = commandLine(file);
                        else if (system == kOneTask)
                            heard = ours.oneTask(file);
                        else
                            heard = commandLine(trimmed(file, folder / (id + "-later.wav"), kShiftSamples));
                        counts[system] += align(reference, scoredWords(heard.text));
                        wall[system] += heard.wall;
                        auto& f = figures[c][system];
                        f.audio += recording.seconds;
                        f.wall += heard.wall;
                        if (system == kCli || system == kCliShifted)
                            f.loads += cliLoad;
                        if (!heard.error.empty())
                            ++f.failures;
                        utterances[system].push_back({id, recording.reference, heard.text});
                        transcripts << "  " << padded(kSystemShort[system], 4)
                                    << (phase ? " +" + std::to_string(cut) + "  " : "      ") << heard.text
                                    << (heard.error.empty() ? "" : "  [error: " + heard.error + "]") << "  ["
                                    << heard.note << "]\n";
                        if (phase == 0 && (system == kOurs || system == kCli))
                            notes += (notes.empty() ? "" : "; ") +
                                     (heard.error.empty() ? heard.note : heard.error);
                    }
                }
                for (auto system : systems) {
                    figures[c][system].counts += counts[system];
                    std::printf(" | %-4s %4ld %5.1f%% %5.2f", "", counts[system].errors(),
                                counts[system].wer(), wall[system] / (recording.seconds * options.phases));
                }
                std::printf(" | %s\n", notes.c_str());
                std::fflush(stdout);
            }
            for (auto system : systems) {
                auto& f = figures[c][system];
                const std::string name =
                    kSystemShort[system] + std::string("-") + std::to_string(c); // file names without spaces
                if (scliteProgram) {
                    const auto [ref, hyp] = writeTrn(folder, name, utterances[system]);
                    f.scored = sclite(*scliteProgram, ref, hyp, f.scliteError);
                }
                everything[system].insert(everything[system].end(), utterances[system].begin(),
                                          utterances[system].end());
            }
        }
        transcripts.close();

        // ---- The table ----
        std::printf("\n%-16s %-28s %5s %4s %4s %4s %6s %7s %6s %9s | %s\n", "corpus", "system", "words",
                    "sub", "del", "ins", "WER %", "sclite", "RTF", "RTF-load",
                    "goals (ours): RTF <= 0.3, WER <= command line's");
        auto row = [&](const std::string& corpus, SystemId system, const Figures& f, const Figures& cli) {
            std::string scored = "     -";
            if (f.scored)
                scored = fixed(f.scored->wer(), 1, 6) + (*f.scored == f.counts ? " " : "*");
            else if (!f.scliteError.empty())
                scored = "  fail";
            std::string goals;
            if (system == kOurs)
                goals = std::string("RTF ") + (f.rtf() <= kGoalRtf ? "met" : "MISSED") + ", WER " +
                        (f.counts.wer() <= cli.counts.wer() ? "met" : "MISSED") + " (" +
                        fixed(f.counts.wer() - cli.counts.wer(), 1, 0) + " points)";
            if (f.failures)
                goals += (goals.empty() ? "" : "; ") + std::to_string(f.failures) + " failed";
            std::printf("%-16s %-28s %5ld %4ld %4ld %4ld %6.1f %7s %6.2f %9s | %s\n", corpus.c_str(),
                        kSystemNames[system], f.counts.reference, f.counts.substituted, f.counts.deleted,
                        f.counts.inserted, f.counts.wer(), scored.c_str(), f.rtf(),
                        system == kCli || system == kCliShifted ? fixed(f.rtfWithoutLoad(), 2, 9).c_str()
                                                                : "-",
                        goals.c_str());
        };
        std::array<Figures, kSystems> total;
        for (std::size_t c = 0; c < corpora.size(); ++c)
            for (auto system : systems) {
                row(system == systems.front() ? corpora[c].name : "", system, figures[c][system],
                    figures[c][kCli]);
                auto& t = total[system];
                t.counts += figures[c][system].counts;
                t.audio += figures[c][system].audio;
                t.wall += figures[c][system].wall;
                t.loads += figures[c][system].loads;
                t.failures += figures[c][system].failures;
            }
        if (corpora.size() > 1)
            for (auto system : systems) {
                if (scliteProgram) {
                    const auto [ref, hyp] =
                        writeTrn(folder, kSystemShort[system] + std::string("-all"), everything[system]);
                    total[system].scored = sclite(*scliteProgram, ref, hyp, total[system].scliteError);
                }
                row(system == systems.front() ? "all" : "", system, total[system], total[kCli]);
            }
        std::printf(
            "\nWER: our word alignment (sclite's weights); sclite: sctk's figure on the same words%s. "
            "RTF: wall time / audio time; ours with its decoder pool loaded, the command line as whole "
            "processes; RTF-load: less its model load (%.2f s a file).%s\n",
            scliteProgram ? " (* where its counts differ from ours)" : " (not installed)", cliLoad,
            options.keep ? (" Transcripts: " + (folder / "transcripts.txt").string() + ".").c_str() : "");
        std::printf("load average at the end %.2f\n", loadAverage());
        for (const auto& f : total)
            if (f.failures)
                status = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "transcribe-bench: %s\n", e.what());
        status = 1;
    }
    std::fflush(stdout);
    if (!options.keep) {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    // Recognition threads and queue threads may outlive main's objects' destructors; leave without
    // running static destructors under them.
    exitProcess(status);
}
