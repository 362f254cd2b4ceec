// UTF-8 checks for text that crosses the process boundary (HTTP heads, tool results, bridge replies).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pokescope::utf8 {

// True when `text` is well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValid(std::string_view text);

// The code points in `text` (its bytes that do not continue a sequence).
std::size_t codePoints(std::string_view text);

// `text` with every ill-formed sequence replaced by U+FFFD.
std::string sanitized(std::string_view text);

} // namespace pokescope::utf8
