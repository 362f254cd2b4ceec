// The movie's sound: AAC from whatever the capture delivers, resampled, with silence for gaps.
#include "platform/linux/FFmpegMovieWriterParts.hpp"

#include "platform/linux/FFmpegInput.hpp"

#include <algorithm>
#include <cmath>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace pokescope::ffmpeg {

namespace {

// Start times within this much of where the sound already reaches count as seamless: capture clocks
// jitter by a few milliseconds, and correcting every buffer would click.
constexpr std::int64_t seamTolerance = AudioEncoder::sampleRate / 50; // 20 ms

constexpr int maximumSourceChannels = 8;

} // namespace

AudioEncoder::AudioEncoder(CodecPtr context)
    : context_(std::move(context)), frame_(av_frame_alloc()), packet_(av_packet_alloc()) {}

bool AudioEncoder::acceptable(const AudioBuffer& sound) {
    return sound.sampleRate >= 1000 && sound.sampleRate <= 768000 && sound.channels >= 1 &&
           sound.channels <= maximumSourceChannels && !sound.samples.empty() &&
           sound.samples.size() % static_cast<std::size_t>(sound.channels) == 0 &&
           sound.frames() <= static_cast<std::size_t>(sound.sampleRate) * 60;
}

std::unique_ptr<AudioEncoder> AudioEncoder::open(std::string& error) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) {
        error = "the AAC encoder is not available";
        return nullptr;
    }
    CodecPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        error = "out of memory";
        return nullptr;
    }
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = sampleRate;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    av_channel_layout_copy(&context->ch_layout, &stereo);
    context->bit_rate = bitRate;
    context->time_base = AVRational{1, sampleRate};
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int rc = avcodec_open2(context.get(), codec, nullptr);
    if (rc < 0) {
        error = "can't open the AAC encoder: " + errorText(rc);
        return nullptr;
    }
    std::unique_ptr<AudioEncoder> encoder(new AudioEncoder(std::move(context)));
    AVFrame& frame = *encoder->frame_;
    frame.format = AV_SAMPLE_FMT_FLTP;
    frame.sample_rate = sampleRate;
    frame.nb_samples = encoder->context_->frame_size;
    av_channel_layout_copy(&frame.ch_layout, &stereo);
    encoder->waiting_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, 4 * frame.nb_samples));
    if (!encoder->packet_ || av_frame_get_buffer(&frame, 0) < 0 || !encoder->waiting_) {
        error = "out of memory";
        return nullptr;
    }
    return encoder;
}

bool AudioEncoder::configureResampler(const AudioBuffer& sound) {
    Source source{sound.sampleRate, sound.channels};
    if (resampler_ && source == source_)
        return true;
    resampler_.reset();
    source_ = source;
    AVChannelLayout input{};
    av_channel_layout_default(&input, sound.channels);
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    SwrContext* raw = nullptr;
    int rc = swr_alloc_set_opts2(&raw, &stereo, AV_SAMPLE_FMT_FLTP, sampleRate, &input, AV_SAMPLE_FMT_FLT,
                                 sound.sampleRate, 0, nullptr);
    av_channel_layout_uninit(&input);
    std::unique_ptr<SwrContext, SwrFree> context(raw);
    if (rc < 0)
        return false;
    if (sound.channels == 1) {
        // libswresample would spread a centre channel at -3 dB; a mono source is meant at full level.
        const double bothAtFullLevel[2] = {1.0, 1.0};
        swr_set_matrix(context.get(), bothAtFullLevel, 1);
    }
    if (swr_init(context.get()) < 0)
        return false;
    resampler_ = std::move(context);
    return true;
}

bool AudioEncoder::enqueue(float* const* planes, std::int64_t offset, int count) {
    if (count <= 0)
        return true;
    std::array<void*, channels> data{};
    for (int channel = 0; channel < channels; ++channel)
        data[static_cast<std::size_t>(channel)] = planes[channel] + offset;
    return av_audio_fifo_write(waiting_.get(), data.data(), count) == count;
}

bool AudioEncoder::append(const AudioBuffer& sound, double seconds, const PacketSink& sink,
                          std::string& error) {
    // Sound that cannot be converted costs that buffer and nothing else.
    if (!acceptable(sound) || !std::isfinite(seconds) || !configureResampler(sound))
        return true;
    const int frames = static_cast<int>(sound.frames());
    const int capacity = swr_get_out_samples(resampler_.get(), frames);
    if (capacity <= 0)
        return true;
    for (auto& plane : planes_)
        if (plane.size() < static_cast<std::size_t>(capacity))
            plane.resize(static_cast<std::size_t>(capacity));
    std::array<float*, channels> out{planes_[0].data(), planes_[1].data()};
    const auto* in = reinterpret_cast<const std::uint8_t*>(sound.samples.data());
    int produced =
        swr_convert(resampler_.get(), reinterpret_cast<std::uint8_t**>(out.data()), capacity, &in, frames);
    if (produced <= 0)
        return true;

    const std::int64_t start = std::llround(seconds * sampleRate);
    const std::int64_t reached = encodedUpTo_ + av_audio_fifo_size(waiting_.get());
    const std::int64_t offset = start - reached;
    int skip = 0;
    if (offset > seamTolerance) {
        // A gap: silence until the sound starts, so that what follows stays in step with the video.
        if (!addSilence(offset, sink, error))
            return false;
    } else if (offset < -seamTolerance) {
        // An overlap (or sound from before the start): what was already written stays.
        skip = static_cast<int>(std::min<std::int64_t>(produced, -offset));
    }
    if (!enqueue(out.data(), skip, produced - skip)) {
        error = "out of memory";
        return false;
    }
    return encodeWhole(sink, error);
}

bool AudioEncoder::addSilence(std::int64_t count, const PacketSink& sink, std::string& error) {
    const int step = context_->frame_size;
    std::vector<float> zeros(static_cast<std::size_t>(step), 0.0f);
    std::array<float*, channels> planes{zeros.data(), zeros.data()};
    while (count > 0) {
        int now = static_cast<int>(std::min<std::int64_t>(count, step));
        if (!enqueue(planes.data(), 0, now)) {
            error = "out of memory";
            return false;
        }
        count -= now;
        if (!encodeWhole(sink, error))
            return false;
    }
    return true;
}

bool AudioEncoder::encodeWhole(const PacketSink& sink, std::string& error) {
    while (av_audio_fifo_size(waiting_.get()) >= context_->frame_size)
        if (!encodeFrame(context_->frame_size, sink, error))
            return false;
    return true;
}

bool AudioEncoder::encodeFrame(int count, const PacketSink& sink, std::string& error) {
    if (av_frame_make_writable(frame_.get()) < 0) {
        error = "out of memory";
        return false;
    }
    const int whole = context_->frame_size;
    const bool shortAllowed = context_->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
    int read = av_audio_fifo_read(waiting_.get(), reinterpret_cast<void**>(frame_->data), count);
    if (read != count) {
        error = "out of memory";
        return false;
    }
    if (count < whole && !shortAllowed) {
        for (int channel = 0; channel < channels; ++channel)
            std::fill_n(reinterpret_cast<float*>(frame_->data[channel]) + count, whole - count, 0.0f);
        count = whole;
    }
    frame_->nb_samples = count;
    frame_->pts = encodedUpTo_;
    encodedUpTo_ += count;
    int rc = avcodec_send_frame(context_.get(), frame_.get());
    frame_->nb_samples = whole;
    if (rc < 0) {
        error = "the AAC encoder failed: " + errorText(rc);
        return false;
    }
    return drain(sink, error);
}

bool AudioEncoder::flush(const PacketSink& sink, std::string& error) {
    if (resampler_) {
        const int capacity = swr_get_out_samples(resampler_.get(), 0);
        if (capacity > 0) {
            for (auto& plane : planes_)
                if (plane.size() < static_cast<std::size_t>(capacity))
                    plane.resize(static_cast<std::size_t>(capacity));
            std::array<float*, channels> out{planes_[0].data(), planes_[1].data()};
            int produced = swr_convert(resampler_.get(), reinterpret_cast<std::uint8_t**>(out.data()),
                                       capacity, nullptr, 0);
            if (produced > 0 && !enqueue(out.data(), 0, produced)) {
                error = "out of memory";
                return false;
            }
        }
    }
    if (!encodeWhole(sink, error))
        return false;
    if (int rest = av_audio_fifo_size(waiting_.get()); rest > 0 && !encodeFrame(rest, sink, error))
        return false;
    int rc = avcodec_send_frame(context_.get(), nullptr);
    if (rc < 0 && rc != AVERROR_EOF) {
        error = "the AAC encoder failed: " + errorText(rc);
        return false;
    }
    return drain(sink, error);
}

bool AudioEncoder::drain(const PacketSink& sink, std::string& error) {
    while (true) {
        int rc = avcodec_receive_packet(context_.get(), packet_.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0) {
            error = "the AAC encoder failed: " + errorText(rc);
            return false;
        }
        // The encoder's priming frame lies before time zero. A fragmented file has no edit list to hide
        // it, and keeping it would push either the sound late or the video's times off: it is left out.
        bool written = packet_->pts < 0 || sink(*packet_, error);
        av_packet_unref(packet_.get());
        if (!written)
            return false;
    }
}

} // namespace pokescope::ffmpeg
