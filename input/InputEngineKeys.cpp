// Keyboard actions: typing text, key combinations and going home. They need no calibration.
#include "input/InputEngine.hpp"

#include "bluetooth/HIDReports.hpp"
#include "input/Keymap.hpp"

#include <cctype>

namespace pokescope {

namespace {

constexpr std::size_t kCaptionCharacters = 40;
constexpr std::uint8_t kHomeUsage = 0x0B; // H

std::optional<std::uint8_t> modifier(const std::string& name) {
    if (name == "cmd" || name == "command" || name == "gui")
        return HIDReports::kCommand;
    if (name == "shift")
        return HIDReports::kShift;
    if (name == "alt" || name == "option" || name == "opt")
        return HIDReports::kOption;
    if (name == "ctrl" || name == "control")
        return HIDReports::kControl;
    return std::nullopt;
}

std::string caption(const std::string& text) {
    auto characters = Keymap::graphemes(text);
    if (characters.size() <= kCaptionCharacters)
        return text;
    std::string out;
    for (std::size_t i = 0; i < kCaptionCharacters; ++i)
        out += characters[i];
    return out + "…";
}

} // namespace

void InputEngine::keySequence(std::uint8_t modifiers, std::uint8_t usage) {
    sendKeyboard(modifiers, {});
    sleepMs(30);
    sendKeyboard(modifiers, {usage});
    sleepMs(60);
    sendKeyboard(modifiers, {});
    sleepMs(30);
    sendKeyboard(0, {});
}

void InputEngine::type(const std::string& text) {
    requireLink();
    mark({ActionMark::Kind::text, {}, {}, "⌨  " + caption(text)});
    for (const auto& character : Keymap::graphemes(text)) {
        auto key = Keymap::usage(character);
        if (!key)
            continue; // a US keyboard has no key for it
        sendKeyboard(key->shift ? HIDReports::kShift : 0, {key->usage});
        sleepMs(30);
        sendKeyboard(0, {});
        sleepMs(50);
    }
}

void InputEngine::press(const std::string& key) {
    requireLink();
    std::string k;
    for (char c : key)
        if (!std::isspace(static_cast<unsigned char>(c)))
            k += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (k == "home")
        return goHome();
    if (k == "back")
        return back();
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : k + "+") {
        if (c != '+') {
            piece += c;
        } else if (!piece.empty()) {
            pieces.push_back(piece);
            piece.clear();
        }
    }
    if (pieces.empty())
        throw GeneralError("Unknown key " + key);
    mark({ActionMark::Kind::text, {}, {}, Keymap::label(k)});
    std::uint8_t modifiers = 0;
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
        auto bit = modifier(pieces[i]);
        if (!bit)
            throw GeneralError("Unknown modifier " + pieces[i]);
        modifiers |= *bit;
    }
    const std::string& last = pieces.back();
    std::uint8_t usage;
    if (auto it = Keymap::named().find(last); it != Keymap::named().end()) {
        usage = it->second;
    } else if (Keymap::graphemes(last).size() == 1 && Keymap::usage(last)) {
        usage = Keymap::usage(last)->usage; // its shift is not added: only named modifiers are sent
    } else {
        throw GeneralError("Unknown key " + last);
    }
    keySequence(modifiers, usage);
}

void InputEngine::goHome() {
    requireLink();
    mark({ActionMark::Kind::text, {}, {}, "Home"});
    keySequence(HIDReports::kCommand, kHomeUsage);
}

} // namespace pokescope
