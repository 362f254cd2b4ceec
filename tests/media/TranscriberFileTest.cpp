// Movies transcribed with the machine's real recogniser and decoders: speech synthesised with known pauses
// and starting late in the movie (its stretches and their times, which a wrong resampling or time line would
// move), and the files that cannot be transcribed, each with its sentence.
#include "media/Transcriber.hpp"

#include "platform/Preferences.hpp"
#include "sim/SimCapture.hpp"
#include "sim/SimPhone.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using ErrorCase = Transcriber::ErrorCase;

namespace {

// Runs a tool found on the PATH and expects it to succeed.
void run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/usr/bin/env");
    Child child(arguments);
    const auto status = child.wait(120s);
    ASSERT_TRUE(status.has_value() && *status == 0) << arguments[1] << ": " << child.errors();
}

class TranscriberFileTest : public testing::Test {
protected:
    TempFolder folder;
    Preferences store{folder.path() / "settings.json"};
    AppSettings settings{store};
    DispatchQueue main{"test.main"};
    NotificationCenter notifications;
    ScreenCapture capture{std::make_shared<sim::SimCapture>(std::make_shared<sim::SimPhone>()), main, settings,
                          notifications};
    std::mutex logMutex;
    std::string lastLogLine;
    std::unique_ptr<Transcriber> transcriber;

    void SetUp() override {
        Transcriber::Options options;
        options.log = [this](const std::string& line) {
            std::lock_guard lock(logMutex);
            lastLogLine = line;
        };
        transcriber = std::make_unique<Transcriber>(capture, settings, notifications, options);
    }
    std::string failure(const std::filesystem::path& file, ErrorCase expected) {
        try {
            transcriber->transcribe(file, std::nullopt);
        } catch (const Transcriber::TranscribeError& e) {
            EXPECT_EQ(e.which, expected) << e.what();
            return e.what();
        }
        ADD_FAILURE() << "no transcription error";
        return {};
    }
    std::string lastLog() { return std::lock_guard(logMutex), lastLogLine; }
};

} // namespace

TEST_F(TranscriberFileTest, SynthesisedSentencesWithPausesBecomeStretchesTimedFromTheMoviesZero) {
    // Three sentences, 2 s apart, in a movie whose sound track starts 1.5 s in.
    const std::vector<std::string> sentences{"The weather is mild today.", "Open the settings and look.",
                                             "Thank you for listening."};
    std::vector<std::string> concat{"sox"};
    std::vector<double> onsets;
    double at = 1.5;
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        const auto wav = folder.path() / ("s" + std::to_string(i) + ".wav");
        run({"espeak-ng", "-v", "en-us", "-s", "150", "-w", wav.string(), sentences[i]});
        const auto trimmed = folder.path() / ("t" + std::to_string(i) + ".wav");
        // Trimmed to the speech itself, so that its onset is known exactly, and followed by 2 s of silence.
        run({"sox", wav.string(), "-r", "22050", trimmed.string(), "silence", "1", "0.01", "1%", "reverse", "silence",
             "1", "0.01", "1%", "reverse", "pad", "0", "2.0"});
        Child length({"/usr/bin/env", "soxi", "-D", trimmed.string()});
        length.wait(30s);
        onsets.push_back(at);
        at += std::stod(length.output());
        concat.push_back(trimmed.string());
    }
    const auto speech = folder.path() / "speech.wav";
    concat.push_back(speech.string());
    run(concat);
    const auto movie = folder.path() / "late sound.mp4";
    run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=black:s=320x240:r=10:d=" + std::to_string(at + 1),
         "-itsoffset", "1.5", "-i", speech.string(), "-c:v", "libx264", "-c:a", "aac", "-ar", "48000", "-ac", "2",
         movie.string()});

    auto result = transcriber->transcribe(movie, std::nullopt);
    EXPECT_TRUE(lastLog().starts_with("transcriber: late sound.mp4: 3 stretches of sound, ")) << lastLog();
    ASSERT_GE(result.lines.size(), 3u) << Transcriber::text(result.lines);
    // Each sentence's first line begins where the sentence does, on the movie's time line.
    for (double onset : onsets) {
        auto near = std::find_if(result.lines.begin(), result.lines.end(),
                                 [&](const Transcriber::Line& line) { return std::abs(line.start - onset) < 0.35; });
        EXPECT_NE(near, result.lines.end()) << "nothing starts near " << onset << " s:\n"
                                            << Transcriber::text(result.lines);
    }
    for (const auto& line : result.lines)
        EXPECT_LT(line.end, at + 0.5);
}

TEST_F(TranscriberFileTest, FilesThatCannotBeTranscribedSayWhy) {
    const auto silent = folder.path() / "Pokescope 2026-12-07 at 10.00.00.mp4";
    run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=c=black:s=320x240:r=10:d=2", "-c:v", "libx264",
         silent.string()});
    EXPECT_EQ(failure(silent, ErrorCase::noAudio),
              "Pokescope 2026-12-07 at 10.00.00.mp4 has no audio track (was it recorded with audio off?).");

    const auto notes = folder.path() / "notes.mp4";
    writeFile(notes, "these are not the frames you are looking for\n");
    EXPECT_EQ(failure(notes, ErrorCase::failed), "Couldn't open the file: Invalid data found when processing input");

    // Sound with nothing in it is a valid, empty transcript.
    const auto quiet = folder.path() / "quiet.mp4";
    run({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "anullsrc=r=48000:cl=stereo", "-t", "3", "-c:a", "aac",
         quiet.string()});
    auto result = transcriber->transcribe(quiet, std::nullopt);
    EXPECT_TRUE(result.lines.empty());
    EXPECT_EQ(Transcriber::text(result.lines), "(no speech detected)");
    EXPECT_EQ(lastLog(), "transcriber: quiet.mp4: 0 stretches of sound, 0 lines");
}
