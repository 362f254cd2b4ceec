#include "platform/linux/TesseractFragments.hpp"

#include "platform/Utf8.hpp"

#include <algorithm>

namespace pokescope::ocr {

namespace {

// Below this the engine's reading of a word is more often an icon than text (measured on phone screens).
constexpr float kLeastConfidence = 60.0f;
// Marks without letters (the "&" of "Sounds & Haptics") must be read surely.
constexpr float kSureConfidence = 85.0f;
constexpr int kTallestLoneLetter = 84;
// The phone draws no letter shorter than this (the x-height of its smallest text is about 20), in pixels of
// a 3× phone's picture.
constexpr int kShortestLetters = 16;
// The status bar's share of a phone frame's height (about 150 of 2556 rows at 3×).
constexpr int kStatusBarPerMille = 60;

struct Row {
    int top = 0, bottom = 0;
    std::vector<Word> words;
};

int overlap(int top1, int bottom1, int top2, int bottom2) {
    return std::min(bottom1, bottom2) - std::max(top1, top2);
}

// Letters and digits, by code point: ASCII ones and anything outside ASCII but Latin-1's marks and
// the ranges of punctuation, arrows, shapes and symbols.
bool isLetterOrDigit(char32_t c) {
    if (c < 0x80)
        return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
    if (c < 0xC0 || c == 0xD7 || c == 0xF7)
        return false;
    return !(c >= 0x2000 && c < 0x2C00) && !(c >= 0x3000 && c < 0x3040) && !(c >= 0xE000 && c < 0xF900) &&
           !(c >= 0xFE30 && c < 0xFE70) && !(c >= 0x1F000 && c < 0x1FC00);
}

bool hasLetterOrDigit(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        const int length = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        char32_t c = length == 1 ? b : b & (0x3F >> (length - 1));
        for (int k = 1; k < length && i + k < text.size(); ++k)
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (isLetterOrDigit(c))
            return true;
        i += static_cast<std::size_t>(length);
    }
    return false;
}

RecognizedText joined(const std::vector<Word>& words, std::size_t from, std::size_t to) {
    RecognizedText f;
    int left = words[from].x, top = words[from].y, right = left, bottom = top;
    for (std::size_t i = from; i < to; ++i) {
        const Word& w = words[i];
        if (i > from)
            f.text += ' ';
        f.text += w.text;
        left = std::min(left, w.x);
        top = std::min(top, w.y);
        right = std::max(right, w.x + w.width);
        bottom = std::max(bottom, w.y + w.height);
    }
    f.x = left, f.y = top, f.width = right - left, f.height = bottom - top;
    if (to - from > 1)
        for (std::size_t i = from; i < to; ++i)
            f.words.push_back({words[i].text, double(words[i].x), double(words[i].y), double(words[i].width),
                               double(words[i].height), {}});
    return f;
}

// The caret beside the last letter of a field is no part of its text.
std::string withoutBars(std::string text) {
    while (text.size() > 1 && text.back() == '|')
        text.pop_back();
    while (text.size() > 1 && text.front() == '|')
        text.erase(0, 1);
    return text;
}

} // namespace

bool isBackChevron(const std::string& text) { return text == "<" || text == "‹" || text == "«"; }

bool isJunk(const Word& word, double unit) {
    if (word.width <= 0 || word.height <= 0 || !hasLetterOrDigit(word.text))
        return word.text.empty() || word.width <= 0 || word.height <= 0 ||
               (word.confidence < kSureConfidence && !isBackChevron(word.text)); // kept only beside a label
    if (word.confidence < kLeastConfidence || word.height < kShortestLetters * unit)
        return true;
    // The glyph of an app icon read as a letter or two: taller than any letter the phone draws alone.
    return utf8::codePoints(word.text) <= 2 && word.height > kTallestLoneLetter * unit;
}

double frameUnit(int width, int height) { return std::min(width, height) / 1179.0; }

bool isStatusGlyph(const Word& word, int frameHeight) {
    return 1000L * (word.y + word.height) <= static_cast<long>(kStatusBarPerMille) * frameHeight &&
           word.confidence < kSureConfidence;
}

bool isGlyphLetter(const std::string& symbol, int width, int height) {
    return (symbol == "Q" || symbol == "q") && width >= height;
}

bool isMiddleDot(const std::string& symbol, int width, int height) {
    return (symbol == "-" || symbol == "·") && width > 0 && height > 0 && 2 * width <= 3 * height;
}

std::vector<RecognizedText> fragments(std::vector<Word> words) {
    std::stable_sort(words.begin(), words.end(),
                     [](const Word& a, const Word& b) { return 2 * a.y + a.height < 2 * b.y + b.height; });
    std::vector<Row> rows;
    for (Word& w : words) {
        Row* home = nullptr;
        for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
            const int rowHeight = it->bottom - it->top;
            if (2 * overlap(it->top, it->bottom, w.y, w.y + w.height) >= std::min(rowHeight, w.height)) {
                home = &*it;
                break;
            }
        }
        if (!home) {
            rows.push_back({w.y, w.y + w.height, {}});
            home = &rows.back();
        }
        home->top = std::min(home->top, w.y);
        home->bottom = std::max(home->bottom, w.y + w.height);
        home->words.push_back(std::move(w));
    }

    std::vector<RecognizedText> result;
    for (Row& row : rows) {
        std::stable_sort(row.words.begin(), row.words.end(),
                         [](const Word& a, const Word& b) { return a.x < b.x; });
        for (Word& w : row.words)
            w.text = withoutBars(std::move(w.text));
        std::size_t start = 0;
        for (std::size_t i = 1; i <= row.words.size(); ++i) {
            const bool split = i == row.words.size() || [&] {
                const Word& a = row.words[i - 1];
                const Word& b = row.words[i];
                return b.x - (a.x + a.width) > std::max(a.height, b.height);
            }();
            if (!split)
                continue;
            // Chevrons and other marks at either end of a fragment belong to the controls beside the text, but
            // a back button's chevron stays with its label: it tells a back button from a title.
            std::size_t from = start, to = i;
            while (from < to && !hasLetterOrDigit(row.words[from].text) &&
                   !(from + 1 < to && isBackChevron(row.words[from].text)))
                ++from;
            while (to > from && !hasLetterOrDigit(row.words[to - 1].text))
                --to;
            if (from < to)
                result.push_back(joined(row.words, from, to));
            start = i;
        }
    }
    std::stable_sort(result.begin(), result.end(), [](const RecognizedText& a, const RecognizedText& b) {
        return a.y < b.y || (a.y == b.y && a.x < b.x);
    });
    return result;
}

} // namespace pokescope::ocr
