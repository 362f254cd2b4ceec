// Where the application runs from. There is no Applications folder to move into on Linux: the offer is
// never made, but the one line saying where Pokescope runs from stays, since agents' stdio entries name
// this executable's path and a user who moves the build must update them.
#pragma once

#include <filesystem>
#include <string>

namespace pokescope::MoveToApplications {

inline constexpr const char* kDeclinedKey = "moveToApplicationsDeclined";

// Logs "app: running from " + the folder that holds the executable; asks nothing and moves nothing.
void offerIfNeeded();
// The folder logged for an executable at `executable`.
std::filesystem::path runningFrom(const std::filesystem::path& executable);

} // namespace pokescope::MoveToApplications
