// The PocketSphinx recogniser on Debian's en-US model and the recordings of pocketsphinx-testdata: words
// and their times, no-speech results, partial hypotheses, cancellation, concurrent tasks, and the model
// discovery and locale rules around it.
#include "platform/linux/PocketSphinxSpeech.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

using namespace pokescope;
namespace fs = std::filesystem;

namespace {

const fs::path kModels = "/usr/share/pocketsphinx/model";
const fs::path kTestData = "/usr/share/pocketsphinx/test/data";
const std::string kLibrivox = "librivox/sense_and_sensibility_01_austen_64kb-";

std::string bytesOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::int16_t> samplesOf(const std::string& bytes, std::size_t offset, std::size_t size) {
    std::vector<std::int16_t> samples(size / 2);
    std::memcpy(samples.data(), bytes.data() + offset, samples.size() * 2);
    return samples;
}

// Headerless 16 kHz mono 16-bit little-endian sound.
std::vector<std::int16_t> readRaw(const fs::path& path) {
    const std::string bytes = bytesOf(path);
    return samplesOf(bytes, 0, bytes.size());
}

// The samples of a 16 kHz mono 16-bit RIFF WAVE file; fails the test for any other format.
std::vector<std::int16_t> readWav(const fs::path& path) {
    const std::string bytes = bytesOf(path);
    const auto at = [&](const char* id) { return bytes.find(id, 12); };
    EXPECT_EQ(bytes.substr(0, 4) + bytes.substr(8, 4), "RIFFWAVE");
    if (at("fmt ") == std::string::npos || at("data") == std::string::npos || at("data") + 8 > bytes.size()) {
        ADD_FAILURE() << "no format or data chunk in " << path;
        return {};
    }
    const auto format = samplesOf(bytes, at("fmt ") + 8, 16); // tag, channels, rate (2), …, bits
    EXPECT_EQ(format[1], 1);                                  // one channel
    EXPECT_EQ(format[2] | format[3] << 16, 16000);            // samples a second
    EXPECT_EQ(format[7], 16);                                 // bits a sample
    return samplesOf(bytes, at("data") + 8, bytes.size() - at("data") - 8);
}

std::vector<std::string> wordsOf(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

// The transcript of one librivox recording, without its sentence marks.
std::vector<std::string> transcriptOf(const std::string& id) {
    std::ifstream in(kTestData / "librivox" / "transcription");
    std::string line;
    while (std::getline(in, line))
        if (line.find("(" + id + ")") != std::string::npos) {
            auto words = wordsOf(line);
            words.erase(std::remove_if(words.begin(), words.end(),
                                       [](const std::string& w) { return w[0] == '<' || w[0] == '('; }),
                        words.end());
            return words;
        }
    ADD_FAILURE() << "no transcript for " << id;
    return {};
}

// Words to substitute, insert or delete to turn `heard` into `said`.
std::size_t wordErrors(const std::vector<std::string>& said, const std::vector<std::string>& heard) {
    std::vector<std::size_t> row(heard.size() + 1);
    for (std::size_t j = 0; j < row.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= said.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= heard.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (said[i - 1] == heard[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[heard.size()];
}

std::vector<std::string> wordsOf(const SpeechTranscription& transcription) {
    std::vector<std::string> words;
    for (const auto& segment : transcription.segments)
        words.push_back(segment.substring);
    return words;
}

std::vector<std::string> words(std::initializer_list<const char*> list) {
    return {list.begin(), list.end()};
}

struct Call {
    std::optional<SpeechTranscription> hypothesis;
    bool isFinal = false;
    std::optional<SpeechError> error;
};

// Records every handler call of one task.
class Collector : public std::enable_shared_from_this<Collector> {
public:
    SpeechRecognizer::ResultHandler handler() {
        return [self = shared_from_this()](const std::optional<SpeechTranscription>& hypothesis, bool isFinal,
                                           const std::optional<SpeechError>& error) {
            self->add({hypothesis, isFinal, error});
        };
    }

    void add(Call call) {
        {
            std::lock_guard lock(lock_);
            if (ended_)
                callsAfterEnd_ = true;
            ended_ = call.isFinal || call.error.has_value();
            calls_.push_back(std::move(call));
        }
        changed_.notify_all();
    }

    // Waits for the final result or an error; false when neither came in a minute.
    bool waitEnded() {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return ended_; });
    }

    bool waitCalls(std::size_t count) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, std::chrono::seconds(60),
                                 [&] { return calls_.size() >= count || ended_; });
    }

    std::vector<Call> calls() const {
        std::lock_guard lock(lock_);
        return calls_;
    }
    bool callsAfterEnd() const {
        std::lock_guard lock(lock_);
        return callsAfterEnd_;
    }
    Call last() const {
        std::lock_guard lock(lock_);
        return calls_.back();
    }

private:
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    bool ended_ = false;
    bool callsAfterEnd_ = false;
};

struct Outcome {
    std::shared_ptr<Collector> collector;
    std::shared_ptr<SpeechRecognitionTask> task;

    Call last() const { return collector->last(); }
    SpeechTranscription result() const {
        const Call& call = last();
        EXPECT_TRUE(call.isFinal);
        EXPECT_FALSE(call.error.has_value()) << call.error->description;
        return call.hypothesis.value_or(SpeechTranscription{});
    }
};

// Feeds `samples` in pieces of `piece` samples, ends the audio and waits for the end.
Outcome recognise(SpeechRecognizer& recognizer, const std::vector<std::int16_t>& samples,
                  std::size_t piece = 4000) {
    Outcome outcome{std::make_shared<Collector>(), nullptr};
    outcome.task = recognizer.start(outcome.collector->handler());
    for (std::size_t at = 0; at < samples.size(); at += piece)
        outcome.task->append(samples.data() + at, std::min(piece, samples.size() - at));
    outcome.task->endAudio();
    EXPECT_TRUE(outcome.collector->waitEnded());
    EXPECT_FALSE(outcome.collector->callsAfterEnd());
    return outcome;
}

double seconds(const std::vector<std::int16_t>& samples) {
    return static_cast<double>(samples.size()) / kSpeechSampleRate;
}

// Times in seconds from the task's first sample, in order, inside the sound.
void expectTimesInside(const SpeechTranscription& transcription, double length) {
    double previousEnd = 0;
    for (const auto& segment : transcription.segments) {
        EXPECT_GE(segment.timestamp, previousEnd - 1e-9) << segment.substring;
        EXPECT_GT(segment.duration, 0) << segment.substring;
        EXPECT_LE(segment.timestamp + segment.duration, length + 1e-9) << segment.substring;
        previousEnd = segment.timestamp + segment.duration;
    }
}

// No fillers and no pronunciation numbers: this recording's raw segments hold "<sil>", "and(2)" and
// "leisure(2)".
void expectPlainWords(const SpeechTranscription& transcription) {
    for (const auto& segment : transcription.segments) {
        EXPECT_FALSE(segment.substring.empty());
        EXPECT_EQ(segment.substring.find_first_of("()<>[]+"), std::string::npos) << segment.substring;
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

    std::vector<std::int16_t> goForward() const { return readRaw(kTestData / "goforward.raw"); }
    std::vector<std::int16_t> librivox(const std::string& id) const {
        return readWav(kTestData / (kLibrivox + id + ".wav"));
    }

    std::shared_ptr<PocketSphinxBackend> backend_;
    std::shared_ptr<SpeechRecognizer> recognizer_;
};

} // namespace

// ---- Words, locales and models ----

TEST(SpeechWords, FillersAreDroppedAndPronunciationNumbersRemoved) {
    for (const char* filler : {"<s>", "</s>", "<sil>", "[NOISE]", "[SPEECH]", "++BREATH++", "+NSN+", ""})
        EXPECT_EQ(speech::cleanWord(filler), std::nullopt) << filler;
    EXPECT_EQ(speech::cleanWord("read(2)"), "read");
    EXPECT_EQ(speech::cleanWord("to(12)"), "to");
    EXPECT_EQ(speech::cleanWord("meters"), "meters");
    // Apostrophes belong to words; brackets that are not a pronunciation number stay.
    EXPECT_EQ(speech::cleanWord("i'm(2)"), "i'm");
    EXPECT_EQ(speech::cleanWord("'bout"), "'bout");
    EXPECT_EQ(speech::cleanWord("a(b)"), "a(b)");
    EXPECT_EQ(speech::cleanWord("x()"), "x()");
}

TEST(SpeechLocales, IdentifiersAreNormalisedAndTheUserLocaleComesFromTheFirstSetVariable) {
    const std::pair<const char*, const char*> identifiers[] = {
        {"en-us", "en-US"},           {"EN_us", "en-US"}, {"pt-BR", "pt-BR"}, {"fr", "fr"},
        {"zh_hant_tw", "zh-HANT-TW"}, {"", ""},           {"-US", ""}};
    for (auto [given, expected] : identifiers)
        EXPECT_EQ(speech::localeIdentifier(given), expected) << given;

    using speech::localeFromEnvironment;
    EXPECT_EQ(localeFromEnvironment(nullptr, nullptr, "en_GB.UTF-8"), "en_GB");
    EXPECT_EQ(localeFromEnvironment("de_DE.UTF-8@euro", "fr_FR.UTF-8", "en_GB.UTF-8"), "de_DE");
    EXPECT_EQ(localeFromEnvironment("", "fr_FR", "en_GB"), "fr_FR");
    EXPECT_EQ(localeFromEnvironment(nullptr, "", "sr_RS@latin"), "sr_RS");
    EXPECT_EQ(localeFromEnvironment(nullptr, nullptr, nullptr), "en_US");
    EXPECT_EQ(localeFromEnvironment("C", nullptr, "de_DE"), "en_US");
    EXPECT_EQ(localeFromEnvironment(nullptr, "POSIX", nullptr), "en_US");
    EXPECT_EQ(localeFromEnvironment("C.UTF-8", nullptr, nullptr), "en_US");

    test::ScopedEnvironment environment;
    environment.set("LC_ALL", std::nullopt);
    environment.set("LC_MESSAGES", "nl_NL.UTF-8");
    environment.set("LANG", "en_GB.UTF-8");
    EXPECT_EQ(PocketSphinxBackend("/nonexistent").currentLocale(), "nl_NL");
    environment.set("LC_MESSAGES", std::nullopt);
    EXPECT_EQ(PocketSphinxBackend("/nonexistent").currentLocale(), "en_GB");
}

TEST(SpeechModels, OnlyCompleteModelsAreFound) {
    test::TempFolder folder;
    const auto make = [&](const std::string& name, const std::vector<std::string>& files) {
        for (const auto& file : files) {
            fs::create_directories((folder.path() / name / file).parent_path());
            test::writeFile(folder.path() / name / file, "x");
        }
    };
    const std::vector<std::string> acoustic{"mdef", "means", "variances", "transition_matrices", "sendump"};
    std::vector<std::string> files;
    for (const auto& f : acoustic)
        files.push_back("pt-br/" + f);
    files.push_back("pt-br.lm");
    files.push_back("pt-br.dic");
    make("pt-br", files);
    // No dictionary.
    make("de-de", {"de-de/mdef", "de-de/means", "de-de/variances", "de-de/transition_matrices",
                   "de-de/sendump", "de-de.lm.bin"});
    // No mixture weights.
    make("it-it", {"it-it/mdef", "it-it/means", "it-it/variances", "it-it/transition_matrices",
                   "it-it.lm.bin", "cmudict-it-it.dict"});
    test::writeFile(folder.path() / "README", "not a model");

    const auto models = speech::findModels(folder.path().string());
    ASSERT_EQ(models.size(), 1u);
    EXPECT_EQ(models[0].locale, "pt-BR");
    EXPECT_EQ(models[0].acousticModel, (folder.path() / "pt-br" / "pt-br").string());
    EXPECT_EQ(models[0].languageModel, (folder.path() / "pt-br" / "pt-br.lm").string());
    EXPECT_EQ(models[0].dictionary, (folder.path() / "pt-br" / "pt-br.dic").string());

    EXPECT_TRUE(speech::findModels((folder.path() / "missing").string()).empty());
}

TEST(SpeechModels, EmptyModelFolderFromTheEnvironmentOffersNoLocale) {
    test::TempFolder folder;
    test::ScopedEnvironment environment;
    environment.set("POKESCOPE_SPEECH_MODELS", folder.path().string());
    EXPECT_EQ(speech::defaultModelFolder(), folder.path().string());
    PocketSphinxBackend backend;
    EXPECT_TRUE(backend.supportedLocales().empty());
    EXPECT_EQ(backend.recognizer("en-US"), nullptr);

    environment.set("POKESCOPE_SPEECH_MODELS", "");
    EXPECT_EQ(speech::defaultModelFolder(), kModels.string());
}

TEST(SpeechModels, ModelThatCannotLoadFailsTheTask) {
    // Debian's acoustic model and dictionary with a language model that is not one.
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
    const std::vector<std::int16_t> sound(16000, 100);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto outcome = recognise(*recognizer, sound);
        const Call& call = outcome.last();
        ASSERT_TRUE(call.error.has_value());
        EXPECT_EQ(call.error->domain, SpeechError::kDomain);
        EXPECT_EQ(call.error->code, SpeechError::failed);
        EXPECT_NE(call.error->description.find("en-GB"), std::string::npos) << call.error->description;
        EXPECT_EQ(outcome.collector->calls().size(), 1u);
    }
    EXPECT_EQ(backend.decodersLoaded(), 0u);
}

// ---- The backend ----

TEST_F(PocketSphinxSpeech, LocalesMatchWithoutRegardToCaseOrSeparatorAndAreAuthorisedAtOnce) {
    const auto locales = backend_->supportedLocales();
    EXPECT_NE(std::find(locales.begin(), locales.end(), "en-US"), locales.end());
    for (const char* name : {"en-US", "en_us", "EN-us"}) {
        auto recognizer = backend_->recognizer(name);
        ASSERT_NE(recognizer, nullptr) << name;
        EXPECT_EQ(recognizer->localeIdentifier(), "en-US");
        EXPECT_TRUE(recognizer->supportsOnDeviceRecognition());
    }
    EXPECT_EQ(backend_->recognizer("fr-FR"), nullptr);
    EXPECT_EQ(backend_->recognizer("en"), nullptr);
    EXPECT_EQ(backend_->recognizer(""), nullptr);
    // Making recognisers loads nothing; decoding does.
    EXPECT_EQ(backend_->decodersLoaded(), 0u);
    // Linux asks nobody: authorised at once.
    EXPECT_EQ(backend_->authorizationStatus(), SpeechBackend::Authorization::authorized);
    std::optional<SpeechBackend::Authorization> answer;
    backend_->requestAuthorization([&](SpeechBackend::Authorization value) { answer = value; });
    EXPECT_EQ(answer, SpeechBackend::Authorization::authorized);
    EXPECT_EQ(SpeechBackend::system(), SpeechBackend::system());
    EXPECT_NE(SpeechBackend::system(), nullptr);
}

// ---- Recognition ----

TEST_F(PocketSphinxSpeech, GoForwardTenMetersWithTimesInSeconds) {
    const auto sound = goForward();
    auto outcome = recognise(*recognizer_, sound);
    const auto result = outcome.result();
    EXPECT_EQ(wordsOf(result), words({"go", "forward", "ten", "meters"}));
    EXPECT_EQ(result.utterance, 0);
    expectTimesInside(result, seconds(sound));
    ASSERT_EQ(result.segments.size(), 4u);
    // "go" begins after about half a second of quiet; "meters" ends about half a second before the end.
    EXPECT_NEAR(result.segments[0].timestamp, 0.46, 0.1);
    EXPECT_NEAR(result.segments[3].timestamp + result.segments[3].duration, 2.12, 0.15);
    for (const auto& call : outcome.collector->calls())
        EXPECT_FALSE(call.error.has_value());
}

TEST_F(PocketSphinxSpeech, ReadSpeechGivesMostOfTheTranscript) {
    // The library's own command-line transcriber gets 4 of these 19 words wrong.
    const auto sound = librivox("0920");
    const auto result = recognise(*recognizer_, sound, 16000).result();
    const auto said = transcriptOf("sense_and_sensibility_01_austen_64kb-0920");
    ASSERT_EQ(said.size(), 19u);
    EXPECT_LE(wordErrors(said, wordsOf(result)), 4u) << testing::PrintToString(wordsOf(result));
    expectTimesInside(result, seconds(sound));
    EXPECT_GT(result.segments.back().timestamp, 4.0);
}

TEST_F(PocketSphinxSpeech, SilenceIsNoSpeechNotAFailure) {
    auto outcome = recognise(*recognizer_, std::vector<std::int16_t>(2 * kSpeechSampleRate, 0));
    ASSERT_EQ(outcome.collector->calls().size(), 1u);
    const Call& call = outcome.last();
    EXPECT_FALSE(call.hypothesis.has_value());
    EXPECT_FALSE(call.isFinal);
    ASSERT_TRUE(call.error.has_value());
    EXPECT_EQ(call.error->domain, SpeechError::kDomain);
    EXPECT_EQ(call.error->code, SpeechError::noSpeech);
    EXPECT_EQ(call.error->description, "No speech detected");

    // No sound at all is the same answer, without a decoder.
    PocketSphinxBackend fresh(kModels.string());
    auto empty = recognise(*fresh.recognizer("en-US"), {});
    ASSERT_TRUE(empty.last().error.has_value());
    EXPECT_EQ(empty.last().error->code, SpeechError::noSpeech);
    EXPECT_EQ(fresh.decodersLoaded(), 0u);
}

TEST_F(PocketSphinxSpeech, PartialHypothesesComeBeforeTheFinalOne) {
    const auto sound = librivox("0870");
    auto outcome = recognise(*recognizer_, sound, 1600);
    const auto calls = outcome.collector->calls();
    ASSERT_GE(calls.size(), 3u);
    for (std::size_t i = 0; i + 1 < calls.size(); ++i) {
        ASSERT_TRUE(calls[i].hypothesis.has_value()) << i;
        EXPECT_FALSE(calls[i].isFinal) << i;
        EXPECT_FALSE(calls[i].error.has_value()) << i;
        EXPECT_EQ(calls[i].hypothesis->utterance, 0);
        EXPECT_FALSE(calls[i].hypothesis->segments.empty()) << i;
        expectTimesInside(*calls[i].hypothesis, seconds(sound));
        expectPlainWords(*calls[i].hypothesis);
        if (i > 0) {
            EXPECT_NE(wordsOf(*calls[i].hypothesis), wordsOf(*calls[i - 1].hypothesis))
                << "repeated hypothesis";
        }
    }
    const auto result = outcome.result();
    EXPECT_EQ(result.utterance, 0);
    expectPlainWords(result);
    const auto heard = wordsOf(result);
    EXPECT_NE(std::find(heard.begin(), heard.end(), "leisure"), heard.end());
    const auto said = transcriptOf("sense_and_sensibility_01_austen_64kb-0870");
    EXPECT_LE(wordErrors(said, heard), 8u) << testing::PrintToString(heard);
}

TEST_F(PocketSphinxSpeech, PausesStartNewUtterancesTimedFromTheTaskStart) {
    // "go forward ten meters", a second and a half of quiet, and the same again.
    const auto once = goForward();
    std::vector<std::int16_t> sound = once;
    sound.resize(sound.size() + 24000, 0);
    sound.insert(sound.end(), once.begin(), once.end());
    const double second = seconds(once) + 1.5;

    auto outcome = recognise(*recognizer_, sound);
    const auto calls = outcome.collector->calls();
    std::optional<SpeechTranscription> first;
    for (const auto& call : calls)
        if (call.hypothesis && call.hypothesis->utterance == 0)
            first = call.hypothesis;
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(wordsOf(*first), words({"go", "forward", "ten", "meters"}));
    expectTimesInside(*first, second);

    const auto result = outcome.result();
    EXPECT_EQ(result.utterance, 1);
    EXPECT_EQ(wordsOf(result), words({"go", "forward", "ten", "meters"}));
    expectTimesInside(result, seconds(sound));
    ASSERT_EQ(result.segments.size(), first->segments.size());
    // The same words at the same place in the second copy, within a few frames.
    for (std::size_t i = 0; i < result.segments.size(); ++i)
        EXPECT_NEAR(result.segments[i].timestamp, first->segments[i].timestamp + second, 0.05)
            << result.segments[i].substring;
}

TEST_F(PocketSphinxSpeech, QuietAfterTheWordsKeepsThemAsTheFinalResult) {
    // Long enough for the decoder to close the utterance and open another that hears nothing, as at the
    // end of every stretch of sound: the words heard before stay the result. Once digital silence, once a
    // faint hiss.
    const auto once = goForward();
    for (const std::int16_t level : {0, 20}) {
        std::vector<std::int16_t> sound = once;
        for (int i = 0; i < 2 * kSpeechSampleRate; ++i)
            sound.push_back(static_cast<std::int16_t>(level == 0 ? 0 : (i * 7919 % (2 * level + 1)) - level));
        auto outcome = recognise(*recognizer_, sound);
        const auto result = outcome.result();
        EXPECT_EQ(wordsOf(result), words({"go", "forward", "ten", "meters"})) << level;
        EXPECT_EQ(result.utterance, 0) << level;
        expectTimesInside(result, seconds(once));
        for (const auto& call : outcome.collector->calls())
            EXPECT_EQ(call.hypothesis.value_or(SpeechTranscription{}).utterance, 0) << level;
    }
}

TEST_F(PocketSphinxSpeech, SameSoundGivesTheSameResultOnAReusedDecoder) {
    const auto first = recognise(*recognizer_, goForward()).result();
    // Other sound in between changes what the decoder knows of the channel; each task starts afresh.
    recognise(*recognizer_, librivox("0880"));
    const auto again = recognise(*backend_->recognizer("en_US"), goForward(), 333).result();
    EXPECT_EQ(wordsOf(again), wordsOf(first));
    ASSERT_EQ(again.segments.size(), first.segments.size());
    for (std::size_t i = 0; i < first.segments.size(); ++i) {
        EXPECT_DOUBLE_EQ(again.segments[i].timestamp, first.segments[i].timestamp);
        EXPECT_DOUBLE_EQ(again.segments[i].duration, first.segments[i].duration);
    }
    // One decoder served all three tasks.
    EXPECT_EQ(backend_->decodersLoaded(), 1u);
}

TEST_F(PocketSphinxSpeech, SoundAfterTheEndIsIgnored) {
    const auto sound = goForward();
    auto collector = std::make_shared<Collector>();
    auto task = recognizer_->start(collector->handler());
    task->append(sound.data(), sound.size());
    task->endAudio();
    const auto more = librivox("0880");
    task->append(more.data(), more.size());
    ASSERT_TRUE(collector->waitEnded());
    ASSERT_TRUE(collector->last().isFinal);
    EXPECT_EQ(wordsOf(*collector->last().hypothesis), words({"go", "forward", "ten", "meters"}));
    expectTimesInside(*collector->last().hypothesis, seconds(sound));
}

// ---- Cancellation and task lifetime ----

TEST_F(PocketSphinxSpeech, CancelEndsWithCancelledAndNothingAfter) {
    const auto sound = librivox("0870");
    auto collector = std::make_shared<Collector>();
    auto task = recognizer_->start(collector->handler());
    // Half the sound, then wait for the first hypothesis so that decoding is under way.
    const std::size_t half = sound.size() / 2;
    for (std::size_t at = 0; at < half; at += 1600)
        task->append(sound.data() + at, std::min<std::size_t>(1600, half - at));
    ASSERT_TRUE(collector->waitCalls(1));
    task->cancel();

    const auto calls = collector->calls();
    ASSERT_FALSE(calls.empty());
    ASSERT_TRUE(calls.back().error.has_value());
    EXPECT_EQ(calls.back().error->domain, SpeechError::kDomain);
    EXPECT_EQ(calls.back().error->code, SpeechError::cancelled);
    for (std::size_t i = 0; i + 1 < calls.size(); ++i)
        EXPECT_FALSE(calls[i].error.has_value());

    // Nothing more, whatever the task is told afterwards.
    task->append(sound.data() + half, sound.size() - half);
    task->endAudio();
    task->cancel();
    task.reset(); // waits for the task's thread
    EXPECT_EQ(collector->calls().size(), calls.size());
}

TEST_F(PocketSphinxSpeech, HandlerMayCancelItsOwnTask) {
    const auto sound = librivox("0870");
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto holder = std::make_shared<std::shared_ptr<SpeechRecognitionTask>>();
    auto task = recognizer_->start(
        [calls, holder](const std::optional<SpeechTranscription>&, bool, const std::optional<SpeechError>&) {
            if (++*calls == 1) {
                (*holder)->cancel(); // must neither deadlock nor bring another call
                holder->reset();
            }
        });
    *holder = task;
    for (std::size_t at = 0; at < sound.size(); at += 1600)
        task->append(sound.data() + at, std::min<std::size_t>(1600, sound.size() - at));
    task->endAudio();
    ASSERT_TRUE(test::eventually([&] { return calls->load() >= 1; }, std::chrono::seconds(60)));
    task.reset(); // the last owner: waits for the thread
    EXPECT_EQ(calls->load(), 1);
}

TEST_F(PocketSphinxSpeech, DroppingATaskWithoutEndingItIsACancelAndAnEndedTaskStaysEnded) {
    const auto sound = librivox("0870");
    auto collector = std::make_shared<Collector>();
    {
        auto task = recognizer_->start(collector->handler());
        task->append(sound.data(), sound.size());
    }
    ASSERT_FALSE(collector->calls().empty());
    EXPECT_EQ(collector->last().error->code, SpeechError::cancelled);
    EXPECT_FALSE(collector->callsAfterEnd());

    // A task that never heard anything, cancelled or dropped; one that has ended is not cancelled any more.
    auto idle = std::make_shared<Collector>();
    recognizer_->start(idle->handler()).reset();
    ASSERT_EQ(idle->calls().size(), 1u);
    EXPECT_EQ(idle->last().error->code, SpeechError::cancelled);

    auto early = std::make_shared<Collector>();
    recognizer_->start(early->handler())->cancel();
    ASSERT_EQ(early->calls().size(), 1u);
    EXPECT_EQ(early->last().error->code, SpeechError::cancelled);

    auto outcome = recognise(*recognizer_, goForward());
    const auto count = outcome.collector->calls().size();
    outcome.task->cancel();
    EXPECT_EQ(outcome.collector->calls().size(), count);
    EXPECT_TRUE(outcome.last().isFinal);

    // And one whose handler owns it.
    auto circle = std::make_shared<Collector>();
    auto holder = std::make_shared<std::shared_ptr<SpeechRecognitionTask>>();
    auto task = recognizer_->start(
        [handler = circle->handler(), holder](const std::optional<SpeechTranscription>& hypothesis,
                                              bool isFinal, const std::optional<SpeechError>& error) {
            handler(hypothesis, isFinal, error);
        });
    *holder = task;
    task->append(sound.data(), 16000);
    task->endAudio();
    // The handler's copy of the task keeps it (and its thread) until the end, then lets it go.
    std::weak_ptr<SpeechRecognitionTask> watch = task;
    task.reset();
    holder.reset();
    ASSERT_TRUE(circle->waitEnded());
    EXPECT_TRUE(test::eventually([&] { return watch.expired(); }));
}

TEST_F(PocketSphinxSpeech, RecognizerAndBackendMayGoWhileTasksRun) {
    const auto sound = goForward();
    auto collector = std::make_shared<Collector>();
    auto task = recognizer_->start(collector->handler());
    recognizer_.reset();
    backend_.reset();
    task->append(sound.data(), sound.size());
    task->endAudio();
    ASSERT_TRUE(collector->waitEnded());
    EXPECT_EQ(wordsOf(*collector->last().hypothesis), words({"go", "forward", "ten", "meters"}));
}

// ---- Several tasks at once ----

TEST_F(PocketSphinxSpeech, ConcurrentTasksEachGetTheirOwnWords) {
    const std::vector<std::vector<std::int16_t>> sounds{goForward(), librivox("0880"), librivox("0930"),
                                                        goForward()};
    std::vector<std::vector<std::string>> alone;
    for (const auto& sound : sounds)
        alone.push_back(wordsOf(recognise(*recognizer_, sound).result()));
    EXPECT_EQ(alone[0], words({"go", "forward", "ten", "meters"}));

    std::vector<std::vector<std::string>> together(sounds.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < sounds.size(); ++i)
        threads.emplace_back(
            [&, i] { together[i] = wordsOf(recognise(*recognizer_, sounds[i], 800).result()); });
    for (auto& thread : threads)
        thread.join();
    for (std::size_t i = 0; i < sounds.size(); ++i)
        EXPECT_EQ(together[i], alone[i]) << i;
    // Four tasks, three decoders at most: the fourth waited for one.
    EXPECT_GE(backend_->decodersLoaded(), 1u);
    EXPECT_LE(backend_->decodersLoaded(), 3u);
}
