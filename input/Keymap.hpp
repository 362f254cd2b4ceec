// Key names and text characters as HID keyboard usages, for a US keyboard layout.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope::Keymap {

struct KeyUsage {
    std::uint8_t usage;
    bool shift;
    bool operator==(const KeyUsage&) const = default;
};

// "return", "enter", "escape", "esc", "backspace", "delete", "tab", "space", "right", "left", "down", "up".
const std::map<std::string, std::uint8_t>& named();

// The usage of one character (a grapheme cluster, as `graphemes` splits text); none for anything a US
// keyboard cannot type: non-ASCII text, control characters other than tab, line feed and carriage return.
std::optional<KeyUsage> usage(std::string_view character);

// The display text of a key combination for recordings: "cmd+space" gives "⌘ Space".
std::string label(std::string_view combination);

// `text` split into user-perceived characters, so that a carriage return + line feed is one Return and a
// letter with a combining accent is one (untypable) character.
std::vector<std::string> graphemes(std::string_view text);

} // namespace pokescope::Keymap
