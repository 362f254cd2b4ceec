// Our movie writer and the ffmpeg command line, encoding the same recorder frames at the same settings
// (libx264 veryfast, High profile, no B-frames, a keyframe a second, the recorder's bit rate) as fast as
// each will go: frames per second and CPU seconds per frame.
#pragma once

#include "bench/recorder/BusyPhone.hpp"
#include "platform/Image.hpp"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace recorderbench {

struct EncoderFigures {
    std::string name;
    long frames = 0;
    double wallSeconds = 0, cpuSeconds = 0;
    std::int64_t bytes = 0;
    std::string error; // empty when the encode ran to its end

    double framesPerSecond() const { return wallSeconds > 0 ? static_cast<double>(frames) / wallSeconds : 0; }
    double cpuMillisecondsPerFrame() const { return frames > 0 ? 1000 * cpuSeconds / static_cast<double>(frames) : 0; }
};

// `count` frames of the busy phone as the recorder composes them at full quality (fitted into the
// output size, with the action marks drawn), about 30 a second.
std::vector<pokescope::Image> composedFrames(BusyPhone& phone, int count);

// `count` frames cycled from `frames` through `ffmpeg` reading raw BGRA on its input; the child's own CPU.
EncoderFigures encodeWithCommandLine(const std::vector<pokescope::Image>& frames, long count, int bitRate,
                                     const std::filesystem::path& file);
// The same through MovieWriter, each frame appended as soon as the writer takes one; this process's CPU
// (nothing else runs in it meanwhile).
EncoderFigures encodeWithWriter(const std::vector<pokescope::Image>& frames, long count, int bitRate,
                                const std::filesystem::path& file);

} // namespace recorderbench
