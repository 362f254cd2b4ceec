// Writing a whole file so that readers see either the old contents or the new, never a mix, even after a
// crash or power loss in the middle.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

namespace pokescope {

// Writes `text` to a temporary file beside `file`, flushes it to the disk and renames it over `file`
// (then flushes the folder, so the rename lasts too). The temporary file is created afresh under an
// unpredictable name, readable by this user only (mode 0600), so a link planted at the name (or at a
// guessed temporary name) is replaced, never written through. On failure `file` is untouched, the
// temporary file is removed and `failure` says why.
bool writeFileAtomically(const std::filesystem::path& file, const std::string& text, std::string& failure);

// Removes what writes of `file` killed midway left behind: this user's regular files named like their
// temporary files that were last changed more than `olderThan` ago (a younger one may be another
// process's write in progress). Returns how many went.
int removeOrphanedTemporaries(const std::filesystem::path& file, std::chrono::seconds olderThan);

} // namespace pokescope
