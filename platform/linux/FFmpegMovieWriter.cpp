// The movie writer on FFmpeg: libx264 and the native AAC encoder into fragmented MPEG-4, on a thread of
// its own. The caller converts each frame to YUV before handing it over, so the queue holds small
// pictures and the writer's thread does nothing but encode and write.
#include "platform/MovieWriter.hpp"

#include "platform/Dispatch.hpp"
#include "platform/linux/FFmpegMovieWriterParts.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace pokescope {

namespace {

using namespace ffmpeg;
using Clock = std::chrono::steady_clock;

// Pictures waiting for or inside the writer's thread: enough to ride out one slow frame, few enough that
// a caller that runs ahead skips frames instead of falling behind real time.
constexpr int videoDepth = 2;
// Sound buffers are small; this many is several seconds of them.
constexpr std::size_t soundDepth = 256;
// Sound may start at most this far beyond everything written so far; later than that is a wrong time.
constexpr double soundReach = 60.0;
constexpr auto spaceCheckInterval = std::chrono::seconds(2);

// What the writer's thread encodes and writes, created and checked before the thread starts.
struct Pipeline {
    std::unique_ptr<Muxer> muxer;
    std::unique_ptr<VideoEncoder> video;
    std::unique_ptr<AudioEncoder> audio;
    int videoStream = -1;
    int audioStream = -1;
    bool videoStarted = false;

    static std::unique_ptr<Pipeline> open(const MovieSettings& settings, std::string& error);
    bool writeVideo(AVFrame& picture, std::string& error);
    bool writeSound(const AudioBuffer& sound, double seconds, std::string& error);
    // Flushes the encoders (when they can still be trusted) and completes the file.
    bool complete(bool flushEncoders, std::string& error);

private:
    PacketSink sinkFor(int stream, const AVCodecContext& encoder) {
        return [this, stream, &encoder](AVPacket& packet, std::string& error) {
            return muxer->write(packet, stream, encoder, error);
        };
    }
};

std::unique_ptr<Pipeline> Pipeline::open(const MovieSettings& settings, std::string& error) {
    auto file = MovieFile::open(settings.file, error);
    if (!file)
        return nullptr;
    const auto folder =
        settings.file.has_parent_path() ? settings.file.parent_path() : std::filesystem::path(".");
    auto space = freeBytes(folder);
    if (!space) {
        error = "can't tell how much space is free in " + folder.string();
        return nullptr;
    }
    if (*space < settings.minimumFreeBytes) {
        error = "not enough free space on the disk (" + megabytes(*space) + " left, " +
                megabytes(settings.minimumFreeBytes) + " needed)";
        return nullptr;
    }
    auto pipeline = std::make_unique<Pipeline>();
    pipeline->video = VideoEncoder::open(settings, error);
    if (!pipeline->video)
        return nullptr;
    if (settings.audio && !(pipeline->audio = AudioEncoder::open(error)))
        return nullptr;
    pipeline->muxer = Muxer::open(std::move(file), error);
    if (!pipeline->muxer)
        return nullptr;
    pipeline->videoStream = pipeline->muxer->addStream(pipeline->video->context(), error);
    if (pipeline->videoStream < 0)
        return nullptr;
    if (pipeline->audio) {
        pipeline->audioStream = pipeline->muxer->addStream(pipeline->audio->context(), error);
        if (pipeline->audioStream < 0)
            return nullptr;
    }
    if (!pipeline->muxer->start(error))
        return nullptr;
    return pipeline;
}

bool Pipeline::writeVideo(AVFrame& picture, std::string& error) {
    auto sink = sinkFor(videoStream, video->context());
    if (!videoStarted) {
        videoStarted = true;
        // The movie starts at zero, as its sound does, and the header written up front says so: a first
        // frame that comes later is shown from zero as well, then again at its own time.
        if (const std::int64_t time = picture.pts; time > 0) {
            picture.pts = 0;
            bool written = video->encode(picture, sink, error);
            picture.pts = time;
            if (!written)
                return false;
        }
    }
    return video->encode(picture, sink, error);
}

bool Pipeline::writeSound(const AudioBuffer& sound, double seconds, std::string& error) {
    return audio->append(sound, seconds, sinkFor(audioStream, audio->context()), error);
}

bool Pipeline::complete(bool flushEncoders, std::string& error) {
    if (!muxer->writeError().empty()) {
        // The file takes nothing more; it plays up to its last complete fragment.
        error = muxer->writeError();
        muxer->abandon();
        return false;
    }
    bool flushed = true;
    if (flushEncoders) {
        flushed = video->flush(sinkFor(videoStream, video->context()), error);
        if (flushed && audio)
            flushed = audio->flush(sinkFor(audioStream, audio->context()), error);
        if (!flushed && !muxer->writeError().empty()) {
            muxer->abandon();
            return false;
        }
    }
    // An encoder that failed still leaves what it wrote before: the trailer completes that much.
    std::string trailerError;
    if (!muxer->finish(trailerError)) {
        if (flushed)
            error = trailerError;
        return false;
    }
    return flushed;
}

class FFmpegMovieWriter final : public MovieWriter {
public:
    FFmpegMovieWriter(const MovieSettings& settings, std::unique_ptr<PictureConverter> converter,
                      std::unique_ptr<Pipeline> pipeline)
        : settings_(settings), folder_(settings.file.has_parent_path() ? settings.file.parent_path() : "."),
          converter_(std::move(converter)), pipeline_(std::move(pipeline)),
          nextSpaceCheck_(Clock::now() + spaceCheckInterval), thread_([this] { run(); }) {}

    ~FFmpegMovieWriter() override {
        std::string ignored;
        finish(ignored);
    }

    bool hasAudio() const override { return settings_.audio; }

    bool readyForVideo() const override {
        std::lock_guard lock(mutex_);
        return accepting() && videoInFlight_ < videoDepth;
    }

    bool appendVideo(const Image& frame, std::int64_t time) override;
    bool appendAudio(const AudioBuffer& sound, double seconds) override;

    std::string failure() const override {
        std::lock_guard lock(mutex_);
        return failure_;
    }

    bool finish(std::string& error) override;

private:
    struct VideoJob {
        FramePtr picture;
    };
    struct SoundJob {
        AudioBuffer sound;
        double seconds;
    };
    using Job = std::variant<VideoJob, SoundJob>;

    bool accepting() const { return !closing_ && failure_.empty(); }
    std::optional<Job> next();
    void run();
    void process(Job& job);
    void fail(const std::string& reason, bool encoderBroken);
    void checkSpace();

    const MovieSettings settings_;
    const std::filesystem::path folder_;

    // The caller's side: one caller at a time, but finish may come from another thread.
    std::mutex callerMutex_;
    std::unique_ptr<PictureConverter> converter_;
    std::optional<std::int64_t> lastVideoTime_;
    double soundEnd_ = 0; // seconds: how far sound and video reach so far

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::vector<FramePtr> spare_; // pictures back from the encoder, for the next frames
    int videoInFlight_ = 0;
    std::size_t soundQueued_ = 0;
    bool closing_ = false;
    std::string failure_;
    std::string completion_; // why the file could not be completed

    // The writer's thread only.
    std::unique_ptr<Pipeline> pipeline_;
    bool encodersUsable_ = true;
    Clock::time_point nextSpaceCheck_;
    std::thread thread_;
};

bool FFmpegMovieWriter::appendVideo(const Image& frame, std::int64_t time) {
    std::lock_guard caller(callerMutex_);
    if (frame.format() != Image::Format::bgra || frame.width() != settings_.width ||
        frame.height() != settings_.height || time < 0 || (lastVideoTime_ && time <= *lastVideoTime_))
        return false;
    FramePtr picture;
    {
        std::lock_guard lock(mutex_);
        if (!accepting() || videoInFlight_ >= videoDepth)
            return false;
        if (!spare_.empty()) {
            picture = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    if (!converter_->convert(frame, picture)) {
        std::lock_guard lock(mutex_);
        if (picture)
            spare_.push_back(std::move(picture));
        return false;
    }
    picture->pts = time;
    {
        std::lock_guard lock(mutex_);
        if (!accepting()) {
            spare_.push_back(std::move(picture));
            return false;
        }
        jobs_.emplace_back(VideoJob{std::move(picture)});
        ++videoInFlight_;
    }
    wake_.notify_one();
    lastVideoTime_ = time;
    soundEnd_ = std::max(soundEnd_, static_cast<double>(time) / kTimeScale);
    return true;
}

bool FFmpegMovieWriter::appendAudio(const AudioBuffer& sound, double seconds) {
    if (!settings_.audio || !AudioEncoder::acceptable(sound) || !std::isfinite(seconds))
        return false;
    std::lock_guard caller(callerMutex_);
    const double duration = static_cast<double>(sound.frames()) / sound.sampleRate;
    // Sound wholly before the start is not written; sound far beyond everything so far has a wrong time
    // (filling the gap with silence would take as long as the gap).
    if (seconds + duration <= 0 || seconds > soundEnd_ + soundReach)
        return false;
    {
        std::lock_guard lock(mutex_);
        if (!accepting() || soundQueued_ >= soundDepth)
            return false;
        jobs_.emplace_back(SoundJob{sound, seconds});
        ++soundQueued_;
    }
    wake_.notify_one();
    soundEnd_ = std::max(soundEnd_, seconds + duration);
    return true;
}

bool FFmpegMovieWriter::finish(std::string& error) {
    {
        std::lock_guard lock(mutex_);
        if (closing_) {
            error = "the movie is already finished";
            return false;
        }
        closing_ = true;
    }
    wake_.notify_all();
    thread_.join();
    std::lock_guard lock(mutex_);
    if (!completion_.empty()) {
        error = completion_;
        return false;
    }
    return true;
}

std::optional<FFmpegMovieWriter::Job> FFmpegMovieWriter::next() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !jobs_.empty() || closing_; });
    if (jobs_.empty())
        return std::nullopt;
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
}

void FFmpegMovieWriter::run() {
    setThreadName("pokescope.movie");
    while (auto job = next()) {
        process(*job);
        std::lock_guard lock(mutex_);
        if (auto* video = std::get_if<VideoJob>(&*job)) {
            --videoInFlight_;
            spare_.push_back(std::move(video->picture));
        } else {
            --soundQueued_;
        }
    }
    std::string error;
    bool completed = pipeline_->complete(encodersUsable_, error);
    pipeline_.reset();
    std::lock_guard lock(mutex_);
    if (!failure_.empty())
        completion_ = failure_; // stopped early: the movie is shorter than asked for
    else if (!completed)
        completion_ = failure_ = error;
}

void FFmpegMovieWriter::process(Job& job) {
    {
        std::lock_guard lock(mutex_);
        if (!failure_.empty())
            return; // what is still queued after a failure is dropped
    }
    std::string error;
    bool written = std::visit(
        [&](auto& item) {
            if constexpr (std::is_same_v<std::decay_t<decltype(item)>, VideoJob>)
                return pipeline_->writeVideo(*item.picture, error);
            else
                return pipeline_->writeSound(item.sound, item.seconds, error);
        },
        job);
    if (!written) {
        fail(error, pipeline_->muxer->writeError().empty());
        return;
    }
    checkSpace();
}

void FFmpegMovieWriter::fail(const std::string& reason, bool encoderBroken) {
    if (encoderBroken)
        encodersUsable_ = false;
    std::lock_guard lock(mutex_);
    if (failure_.empty())
        failure_ = reason;
}

void FFmpegMovieWriter::checkSpace() {
    auto now = Clock::now();
    if (now < nextSpaceCheck_)
        return;
    nextSpaceCheck_ = now + spaceCheckInterval;
    auto space = freeBytes(folder_);
    // Stopping here leaves room for the last fragment and the trailer; the file is completed by finish.
    if (space && *space < settings_.minimumFreeBytes)
        fail("the disk is full (" + megabytes(*space) + " left)", false);
}

bool sizeIsPossible(int width, int height) {
    auto fine = [](int side) { return side > 0 && side % 2 == 0 && side <= 4096; };
    return fine(width) && fine(height);
}

} // namespace

std::unique_ptr<MovieWriter> MovieWriter::create(const MovieSettings& settings, std::string& error) {
    error.clear();
    if (!sizeIsPossible(settings.width, settings.height)) {
        error = "can't make a " + std::to_string(settings.width) + "x" + std::to_string(settings.height) +
                " movie: each side must be even and between 2 and 4096 pixels";
        return nullptr;
    }
    if (settings.frameRate <= 0 || settings.frameRate > kTimeScale || settings.videoBitRate <= 0) {
        error = "can't make a movie at " + std::to_string(settings.frameRate) + " frames per second and " +
                std::to_string(settings.videoBitRate) + " bit/s";
        return nullptr;
    }
    auto converter = PictureConverter::create(settings.width, settings.height, error);
    if (!converter)
        return nullptr;
    auto pipeline = Pipeline::open(settings, error);
    if (!pipeline)
        return nullptr;
    return std::make_unique<FFmpegMovieWriter>(settings, std::move(converter), std::move(pipeline));
}

} // namespace pokescope
