// Movies written as H.264 and AAC in MPEG-4, also when the disk fills or the writer is killed.
#include "platform/MovieWriter.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace pokescope;
using json = nlohmann::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t tick = MovieWriter::kTimeScale / 30; // one frame at 30 per second, in 1/600 s

// A frame that differs from the next (a moving bar over a gradient, with as much random grain as asked),
// so the encoder has something to do.
Image testFrame(int width, int height, int index, int grain = 0) {
    Image image(width, height, Image::Format::bgra);
    std::minstd_rand random(static_cast<unsigned>(index) + 1);
    const int bar = (index * 2) % width;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int noise = grain ? static_cast<int>(random() % static_cast<unsigned>(grain)) : 0;
            const bool inBar = x >= bar && x < bar + width / 8;
            auto* p = image.row(y) + 4 * x;
            p[0] = static_cast<std::uint8_t>(inBar ? 240 : (x * 255 / width + noise) & 0xff);
            p[1] = static_cast<std::uint8_t>((y * 255 / height + noise) & 0xff);
            p[2] = static_cast<std::uint8_t>(inBar ? 30 : (index * 3 + noise) & 0xff), p[3] = 255;
        }
    return image;
}

// A 440 Hz tone of `amplitude` in every channel.
AudioBuffer tone(int rate, int channels, double seconds, double amplitude, double phaseAt = 0) {
    AudioBuffer sound{.sampleRate = rate, .channels = channels, .samples = {}, .time = {}};
    sound.samples.resize(static_cast<std::size_t>(std::llround(seconds * rate) * channels));
    for (std::size_t i = 0; i < sound.samples.size(); ++i)
        sound.samples[i] = static_cast<float>(
            amplitude * std::sin(2 * M_PI * 440 * (phaseAt + static_cast<double>(i / static_cast<std::size_t>(channels)) / rate)));
    return sound;
}

// What ffprobe makes of a file: streams, format, the frames it could decode and the packets.
json probe(const fs::path& file) {
    return json::parse(test::run({"ffprobe", "-v", "error", "-print_format", "json", "-show_streams", "-show_format",
                                  "-show_packets", "-count_frames", file.string()}),
                       nullptr, false);
}
const json* stream(const json& info, const std::string& type) {
    if (info.is_object() && info.contains("streams"))
        for (const auto& s : info["streams"])
            if (s.value("codec_type", "") == type)
                return &s;
    return nullptr;
}
double number(const json& object, const char* key) {
    return object.contains(key) ? std::strtod(object[key].get<std::string>().c_str(), nullptr) : NAN;
}
int frames(const json* video) { return std::atoi(video->value("nb_read_frames", "0").c_str()); }
// The presentation times (in 1/600 s) of the video packets, with their key flags.
std::vector<std::pair<std::int64_t, bool>> videoPackets(const json& info) {
    std::vector<std::pair<std::int64_t, bool>> list;
    for (const auto& p : info.value("packets", json::array()))
        if (p.value("codec_type", "") == "video")
            list.emplace_back(p.value("pts", std::int64_t{-1}), p.value("flags", "").find('K') != std::string::npos);
    return list;
}
std::vector<std::int64_t> steadyTimes(int count, std::int64_t step = tick, std::int64_t start = 0) {
    std::vector<std::int64_t> times;
    for (int i = 0; i < count; ++i)
        times.push_back(start + i * step);
    return times;
}

class MovieWriterTest : public ::testing::Test {
protected:
    MovieSettings settings(int width = 320, int height = 640, bool audio = false) const {
        return {.file = folder.path() / "movie.mp4", .width = width, .height = height, .videoBitRate = 1'000'000, .frameRate = 30,
                .audio = audio, .minimumFreeBytes = 1 << 20};
    }
    std::unique_ptr<MovieWriter> create(const MovieSettings& s) {
        std::string error;
        auto writer = MovieWriter::create(s, error);
        EXPECT_TRUE(writer && error.empty()) << error;
        return writer;
    }
    // Appends frames at the given times, waiting while the writer is busy; false if one was refused.
    static bool appendFrames(MovieWriter& writer, const MovieSettings& s, const std::vector<std::int64_t>& times) {
        int index = 0;
        for (auto time : times)
            if (!test::eventually([&] { return writer.readyForVideo(); }, 20s) ||
                !writer.appendVideo(testFrame(s.width, s.height, index++), time))
                return false;
        return true;
    }
    static void finish(MovieWriter& writer) {
        std::string error;
        EXPECT_TRUE(writer.finish(error)) << error;
        EXPECT_EQ(writer.failure(), "");
    }

    test::TempFolder folder;
};

// A disk that fills up and a writer that is killed run in a forked child, which reports lines (each written
// whole) to a file.
struct Forked {
    fs::path log;
    pid_t pid;
    Forked(const fs::path& file, const std::function<void(int report)>& body) : log(file) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
        if ((pid = ::fork()) == 0) {
            try {
                body(fd);
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        ::close(fd);
    }
    ~Forked() {
        if (pid > 0)
            ::kill(pid, SIGKILL), wait();
    }
    static void say(int report, const std::string& line) {
        [[maybe_unused]] auto n = ::write(report, (line + "\n").data(), line.size() + 1);
    }
    int wait() {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string text() const { return test::readFile(log); }
    // The rest of the last line starting with `prefix`.
    std::string last(const std::string& prefix) const {
        std::string value;
        for (const auto& line : test::splitLines(text()))
            if (line.starts_with(prefix))
                value = line.substr(prefix.size());
        return value;
    }
};

// Writes frames (and sound) as fast as the writer takes them, reporting each time written, until it is
// killed or (with `stopOnFailure`) the writer fails.
void writeFrames(const MovieSettings& s, int report, int grain, bool stopOnFailure) {
    std::string error;
    auto writer = MovieWriter::create(s, error);
    if (!writer)
        return Forked::say(report, "create " + error);
    std::vector<Image> frames;
    for (int i = 0; i < 8; ++i)
        frames.push_back(testFrame(s.width, s.height, i, grain));
    const AudioBuffer sound = tone(48000, 2, 1.0 / 30, 0.5);
    Forked::say(report, "started");
    std::int64_t time = 0;
    for (std::size_t i = 0; !stopOnFailure || (writer->failure().empty() && i < 3000); ++i, time += tick) {
        while (!writer->readyForVideo() && writer->failure().empty())
            std::this_thread::sleep_for(1ms);
        if (!writer->appendVideo(frames[i % frames.size()], time))
            break;
        if (s.audio)
            writer->appendAudio(sound, static_cast<double>(time) / MovieWriter::kTimeScale);
        Forked::say(report, "time " + std::to_string(time));
    }
    Forked::say(report, "failure " + writer->failure());
    Forked::say(report, std::string("refused after ") + (writer->appendVideo(frames[0], time + tick) ? "no" : "yes"));
    const bool finished = writer->finish(error);
    Forked::say(report, std::string("finish ") + (finished ? "true" : "false") + " " + error);
}

// What ffprobe finds in a file cut off somewhere: H.264 whose decodable frames fill its whole duration.
// Returns the frames and the duration.
std::pair<int, double> playable(const fs::path& file, bool audio) {
    const json info = probe(file);
    const json* video = stream(info, "video");
    EXPECT_TRUE(video) << info.dump();
    if (!video)
        return {0, NAN};
    EXPECT_EQ(video->value("codec_name", ""), "h264");
    EXPECT_EQ(stream(info, "audio") != nullptr, audio);
    const double duration = std::isnan(number(*video, "duration")) ? 0 : number(*video, "duration");
    EXPECT_NEAR(frames(video) / 30.0, duration, 1.0 / 30 + 1e-6);
    return {frames(video), duration};
}

} // namespace

// Skipped ticks, a late tick, a frame 1/600 s after the last: the times a real-time recorder gives. Then 30
// frames per second and 10 per second: a keyframe every 30 frames would leave three seconds between two.
TEST_F(MovieWriterTest, WritesHighProfileH264InMpeg4WithExactTimesAndAKeyframeEverySecond) {
    auto s = settings(320, 640);
    auto writer = create(s);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(writer->hasAudio());
    EXPECT_FALSE(writer->appendAudio(tone(48000, 2, 0.1, 0.5), 0)); // no sound track to put it in
    std::vector<std::int64_t> times{3, 23, 43, 83, 103, 104, 124, 181, 201, 221, 400, 420, 441, 460, 480},
        steady = steadyTimes(90, tick, 500), slow = steadyTimes(40, 3 * tick, 500 + 90 * tick);
    times.insert(times.end(), steady.begin(), steady.end());
    times.insert(times.end(), slow.begin(), slow.end());
    ASSERT_TRUE(appendFrames(*writer, s, times));
    finish(*writer);

    json info = probe(s.file);
    EXPECT_NE(info["format"].value("format_name", "").find("mp4"), std::string::npos);
    const json* video = stream(info, "video");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->value("codec_name", "") + " " + video->value("profile", "") + " " + video->value("pix_fmt", "") +
                  " " + video->value("time_base", "") + " " + std::to_string(video->value("width", 0)) + "x" +
                  std::to_string(video->value("height", 0)),
              "h264 High yuv420p 1/600 320x640");
    EXPECT_EQ(frames(video), static_cast<int>(times.size() + 1));
    EXPECT_NEAR(number(*video, "duration"), static_cast<double>(times.back() + tick) / 600, 1.0 / 30);
    EXPECT_EQ(stream(info, "audio"), nullptr);
    // The movie starts at zero: the first frame is shown from there, then again at its own time.
    auto list = videoPackets(info);
    ASSERT_EQ(list.size(), times.size() + 1);
    ASSERT_TRUE(list[0].second);
    int keys = 0;
    for (std::size_t i = 0, lastKey = 0; i < list.size(); ++i) {
        EXPECT_EQ(list[i].first, i ? times[i - 1] : 0) << "frame " << i;
        EXPECT_LE(list[i].first - list[lastKey].first, MovieWriter::kTimeScale) << "at " << list[i].first;
        if (list[i].second)
            lastKey = i, ++keys;
    }
    // One a second, and a few more where the encoder sees the picture change; not one every few frames.
    EXPECT_GE(keys, 7);
    EXPECT_LE(keys, 12);
}

// The sound track is AAC at 48 kHz stereo whatever came in (here 48 kHz stereo and 44.1 kHz mono in 10 ms
// buffers), and each piece keeps its place across gaps and overlaps.
TEST_F(MovieWriterTest, SoundIsAac48kHzStereoAndKeepsItsPlaceAcrossGapsAndOverlaps) {
    auto s = settings(320, 640, true);
    auto writer = create(s);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(writer->hasAudio());
    // Sound that ends before the start is refused; of a quiet tone from -0.5 s only 0–1 s is written. Then
    // nothing from 1 to 2 s; 2–3 s quiet mono tone; then a loud tone from 2.5 to 3.5 s whose first half
    // overlaps what was written and must be dropped, not appended after it.
    EXPECT_FALSE(writer->appendAudio(tone(48000, 2, 0.5, 0.5), -1.0));
    ASSERT_TRUE(writer->appendAudio(tone(48000, 2, 1.5, 0.2), -0.5));
    for (int i = 0; i < 100; ++i) {
        const double start = 2.0 + i * 0.01;
        auto sound = tone(44100, 1, 0.01, 0.2, start);
        ASSERT_TRUE(test::eventually([&] { return writer->appendAudio(sound, start); }, 20s)) << i;
    }
    ASSERT_TRUE(writer->appendAudio(tone(48000, 2, 1.0, 0.5), 2.5));
    ASSERT_TRUE(appendFrames(*writer, s, steadyTimes(105)));
    finish(*writer);

    const json info = probe(s.file);
    const json* audio = stream(info, "audio");
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->value("codec_name", "") + " " + audio->value("sample_rate", "") + " " +
                  std::to_string(audio->value("channels", 0)),
              "aac 48000 2");
    EXPECT_NEAR(number(*audio, "start_time"), 0.0, 0.001);
    EXPECT_NEAR(number(*audio, "duration"), 3.5, 0.03);
    const std::string bytes = test::run(
        {"ffmpeg", "-v", "error", "-i", s.file.string(), "-map", "0:a", "-f", "f32le", "-ac", "2", "-ar", "48000", "-"});
    // Root mean square of the left channel between two times.
    auto level = [&](double from, double to) {
        double sum = 0;
        const auto first = static_cast<std::size_t>(from * 48000), last = static_cast<std::size_t>(to * 48000);
        for (std::size_t i = first; i < last && 8 * i + 4 <= bytes.size(); ++i) {
            float sample;
            std::memcpy(&sample, bytes.data() + 8 * i, sizeof sample);
            sum += double(sample) * sample;
        }
        return std::sqrt(sum / static_cast<double>(last - first));
    };
    // Mono arrives at full level in both channels.
    const double quiet = 0.2 / std::sqrt(2.0), loud = 0.5 / std::sqrt(2.0);
    EXPECT_NEAR(level(0.1, 0.9), quiet, 0.03);
    EXPECT_LT(level(1.1, 1.9), 0.005);
    EXPECT_NEAR(level(2.1, 2.9), quiet, 0.03);
    EXPECT_NEAR(level(3.1, 3.4), loud, 0.05);
}

TEST_F(MovieWriterTest, RefusesSettingsItCannotWriteAndCreatesNoFile) {
    test::writeFile(folder.path() / "plain", "a file, not a folder");
    // The recorder reserves the name with an empty file: that one may be written over, no other.
    test::writeFile(folder.path() / "taken.mp4", "someone else's file");
    const std::string size = "even and between 2 and 4096";
    const struct {
        int width, height;
        fs::path file;
        std::string error;
    } cases[] = {
        {1179, 2556, "", size}, {1178, 2555, "", size}, {0, 640, "", size}, {320, 0, "", size}, {-2, 640, "", size},
        {4098, 640, "", size}, {320, 4098, "", size},
        {320, 640, folder.path() / "missing" / "movie.mp4",
         "the folder " + (folder.path() / "missing").string() + " does not exist"},
        {320, 640, folder.path() / "plain" / "movie.mp4", "is not a folder"},
        {320, 640, folder.path() / "taken.mp4", "already exists and is not empty"},
        // Not writable even for the superuser.
        {320, 640, "/proc/pokescope-movie-test.mp4", "can't write /proc/pokescope-movie-test.mp4: "},
    };
    for (const auto& c : cases) {
        auto s = settings(c.width, c.height);
        s.file = c.file.empty() ? s.file : c.file;
        s.minimumFreeBytes = 0;
        std::string error;
        EXPECT_EQ(MovieWriter::create(s, error), nullptr) << c.width << "x" << c.height << " " << s.file;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_TRUE(!c.error.starts_with("the folder ") || error == c.error) << error;
    }
    EXPECT_EQ(test::readFile(folder.path() / "taken.mp4"), "someone else's file");
    EXPECT_FALSE(fs::exists(settings().file));

    // "not enough free space on the disk (N MB left, M MB needed)", N being what the disk has.
    auto s = settings();
    struct statvfs disk {};
    ASSERT_EQ(::statvfs(folder.path().c_str(), &disk), 0);
    const std::uint64_t free = static_cast<std::uint64_t>(disk.f_bavail) * disk.f_frsize;
    s.minimumFreeBytes = free + (std::uint64_t{1} << 40);
    std::string error;
    EXPECT_EQ(MovieWriter::create(s, error), nullptr);
    std::smatch left;
    ASSERT_TRUE(std::regex_match(error, left, std::regex("not enough free space on the disk \\(([0-9]+) MB left, " +
                                                         std::to_string(s.minimumFreeBytes >> 20) + " MB needed\\)")))
        << error;
    EXPECT_NEAR(std::stod(left[1]), double(free >> 20), double(free >> 20) * 0.05 + 64) << error;
    EXPECT_FALSE(fs::exists(s.file));
    EXPECT_TRUE(MovieWriter::create(settings(4096, 2), error)) << error; // the largest width is allowed
}

TEST_F(MovieWriterTest, RefusesBadFramesBadSoundAndEverythingAfterFinish) {
    auto s = settings(320, 640, true);
    auto writer = create(s);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(writer->appendVideo(testFrame(320, 640, 0), -1));
    EXPECT_TRUE(writer->appendVideo(testFrame(320, 640, 0), 10));
    for (const Image& bad : {testFrame(322, 640, 1), testFrame(320, 638, 1), Image(320, 640, Image::Format::rgb),
                             Image(320, 640, Image::Format::gray), Image()})
        EXPECT_FALSE(writer->appendVideo(bad, 20)) << bad.width() << "x" << bad.height();
    ASSERT_TRUE(test::eventually([&] { return writer->readyForVideo(); }));
    EXPECT_FALSE(writer->appendVideo(testFrame(320, 640, 1), 10));
    EXPECT_FALSE(writer->appendVideo(testFrame(320, 640, 1), 5));
    const AudioBuffer good = tone(48000, 2, 0.1, 0.5);
    AudioBuffer none = good, noRate = good, torn = good;
    none.channels = 0;
    noRate.sampleRate = 0;
    torn.samples.pop_back();
    for (const AudioBuffer& bad : {none, noRate, torn, AudioBuffer{}})
        EXPECT_FALSE(writer->appendAudio(bad, 0));
    EXPECT_FALSE(writer->appendAudio(good, NAN));
    // Sound an hour ahead of everything else has a wrong time; filling the gap would take an hour of silence.
    EXPECT_FALSE(writer->appendAudio(good, 3600));
    EXPECT_TRUE(writer->appendAudio(good, 0));
    EXPECT_EQ(writer->failure(), "");
    EXPECT_TRUE(writer->appendVideo(testFrame(320, 640, 1), 11));
    finish(*writer);

    EXPECT_EQ(std::tuple(writer->readyForVideo(), writer->appendVideo(testFrame(320, 640, 5), 10 * tick),
                         writer->appendAudio(good, 0)), std::tuple(false, false, false));
    std::string error;
    EXPECT_FALSE(writer->finish(error));
    EXPECT_EQ(error, "the movie is already finished");
    // The first frame is shown from zero, then at 10.
    std::vector<std::int64_t> times;
    for (const auto& packet : videoPackets(probe(s.file)))
        times.push_back(packet.first);
    EXPECT_EQ(times, (std::vector<std::int64_t>{0, 10, 11}));
}

// At full size, so the phone's own picture size is written; over the empty file that reserved the name, as
// the recorder leaves it; and the writer is destroyed without finish, which must still leave a playable file.
TEST_F(MovieWriterTest, ABusyWriterRefusesFramesInsteadOfQueueingThemAndWritesFullSizeFrames) {
    auto s = settings(1178, 2556, true);
    s.videoBitRate = 8'000'000;
    test::writeFile(s.file, "");
    auto writer = create(s);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(writer->appendAudio(tone(48000, 2, 1.0, 0.5), 0));
    const Image images[2] = {testFrame(s.width, s.height, 0), testFrame(s.width, s.height, 1)};
    // Offered far faster than a full-size H.264 encoder can take them.
    int accepted = 0, refusedWhileNotReady = 0;
    const int offered = 90;
    for (int i = 0; i < offered; ++i) {
        const bool ready = writer->readyForVideo(), taken = writer->appendVideo(images[i % 2], i * tick);
        accepted += taken;
        refusedWhileNotReady += !ready && !taken;
    }
    EXPECT_LT(accepted, offered);
    EXPECT_GT(refusedWhileNotReady, 0);
    writer.reset();
    json info = probe(s.file);
    const json* video = stream(info, "video");
    ASSERT_TRUE(video && stream(info, "audio"));
    EXPECT_EQ(video->value("profile", "") + " " + std::to_string(video->value("width", 0)) + "x" +
                  std::to_string(video->value("height", 0)),
              "High 1178x2556");
    EXPECT_EQ(frames(video), accepted);
    EXPECT_EQ(videoPackets(info).size(), static_cast<std::size_t>(accepted));
}

// A write fails (the file's size limit, a full disk), or the free space falls below the minimum (checked
// every two seconds while writing): the writer stops with a clear error and what it wrote still plays. The
// small disks are mounted in the child's own mount namespace and go with it, so the child copies the movie out.
TEST_F(MovieWriterTest, AFullDiskIsAClearErrorAndWhatWasWrittenStillPlays) {
    const struct {
        rlim_t fileLimit;
        const char* disk;
        std::uint64_t minimumFree;
        const char* failure;
    } cases[] = {{1 << 20, nullptr, 0, "can't write .*/movie\\.mp4: File too large"},
                 {RLIM_INFINITY, "size=1m", 0, "the disk is full \\(0 MB left\\)"},
                 {RLIM_INFINITY, "size=64m", 63 << 20, "the disk is full \\((3[2-9]|[45][0-9]|6[0-2]) MB left\\)"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failure);
        const fs::path disk = folder.path() / "disk", copy = folder.path() / "written.mp4";
        fs::create_directories(disk);
        fs::remove(copy);
        auto s = settings(320, 640, true);
        s.file = disk / "movie.mp4";
        s.videoBitRate = 2'000'000;
        s.minimumFreeBytes = c.minimumFree;
        Forked child(folder.path() / "report", [&](int report) {
            if (c.disk && (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
                           ::mount("tmpfs", disk.c_str(), "tmpfs", 0, c.disk) != 0))
                return Forked::say(report, std::string("mount ") + std::strerror(errno));
            ::signal(SIGXFSZ, SIG_IGN); // a write beyond the limit fails instead
            rlimit size{c.fileLimit, c.fileLimit};
            ::setrlimit(RLIMIT_FSIZE, &size);
            writeFrames(s, report, 64, true);
            fs::copy_file(s.file, copy);
        });
        EXPECT_EQ(child.wait(), 0);
        if (!child.last("mount ").empty())
            GTEST_SKIP() << "no tmpfs of our own here: " << child.last("mount ");
        EXPECT_EQ(child.last("create "), "");
        const std::string failure = child.last("failure ");
        EXPECT_TRUE(std::regex_match(failure, std::regex(c.failure))) << failure;
        EXPECT_EQ(child.last("refused after "), "yes");
        EXPECT_EQ(child.last("finish "), "false " + failure);
        // At 2 Mbit/s a megabyte holds a few seconds: the fragments before the failed one are all there.
        EXPECT_GE(playable(copy, true).first, 30);
    }
}

// Three random moments each, with and without sound: enough to land before, on and after fragment edges.
TEST_F(MovieWriterTest, AKilledWriterLeavesAFilePlayableUpToItsLastSecond) {
    std::random_device device;
    const unsigned seed = device();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayMs(20, 2500);
    for (int trial = 0; trial < 6; ++trial) {
        auto s = settings(320, 640, trial % 2 == 1);
        s.file = folder.path() / ("movie" + std::to_string(trial) + ".mp4");
        const int delay = delayMs(random);
        SCOPED_TRACE("trial " + std::to_string(trial) + ", killed after " + std::to_string(delay) + " ms");
        Forked child(folder.path() / "report", [&](int report) { writeFrames(s, report, 0, false); });
        ASSERT_TRUE(test::eventually([&] { return child.text().find('\n') != std::string::npos; }, 30s));
        ASSERT_EQ(child.last("create "), "");
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        ::kill(child.pid, SIGKILL);
        ASSERT_EQ(child.wait(), 128 + SIGKILL) << child.text();
        const std::string last = child.last("time ");
        const double written = last.empty() ? 0.0 : std::stod(last) / MovieWriter::kTimeScale + 1.0 / 30;
        const double duration = playable(s.file, s.audio).second;
        EXPECT_GE(duration, written - 2.0) << "written " << written << " s";
        EXPECT_LE(duration, written + 0.001) << "written " << written << " s";
    }
}
