#include "media/ScreenRecorder.hpp"

#include "core/Log.hpp"
#include "platform/Paths.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

namespace pokescope {

namespace {

constexpr const char* kAudioKey = "recorder";

std::string describe(ScreenRecorder::ErrorCase which, const std::string& message) {
    switch (which) {
    case ScreenRecorder::ErrorCase::writer:
        return "Couldn't write the video: " + message;
    case ScreenRecorder::ErrorCase::alreadyRecording:
        return "A recording is already running. Call stop_recording first.";
    case ScreenRecorder::ErrorCase::notRecording:
        return "No recording is running.";
    case ScreenRecorder::ErrorCase::noScreen:
        return "No screen frame available (is the iPhone connected by USB and unlocked?)";
    }
    return message;
}



Duration tickInterval() { return seconds(1.0 / ScreenRecorder::kFramesPerSecond); }

} // namespace

ScreenRecorder::RecorderError::RecorderError(ErrorCase which, const std::string& message)
    : std::runtime_error(describe(which, message)), which(which) {}

ScreenRecorder::ScreenRecorder(ScreenCapture& capture, AppSettings& settings, DispatchQueue& mainQueue,
                               Options options)
    : capture_(capture), settings_(settings), main_(mainQueue), options_(std::move(options)) {
    if (!options_.writerFactory)
        options_.writerFactory = [](const MovieSettings& s, std::string& error) { return MovieWriter::create(s, error); };
    if (!options_.folder)
        options_.folder = [] { return folder(); };
    if (!options_.wallClock)
        options_.wallClock = [] { return std::time(nullptr); };
}

void ScreenRecorder::screenLost(const std::string& reason) {
    if (recording())
        finishInBackground(reason.empty() ? std::string(kScreenGoneReason) : reason);
}

ScreenRecorder::~ScreenRecorder() {
    std::shared_ptr<ChangeListener> listener;
    {
        std::unique_lock lock(lock_);
        settled_.wait(lock, [&] { return state_ != State::starting && state_ != State::finishing; });
    }
    if (recording()) {
        try {
            finish(std::nullopt);
        } catch (const std::exception&) {
            // the partly written file stays where it is
        }
    }
    stopQueue_.sync([] {}); // an automatic stop that was already under way
    {
        std::lock_guard lock(lock_);
        listener = std::exchange(onChange_, nullptr);
    }
    if (listener)
        listener->withdraw(); // news still on its way to the main queue is dropped
}

std::filesystem::path ScreenRecorder::folder() {
    try {
        return Paths::recordings();
    } catch (const std::exception&) {
        return Paths::home() / "Videos" / "Pokescope";
    }
}

void ScreenRecorder::log(const std::string& line) const {
    if (options_.log)
        options_.log(line);
    else
        Log::shared().add(line);
}

std::pair<int, int> ScreenRecorder::outputSize(int width, int height, AppSettings::Quality quality) {
    const double factor = quality == AppSettings::Quality::full ? 1.0 : 0.67;
    const int w = static_cast<int>(width * factor) & ~1;
    const int h = static_cast<int>(height * factor) & ~1;
    return {w, h};
}

std::string ScreenRecorder::fileName(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[64];
    std::strftime(text, sizeof text, "Pokescope %Y-%m-%d at %H.%M.%S.mp4", &local);
    return text;
}

std::filesystem::path ScreenRecorder::reserveFile(std::string& error) {
    const std::filesystem::path directory = options_.folder();
    std::error_code ignored;
    std::filesystem::create_directories(directory, ignored);
    const std::string name = fileName(options_.wallClock());
    const std::string stem = name.substr(0, name.size() - 4);
    // Created exclusively: a recording started in the same second as the last (or in a repeated hour)
    // gets " 2", " 3" … instead of replacing it.
    for (int n = 1; n < 1000; ++n) {
        const auto file = directory / (n == 1 ? name : stem + " " + std::to_string(n) + ".mp4");
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return file;
        }
        if (errno != EEXIST) {
            error = std::strerror(errno);
            return {};
        }
    }
    error = "too many recordings with the same name";
    return {};
}

void ScreenRecorder::fit(const Image& frame, Image& output, double& scale, PointD& offset) {
    const double w = frame.width(), h = frame.height(), W = output.width(), H = output.height();
    scale = std::min(W / w, H / h);
    int sw = std::clamp(static_cast<int>(std::lround(w * scale)), 1, output.width());
    int sh = std::clamp(static_cast<int>(std::lround(h * scale)), 1, output.height());
    offset = {(W - w * scale) / 2, (H - h * scale) / 2};
    // An output that differs from the frame by a pixel or two (the even-side rule makes a 1179-pixel-wide
    // frame a 1178-pixel-wide movie) shows the frame unscaled, centred and cut by that pixel: resampling
    // three million pixels thirty times a second for a change nobody can see would cost the frame clock
    // its ticks.
    const bool nearlySame = std::abs(W - w) <= 2 && std::abs(H - h) <= 2 && frame.format() == Image::Format::bgra;
    if (nearlySame) {
        scale = 1;
        offset = {std::floor((W - w) / 2), std::floor((H - h) / 2)};
        sw = std::min(frame.width(), output.width());
        sh = std::min(frame.height(), output.height());
    }
    const int x = nearlySame ? std::max(0, static_cast<int>(offset.x)) : (output.width() - sw) / 2;
    const int y = nearlySame ? std::max(0, static_cast<int>(offset.y)) : (output.height() - sh) / 2;
    // Black bars where the shapes differ; the picture itself is written over in place.
    for (int row = 0; row < output.height(); ++row) {
        std::uint8_t* p = output.row(row);
        const bool inside = row >= y && row < y + sh;
        const int from[2] = {0, inside ? x + sw : 0}, to[2] = {inside ? x : output.width(), output.width()};
        for (int side = 0; side < (inside ? 2 : 1); ++side)
            for (int i = from[side]; i < to[side]; ++i)
                p[4 * i] = p[4 * i + 1] = p[4 * i + 2] = 0, p[4 * i + 3] = 255;
    }
    if (nearlySame) {
        // The frame's own pixels, from the corner the centring cuts off.
        const int fx = std::max(0, static_cast<int>(-offset.x)), fy = std::max(0, static_cast<int>(-offset.y));
        for (int row = 0; row < sh; ++row)
            std::memcpy(output.row(y + row) + static_cast<std::size_t>(x) * 4,
                        frame.row(fy + row) + static_cast<std::size_t>(fx) * 4, static_cast<std::size_t>(sw) * 4);
    } else if (sw == frame.width() && sh == frame.height() && frame.format() == Image::Format::bgra) {
        for (int row = 0; row < sh; ++row)
            std::memcpy(output.row(y + row) + static_cast<std::size_t>(x) * 4, frame.row(row),
                        static_cast<std::size_t>(sw) * 4);
    } else {
        resizeInto(frame, output, x, y, sw, sh);
    }
}

std::filesystem::path ScreenRecorder::start(bool overlay, bool audio, std::optional<double> maxSeconds) {
    {
        // One start at a time passes: the first reserves the recorder, and a start that meets it (or a
        // running recording) is refused. A recording that is finishing is waited for, so its result goes to
        // its own stop.
        std::unique_lock lock(lock_);
        settled_.wait(lock, [&] { return state_ != State::finishing; });
        if (state_ != State::idle)
            throw RecorderError(ErrorCase::alreadyRecording);
        state_ = State::starting;
    }
    std::filesystem::path file;
    auto release = [&] {
        std::lock_guard lock(lock_);
        state_ = State::idle;
        settled_.notify_all();
    };
    std::unique_ptr<MovieWriter> writer;
    int width = 0, height = 0;
    try {
        auto frame = capture_.latestImage();
        if (!frame)
            throw RecorderError(ErrorCase::noScreen);
        const auto quality = settings_.quality();
        std::tie(width, height) = outputSize(frame->width(), frame->height(), quality);
        if (width <= 0 || height <= 0)
            throw RecorderError(ErrorCase::writer, "the screen is too small to record");
        std::string error;
        file = reserveFile(error);
        if (file.empty())
            throw RecorderError(ErrorCase::writer, error);
        MovieSettings movie;
        movie.file = file;
        movie.width = width;
        movie.height = height;
        movie.videoBitRate = AppSettings::videoBitRate(quality);
        movie.frameRate = static_cast<int>(kFramesPerSecond);
        movie.audio = audio && capture_.offersAudio();
        writer = options_.writerFactory(movie, error);
        if (!writer) {
            std::error_code ignored;
            std::filesystem::remove(file, ignored); // only the empty reservation
            throw RecorderError(ErrorCase::writer, error.empty() ? "the movie writer could not start" : error);
        }
    } catch (...) {
        release();
        throw;
    }

    const bool withAudio = writer->hasAudio();
    unsigned long generation;
    {
        std::lock_guard lock(lock_);
        writer_ = std::move(writer);
        width_ = width;
        height_ = height;
        overlay_ = overlay;
        startedAt_ = std::chrono::system_clock::now();
        startTime_ = std::chrono::steady_clock::now();
        lastTime_ = -1;
        marks_.clear();
        url_ = file;
        if (waitingStops_ == 0) // a stop waiting for the last recording's finish still collects its result
            autoStopped_.reset();
        hasAudio_ = withAudio;
        stats_ = {};
        generation = ++generation_;
        state_ = State::recording;
        settled_.notify_all();
    }
    if (withAudio) // if the phone's sound cannot be delivered, the recording simply gets none
        capture_.setAudioListener(kAudioKey, [this](const AudioBufferRef& sound) { appendAudio(sound); });
    queue_.async([this, generation] { tick(generation, 0); });
    if (maxSeconds) {
        auto item = stopQueue_.asyncAfter(
            seconds(std::max(0.0, *maxSeconds)),
            [this, generation] {
                {
                    std::lock_guard lock(lock_);
                    if (state_ != State::recording || generation_ != generation)
                        return;
                }
                try {
                    finish(std::string(kTimeLimitReason));
                } catch (const std::exception&) {
                    // an automatic stop has nobody to tell
                }
            },
            options_.clock ? *options_.clock : Clock::system());
        std::lock_guard lock(lock_);
        autoStop_ = item;
    }
    log("recorder: started " + file.filename().string() + " (" + std::to_string(width) + "x" +
        std::to_string(height) + ", " + AppSettings::rawValue(settings_.quality()) + ", overlay " +
        (overlay ? "true" : "false") + ", audio " + (withAudio ? "true" : "false") + ")");
    tellListener(true, std::nullopt);
    return file;
}

void ScreenRecorder::scheduleTick(unsigned long generation, long index) {
    // Deadlines count from the start, so the clock does not drift; a tick that fell a whole interval
    // behind is skipped rather than run in a burst.
    TimePoint start;
    {
        std::lock_guard lock(lock_);
        start = startTime_;
    }
    const auto now = std::chrono::steady_clock::now();
    long next = index + 1;
    TimePoint due = start + tickInterval() * next;
    if (due + tickInterval() <= now) {
        const long behind = static_cast<long>((now - due) / tickInterval());
        next += behind;
        due = start + tickInterval() * next;
        std::lock_guard lock(lock_);
        stats_.late += behind;
    }
    queue_.postAfter(std::max(Duration::zero(), due - now), [this, generation, next] { tick(generation, next); });
}

void ScreenRecorder::tick(unsigned long generation, long index) {
    std::vector<TimedMark> marks;
    bool overlay;
    std::int64_t time;
    {
        std::lock_guard lock(lock_);
        if (state_ != State::recording || generation_ != generation || !writer_)
            return;
        ++stats_.ticks;
        const std::string failure = writer_->failure();
        if (!failure.empty()) {
            finishInBackground("Couldn't write the video: " + failure);
            return;
        }
        if (!writer_->readyForVideo()) {
            ++stats_.busy;
            // fall through to the next tick below
            time = -1;
        } else {
            const auto now = std::chrono::steady_clock::now();
            std::erase_if(marks_, [&](const TimedMark& m) { return ActionOverlay::expired(m, now); });
            marks = marks_;
            time = static_cast<std::int64_t>(
                std::llround(std::chrono::duration<double>(now - startTime_).count() * MovieWriter::kTimeScale));
            if (lastTime_ >= 0 && time <= lastTime_)
                time = lastTime_ + 1;
        }
        overlay = overlay_;
        if (output_.width() != width_ || output_.height() != height_)
            output_ = Image(width_, height_, Image::Format::bgra);
    }
    if (time >= 0) {
        if (auto frame = capture_.latestImage()) {
            double scale = 1;
            PointD offset{0, 0};
            fit(*frame, output_, scale, offset);
            if (overlay && !marks.empty())
                ActionOverlay::draw(output_, marks, std::chrono::steady_clock::now(), scale, offset);
            std::lock_guard lock(lock_);
            if (state_ == State::recording && generation_ == generation && writer_ && writer_->readyForVideo() &&
                writer_->appendVideo(output_, time)) {
                lastTime_ = time;
                ++stats_.appended;
            }
        }
    }
    scheduleTick(generation, index);
}

void ScreenRecorder::appendAudio(const AudioBufferRef& sound) {
    if (!sound)
        return;
    std::lock_guard lock(lock_);
    if (state_ != State::recording || !writer_ || !hasAudio_)
        return;
    const double at = std::chrono::duration<double>(sound->time - startTime_).count();
    if (at < 0)
        return; // sound from before the start
    writer_->appendAudio(*sound, at);
}

void ScreenRecorder::mark(const Mark& mark) {
    std::lock_guard lock(lock_);
    if (state_ == State::recording && overlay_)
        marks_.push_back({mark, std::chrono::steady_clock::now()});
}

ScreenRecorder::Result ScreenRecorder::finish(std::optional<std::string> reason) {
    std::unique_ptr<MovieWriter> writer;
    std::filesystem::path file;
    std::chrono::system_clock::time_point startedAt;
    {
        std::lock_guard lock(lock_);
        if (state_ != State::recording || !writer_ || !url_)
            throw RecorderError(ErrorCase::notRecording);
        writer = std::move(writer_);
        file = *url_;
        startedAt = startedAt_;
        state_ = State::finishing; // no longer counts as recording; a stop or start now waits
        ++generation_;
        if (autoStop_) {
            autoStop_->cancel();
            autoStop_.reset();
        }
    }
    capture_.setAudioListener(kAudioKey, {});
    queue_.sync([] {}); // a tick already past its checks completes first

    std::string error;
    const bool completed = writer->finish(error);
    writer.reset();
    const double length = std::chrono::duration<double>(std::chrono::system_clock::now() - startedAt).count();
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    Result result{file, length, ec ? 0 : static_cast<std::int64_t>(size), reason};

    if (!completed) {
        // Recording has ended either way: the window must not show it running.
        {
            std::lock_guard lock(lock_);
            state_ = State::idle;
            url_.reset();
            settled_.notify_all();
        }
        log("recorder: couldn't finish " + file.filename().string() + ": " + error);
        tellListener(false, std::nullopt);
        throw RecorderError(ErrorCase::writer, error.empty() ? "the file could not be completed" : error);
    }
    {
        std::lock_guard lock(lock_);
        if (reason)
            autoStopped_ = result;
        state_ = State::idle;
        url_.reset();
        settled_.notify_all();
    }
    char figures[64];
    std::snprintf(figures, sizeof figures, " (%.1f s, %lld KB)", length, static_cast<long long>(result.bytes / 1024));
    log("recorder: saved " + file.filename().string() + figures + (reason ? ", stopped because " + *reason : ""));
    tellListener(false, result);
    return result;
}

void ScreenRecorder::finishInBackground(std::string reason) {
    stopQueue_.async([this, reason = std::move(reason)] {
        try {
            finish(reason);
        } catch (const std::exception&) {
            // nobody to tell; the listener has heard that recording ended
        }
    });
}

ScreenRecorder::Result ScreenRecorder::stop() {
    std::unique_lock lock(lock_);
    if (state_ == State::finishing) {
        // A recording that stops by itself right now: wait for it and hand over its result, even if a new
        // start gets in before this stop wakes up.
        ++waitingStops_;
        settled_.wait(lock, [&] { return state_ != State::finishing; });
        --waitingStops_;
        if (autoStopped_) {
            Result result = *autoStopped_;
            autoStopped_.reset();
            return result;
        }
    }
    settled_.wait(lock, [&] { return state_ != State::starting && state_ != State::finishing; });
    if (state_ == State::recording) {
        lock.unlock();
        try {
            return finish(std::nullopt);
        } catch (const RecorderError& e) {
            if (e.which != ErrorCase::notRecording)
                throw;
            // an automatic stop got there first: hand over its result
            lock.lock();
            settled_.wait(lock, [&] { return state_ != State::finishing; });
        }
    }
    if (autoStopped_) {
        Result result = *autoStopped_;
        autoStopped_.reset();
        return result;
    }
    throw RecorderError(ErrorCase::notRecording);
}

bool ScreenRecorder::recording() const {
    std::lock_guard lock(lock_);
    return state_ == State::recording;
}

bool ScreenRecorder::hasAudio() const {
    std::lock_guard lock(lock_);
    return state_ == State::recording && hasAudio_;
}

std::optional<std::filesystem::path> ScreenRecorder::currentFile() const {
    std::lock_guard lock(lock_);
    return url_;
}

std::optional<std::chrono::system_clock::time_point> ScreenRecorder::startedAt() const {
    std::lock_guard lock(lock_);
    if (state_ != State::recording)
        return std::nullopt;
    return startedAt_;
}

void ScreenRecorder::setOnChange(std::function<void(bool, std::optional<Result>)> listener) {
    auto fresh = listener ? std::make_shared<ChangeListener>(std::move(listener)) : nullptr;
    std::shared_ptr<ChangeListener> old;
    {
        std::lock_guard lock(lock_);
        old = std::exchange(onChange_, fresh);
    }
    if (old)
        old->withdraw();
}

void ScreenRecorder::tellListener(bool recording, std::optional<Result> result) {
    std::shared_ptr<ChangeListener> listener;
    {
        std::lock_guard lock(lock_);
        listener = onChange_;
    }
    if (listener)
        main_.async([listener, recording, result] { listener->call(recording, result); });
}

ScreenRecorder::TickStats ScreenRecorder::tickStats() const {
    std::lock_guard lock(lock_);
    return stats_;
}

} // namespace pokescope
