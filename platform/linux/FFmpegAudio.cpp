#include "platform/linux/FFmpegAudio.hpp"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace pokescope::ffmpeg {

namespace {

struct LayoutReset {
    void operator()(AVChannelLayout* layout) const { av_channel_layout_uninit(layout); }
};

} // namespace

Resampler::~Resampler() {
    swr_free(&context_);
}

bool Resampler::configure(const AVFrame& frame) {
    Key key{frame.sample_rate, frame.format, frame.ch_layout.nb_channels,
            frame.ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? frame.ch_layout.u.mask : 0};
    if (context_ && key == key_)
        return true;
    swr_free(&context_);
    key_ = key;
    if (key.rate <= 0 || key.channels <= 0)
        return false;
    AVChannelLayout input{};
    std::unique_ptr<AVChannelLayout, LayoutReset> inputOwner(&input);
    if (frame.ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&input, key.channels);
    else if (av_channel_layout_copy(&input, &frame.ch_layout) < 0)
        return false;
    AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    if (swr_alloc_set_opts2(&context_, &stereo, AV_SAMPLE_FMT_FLT, outputRate, &input,
                            static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr) < 0)
        return false;
    if (key.channels == 1) {
        // libswresample would spread a centre channel at -3 dB; a mono source is meant at full level.
        const double bothAtFullLevel[2] = {1.0, 1.0};
        swr_set_matrix(context_, bothAtFullLevel, 1);
    }
    if (swr_init(context_) < 0) {
        swr_free(&context_);
        return false;
    }
    return true;
}

AudioBufferRef Resampler::convert(const AVFrame& frame, TimePoint arrival) {
    if (!configure(frame))
        return nullptr;
    int capacity = swr_get_out_samples(context_, frame.nb_samples);
    if (capacity <= 0)
        return nullptr;
    auto buffer = std::make_shared<AudioBuffer>();
    buffer->sampleRate = outputRate;
    buffer->channels = outputChannels;
    buffer->samples.resize(static_cast<std::size_t>(capacity) * outputChannels);
    auto* out = reinterpret_cast<std::uint8_t*>(buffer->samples.data());
    int produced = swr_convert(context_, &out, capacity,
                               const_cast<const std::uint8_t**>(frame.extended_data), frame.nb_samples);
    if (produced <= 0)
        return nullptr;
    buffer->samples.resize(static_cast<std::size_t>(produced) * outputChannels);
    buffer->time = arrival - std::chrono::duration_cast<Duration>(
                                 std::chrono::duration<double>(static_cast<double>(produced) / outputRate));
    return buffer;
}

std::unique_ptr<AudioReader> AudioReader::open(const InputSpec& spec, std::string& error) {
    auto reader = StreamReader::open(spec, MediaKind::audio, error);
    if (!reader)
        return nullptr;
    return std::unique_ptr<AudioReader>(new AudioReader(std::move(reader)));
}

void AudioReader::start(AudioHandler onAudio, ErrorHandler onError) {
    auto resampler = std::make_shared<Resampler>();
    reader_->start(
        "pokescope.audio",
        [resampler, onAudio = std::move(onAudio)](const AVFrame& frame) {
            if (AudioBufferRef buffer = resampler->convert(frame, captureClockNow()))
                onAudio(buffer);
        },
        std::move(onError));
}

void AudioReader::stop() {
    reader_->stop();
}

} // namespace pokescope::ffmpeg
