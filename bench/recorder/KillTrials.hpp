// What a recording leaves when its process is killed: a child writes a small movie with sound in real time
// and reports every frame it hands to the writer; it is killed at a random moment, and ffprobe then
// decodes the file and finds where its video ends.
#pragma once

#include <filesystem>

namespace recorderbench {

// The child's side: 320 × 640 at 30 frames a second with a tone, into `file`, until killed. Each frame
// the writer takes is reported on the standard output as the time its picture ends, in seconds.
int writeUntilKilled(const std::filesystem::path& file);

struct KillFigures {
    int trials = 0;
    int playable = 0;   // ffprobe decoded the file without an error
    int withFrames = 0; // …and it held at least one frame
    int within = 0;     // playable, its video ending within kTolerance of what was written
    double medianLag = 0, maxLag = 0; // seconds written but not in the file, over the playable files
    static constexpr double kTolerance = 2.0;
};

// `trials` kills after 0.3 to 3 s each; `program` is this bench, started with --kill-child.
KillFigures killTrials(const std::filesystem::path& program, const std::filesystem::path& folder, int trials);

} // namespace recorderbench
