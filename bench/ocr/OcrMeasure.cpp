#include "bench/ocr/OcrMeasure.hpp"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace pokescope::bench {

namespace {

// The words of a text; a back button's chevron, which the recogniser keeps before its label and the
// phone draws as a shape rather than text, is no word.
std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        if (w != "<" && w != "‹" && w != "«")
            out.push_back(w);
    return out;
}

} // namespace

std::vector<Expected> readExpected(const std::string& path) {
    std::ifstream in(path);
    std::vector<Expected> out;
    for (std::string line; std::getline(in, line);) {
        Expected e;
        const auto tab = line.rfind('\t');
        std::array<int, 4> box{};
        if (tab != std::string::npos &&
            (std::istringstream(line.substr(tab + 1)) >> box[0] >> box[1] >> box[2] >> box[3])) {
            e.text = line.substr(0, tab);
            e.box = box;
        } else {
            e.text = line;
        }
        if (!words(e.text).empty())
            out.push_back(std::move(e));
    }
    return out;
}

void Score::add(const Score& o) {
    expectedWords += o.expectedWords;
    foundWords += o.foundWords;
    matchedWords += o.matchedWords;
    boxedItems += o.boxedItems;
    boxesHit += o.boxesHit;
    missed.insert(missed.end(), o.missed.begin(), o.missed.end());
    extra.insert(extra.end(), o.extra.begin(), o.extra.end());
}

Score score(const std::vector<Expected>& expected, const std::vector<Found>& found) {
    Score s;
    std::map<std::string, long> pending;
    for (const Expected& e : expected)
        for (const std::string& w : words(e.text)) {
            ++pending[w];
            ++s.expectedWords;
        }
    for (const Found& f : found)
        for (const std::string& w : words(f.text)) {
            ++s.foundWords;
            if (auto it = pending.find(w); it != pending.end() && it->second > 0) {
                --it->second;
                ++s.matchedWords;
            } else {
                s.extra.push_back(w);
            }
        }
    for (const auto& [w, n] : pending)
        for (long i = 0; i < n; ++i)
            s.missed.push_back(w);

    for (const Expected& e : expected) {
        if (!e.box)
            continue;
        ++s.boxedItems;
        const auto [x, y, w, h] = *e.box;
        const double cx = x + w / 2.0, cy = y + h / 2.0;
        const auto ew = words(e.text);
        const bool hit = std::any_of(found.begin(), found.end(), [&](const Found& f) {
            if (cx < f.x || cx > f.x + f.width || cy < f.y || cy > f.y + f.height)
                return false;
            const auto fw = words(f.text);
            return std::any_of(ew.begin(), ew.end(), [&](const std::string& w) {
                return std::find(fw.begin(), fw.end(), w) != fw.end();
            });
        });
        s.boxesHit += hit;
    }
    return s;
}

} // namespace pokescope::bench
