// What the application's shared log holds: whether a line containing a text was added, and how many.
#pragma once

#include "core/Log.hpp"

#include <algorithm>
#include <string>

namespace pokescope::test {

inline long countLogged(const std::string& text) {
    auto lines = Log::shared().lines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

inline bool logged(const std::string& text) { return countLogged(text) > 0; }

} // namespace pokescope::test
