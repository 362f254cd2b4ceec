#include "agent/ToolSet.hpp"

#include "platform/Utf8.hpp"

#include <algorithm>
#include <cmath>

namespace pokescope::ToolArguments {

using nlohmann::json;

std::optional<double> number(const json& arguments, const char* key) {
    auto it = arguments.find(key);
    if (it == arguments.end() || !it->is_number())
        return std::nullopt;
    double value = it->get<double>();
    return std::isfinite(value) ? std::optional(value) : std::nullopt;
}

std::optional<double> integer(const json& arguments, const char* key) {
    auto value = number(arguments, key);
    if (!value || std::trunc(*value) != *value)
        return std::nullopt;
    return value;
}

std::optional<std::string> string(const json& arguments, const char* key, std::size_t maxCharacters) {
    auto it = arguments.find(key);
    if (it == arguments.end() || !it->is_string())
        return std::nullopt;
    const auto& text = it->get_ref<const std::string&>();
    if (utf8::codePoints(text) > maxCharacters)
        throw ToolError(std::string(key) + " is too long: at most " + std::to_string(maxCharacters) +
                        " characters");
    return text;
}

std::string oneOf(const json& arguments, const char* key, const std::vector<std::string>& values,
                  const std::string& fallback) {
    auto it = arguments.find(key);
    if (it == arguments.end())
        return fallback;
    if (it->is_string() && std::find(values.begin(), values.end(), it->get_ref<const std::string&>()) != values.end())
        return it->get<std::string>();
    std::string listed;
    for (const auto& value : values)
        listed += (listed.empty() ? "" : ", ") + value;
    throw ToolError(std::string(key) + " must be one of: " + listed);
}

std::optional<bool> boolean(const json& arguments, const char* key) {
    auto it = arguments.find(key);
    if (it == arguments.end() || !it->is_boolean())
        return std::nullopt;
    return it->get<bool>();
}

int clampedInteger(const json& arguments, const char* key, int fallback, double low, double high) {
    auto value = integer(arguments, key);
    if (!value)
        return fallback;
    return static_cast<int>(std::clamp(*value, low, high));
}

} // namespace pokescope::ToolArguments
