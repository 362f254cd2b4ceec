#include "input/Keymap.hpp"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <memory>

namespace pokescope::Keymap {

const std::map<std::string, std::uint8_t>& named() {
    static const std::map<std::string, std::uint8_t> keys{
        {"return", 0x28}, {"enter", 0x28}, {"escape", 0x29}, {"esc", 0x29},  {"backspace", 0x2A}, {"delete", 0x2A},
        {"tab", 0x2B},    {"space", 0x2C}, {"right", 0x4F},  {"left", 0x50}, {"down", 0x51},      {"up", 0x52},
    };
    return keys;
}

std::optional<KeyUsage> usage(std::string_view character) {
    if (character == "\r\n")
        return KeyUsage{0x28, false};
    if (character.size() != 1)
        return std::nullopt; // several scalars, or one beyond ASCII
    auto c = static_cast<unsigned char>(character[0]);
    if (c > 127)
        return std::nullopt;
    if (c >= 'a' && c <= 'z')
        return KeyUsage{static_cast<std::uint8_t>(c - 93), false};
    if (c >= 'A' && c <= 'Z')
        return KeyUsage{static_cast<std::uint8_t>(c - 61), true};
    if (c >= '1' && c <= '9')
        return KeyUsage{static_cast<std::uint8_t>(c - 19), false};
    switch (c) {
    case '\t': return KeyUsage{0x2B, false};
    case '\n':
    case '\r': return KeyUsage{0x28, false};
    case ' ': return KeyUsage{0x2C, false};
    case '0': return KeyUsage{0x27, false};
    default: break;
    }
    static const std::map<char, KeyUsage> symbols{
        {'-', {0x2D, false}}, {'_', {0x2D, true}}, {'=', {0x2E, false}}, {'+', {0x2E, true}},
        {'[', {0x2F, false}}, {'{', {0x2F, true}}, {']', {0x30, false}}, {'}', {0x30, true}},
        {'\\', {0x31, false}}, {'|', {0x31, true}}, {';', {0x33, false}}, {':', {0x33, true}},
        {'\'', {0x34, false}}, {'"', {0x34, true}}, {'`', {0x35, false}}, {'~', {0x35, true}},
        {',', {0x36, false}}, {'<', {0x36, true}}, {'.', {0x37, false}}, {'>', {0x37, true}},
        {'/', {0x38, false}}, {'?', {0x38, true}}, {'!', {0x1E, true}},  {'@', {0x1F, true}},
        {'#', {0x20, true}},  {'$', {0x21, true}},  {'%', {0x22, true}},  {'^', {0x23, true}},
        {'&', {0x24, true}},  {'*', {0x25, true}},  {'(', {0x26, true}},  {')', {0x27, true}},
    };
    auto it = symbols.find(static_cast<char>(c));
    if (it == symbols.end())
        return std::nullopt;
    return it->second;
}

std::string label(std::string_view combination) {
    std::string out;
    std::size_t start = 0;
    while (start <= combination.size()) {
        std::size_t plus = combination.find('+', start);
        std::string piece(combination.substr(start, plus == std::string_view::npos ? std::string_view::npos : plus - start));
        start = plus == std::string_view::npos ? combination.size() + 1 : plus + 1;
        if (piece.empty())
            continue;
        std::string shown;
        if (piece == "cmd" || piece == "command")
            shown = "⌘";
        else if (piece == "shift")
            shown = "⇧";
        else if (piece == "alt" || piece == "option" || piece == "opt")
            shown = "⌥";
        else if (piece == "ctrl" || piece == "control")
            shown = "⌃";
        else if (piece == "return" || piece == "enter")
            shown = "Return ↩";
        else if (piece == "backspace" || piece == "delete")
            shown = "Delete ⌫";
        else {
            // Capitalised: the first letter upper case, the rest as given.
            icu::UnicodeString text = icu::UnicodeString::fromUTF8(piece);
            icu::UnicodeString head = text.tempSubString(0, text.moveIndex32(0, 1));
            head.toUpper();
            icu::UnicodeString whole = head + text.tempSubString(text.moveIndex32(0, 1));
            whole.toUTF8String(shown);
        }
        if (!out.empty())
            out += ' ';
        out += shown;
    }
    return out;
}

std::vector<std::string> graphemes(std::string_view text) {
    std::vector<std::string> out;
    icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> iterator(icu::BreakIterator::createCharacterInstance(icu::Locale::getUS(), status));
    if (U_FAILURE(status))
        return out;
    iterator->setText(unicode);
    for (int32_t start = iterator->first(), end = iterator->next(); end != icu::BreakIterator::DONE;
         start = end, end = iterator->next()) {
        std::string piece;
        unicode.tempSubStringBetween(start, end).toUTF8String(piece);
        out.push_back(std::move(piece));
    }
    return out;
}

} // namespace pokescope::Keymap
