// Choosing a capture mode, finding capture devices in sysfs and playing their sound back; reading pictures
// and sound through FFmpeg from files and test sources, as a capture device gives them.
#include "platform/Capture.hpp"
#include "platform/linux/AudioPlayback.hpp"
#include "platform/linux/FFmpegAudio.hpp"
#include "platform/linux/FFmpegCaptureModes.hpp"
#include "platform/linux/FFmpegCaptureSession.hpp"
#include "platform/linux/FFmpegVideo.hpp"
#include "platform/linux/UdevDevices.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(LinuxCaptureModes, TheLargestUsualModeUpTo1080pWinsAndWithoutDevicesNoneAreFoundAndOpeningSaysWhy) {
    using ffmpeg::PixelCoding;
    const auto mjpeg = PixelCoding::mjpeg, yuyv = PixelCoding::yuyv;
    using Options = std::vector<std::pair<std::string, std::string>>;
    const std::pair<std::vector<ffmpeg::CaptureMode>, std::optional<std::string>> cases[] = {
        {{{yuyv, 1920, 1080, {{5, 1}}}, {yuyv, 640, 480, {{60, 1}, {30, 1}}}, {mjpeg, 3840, 2160, {{30, 1}}},
          {mjpeg, 1920, 1080, {{30, 1}, {60, 1}}}, {mjpeg, 1280, 720, {{60, 1}}}},
         "mjpeg 1920x1080 60/1"},
        // Equal size and rate: the uncompressed coding.
        {{{mjpeg, 1280, 720, {{60, 1}}}, {yuyv, 1280, 720, {{60, 1}}}}, "yuyv422 1280x720 60/1"},
        // 59.94 counts as 60 and keeps its exact fraction; 60 beats 30 at the same size.
        {{{mjpeg, 1920, 1080, {{30000, 1001}, {60000, 1001}}}}, "mjpeg 1920x1080 60000/1001"},
        // A usual rate matters more than size.
        {{{yuyv, 1920, 1080, {{5, 1}}}, {mjpeg, 1280, 720, {{30, 1}}}}, "mjpeg 1280x720 30/1"},
        // Without 30 or 60: the largest mode at its fastest rate.
        {{{mjpeg, 1920, 1080, {{15, 1}, {25, 1}}}}, "mjpeg 1920x1080 25/1"},
        {{{mjpeg, 3840, 2160, {{30, 1}}}}, std::nullopt},
        {{{mjpeg, 1920, 1080, {}}}, std::nullopt},
        {{}, std::nullopt}};
    for (const auto& [modes, expected] : cases) {
        auto chosen = ffmpeg::chooseCaptureMode(modes);
        std::optional<std::string> options;
        if (chosen) {
            const Options o = ffmpeg::v4l2Options(*chosen);
            options = o.at(0).second + " " + o.at(1).second + " " + o.at(2).second;
            EXPECT_EQ(o, (Options{{"input_format", o[0].second}, {"video_size", o[1].second}, {"framerate", o[2].second}}));
        }
        EXPECT_EQ(options, expected);
    }
    EXPECT_TRUE(ffmpeg::listCaptureModes("/dev/video99").empty());

    // With nothing plugged in, the backend finds none, says why opening fails, and its device events start and stop.
    auto backend = CaptureBackend::system();
    if (!fs::exists("/sys/class/video4linux")) {
        EXPECT_TRUE(backend->devices().empty());
        EXPECT_EQ(backend->permission(), CaptureBackend::Permission::authorized);
    }
    bool granted = false;
    backend->requestPermission([&](bool ok) { granted = ok; });
    EXPECT_EQ(granted, backend->permission() == CaptureBackend::Permission::authorized);
    std::string error;
    EXPECT_EQ(backend->open({"made-up", "", "", "", "/dev/video99", false}, error), nullptr);
    EXPECT_EQ(error, "Could not open /dev/video99: No such file or directory");
    EXPECT_EQ(backend->open(CaptureDeviceInfo{}, error), nullptr);
    EXPECT_EQ(error, "The capture device  has no device node to open");

    std::atomic<int> events{0};
    if (!udev::UdevMonitor("video4linux", [&](const std::string&, const std::string&, bool) { ++events; }).listening())
        return; // udev's netlink socket cannot be opened here
    backend->setDeviceEvents([&](const std::string&, bool) { ++events; });
    backend->setDeviceEvents(nullptr);
    backend->setDeviceEvents([&](const std::string&, bool) { ++events; });
    backend.reset(); // ends the monitor thread
    EXPECT_EQ(events, 0);
}

namespace {

// A sysfs tree in a folder: a capture stick with its own sound card, a webcam with a microphone, a
// USB speaker, an Apple device and a virtual (non-USB) video device.
class LinuxCaptureSysfs : public testing::Test {
protected:
    TempFolder folder;
    udev::Roots roots{folder.path() / "sys", folder.path() / "dev"};
    const std::string pci = "devices/pci0000:00/0000:00:14.0/usb1";

    void file(const fs::path& path, const std::string& text) {
        fs::create_directories(path.parent_path());
        writeFile(path, text + "\n");
    }
    void usbDevice(const std::string& name, const std::string& vendor, const std::string& manufacturer) {
        file(roots.sys / pci / name / "idVendor", vendor);
        file(roots.sys / pci / name / "idProduct", "0001");
        file(roots.sys / pci / name / "manufacturer", manufacturer);
    }
    // A node or card under `parent`, linked from its class folder as sysfs does.
    fs::path classEntry(const fs::path& parent, const std::string& kind, const std::string& cls,
                        const std::string& name) {
        fs::create_directories(roots.sys / parent / kind / name);
        fs::create_directories(roots.sys / "class" / cls);
        fs::create_symlink(fs::path("../..") / parent / kind / name, roots.sys / "class" / cls / name);
        return roots.sys / parent / kind / name;
    }
    void videoNode(const fs::path& parent, int number, int index, const std::string& name) {
        const fs::path dir = classEntry(parent, "video4linux", "video4linux", "video" + std::to_string(number));
        file(dir / "name", name);
        file(dir / "index", std::to_string(index));
    }
    void soundCard(const fs::path& parent, int card, const std::vector<std::string>& pcms) {
        const fs::path dir = classEntry(parent, "sound", "sound", "card" + std::to_string(card));
        file(dir / "id", "Card" + std::to_string(card));
        for (const auto& pcm : pcms)
            fs::create_directories(dir / ("pcmC" + std::to_string(card) + pcm));
    }

    void SetUp() override {
        usbDevice("1-2", "534d", "MACROSILICON");
        videoNode(pci + "/1-2/1-2:1.0", 0, 0, "USB Video: USB Video");
        videoNode(pci + "/1-2/1-2:1.0", 1, 1, "USB Video: USB Video");
        soundCard(pci + "/1-2/1-2:1.3", 1, {"D0c"});
        usbDevice("1-3", "046d", "Logitech");
        videoNode(pci + "/1-3/1-3:1.0", 2, 0, "HD Webcam C615");
        soundCard(pci + "/1-3/1-3:1.2", 2, {"D1c", "D0p"});
        usbDevice("1-4", "0d8c", "C-Media");
        soundCard(pci + "/1-4/1-4:1.0", 3, {"D0p"});
        usbDevice("1-5", "05ac", "Apple Computer, Inc.");
        videoNode(pci + "/1-5/1-5:1.0", 3, 0, "iPhone");
        videoNode("devices/platform/vivid.0", 10, 0, "vivid-000-vid-cap");
        fs::create_directory_symlink("../../../vivid.0",
                                     roots.sys / "devices/platform/vivid.0/video4linux/video10/device");
    }

    // What VIDIOC_QUERYCAP would say: video1 is the stick's metadata node; the webcam cannot be opened.
    std::optional<udev::NodeCapabilities> probe(const fs::path& node) {
        static const std::map<std::string, udev::NodeCapabilities> answers = {
            {"video0", {true, "USB3.0 Capture"}},
            {"video1", {false, "USB3.0 Capture"}},
            {"video3", {true, "iPhone Screen"}},
            {"video10", {true, "vivid"}},
        };
        auto it = answers.find(node.filename().string());
        EXPECT_EQ(node.parent_path(), roots.dev);
        return it == answers.end() ? std::nullopt : std::optional(it->second);
    }
};

// What a sound output was given; it can be held up or made to fail. It outlives the player that owns the
// output.
struct SinkRecord {
    std::mutex mutex;
    std::vector<float> firstSamples;
    std::size_t written = 0;
    std::atomic<bool> entered = false, open = true, failing = false;

    bool write(const float* samples, std::size_t frames) {
        entered = true;
        while (!open)
            std::this_thread::sleep_for(1ms);
        std::lock_guard lock(mutex);
        firstSamples.push_back(samples[0]);
        written += frames;
        return !failing;
    }
    template <class T> T locked(const T& value) { std::lock_guard lock(mutex); return value; }
    std::vector<float> played() { return locked(firstSamples); }
    std::size_t writtenFrames() { return locked(written); }
};

struct RecordingSink final : AudioSink {
    explicit RecordingSink(std::shared_ptr<SinkRecord> record) : record(std::move(record)) {}
    bool write(const float* samples, std::size_t frames) override { return record->write(samples, frames); }
    std::shared_ptr<SinkRecord> record;
};

AudioBufferRef numberedBuffer(float number, std::size_t frames) {
    auto buffer = std::make_shared<AudioBuffer>();
    buffer->samples.assign(frames * 2, number);
    return buffer;
}

// Frames, sound and the errors a reader delivers, collected from its thread.
struct Collector {
    std::mutex mutex;
    std::vector<CapturedFrame> frameList;
    std::vector<AudioBufferRef> audioList;
    std::vector<std::string> errorList;
    bool gone = false;

    template <class T> T locked(const T& list) { std::lock_guard lock(mutex); return list; }
    auto frames() { return locked(frameList); }
    auto audio() { return locked(audioList); }
    auto errors() { return locked(errorList); }
    bool waitForEnd() { return eventually([&] { return !errors().empty(); }, 60s); }
    bool waitFor(std::size_t frames, std::size_t buffers = 0) {
        return eventually([&] { return this->frames().size() >= frames && audio().size() >= buffers; }, 60s);
    }
    CaptureSession::FrameHandler frameHandler() {
        return [this](const CapturedFrame& frame) { std::lock_guard lock(mutex); frameList.push_back(frame); };
    }
    CaptureSession::AudioHandler audioHandler() {
        return [this](const AudioBufferRef& buffer) { std::lock_guard lock(mutex); audioList.push_back(buffer); };
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

    fs::path make(const std::string& name, std::vector<std::string> arguments) {
        return ffmpegWrites(folder.path() / name, std::move(arguments));
    }

    std::unique_ptr<ffmpeg::VideoReader> openVideo(const ffmpeg::InputSpec& input) {
        std::string error;
        auto reader = ffmpeg::VideoReader::open(input, error);
        EXPECT_NE(reader, nullptr) << error;
        return reader;
    }

    // Reads a finite input to its end.
    std::vector<CapturedFrame> readAll(const ffmpeg::InputSpec& input) {
        auto reader = openVideo(input);
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

// All the sound a reader delivers to the end: frames, and each channel's peak and root mean square.
struct SoundSummary {
    std::size_t frames = 0;
    double peak[2] = {0, 0}, sumSquares[2] = {0, 0};
    bool shapeOK = true; // all 48 kHz stereo
    double rms(int channel) const { return frames ? std::sqrt(sumSquares[channel] / double(frames)) : 0; }
};

SoundSummary readSound(const ffmpeg::InputSpec& input) {
    std::string error;
    auto reader = ffmpeg::AudioReader::open(input, error);
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

TEST_F(LinuxCaptureSysfs, CaptureNodesAreFoundWithTheirMakerAndTheirOwnSoundAndAccessToThemDecidesPermission) {
    auto nodes = udev::findVideoNodes(roots, [this](const fs::path& node) { return probe(node); });
    ASSERT_EQ(nodes.size(), 4u);
    auto info = [&](std::size_t i) {
        const auto& n = nodes[i].info;
        return std::tuple(n.uniqueID, n.path, n.localizedName, n.manufacturer, n.modelID, n.hasAudio);
    };
    const auto dev = [&](const char* node) { return (roots.dev / node).string(); };
    EXPECT_EQ(info(0), std::tuple("/" + pci + "/1-2/1-2:1.0/video4linux/video0", dev("video0"), "USB3.0 Capture",
                                  "MACROSILICON", "", true));
    EXPECT_EQ(udev::findSoundCapture(roots, nodes[0].physicalDevice), "plughw:1,0");
    // Unopenable, but the first node of its device: listed under its sysfs name, with its own microphone.
    EXPECT_EQ(info(1), std::tuple("/" + pci + "/1-3/1-3:1.0/video4linux/video2", dev("video2"), "HD Webcam C615",
                                  "Logitech", "", true));
    EXPECT_EQ(udev::findSoundCapture(roots, nodes[1].physicalDevice), "plughw:2,1");
    // Apple's vendor number names the maker; another device's microphone is never offered.
    EXPECT_EQ(info(2), std::tuple("/" + pci + "/1-5/1-5:1.0/video4linux/video3", dev("video3"), "iPhone Screen",
                                  "Apple Inc.", "", false));
    EXPECT_EQ(info(3), std::tuple("/devices/platform/vivid.0/video4linux/video10", dev("video10"), "vivid", "", "",
                                  false));
    // A device with only a speaker has no sound to capture.
    EXPECT_EQ(udev::findSoundCapture(roots, roots.sys / pci / "1-4"), std::nullopt);

    // Access to the nodes decides permission; with no /dev nodes nothing is refused.
    EXPECT_TRUE(udev::canOpenVideoNodes(roots));
    fs::create_directories(roots.dev);
    for (const char* name : {"video0", "video2"}) {
        writeFile(roots.dev / name, "");
        fs::permissions(roots.dev / name, fs::perms::none);
    }
    // Root opens anything; anyone else is refused a node nobody may open.
    EXPECT_EQ(udev::canOpenVideoNodes(roots), ::geteuid() == 0);
    fs::permissions(roots.dev / "video2", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(udev::canOpenVideoNodes(roots));
}

TEST(LinuxAudioPlayback, BuffersArePlayedInOrderTheOldestGoWhenTheOutputFallsBehindAndFailuresAreReported) {
    auto recorder = std::make_shared<SinkRecord>();
    recorder->open = false;
    {
        AudioPlayback playback(std::make_unique<RecordingSink>(recorder));
        playback.play(numberedBuffer(0, 4800));
        ASSERT_TRUE(eventually([&] { return recorder->entered.load(); }, 60s));
        // Almost a second of sound queued behind a stuck output: only the newest half second stays.
        for (int i = 1; i < 10; ++i)
            playback.play(numberedBuffer(float(i), 4800));
        playback.play(nullptr);
        playback.play(numberedBuffer(99, 0));
        recorder->open = true;
        playback.play(numberedBuffer(10, 4800));
        ASSERT_TRUE(eventually([&] { return !recorder->played().empty() && recorder->played().back() == 10; }, 60s));
        EXPECT_TRUE(playback.healthy());
    }
    // The first buffer was already at the output when it stalled.
    std::vector<float> played = recorder->played();
    ASSERT_GE(played.size(), 6u);
    EXPECT_EQ(played.front(), 0.0f);
    EXPECT_EQ(played.back(), 10.0f);
    EXPECT_LE(recorder->writtenFrames(), 7u * 4800);
    EXPECT_EQ(std::count_if(played.begin(), played.end(), [](float n) { return n >= 1 && n <= 4; }), 0);
    for (std::size_t i = 1; i < played.size(); ++i)
        EXPECT_LT(played[i - 1], played[i]);

    // A failed output is reported and takes no more.
    auto failing = std::make_shared<SinkRecord>();
    failing->failing = true;
    AudioPlayback playback(std::make_unique<RecordingSink>(failing));
    playback.play(numberedBuffer(1, 480));
    EXPECT_TRUE(eventually([&] { return !playback.healthy(); }, 10s));
    playback.play(numberedBuffer(2, 480));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(failing->writtenFrames(), 480u);
}

TEST(LinuxAudioPlayback, WithoutAServerOrASoundCardThereIsNoOutput) {
    if (std::getenv("PULSE_SERVER") != nullptr || fs::exists("/dev/snd"))
        GTEST_SKIP() << "this computer may have a sound output";
    std::string problem, pulseReason, alsaReason;
    EXPECT_EQ(AudioPlayback::open(problem), nullptr);
    EXPECT_EQ(openPulseSink(pulseReason), nullptr);
    EXPECT_EQ(openAlsaSink(alsaReason), nullptr);
    EXPECT_EQ(problem, "There is no sound output on this computer: no PulseAudio or PipeWire server answered (" +
                           pulseReason + ") and ALSA's default device could not be opened (" + alsaReason + ").");
}

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
        const auto& image = *frames[i].image;
        EXPECT_EQ(std::tuple(image.width(), image.height(), image.format()),
                  std::tuple(i < 3 ? 320 : 640, i < 3 ? 240 : 360, Image::Format::bgra)) << i;
        EXPECT_GE(frames[i].time, frames[i ? i - 1 : 0].time);
    }
    // The test source's counter changes the picture from frame to frame.
    EXPECT_NE(std::memcmp(frames[3].image->data(), frames[32].image->data(), frames[3].image->byteCount()), 0);
}

TEST_F(LinuxCaptureFiles, BarColoursSurviveMJPEGAndRawYUYVAndAPhoneWidePlanarPictureIsConvertedToItsLastColumnAndRow) {
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
TEST_F(LinuxCaptureFiles, StopEndsAnEndlessSourceAndNoHandlerRunsAfterItAndBadInputsFailWithTheReason) {
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

TEST_F(LinuxCaptureFiles, SoundBecomes48kHzStereoAndASessionDeliversPicturesAndSoundOrRefusesASoundOutputWithoutIt) {
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
