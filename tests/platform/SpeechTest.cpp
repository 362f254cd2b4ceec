// The PocketSphinx recogniser on Debian's en-US model and the recordings of pocketsphinx-testdata.
#include "platform/linux/PocketSphinxSpeech.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

using namespace pokescope;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const fs::path kModels = "/usr/share/pocketsphinx/model";
const fs::path kTestData = "/usr/share/pocketsphinx/test/data";
const std::vector<std::string> kGoForward{"go", "forward", "ten", "meters"};

// 16 kHz mono 16-bit little-endian sound: a headerless file, or the data chunk of a WAVE file.
std::vector<std::int16_t> samplesOf(const fs::path& path) {
    const std::string bytes = test::readFile(path);
    const std::size_t data = std::min(path.extension() == ".wav" ? bytes.find("data", 12) + 8 : 0, bytes.size());
    std::vector<std::int16_t> samples((bytes.size() - data) / 2);
    std::memcpy(samples.data(), bytes.data() + data, samples.size() * 2);
    return samples;
}

std::vector<std::string> wordsOf(const SpeechTranscription& transcription) {
    std::vector<std::string> words;
    for (const auto& segment : transcription.segments)
        words.push_back(segment.substring);
    return words;
}

struct Call {
    std::optional<SpeechTranscription> hypothesis;
    bool isFinal = false;
    std::optional<SpeechError> error;
};

// One task and every call of its handler.
struct Collector : std::enable_shared_from_this<Collector> {
    SpeechRecognizer::ResultHandler handler() {
        return [self = shared_from_this()](const std::optional<SpeechTranscription>& hypothesis, bool isFinal,
                                           const std::optional<SpeechError>& error) {
            std::lock_guard guard(self->lock);
            self->callsAfterEnd = self->callsAfterEnd || self->ended;
            self->ended = isFinal || error.has_value();
            self->list.push_back({hypothesis, isFinal, error});
        };
    }
    // Waits for `count` calls, or the final result or an error; false when none of that came in a minute.
    bool waitEnded(std::size_t count = SIZE_MAX) {
        return test::eventually([&] { std::lock_guard guard(lock); return ended || list.size() >= count; }, 60s);
    }
    std::vector<Call> calls() { std::lock_guard guard(lock); return list; }
    Call last() { return calls().back(); }
    SpeechTranscription result() {
        const Call call = last();
        EXPECT_TRUE(call.isFinal);
        EXPECT_FALSE(call.error.has_value()) << call.error->description;
        return call.hypothesis.value_or(SpeechTranscription{});
    }

    std::shared_ptr<SpeechRecognitionTask> task;
    std::mutex lock;
    std::vector<Call> list;
    bool ended = false, callsAfterEnd = false;
};

// Feeds `samples` in pieces of `piece` samples, ends the audio (unless told not to) and waits for the end.
std::shared_ptr<Collector> recognise(SpeechRecognizer& recognizer, const std::vector<std::int16_t>& samples,
                                    std::size_t piece = 4000, bool end = true) {
    auto collector = std::make_shared<Collector>();
    collector->task = recognizer.start(collector->handler());
    for (std::size_t at = 0; at < samples.size(); at += piece)
        collector->task->append(samples.data() + at, std::min(piece, samples.size() - at));
    if (end) {
        collector->task->endAudio();
        EXPECT_TRUE(collector->waitEnded());
        EXPECT_FALSE(collector->callsAfterEnd);
    }
    return collector;
}

double seconds(const std::vector<std::int16_t>& samples) {
    return static_cast<double>(samples.size()) / kSpeechSampleRate;
}

// Times in seconds from the task's first sample, in order, inside the sound; and no fillers or pronunciation
// numbers (the raw segments of the 0870 recording hold "<sil>", "and(2)" and "leisure(2)").
void expectTimesAndWords(const SpeechTranscription& transcription, double length) {
    double previousEnd = 0;
    for (const auto& segment : transcription.segments) {
        SCOPED_TRACE(segment.substring);
        EXPECT_GE(segment.timestamp, previousEnd - 1e-9);
        EXPECT_GT(segment.duration, 0);
        EXPECT_LE(previousEnd = segment.timestamp + segment.duration, length + 1e-9);
        EXPECT_TRUE(!segment.substring.empty() && segment.substring.find_first_of("()<>[]+") == std::string::npos);
    }
}

class PocketSphinxSpeech : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kTestData / "goforward.raw"))
            GTEST_SKIP() << "pocketsphinx-testdata is not installed";
        backend_ = std::make_shared<PocketSphinxBackend>(kModels.string());
        recognizer_ = backend_->recognizer("en-US");
        if (!recognizer_)
            GTEST_SKIP() << "pocketsphinx-en-us is not installed";
    }

    std::vector<std::int16_t> goForward() const { return samplesOf(kTestData / "goforward.raw"); }
    std::vector<std::int16_t> librivox(const std::string& id) const {
        return samplesOf(kTestData / ("librivox/sense_and_sensibility_01_austen_64kb-" + id + ".wav"));
    }

    std::shared_ptr<PocketSphinxBackend> backend_;
    std::shared_ptr<SpeechRecognizer> recognizer_;
};

} // namespace

TEST(SpeechWords, FillersAndPronunciationNumbersGoLocalesAreNormalisedAndOnlyCompleteModelsAreFound) {
    for (const char* filler : {"<s>", "</s>", "<sil>", "[NOISE]", "[SPEECH]", "++BREATH++", "+NSN+", ""})
        EXPECT_EQ(speech::cleanWord(filler), std::nullopt) << filler;
    // Apostrophes belong to words; brackets that are not a pronunciation number stay.
    const std::pair<const char*, const char*> words[] = {{"read(2)", "read"}, {"to(12)", "to"}, {"meters", "meters"},
        {"i'm(2)", "i'm"}, {"'bout", "'bout"}, {"a(b)", "a(b)"}, {"x()", "x()"}};
    for (auto [heard, word] : words)
        EXPECT_EQ(speech::cleanWord(heard), word);
    const std::pair<const char*, const char*> identifiers[] = {{"en-us", "en-US"}, {"EN_us", "en-US"},
        {"pt-BR", "pt-BR"}, {"fr", "fr"}, {"zh_hant_tw", "zh-HANT-TW"}, {"", ""}, {"-US", ""}};
    for (auto [given, expected] : identifiers)
        EXPECT_EQ(speech::localeIdentifier(given), expected) << given;
    // LC_ALL, LC_MESSAGES, LANG → the user's locale: the first one set.
    const struct {
        const char *all, *messages, *lang, *locale;
    } environments[] = {{nullptr, nullptr, "en_GB.UTF-8", "en_GB"}, {"de_DE.UTF-8@euro", "fr_FR.UTF-8", "en_GB", "de_DE"},
        {"", "fr_FR", "en_GB", "fr_FR"}, {nullptr, "", "sr_RS@latin", "sr_RS"}, {nullptr, nullptr, nullptr, "en_US"},
        {"C", nullptr, "de_DE", "en_US"}, {nullptr, "POSIX", nullptr, "en_US"}, {"C.UTF-8", nullptr, nullptr, "en_US"}};
    for (const auto& e : environments)
        EXPECT_EQ(speech::localeFromEnvironment(e.all, e.messages, e.lang), e.locale) << e.locale;
    test::ScopedEnvironment environment;
    environment.set("LC_ALL", std::nullopt);
    environment.set("LC_MESSAGES", "nl_NL.UTF-8");
    environment.set("LANG", "en_GB.UTF-8");
    EXPECT_EQ(PocketSphinxBackend("/nonexistent").currentLocale(), "nl_NL");

    // Only complete models are found, and an empty folder offers no locale.
    test::TempFolder folder;
    const auto make = [&](const std::string& name, std::vector<std::string> files, bool weights) {
        for (const char* part : {"mdef", "means", "variances", "transition_matrices"})
            files.push_back(name + "/" + part);
        if (weights)
            files.push_back(name + "/sendump");
        for (const auto& file : files) {
            fs::create_directories((folder.path() / name / file).parent_path());
            test::writeFile(folder.path() / name / file, "x");
        }
    };
    make("pt-br", {"pt-br.lm", "pt-br.dic"}, true);
    make("de-de", {"de-de.lm.bin"}, true);                         // no dictionary
    make("it-it", {"it-it.lm.bin", "cmudict-it-it.dict"}, false); // no mixture weights
    test::writeFile(folder.path() / "README", "not a model");
    const auto models = speech::findModels(folder.path().string());
    ASSERT_EQ(models.size(), 1u);
    const fs::path model = folder.path() / "pt-br";
    EXPECT_EQ(models[0].locale + " " + models[0].acousticModel + " " + models[0].languageModel + " " + models[0].dictionary,
              "pt-BR " + (model / "pt-br").string() + " " + (model / "pt-br.lm").string() + " " +
                  (model / "pt-br.dic").string());
    EXPECT_TRUE(speech::findModels((folder.path() / "missing").string()).empty());

    fs::create_directory(folder.path() / "empty");
    environment.set("POKESCOPE_SPEECH_MODELS", (folder.path() / "empty").string());
    PocketSphinxBackend backend;
    EXPECT_TRUE(backend.supportedLocales().empty());
    EXPECT_EQ(backend.recognizer("en-US"), nullptr);
    environment.set("POKESCOPE_SPEECH_MODELS", "");
    EXPECT_EQ(speech::defaultModelFolder(), kModels.string());
}

// Debian's acoustic model and dictionary with a language model that is not one: each task fails, naming the locale.
TEST(SpeechModels, ModelThatCannotLoadFailsTheTask) {
    const fs::path english = kModels / "en-us";
    if (!fs::exists(english / "en-us" / "mdef"))
        GTEST_SKIP() << "pocketsphinx-en-us is not installed";
    test::TempFolder folder;
    fs::create_directories(folder.path() / "en-gb");
    fs::create_directory_symlink(english / "en-us", folder.path() / "en-gb" / "en-gb");
    fs::create_symlink(english / "cmudict-en-us.dict", folder.path() / "en-gb" / "cmudict-en-gb.dict");
    test::writeFile(folder.path() / "en-gb" / "en-gb.lm", "not a language model\n");
    PocketSphinxBackend backend(folder.path().string());
    EXPECT_EQ(backend.supportedLocales(), std::vector<std::string>{"en-GB"});
    auto recognizer = backend.recognizer("en_gb");
    ASSERT_NE(recognizer, nullptr);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto outcome = recognise(*recognizer, std::vector<std::int16_t>(16000, 100));
        ASSERT_EQ(outcome->calls().size(), 1u);
        ASSERT_TRUE(outcome->last().error);
        const auto error = *outcome->last().error;
        EXPECT_EQ(error.code, SpeechError::failed);
        EXPECT_NE(error.description.find("en-GB"), std::string::npos) << error.description;
    }
    EXPECT_EQ(backend.decodersLoaded(), 0u);
}

// Locales match without regard to case or separator; making recognisers loads nothing. The recogniser and
// backend may go while the task runs, and sound after the end is ignored.
TEST_F(PocketSphinxSpeech, GoForwardTenMetersWithTimesInSecondsAndSilenceIsNoSpeech) {
    const auto locales = backend_->supportedLocales();
    EXPECT_NE(std::find(locales.begin(), locales.end(), "en-US"), locales.end());
    for (const char* name : {"en_us", "EN-us"}) {
        auto recognizer = backend_->recognizer(name);
        EXPECT_EQ(recognizer ? recognizer->localeIdentifier() : "none", "en-US") << name;
    }
    for (const char* name : {"fr-FR", "en", ""})
        EXPECT_EQ(backend_->recognizer(name), nullptr) << name;
    EXPECT_EQ(backend_->decodersLoaded(), 0u);

    // Silence, or no sound at all (which needs no decoder), is "no speech", not a failure.
    PocketSphinxBackend fresh(kModels.string());
    for (const auto& outcome : {recognise(*recognizer_, std::vector<std::int16_t>(2 * kSpeechSampleRate, 0)),
                                recognise(*fresh.recognizer("en-US"), {})}) {
        ASSERT_EQ(outcome->calls().size(), 1u);
        const Call call = outcome->last();
        EXPECT_FALSE(call.hypothesis.has_value() || call.isFinal);
        ASSERT_TRUE(call.error.has_value());
        EXPECT_EQ(call.error->code, SpeechError::noSpeech);
        EXPECT_EQ(call.error->description, "No speech detected");
    }
    EXPECT_EQ(fresh.decodersLoaded(), 0u);

    const auto sound = goForward();
    auto outcome = recognise(*recognizer_, sound, 4000, false);
    recognizer_.reset();
    backend_.reset();
    outcome->task->endAudio();
    const auto more = librivox("0880");
    outcome->task->append(more.data(), more.size());
    ASSERT_TRUE(outcome->waitEnded());
    const auto result = outcome->result();
    EXPECT_EQ(wordsOf(result), kGoForward);
    EXPECT_EQ(result.utterance, 0);
    expectTimesAndWords(result, seconds(sound));
    ASSERT_EQ(result.segments.size(), 4u);
    // "go" begins after about half a second of quiet; "meters" ends about half a second before the end.
    EXPECT_NEAR(result.segments[0].timestamp, 0.46, 0.1);
    EXPECT_NEAR(result.segments[3].timestamp + result.segments[3].duration, 2.12, 0.15);
    for (const auto& call : outcome->calls())
        EXPECT_FALSE(call.error.has_value());
}

TEST_F(PocketSphinxSpeech, PartialHypothesesComeBeforeTheFinalOneAndPausesStartNewUtterancesTimedFromTheTaskStart) {
    const auto sound = librivox("0870");
    const auto calls = recognise(*recognizer_, sound, 1600)->calls();
    ASSERT_GE(calls.size(), 3u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(calls[i].hypothesis.has_value());
        EXPECT_EQ(calls[i].isFinal, i + 1 == calls.size());
        EXPECT_FALSE(calls[i].error.has_value());
        EXPECT_EQ(calls[i].hypothesis->utterance, 0);
        EXPECT_FALSE(calls[i].hypothesis->segments.empty());
        expectTimesAndWords(*calls[i].hypothesis, seconds(sound));
        if (i > 0 && i + 1 < calls.size()) {
            EXPECT_NE(wordsOf(*calls[i].hypothesis), wordsOf(*calls[i - 1].hypothesis)) << "repeated hypothesis";
        }
    }
    const auto heard = wordsOf(*calls.back().hypothesis);
    EXPECT_NE(std::find(heard.begin(), heard.end(), "leisure"), heard.end()) << testing::PrintToString(heard);

    // "go forward ten meters", a second and a half of quiet, the same again, then quiet long enough for the
    // decoder to close the utterance and open another that hears nothing, as at the end of every stretch of
    // sound: the words heard before stay the result. The quiet is digital silence, or a faint hiss.
    const auto once = goForward();
    const double second = seconds(once) + 1.5;
    for (const int level : {0, 20}) {
        SCOPED_TRACE(level);
        std::vector<std::int16_t> sound = once, quiet;
        for (int i = 0; i < 2 * kSpeechSampleRate; ++i)
            quiet.push_back(static_cast<std::int16_t>(level == 0 ? 0 : (i * 7919 % (2 * level + 1)) - level));
        sound.insert(sound.end(), quiet.begin(), quiet.begin() + 24000);
        sound.insert(sound.end(), once.begin(), once.end());
        sound.insert(sound.end(), quiet.begin(), quiet.end());
        auto outcome = recognise(*recognizer_, sound);
        std::optional<SpeechTranscription> first;
        for (const auto& call : outcome->calls()) {
            if (call.hypothesis && call.hypothesis->utterance == 0)
                first = call.hypothesis;
            EXPECT_LE(call.hypothesis.value_or(SpeechTranscription{}).utterance, 1);
        }
        ASSERT_TRUE(first.has_value());
        EXPECT_EQ(wordsOf(*first), kGoForward);
        expectTimesAndWords(*first, second);
        const auto result = outcome->result();
        EXPECT_EQ(result.utterance, 1);
        EXPECT_EQ(wordsOf(result), kGoForward);
        expectTimesAndWords(result, second + seconds(once));
        ASSERT_EQ(result.segments.size(), first->segments.size());
        // The same words at the same place in the second copy, within a few frames.
        for (std::size_t i = 0; i < result.segments.size(); ++i)
            EXPECT_NEAR(result.segments[i].timestamp, first->segments[i].timestamp + second, 0.05);
    }
}

// Cancelled while decoding: "cancelled" and nothing after, whatever the task is told afterwards. A task dropped
// while it decodes, or that never heard anything, cancelled or dropped, is cancelled; one that has ended is not
// cancelled any more.
TEST_F(PocketSphinxSpeech, CancelEndsWithCancelledAndNothingAfter) {
    const auto sound = librivox("0870");
    const std::size_t half = sound.size() / 2;
    auto outcome = recognise(*recognizer_, {sound.begin(), sound.begin() + static_cast<long>(half)}, 1600, false);
    ASSERT_TRUE(outcome->waitEnded(1)); // decoding is under way
    outcome->task->cancel();
    const auto calls = outcome->calls();
    EXPECT_EQ(calls.back().error.value_or(SpeechError{}).code, SpeechError::cancelled);
    for (std::size_t i = 0; i + 1 < calls.size(); ++i)
        EXPECT_FALSE(calls[i].error.has_value()) << i;
    outcome->task->append(sound.data() + half, sound.size() - half);
    outcome->task->endAudio();
    outcome->task->cancel();
    outcome->task.reset(); // waits for the task's thread
    EXPECT_EQ(outcome->calls().size(), calls.size());

    auto dropped = recognise(*recognizer_, sound, sound.size(), false);
    dropped->task.reset();
    auto idle = std::make_shared<Collector>(), early = std::make_shared<Collector>();
    recognizer_->start(idle->handler()).reset();
    recognizer_->start(early->handler())->cancel();
    for (const auto& collector : {dropped, idle, early}) {
        ASSERT_FALSE(collector->calls().empty());
        EXPECT_EQ(collector->last().error.value_or(SpeechError{}).code, SpeechError::cancelled);
        EXPECT_FALSE(collector->callsAfterEnd);
    }
    EXPECT_EQ(idle->calls().size() + early->calls().size(), 2u);
    auto ended = recognise(*recognizer_, goForward());
    const auto count = ended->calls().size();
    ended->task->cancel();
    EXPECT_EQ(ended->calls().size(), count);
    EXPECT_TRUE(ended->last().isFinal);
}

// A handler that owns its task keeps it (and its thread) until the end, and may cancel it from inside: that
// must neither deadlock nor bring another call, and the task goes once the handler lets it go.
TEST_F(PocketSphinxSpeech, HandlerMayOwnAndCancelItsOwnTaskAndReusedDecodersAndConcurrentTasksGetTheirOwnWords) {
    const auto sound = librivox("0870");
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto holder = std::make_shared<std::shared_ptr<SpeechRecognitionTask>>();
    auto task = recognizer_->start(
        [calls, holder](const std::optional<SpeechTranscription>&, bool, const std::optional<SpeechError>&) {
            if (++*calls == 1) {
                (*holder)->cancel();
                holder->reset();
            }
        });
    *holder = task;
    for (std::size_t at = 0; at < sound.size(); at += 1600)
        task->append(sound.data() + at, std::min<std::size_t>(1600, sound.size() - at));
    task->endAudio();
    std::weak_ptr<SpeechRecognitionTask> watch = task;
    task.reset();
    holder.reset();
    ASSERT_TRUE(test::eventually([&] { return watch.expired(); }, 60s));
    EXPECT_EQ(calls->load(), 1);

    // One after another on one decoder, each task starts afresh: the same sound after other sound (which changes
    // what the decoder knows of the channel) gives the same words at the same times. Then all at once: four
    // tasks, three decoders at most (the fourth waited for one).
    const std::vector<std::vector<std::int16_t>> sounds{goForward(), librivox("0880"), librivox("0930"), goForward()};
    // (The cancelled task above may still be closing its decoder when the next one starts, so the count is
    // taken once the first of these has ended.)
    std::vector<SpeechTranscription> alone;
    std::size_t loaded = 0;
    for (const auto& sound : sounds) {
        alone.push_back(recognise(*recognizer_, sound, alone.size() == 3 ? 333 : 4000)->result());
        if (alone.size() == 1)
            loaded = backend_->decodersLoaded();
    }
    EXPECT_EQ(wordsOf(alone[0]), kGoForward);
    EXPECT_LE(loaded, 2u);
    EXPECT_EQ(backend_->decodersLoaded(), loaded);
    ASSERT_EQ(alone[3].segments.size(), alone[0].segments.size());
    for (std::size_t i = 0; i < alone[0].segments.size(); ++i) {
        EXPECT_DOUBLE_EQ(alone[3].segments[i].timestamp, alone[0].segments[i].timestamp);
        EXPECT_DOUBLE_EQ(alone[3].segments[i].duration, alone[0].segments[i].duration);
    }
    std::vector<SpeechTranscription> together(sounds.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < sounds.size(); ++i)
        threads.emplace_back([&, i] { together[i] = recognise(*recognizer_, sounds[i], 800)->result(); });
    for (std::size_t i = 0; i < sounds.size(); ++i) {
        threads[i].join();
        EXPECT_EQ(wordsOf(together[i]), wordsOf(alone[i])) << i;
    }
    EXPECT_LE(backend_->decodersLoaded(), 3u);
}
