#include "platform/linux/FFmpegHandles.hpp"

#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace pokescope::ffmpeg {

void FrameFree::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}
void PacketFree::operator()(AVPacket* packet) const {
    av_packet_free(&packet);
}
void CodecFree::operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
}
void FormatFree::operator()(AVFormatContext* context) const {
    avformat_free_context(context);
}
void IOFree::operator()(AVIOContext* context) const {
    if (context)
        av_freep(&context->buffer);
    avio_context_free(&context);
}
void SwsFree::operator()(SwsContext* context) const {
    sws_freeContext(context);
}
void SwrFree::operator()(SwrContext* context) const {
    swr_free(&context);
}
void FifoFree::operator()(AVAudioFifo* fifo) const {
    av_audio_fifo_free(fifo);
}
void FormatClose::operator()(AVFormatContext* context) const {
    avformat_close_input(&context);
}
void DictionaryFree::operator()(AVDictionary* dictionary) const {
    av_dict_free(&dictionary);
}

const AVCodec* findX264() {
    static std::once_flag quieted;
    std::call_once(quieted, [] {
        if (av_log_get_level() > AV_LOG_WARNING)
            av_log_set_level(AV_LOG_WARNING);
    });
    return avcodec_find_encoder_by_name("libx264");
}

} // namespace pokescope::ffmpeg
