#include "agent/ToolSet.hpp"

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

std::optional<std::string> string(const json& arguments, const char* key) {
    auto it = arguments.find(key);
    if (it == arguments.end() || !it->is_string())
        return std::nullopt;
    return it->get<std::string>();
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
