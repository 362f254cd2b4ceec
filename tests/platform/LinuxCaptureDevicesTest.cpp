// Choosing a capture mode, finding capture devices in sysfs, and playing their sound back.
#include "platform/Capture.hpp"
#include "platform/linux/AudioPlayback.hpp"
#include "platform/linux/FFmpegCaptureModes.hpp"
#include "platform/linux/UdevDevices.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The largest usual mode up to 1080p wins; ties, rates and odd devices are settled sensibly. Nothing that
// fits, or nothing at all, leaves the device's own default.
TEST(LinuxCaptureModes, TheLargestUsualModeUpTo1080pWins) {
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

} // namespace

TEST_F(LinuxCaptureSysfs, CaptureNodesAreFoundWithTheirMakerAndTheirOwnSound) {
    auto nodes = udev::findVideoNodes(roots, [this](const fs::path& node) { return probe(node); });
    ASSERT_EQ(nodes.size(), 4u);
    const auto& stick = nodes[0].info;
    EXPECT_EQ(stick.uniqueID, "/" + pci + "/1-2/1-2:1.0/video4linux/video0");
    EXPECT_EQ(stick.path, (roots.dev / "video0").string());
    EXPECT_EQ(stick.localizedName, "USB3.0 Capture");
    EXPECT_EQ(stick.manufacturer, "MACROSILICON");
    EXPECT_EQ(stick.modelID, "");
    EXPECT_TRUE(stick.hasAudio);
    EXPECT_EQ(udev::findSoundCapture(roots, nodes[0].physicalDevice), "plughw:1,0");

    // Unopenable, but the first node of its device: listed under its sysfs name, with its own microphone.
    const auto& webcam = nodes[1].info;
    EXPECT_EQ(webcam.path, (roots.dev / "video2").string());
    EXPECT_EQ(webcam.localizedName, "HD Webcam C615");
    EXPECT_EQ(webcam.manufacturer, "Logitech");
    EXPECT_EQ(udev::findSoundCapture(roots, nodes[1].physicalDevice), "plughw:2,1");

    // Apple's vendor number names the maker; another device's microphone is never offered.
    EXPECT_EQ(nodes[2].info.manufacturer, "Apple Inc.");
    EXPECT_EQ(nodes[2].info.localizedName, "iPhone Screen");
    EXPECT_FALSE(nodes[2].info.hasAudio);

    EXPECT_EQ(nodes[3].info.uniqueID, "/devices/platform/vivid.0/video4linux/video10");
    EXPECT_EQ(nodes[3].info.manufacturer, "");
    EXPECT_FALSE(nodes[3].info.hasAudio);

    // A device with only a speaker has no sound to capture.
    EXPECT_EQ(udev::findSoundCapture(roots, roots.sys / pci / "1-4"), std::nullopt);
}

TEST_F(LinuxCaptureSysfs, AccessToTheNodesDecidesPermission) {
    EXPECT_TRUE(udev::canOpenVideoNodes(roots)); // no /dev nodes: nothing is refused
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

// With nothing plugged in, the backend finds none, says why opening fails, and its device events start and stop.
TEST(LinuxCaptureBackend, OnAMachineWithoutDevicesItFindsNoneAndSaysWhyOpeningFails) {
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
    template <class T> T locked(const T& value) {
        std::lock_guard lock(mutex);
        return value;
    }
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

} // namespace

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
