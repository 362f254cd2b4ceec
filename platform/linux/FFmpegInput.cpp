#include "platform/linux/FFmpegInput.hpp"

#include "platform/Dispatch.hpp"
#include "platform/linux/FFmpegHandles.hpp"

#include <atomic>
#include <filesystem>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

namespace pokescope::ffmpeg {

namespace {

// A device with nothing to deliver yet answers EAGAIN (the input is opened non-blocking so that `stop`
// is never stuck behind a source without signal); this is how long to wait before asking again.
constexpr auto retryDelay = std::chrono::milliseconds(3);

bool deviceGone(int code, const std::string& url) {
    if (code == AVERROR(ENODEV) || code == AVERROR(EIO) || code == AVERROR(ENXIO))
        return true;
    std::error_code ec;
    return url.rfind("/dev/", 0) == 0 && !std::filesystem::exists(url, ec);
}

} // namespace

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct StreamReader::State {
    std::unique_ptr<AVFormatContext, FormatClose> format;
    std::unique_ptr<AVCodecContext, CodecFree> codec;
    int stream = -1;
    std::string url;
    std::atomic<bool> stopping{false};
    // Held by the reading thread for its whole life, so that a new thread waits for a detached old one.
    std::mutex running;

    static int interrupted(void* opaque) { return static_cast<State*>(opaque)->stopping.load() ? 1 : 0; }

    // Passes every frame the decoder has ready to `sink`; 0, or the decoder's error.
    int drain(AVFrame* frame, const FrameSink& sink) {
        for (;;) {
            int rc = avcodec_receive_frame(codec.get(), frame);
            if (rc < 0)
                return rc == AVERROR(EAGAIN) ? 0 : rc;
            if (!stopping)
                sink(*frame);
            av_frame_unref(frame);
        }
    }

    void run(const FrameSink& sink, const ErrorHandler& onError) {
        std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
        std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
        while (!stopping) {
            int rc = av_read_frame(format.get(), packet.get());
            if (rc == AVERROR(EAGAIN)) {
                std::this_thread::sleep_for(retryDelay);
                continue;
            }
            if (rc < 0) {
                if (stopping)
                    return;
                if (rc == AVERROR_EOF) {
                    avcodec_send_packet(codec.get(), nullptr);
                    drain(frame.get(), sink);
                }
                if (!stopping)
                    onError(errorText(rc), deviceGone(rc, url));
                return;
            }
            if (packet->stream_index == stream) {
                // A damaged packet (a torn MJPEG frame) costs that one picture, not the session.
                if (avcodec_send_packet(codec.get(), packet.get()) == 0) {
                    int drained = drain(frame.get(), sink);
                    if (drained < 0 && drained != AVERROR_INVALIDDATA && !stopping) {
                        onError(errorText(drained), false);
                        return;
                    }
                }
            }
            av_packet_unref(packet.get());
        }
    }
};

StreamReader::StreamReader(std::shared_ptr<State> state) : state_(std::move(state)) {}

StreamReader::~StreamReader() {
    stop();
}

std::unique_ptr<StreamReader> StreamReader::open(const InputSpec& spec, MediaKind kind, std::string& error) {
    static std::once_flag registered;
    std::call_once(registered, [] { avdevice_register_all(); });

    const AVInputFormat* input = nullptr;
    if (!spec.format.empty() && !(input = av_find_input_format(spec.format.c_str()))) {
        error = "Unknown input format " + spec.format;
        return nullptr;
    }
    auto state = std::make_shared<State>();
    state->url = spec.url;
    AVFormatContext* context = avformat_alloc_context();
    if (!context) {
        error = errorText(AVERROR(ENOMEM));
        return nullptr;
    }
    context->interrupt_callback = {&State::interrupted, state.get()};
    context->flags |= AVFMT_FLAG_NONBLOCK;
    AVDictionary* options = nullptr;
    for (const auto& [name, value] : spec.options)
        av_dict_set(&options, name.c_str(), value.c_str(), 0);
    // On failure avformat_open_input frees the context itself; either way it leaves the options it did
    // not use in the dictionary.
    int rc = avformat_open_input(&context, spec.url.c_str(), input, &options);
    std::unique_ptr<AVDictionary, DictionaryFree> unused(options);
    if (rc < 0) {
        error = "Could not open " + spec.url + ": " + errorText(rc);
        return nullptr;
    }
    state->format.reset(context);

    AVMediaType type = kind == MediaKind::video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    // Devices describe their stream in the header; probing them would wait for packets that a source
    // without signal never sends, so only inputs that leave the picture size or sample rate open are probed.
    bool described = false;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVCodecParameters* parameters = context->streams[i]->codecpar;
        if (parameters->codec_type == type &&
            (type == AVMEDIA_TYPE_VIDEO ? parameters->width > 0 : parameters->sample_rate > 0))
            described = true;
    }
    if (!described && (rc = avformat_find_stream_info(context, nullptr)) < 0) {
        error = "Could not read " + spec.url + ": " + errorText(rc);
        return nullptr;
    }
    const AVCodec* decoder = nullptr;
    rc = av_find_best_stream(context, type, -1, -1, &decoder, 0);
    if (rc < 0 || !decoder) {
        error =
            std::string("No ") + (kind == MediaKind::video ? "video" : "audio") + " stream in " + spec.url;
        return nullptr;
    }
    state->stream = rc;
    state->codec.reset(avcodec_alloc_context3(decoder));
    if (!state->codec ||
        (rc = avcodec_parameters_to_context(state->codec.get(), context->streams[state->stream]->codecpar)) <
            0 ||
        (rc = avcodec_open2(state->codec.get(), decoder, nullptr)) < 0) {
        error = "Could not decode " + spec.url + ": " + errorText(state->codec ? rc : AVERROR(ENOMEM));
        return nullptr;
    }
    return std::unique_ptr<StreamReader>(new StreamReader(std::move(state)));
}

void StreamReader::start(const std::string& threadLabel, FrameSink sink, ErrorHandler onError) {
    stop();
    state_->stopping = false;
    thread_ =
        std::thread([state = state_, threadLabel, sink = std::move(sink), onError = std::move(onError)] {
            std::lock_guard running(state->running);
            setThreadName(threadLabel);
            state->run(sink, onError);
        });
}

void StreamReader::stop() {
    state_->stopping = true;
    if (!thread_.joinable())
        return;
    // Called from a handler: the thread ends once the handler returns and owns what it still uses.
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

int StreamReader::width() const {
    return state_->codec->width;
}
int StreamReader::height() const {
    return state_->codec->height;
}

} // namespace pokescope::ffmpeg
