#include "bench/transcribe/TranscribeCorpora.hpp"

#include "platform/Process.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <vector>

namespace pokescope::bench {

namespace {

// Every sox call runs with "-R", so that its dither and noise come out the same in every run: the
// recogniser's words change with a difference of one bit.

const std::filesystem::path kTestData = "/usr/share/pocketsphinx/test/data";

// Everyday sentences with their numbers spelt out, so that the reference is exactly what is spoken.
constexpr std::array<const char*, 40> kSentences{
    "The weather is mild today, so we can walk to the park.",
    "Please open the settings and turn on the camera.",
    "I left my keys on the kitchen table this morning.",
    "The train to the city leaves in twenty minutes.",
    "Could you send me the photos from the weekend?",
    "We need milk, bread and a dozen eggs from the store.",
    "The meeting has been moved to next Thursday afternoon.",
    "My sister is learning to play the piano.",
    "Turn left at the second light and park near the bank.",
    "The battery is almost empty, so plug in the charger.",
    "Thank you for calling, we will get back to you soon.",
    "The children are playing in the garden after school.",
    "Remember to water the plants while I am away.",
    "This coffee is too hot to drink right now.",
    "The library closes early on Sunday evenings.",
    "Can you help me carry these boxes upstairs?",
    "The new phone has a bigger screen and a better camera.",
    "It started raining just as we reached the beach.",
    "Please write your name at the top of the page.",
    "The dog barked at the mail carrier again today.",
    "We watched an old movie and ate popcorn on the couch.",
    "Your order has shipped and will arrive on Monday.",
    "He forgot his umbrella at the restaurant last night.",
    "The music in the next room is very loud.",
    "Let us meet at the front door of the museum.",
    "She reads the news every morning before work.",
    "The bus was late because of heavy traffic downtown.",
    "Press the home button to go back to the main screen.",
    "I would like a cup of tea with lemon, please.",
    "The doctor said I should get more sleep.",
    "Our neighbors painted their house bright yellow.",
    "The flight was delayed by almost two hours.",
    "Swipe down from the top to see your notifications.",
    "My grandmother makes the best apple pie in town.",
    "The store is open from nine in the morning until six.",
    "We are planning a trip to the mountains this summer.",
    "Please turn off the lights when you leave the room.",
    "The soup needs a little more salt and pepper.",
    "He runs five miles every day before breakfast.",
    "The password must be at least eight letters long.",
};

struct Voice {
    const char* id;
    const char* espeak;
};
// Each voice speaks half of the sentences.
constexpr std::array<Voice, 2> kVoices{{{"en_us_male", "en-us"}, {"en_us_female", "en-us+f3"}}};
constexpr const char* kWordsPerMinute = "150";
constexpr double kPause = 1.0; // between sentences
constexpr double kLead = 0.5;  // before the first and after the last
// sox effects that cut the quiet at both ends of a sentence (below 1% of full scale).
const std::vector<std::string> kTrimSilence{"silence", "1", "0.01", "1%", "reverse",
                                            "silence", "1", "0.01", "1%", "reverse"};
constexpr double kJoinPause = 1.5; // between the human readings joined into one file

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

double meanSquare(const std::vector<std::int16_t>& samples) {
    if (samples.empty())
        return 0;
    double sum = 0;
    for (auto s : samples)
        sum += static_cast<double>(s) * static_cast<double>(s);
    return sum / static_cast<double>(samples.size());
}

} // namespace

double Corpus::seconds() const {
    double total = 0;
    for (const auto& r : recordings)
        total += r.seconds;
    return total;
}

double Wave::seconds() const {
    return rate > 0 && channels > 0 ? static_cast<double>(samples.size()) / channels / rate : 0.0;
}

Wave readWave(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto bad = [&](const std::string& why) { return std::runtime_error(file.string() + ": " + why); };
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        throw bad("not a WAV file");
    Wave wave;
    int bits = 0;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const unsigned char* chunk = bytes.data() + at;
        const std::size_t size = std::min<std::size_t>(le32(chunk + 4), bytes.size() - at - 8);
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16) {
            const auto format = le16(chunk + 8);
            if (format != 1 && format != 0xFFFE)
                throw bad("not PCM");
            wave.channels = le16(chunk + 10);
            wave.rate = static_cast<int>(le32(chunk + 12));
            bits = le16(chunk + 22);
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (bits != 16)
                throw bad("not 16-bit PCM");
            wave.samples.resize(size / 2);
            for (std::size_t k = 0; k < wave.samples.size(); ++k)
                wave.samples[k] = static_cast<std::int16_t>(le16(chunk + 8 + 2 * k));
            return wave;
        }
        at += 8 + size + (size & 1);
    }
    throw bad("no sound data");
}

std::string runTool(const std::vector<std::string>& arguments) {
    auto result = runProcess(arguments, std::chrono::minutes(5));
    if (result.status != 0) {
        std::string command;
        for (const auto& a : arguments)
            command += (command.empty() ? "" : " ") + a;
        throw std::runtime_error(
            command + ": " +
            (result.status < 0 ? "cannot start" : "status " + std::to_string(result.status)));
    }
    return result.output;
}

std::vector<Corpus> humanCorpora(const std::filesystem::path& folder) {
    Corpus corpus{"human", "readers of Debian's pocketsphinx-testdata, one utterance a file", {}};
    std::ifstream transcription(kTestData / "librivox/transcription");
    if (!transcription)
        throw std::runtime_error("no " + (kTestData / "librivox/transcription").string() +
                                 " (Debian's pocketsphinx-testdata)");
    for (std::string row; std::getline(transcription, row);) {
        // "<s> words </s> (name)"
        const auto open = row.rfind('(');
        const auto close = row.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close < open)
            continue;
        const std::string name = row.substr(open + 1, close - open - 1);
        Recording recording;
        recording.id = "human_" + name.substr(name.rfind('-') + 1);
        recording.file = kTestData / "librivox" / (name + ".wav");
        recording.reference = std::regex_replace(row.substr(0, open), std::regex("</?s>"), " ");
        recording.seconds = readWave(recording.file).seconds();
        corpus.recordings.push_back(std::move(recording));
    }
    Recording forward;
    forward.id = "human_goforward";
    forward.file = folder / "goforward.wav";
    runTool({"sox", "-V1", "-R", "-t", "raw", "-r", "16000", "-e", "signed", "-b", "16", "-c", "1",
             (kTestData / "goforward.raw").string(), forward.file.string()});
    forward.reference = "go forward ten meters";
    forward.seconds = readWave(forward.file).seconds();
    corpus.recordings.push_back(std::move(forward));

    // Longer than the pause that ends a stretch of sound, so that each reading is a stretch of its own.
    Corpus joined{"human joined", "the same readings in one file, 1.5 s apart", {}};
    Recording all;
    all.id = "joined_readings";
    all.file = folder / "readings.wav";
    const auto pause = silence(folder, kJoinPause);
    std::vector<std::string> concat{"sox", "-V1", "-R"};
    for (const auto& r : corpus.recordings) {
        if (concat.size() > 3)
            concat.push_back(pause.string());
        concat.push_back(r.file.string());
        all.reference += r.reference + " ";
    }
    concat.push_back(all.file.string());
    runTool(concat);
    all.seconds = readWave(all.file).seconds();
    joined.recordings.push_back(std::move(all));
    return {corpus, joined};
}

std::filesystem::path silence(const std::filesystem::path& folder, double seconds) {
    char name[64];
    std::snprintf(name, sizeof name, "silence-%.2f.wav", seconds);
    const auto file = folder / name;
    if (!std::filesystem::exists(file))
        runTool({"sox", "-V1", "-R", "-n", "-r", "16000", "-c", "1", "-b", "16", file.string(), "trim", "0",
                 std::to_string(seconds)});
    return file;
}

std::vector<Corpus> syntheticCorpora(const std::filesystem::path& folder, double snr) {
    char snrText[32];
    std::snprintf(snrText, sizeof snrText, "%.0f", snr);
    Corpus clean{"synthetic clean", "espeak-ng, two voices, 1 s pauses", {}};
    Corpus noisy{"synthetic noisy", std::string("the same with pink noise at ") + snrText + " dB SNR", {}};
    const auto pause = silence(folder, kPause);
    const auto lead = silence(folder, kLead);
    const std::size_t perVoice = kSentences.size() / kVoices.size();
    for (std::size_t v = 0; v < kVoices.size(); ++v) {
        const Voice& voice = kVoices[v];
        std::vector<std::string> concat{"sox", "-V1", "-R", lead.string()};
        std::string reference;
        std::vector<std::int16_t> spoken; // every sentence's samples, for the speech level
        for (std::size_t k = v * perVoice; k < (v + 1) * perVoice; ++k) {
            const auto stem = folder / (std::string(voice.id) + "-" + std::to_string(k));
            const auto said = stem.string() + "-espeak.wav";
            const auto clip = stem.string() + ".wav";
            runTool({"espeak-ng", "-v", voice.espeak, "-s", kWordsPerMinute, "-w", said, kSentences[k]});
            // Trimmed to the speech itself, so that the pauses are what we put between sentences.
            std::vector<std::string> convert{"sox", "-V1", "-R", said, "-r", "16000",
                                             "-c",  "1",   "-b", "16", clip};
            convert.insert(convert.end(), kTrimSilence.begin(), kTrimSilence.end());
            runTool(convert);
            std::filesystem::remove(said);
            const auto samples = readWave(clip).samples;
            spoken.insert(spoken.end(), samples.begin(), samples.end());
            if (k > v * perVoice)
                concat.push_back(pause.string());
            concat.push_back(clip);
            reference += std::string(kSentences[k]) + " ";
        }
        concat.push_back(lead.string());
        const auto cleanFile = folder / (std::string(voice.id) + "-clean.wav");
        concat.push_back(cleanFile.string());
        runTool(concat);
        const auto cleanWave = readWave(cleanFile);
        clean.recordings.push_back(
            {std::string("clean_") + voice.id, cleanFile, reference, cleanWave.seconds()});

        // Pink noise as long as the speech, scaled to the level that gives the asked SNR.
        const auto noiseFile = folder / (std::string(voice.id) + "-pink.wav");
        runTool({"sox", "-V1", "-R", "-n", "-r", "16000", "-c", "1", "-b", "16", noiseFile.string(), "synth",
                 std::to_string(cleanWave.seconds()), "pinknoise"});
        const double noisePower = meanSquare(readWave(noiseFile).samples);
        const double gain = std::sqrt(meanSquare(spoken) / (noisePower * std::pow(10.0, snr / 10.0)));
        const auto noisyFile = folder / (std::string(voice.id) + "-noisy.wav");
        runTool({"sox", "-V1", "-R", "-m", "-v", "1", cleanFile.string(), "-v", std::to_string(gain),
                 noiseFile.string(), noisyFile.string()});
        std::filesystem::remove(noiseFile);
        const auto noisyWave = readWave(noisyFile);
        // What was mixed in, read back: the noisy file less the clean one.
        std::vector<std::int16_t> added(std::min(noisyWave.samples.size(), cleanWave.samples.size()));
        for (std::size_t k = 0; k < added.size(); ++k)
            added[k] = static_cast<std::int16_t>(noisyWave.samples[k] - cleanWave.samples[k]);
        char measured[96];
        std::snprintf(measured, sizeof measured, "%s %.1f dB", v ? "," : " (measured:",
                      10.0 * std::log10(meanSquare(spoken) / std::max(meanSquare(added), 1e-9)));
        noisy.about += measured;
        noisy.recordings.push_back(
            {std::string("noisy_") + voice.id, noisyFile, reference, noisyWave.seconds()});
    }
    noisy.about += ")";
    return {clean, noisy};
}

} // namespace pokescope::bench
