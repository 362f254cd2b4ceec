// The folders Pokescope keeps its files in, following the XDG base-directory and user-directory rules so
// that tests can point HOME and the XDG variables at a temporary folder. Each folder accessor creates the
// folder (with its parents) if it is missing: a fresh machine has none of them. Creation failures are not
// reported here; they surface when the caller opens a file there.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace pokescope::Paths {

std::filesystem::path home();

// ~/.local/state/pokescope: the log; Pokescope.log for the application on the usual port (`port` none),
// Pokescope-<port>.log for one on another port, so that neither truncates the other's.
std::filesystem::path stateFolder();
std::filesystem::path logFile(std::optional<std::uint16_t> port = std::nullopt);

// ~/.config/pokescope: preferences.
std::filesystem::path configFolder();
std::filesystem::path settingsFile();

// ~/.local/share/pokescope: application support (calibration.json).
std::filesystem::path appSupport();

// The pictures folder + /Pokescope: saved screenshots.
std::filesystem::path screenshots();

// The videos folder + /Pokescope: recordings and their subtitles.
std::filesystem::path recordings();

// The user's XDG user directory for `name` ("PICTURES", "VIDEOS"), or home/`fallback`.
std::filesystem::path userDirectory(const std::string& name, const std::string& fallback);

} // namespace pokescope::Paths
