// Scoring recognised text against the texts a screen is known to show.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace pokescope::bench {

struct Expected {
    std::string text;
    std::optional<std::array<int, 4>> box; // x, y, width, height
};
struct Found {
    std::string text;
    int x = 0, y = 0, width = 0, height = 0;
};

// Expected items from a `<name>.txt`: one a line, the text optionally followed by a tab and
// "x y width height".
std::vector<Expected> readExpected(const std::string& path);

struct Score {
    long expectedWords = 0, foundWords = 0, matchedWords = 0;
    long boxedItems = 0, boxesHit = 0;
    std::vector<std::string> missed, extra;
    void add(const Score& other);
};

// Words match as a multiset; an expected item's box is hit when its centre lies inside a found item that
// shares one of its words.
Score score(const std::vector<Expected>& expected, const std::vector<Found>& found);

} // namespace pokescope::bench
