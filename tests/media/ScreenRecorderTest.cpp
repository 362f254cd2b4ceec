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

namespace {

// Keeps the frames' times and the last frame; can be made busy, failing or slow to finish.
struct WriterLog {
    std::mutex mutex;
    std::vector<std::int64_t> times;
    std::vector<double> soundAt;
    Image lastFrame;
    std::atomic<bool> busy{false};
    std::string failure;
    std::string finishError;     // finish fails with this when set
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
    bool readyForVideo() const override { return !log_->busy; }
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
    bool appendAudio(const AudioBuffer&, double seconds) override {
        std::lock_guard lock(log_->mutex);
        log_->soundAt.push_back(seconds);
        return hasAudio();
    }
    std::string failure() const override {
        std::lock_guard lock(log_->mutex);
        return log_->failure;
    }
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
            if (!factoryError.empty()) {
                error = factoryError;
                return nullptr;
            }
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
    ErrorCase failure(const std::function<void()>& action, std::string* text = nullptr) {
        try {
            action();
        } catch (const ScreenRecorder::RecorderError& e) {
            if (text)
                *text = e.what();
            return e.which;
        }
        ADD_FAILURE() << "no recorder error";
        return ErrorCase::writer;
    }
    std::size_t frames() {
        std::lock_guard lock(writer->mutex);
        return writer->times.size();
    }
    bool logged(const std::string& line) {
        std::lock_guard lock(linesMutex);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::vector<std::filesystem::path> files() const {
        std::vector<std::filesystem::path> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(folder.path() / "Recordings", ec))
            out.push_back(e.path().filename());
        std::sort(out.begin(), out.end());
        return out;
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
    Image frame(100, 200, Image::Format::bgra);
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 100; ++x) {
            std::uint8_t* p = frame.row(y) + 4 * x;
            p[0] = p[1] = p[2] = 200, p[3] = 255;
        }
    Image output(100, 100, Image::Format::bgra);
    double scale = 0;
    PointD offset{};
    ScreenRecorder::fit(frame, output, scale, offset);
    EXPECT_DOUBLE_EQ(scale, 0.5);
    EXPECT_DOUBLE_EQ(offset.x, 25);
    EXPECT_DOUBLE_EQ(offset.y, 0);
    EXPECT_EQ(output.row(50)[4 * 10], 0);    // the bar on the left
    EXPECT_EQ(output.row(50)[4 * 90], 0);    // and on the right
    EXPECT_NEAR(output.row(50)[4 * 50], 200, 2); // the picture between them
    // The phone's 1179-pixel width in a 1178-pixel movie: unscaled, its first column cut.
    Image phone(1179, 2556, Image::Format::bgra), movie(1178, 2556, Image::Format::bgra);
    for (int y = 0; y < phone.height(); ++y)
        for (int x = 0; x < phone.width(); ++x) {
            std::uint8_t* p = phone.row(y) + 4 * x;
            p[0] = static_cast<std::uint8_t>(x), p[1] = static_cast<std::uint8_t>(y), p[2] = 7, p[3] = 255;
        }
    ScreenRecorder::fit(phone, movie, scale, offset);
    EXPECT_EQ(scale, 1);
    EXPECT_EQ(offset.x, -1);
    EXPECT_EQ(offset.y, 0);
    for (int x : {0, 500, 1177})
        for (int y : {0, 1300, 2555}) {
            const std::uint8_t* p = movie.row(y) + 4 * x;
            EXPECT_EQ(p[0], static_cast<std::uint8_t>(x + 1)) << x << "," << y; // frame point x + 1 lands at x
            EXPECT_EQ(p[1], static_cast<std::uint8_t>(y));
            EXPECT_EQ(p[2], 7);
        }
}

TEST_F(RecorderTest, ARecordingTakesFramesWithIncreasingTimesAndSaysWhatItSaved) {
    withScreen();
    auto file = recorder->start(true, false, std::nullopt);
    EXPECT_EQ(file, folder.path() / "Recordings" / ScreenRecorder::fileName(wallTime));
    EXPECT_TRUE(recorder->recording());
    EXPECT_EQ(writer->settings.width, 1178);
    EXPECT_EQ(writer->settings.height, 2556);
    EXPECT_EQ(writer->settings.videoBitRate, 8'000'000);
    EXPECT_FALSE(writer->settings.audio);
    EXPECT_TRUE(logged("recorder: started " + file.filename().string() + " (1178x2556, full, overlay true, audio false)"));
    ASSERT_TRUE(eventually([&] { return frames() >= 10; }));
    auto result = recorder->stop();
    EXPECT_EQ(result.url, file);
    EXPECT_FALSE(result.stoppedBecause);
    EXPECT_GT(result.seconds, 0.2);
    EXPECT_EQ(writer->finished, 1);
    EXPECT_FALSE(recorder->recording());
    {
        std::lock_guard lock(writer->mutex);
        EXPECT_LT(writer->times.front(), 600 / 30 * 3); // the first tick runs at once
        EXPECT_TRUE(std::is_sorted(writer->times.begin(), writer->times.end(), std::less_equal<>()) &&
                    std::adjacent_find(writer->times.begin(), writer->times.end()) == writer->times.end());
    }
    const auto stats = recorder->tickStats();
    EXPECT_EQ(static_cast<std::size_t>(stats.appended), frames());
    // After the stop no tick appends any more.
    const auto after = frames();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(frames(), after);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(changesMutex);
        return changes.size() == 2;
    }));
    EXPECT_TRUE(changes[0].first && !changes[0].second);
    EXPECT_FALSE(changes[1].first);
    EXPECT_EQ(changes[1].second, result);
    EXPECT_EQ(failure([&] { recorder->stop(); }), ErrorCase::notRecording);
}

TEST_F(RecorderTest, StartsAreRefusedWithoutAScreenOrWhileRecordingAndLeaveNothingBehind) {
    std::string text;
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }, &text), ErrorCase::noScreen);
    EXPECT_EQ(text, "No screen frame available (is the iPhone connected by USB and unlocked?)");
    EXPECT_TRUE(files().empty());

    withScreen();
    factoryError = "no encoder";
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }, &text), ErrorCase::writer);
    EXPECT_EQ(text, "Couldn't write the video: no encoder");
    EXPECT_TRUE(files().empty()); // the reserved name is given back
    EXPECT_FALSE(recorder->recording());

    factoryError.clear();
    auto file = recorder->start(false, false, std::nullopt);
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }, &text), ErrorCase::alreadyRecording);
    EXPECT_EQ(text, "A recording is already running. Call stop_recording first.");
    EXPECT_TRUE(recorder->recording());
    EXPECT_EQ(recorder->currentFile(), file);
    recorder->stop();
}

TEST_F(RecorderTest, ARecordingInTheSameSecondGetsANumberInsteadOfReplacingTheLast) {
    withScreen();
    auto first = recorder->start(true, false, std::nullopt);
    recorder->stop();
    std::filesystem::resize_file(first, 1000); // what the writer left
    auto second = recorder->start(true, false, std::nullopt);
    recorder->stop();
    auto third = recorder->start(true, false, std::nullopt);
    recorder->stop();
    const std::string stem = ScreenRecorder::fileName(wallTime).substr(0, ScreenRecorder::fileName(wallTime).size() - 4);
    EXPECT_EQ(second.filename().string(), stem + " 2.mp4");
    EXPECT_EQ(third.filename().string(), stem + " 3.mp4");
    EXPECT_EQ(std::filesystem::file_size(first), 1000u);
}

TEST_F(RecorderTest, TheTimeLimitStopsTheRecordingAndTheNextStopHandsOverItsResultOnce) {
    withScreen();
    auto file = recorder->start(true, false, 5.0);
    clock.advance(4900ms);
    EXPECT_TRUE(recorder->recording());
    clock.advance(100ms);
    EXPECT_FALSE(recorder->recording());
    {
        std::lock_guard lock(linesMutex);
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.starts_with("recorder: saved " + file.filename().string() + " (") &&
                   l.ends_with(" KB), stopped because the time limit was reached");
        }));
    }
    auto result = recorder->stop();
    EXPECT_EQ(result.url, file);
    EXPECT_EQ(result.stoppedBecause, "the time limit was reached");
    EXPECT_EQ(failure([&] { recorder->stop(); }), ErrorCase::notRecording);
}

TEST_F(RecorderTest, AStoppedRecordingCancelsItsTimeLimit) {
    withScreen();
    recorder->start(true, false, 5.0);
    recorder->stop();
    auto file = recorder->start(true, false, std::nullopt);
    clock.advance(10s); // the first recording's limit must not stop the second
    EXPECT_TRUE(recorder->recording());
    EXPECT_EQ(recorder->stop().url, file);
}

TEST_F(RecorderTest, TheScreenGoingAwayStopsTheRecordingWithTheReasonGiven) {
    withScreen();
    auto file = recorder->start(true, false, std::nullopt);
    notifications.post(kScreenLostNotification, std::string("the iPhone was disconnected"));
    ASSERT_TRUE(eventually([&] { return !recorder->recording(); }));
    auto result = recorder->stop();
    EXPECT_EQ(result.url, file);
    EXPECT_EQ(result.stoppedBecause, "the iPhone was disconnected");
}

TEST_F(RecorderTest, AWriterThatFailsMidwayStopsTheRecordingWithItsReason) {
    withScreen();
    recorder->start(true, false, std::nullopt);
    ASSERT_TRUE(eventually([&] { return frames() >= 2; }));
    {
        std::lock_guard lock(writer->mutex);
        writer->failure = "the disk is full (12 MB left)";
    }
    ASSERT_TRUE(eventually([&] { return !recorder->recording(); }));
    auto result = recorder->stop();
    EXPECT_EQ(result.stoppedBecause, "Couldn't write the video: the disk is full (12 MB left)");
}

TEST_F(RecorderTest, AFinishThatFailsIsAnErrorYetRecordingEnds) {
    withScreen();
    recorder->start(true, false, std::nullopt);
    writer->finishError = "the trailer could not be written";
    std::string text;
    EXPECT_EQ(failure([&] { recorder->stop(); }, &text), ErrorCase::writer);
    EXPECT_EQ(text, "Couldn't write the video: the trailer could not be written");
    EXPECT_FALSE(recorder->recording());
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(changesMutex);
        return changes.size() == 2;
    }));
    EXPECT_FALSE(changes[1].first); // the window stops showing "recording"
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
    std::string text;
    EXPECT_EQ(failure([&] { recorder->start(true, false, std::nullopt); }, &text), ErrorCase::alreadyRecording);
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
    Image plain;
    {
        std::lock_guard lock(writer->mutex);
        plain = writer->lastFrame;
    }
    recorder->stop();
    recorder->start(true, false, std::nullopt);
    ASSERT_TRUE(eventually([&] { return frames() >= 3; }));
    {
        std::lock_guard lock(writer->mutex);
        writer->times.clear();
    }
    recorder->mark({ActionMark::Kind::tap, {500, 1000}, {}, {}});
    ASSERT_TRUE(eventually([&] { return frames() >= 2; }));
    Image marked;
    {
        std::lock_guard lock(writer->mutex);
        marked = writer->lastFrame;
    }
    recorder->stop();
    // Without the overlay the tap left no trace; with it, the ring shows around the tapped point.
    auto differs = [](const Image& a, const Image& b, int x0, int y0, int radius) {
        int count = 0;
        for (int y = y0 - radius; y <= y0 + radius; ++y)
            for (int x = x0 - radius; x <= x0 + radius; ++x)
                count += std::memcmp(a.row(y) + 4 * x, b.row(y) + 4 * x, 3) != 0;
        return count;
    };
    EXPECT_GT(differs(plain, marked, 500, 1000, 60), 100);
}

TEST_F(RecorderTest, SoundGoesInOnlyFromTheStartAndOnlyWithAnAudioTrack) {
    withScreen();
    auto file = recorder->start(true, true, std::nullopt);
    const bool audio = capture.offersAudio();
    EXPECT_EQ(writer->settings.audio, audio);
    EXPECT_TRUE(logged("recorder: started " + file.filename().string() + " (1178x2556, full, overlay true, audio " +
                       (audio ? "true" : "false") + ")"));
    if (audio) {
        ASSERT_TRUE(eventually([&] {
            std::lock_guard lock(writer->mutex);
            return writer->soundAt.size() >= 2;
        }));
    }
    recorder->stop();
    std::lock_guard lock(writer->mutex);
    for (double at : writer->soundAt)
        EXPECT_GE(at, 0);
}
