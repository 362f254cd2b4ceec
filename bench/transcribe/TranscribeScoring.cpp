#include "bench/transcribe/TranscribeScoring.hpp"

#include "platform/Process.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace pokescope::bench {

namespace {

constexpr long kSubstitution = 4;
constexpr long kGap = 3; // an insertion or a deletion

std::string joinedWords(const std::string& text) {
    std::string out;
    for (const auto& word : scoredWords(text))
        out += (out.empty() ? "" : " ") + word;
    return out;
}

} // namespace

std::vector<std::string> scoredWords(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (char c : text + " ") {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) || (c == '\'' && !word.empty())) {
            word += static_cast<char>(std::tolower(u));
            continue;
        }
        while (!word.empty() && word.back() == '\'')
            word.pop_back();
        if (!word.empty())
            words.push_back(std::move(word));
        word.clear();
    }
    return words;
}

double ErrorCounts::wer() const {
    return reference > 0 ? 100.0 * static_cast<double>(errors()) / static_cast<double>(reference) : 0.0;
}

ErrorCounts& ErrorCounts::operator+=(const ErrorCounts& other) {
    reference += other.reference;
    correct += other.correct;
    substituted += other.substituted;
    deleted += other.deleted;
    inserted += other.inserted;
    return *this;
}

ErrorCounts align(const std::vector<std::string>& reference, const std::vector<std::string>& hypothesis) {
    const std::size_t n = reference.size(), m = hypothesis.size();
    // cost[i][j]: the least weight aligning the first i reference words with the first j hypothesis words.
    std::vector<long> cost((n + 1) * (m + 1));
    auto at = [m](std::size_t i, std::size_t j) { return i * (m + 1) + j; };
    for (std::size_t i = 0; i <= n; ++i)
        cost[at(i, 0)] = static_cast<long>(i) * kGap;
    for (std::size_t j = 0; j <= m; ++j)
        cost[at(0, j)] = static_cast<long>(j) * kGap;
    for (std::size_t i = 1; i <= n; ++i)
        for (std::size_t j = 1; j <= m; ++j) {
            const long diagonal =
                cost[at(i - 1, j - 1)] + (reference[i - 1] == hypothesis[j - 1] ? 0 : kSubstitution);
            cost[at(i, j)] = std::min({diagonal, cost[at(i - 1, j)] + kGap, cost[at(i, j - 1)] + kGap});
        }
    ErrorCounts counts;
    counts.reference = static_cast<long>(n);
    std::size_t i = n, j = m;
    while (i > 0 || j > 0) {
        if (i > 0 && j > 0) {
            const bool same = reference[i - 1] == hypothesis[j - 1];
            if (cost[at(i, j)] == cost[at(i - 1, j - 1)] + (same ? 0 : kSubstitution)) {
                ++(same ? counts.correct : counts.substituted);
                --i;
                --j;
                continue;
            }
        }
        if (i > 0 && cost[at(i, j)] == cost[at(i - 1, j)] + kGap) {
            ++counts.deleted;
            --i;
        } else {
            ++counts.inserted;
            --j;
        }
    }
    return counts;
}

std::optional<std::filesystem::path> findSclite() {
    if (const char* path = std::getenv("PATH"))
        for (std::istringstream dirs(path); !dirs.eof();) {
            std::string dir;
            std::getline(dirs, dir, ':');
            const auto candidate = std::filesystem::path(dir.empty() ? "." : dir) / "sclite";
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
    const std::filesystem::path debian = "/usr/lib/sctk/bin/sclite";
    if (::access(debian.c_str(), X_OK) == 0)
        return debian;
    return std::nullopt;
}

std::pair<std::filesystem::path, std::filesystem::path>
writeTrn(const std::filesystem::path& folder, const std::string& name,
         const std::vector<ScoredUtterance>& utterances) {
    const auto ref = folder / (name + ".ref.trn");
    const auto hyp = folder / (name + ".hyp.trn");
    std::ofstream refOut(ref), hypOut(hyp);
    for (const auto& u : utterances) {
        const auto r = joinedWords(u.reference), h = joinedWords(u.hypothesis);
        refOut << r << (r.empty() ? "" : " ") << "(" << u.id << ")\n";
        hypOut << h << (h.empty() ? "" : " ") << "(" << u.id << ")\n";
    }
    return {ref, hyp};
}

std::optional<ErrorCounts> sclite(const std::filesystem::path& program,
                                  const std::filesystem::path& reference,
                                  const std::filesystem::path& hypothesis, std::string& error) {
    // Raw counts ("rsum"), summed over the utterances on the "Sum" row:
    // | Sum | #Snt #Wrd | Corr Sub Del Ins Err S.Err |
    const auto result = runProcess({program.string(), "-r", reference.string(), "trn", "-h",
                                    hypothesis.string(), "trn", "-i", "spu_id", "-o", "rsum", "stdout"},
                                   std::chrono::minutes(2));
    if (result.status != 0) {
        error = "sclite exited with status " + std::to_string(result.status);
        return std::nullopt;
    }
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        const auto sum = line.find("| Sum ");
        if (sum == std::string::npos)
            continue;
        std::string numbers = line.substr(sum + 6);
        std::replace(numbers.begin(), numbers.end(), '|', ' ');
        std::istringstream in(numbers);
        long sentences = 0, words = 0, correct = 0, substituted = 0, deleted = 0, inserted = 0;
        if (!(in >> sentences >> words >> correct >> substituted >> deleted >> inserted))
            break;
        ErrorCounts counts;
        counts.reference = words;
        counts.correct = correct;
        counts.substituted = substituted;
        counts.deleted = deleted;
        counts.inserted = inserted;
        return counts;
    }
    error = "sclite printed no summary row";
    return std::nullopt;
}

} // namespace pokescope::bench
