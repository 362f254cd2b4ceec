// Reading pictures and sound through FFmpeg from files and test sources, as a capture device gives them.
#include "platform/Capture.hpp"
#include "platform/linux/FFmpegAudio.hpp"
#include "platform/linux/FFmpegCaptureSession.hpp"
#include "platform/linux/FFmpegVideo.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Frames, sound and the errors a reader delivers, collected from its thread.
struct Collector {
    std::mutex mutex;
    std::vector<CapturedFrame> frameList;
    std::vector<AudioBufferRef> audioList;
    std::vector<std::string> errorList;
    bool gone = false;

    template <class T> T locked(const T& list) {
        std::lock_guard lock(mutex);
        return list;
    }
    auto frames() { return locked(frameList); }
    auto audio() { return locked(audioList); }
    auto errors() { return locked(errorList); }
    bool waitForEnd() { return eventually([&] { return !errors().empty(); }, 60s); }
    bool waitFor(std::size_t frames, std::size_t buffers = 0) {
        return eventually([&] { return this->frames().size() >= frames && audio().size() >= buffers; }, 60s);
    }
    CaptureSession::FrameHandler frameHandler() {
        return [this](const CapturedFrame& frame) {
            std::lock_guard lock(mutex);
            frameList.push_back(frame);
        };
    }
    CaptureSession::AudioHandler audioHandler() {
        return [this](const AudioBufferRef& buffer) {
            std::lock_guard lock(mutex);
            audioList.push_back(buffer);
        };
    }
    CaptureSession::ErrorHandler errorHandler() {
        return [this](const std::string& text, bool deviceGone) {
            std::lock_guard lock(mutex);
            errorList.push_back(text);
            gone = deviceGone;
        };
    }
};

// The seven upper bars of the SMPTE test source, left to right, as red, green, blue.
void expectBars(const Image& image, int tolerance) {
    const int bars[7][3] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                            {191, 0, 191},   {191, 0, 0},   {0, 0, 191}};
    for (int bar = 0; bar < 7; ++bar) {
        const std::uint8_t* p = image.row(image.height() / 4) + 4 * static_cast<int>((bar + 0.5) * image.width() / 7);
        EXPECT_NEAR(p[2], bars[bar][0], tolerance) << "bar " << bar;
        EXPECT_NEAR(p[1], bars[bar][1], tolerance) << "bar " << bar;
        EXPECT_NEAR(p[0], bars[bar][2], tolerance) << "bar " << bar;
        EXPECT_EQ(p[3], 255);
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
        EXPECT_EQ(ffmpeg.wait(60s), 0) << ffmpeg.errors();
        return out;
    }

    std::unique_ptr<ffmpeg::VideoReader> openVideo(const ffmpeg::InputSpec& spec) {
        std::string error;
        auto reader = ffmpeg::VideoReader::open(spec, error);
        EXPECT_NE(reader, nullptr) << error;
        return reader;
    }

    // Reads a finite input to its end.
    std::vector<CapturedFrame> readAll(const ffmpeg::InputSpec& spec) {
        auto reader = openVideo(spec);
        if (!reader)
            return {};
        Collector collector;
        reader->start(collector.frameHandler(), collector.errorHandler());
        EXPECT_TRUE(collector.waitForEnd());
        reader->stop();
        EXPECT_EQ(collector.errors(), std::vector<std::string>{"End of file"});
        EXPECT_FALSE(collector.gone);
        return collector.frames();
    }
};

} // namespace

// Every frame in order at its size, also when the size changes mid-stream.
TEST_F(LinuxCaptureFiles, AnMJPEGStreamGivesEveryFrameAtItsSizeInOrder) {
    fs::path small = make("small.mjpeg", {"-f", "lavfi", "-i", "testsrc=size=320x240:rate=30", "-frames:v", "3",
                                          "-f", "mjpeg"});
    fs::path large = make("large.mjpeg", {"-f", "lavfi", "-i", "testsrc=size=640x360:rate=30", "-frames:v", "30",
                                          "-f", "mjpeg"});
    writeFile(folder.path() / "joined.mjpeg", readFile(small) + readFile(large));
    auto frames = readAll({"mjpeg", (folder.path() / "joined.mjpeg").string(), {}});
    ASSERT_EQ(frames.size(), 33u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_NE(frames[i].image, nullptr);
        EXPECT_EQ(frames[i].image->width(), i < 3 ? 320 : 640) << i;
        EXPECT_EQ(frames[i].image->height(), i < 3 ? 240 : 360) << i;
        EXPECT_EQ(frames[i].image->format(), Image::Format::bgra);
        EXPECT_GE(frames[i].time, frames[i ? i - 1 : 0].time);
    }
    // The test source's counter changes the picture from frame to frame.
    EXPECT_NE(std::memcmp(frames[3].image->data(), frames[32].image->data(), frames[3].image->byteCount()), 0);
}

TEST_F(LinuxCaptureFiles, BarColoursSurviveMJPEGAndRawYUYV) {
    const std::string bars = "smptebars=size=640x360:rate=30";
    auto compressed = readAll(
        {"avi", make("bars.avi", {"-f", "lavfi", "-i", bars, "-frames:v", "2", "-c:v", "mjpeg", "-q:v", "2"}).string(), {}});
    auto raw = readAll({"rawvideo",
                        make("bars.yuv", {"-f", "lavfi", "-i", bars, "-frames:v", "2", "-f", "rawvideo", "-pix_fmt",
                                          "yuyv422"}).string(),
                        {{"video_size", "640x360"}, {"pixel_format", "yuyv422"}, {"framerate", "30"}}});
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
        auto frames = readAll({"rawvideo", raw.string(), {{"video_size", "1178x64"}, {"pixel_format", format}}});
        ASSERT_EQ(frames.size(), 1u) << format;
        const Image& image = *frames[0].image;
        auto expectColour = [&](int x, int y) {
            const std::uint8_t* c = image.row(y) + 4 * x;
            EXPECT_TRUE(std::abs(c[2] - 0x33) <= 3 && std::abs(c[1] - 0x66) <= 3 && std::abs(c[0] - 0x99) <= 3)
                << format << " at " << x << "," << y << ": " << int(c[2]) << " " << int(c[1]) << " " << int(c[0]);
        };
        for (int y = 0; y < image.height(); ++y)
            expectColour(image.width() - 1, y);
        for (int x = 0; x < image.width(); ++x)
            expectColour(x, image.height() - 1);
    }
}

// Stop ends an endless source and no handler runs after it; the same reader starts again where it stopped,
// may be stopped from inside its handler, and ends when it goes.
TEST_F(LinuxCaptureFiles, StopEndsAnEndlessSourceAndNoHandlerRunsAfterIt) {
    auto reader = openVideo({"lavfi", "testsrc=size=320x240:rate=30", {}});
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->width(), 320);
    Collector collector;
    reader->start(collector.frameHandler(), collector.errorHandler());
    ASSERT_TRUE(collector.waitFor(5));
    reader->stop();
    std::size_t delivered = collector.frames().size();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(collector.frames().size(), delivered);

    std::atomic<int> calls = 0;
    reader->start([&](const CapturedFrame&) { ++calls == 3 ? reader->stop() : void(); }, collector.errorHandler());
    ASSERT_TRUE(eventually([&] { return calls >= 3; }, 60s));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(calls, 3);

    reader->start(collector.frameHandler(), collector.errorHandler());
    ASSERT_TRUE(collector.waitFor(delivered + 5));
    reader.reset();
    delivered = collector.frames().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(collector.frames().size(), delivered);
    EXPECT_TRUE(collector.errors().empty());
}

TEST_F(LinuxCaptureFiles, BadInputsFailWithTheReason) {
    const std::string missing = (folder.path() / "missing.avi").string(), garbage = (folder.path() / "garbage.avi").string();
    writeFile(garbage, std::string(4096, '\x5a'));
    const std::string video =
        make("video.avi", {"-f", "lavfi", "-i", "testsrc=size=64x64:rate=5", "-t", "1", "-c:v", "mjpeg"}).string();
    const std::pair<ffmpeg::InputSpec, std::string> cases[] = {
        {{"avi", missing, {}}, "Could not open " + missing + ": No such file or directory"},
        {{"nosuchformat", "x", {}}, "Unknown input format nosuchformat"},
        {{"avi", garbage, {}}, "Could not open " + garbage + ": Invalid data found when processing input"},
        {{"v4l2", "/dev/video99", {}}, "Could not open /dev/video99: No such file or directory"}};
    std::string error;
    for (const auto& [input, reason] : cases) {
        EXPECT_EQ(ffmpeg::VideoReader::open(input, error), nullptr) << reason;
        EXPECT_EQ(error, reason);
    }
    EXPECT_EQ(ffmpeg::AudioReader::open({"avi", video, {}}, error), nullptr);
    EXPECT_EQ(error, "No audio stream in " + video);
}
namespace {

// All the sound a reader delivers to the end: frames, and each channel's peak and root mean square.
struct SoundSummary {
    std::size_t frames = 0;
    double peak[2] = {0, 0}, sumSquares[2] = {0, 0};
    bool shapeOK = true; // all 48 kHz stereo
    double rms(int channel) const { return frames ? std::sqrt(sumSquares[channel] / double(frames)) : 0; }
};

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
    SoundSummary summary;
    for (const auto& buffer : collector.audio()) {
        summary.shapeOK = summary.shapeOK && buffer->sampleRate == 48000 && buffer->channels == 2 &&
                          buffer->samples.size() % 2 == 0;
        for (std::size_t i = 0; i < buffer->samples.size(); ++i) {
            const double sample = buffer->samples[i];
            summary.peak[i % 2] = std::max(summary.peak[i % 2], std::fabs(sample));
            summary.sumSquares[i % 2] += sample * sample;
        }
        summary.frames += buffer->frames();
    }
    return summary;
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

// A session delivers pictures and sound, and stops both; one without sound refuses an audio output.
TEST_F(LinuxCaptureFiles, ASessionDeliversPicturesAndSoundAndOneWithoutSoundRefusesAnOutput) {
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
    ASSERT_TRUE(collector.waitFor(3));
    expectBars(*collector.frames()[0].image, 4);
    EXPECT_TRUE(session.setPlayback(false));
    ASSERT_TRUE(session.setAudioOutput(nullptr));
    EXPECT_FALSE(session.hasAudioOutput());
    std::size_t buffers = collector.audio().size();
    session.stop();
    std::size_t frames = collector.frames().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(collector.audio().size(), buffers);
    EXPECT_EQ(collector.frames().size(), frames);

    ffmpeg::CaptureSessionImpl silent(ffmpeg::VideoReader::open({"lavfi", "testsrc=size=64x64:rate=5", {}}, error),
                                      std::nullopt);
    EXPECT_FALSE(silent.offersAudio());
    EXPECT_FALSE(silent.setAudioOutput([](const AudioBufferRef&) {}));
    EXPECT_FALSE(silent.hasAudioOutput());
}
