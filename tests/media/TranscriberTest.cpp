// The transcriber's rules with a scripted recogniser, live listening on the simulated phone's sound; and
// movies transcribed with the real recogniser: speech starting late in the movie (its stretches and times,
// which a wrong resampling or time line would move), and files that cannot be transcribed.
#include "media/Transcriber.hpp"
#include "platform/SpeechRecognition.hpp"
#include "tests/media/CapturedPhone.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <future>

using namespace pokescope;
using namespace pokescope::test;
using namespace pokescope::transcription;
using namespace std::chrono_literals;
using ErrorCase = Transcriber::ErrorCase;
using Line = Transcriber::Line;

namespace {

// A recogniser for tests: each run of loud sound (10 ms frames above -30 dB, gaps under 50 ms joined) is
// a word "w<n>", timed where it lies; results come at once on the caller's thread, a partial one now and
// then and the final one (or the scripted error) at the end.
struct FakeSpeechScript {
    std::string failure;     // every task ends with this error when set
    bool finishOnEnd = true; // false: tasks never end by themselves (only by cancel)
};

class FakeSpeechTask : public SpeechRecognitionTask {
public:
    FakeSpeechTask(SpeechRecognizer::ResultHandler handler, FakeSpeechScript script)
        : handler_(std::move(handler)), script_(std::move(script)) {}

    void append(const std::int16_t* samples, std::size_t count) override {
        std::unique_lock lock(mutex_);
        if (done_ || ended_)
            return;
        audio_.insert(audio_.end(), samples, samples + count);
        if (++appends_ % 10 == 1) {
            auto partial = transcriptionLocked();
            lock.unlock();
            deliver(partial, false, std::nullopt);
        }
    }
    void endAudio() override {
        std::unique_lock lock(mutex_);
        if (done_ || ended_ || (ended_ = true, !script_.finishOnEnd))
            return;
        auto final = transcriptionLocked();
        lock.unlock();
        if (!script_.failure.empty())
            finish(std::nullopt, SpeechError{SpeechError::kDomain, SpeechError::failed, script_.failure});
        else if (final.segments.empty())
            finish(std::nullopt, SpeechError{SpeechError::kDomain, SpeechError::noSpeech, "No speech detected"});
        else
            finish(final, std::nullopt);
    }
    void cancel() override { finish(std::nullopt, SpeechError{SpeechError::kDomain, SpeechError::cancelled, "Cancelled"}); }

    void deliver(const std::optional<SpeechTranscription>& words, bool isFinal, const std::optional<SpeechError>& e) {
        handler_(words, isFinal, e);
    }
    std::size_t samplesHeard() const { return std::lock_guard(mutex_), audio_.size(); }
    bool audioEnded() const { return std::lock_guard(mutex_), ended_; }
    bool cancelledOrDone() const { return std::lock_guard(mutex_), done_; }

private:
    void finish(const std::optional<SpeechTranscription>& hypothesis, const std::optional<SpeechError>& error) {
        if (std::lock_guard lock(mutex_); std::exchange(done_, true))
            return;
        handler_(hypothesis, true, error);
    }

    SpeechTranscription transcriptionLocked() const {
        const std::size_t frame = 160; // 10 ms
        std::vector<std::pair<long, long>> runs; // first and last loud frame of each word
        for (std::size_t f = 0; f < audio_.size() / frame; ++f) {
            double sum = 0;
            for (std::size_t i = 0; i < frame; ++i)
                sum += std::pow(audio_[f * frame + i] / 32768.0, 2);
            if (10 * std::log10(sum / frame + 1e-12) <= -30)
                continue;
            if (runs.empty() || long(f) - runs.back().second > 5)
                runs.emplace_back(f, f);
            runs.back().second = long(f);
        }
        SpeechTranscription result;
        for (auto [from, to] : runs)
            result.segments.push_back(
                {"w" + std::to_string(result.segments.size() + 1), from * 0.01, (to - from + 1) * 0.01});
        return result;
    }

    SpeechRecognizer::ResultHandler handler_;
    FakeSpeechScript script_;
    mutable std::mutex mutex_;
    std::vector<std::int16_t> audio_;
    long appends_ = 0;
    bool ended_ = false, done_ = false;
};

class FakeSpeechRecognizer : public SpeechRecognizer {
public:
    explicit FakeSpeechRecognizer(std::string locale) : locale_(std::move(locale)) {}
    std::string localeIdentifier() const override { return locale_; }
    bool supportsOnDeviceRecognition() const override { return onDevice; }
    std::shared_ptr<SpeechRecognitionTask> start(ResultHandler handler) override {
        std::lock_guard lock(mutex_);
        return tasks_.emplace_back(std::make_shared<FakeSpeechTask>(std::move(handler), script_));
    }
    std::vector<std::shared_ptr<FakeSpeechTask>> tasks() const { return std::lock_guard(mutex_), tasks_; }
    void setScript(FakeSpeechScript script) { std::lock_guard lock(mutex_); script_ = std::move(script); }
    std::atomic<bool> onDevice{true};

private:
    const std::string locale_;
    mutable std::mutex mutex_;
    FakeSpeechScript script_;
    std::vector<std::shared_ptr<FakeSpeechTask>> tasks_;
};

class FakeSpeechBackend : public SpeechBackend {
public:
    Authorization authorizationStatus() const override { return status.load(); }
    // Answers at once when `answer` is set, else waits for answerAll.
    void requestAuthorization(std::function<void(Authorization)> done) override {
        if (answer)
            return ++requests, done(*answer);
        std::unique_lock lock(mutex_);
        pending_.push_back(std::move(done));
        ++requests; // only once it waits, so answerAll after the count finds it
    }
    void answerAll(Authorization value) {
        std::unique_lock lock(mutex_);
        auto waiting = std::exchange(pending_, {});
        lock.unlock();
        for (auto& done : waiting)
            done(value);
    }
    std::vector<std::string> supportedLocales() const override { return locales; }
    std::shared_ptr<SpeechRecognizer> recognizer(const std::string& locale) override {
        if (std::ranges::find(locales, locale) == locales.end()) // the transcriber asks with a dash
            return nullptr;
        return locale == "en-US" ? english : std::make_shared<FakeSpeechRecognizer>(locale);
    }
    std::string currentLocale() const override { return current; }

    std::atomic<Authorization> status{Authorization::authorized};
    std::optional<Authorization> answer = Authorization::authorized;
    std::atomic<int> requests{0};
    std::vector<std::string> locales{"en-US"};
    std::string current = "en_US";
    std::shared_ptr<FakeSpeechRecognizer> english = std::make_shared<FakeSpeechRecognizer>("en-US");

private:
    std::mutex mutex_;
    std::vector<std::function<void(Authorization)>> pending_;
};

// Sound on a 16 kHz time line in 0.1 s buffers: `pattern` is (seconds, loud) pieces; loud is a 440 Hz
// tone at 0.3 of full scale (about -13.5 dB), quiet is faint noise (about -60 dB).
std::vector<SpeechSound> soundOf(const std::vector<std::pair<double, bool>>& pattern, double startTime = 0) {
    std::vector<SpeechSound> buffers;
    std::size_t at = 0;
    unsigned seed = 7;
    for (auto [seconds, loud] : pattern)
        for (long n = std::lround(seconds * kSpeechSampleRate); n > 0; --n, ++at) {
            if (at % (kSpeechSampleRate / 10) == 0)
                buffers.push_back({startTime + static_cast<double>(at) / kSpeechSampleRate, {}});
            seed = seed * 1103515245 + 12345;
            const double tone = loud ? 0.3 * 32767 * std::sin(2 * M_PI * 440 * double(at) / kSpeechSampleRate) : 0;
            buffers.back().samples.push_back(std::int16_t(std::lround(tone + int((seed >> 16) % 65) - 32)));
        }
    return buffers;
}

// Feeds the sound and, unless told otherwise, closes the stretch it ends in.
void feed(Chunker& chunker, const std::vector<SpeechSound>& sound, bool close = true) {
    for (const auto& buffer : sound)
        chunker.feed(buffer);
    if (close)
        chunker.close(chunker.takeCurrent());
}

SpeechTranscription words(std::initializer_list<std::tuple<const char*, double, double>> list, long utterance = 0) {
    SpeechTranscription t;
    t.utterance = utterance;
    for (auto [word, at, length] : list)
        t.segments.push_back({word, at, length});
    return t;
}

class TranscriberTest : public testing::Test, protected CapturedPhone {
protected:
    ManualClock clock;
    std::shared_ptr<FakeSpeechBackend> backend = std::make_shared<FakeSpeechBackend>();
    std::mutex linesMutex;
    std::vector<std::string> logLines;
    std::function<void(const std::string&)> keepLog = [this](const std::string& line) {
        std::lock_guard lock(linesMutex);
        logLines.push_back(line);
    };
    std::unique_ptr<Transcriber> transcriber = std::make_unique<Transcriber>(
        capture, settings,
        Transcriber::Options{.backend = backend, .clock = &clock, .log = keepLog, .permissionWait = 200ms,
                             .lastPassWait = 2s});

    void TearDown() override { transcriber.reset(); main.sync([&] { capture.stop(); }); }
    std::string failure(const std::function<void()>& action, ErrorCase expected) {
        auto error = thrown<Transcriber::TranscribeError>(action);
        EXPECT_TRUE(!error || error->which == expected) << error->what();
        return error ? error->what() : "";
    }
    bool logged(const std::string& line) {
        return std::lock_guard(linesMutex), std::find(logLines.begin(), logLines.end(), line) != logLines.end();
    }
    std::string lastLog() { return std::lock_guard(linesMutex), logLines.empty() ? "" : logLines.back(); }
};

// The machine's own recogniser and decoders.
class TranscriberFileTest : public TranscriberTest {
protected:
    void SetUp() override {
        Transcriber::Options options;
        options.log = keepLog;
        transcriber = std::make_unique<Transcriber>(capture, settings, options);
    }
    std::string failure(const std::filesystem::path& file, ErrorCase expected) {
        return TranscriberTest::failure([&] { transcriber->transcribe(file, std::nullopt); }, expected);
    }
};

} // namespace

// Subtitles have a half-second shortest cue; the plain transcript stamps minutes and hours.
TEST(TranscriptFormats, SubtitlesThePlainTranscriptAndLoudness) {
    EXPECT_EQ(Transcriber::srt({{1.2, 1.3, "Hi"}}), "1\n00:00:01,200 --> 00:00:01,700\nHi\n");
    EXPECT_EQ(Transcriber::srt({{0, 2.25, "One two"}, {3725.9, 3727.0004, "Three"}}),
              "1\n00:00:00,000 --> 00:00:02,250\nOne two\n\n2\n01:02:05,900 --> 01:02:07,000\nThree\n");
    // Rounded half away from zero; negative times are clamped to zero.
    EXPECT_EQ(Transcriber::srt({{-3, 0.0005, "x"}}), "1\n00:00:00,000 --> 00:00:00,001\nx\n");
    EXPECT_EQ(Transcriber::srt({{1.0005, 2.0, "y"}}), "1\n00:00:01,001 --> 00:00:02,000\ny\n");
    EXPECT_EQ(Transcriber::srt({}), "");
    // Beside the video, replacing only the file name's extension.
    EXPECT_EQ(Transcriber::subtitlePath("/tmp/my.trip/clip"), "/tmp/my.trip/clip.srt");
    EXPECT_EQ(Transcriber::subtitlePath("/tmp/Pokescope 2026-12-05 at 15.23.29.mp4"),
              "/tmp/Pokescope 2026-12-05 at 15.23.29.srt");
    EXPECT_EQ(Transcriber::text({}), "(no speech detected)");
    EXPECT_EQ(Transcriber::text({{5.9, 6, "hello there"}, {65, 66, "again"}}), "[00:05] hello there\n[01:05] again");
    EXPECT_EQ(Transcriber::text({{3725.9, 3726, "late"}, {-2, 0, "early"}}), "[1:02:05] late\n[00:00] early");
    EXPECT_EQ(Transcriber::text({{3599.99, 3600, "edge"}}), "[59:59] edge");
    // Loudness is the mean square power in decibels.
    EXPECT_NEAR(*level(SpeechSound{0, {32767, 0, -32767, 0}}), -3.01, 0.01); // a full-scale sine
    EXPECT_NEAR(*level(SpeechSound{0, std::vector<std::int16_t>(1000, 0)}), -120, 0.01);
    EXPECT_FALSE(level(SpeechSound{}).has_value());
    AudioBuffer floats;
    floats.samples = {0.5f, -0.5f, 0.5f, -0.5f};
    EXPECT_NEAR(*level(floats), -6.02, 0.01);
    EXPECT_FALSE(level(AudioBuffer{}).has_value());
}

TEST(TranscriptLines, WordsBreakIntoLinesAndInAPassANewUtteranceKeepsTheEarlierOneAndNoSpeechIsNoFailure) {
    // Sentence ends flush; punctuation alone joins the word before it.
    auto lines = linesFrom({{words({{"Hello", 0.1, 0.3}, {"there.", 0.5, 0.3}, {"How", 1.0, 0.2}, {"are", 1.3, 0.2},
                                    {"you", 1.6, 0.2}, {"?", 1.8, 0.1}, {"Fine", 2.0, 0.3}}),
                             0, 3}},
                           10);
    EXPECT_EQ(lines, (std::vector<Line>{{10.1, 10.8, "Hello there."}, {11.0, 11.9, "How are you?"},
                                        {12.0, 12.3, "Fine"}}));

    // A gap of more than a second breaks the line (real timing only).
    lines = linesFrom({{words({{"one", 0, 0.3}, {"two", 1.4, 0.3}, {"three", 1.8, 0.3}}), 0, 3}}, 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text + "|" + lines[1].text, "one|two three");

    // 31 words without punctuation: 30 and 1.
    SpeechTranscription many;
    for (int i = 0; i < 31; ++i)
        many.segments.push_back({"w" + std::to_string(i), i * 0.3, 0.2});
    lines = linesFrom({{many, 0, 10}}, 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].text, "w30");
    EXPECT_EQ(lines[0].text.substr(0, 9), "w0 w1 w2 ");

    // A line that has lasted more than 12 s ends before the next word.
    SpeechTranscription slow;
    for (int i = 0; i < 15; ++i)
        slow.segments.push_back({"s" + std::to_string(i), i * 0.95, 0.9});
    lines = linesFrom({{slow, 0, 20}}, 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NEAR(lines[1].start, 13 * 0.95, 1e-9); // s12 ended at 12.3 s, so s13 starts a new line
    EXPECT_EQ(lines[1].text, "s13 s14");

    // Without timings words are spread evenly over the stretch.
    lines = linesFrom({{words({{"a", 0, 0}, {" ", 0, 0}, {"b", 0, 0}, {"c.", 0, 0.01}}), 2.0, 6.0}}, 0);
    EXPECT_EQ(lines, (std::vector<Line>{{2.0, 6.0, "a b c."}})); // the blank segment keeps its share of time
    EXPECT_TRUE(linesFrom({{SpeechTranscription{}, 0, 1}}, 0).empty());

    FakeSpeechRecognizer recognizer("en-US");
    auto pass = Pass::start(recognizer, 5.0);
    auto task = recognizer.tasks().at(0);
    SpeechSound sound;
    sound.samples.assign(1600, 0);
    pass->append(5.5, sound);
    // The partial hypothesis gets shorter inside one utterance: it replaces the longer one.
    task->deliver(words({{"going", 0.1, 0.3}, {"for", 0.5, 0.2}}, 0), false, std::nullopt);
    task->deliver(words({{"go", 0.1, 0.2}}, 0), false, std::nullopt);
    EXPECT_EQ(pass->lines(), (std::vector<Line>{{5.1, 5.3, "go"}}));
    pass->append(7.0, sound);
    task->deliver(words({{"forward", 1.6, 0.4}}, 1), false, std::nullopt);
    EXPECT_EQ(pass->lines(), (std::vector<Line>{{5.1, 5.3, "go"}, {6.6, 7.0, "forward"}}));
    EXPECT_FALSE(pass->ended());
    task->deliver(std::nullopt, true, SpeechError{"elsewhere", 7, "There was No Speech in the audio"});
    EXPECT_TRUE(pass->ended());
    EXPECT_FALSE(pass->failure().has_value());
    EXPECT_TRUE(pass->waitEnded(0ms));
    EXPECT_EQ(pass->lines().size(), 2u); // what was heard stays
}

TEST(TranscriptStretches, PausesEndStretchesEachWithItsPrerollOnTheTimeLineFromItsOrigin) {
    auto recognizer = std::make_shared<FakeSpeechRecognizer>("en-US");
    // Words at 1.0 and 2.0 (a 0.5 s pause keeps them together), then 1.5 s of quiet ends the stretch. The
    // sound starts 100 s in: the time line starts there unless told (a movie's) zero.
    const auto sound =
        soundOf({{1.0, false}, {0.5, true}, {0.5, false}, {0.5, true}, {1.5, false}, {0.3, true}, {2.0, false}}, 100);
    Chunker chunker(recognizer, true), fromZero(recognizer, true, 0.0);
    feed(chunker, sound);
    feed(fromZero, sound);
    ASSERT_EQ(fromZero.lines().size(), 2u);
    EXPECT_NEAR(fromZero.lines()[1].start, 104.0, 0.011);
    auto passes = chunker.passes();
    ASSERT_EQ(passes.size(), 2u);
    // Up to 0.4 s before the first loud buffer (whole 0.1 s buffers are kept).
    EXPECT_NEAR(passes[0]->offset, 0.55, 0.06);
    EXPECT_NEAR(passes[1]->offset, 3.55, 0.06);
    auto lines = chunker.lines();
    ASSERT_EQ(lines.size(), 2u); // the gap inside the first stretch is under a second
    EXPECT_EQ(lines[0].text, "w1 w2");
    EXPECT_NEAR(lines[0].start, 1.0, 0.011);
    EXPECT_NEAR(lines[0].end, 2.5, 0.011);
    EXPECT_EQ(lines[1].text, "w1");
    EXPECT_NEAR(lines[1].start, 4.0, 0.011);
    EXPECT_NEAR(lines[1].end, 4.3, 0.011);
    for (const auto& task : recognizer->tasks())
        EXPECT_TRUE(task->audioEnded());
}

TEST(TranscriptStretches, ContinuousSoundIsCutEveryFiftySecondsAndAFileFailsOnlyWhenNoLineAtAllCame) {
    auto recognizer = std::make_shared<FakeSpeechRecognizer>("en-US");
    Chunker chunker(recognizer, true);
    feed(chunker, soundOf({{120, true}}));
    auto passes = chunker.passes();
    ASSERT_EQ(passes.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(passes[i]->offset, 50.0 * double(i), 1e-9);
    std::size_t heard = 0;
    for (const auto& task : recognizer->tasks())
        heard += task->samplesHeard();
    EXPECT_EQ(heard, 120u * kSpeechSampleRate);
    auto lines = chunker.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NEAR(lines[1].start, 50, 0.011);
    EXPECT_NEAR(lines[2].end, 120, 0.011);

    // A file fails only when no line at all came, and closed feeding ignores late sound.
    auto failing = std::make_shared<FakeSpeechRecognizer>("en-US");
    failing->setScript({.failure = "decoder broke"});
    Chunker closing(failing, false);
    const auto sound = soundOf({{0.3, true}, {1.0, false}});
    feed(closing, sound, false);
    ASSERT_EQ(closing.passes().size(), 1u);
    EXPECT_EQ(closing.passes()[0]->failure()->description, "decoder broke");
    closing.closeFeeding();
    feed(closing, sound, false);
    EXPECT_EQ(closing.passes().size(), 1u);
    EXPECT_EQ(closing.takeCurrent(), nullptr);
}

TEST_F(TranscriberTest, TheRecogniserComesFromTheArgumentTheSettingOrTheLocaleAndPermissionIsAskedForOnce) {
    backend->locales = {"en-US", "de-DE", "fr-FR"};
    EXPECT_EQ(transcriber->offlineLanguages(), (std::vector<std::string>{"de-DE", "en-US", "fr-FR"}));
    EXPECT_EQ(transcriber->recognizer("fr_FR")->localeIdentifier(), "fr-FR");
    settings.setTranscriptionLanguage("de_DE");
    EXPECT_EQ(transcriber->recognizer(std::nullopt)->localeIdentifier(), "de-DE");
    EXPECT_EQ(transcriber->recognizer("")->localeIdentifier(), "de-DE");
    settings.setTranscriptionLanguage("");
    backend->current = "fr_FR";
    EXPECT_EQ(transcriber->recognizer(std::nullopt)->localeIdentifier(), "fr-FR");
    backend->current = "pt_BR"; // no model for this computer's language: US English
    EXPECT_EQ(transcriber->recognizer(std::nullopt)->localeIdentifier(), "en-US");

    EXPECT_EQ(failure([&] { transcriber->recognizer("ja-JP"); }, ErrorCase::language),
              "No offline speech model for ja-JP on this computer. Available: de-DE, en-US, fr-FR. To add a language, "
              "install its PocketSphinx model (Debian's pocketsphinx-en-us is US English).");
    backend->locales = {};
    EXPECT_EQ(failure([&] { transcriber->recognizer(std::nullopt); }, ErrorCase::language),
              "No offline speech model for pt_BR on this computer. To add a language, install its PocketSphinx model "
              "(Debian's pocketsphinx-en-us is US English).");
    backend->locales = {"en-US"};
    backend->english->onDevice = false; // a recogniser that would send sound away is never chosen
    EXPECT_EQ(failure([&] { transcriber->recognizer("en-US"); }, ErrorCase::language).substr(0, 40),
              "No offline speech model for en-US on thi");
    // A file: the language is checked first, then the file.
    backend->english->onDevice = true;
    const auto missing = folder.path() / "nothing here.mp4";
    EXPECT_EQ(failure([&] { transcriber->transcribe(missing, "xx-XX"); }, ErrorCase::language).substr(0, 33),
              "No offline speech model for xx-XX");
    EXPECT_EQ(failure([&] { transcriber->transcribe(missing, "en-US"); }, ErrorCase::failed),
              "No file at " + missing.string() + ".");

    using Authorization = SpeechBackend::Authorization;
    backend->status = Authorization::notDetermined;
    backend->answer.reset(); // the prompt is never answered
    EXPECT_EQ(failure([&] { transcriber->ensureAuthorized(); }, ErrorCase::permission),
              "Waiting for Speech Recognition permission. Allow Pokescope in the system prompt, then try again.");
    backend->answer = Authorization::notDetermined;
    EXPECT_EQ(failure([&] { transcriber->ensureAuthorized(); }, ErrorCase::permission),
              "Speech Recognition permission wasn't granted yet. Allow Pokescope in the system prompt, then try again.");
    backend->answer = Authorization::authorized;
    EXPECT_NO_THROW(transcriber->ensureAuthorized());
    EXPECT_EQ(backend->requests, 3);
    backend->status = Authorization::denied;
    EXPECT_EQ(failure([&] { transcriber->ensureAuthorized(); }, ErrorCase::permission),
              "Pokescope isn't allowed to use Speech Recognition. Turn it on in Pokescope › Settings › Transcription.");
    backend->status = Authorization::restricted;
    failure([&] { transcriber->ensureAuthorized(); }, ErrorCase::permission);
    EXPECT_EQ(backend->requests, 3); // decided: never asked again
}

TEST_F(TranscriberTest, ListeningRefusesASecondStartAndAStopCancelsALastPassThatNeverEnds) {
    EXPECT_FALSE(transcriber->transcript().has_value());
    EXPECT_FALSE(transcriber->stopListening(std::nullopt).has_value());
    // No screen yet: the phone's sound is not there.
    EXPECT_EQ(failure([&] { transcriber->startListening(std::nullopt, 60); }, ErrorCase::noAudio),
              "The iPhone isn't sending audio. Make sure it's connected by USB and unlocked.");
    withScreen();
    backend->english->setScript({.failure = "", .finishOnEnd = false});
    EXPECT_EQ(transcriber->startListening(std::nullopt, 60), "en-US");
    EXPECT_TRUE(logged("transcriber: listening (en-US)"));
    EXPECT_EQ(failure([&] { transcriber->startListening("en-US", 60); }, ErrorCase::alreadyListening),
              "Already listening. Call get_transcript to read it, or stop_listening to finish.");
    EXPECT_EQ(transcriber->listening().value().language, "en-US");

    phone->speak("Hello there. This is the phone speaking.");
    ASSERT_TRUE(eventually([&] { return !transcriber->transcript()->lines.empty(); }, 30s));
    EXPECT_TRUE(transcriber->transcript()->listening);
    clock.advance(7s);
    auto stopped = transcriber->stopListening(std::nullopt); // waits the 2 s it is given for the last pass
    ASSERT_TRUE(stopped.has_value());
    EXPECT_TRUE(backend->english->tasks().back()->cancelledOrDone() && backend->english->tasks().back()->audioEnded());
    EXPECT_NEAR(stopped->seconds, 7, 1e-6);
    EXPECT_FALSE(stopped->lines.empty()); // what was heard before the stop is kept
    EXPECT_FALSE(stopped->stoppedBecause.has_value());
    EXPECT_TRUE(logged("transcriber: stopped"));
    EXPECT_FALSE(transcriber->listening().has_value());

    clock.advance(30s);
    EXPECT_FALSE(transcriber->stopListening(std::nullopt).has_value());
    auto after = transcriber->transcript(); // the previous session stays, its length that at the stop
    ASSERT_TRUE(after.has_value());
    EXPECT_FALSE(after->listening);
    EXPECT_NEAR(after->seconds, 7, 1e-6);
    EXPECT_EQ(after->lines, stopped->lines);
}

TEST_F(TranscriberTest, SessionsStopThemselvesWithTheirReasonsAndAnOldTimeLimitNeverStopsANewerOne) {
    withScreen();
    transcriber->startListening(std::nullopt, 10);
    clock.advance(5s);
    transcriber->stopListening(std::nullopt);
    transcriber->startListening(std::nullopt, 100);
    clock.advance(6s); // the first session's limit has run out
    clock.advance(88s);
    EXPECT_TRUE(transcriber->listening().has_value());
    clock.advance(6s);
    ASSERT_TRUE(eventually([&] { return !transcriber->listening(); }));
    EXPECT_EQ(transcriber->transcript()->stoppedBecause, std::optional<std::string>("the time limit was reached"));
    EXPECT_NEAR(transcriber->transcript()->seconds, 100, 1e-6);
    EXPECT_TRUE(eventually([&] { return logged("transcriber: stopped (the time limit was reached)"); }));

    settings.setListeningStop([this](const std::string& reason) { transcriber->stopListening(reason); });
    settings.setTranscriptionEnabled(true);
    const std::pair<std::function<void()>, std::string> stops[] = {
        {[&] { transcriber->screenLost("screen capture failed"); },
         "screen capture failed"},
        {[&] { transcriber->screenLost(""); }, "the iPhone was disconnected"},
        {[&] {
             settings.setTranscriptionEnabled(true); // turning it on again does nothing
             EXPECT_TRUE(transcriber->listening().has_value());
             settings.setTranscriptionEnabled(false);
         },
         "transcription was turned off in Settings"}};
    for (const auto& [trigger, reason] : stops) {
        transcriber->startListening(std::nullopt, 100);
        trigger();
        ASSERT_TRUE(eventually([&] { return !transcriber->listening(); })) << reason;
        EXPECT_EQ(transcriber->transcript()->stoppedBecause, std::optional<std::string>(reason));
    }
    settings.setListeningStop(nullptr);
}

TEST_F(TranscriberTest, TwoStartsWaitingForPermissionStartOneSession) {
    withScreen();
    backend->status = SpeechBackend::Authorization::notDetermined;
    backend->answer.reset();
    auto start = [&] { return std::async(std::launch::async, [&] { return transcriber->startListening(std::nullopt, 60); }); };
    std::future<std::string> starts[] = {start(), start()};
    ASSERT_TRUE(eventually([&] { return backend->requests == 2; }));
    backend->answerAll(SpeechBackend::Authorization::authorized);
    int started = 0;
    for (auto& result : starts) {
        try {
            EXPECT_EQ(result.get(), "en-US");
            ++started;
        } catch (const Transcriber::TranscribeError& e) {
            EXPECT_EQ(e.which, ErrorCase::alreadyListening);
        }
    }
    EXPECT_EQ(started, 1);
    EXPECT_TRUE(transcriber->stopListening(std::nullopt).has_value());
}

TEST_F(TranscriberFileTest, SynthesisedSentencesBecomeStretchesTimedFromTheMoviesZeroAndOtherFilesSayWhyNot) {
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
        onsets.push_back(at);
        at += std::stod(run({"soxi", "-D", trimmed.string()}));
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
    result = transcriber->transcribe(quiet, std::nullopt);
    EXPECT_TRUE(result.lines.empty());
    EXPECT_EQ(Transcriber::text(result.lines), "(no speech detected)");
    EXPECT_EQ(lastLog(), "transcriber: quiet.mp4: 0 stretches of sound, 0 lines");
}
