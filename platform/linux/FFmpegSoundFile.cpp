// SoundFile and SpeechResampler on FFmpeg: libavformat reads the file, libavcodec decodes its first audio
// track and libswresample turns any sound into 16 kHz mono signed 16-bit samples.
#include "platform/SoundFile.hpp"

#include "platform/linux/FFmpegHandles.hpp"
#include "platform/linux/FFmpegInput.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace pokescope {

namespace {

using ffmpeg::CodecFree;
using ffmpeg::DictionaryFree;
using ffmpeg::errorText;
using ffmpeg::FormatClose;
using ffmpeg::FrameFree;
using ffmpeg::PacketFree;

constexpr int speechRate = 16000;

// One libswresample context turning sound of one format into 16 kHz mono s16, with the timing of what
// comes out. Times are counted in libswresample's timestamp unit, 1 / (input rate × 16000) s, in which
// one input sample and one output sample are both whole numbers.
class SpeechConverter {
public:
    // Compensating keeps the output on the input's time line: where the input's timestamps jump ahead
    // the converter fills in silence, where they go back it drops what overlaps, so that the n-th output
    // sample always lies n / 16000 s after the first. Live sound has a jittery arrival clock and is taken
    // as it comes instead.
    explicit SpeechConverter(bool compensate) : compensate_(compensate) {}
    ~SpeechConverter() { reset(); }
    SpeechConverter(const SpeechConverter&) = delete;
    SpeechConverter& operator=(const SpeechConverter&) = delete;

    bool ready() const { return context_ != nullptr; }
    bool matches(const AVChannelLayout& layout, AVSampleFormat format, int rate) const {
        return context_ && format == format_ && rate == rate_ &&
               av_channel_layout_compare(&layout, &layout_) == 0;
    }
    std::int64_t unitsPerSecond() const { return static_cast<std::int64_t>(rate_) * speechRate; }
    // Where the next input sample would be expected if the input is continuous; none before any input.
    std::optional<std::int64_t> expectedPts() const { return expected_; }

    // Sets up the conversion for sound of this layout, format and rate; 0 or FFmpeg's error.
    int configure(const AVChannelLayout& layout, AVSampleFormat format, int rate) {
        reset();
        if (rate <= 0 || layout.nb_channels <= 0)
            return AVERROR(EINVAL);
        int rc = av_channel_layout_copy(&layout_, &layout);
        if (rc < 0)
            return rc;
        format_ = format;
        rate_ = rate;
        AVChannelLayout input{};
        if (layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&input, layout.nb_channels);
        else if ((rc = av_channel_layout_copy(&input, &layout)) < 0)
            return rc;
        // A known speaker layout gets libswresample's own downmix, which keeps the centre (where dialogue
        // is) strongest and leaves the LFE out; channels without speaker positions, where it has no rule,
        // are averaged with equal weight.
        rc = open(input, input.order != AV_CHANNEL_ORDER_NATIVE);
        if (rc < 0 && input.order == AV_CHANNEL_ORDER_NATIVE)
            rc = open(input, true);
        av_channel_layout_uninit(&input);
        if (rc < 0)
            reset();
        return rc;
    }

    // Converts `frames` input samples whose first one lies at `pts` (none: right after the previous
    // ones), appending to `out`; returns the time of the first sample appended, in timestamp units.
    // The samples may be fewer than the input covers, or none, while the converter holds some back.
    std::int64_t convert(const std::uint8_t* const* data, int frames, std::optional<std::int64_t> pts,
                         std::vector<std::int16_t>& out, int& error) {
        std::int64_t next = swr_next_pts(context_, pts.value_or(std::numeric_limits<std::int64_t>::min()));
        error = pump(data, frames, out);
        if (pts)
            expected_ = *pts;
        if (expected_)
            *expected_ += static_cast<std::int64_t>(frames) * speechRate;
        return next;
    }

    // Everything still held back, appending to `out`; returns the time of its first sample. The
    // converter is spent afterwards.
    std::int64_t flush(std::vector<std::int16_t>& out, int& error) {
        std::int64_t next = swr_next_pts(context_, std::numeric_limits<std::int64_t>::min());
        error = pump(nullptr, 0, out);
        reset();
        return next;
    }

    void reset() {
        swr_free(&context_);
        av_channel_layout_uninit(&layout_);
        expected_.reset();
    }

private:
    int open(AVChannelLayout& input, bool equalWeights) {
        swr_free(&context_);
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        int rc = swr_alloc_set_opts2(&context_, &mono, AV_SAMPLE_FMT_S16, speechRate, &input, format_, rate_,
                                     0, nullptr);
        if (rc < 0)
            return rc;
        if (compensate_) {
            // Deviations up to 20 ms are left alone (one AAC frame is 21 ms); larger ones are evened out
            // at once with silence or by dropping samples.
            av_opt_set_double(context_, "min_comp", 0.02, 0);
            av_opt_set_double(context_, "min_hard_comp", 0.02, 0);
        }
        if (equalWeights) {
            std::vector<double> weights(static_cast<std::size_t>(input.nb_channels), 1.0 / input.nb_channels);
            if ((rc = swr_set_matrix(context_, weights.data(), input.nb_channels)) < 0)
                return rc;
        }
        return swr_init(context_);
    }

    // Runs input (none: the end of the input) through the converter, appending the samples to `out`.
    int pump(const std::uint8_t* const* data, int frames, std::vector<std::int16_t>& out) {
        // What an otherwise empty call passes as its input: libswresample reads a null input as the end.
        const std::uint8_t* nothing[1] = {nullptr};
        const std::uint8_t* const* input = data;
        frames = input ? std::max(frames, 0) : 0;
        for (;;) {
            int room = swr_get_out_samples(context_, frames);
            if (room < 0)
                return room;
            // An upper bound when input is given; at the end the filter's tail comes out over as many
            // calls as it takes.
            room = std::max(room, 256);
            std::size_t used = out.size();
            out.resize(used + static_cast<std::size_t>(room));
            auto* target = reinterpret_cast<std::uint8_t*>(out.data() + used);
            int produced =
                swr_convert(context_, &target, room, const_cast<const std::uint8_t**>(input), frames);
            out.resize(used + static_cast<std::size_t>(std::max(produced, 0)));
            if (produced < 0)
                return produced;
            if (produced < room)
                return 0;
            // The room was filled: ask again for what may still be waiting, without more input.
            if (input) {
                input = nothing;
                frames = 0;
            }
        }
    }

    bool compensate_;
    SwrContext* context_ = nullptr;
    AVChannelLayout layout_{};
    AVSampleFormat format_ = AV_SAMPLE_FMT_NONE;
    int rate_ = 0;
    std::optional<std::int64_t> expected_;
};

class FFmpegSoundFile final : public SoundFile {
public:
    void open(const std::string& path, std::chrono::milliseconds timeout);

    int audioTrackCount() const override;
    void startReading() override;
    std::optional<SpeechSound> read() override;
    bool failed() const override { return failed_; }
    std::string errorDescription() const override { return error_; }

private:
    // Packets in a row that the decoder may reject before the track counts as unreadable.
    static constexpr int damagedPacketLimit = 50;
    // How far the track's timestamps may jump before the sound restarts at the new time instead of being
    // bridged with silence (or shortened) to stay continuous.
    static constexpr double longestBridge = 60.0;
    // Timestamps beyond this many seconds are damage, not a time in a movie.
    static constexpr double longestTime = 366.0 * 24 * 3600;
    // The most that is cut from the end of the sound to make it end with the track (see trimEnd).
    static constexpr double longestPadding = 0.25;
    // How much sound one buffer gathers before it is handed out.
    static constexpr std::size_t bufferSamples = speechRate / 5;

    static int interrupted(void* opaque);
    [[noreturn]] void throwOpenError(int code, std::chrono::milliseconds timeout) const;
    void step();
    bool drainDecoder();
    bool consume(const AVFrame& frame);
    void flushConverter();
    void deliver(double time, std::vector<std::int16_t>&& samples);
    void finishPending();
    void trimEnd();
    void fail(int code);
    bool tolerate(int code);

    // The interrupt callback reads these while the format context lives, so they are declared before it.
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
    bool timedOut_ = false;

    std::unique_ptr<AVFormatContext, FormatClose> format_;
    std::unique_ptr<AVCodecContext, CodecFree> codec_;
    std::unique_ptr<AVPacket, PacketFree> packet_;
    std::unique_ptr<AVFrame, FrameFree> frame_;
    int stream_ = -1;
    AVRational timeBase_{1, 1};
    std::int64_t origin_ = 0;        // the movie's time zero in the track's time base
    std::optional<double> trackEnd_; // where the container says the track ends
    SpeechConverter converter_{true};
    bool ended_ = false;
    bool failed_ = false;
    std::string error_;
    int damagedInRow_ = 0;
    std::optional<SpeechSound> pending_;
    double end_ = 0; // the time just after the last sample converted so far
    std::deque<SpeechSound> ready_;
};

int FFmpegSoundFile::interrupted(void* opaque) {
    auto* file = static_cast<FFmpegSoundFile*>(opaque);
    if (std::chrono::steady_clock::now() < file->deadline_)
        return 0;
    file->timedOut_ = true;
    return 1;
}

void FFmpegSoundFile::throwOpenError(int code, std::chrono::milliseconds timeout) const {
    if (timedOut_)
        throw SoundFileError(SoundFileError::Stage::timedOut,
                             "The tracks were not read within " + std::to_string(timeout.count()) + " ms");
    throw SoundFileError(SoundFileError::Stage::open, errorText(code));
}

void FFmpegSoundFile::open(const std::string& path, std::chrono::milliseconds timeout) {
    AVFormatContext* context = avformat_alloc_context();
    if (!context)
        throw SoundFileError(SoundFileError::Stage::open, errorText(AVERROR(ENOMEM)));
    context->interrupt_callback = {&FFmpegSoundFile::interrupted, this};
    deadline_ = std::chrono::steady_clock::now() + timeout;
    // Only local files: the "file:" prefix keeps a colon in the name from being read as a protocol, and
    // the white list keeps a playlist or reference inside the file from reaching anything else.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    // On failure avformat_open_input frees the context itself.
    int rc = avformat_open_input(&context, ("file:" + path).c_str(), nullptr, &options);
    std::unique_ptr<AVDictionary, DictionaryFree> unused(options);
    if (rc < 0)
        throwOpenError(rc, timeout);
    format_.reset(context);
    // Interrupted part-way, finding the stream information may still report success.
    if ((rc = avformat_find_stream_info(context, nullptr)) < 0 || timedOut_)
        throwOpenError(rc, timeout);
    // Reading the track may take as long as it takes.
    deadline_ = std::chrono::steady_clock::time_point::max();
}

int FFmpegSoundFile::audioTrackCount() const {
    int count = 0;
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            ++count;
    return count;
}

void FFmpegSoundFile::startReading() {
    if (codec_)
        return;
    // The first audio track, as the file lists them: the one a player starts with, whatever the
    // language or quality of the others.
    AVStream* stream = nullptr;
    for (unsigned i = 0; i < format_->nb_streams && !stream; ++i)
        if (format_->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            stream = format_->streams[i];
    if (!stream)
        throw SoundFileError(SoundFileError::Stage::reader, errorText(AVERROR_STREAM_NOT_FOUND));
    const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!decoder)
        throw SoundFileError(SoundFileError::Stage::reader, errorText(AVERROR_DECODER_NOT_FOUND) + " (" +
                                                                avcodec_get_name(stream->codecpar->codec_id) +
                                                                ")");
    std::unique_ptr<AVCodecContext, CodecFree> codec(avcodec_alloc_context3(decoder));
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!codec || !packet_ || !frame_)
        throw SoundFileError(SoundFileError::Stage::reader, errorText(AVERROR(ENOMEM)));
    int rc = avcodec_parameters_to_context(codec.get(), stream->codecpar);
    // The decoder needs the packets' time base to trim the encoder's priming samples with their time.
    codec->pkt_timebase = stream->time_base;
    if (rc < 0 || (rc = avcodec_open2(codec.get(), decoder, nullptr)) < 0)
        throw SoundFileError(SoundFileError::Stage::reader, errorText(rc));
    codec_ = std::move(codec);
    stream_ = stream->index;
    timeBase_ = stream->time_base;
    // The demuxer still reads the other tracks' packets but no longer hands them out.
    for (unsigned i = 0; i < format_->nb_streams; ++i)
        if (static_cast<int>(i) != stream_)
            format_->streams[i]->discard = AVDISCARD_ALL;
    // MPEG program and transport streams count time from wherever their clock happened to stand; players
    // show such a movie from its first timestamp, so that is time zero. The other containers start at 0.
    if ((format_->iformat->flags & AVFMT_TS_DISCONT) && format_->start_time != AV_NOPTS_VALUE)
        origin_ = av_rescale_q(format_->start_time, AVRational{1, AV_TIME_BASE}, timeBase_);
    // Only a length the container states; one estimated from the timestamps leaves out the last frame.
    if (format_->duration_estimation_method == AVFMT_DURATION_FROM_STREAM &&
        stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
        std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
        trackEnd_ = static_cast<double>(start + stream->duration - origin_) * av_q2d(timeBase_);
    }
}

std::optional<SpeechSound> FFmpegSoundFile::read() {
    if (!codec_ && !failed_) {
        failed_ = true;
        error_ = "The sound track was not prepared for reading";
    }
    while (ready_.empty() && !ended_ && !failed_)
        step();
    if (failed_ || ready_.empty())
        return std::nullopt;
    SpeechSound sound = std::move(ready_.front());
    ready_.pop_front();
    return sound;
}

// Reads one packet and passes it through the decoder, or finishes the track at its end.
void FFmpegSoundFile::step() {
    int rc = av_read_frame(format_.get(), packet_.get());
    if (rc == AVERROR(EAGAIN)) {
        // Nothing there yet (a file on a slow network share); ask again in a moment.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return;
    }
    if (rc == AVERROR_EOF) {
        // What the decoder and then the converter still hold is the end of the track.
        avcodec_send_packet(codec_.get(), nullptr);
        if (!drainDecoder())
            return;
        flushConverter();
        trimEnd();
        finishPending();
        ended_ = true;
        return;
    }
    if (rc < 0) {
        fail(rc);
        return;
    }
    if (packet_->stream_index != stream_) {
        av_packet_unref(packet_.get());
        return;
    }
    rc = avcodec_send_packet(codec_.get(), packet_.get());
    // A decoder that still holds output takes the packet once that is out.
    if (rc == AVERROR(EAGAIN) && drainDecoder())
        rc = avcodec_send_packet(codec_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (failed_)
        return;
    if (rc < 0 && !tolerate(rc))
        return;
    drainDecoder();
}

// Converts every frame the decoder has ready; false once the track failed.
bool FFmpegSoundFile::drainDecoder() {
    for (;;) {
        int rc = avcodec_receive_frame(codec_.get(), frame_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0) {
            if (!tolerate(rc))
                return false;
            continue;
        }
        damagedInRow_ = 0;
        bool converted = consume(*frame_);
        av_frame_unref(frame_.get());
        if (!converted)
            return false;
    }
}

// A damaged packet costs its own fraction of a second, which the next frame's timestamp turns into
// silence; the rest of the track stays usable. Decoders answer damage with all kinds of codes (invalid
// data, "not yet implemented" for a bit pattern no encoder writes, plain -1), so any of them counts,
// except running out of memory. Only a run of damaged packets (a track that is garbage, or a decoder that
// cannot cope) fails the reading.
bool FFmpegSoundFile::tolerate(int code) {
    if (code != AVERROR(ENOMEM) && ++damagedInRow_ < damagedPacketLimit)
        return true;
    fail(code);
    return false;
}

bool FFmpegSoundFile::consume(const AVFrame& frame) {
    if (frame.nb_samples <= 0)
        return true;
    auto format = static_cast<AVSampleFormat>(frame.format);
    if (!converter_.matches(frame.ch_layout, format, frame.sample_rate)) {
        // The track changed its rate or channels: what the old conversion holds comes first.
        if (converter_.ready())
            flushConverter();
        if (int rc = converter_.configure(frame.ch_layout, format, frame.sample_rate); rc < 0) {
            fail(rc);
            return false;
        }
    }
    std::int64_t timestamp =
        frame.best_effort_timestamp != AV_NOPTS_VALUE ? frame.best_effort_timestamp : frame.pts;
    // A damaged file can carry any number as a timestamp; one beyond a year is taken as none.
    if (timestamp != AV_NOPTS_VALUE &&
        !(std::abs((static_cast<double>(timestamp) - static_cast<double>(origin_)) * av_q2d(timeBase_)) <
          longestTime))
        timestamp = AV_NOPTS_VALUE;
    std::optional<std::int64_t> pts;
    if (timestamp != AV_NOPTS_VALUE)
        pts = av_rescale_rnd(timestamp - origin_,
                             static_cast<std::int64_t>(timeBase_.num) * converter_.unitsPerSecond(),
                             timeBase_.den, AV_ROUND_NEAR_INF);
    else if (!converter_.expectedPts())
        // Without any timestamp the sound goes on where the sound so far ended (at first, time zero).
        pts = std::llround(end_ * static_cast<double>(converter_.unitsPerSecond()));
    if (pts && converter_.expectedPts()) {
        double jump = (static_cast<double>(*pts) - static_cast<double>(*converter_.expectedPts())) /
                      static_cast<double>(converter_.unitsPerSecond());
        if (std::abs(jump) > longestBridge) {
            // Too far to bridge: the sound so far ends here and starts again at the new time.
            flushConverter();
            if (int rc = converter_.configure(frame.ch_layout, format, frame.sample_rate); rc < 0) {
                fail(rc);
                return false;
            }
        }
    }
    std::vector<std::int16_t> samples;
    int error = 0;
    std::int64_t first = converter_.convert(frame.extended_data, frame.nb_samples, pts, samples, error);
    if (error < 0) {
        fail(error);
        return false;
    }
    deliver(static_cast<double>(first) / static_cast<double>(converter_.unitsPerSecond()),
            std::move(samples));
    return true;
}

void FFmpegSoundFile::flushConverter() {
    if (!converter_.ready())
        return;
    auto units = static_cast<double>(converter_.unitsPerSecond());
    std::vector<std::int16_t> samples;
    int error = 0;
    std::int64_t first = converter_.flush(samples, error);
    if (error < 0) {
        fail(error);
        return;
    }
    deliver(static_cast<double>(first) / units, std::move(samples));
}

// Adds converted samples, whose first one lies at `time`, to the buffer being gathered.
void FFmpegSoundFile::deliver(double time, std::vector<std::int16_t>&& samples) {
    if (samples.empty())
        return;
    // Compensation keeps one conversion's output continuous; a new conversion may start elsewhere, and
    // then the gathered buffer ends before it.
    if (pending_ && std::abs(pending_->time + pending_->duration() - time) >= 0.001)
        finishPending();
    if (!pending_)
        pending_ = SpeechSound{time, std::move(samples)};
    else
        pending_->samples.insert(pending_->samples.end(), samples.begin(), samples.end());
    end_ = pending_->time + pending_->duration();
    if (pending_->samples.size() >= bufferSamples)
        finishPending();
}

void FFmpegSoundFile::finishPending() {
    if (pending_ && !pending_->samples.empty())
        ready_.push_back(std::move(*pending_));
    pending_.reset();
}

// An encoder fills its last frame up with silence, which the container's track length leaves out (an
// AAC track of exactly 3 s decodes to 3.008 s). What comes out past the track's end is cut, as a player
// would stop there; an overshoot larger than any padding means the length is what is wrong, and then
// all of the sound stays.
void FFmpegSoundFile::trimEnd() {
    if (!trackEnd_)
        return;
    double overshoot = end_ - *trackEnd_;
    if (overshoot <= 0 || overshoot > longestPadding)
        return;
    auto excess = static_cast<std::size_t>(std::llround(overshoot * speechRate));
    // Only what was not handed out yet can still be cut.
    auto cut = [&excess](SpeechSound& sound) {
        std::size_t n = std::min(excess, sound.samples.size());
        sound.samples.resize(sound.samples.size() - n);
        excess -= n;
    };
    if (pending_)
        cut(*pending_);
    for (auto it = ready_.rbegin(); it != ready_.rend() && excess > 0; ++it)
        cut(*it);
    std::erase_if(ready_, [](const SpeechSound& sound) { return sound.samples.empty(); });
    end_ = *trackEnd_;
}

void FFmpegSoundFile::fail(int code) {
    failed_ = true;
    error_ = errorText(code);
    ready_.clear();
    pending_.reset();
}

} // namespace

double SpeechSound::duration() const {
    return static_cast<double>(samples.size()) / speechRate;
}

std::unique_ptr<SoundFile> SoundFile::open(const std::string& path, std::chrono::milliseconds timeout) {
    auto file = std::make_unique<FFmpegSoundFile>();
    file->open(path, timeout);
    return file;
}

struct SpeechResampler::Impl {
    SpeechConverter converter{false};
};

SpeechResampler::SpeechResampler() : impl_(std::make_unique<Impl>()) {}

SpeechResampler::~SpeechResampler() = default;

SpeechSound SpeechResampler::convert(const AudioBuffer& buffer) {
    using namespace std::chrono;
    SpeechSound sound;
    sound.time = duration<double>(buffer.time.time_since_epoch()).count();
    if (buffer.sampleRate <= 0 || buffer.channels <= 0)
        return sound;
    int frames =
        static_cast<int>(std::min<std::size_t>(buffer.frames(), std::numeric_limits<int>::max() / 2));
    if (frames == 0)
        return sound;
    SpeechConverter& converter = impl_->converter;
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, buffer.channels);
    // A new rate or channel count (another device) starts a new conversion; the old one's last
    // millisecond, still held back, is let go rather than joined to sound that does not follow it.
    bool usable = converter.matches(layout, AV_SAMPLE_FMT_FLT, buffer.sampleRate) ||
                  converter.configure(layout, AV_SAMPLE_FMT_FLT, buffer.sampleRate) >= 0;
    av_channel_layout_uninit(&layout);
    if (!usable)
        return sound;
    // The capture clock in converter units, exactly: nanoseconds since the clock's epoch scaled by an
    // integer ratio.
    std::int64_t nanoseconds =
        duration_cast<std::chrono::nanoseconds>(buffer.time.time_since_epoch()).count();
    std::int64_t pts = av_rescale(nanoseconds, converter.unitsPerSecond(), 1'000'000'000);
    const auto* data = reinterpret_cast<const std::uint8_t*>(buffer.samples.data());
    int error = 0;
    std::int64_t first = converter.convert(&data, frames, pts, sound.samples, error);
    sound.time = static_cast<double>(first) / static_cast<double>(converter.unitsPerSecond());
    return sound;
}

} // namespace pokescope
