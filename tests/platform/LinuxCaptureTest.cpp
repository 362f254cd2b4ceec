// Reading pictures and sound through FFmpeg from files and test sources, as a capture device gives them.
#include "platform/Capture.hpp"
#include "platform/linux/FFmpegAudio.hpp"
#include "platform/linux/FFmpegCaptureSession.hpp"
#include "platform/linux/FFmpegVideo.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Frames, sound and the one error a reader delivers, collected from its thread.
class Collector {
public:
    void frame(const CapturedFrame& frame) {
        std::lock_guard lock(mutex_);
        frames_.push_back(frame);
        changed_.notify_all();
    }
    void audio(const AudioBufferRef& buffer) {
        std::lock_guard lock(mutex_);
        audio_.push_back(buffer);
        changed_.notify_all();
    }
    void error(const std::string& text, bool gone) {
        std::lock_guard lock(mutex_);
        errors_.push_back(text);
        gone_ = gone;
        changed_.notify_all();
    }
    bool waitForEnd() {
        return waitUntil([&] { return !errors_.empty(); });
    }
    bool waitForFrames(std::size_t count) {
        return waitUntil([&] { return frames_.size() >= count; });
    }
    bool waitForAudio(std::size_t count) {
        return waitUntil([&] { return audio_.size() >= count; });
    }
    std::vector<CapturedFrame> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    std::vector<AudioBufferRef> audio() {
        std::lock_guard lock(mutex_);
        return audio_;
    }
    std::vector<std::string> errors() {
        std::lock_guard lock(mutex_);
        return errors_;
    }
    bool gone() {
        std::lock_guard lock(mutex_);
        return gone_;
    }

    CaptureSession::FrameHandler frameHandler() {
        return [this](const CapturedFrame& f) { frame(f); };
    }
    CaptureSession::AudioHandler audioHandler() {
        return [this](const AudioBufferRef& b) { audio(b); };
    }
    CaptureSession::ErrorHandler errorHandler() {
        return [this](const std::string& text, bool gone) { error(text, gone); };
    }

private:
    template <class Condition> bool waitUntil(Condition condition) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 60s, condition);
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<CapturedFrame> frames_;
    std::vector<AudioBufferRef> audio_;
    std::vector<std::string> errors_;
    bool gone_ = false;
};

struct Colour {
    int b, g, r, a;
};

Colour pixel(const Image& image, int x, int y) {
    const std::uint8_t* p = image.row(y) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

// The seven upper bars of the SMPTE test source, left to right, as red, green, blue.
const int barColours[7][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                              {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};

void expectBars(const Image& image, int tolerance) {
    for (int bar = 0; bar < 7; ++bar) {
        int x = static_cast<int>((bar + 0.5) * image.width() / 7);
        Colour c = pixel(image, x, image.height() / 4);
        EXPECT_NEAR(c.r, barColours[bar][0], tolerance) << "bar " << bar;
        EXPECT_NEAR(c.g, barColours[bar][1], tolerance) << "bar " << bar;
        EXPECT_NEAR(c.b, barColours[bar][2], tolerance) << "bar " << bar;
        EXPECT_EQ(c.a, 255);
    }
}

class LinuxCaptureFiles : public testing::Test {
protected:
    TempFolder folder;

    // Writes `name` with the ffmpeg command line from the given input and output arguments.
    fs::path make(const std::string& name, std::vector<std::string> arguments) {
        fs::path out = folder.path() / name;
        arguments.insert(arguments.begin(), {"/usr/bin/ffmpeg", "-hide_banner", "-loglevel", "error", "-y"});
        arguments.push_back(out.string());
        Child ffmpeg(arguments);
        auto status = ffmpeg.wait(60s);
        EXPECT_EQ(status, 0) << ffmpeg.errors();
        return out;
    }

    std::unique_ptr<ffmpeg::VideoReader> openVideo(const ffmpeg::InputSpec& spec) {
        std::string error;
        auto reader = ffmpeg::VideoReader::open(spec, error);
        EXPECT_NE(reader, nullptr) << error;
        return reader;
    }

    // Reads a finite input to its end.
    std::vector<CapturedFrame> readAll(const ffmpeg::InputSpec& spec, Collector& collector) {
        auto reader = openVideo(spec);
        if (!reader)
            return {};
        reader->start(collector.frameHandler(), collector.errorHandler());
        EXPECT_TRUE(collector.waitForEnd());
        reader->stop();
        EXPECT_EQ(collector.errors(), std::vector<std::string>{"End of file"});
        EXPECT_FALSE(collector.gone());
        return collector.frames();
    }
};

} // namespace

TEST_F(LinuxCaptureFiles, AnMJPEGFileGivesEveryFrameAtItsSizeInOrder) {
    fs::path file = make("testsrc.avi",
                         {"-f", "lavfi", "-i", "testsrc=size=640x360:rate=30", "-t", "1", "-c:v", "mjpeg"});
    Collector collector;
    auto frames = readAll({"avi", file.string(), {}}, collector);
    ASSERT_EQ(frames.size(), 30u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_NE(frames[i].image, nullptr);
        EXPECT_EQ(frames[i].image->width(), 640);
        EXPECT_EQ(frames[i].image->height(), 360);
        EXPECT_EQ(frames[i].image->format(), Image::Format::bgra);
        if (i > 0) {
            EXPECT_GE(frames[i].time, frames[i - 1].time);
        }
    }
    // The test source's counter changes the picture from frame to frame.
    EXPECT_NE(std::memcmp(frames[0].image->data(), frames[29].image->data(), frames[0].image->byteCount()),
              0);
}

TEST_F(LinuxCaptureFiles, BarColoursSurviveMJPEGAndRawYUYV) {
    fs::path mjpeg = make("bars.avi", {"-f", "lavfi", "-i", "smptebars=size=640x360:rate=30", "-frames:v",
                                       "2", "-c:v", "mjpeg", "-q:v", "2"});
    fs::path yuyv = make("bars.yuv", {"-f", "lavfi", "-i", "smptebars=size=640x360:rate=30", "-frames:v", "2",
                                      "-f", "rawvideo", "-pix_fmt", "yuyv422"});
    Collector fromMJPEG, fromYUYV;
    auto compressed = readAll({"avi", mjpeg.string(), {}}, fromMJPEG);
    auto raw = readAll({"rawvideo",
                        yuyv.string(),
                        {{"video_size", "640x360"}, {"pixel_format", "yuyv422"}, {"framerate", "30"}}},
                       fromYUYV);
    ASSERT_EQ(compressed.size(), 2u);
    ASSERT_EQ(raw.size(), 2u);
    expectBars(*compressed[0].image, 12);
    expectBars(*raw[0].image, 4);
}

TEST_F(LinuxCaptureFiles, APhoneWidePlanarPictureIsConvertedToItsLastColumnAndRow) {
    // A phone's width made even, as 4:2:0 needs; not a multiple of 16, where libswscale's fast paths overrun.
    for (const char* format : {"yuv420p", "yuv422p"}) {
        fs::path raw =
            make(std::string(format) + ".yuv", {"-f", "lavfi", "-i", "color=c=0x336699:size=1178x64",
                                                "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", format});
        Collector collector;
        auto frames = readAll(
            {"rawvideo", raw.string(), {{"video_size", "1178x64"}, {"pixel_format", format}}}, collector);
        ASSERT_EQ(frames.size(), 1u) << format;
        const Image& image = *frames[0].image;
        auto expectColour = [&](int x, int y) {
            Colour c = pixel(image, x, y);
            EXPECT_TRUE(std::abs(c.r - 0x33) <= 3 && std::abs(c.g - 0x66) <= 3 && std::abs(c.b - 0x99) <= 3)
                << format << " at " << x << "," << y << ": " << c.r << " " << c.g << " " << c.b;
        };
        for (int y = 0; y < image.height(); ++y)
            expectColour(image.width() - 1, y);
        for (int x = 0; x < image.width(); ++x)
            expectColour(x, image.height() - 1);
    }
}

TEST_F(LinuxCaptureFiles, ASizeChangeMidStreamIsDeliveredAtTheNewSize) {
    fs::path small = make("small.mjpeg", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=30", "-frames:v",
                                          "3", "-f", "mjpeg"});
    fs::path large = make("large.mjpeg", {"-f", "lavfi", "-i", "testsrc=size=640x360:rate=30", "-frames:v",
                                          "3", "-f", "mjpeg"});
    fs::path joined = folder.path() / "joined.mjpeg";
    writeFile(joined, readFile(small) + readFile(large));
    Collector collector;
    auto frames = readAll({"mjpeg", joined.string(), {}}, collector);
    std::vector<std::pair<int, int>> sizes;
    for (const auto& frame : frames)
        sizes.emplace_back(frame.image->width(), frame.image->height());
    EXPECT_EQ(sizes, (std::vector<std::pair<int, int>>{
                         {320, 240}, {320, 240}, {320, 240}, {640, 360}, {640, 360}, {640, 360}}));
}

TEST_F(LinuxCaptureFiles, StopEndsAnEndlessSourceAndNoHandlerRunsAfterIt) {
    auto reader = openVideo({"lavfi", "testsrc=size=320x240:rate=30", {}});
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->width(), 320);
    Collector collector;
    reader->start(collector.frameHandler(), collector.errorHandler());
    ASSERT_TRUE(collector.waitForFrames(5));
    reader->stop();
    std::size_t delivered = collector.frames().size();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(collector.frames().size(), delivered);
    EXPECT_TRUE(collector.errors().empty());

    // The same reader starts again where it stopped.
    reader->start(collector.frameHandler(), collector.errorHandler());
    ASSERT_TRUE(collector.waitForFrames(delivered + 5));
    reader.reset();
    delivered = collector.frames().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(collector.frames().size(), delivered);
}

TEST_F(LinuxCaptureFiles, StopFromInsideTheHandlerEndsDeliveryAtOnce) {
    auto reader = openVideo({"lavfi", "testsrc=size=160x120:rate=30", {}});
    ASSERT_NE(reader, nullptr);
    std::mutex mutex;
    std::condition_variable stopped;
    int calls = 0;
    reader->start(
        [&](const CapturedFrame&) {
            std::lock_guard lock(mutex);
            if (++calls == 3) {
                reader->stop();
                stopped.notify_all();
            }
        },
        [](const std::string&, bool) { ADD_FAILURE() << "no error expected"; });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(stopped.wait_for(lock, 60s, [&] { return calls >= 3; }));
    }
    std::this_thread::sleep_for(200ms);
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, 3);
}

TEST_F(LinuxCaptureFiles, BadInputsFailWithTheReason) {
    std::string error;
    fs::path missing = folder.path() / "missing.avi";
    EXPECT_EQ(ffmpeg::VideoReader::open({"avi", missing.string(), {}}, error), nullptr);
    EXPECT_EQ(error, "Could not open " + missing.string() + ": No such file or directory");

    EXPECT_EQ(ffmpeg::VideoReader::open({"nosuchformat", "x", {}}, error), nullptr);
    EXPECT_EQ(error, "Unknown input format nosuchformat");

    fs::path garbage = folder.path() / "garbage.avi";
    writeFile(garbage, std::string(4096, '\x5a'));
    EXPECT_EQ(ffmpeg::VideoReader::open({"avi", garbage.string(), {}}, error), nullptr);
    EXPECT_EQ(error, "Could not open " + garbage.string() + ": Invalid data found when processing input");

    fs::path video =
        make("video.avi", {"-f", "lavfi", "-i", "testsrc=size=64x64:rate=5", "-t", "1", "-c:v", "mjpeg"});
    EXPECT_EQ(ffmpeg::AudioReader::open({"avi", video.string(), {}}, error), nullptr);
    EXPECT_EQ(error, "No audio stream in " + video.string());

    EXPECT_EQ(ffmpeg::VideoReader::open({"v4l2", "/dev/video99", {}}, error), nullptr);
    EXPECT_EQ(error, "Could not open /dev/video99: No such file or directory");
}

namespace {

struct SoundSummary {
    std::size_t frames = 0;
    double peak[2] = {0, 0};
    double sumSquares[2] = {0, 0};
    bool shapeOK = true;
    double rms(int channel) const { return frames ? std::sqrt(sumSquares[channel] / double(frames)) : 0; }
};

SoundSummary summarise(const std::vector<AudioBufferRef>& buffers) {
    SoundSummary summary;
    for (const auto& buffer : buffers) {
        summary.shapeOK = summary.shapeOK && buffer->sampleRate == 48000 && buffer->channels == 2 &&
                          buffer->samples.size() % 2 == 0;
        for (std::size_t i = 0; i + 1 < buffer->samples.size(); i += 2) {
            for (int c = 0; c < 2; ++c) {
                double s = buffer->samples[i + static_cast<std::size_t>(c)];
                summary.peak[c] = std::max(summary.peak[c], std::fabs(s));
                summary.sumSquares[c] += s * s;
            }
        }
        summary.frames += buffer->frames();
    }
    return summary;
}

SoundSummary readSound(const ffmpeg::InputSpec& spec) {
    std::string error;
    auto reader = ffmpeg::AudioReader::open(spec, error);
    EXPECT_NE(reader, nullptr) << error;
    if (!reader)
        return {};
    Collector collector;
    reader->start(collector.audioHandler(), collector.errorHandler());
    EXPECT_TRUE(collector.waitForEnd());
    reader->stop();
    EXPECT_EQ(collector.errors(), std::vector<std::string>{"End of file"});
    return summarise(collector.audio());
}

} // namespace

TEST_F(LinuxCaptureFiles, SoundBecomes48kHzStereoWithMonoAtFullLevelAndStereoOnItsSides) {
    // The sine source's amplitude is 1/8.
    fs::path mono = make("sine.wav", {"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=44100", "-t", "1",
                                      "-ac", "1", "-c:a", "pcm_s16le"});
    SoundSummary sound = readSound({"wav", mono.string(), {}});
    EXPECT_TRUE(sound.shapeOK);
    EXPECT_NEAR(double(sound.frames), 48000.0, 200.0);
    for (int c = 0; c < 2; ++c) {
        EXPECT_NEAR(sound.peak[c], 0.125, 0.005) << "channel " << c;
        EXPECT_NEAR(sound.rms(c), 0.125 / std::sqrt(2.0), 0.003) << "channel " << c;
    }

    fs::path left = make("left.wav", {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-f",
                                      "lavfi", "-i", "anullsrc=r=48000:cl=mono", "-filter_complex",
                                      "[0:a][1:a]amerge=inputs=2", "-t", "1", "-c:a", "pcm_f32le"});
    sound = readSound({"wav", left.string(), {}});
    EXPECT_TRUE(sound.shapeOK);
    EXPECT_NEAR(double(sound.frames), 48000.0, 50.0);
    EXPECT_NEAR(sound.peak[0], 0.125, 0.002);
    EXPECT_EQ(sound.peak[1], 0.0);
}

TEST_F(LinuxCaptureFiles, ASessionDeliversPicturesAndSoundButHasNoOutputToPlayOn) {
    fs::path wav = make("session.wav", {"-f", "lavfi", "-i", "sine=frequency=500:sample_rate=48000", "-t",
                                        "2", "-ac", "2", "-c:a", "pcm_s16le"});
    std::string error;
    auto video = ffmpeg::VideoReader::open({"lavfi", "smptebars=size=320x180:rate=30", {}}, error);
    ASSERT_NE(video, nullptr) << error;
    ffmpeg::CaptureSessionImpl session(std::move(video), ffmpeg::InputSpec{"wav", wav.string(), {}});
    EXPECT_TRUE(session.offersAudio());
    EXPECT_FALSE(session.hasAudioOutput());
    Collector collector;
    session.start(collector.frameHandler(), collector.errorHandler());
    ASSERT_TRUE(session.setAudioOutput(collector.audioHandler()));
    EXPECT_TRUE(session.hasAudioOutput());
    ASSERT_TRUE(collector.waitForFrames(3));
    ASSERT_TRUE(collector.waitForAudio(3));
    expectBars(*collector.frames()[0].image, 4);

    // This machine has no sound server and no sound card.
    if (std::getenv("PULSE_SERVER") == nullptr && !fs::exists("/dev/snd")) {
        EXPECT_FALSE(session.setPlayback(true));
        EXPECT_FALSE(session.hasPlayback());
        std::string problem = session.playbackProblem();
        EXPECT_EQ(problem.rfind("There is no sound output on this computer: no PulseAudio or PipeWire server "
                                "answered (",
                                0),
                  0u)
            << problem;
        EXPECT_NE(problem.find(") and ALSA's default device could not be opened ("), std::string::npos)
            << problem;
        EXPECT_EQ(problem.back(), '.');
    }
    EXPECT_TRUE(session.setPlayback(false));

    ASSERT_TRUE(session.setAudioOutput(nullptr));
    EXPECT_FALSE(session.hasAudioOutput());
    std::size_t buffers = collector.audio().size();
    session.stop();
    std::size_t frames = collector.frames().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(collector.audio().size(), buffers);
    EXPECT_EQ(collector.frames().size(), frames);
}

TEST_F(LinuxCaptureFiles, ASessionWithoutSoundRefusesAnAudioOutput) {
    std::string error;
    auto video = ffmpeg::VideoReader::open({"lavfi", "testsrc=size=64x64:rate=5", {}}, error);
    ASSERT_NE(video, nullptr) << error;
    ffmpeg::CaptureSessionImpl session(std::move(video), std::nullopt);
    EXPECT_FALSE(session.offersAudio());
    EXPECT_FALSE(session.setAudioOutput([](const AudioBufferRef&) {}));
    EXPECT_FALSE(session.hasAudioOutput());
}
