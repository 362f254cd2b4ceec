#include "bench/recorder/EncoderRace.hpp"

#include "bench/recorder/Processes.hpp"
#include "media/ActionOverlay.hpp"
#include "media/ScreenRecorder.hpp"
#include "platform/MovieWriter.hpp"

#include <mutex>
#include <thread>

namespace recorderbench {

using namespace pokescope;
using namespace std::chrono_literals;

namespace {

constexpr int kFrameRate = 30;
constexpr auto kFrameGap = 33ms;
constexpr auto kChangeWait = 100ms; // at most this long for the screen to show something new

// The recorder's output for `frame`: fitted whole into an output of the recorder's size, marks drawn.
Image compose(const Image& frame, int width, int height, const std::vector<TimedMark>& marks) {
    Image output(width, height, Image::Format::bgra);
    double scale = 1;
    PointD offset{0, 0};
    ScreenRecorder::fit(frame, output, scale, offset);
    if (!marks.empty())
        ActionOverlay::draw(output, marks, SteadyClock::now(), scale, offset);
    return output;
}

// The latest frame once it differs from the one numbered `last` (or after a short wait, as it is).
ScreenCapture::Snapshot nextSnapshot(const ScreenCapture& capture, long last) {
    const auto end = SteadyClock::now() + kChangeWait;
    auto snapshot = capture.snapshot();
    while (snapshot.frameCount == last && SteadyClock::now() < end) {
        std::this_thread::sleep_for(2ms);
        snapshot = capture.snapshot();
    }
    return snapshot;
}

bool writeFrame(int fd, const Image& frame) {
    const std::size_t rowBytes = static_cast<std::size_t>(frame.width()) * 4;
    if (static_cast<std::size_t>(frame.stride()) == rowBytes)
        return writeAll(fd, frame.data(), frame.byteCount());
    for (int y = 0; y < frame.height(); ++y)
        if (!writeAll(fd, frame.row(y), rowBytes))
            return false;
    return true;
}

std::int64_t sizeOf(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    return ec ? 0 : static_cast<std::int64_t>(size);
}

// Appends `frame` at `time` once the writer takes frames; false when it failed meanwhile.
bool appendWhenReady(MovieWriter& writer, const Image& frame, std::int64_t time) {
    while (!writer.readyForVideo()) {
        if (!writer.failure().empty())
            return false;
        std::this_thread::sleep_for(500us);
    }
    return writer.appendVideo(frame, time);
}

EncoderFigures named(const char* name, long frames) {
    EncoderFigures figures;
    figures.name = name;
    figures.frames = frames;
    return figures;
}

} // namespace

std::vector<Image> composedFrames(BusyPhone& phone, int count) {
    std::mutex lock;
    std::vector<TimedMark> marks;
    phone.setMarkSink([&](const ActionMark& mark) {
        std::lock_guard guard(lock);
        marks.push_back({mark, SteadyClock::now()});
    });
    std::vector<Image> frames;
    long last = -1;
    for (int i = 0; i < count; ++i) {
        std::this_thread::sleep_for(kFrameGap);
        const auto snapshot = nextSnapshot(phone.capture(), last);
        if (!snapshot.latest)
            continue;
        last = snapshot.frameCount;
        std::vector<TimedMark> live;
        {
            std::lock_guard guard(lock);
            std::erase_if(marks, [](const TimedMark& m) { return ActionOverlay::expired(m, SteadyClock::now()); });
            live = marks;
        }
        const auto [width, height] = ScreenRecorder::outputSize(snapshot.latest->width(), snapshot.latest->height(),
                                                                AppSettings::Quality::full);
        frames.push_back(compose(*snapshot.latest, width, height, live));
    }
    phone.setMarkSink({});
    return frames;
}

EncoderFigures encodeWithCommandLine(const std::vector<Image>& frames, long count, int bitRate,
                                     const std::filesystem::path& file) {
    EncoderFigures figures = named("ffmpeg command line", count);
    const Image& first = frames.front();
    const std::vector<std::string> argv{
        "ffmpeg", "-hide_banner", "-loglevel", "error", "-y",
        "-f", "rawvideo", "-pix_fmt", "bgra",
        "-s", std::to_string(first.width()) + "x" + std::to_string(first.height()),
        "-r", std::to_string(kFrameRate), "-i", "-",
        "-c:v", "libx264", "-preset", "veryfast", "-profile:v", "high", "-bf", "0",
        "-g", std::to_string(kFrameRate), "-b:v", std::to_string(bitRate), "-pix_fmt", "yuv420p",
        "-f", "mp4", file.string()};
    bool fed = true;
    const Finished finished = run(argv, [&](int fd) {
        for (long i = 0; i < count && fed; ++i)
            fed = writeFrame(fd, frames[static_cast<std::size_t>(i) % frames.size()]);
    });
    figures.wallSeconds = finished.wallSeconds;
    figures.cpuSeconds = finished.cpuSeconds;
    figures.bytes = sizeOf(file);
    if (!finished.succeeded() || !fed)
        figures.error = finished.err.empty() ? "ffmpeg did not take every frame" : finished.err;
    return figures;
}

EncoderFigures encodeWithWriter(const std::vector<Image>& frames, long count, int bitRate,
                                const std::filesystem::path& file) {
    EncoderFigures figures = named("our movie writer", count);
    MovieSettings settings;
    settings.file = file;
    settings.width = frames.front().width();
    settings.height = frames.front().height();
    settings.videoBitRate = bitRate;
    settings.frameRate = kFrameRate;
    CpuMeter meter;
    auto writer = MovieWriter::create(settings, figures.error);
    if (!writer)
        return figures;
    const std::int64_t frameTime = MovieWriter::kTimeScale / kFrameRate;
    for (long i = 0; i < count; ++i) {
        if (!appendWhenReady(*writer, frames[static_cast<std::size_t>(i) % frames.size()], i * frameTime)) {
            figures.error = "the writer refused frame " + std::to_string(i) + ": " + writer->failure();
            break;
        }
    }
    std::string error;
    if (!writer->finish(error) && figures.error.empty())
        figures.error = error;
    figures.wallSeconds = meter.wallSeconds();
    figures.cpuSeconds = meter.cpuSeconds();
    figures.bytes = sizeOf(file);
    return figures;
}

} // namespace recorderbench
