#include "platform/linux/FFmpegMovieWriterParts.hpp"

#include "platform/linux/FFmpegInput.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace pokescope::ffmpeg {

namespace fs = std::filesystem;

namespace {

// Options for an FFmpeg call; whatever the call leaves unused is freed with it.
class Options {
public:
    Options& set(const char* key, const std::string& value) {
        AVDictionary* raw = dictionary_.release();
        av_dict_set(&raw, key, value.c_str(), 0);
        dictionary_.reset(raw);
        return *this;
    }
    // For a call that takes the dictionary and may replace it.
    struct Slot {
        Options& owner;
        AVDictionary* raw;
        ~Slot() { owner.dictionary_.reset(raw); }
        operator AVDictionary**() { return &raw; }
    };
    Slot slot() { return Slot{*this, dictionary_.release()}; }

private:
    std::unique_ptr<AVDictionary, DictionaryFree> dictionary_;
};

std::string systemText(int code) {
    return std::generic_category().message(code);
}

FramePtr newFrame() {
    return FramePtr(av_frame_alloc());
}
PacketPtr newPacket() {
    return PacketPtr(av_packet_alloc());
}

} // namespace

std::optional<std::uint64_t> freeBytes(const fs::path& folder) {
    struct statvfs info {};
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &info) != 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

std::string megabytes(std::uint64_t bytes) {
    return std::to_string(bytes >> 20) + " MB";
}

// ---------------------------------------------------------------------------------------------------
// Picture conversion

PictureConverter::PictureConverter(int width, int height, SwsContext* context)
    : width_(width), height_(height), context_(context) {}

std::unique_ptr<PictureConverter> PictureConverter::create(int width, int height, std::string& error) {
    SwsContext* context = sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height, AV_PIX_FMT_YUV420P,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context) {
        error = "can't convert " + std::to_string(width) + "x" + std::to_string(height) +
                " pictures for the encoder";
        return nullptr;
    }
    std::unique_ptr<PictureConverter> converter(new PictureConverter(width, height, context));
    // The screen is sRGB: BT.709 coefficients in limited range, as the stream is tagged.
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(context, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    return converter;
}

bool PictureConverter::convert(const Image& image, FramePtr& picture) {
    if (image.format() != Image::Format::bgra || image.width() != width_ || image.height() != height_ ||
        image.byteCount() < static_cast<std::size_t>(image.stride()) * height_)
        return false;
    if (!picture) {
        picture = newFrame();
        if (!picture)
            return false;
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = width_;
        picture->height = height_;
        if (av_frame_get_buffer(picture.get(), 0) < 0) {
            picture.reset();
            return false;
        }
    } else if (av_frame_make_writable(picture.get()) < 0) {
        return false;
    }
    const std::uint8_t* source[1] = {image.data()};
    const int sourceStride[1] = {image.stride()};
    return sws_scale(context_.get(), source, sourceStride, 0, height_, picture->data, picture->linesize) ==
           height_;
}

// ---------------------------------------------------------------------------------------------------
// The file

MovieFile::MovieFile(fs::path path, int descriptor, bool created)
    : path_(std::move(path)), descriptor_(descriptor), created_(created) {}

MovieFile::~MovieFile() {
    io_.reset();
    if (descriptor_ >= 0)
        ::close(descriptor_);
    if (created_ && !keep_) {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
}

std::unique_ptr<MovieFile> MovieFile::open(const fs::path& path, std::string& error) {
    const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
    std::error_code ec;
    if (!fs::exists(folder, ec)) {
        error = "the folder " + folder.string() + " does not exist";
        return nullptr;
    }
    if (!fs::is_directory(folder, ec)) {
        error = folder.string() + " is not a folder";
        return nullptr;
    }
    bool created = true;
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (descriptor < 0 && errno == EEXIST) {
        // The caller may have reserved the name with an empty file; anything else stays as it is.
        created = false;
        descriptor = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (descriptor < 0) {
        error = "can't write " + path.string() + ": " + systemText(errno);
        return nullptr;
    }
    std::unique_ptr<MovieFile> file(new MovieFile(path, descriptor, created));
    struct stat info {};
    if (::fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = path.string() + " is not a regular file";
        return nullptr;
    }
    if (info.st_size > 0) {
        error = "the file " + path.string() + " already exists and is not empty";
        return nullptr;
    }
    constexpr int bufferSize = 1 << 16;
    auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
    if (buffer)
        file->io_.reset(avio_alloc_context(buffer, bufferSize, 1, file.get(), nullptr,
                                           &MovieFile::writePacket, &MovieFile::seek));
    if (!file->io_) {
        av_free(buffer);
        error = "out of memory";
        return nullptr;
    }
    return file;
}

int MovieFile::writePacket(void* opaque, std::uint8_t* data, int size) {
    auto* file = static_cast<MovieFile*>(opaque);
    int done = 0;
    while (done < size) {
        ssize_t written = ::write(file->descriptor_, data + done, static_cast<std::size_t>(size - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            int code = written < 0 ? errno : ENOSPC;
            if (file->writeError_.empty()) {
                if (code == ENOSPC || code == EDQUOT) {
                    auto left = freeBytes(file->path_.parent_path());
                    file->writeError_ = "the disk is full (" + megabytes(left.value_or(0)) + " left)";
                } else {
                    file->writeError_ = "can't write " + file->path_.string() + ": " + systemText(code);
                }
            }
            return AVERROR(code);
        }
        done += static_cast<int>(written);
    }
    return size;
}

std::int64_t MovieFile::seek(void* opaque, std::int64_t offset, int whence) {
    auto* file = static_cast<MovieFile*>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat info {};
        return ::fstat(file->descriptor_, &info) == 0 ? info.st_size : AVERROR(errno);
    }
    off_t position = ::lseek(file->descriptor_, offset, whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : position;
}

void MovieFile::cutBack(std::int64_t size) {
    if (descriptor_ >= 0 && size >= 0 && ::ftruncate(descriptor_, size) == 0)
        ::lseek(descriptor_, size, SEEK_SET);
}

bool MovieFile::close(std::string& error) {
    if (descriptor_ < 0)
        return writeError_.empty();
    avio_flush(io_.get());
    int closed = ::close(descriptor_);
    int code = errno;
    descriptor_ = -1;
    if (!writeError_.empty()) {
        error = writeError_;
        return false;
    }
    if (closed != 0) {
        error = "can't write " + path_.string() + ": " + systemText(code);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------------
// Video

VideoEncoder::VideoEncoder(CodecPtr context, int frameRate)
    : context_(std::move(context)), packet_(newPacket()),
      nominalDuration_(std::max<std::int64_t>(1, MovieWriter::kTimeScale / frameRate)) {}

std::unique_ptr<VideoEncoder> VideoEncoder::open(const MovieSettings& settings, std::string& error) {
    const AVCodec* codec = findX264();
    if (!codec) {
        error = "the H.264 encoder (libx264) is not available";
        return nullptr;
    }
    CodecPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        error = "out of memory";
        return nullptr;
    }
    context->width = settings.width;
    context->height = settings.height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = AVRational{1, MovieWriter::kTimeScale};
    context->framerate = AVRational{settings.frameRate, 1};
    context->bit_rate = settings.videoBitRate;
    // The encoder's own keyframe distance is only a backstop: `encode` forces one every second of
    // presentation time, however many frames that second holds.
    context->gop_size = 2 * settings.frameRate;
    // Frames leave the encoder in the order they came, so decoding and presentation times are the same.
    context->max_b_frames = 0;
    context->profile = FF_PROFILE_H264_HIGH;
    context->color_primaries = AVCOL_PRI_BT709;
    context->color_trc = AVCOL_TRC_BT709;
    context->colorspace = AVCOL_SPC_BT709;
    context->color_range = AVCOL_RANGE_MPEG;
    // The fragmented file announces the streams before the first picture: it needs SPS and PPS up front.
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // `ultrafast` turns the 8×8 transform off and with it High profile; `veryfast` keeps it.
    Options options;
    options.set("preset", "veryfast").set("profile", "high").set("x264-params", "log=0");
    int rc = avcodec_open2(context.get(), codec, options.slot());
    if (rc < 0) {
        error = "can't open the H.264 encoder: " + errorText(rc);
        return nullptr;
    }
    return std::unique_ptr<VideoEncoder>(new VideoEncoder(std::move(context), settings.frameRate));
}

bool VideoEncoder::encode(AVFrame& picture, const PacketSink& sink, std::string& error) {
    // Half a frame of slack keeps a keyframe on the 30th frame of a steady 30 per second.
    const std::int64_t keyframeSpacing = MovieWriter::kTimeScale - nominalDuration_ / 2;
    bool keyframe = !lastKeyframe_ || picture.pts - *lastKeyframe_ >= keyframeSpacing;
    if (keyframe)
        lastKeyframe_ = picture.pts;
    picture.pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    int rc = avcodec_send_frame(context_.get(), &picture);
    if (rc < 0) {
        error = "the H.264 encoder failed: " + errorText(rc);
        return false;
    }
    return drain(sink, error);
}

bool VideoEncoder::flush(const PacketSink& sink, std::string& error) {
    int rc = avcodec_send_frame(context_.get(), nullptr);
    if (rc < 0 && rc != AVERROR_EOF) {
        error = "the H.264 encoder failed: " + errorText(rc);
        return false;
    }
    return drain(sink, error);
}

bool VideoEncoder::drain(const PacketSink& sink, std::string& error) {
    while (true) {
        int rc = avcodec_receive_packet(context_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0) {
            error = "the H.264 encoder failed: " + errorText(rc);
            return false;
        }
        // The last frame of the movie lasts one nominal frame; the others last until the next one.
        if (packet_->duration <= 0)
            packet_->duration = nominalDuration_;
        bool written = sink(*packet_, error);
        av_packet_unref(packet_.get());
        if (!written)
            return false;
    }
}

// ---------------------------------------------------------------------------------------------------
// The muxer

Muxer::Muxer(std::unique_ptr<MovieFile> file, AVFormatContext* context)
    : file_(std::move(file)), context_(context) {}

Muxer::~Muxer() = default;

std::unique_ptr<Muxer> Muxer::open(std::unique_ptr<MovieFile> file, std::string& error) {
    AVFormatContext* raw = nullptr;
    int rc = avformat_alloc_output_context2(&raw, nullptr, "mp4", nullptr);
    if (rc < 0 || !raw) {
        error = "the MPEG-4 writer is not available: " + errorText(rc);
        return nullptr;
    }
    std::unique_ptr<Muxer> muxer(new Muxer(std::move(file), raw));
    raw->pb = muxer->file_->io();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO | AVFMT_FLAG_FLUSH_PACKETS;
    raw->flush_packets = 1;
    // Times are written as given: the video's from zero in 1/600 s, the sound's from zero too.
    raw->avoid_negative_ts = AVFMT_AVOID_NEG_TS_DISABLED;
    return muxer;
}

int Muxer::addStream(const AVCodecContext& encoder, std::string& error) {
    AVStream* stream = avformat_new_stream(context_.get(), nullptr);
    if (!stream) {
        error = "out of memory";
        return -1;
    }
    int rc = avcodec_parameters_from_context(stream->codecpar, &encoder);
    if (rc < 0) {
        error = "can't add a stream to the movie: " + errorText(rc);
        return -1;
    }
    stream->time_base = encoder.time_base;
    return stream->index;
}

bool Muxer::start(std::string& error) {
    Options options;
    options.set("movflags", "frag_keyframe+empty_moov+default_base_moof")
        .set("video_track_timescale", std::to_string(MovieWriter::kTimeScale))
        .set("use_editlist", "0");
    int rc = avformat_write_header(context_.get(), options.slot());
    if (rc >= 0) {
        avio_flush(context_->pb);
        rc = context_->pb->error;
    }
    if (rc < 0) {
        error = file_->writeError().empty() ? "can't write the movie's header: " + errorText(rc)
                                            : file_->writeError();
        return false;
    }
    file_->keep();
    return true;
}

bool Muxer::write(AVPacket& packet, int stream, const AVCodecContext& encoder, std::string& error) {
    packet.stream_index = stream;
    av_packet_rescale_ts(&packet, encoder.time_base, context_->streams[stream]->time_base);
    // Every packet is flushed, so what the file held before this one ends with a complete fragment.
    const std::int64_t complete = avio_tell(context_->pb);
    int rc = av_write_frame(context_.get(), &packet);
    if (rc >= 0)
        rc = context_->pb->error;
    if (rc < 0) {
        if (!file_->writeError().empty())
            file_->cutBack(complete);
        error = file_->writeError().empty() ? "can't write the movie: " + errorText(rc) : file_->writeError();
        return false;
    }
    return true;
}

bool Muxer::finish(std::string& error) {
    closed_ = true;
    const std::int64_t complete = avio_tell(context_->pb);
    int rc = av_write_trailer(context_.get());
    if (rc < 0) {
        if (!file_->writeError().empty())
            file_->cutBack(complete);
        std::string ignored;
        file_->close(ignored);
        error =
            file_->writeError().empty() ? "can't complete the movie: " + errorText(rc) : file_->writeError();
        return false;
    }
    return file_->close(error);
}

void Muxer::abandon() {
    if (closed_)
        return;
    closed_ = true;
    std::string ignored;
    file_->close(ignored);
}

} // namespace pokescope::ffmpeg
