// Word error rates: our own word alignment, and sclite's (from Debian's sctk) on the same words when it is
// installed. Both align with sclite's weights (substitution 4, insertion and deletion 3 each), so that
// their counts agree.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace pokescope::bench {

// The words both systems are scored on: lower case, runs of letters, digits and apostrophes.
std::vector<std::string> scoredWords(const std::string& text);

struct ErrorCounts {
    long reference = 0; // words in the reference
    long correct = 0, substituted = 0, deleted = 0, inserted = 0;
    long errors() const { return substituted + deleted + inserted; }
    // Errors per reference word, in percent; 0 for an empty reference.
    double wer() const;
    ErrorCounts& operator+=(const ErrorCounts& other);
    bool operator==(const ErrorCounts&) const = default;
};

// The alignment of two word sequences with the least weight (correct 0, substitution 4, insertion 3,
// deletion 3); among equal weights the diagonal is preferred, then deletions.
ErrorCounts align(const std::vector<std::string>& reference, const std::vector<std::string>& hypothesis);

struct ScoredUtterance {
    std::string id; // letters, digits and '_' only: sclite's speaker is what comes before the first '_'
    std::string reference;
    std::string hypothesis;
};

// sclite on PATH, else where Debian's sctk puts it; none when not installed.
std::optional<std::filesystem::path> findSclite();

// Writes `<name>.ref.trn` and `<name>.hyp.trn` (the scored words, "words (id)" a line) into `folder`;
// their paths.
std::pair<std::filesystem::path, std::filesystem::path>
writeTrn(const std::filesystem::path& folder, const std::string& name,
         const std::vector<ScoredUtterance>& utterances);

// sclite's summed counts over the utterances in the two files; none (with `error` set) when it failed.
std::optional<ErrorCounts> sclite(const std::filesystem::path& program,
                                  const std::filesystem::path& reference,
                                  const std::filesystem::path& hypothesis, std::string& error);

} // namespace pokescope::bench
