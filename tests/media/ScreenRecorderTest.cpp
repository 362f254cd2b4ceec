// The screen recorder's rules on the simulated phone, with a movie writer that keeps what it is given:
// starts and their refusals, file names, the frame clock's times, automatic stops and their results,
// failures that must not be lost or reported as success, and races between starts and stops.
#include "media/ScreenRecorder.hpp"
#include "core/Notifications.hpp"
#include "platform/Preferences.hpp"
#include "sim/SimCapture.hpp"
#include "sim/SimPhone.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
using ErrorCase = ScreenRecorder::ErrorCase;
using Refusal = std::pair<ErrorCase, std::string>;

namespace {

// Keeps the frames' times and the last frame; can be made failing or slow to finish.
struct WriterLog {
    std::mutex mutex;
    std::vector<std::int64_t> times;
    Image lastFrame;
    std::string failure;
    std::string finishError;             // finish fails with this when set
    std::shared_future<void> finishGate; // finish waits for this when valid
    std::atomic<int> finished{0};
    MovieSettings settings;
};

class FakeWriter : public MovieWriter {
public:
    FakeWriter(std::shared_ptr<WriterLog> log, const MovieSettings& settings) : log_(std::move(log)) {
        log_->settings = settings;
    }
    bool hasAudio() const override { return log_->settings.audio; }
    bool readyForVideo() const override { return true; }
    bool appendVideo(const Image& frame, std::int64_t time) override {
        std::lock_guard lock(log_->mutex);
        if (!log_->failure.empty())
            return false;
        EXPECT_EQ(frame.width(), log_->settings.width);
        EXPECT_EQ(frame.height(), log_->settings.height);
        log_->times.push_back(time);
        log_->lastFrame = frame;
        return true;
    }
    bool appendAudio(const AudioBuffer&, double) override { return hasAudio(); }
    std::string failure() const override { return std::lock_guard(log_->mutex), log_->failure; }
    bool finish(std::string& error) override {
        if (log_->finishGate.valid())
            log_->finishGate.wait();
        ++log_->finished;
        error = log_->finishError;
        return error.empty();
    }

private:
    std::shared_ptr<WriterLog> log_;
};

class RecorderTest : public testing::Test {
protected:
    TempFolder folder;
    Preferences store{folder.path() / "settings.json"};
    AppSettings settings{store};
    DispatchQueue main{"test.main"};
    std::shared_ptr<sim::SimPhone> phone = std::make_shared<sim::SimPhone>();
    NotificationCenter notifications;
    ScreenCapture capture{std::make_shared<sim::SimCapture>(phone), main, settings, notifications};
    ManualClock clock;
    std::shared_ptr<WriterLog> writer = std::make_shared<WriterLog>();
    std::string factoryError; // the factory refuses with this when set
    std::function<void()> inFactory;
    std::time_t wallTime = 1'780'000'000;
    std::mutex linesMutex;
    std::vector<std::string> lines;
    std::mutex changesMutex;
    std::vector<std::pair<bool, std::optional<ScreenRecorder::Result>>> changes;
    std::unique_ptr<ScreenRecorder> recorder;

    void SetUp() override {
        ScreenRecorder::Options options;
        options.writerFactory = [this](const MovieSettings& s, std::string& error) -> std::unique_ptr<MovieWriter> {
            if (inFactory)
                inFactory();
            if (error = factoryError; !error.empty())
                return nullptr;
            return std::make_unique<FakeWriter>(writer, s);
        };
        options.folder = [this] { return folder.path() / "Recordings"; };
        options.wallClock = [this] { return wallTime; };
        options.clock = &clock;
        options.log = [this](const std::string& line) {
            std::lock_guard lock(linesMutex);
            lines.push_back(line);
        };
        recorder = std::make_unique<ScreenRecorder>(capture, settings, notifications, main, options);
        recorder->setOnChange([this](bool on, std::optional<ScreenRecorder::Result> result) {
            std::lock_guard lock(changesMutex);
            changes.emplace_back(on, result);
        });
    }
    void TearDown() override {
        recorder.reset();
        main.sync([&] { capture.stop(); });
    }
    void withScreen() {
        main.sync([&] { capture.start(); });
        ASSERT_TRUE(eventually([&] { return capture.latestImage() != nullptr; }));
    }
    // The case and the sentence of the error that `action` throws.
    Refusal failure(const std::function<void()>& action) {
        try {
            action();
        } catch (const ScreenRecorder::RecorderError& e) {
            return {e.which, e.what()};
        }
        ADD_FAILURE() << "no recorder error";
        return {};
    }
    std::size_t frames() { return std::lock_guard(writer->mutex), writer->times.size(); }
    Image lastFrame() { return std::lock_guard(writer->mutex), writer->lastFrame; }
    std::size_t changeCount() { return std::lock_guard(changesMutex), changes.size(); }
    // Whether a line starting with `start` and ending with `end` was logged.
    bool logged(const std::string& start, const std::string& end) {
        return std::lock_guard(linesMutex), std::ranges::any_of(lines, [&](const std::string& l) {
                   return l.starts_with(start) && l.ends_with(end) && l.size() >= start.size() + end.size();
               });
    }
    bool nothingSaved() const {
        std::error_code ec;
        return std::filesystem::directory_iterator(folder.path() / "Recordings", ec) ==
               std::filesystem::directory_iterator();
    }
};

} // namespace

TEST(RecorderRules, OutputSizesAreTruncatedThenEvenAndFilesAreNamedByTheLocalTime) {
    EXPECT_EQ(ScreenRecorder::outputSize(1179, 2556, AppSettings::Quality::full), std::make_pair(1178, 2556));
    EXPECT_EQ(ScreenRecorder::outputSize(1179, 2556, AppSettings::Quality::smaller), std::make_pair(788, 1712));
    EXPECT_EQ(ScreenRecorder::outputSize(1920, 1080, AppSettings::Quality::smaller), std::make_pair(1286, 722));
    EXPECT_EQ(ScreenRecorder::fileName(localTime(2026, 12, 5, 15, 23, 29)), "Pokescope 2026-12-05 at 15.23.29.mp4");
    EXPECT_EQ(ScreenRecorder::RecorderError(ErrorCase::writer, "disk full").what(),
              std::string("Couldn't write the video: disk full"));
}

TEST(RecorderRules, AFrameIsFittedWholeAndCentredWithBlackBars) {
    // Grey, or with each pixel's blue its column, green its row (both wrapped) and red 7.
    auto pattern = [](int width, int height, int grey = -1) {
        Image image(width, height, Image::Format::bgra);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                std::uint8_t* p = image.row(y) + 4 * x;
                p[0] = std::uint8_t(grey < 0 ? x : grey), p[1] = std::uint8_t(grey < 0 ? y : grey);
                p[2] = std::uint8_t(grey < 0 ? 7 : grey), p[3] = 255;
            }
        return image;
    };
    Image frame = pattern(100, 200, 200), output(100, 100, Image::Format::bgra);
    double scale = 0;
    PointD offset{};
    ScreenRecorder::fit(frame, output, scale, offset);
    EXPECT_EQ(std::tuple(scale, offset.x, offset.y), std::tuple(0.5, 25.0, 0.0));
    EXPECT_EQ(output.row(50)[4 * 10], 0);          // the bar on the left
    EXPECT_EQ(output.row(50)[4 * 90], 0);          // and on the right
    EXPECT_NEAR(output.row(50)[4 * 50], 200, 2); // the picture between them
    // The phone's 1179-pixel width in a 1178-pixel movie: unscaled, its first column cut.
    Image phone = pattern(1179, 2556), movie(1178, 2556, Image::Format::bgra);
    ScreenRecorder::fit(phone, movie, scale, offset);
    EXPECT_EQ(std::tuple(scale, offset.x, offset.y), std::tuple(1.0, -1.0, 0.0));
    for (int x : {0, 500, 1177}) // frame point x + 1 lands at x
        for (int y : {0, 1300, 2555}) {
            const std::uint8_t* p = movie.row(y) + 4 * x;
            EXPECT_EQ(std::tuple(p[0], p[1], p[2]), std::tuple(std::uint8_t(x + 1), std::uint8_t(y), std::uint8_t(7)));
        }
}

TEST_F(RecorderTest, ARecordingTakesFramesWithIncreasingTimesAndSaysWhatItSaved) {
    withScreen();
    auto file = recorder->start(true, false, std::nullopt);
    EXPECT_EQ(file, folder.path() / "Recordings" / ScreenRecorder::fileName(wallTime));
    EXPECT_TRUE(recorder->recording());
    const auto& movie = writer->settings;
    EXPECT_EQ(std::tuple(movie.width, movie.height, movie.videoBitRate, movie.audio), std::tuple(1178, 2556, 8'000'000, false));
    EXPECT_TRUE(logged("recorder: started " + file.filename().string() + " (1178x2556, full, overlay true, audio false)",
                       ""));
    ASSERT_TRUE(eventually([&] { return frames() >= 10; }));
    auto result = recorder->stop();
    EXPECT_EQ(result.url, file);
    EXPECT_FALSE(result.stoppedBecause);
    EXPECT_GT(result.seconds, 0.2);
    EXPECT_EQ(writer->finished, 1);
    EXPECT_FALSE(recorder->recording());
    {
        std::lock_guard lock(writer->mutex);
        EXPECT_LT(writer->times.front(), 600 / 30 * 3); // the first tick runs at once; times only increase
        EXPECT_EQ(std::ranges::adjacent_find(writer->times, std::greater_equal<>()), writer->times.end());
    }
    // After the stop no tick appends any more.
    const auto after = frames();
    EXPECT_EQ(static_cast<std::size_t>(recorder->tickStats().appended), after);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(frames(), after);
    ASSERT_TRUE(eventually([&] { return changeCount() == 2; }));
    EXPECT_TRUE(changes[0].first && !changes[0].second && !changes[1].first);
    EXPECT_EQ(changes[1].second, result);
    EXPECT_EQ(failure([&] { recorder->stop(); }).first, ErrorCase::notRecording);
}

TEST_F(RecorderTest, StartsAreRefusedWithoutAScreenOrWhileRecordingAndNeverReplaceAnEarlierFile) {
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }),
              Refusal(ErrorCase::noScreen, "No screen frame available (is the iPhone connected by USB and unlocked?)"));
    EXPECT_TRUE(nothingSaved());

    withScreen();
    factoryError = "no encoder";
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }),
              Refusal(ErrorCase::writer, "Couldn't write the video: no encoder"));
    EXPECT_TRUE(nothingSaved()); // the reserved name is given back
    EXPECT_FALSE(recorder->recording());

    factoryError.clear();
    auto first = recorder->start(false, false, std::nullopt);
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }),
              Refusal(ErrorCase::alreadyRecording, "A recording is already running. Call stop_recording first."));
    EXPECT_TRUE(recorder->recording());
    EXPECT_EQ(recorder->currentFile(), first);
    recorder->stop();

    // Recordings in the same second get a number instead of replacing the last.
    std::filesystem::resize_file(first, 1000); // what the writer left
    auto second = recorder->start(true, false, std::nullopt);
    recorder->stop();
    auto third = recorder->start(true, false, std::nullopt);
    recorder->stop();
    const std::string stem = first.stem().string();
    EXPECT_EQ(second.filename(), stem + " 2.mp4");
    EXPECT_EQ(third.filename(), stem + " 3.mp4");
    EXPECT_EQ(std::filesystem::file_size(first), 1000u);
}

TEST_F(RecorderTest, TheTimeLimitStopsTheRecordingAndTheNextStopHandsOverItsResultOnce) {
    withScreen();
    recorder->start(true, false, 5.0);
    recorder->stop();
    auto file = recorder->start(true, false, 5.0);
    clock.advance(4900ms); // the first recording's limit has run out, and must not stop the second
    EXPECT_TRUE(recorder->recording());
    clock.advance(100ms);
    EXPECT_FALSE(recorder->recording());
    EXPECT_TRUE(logged("recorder: saved " + file.filename().string() + " (",
                       " KB), stopped because the time limit was reached"));
    auto result = recorder->stop();
    EXPECT_EQ(result.url, file);
    EXPECT_EQ(result.stoppedBecause, "the time limit was reached");
    EXPECT_EQ(failure([&] { recorder->stop(); }).first, ErrorCase::notRecording);
}

TEST_F(RecorderTest, TheScreenGoingAwayOrTheWriterFailingStopsTheRecordingWithItsReasonAndAFailedFinishIsAnError) {
    withScreen();
    const std::pair<std::function<void()>, std::string> stops[] = {
        {[&] { notifications.post(kScreenLostNotification, std::string("the iPhone was disconnected")); },
         "the iPhone was disconnected"},
        {[&] {
             ASSERT_TRUE(eventually([&] { return frames() >= 2; }));
             std::lock_guard lock(writer->mutex);
             writer->failure = "the disk is full (12 MB left)";
         },
         "Couldn't write the video: the disk is full (12 MB left)"}};
    for (const auto& [trigger, reason] : stops) {
        auto file = recorder->start(true, false, std::nullopt);
        trigger();
        ASSERT_TRUE(eventually([&] { return !recorder->recording(); })) << reason;
        auto result = recorder->stop();
        EXPECT_EQ(result.url, file);
        EXPECT_EQ(result.stoppedBecause, reason);
    }
    // A finish that fails is an error, yet the recording ends and the window stops showing it.
    writer->failure.clear();
    const auto before = changeCount();
    recorder->start(true, false, std::nullopt);
    writer->finishError = "the trailer could not be written";
    EXPECT_EQ(failure([&] { recorder->stop(); }),
              Refusal(ErrorCase::writer, "Couldn't write the video: the trailer could not be written"));
    EXPECT_FALSE(recorder->recording());
    ASSERT_TRUE(eventually([&] { return changeCount() == before + 2; }));
    EXPECT_FALSE(changes[before + 1].first);
    writer->finishError.clear();
    recorder->start(true, false, std::nullopt); // and a new recording can start
    recorder->stop();
}

TEST_F(RecorderTest, AStopDuringAnAutomaticFinishWaitsAndGetsThatResult) {
    withScreen();
    std::promise<void> release;
    writer->finishGate = release.get_future().share();
    auto file = recorder->start(true, false, 5.0);
    std::thread limit([&] { clock.advance(5s); }); // the automatic finish blocks in the writer
    ASSERT_TRUE(eventually([&] { return !recorder->recording(); }));
    auto stopped = std::async(std::launch::async, [&] { return recorder->stop(); });
    auto started = std::async(std::launch::async, [&] { return recorder->start(true, false, std::nullopt); });
    EXPECT_EQ(stopped.wait_for(200ms), std::future_status::timeout);
    release.set_value();
    limit.join();
    auto result = stopped.get();
    EXPECT_EQ(result.url, file);
    EXPECT_EQ(result.stoppedBecause, "the time limit was reached");
    // The start waited too, then began a recording of its own.
    auto second = started.get();
    EXPECT_NE(second, file);
    auto secondResult = recorder->stop();
    EXPECT_EQ(secondResult.url, second);
    EXPECT_FALSE(secondResult.stoppedBecause);
}

TEST_F(RecorderTest, OnlyOneOfTwoSimultaneousStartsPasses) {
    withScreen();
    std::promise<void> inside, release;
    auto gate = release.get_future().share();
    std::atomic<bool> once{false};
    inFactory = [&] {
        if (once.exchange(true))
            return;
        inside.set_value();
        gate.wait();
    };
    auto first = std::async(std::launch::async, [&] { return recorder->start(true, false, std::nullopt); });
    inside.get_future().wait(); // the first start is past its check, creating its writer
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }).first, ErrorCase::alreadyRecording);
    release.set_value();
    auto file = first.get();
    EXPECT_EQ(recorder->stop().url, file);
}

TEST_F(RecorderTest, MarksAreKeptOnlyWhileRecordingWithTheOverlayOn) {
    withScreen();
    recorder->mark({ActionMark::Kind::tap, {500, 1000}, {}, {}}); // idle: ignored
    recorder->start(false, false, std::nullopt);
    recorder->mark({ActionMark::Kind::tap, {500, 1000}, {}, {}}); // overlay off: ignored
    ASSERT_TRUE(eventually([&] { return frames() >= 3; }));
    const Image plain = lastFrame();
    recorder->stop();
    recorder->start(true, false, std::nullopt);
    recorder->mark({ActionMark::Kind::tap, {500, 1000}, {}, {}});
    const auto before = frames();
    ASSERT_TRUE(eventually([&] { return frames() >= before + 2; }));
    const Image marked = lastFrame();
    recorder->stop();
    // Without the overlay the tap left no trace; with it, the ring shows around the tapped point.
    int differing = 0;
    for (int y = 1000 - 60; y <= 1000 + 60; ++y)
        for (int x = 500 - 60; x <= 500 + 60; ++x)
            differing += std::memcmp(plain.row(y) + 4 * x, marked.row(y) + 4 * x, 3) != 0;
    EXPECT_GT(differing, 100);
}

