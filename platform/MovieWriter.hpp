// Writing a movie: H.264 video and, when asked, AAC sound in an MPEG-4 file. The file stays playable up
// to the last second written if the process is killed or the disk fills: it is written in fragments as it
// goes and finished normally by `finish`.
//
// Times: video frames carry their presentation time in 1/600 s since the start of the recording; sound
// carries its own start in seconds since the same moment. Both are measured by the caller on one clock.
//
// Threads: one caller at a time (the recorder holds its lock around each call). Encoding and writing run
// on the writer's own thread, so `appendVideo` returns at once; `readyForVideo` is false while that thread
// is still behind, and the caller then skips a frame rather than queueing it.
#pragma once

#include "platform/Capture.hpp"
#include "platform/Image.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace pokescope {

struct MovieSettings {
    // The output file. It may exist only as an empty file the caller created to reserve the name.
    std::filesystem::path file;
    int width = 0, height = 0; // even, at most 4096
    int videoBitRate = 8'000'000;
    int frameRate = 30;
    bool audio = false; // an AAC track: 48,000 Hz, 2 channels, kAudioBitRate
    static constexpr int kAudioBitRate = 160'000;
    // Free space below which writing stops with a clear error instead of filling the disk.
    std::uint64_t minimumFreeBytes = 64ull << 20;
};

class MovieWriter {
public:
    static constexpr int kTimeScale = 600;

    virtual ~MovieWriter() = default;

    // Opens the file and the encoders; none with `error` set when that fails (no space, no encoder, a
    // folder that cannot be written).
    static std::unique_ptr<MovieWriter> create(const MovieSettings& settings, std::string& error);

    virtual bool hasAudio() const = 0;
    // Whether a video frame would be taken now.
    virtual bool readyForVideo() const = 0;
    // Takes a width × height BGRA frame (the image is copied or converted before this returns) at `time`
    // (1/600 s since the start; each later than the last). False when refused (busy, failed, finished).
    virtual bool appendVideo(const Image& frame, std::int64_t time) = 0;
    // Takes interleaved float sound of any rate and channel count starting at `seconds` since the start.
    // False when refused. Without an audio track it refuses everything.
    virtual bool appendAudio(const AudioBuffer& sound, double seconds) = 0;
    // What went wrong while writing (the disk filled, the encoder failed); empty while all is well. Once
    // set, every append is refused; what was written before stays playable.
    virtual std::string failure() const = 0;
    // Flushes the encoders and completes the file; waits until done. False with `error` when the file
    // could not be completed (it then still plays up to its last complete fragment).
    virtual bool finish(std::string& error) = 0;
};

} // namespace pokescope
