// The recordings the transcription bench listens to, each a 16 kHz mono 16-bit WAV file with the words
// spoken in it: Debian's PocketSphinx test recordings (human readers, one utterance a file, and all of
// them in one file), and
// sentences synthesised with espeak-ng in two voices, one longer file a voice with a second of quiet
// between sentences, once clean and once with pink noise mixed in.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pokescope::bench {

struct Recording {
    std::string id; // letters, digits and '_'
    std::filesystem::path file;
    std::string reference; // the words spoken
    double seconds = 0;
};

struct Corpus {
    std::string name;
    std::string about;
    std::vector<Recording> recordings;
    double seconds() const;
};

// A PCM WAV file's samples (16-bit only). Throws std::runtime_error when it is not one.
struct Wave {
    int rate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples; // interleaved
    double seconds() const;
};
Wave readWave(const std::filesystem::path& file);

// Runs a program to its end; throws std::runtime_error naming it when it fails. Its output.
std::string runTool(const std::vector<std::string>& arguments);

// The test recordings of the pocketsphinx-testdata package, each in a file of its own, and the same
// recordings joined into one file with pauses between them (as a movie's sound would hold them). Written
// into `folder`. Throws std::runtime_error when the package is missing.
std::vector<Corpus> humanCorpora(const std::filesystem::path& folder);

// The synthesised sentences, clean and with pink noise at `snr` dB below the speech (measured over the
// sentences, not the pauses), written into `folder`.
std::vector<Corpus> syntheticCorpora(const std::filesystem::path& folder, double snr);

// A file of 16 kHz mono digital silence.
std::filesystem::path silence(const std::filesystem::path& folder, double seconds);

} // namespace pokescope::bench
