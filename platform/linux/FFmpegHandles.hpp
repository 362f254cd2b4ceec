// Owning handles for FFmpeg's objects: each deleter frees its object the way FFmpeg asks.
#pragma once

#include <memory>

struct AVAudioFifo;
struct AVCodec;
struct AVCodecContext;
struct AVDictionary;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwrContext;
struct SwsContext;

namespace pokescope::ffmpeg {

struct FrameFree {
    void operator()(AVFrame* frame) const;
};
struct PacketFree {
    void operator()(AVPacket* packet) const;
};
struct CodecFree {
    void operator()(AVCodecContext* context) const;
};
// An output's context (never opened as an input).
struct FormatFree {
    void operator()(AVFormatContext* context) const;
};
// An input opened with avformat_open_input.
struct FormatClose {
    void operator()(AVFormatContext* context) const;
};
struct IOFree {
    void operator()(AVIOContext* context) const;
};
struct SwsFree {
    void operator()(SwsContext* context) const;
};
struct SwrFree {
    void operator()(SwrContext* context) const;
};
struct FifoFree {
    void operator()(AVAudioFifo* fifo) const;
};
struct DictionaryFree {
    void operator()(AVDictionary* dictionary) const;
};
// libavcodec's libx264 encoder, or none when it is missing. From the first call on, FFmpeg's informational
// lines (libx264 prints its settings each time an encoder opens) stay off the console; warnings and errors
// still reach it.
const AVCodec* findX264();

using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;

} // namespace pokescope::ffmpeg
