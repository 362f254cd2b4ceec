// Standard base64 (RFC 4648 alphabet, padded, no line breaks): image data in tool results, data values of
// property lists.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pokescope {

std::string base64Encoded(std::string_view bytes);
// None unless `text` is padded standard base64.
std::optional<std::string> base64Decoded(std::string_view text);

} // namespace pokescope
