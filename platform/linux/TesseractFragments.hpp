// From the words the engine read to the fragments the system reports: junk from icons dropped, words
// gathered into rows, rows split at wide gaps.
#pragma once

#include "platform/TextRecognition.hpp"

#include <string>
#include <vector>

namespace pokescope::ocr {

// One word as the engine read it, boxed in pixels of the frame.
struct Word {
    std::string text;
    int x = 0, y = 0, width = 0, height = 0;
    float confidence = 0; // 0 to 100
};

// Whether a word is more likely an icon or a stray glyph than text. `unit`: the frame's pixels per pixel of
// a 3× phone's own picture (below 1 for a 2× phone or a capture adapter's smaller picture).
bool isJunk(const Word& word, double unit = 1.0);

// `unit` for a frame: its shorter side against a 3× phone's 1179 pixels.
double frameUnit(int width, int height);

// Whether a word lies in the status bar of a frame `frameHeight` pixels high and is read unsurely there,
// where the signal, network and battery glyphs come back as short words ("als", "iz").
bool isStatusGlyph(const Word& word, int frameHeight);

// Whether one symbol the engine read is a glyph rather than a letter: the magnifier of a search field
// comes back as a Q at least as wide as it is tall, which no Q of the phone's fonts is.
bool isGlyphLetter(const std::string& symbol, int width, int height);

// Whether a symbol the engine read alone between words as a dash is a middle dot ("Today · 12 sec"):
// the engine reads such a dot as a hyphen, but a dash is at least twice as wide as it is thick and a dot
// is round.
bool isMiddleDot(const std::string& symbol, int width, int height);

// A back button's chevron as the recogniser reads it alone: "<", "‹" or "«".
bool isBackChevron(const std::string& text);

// Words on one row (their boxes overlap vertically by at least half the smaller height) in left-to-right
// order, split where the gap between two words is wider than the taller of them; each fragment's text is
// its words joined by single spaces and its box the union of theirs. Fragments come top to bottom, left
// to right; those without a letter or digit are dropped.
std::vector<RecognizedText> fragments(std::vector<Word> words);

} // namespace pokescope::ocr
