// Phone screens for the recognition benchmark, rendered by the simulated iPhone with the texts it drew.
#pragma once

#include <filesystem>

namespace pokescope::bench {

// Writes `<model>_<light|dark>-<screen>.png` (model: se, 13mini, 14pro, 15promax) and `.txt` (one drawn text a line: text, then a tab and
// "x y width height") into `dir`; returns how many screens it wrote.
int renderScreens(const std::filesystem::path& dir);

} // namespace pokescope::bench
