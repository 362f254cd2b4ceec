// The pieces the FFmpeg movie writer is built from: the output file with its fragmented MPEG-4 muxer, the
// H.264 and AAC encoders, and the BGRA to YUV 4:2:0 conversion.
//
// Thread contract: none of these objects is shared. The picture converter belongs to the writer's caller;
// the file, the muxer and the encoders to the writer's own thread once it runs.
#pragma once

#include "platform/Capture.hpp"
#include "platform/Image.hpp"
#include "platform/MovieWriter.hpp"
#include "platform/linux/FFmpegHandles.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>


namespace pokescope::ffmpeg {

// Free bytes for an unprivileged writer on the file system holding `folder`; none when it cannot be read.
std::optional<std::uint64_t> freeBytes(const std::filesystem::path& folder);
// "12 MB" (whole mebibytes, rounded down).
std::string megabytes(std::uint64_t bytes);

// Turns BGRA images of one size into YUV 4:2:0 pictures (BT.709 coefficients, limited range), as the
// H.264 encoder takes them.
class PictureConverter {
public:
    static std::unique_ptr<PictureConverter> create(int width, int height, std::string& error);
    // Fills `picture` from `image`, which must be BGRA of the converter's size. A picture still shared
    // with the encoder is replaced rather than overwritten; an empty one is allocated.
    bool convert(const Image& image, FramePtr& picture);

private:
    PictureConverter(int width, int height, SwsContext* context);
    int width_, height_;
    std::unique_ptr<SwsContext, SwsFree> context_;
};

// The movie file, written through an I/O context of our own: the file is opened without truncating it
// (an existing non-empty file is refused, not emptied), and a failed write keeps its system error.
class MovieFile {
public:
    // Opens `path` for writing; none with `error` set when the folder is missing or not writable, or the
    // file exists and is not empty.
    static std::unique_ptr<MovieFile> open(const std::filesystem::path& path, std::string& error);
    ~MovieFile();
    MovieFile(const MovieFile&) = delete;
    MovieFile& operator=(const MovieFile&) = delete;

    AVIOContext* io() const { return io_.get(); }
    const std::filesystem::path& path() const { return path_; }
    // Why the first failed write failed ("the disk is full (0 MB left)"); empty while none has.
    const std::string& writeError() const { return writeError_; }
    // After a failed write: cuts the file back to `size` bytes, the end of the last complete fragment, so
    // that it ends cleanly.
    void cutBack(std::int64_t size);
    // Writes out what the I/O context still buffers and closes the file; false with `error` when a write
    // or the close failed.
    bool close(std::string& error);
    // Keeps the file when this object goes away. Until then a file that this object created is removed
    // again, so that a writer that could not start leaves nothing behind.
    void keep() { keep_ = true; }

private:
    MovieFile(std::filesystem::path path, int descriptor, bool created);
    static int writePacket(void* opaque, std::uint8_t* data, int size);
    static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

    std::filesystem::path path_;
    int descriptor_ = -1;
    bool created_ = false;
    bool keep_ = false;
    std::string writeError_;
    std::unique_ptr<AVIOContext, IOFree> io_;
};

// Hands one encoded packet on; false with `error` set when it could not be written.
using PacketSink = std::function<bool(AVPacket& packet, std::string& error)>;

// H.264, High profile, at the settings' size and average bit rate; presentation times in 1/600 s.
class VideoEncoder {
public:
    static std::unique_ptr<VideoEncoder> open(const MovieSettings& settings, std::string& error);
    const AVCodecContext& context() const { return *context_; }
    // Encodes one picture whose pts is in 1/600 s, and hands every packet it completes to `sink`.
    bool encode(AVFrame& picture, const PacketSink& sink, std::string& error);
    // Hands on the packets still inside the encoder; after this it takes no more pictures.
    bool flush(const PacketSink& sink, std::string& error);

private:
    explicit VideoEncoder(CodecPtr context, int frameRate);
    bool drain(const PacketSink& sink, std::string& error);
    CodecPtr context_;
    PacketPtr packet_;
    std::int64_t nominalDuration_;
    std::optional<std::int64_t> lastKeyframe_;
};

// AAC at 48,000 Hz, 2 channels, 160,000 bit/s. Sound of any rate and channel count is resampled and
// placed on the time line by its start time: a gap is filled with silence and an overlap dropped, so that
// the sound stays where the video is.
class AudioEncoder {
public:
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;
    static constexpr int bitRate = MovieSettings::kAudioBitRate;

    static std::unique_ptr<AudioEncoder> open(std::string& error);
    const AVCodecContext& context() const { return *context_; }
    // Adds `sound` starting `seconds` after the start of the movie; false with `error` when the encoder
    // failed or a packet could not be written. Sound that cannot be converted is refused beforehand.
    bool append(const AudioBuffer& sound, double seconds, const PacketSink& sink, std::string& error);
    // Encodes what is still waiting (a last short frame included) and hands on the encoder's last packets.
    bool flush(const PacketSink& sink, std::string& error);
    // Whether sound of this shape can be converted at all.
    static bool acceptable(const AudioBuffer& sound);

private:
    explicit AudioEncoder(CodecPtr context);
    bool configureResampler(const AudioBuffer& sound);
    bool enqueue(float* const* planes, std::int64_t offset, int count);
    bool addSilence(std::int64_t count, const PacketSink& sink, std::string& error);
    bool encodeWhole(const PacketSink& sink, std::string& error);
    bool encodeFrame(int count, const PacketSink& sink, std::string& error);
    bool drain(const PacketSink& sink, std::string& error);

    struct Source {
        int rate = 0, channels = 0;
        bool operator==(const Source&) const = default;
    };
    CodecPtr context_;
    FramePtr frame_;
    PacketPtr packet_;
    std::unique_ptr<SwrContext, SwrFree> resampler_;
    Source source_;
    std::vector<float> planes_[channels];            // the resampler's output
    std::unique_ptr<AVAudioFifo, FifoFree> waiting_; // converted sound not yet encoded
    std::int64_t encodedUpTo_ = 0; // where the first waiting sample goes (48 kHz samples since the start)
};

// The fragmented MPEG-4 muxer. A fragment is cut at every video keyframe, and each is written out as soon
// as it is complete, so a file whose writer is killed still plays up to its last complete fragment.
class Muxer {
public:
    static std::unique_ptr<Muxer> open(std::unique_ptr<MovieFile> file, std::string& error);
    ~Muxer();
    // Adds a stream with the parameters of an opened encoder; its index, or -1 with `error` set.
    int addStream(const AVCodecContext& encoder, std::string& error);
    // Writes the header; after this the file is kept.
    bool start(std::string& error);
    // Writes one packet of stream `stream`, its times in `encoder`'s time base. A fragment that cannot be
    // written whole is taken out of the file again.
    bool write(AVPacket& packet, int stream, const AVCodecContext& encoder, std::string& error);
    // Writes the last fragment and the trailer and closes the file.
    bool finish(std::string& error);
    // Closes the file as it stands, without a trailer (after a write error).
    void abandon();
    // Why the file stopped taking data; empty while it takes it.
    const std::string& writeError() const { return file_->writeError(); }
    const std::filesystem::path& path() const { return file_->path(); }

private:
    Muxer(std::unique_ptr<MovieFile> file, AVFormatContext* context);
    std::unique_ptr<MovieFile> file_;
    std::unique_ptr<AVFormatContext, FormatFree> context_;
    bool closed_ = false;
};

} // namespace pokescope::ffmpeg
