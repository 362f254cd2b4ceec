// Conversion of captured pictures to BGRA (the format every frame reaches the system in) and MJPEG
// decoding, on the converter the capture backend uses.
#include "platform/linux/FFmpegVideo.hpp"

#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

namespace {

using namespace pokescope;

constexpr int phoneWidth = 1179;
constexpr int phoneHeight = 2556;

struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct CodecFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;

// A picture with a diagonal gradient in every plane, so that no conversion sees flat input.
FramePtr patternFrame(AVPixelFormat format, int width, int height) {
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        throw std::runtime_error("no frame buffer");
    const AVPixFmtDescriptor* layout = av_pix_fmt_desc_get(format);
    for (int plane = 0; plane < AV_NUM_DATA_POINTERS && frame->data[plane]; ++plane) {
        int rows = plane == 0 ? height : AV_CEIL_RSHIFT(height, layout->log2_chroma_h);
        for (int y = 0; y < rows; ++y)
            for (int x = 0; x < frame->linesize[plane]; ++x)
                frame->data[plane][y * frame->linesize[plane] + x] =
                    static_cast<uint8_t>(x + y * 3 + plane * 50);
    }
    return frame;
}

void convert(benchmark::State& state, AVPixelFormat format) {
    FramePtr frame = patternFrame(format, phoneWidth, phoneHeight);
    ffmpeg::FrameConverter converter;
    for (auto _ : state) {
        ImageRef image = converter.toBGRA(*frame);
        if (!image)
            state.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(image);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_ConvertYUYV422(benchmark::State& state) {
    convert(state, AV_PIX_FMT_YUYV422);
}
void BM_ConvertNV12(benchmark::State& state) {
    convert(state, AV_PIX_FMT_NV12);
}
void BM_ConvertYUV420P(benchmark::State& state) {
    convert(state, AV_PIX_FMT_YUV420P);
}

// One 1080p picture compressed as capture sticks send it: MJPEG with 4:2:2 chroma.
PacketPtr mjpegPacket(int width, int height) {
    const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    CodecPtr context(avcodec_alloc_context3(encoder));
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUVJ422P;
    context->time_base = {1, 30};
    context->flags |= AV_CODEC_FLAG_QSCALE;
    context->global_quality = FF_QP2LAMBDA * 3;
    if (avcodec_open2(context.get(), encoder, nullptr) < 0)
        throw std::runtime_error("no MJPEG encoder");
    FramePtr frame = patternFrame(AV_PIX_FMT_YUVJ422P, width, height);
    frame->quality = context->global_quality;
    PacketPtr packet(av_packet_alloc());
    if (avcodec_send_frame(context.get(), frame.get()) < 0 ||
        avcodec_receive_packet(context.get(), packet.get()) < 0)
        throw std::runtime_error("MJPEG encoding failed");
    return packet;
}

void BM_DecodeMJPEG1080pToBGRA(benchmark::State& state) {
    PacketPtr packet = mjpegPacket(1920, 1080);
    const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    CodecPtr context(avcodec_alloc_context3(decoder));
    if (avcodec_open2(context.get(), decoder, nullptr) < 0) {
        state.SkipWithError("no MJPEG decoder");
        return;
    }
    FramePtr frame(av_frame_alloc());
    ffmpeg::FrameConverter converter;
    for (auto _ : state) {
        if (avcodec_send_packet(context.get(), packet.get()) < 0 ||
            avcodec_receive_frame(context.get(), frame.get()) < 0) {
            state.SkipWithError("decoding failed");
            break;
        }
        ImageRef image = converter.toBGRA(*frame);
        benchmark::DoNotOptimize(image);
        av_frame_unref(frame.get());
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["jpeg_bytes"] = static_cast<double>(packet->size);
}

BENCHMARK(BM_ConvertYUYV422)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertNV12)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConvertYUV420P)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeMJPEG1080pToBGRA)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
