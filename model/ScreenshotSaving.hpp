// Screenshots as the window saves them: PNG files named after the local time in the screenshots folder.
#pragma once

#include "platform/Image.hpp"

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

namespace pokescope::ScreenshotSaving {

// "iPhone 2026-03-04 at 09.05.07.png" for that local time.
std::string fileName(std::time_t when);

// The PNG of `image`, and the folder it goes to (`chosen`, else the pictures folder's Pokescope folder),
// created. Blocking: off the main queue. None when the picture could not be encoded.
struct Encoded {
    std::string png;
    std::filesystem::path folder;
};
std::optional<Encoded> encode(const ImageRef& image, const std::optional<std::filesystem::path>& chosen);

// Writes `png` to `folder` under the name for `when`; a name already taken gets " (2)", " (3)" … so that two
// screenshots in one second keep both. Calls must not overlap (the model makes them on its main queue).
// The file, or none with `failure` set.
std::optional<std::filesystem::path> write(const std::filesystem::path& folder, std::time_t when,
                                           const std::string& png, std::string& failure);

} // namespace pokescope::ScreenshotSaving
