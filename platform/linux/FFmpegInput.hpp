// Reading one stream of any libavformat input (a V4L2 node, an ALSA card, a file, a lavfi graph) on a
// thread of its own: demux, decode, and hand each decoded frame to a sink.
//
// Thread contract: `start` and `stop` from any thread but the reader's; the sink and the error handler
// run on the reader's thread. `stop` may also be called from inside them: the thread then ends as soon as
// the handler returns.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct AVFrame;

namespace pokescope::ffmpeg {

struct InputSpec {
    std::string format; // demuxer or device name ("v4l2", "alsa", "avi"); empty lets FFmpeg guess
    std::string url;
    std::vector<std::pair<std::string, std::string>> options;
};

// FFmpeg's text for an error code ("No such device", "End of file").
std::string errorText(int code);

enum class MediaKind { video, audio };

class StreamReader {
public:
    using FrameSink = std::function<void(const AVFrame& frame)>;
    // The text is FFmpeg's; `deviceGone` is set when the device went away rather than failed.
    using ErrorHandler = std::function<void(const std::string& description, bool deviceGone)>;

    // Opens the input and the decoder of its best stream of `kind`; none with `error` set on failure
    // ("Could not open /dev/video9: No such file or directory").
    static std::unique_ptr<StreamReader> open(const InputSpec& spec, MediaKind kind, std::string& error);
    ~StreamReader();
    StreamReader(const StreamReader&) = delete;
    StreamReader& operator=(const StreamReader&) = delete;

    // Starts the reading thread. A read error, including the end of a file ("End of file"), is reported
    // once and ends the thread; frames still inside the decoder are delivered before the end is reported.
    // The thread is named after `threadLabel`.
    void start(const std::string& threadLabel, FrameSink sink, ErrorHandler onError);
    // Ends the thread; once it returns (from any other thread) neither handler runs again.
    void stop();

    int width() const;
    int height() const;

private:
    struct State;
    explicit StreamReader(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
    std::thread thread_;
};

} // namespace pokescope::ffmpeg
