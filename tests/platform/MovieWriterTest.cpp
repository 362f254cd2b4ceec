#include "platform/MovieWriter.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <random>
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
    std::uint32_t seed = 2166136261u ^ static_cast<std::uint32_t>(index);
    const int bar = (index * 2) % width;
    for (int y = 0; y < height; ++y) {
        auto* p = image.row(y);
        for (int x = 0; x < width; ++x, p += 4) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = grain ? static_cast<int>(seed >> 24) % grain : 0;
            const bool inBar = x >= bar && x < bar + width / 8;
            p[0] = static_cast<std::uint8_t>(inBar ? 240 : (x * 255 / width + noise) & 0xff);
            p[1] = static_cast<std::uint8_t>((y * 255 / height + noise) & 0xff);
            p[2] = static_cast<std::uint8_t>(inBar ? 30 : (index * 3 + noise) & 0xff);
            p[3] = 255;
        }
    }
    return image;
}

// A sine tone of `amplitude` in every channel.
AudioBuffer tone(int rate, int channels, double seconds, double frequency, double amplitude,
                 double phaseAt = 0) {
    AudioBuffer sound;
    sound.sampleRate = rate;
    sound.channels = channels;
    const auto frames = static_cast<std::size_t>(std::llround(seconds * rate));
    sound.samples.resize(frames * static_cast<std::size_t>(channels));
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = phaseAt + static_cast<double>(i) / rate;
        const auto value = static_cast<float>(amplitude * std::sin(2 * M_PI * frequency * t));
        for (int c = 0; c < channels; ++c)
            sound.samples[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = value;
    }
    return sound;
}

// What a command printed, or "" when it failed.
std::string outputOf(const std::vector<std::string>& arguments) {
    test::Child child(arguments);
    return child.wait(120s) == 0 ? child.output() : "";
}

// What ffprobe makes of a file: streams, format and the frames it could decode.
struct Probe {
    int status = -1;
    json info;
    std::string errors;

    const json* stream(const std::string& type) const {
        if (!info.is_object() || !info.contains("streams"))
            return nullptr;
        for (const auto& s : info["streams"])
            if (s.value("codec_type", "") == type)
                return &s;
        return nullptr;
    }
    static double number(const json& object, const char* key) {
        if (!object.contains(key))
            return NAN;
        const auto& value = object[key];
        return value.is_string() ? std::strtod(value.get<std::string>().c_str(), nullptr)
                                 : value.get<double>();
    }
};

Probe probe(const fs::path& file) {
    test::Child child({"/usr/bin/ffprobe", "-v", "error", "-print_format", "json", "-show_streams",
                       "-show_format", "-count_frames", file.string()});
    Probe p;
    p.status = child.wait(120s).value_or(-1);
    p.errors = child.errors();
    p.info = json::parse(child.output(), nullptr, false);
    return p;
}

// The presentation times (in the stream's time base) of the packets of one stream, with their key flags.
struct Packet {
    std::int64_t pts;
    bool key;
};
std::vector<Packet> packets(const fs::path& file, const std::string& select) {
    json info =
        json::parse(outputOf({"/usr/bin/ffprobe", "-v", "error", "-select_streams", select, "-show_entries",
                              "packet=pts,flags", "-print_format", "json", file.string()}),
                    nullptr, false);
    std::vector<Packet> list;
    if (info.is_object())
        for (const auto& p : info.value("packets", json::array()))
            list.push_back(
                {p.value("pts", std::int64_t{-1}), p.value("flags", "").find('K') != std::string::npos});
    return list;
}

// The sound of a movie decoded to 48 kHz stereo float.
std::vector<float> decodedSound(const fs::path& file) {
    std::string bytes = outputOf({"/usr/bin/ffmpeg", "-v", "error", "-i", file.string(), "-map", "0:a", "-f",
                                  "f32le", "-ac", "2", "-ar", "48000", "-"});
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

// Root mean square of the left channel between two times.
double level(const std::vector<float>& stereo, double from, double to) {
    auto first = static_cast<std::size_t>(from * 48000);
    auto last = std::min(static_cast<std::size_t>(to * 48000), stereo.size() / 2);
    double sum = 0;
    for (std::size_t i = first; i < last; ++i)
        sum += double(stereo[2 * i]) * stereo[2 * i];
    return first < last ? std::sqrt(sum / static_cast<double>(last - first)) : NAN;
}

std::uint64_t freeSpace(const fs::path& folder) {
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0)
        return 0;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

class MovieWriterTest : public ::testing::Test {
protected:
    MovieSettings settings(int width = 320, int height = 640, bool audio = false) const {
        MovieSettings s;
        s.file = folder.path() / "movie.mp4";
        s.width = width;
        s.height = height;
        s.videoBitRate = 1'000'000;
        s.audio = audio;
        s.minimumFreeBytes = 1 << 20;
        return s;
    }

    std::unique_ptr<MovieWriter> create(const MovieSettings& s) {
        std::string error;
        auto writer = MovieWriter::create(s, error);
        EXPECT_TRUE(writer) << error;
        EXPECT_EQ(error, "");
        return writer;
    }

    // Appends frames at the given times, waiting while the writer is busy; false if one was refused.
    static bool appendFrames(MovieWriter& writer, const MovieSettings& s,
                             const std::vector<std::int64_t>& times, int grain = 0) {
        int index = 0;
        for (auto time : times) {
            Image frame = testFrame(s.width, s.height, index++, grain);
            if (!test::eventually([&] { return writer.readyForVideo(); }, 20s) ||
                !writer.appendVideo(frame, time))
                return false;
        }
        return true;
    }

    static std::vector<std::int64_t> steadyTimes(int count, std::int64_t step = tick,
                                                 std::int64_t start = 0) {
        std::vector<std::int64_t> times;
        times.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i)
            times.push_back(start + i * step);
        return times;
    }

    static void finish(MovieWriter& writer) {
        std::string error;
        EXPECT_TRUE(writer.finish(error)) << error;
        EXPECT_EQ(writer.failure(), "");
    }

    test::TempFolder folder;
};

} // namespace

// ---------------------------------------------------------------------------------------------------
// What the file holds

TEST_F(MovieWriterTest, WritesHighProfileH264InMpeg4WithTheFramesAndTheirExactTimes) {
    auto s = settings(320, 640);
    auto writer = create(s);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(writer->hasAudio());
    // Skipped ticks, a late tick, a frame 1/600 s after the last: the times a real-time recorder gives.
    std::vector<std::int64_t> times{3, 23, 43, 83, 103, 104, 124, 181, 201, 221, 400, 420, 441, 460, 480};
    ASSERT_TRUE(appendFrames(*writer, s, times));
    finish(*writer);

    Probe p = probe(s.file);
    ASSERT_EQ(p.status, 0) << p.errors;
    EXPECT_NE(p.info["format"].value("format_name", "").find("mp4"), std::string::npos);
    const json* video = p.stream("video");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->value("codec_name", ""), "h264");
    EXPECT_EQ(video->value("profile", ""), "High");
    EXPECT_EQ(video->value("width", 0), 320);
    EXPECT_EQ(video->value("height", 0), 640);
    EXPECT_EQ(video->value("pix_fmt", ""), "yuv420p");
    EXPECT_EQ(video->value("time_base", ""), "1/600");
    EXPECT_EQ(video->value("nb_read_frames", ""), std::to_string(times.size() + 1));
    EXPECT_NEAR(Probe::number(*video, "duration"), (480.0 + tick) / 600, 1.0 / 30);
    EXPECT_NEAR(Probe::number(*video, "start_time"), 0.0, 1e-9);
    EXPECT_EQ(p.stream("audio"), nullptr);
    // The movie starts at zero: the first frame is shown from there, then again at its own time.
    auto list = packets(s.file, "v");
    ASSERT_EQ(list.size(), times.size() + 1);
    EXPECT_EQ(list[0].pts, 0);
    for (std::size_t i = 0; i < times.size(); ++i)
        EXPECT_EQ(list[i + 1].pts, times[i]) << "frame " << i;
}

TEST_F(MovieWriterTest, HasAKeyframeAtLeastEverySecond) {
    // 30 frames per second, then 10 per second (ticks skipped): a keyframe every 30 frames would leave
    // three seconds between keyframes in the slow part.
    std::vector<std::int64_t> times = steadyTimes(90);
    auto slow = steadyTimes(40, 3 * tick, 90 * tick);
    times.insert(times.end(), slow.begin(), slow.end());
    auto s = settings(320, 640);
    auto writer = create(s);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(appendFrames(*writer, s, times));
    finish(*writer);

    auto list = packets(s.file, "v");
    ASSERT_EQ(list.size(), times.size());
    ASSERT_TRUE(list.front().key);
    std::int64_t lastKey = list.front().pts;
    std::string keys;
    int count = 0;
    for (const auto& packet : list) {
        EXPECT_LE(packet.pts - lastKey, MovieWriter::kTimeScale) << "at " << packet.pts;
        if (packet.key) {
            lastKey = packet.pts;
            keys += std::to_string(packet.pts) + " ";
            ++count;
        }
    }
    // One a second, and a few more where the encoder sees the picture change; not one every few frames.
    EXPECT_GE(count, 7) << keys;
    EXPECT_LE(count, 12) << keys;
}

TEST_F(MovieWriterTest, AverageBitRateFollowsTheSettings) {
    double measured[2] = {};
    const int rates[2] = {400'000, 1'600'000};
    for (int i = 0; i < 2; ++i) {
        auto s = settings(320, 640);
        s.file = folder.path() / ("rate" + std::to_string(i) + ".mp4");
        s.videoBitRate = rates[i];
        auto writer = create(s);
        ASSERT_TRUE(writer);
        ASSERT_TRUE(appendFrames(*writer, s, steadyTimes(120), 24));
        finish(*writer);
        measured[i] = static_cast<double>(fs::file_size(s.file)) * 8 / 4.0;
        EXPECT_GT(measured[i], rates[i] * 0.5) << rates[i];
        EXPECT_LT(measured[i], rates[i] * 1.5) << rates[i];
    }
    EXPECT_GT(measured[1], 2 * measured[0]);
}

TEST_F(MovieWriterTest, SoundTrackIsAacAt48kHzStereoWhereverTheSoundCameFrom) {
    auto s = settings(320, 640, true);
    auto writer = create(s);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(writer->hasAudio());
    // 44.1 kHz mono in 10 ms buffers, 2 s of it, beside 2 s of video.
    const int buffers = 200;
    for (int i = 0; i < buffers; ++i) {
        const double start = i * 0.01;
        auto sound = tone(44100, 1, 0.01, 440, 0.3, start);
        ASSERT_TRUE(test::eventually([&] { return writer->appendAudio(sound, start); }, 20s)) << i;
    }
    ASSERT_TRUE(appendFrames(*writer, s, steadyTimes(60)));
    finish(*writer);

    Probe p = probe(s.file);
    ASSERT_EQ(p.status, 0) << p.errors;
    const json* audio = p.stream("audio");
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->value("codec_name", ""), "aac");
    EXPECT_EQ(audio->value("sample_rate", ""), "48000");
    EXPECT_EQ(audio->value("channels", 0), 2);
    EXPECT_NEAR(Probe::number(*audio, "duration"), 2.0, 0.03);
    EXPECT_NEAR(Probe::number(*audio, "start_time"), 0.0, 0.001);
    EXPECT_NEAR(Probe::number(*audio, "bit_rate"), 160000, 40000);

    // Mono arrives at full level in both channels.
    auto decoded = decodedSound(s.file);
    EXPECT_NEAR(level(decoded, 0.2, 1.8), 0.3 / std::sqrt(2.0), 0.03);
}

TEST_F(MovieWriterTest, SoundKeepsItsPlaceAcrossGapsAndOverlapsAndNothingFromBeforeTheStartIsWritten) {
    auto s = settings(320, 640, true);
    auto writer = create(s);
    ASSERT_TRUE(writer);
    // Sound that ends before the start is refused; of a quiet tone from -0.5 s only 0–1 s is written. Then
    // nothing from 1 to 2 s; 2–3 s quiet tone; then a loud tone from 2.5 to 3.5 s whose first half overlaps
    // what was written and must be dropped, not appended after it.
    EXPECT_FALSE(writer->appendAudio(tone(48000, 2, 0.5, 440, 0.5), -1.0));
    ASSERT_TRUE(writer->appendAudio(tone(48000, 2, 1.5, 440, 0.2), -0.5));
    ASSERT_TRUE(writer->appendAudio(tone(48000, 2, 1.0, 440, 0.2), 2.0));
    ASSERT_TRUE(writer->appendAudio(tone(48000, 2, 1.0, 440, 0.5), 2.5));
    ASSERT_TRUE(appendFrames(*writer, s, steadyTimes(105)));
    finish(*writer);

    Probe p = probe(s.file);
    ASSERT_EQ(p.status, 0) << p.errors;
    const json* audio = p.stream("audio");
    ASSERT_TRUE(audio);
    EXPECT_NEAR(Probe::number(*audio, "start_time"), 0.0, 0.001);
    EXPECT_NEAR(Probe::number(*audio, "duration"), 3.5, 0.03);
    auto decoded = decodedSound(s.file);
    const double quiet = 0.2 / std::sqrt(2.0), loud = 0.5 / std::sqrt(2.0);
    EXPECT_NEAR(level(decoded, 0.1, 0.9), quiet, 0.03);
    EXPECT_LT(level(decoded, 1.1, 1.9), 0.005);
    EXPECT_NEAR(level(decoded, 2.1, 2.9), quiet, 0.03);
    EXPECT_NEAR(level(decoded, 3.1, 3.4), loud, 0.05);
}

// ---------------------------------------------------------------------------------------------------
// Bad input

TEST(MovieWriterCreate, RefusesImpossibleSizes) {
    test::TempFolder folder;
    const std::pair<int, int> sizes[] = {{1179, 2556}, {1178, 2555}, {0, 640},   {320, 0},
                                         {-2, 640},    {4098, 640},  {320, 4098}};
    for (auto [width, height] : sizes) {
        MovieSettings s;
        s.file = folder.path() / "odd.mp4";
        s.width = width;
        s.height = height;
        std::string error;
        EXPECT_EQ(MovieWriter::create(s, error), nullptr) << width << "x" << height;
        EXPECT_NE(error.find("even and between 2 and 4096"), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(s.file));
    }
    MovieSettings largest;
    largest.file = folder.path() / "largest.mp4";
    largest.width = 4096;
    largest.height = 2;
    largest.minimumFreeBytes = 0;
    std::string error;
    auto writer = MovieWriter::create(largest, error);
    EXPECT_TRUE(writer) << error;
}

// The recorder reserves the name with an empty file: that one is written over, anything else left alone.
TEST_F(MovieWriterTest, WritesOverTheEmptyFileThatReservedTheNameButNoOtherFile) {
    auto s = settings();
    test::writeFile(s.file, "someone else's file");
    std::string error;
    EXPECT_EQ(MovieWriter::create(s, error), nullptr);
    EXPECT_NE(error.find("already exists and is not empty"), std::string::npos) << error;
    EXPECT_EQ(test::readFile(s.file), "someone else's file");

    test::writeFile(s.file, "");
    auto writer = create(s);
    ASSERT_TRUE(writer);
    ASSERT_TRUE(appendFrames(*writer, s, steadyTimes(5)));
    finish(*writer);
    Probe p = probe(s.file);
    ASSERT_EQ(p.status, 0) << p.errors;
    ASSERT_TRUE(p.stream("video"));
    EXPECT_EQ(p.stream("video")->value("nb_read_frames", ""), "5");
}

TEST_F(MovieWriterTest, RefusesAFolderThatIsMissingOrCannotBeWritten) {
    auto s = settings();
    std::string error;
    s.file = folder.path() / "missing" / "movie.mp4";
    EXPECT_EQ(MovieWriter::create(s, error), nullptr);
    EXPECT_EQ(error, "the folder " + (folder.path() / "missing").string() + " does not exist");

    test::writeFile(folder.path() / "plain", "a file, not a folder");
    s.file = folder.path() / "plain" / "movie.mp4";
    EXPECT_EQ(MovieWriter::create(s, error), nullptr);
    EXPECT_NE(error.find("is not a folder"), std::string::npos) << error;

    // Not writable even for the superuser.
    s.file = "/proc/pokescope-movie-test.mp4";
    s.minimumFreeBytes = 0;
    EXPECT_EQ(MovieWriter::create(s, error), nullptr);
    EXPECT_NE(error.find("can't write /proc/pokescope-movie-test.mp4: "), std::string::npos) << error;
}

TEST_F(MovieWriterTest, RefusesToStartWithoutEnoughFreeSpace) {
    auto s = settings();
    const std::uint64_t free = freeSpace(folder.path());
    s.minimumFreeBytes = free + (std::uint64_t{1} << 40);
    std::string error;
    EXPECT_EQ(MovieWriter::create(s, error), nullptr);
    // "not enough free space on the disk (N MB left, M MB needed)", N being what the disk has.
    const std::string prefix = "not enough free space on the disk (";
    ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
    const double leftMB = std::strtod(error.c_str() + prefix.size(), nullptr);
    EXPECT_NEAR(leftMB, static_cast<double>(free >> 20), static_cast<double>(free >> 20) * 0.05 + 64)
        << error;
    EXPECT_NE(error.find(" MB left, " + std::to_string(s.minimumFreeBytes >> 20) + " MB needed)"),
              std::string::npos)
        << error;
    EXPECT_FALSE(fs::exists(s.file));
}

TEST_F(MovieWriterTest, StopsWithAClearErrorWhenTheDiskFillsUpAndKeepsWhatItWrote) {
    constexpr std::uint64_t margin = 256ull << 20, filler = 1ull << 30;
    if (freeSpace(folder.path()) < 4 * filler)
        GTEST_SKIP() << "needs a few GB of free disk space";
    // The minimum sits a little below what is free now; a filler file then takes the disk below it.
    auto s = settings(320, 640, true);
    std::unique_ptr<MovieWriter> writer;
    std::string error;
    for (int attempt = 0; attempt < 3 && !writer; ++attempt) {
        s.minimumFreeBytes = freeSpace(folder.path()) - margin;
        writer = MovieWriter::create(s, error);
    }
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(appendFrames(*writer, s, steadyTimes(40)));
    ASSERT_TRUE(writer->appendAudio(tone(48000, 2, 1.0, 440, 0.5), 0));
    {
        const fs::path fill = folder.path() / "filler";
        int fd = ::open(fill.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::posix_fallocate(fd, 0, static_cast<off_t>(filler)), 0);
        ::close(fd);
        std::int64_t time = 40 * tick;
        int index = 40;
        const bool stopped = test::eventually([&] {
            if (writer->readyForVideo() && writer->appendVideo(testFrame(s.width, s.height, index), time)) {
                ++index;
                time += tick;
            }
            return !writer->failure().empty();
        });
        fs::remove(fill);
        ASSERT_TRUE(stopped);
    }
    const std::string failure = writer->failure();
    EXPECT_EQ(failure.rfind("the disk is full (", 0), 0u) << failure;
    EXPECT_EQ(failure.substr(failure.size() - 9), " MB left)") << failure;
    EXPECT_FALSE(writer->readyForVideo());
    EXPECT_FALSE(
        writer->appendVideo(testFrame(s.width, s.height, 0), std::int64_t{3600} * MovieWriter::kTimeScale));
    EXPECT_FALSE(writer->appendAudio(tone(48000, 2, 0.1, 440, 0.5), 1.0));
    // The file is completed all the same, and the caller learns that it is shorter than asked for.
    EXPECT_FALSE(writer->finish(error));
    EXPECT_EQ(error, failure);
    Probe p = probe(s.file);
    ASSERT_EQ(p.status, 0) << p.errors;
    ASSERT_TRUE(p.stream("video"));
    EXPECT_GE(std::atoi(p.stream("video")->value("nb_read_frames", "0").c_str()), 40);
    ASSERT_TRUE(p.stream("audio"));
}

// A frame of the wrong size or format, or one whose time does not increase, is refused and nothing of it
// is written; the writer goes on with the next good one.
TEST_F(MovieWriterTest, RefusesFramesOfTheWrongSizeFormatOrTimeAndWritesNothingOfThem) {
    auto s = settings(320, 640);
    auto writer = create(s);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(writer->appendVideo(testFrame(320, 640, 0), -1));
    EXPECT_TRUE(writer->appendVideo(testFrame(320, 640, 0), 10));
    EXPECT_FALSE(writer->appendVideo(testFrame(322, 640, 1), 20));
    EXPECT_FALSE(writer->appendVideo(testFrame(320, 638, 1), 20));
    EXPECT_FALSE(writer->appendVideo(Image(320, 640, Image::Format::rgb), 20));
    EXPECT_FALSE(writer->appendVideo(Image(320, 640, Image::Format::gray), 20));
    EXPECT_FALSE(writer->appendVideo(Image(), 20));
    EXPECT_EQ(writer->failure(), "");
    ASSERT_TRUE(test::eventually([&] { return writer->readyForVideo(); }));
    EXPECT_FALSE(writer->appendVideo(testFrame(320, 640, 1), 10));
    EXPECT_FALSE(writer->appendVideo(testFrame(320, 640, 1), 5));
    EXPECT_TRUE(writer->appendVideo(testFrame(320, 640, 1), 11));
    finish(*writer);
    auto list = packets(s.file, "v");
    ASSERT_EQ(list.size(), 3u); // the first frame is shown from zero, then at 10
    EXPECT_EQ(list[0].pts, 0);
    EXPECT_EQ(list[1].pts, 10);
    EXPECT_EQ(list[2].pts, 11);
}

TEST_F(MovieWriterTest, RefusesSoundItCannotUseAndEverythingAfterFinish) {
    auto video = settings(320, 640, false);
    video.file = folder.path() / "silent.mp4";
    auto silent = create(video);
    ASSERT_TRUE(silent);
    EXPECT_FALSE(silent->appendAudio(tone(48000, 2, 0.1, 440, 0.5), 0));
    finish(*silent);
    EXPECT_EQ(probe(video.file).stream("audio"), nullptr);

    auto s = settings(320, 640, true);
    auto writer = create(s);
    ASSERT_TRUE(writer);
    const AudioBuffer good = tone(48000, 2, 0.1, 440, 0.5);
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
    ASSERT_TRUE(appendFrames(*writer, s, steadyTimes(3)));
    finish(*writer);

    EXPECT_FALSE(writer->readyForVideo());
    EXPECT_FALSE(writer->appendVideo(testFrame(320, 640, 5), 10 * tick));
    EXPECT_FALSE(writer->appendAudio(good, 0));
    std::string error;
    EXPECT_FALSE(writer->finish(error));
    EXPECT_EQ(error, "the movie is already finished");
    EXPECT_EQ(probe(s.file).stream("video")->value("nb_read_frames", ""), "3");
}

TEST_F(MovieWriterTest, DestroyingAWriterWithoutFinishLeavesAPlayableFile) {
    auto s = settings(320, 640, true);
    {
        auto writer = create(s);
        ASSERT_TRUE(writer);
        ASSERT_TRUE(writer->appendAudio(tone(48000, 2, 1.0, 440, 0.5), 0));
        ASSERT_TRUE(appendFrames(*writer, s, steadyTimes(45)));
    }
    Probe p = probe(s.file);
    ASSERT_EQ(p.status, 0) << p.errors;
    ASSERT_TRUE(p.stream("video"));
    EXPECT_EQ(p.stream("video")->value("nb_read_frames", ""), "45");
    ASSERT_TRUE(p.stream("audio"));
}

// At full size, too, so the phone's own picture size is written.
TEST_F(MovieWriterTest, ABusyWriterRefusesFramesInsteadOfQueueingThemAndWritesFullSizeFrames) {
    auto s = settings(1178, 2556);
    s.videoBitRate = 8'000'000;
    auto writer = create(s);
    ASSERT_TRUE(writer);
    const Image frames[2] = {testFrame(s.width, s.height, 0), testFrame(s.width, s.height, 1)};
    // Offered far faster than a full-size H.264 encoder can take them.
    int accepted = 0, refusedWhileNotReady = 0;
    const int offered = 90;
    for (int i = 0; i < offered; ++i) {
        const bool ready = writer->readyForVideo();
        const bool taken = writer->appendVideo(frames[i % 2], i * tick);
        accepted += taken;
        refusedWhileNotReady += !ready && !taken;
    }
    EXPECT_LT(accepted, offered);
    EXPECT_GT(refusedWhileNotReady, 0);
    finish(*writer);
    EXPECT_EQ(packets(s.file, "v").size(), static_cast<std::size_t>(accepted));
    Probe p = probe(s.file);
    ASSERT_EQ(p.status, 0) << p.errors;
    const json* video = p.stream("video");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->value("profile", ""), "High");
    EXPECT_EQ(video->value("width", 0), 1178);
    EXPECT_EQ(video->value("height", 0), 2556);
    EXPECT_EQ(video->value("nb_read_frames", ""), std::to_string(accepted));
}

// ---------------------------------------------------------------------------------------------------
// Failures while writing, and a writer that is killed: both run in a child process.

namespace {

// A forked child that reports to the parent through a pipe, one short line at a time.
class Forked {
public:
    explicit Forked(const std::function<void(int report)>& body) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            try {
                body(fds[1]);
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        ::close(fds[1]);
        read_ = fds[0];
    }
    ~Forked() {
        if (!status_) {
            kill();
            wait();
        }
        ::close(read_);
    }
    // Lines shorter than the pipe's buffer are written whole.
    static void say(int report, const std::string& line) {
        [[maybe_unused]] auto n = ::write(report, (line + "\n").data(), line.size() + 1);
    }
    // Waits for the child's first line; false when it ended or stayed silent for half a minute.
    bool waitForFirstLine() {
        pollfd fd{read_, POLLIN, 0};
        char buffer[4096];
        ssize_t n;
        while (text_.find('\n') == std::string::npos)
            if (::poll(&fd, 1, 30000) <= 0 || (n = ::read(read_, buffer, sizeof buffer)) <= 0)
                return false;
            else
                text_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    void kill() { ::kill(pid_, SIGKILL); }
    int wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return *status_;
    }
    // Everything the child said (read to the end once it has ended).
    std::string text() {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(read_, buffer, sizeof buffer)) > 0)
            text_.append(buffer, static_cast<std::size_t>(n));
        return text_;
    }
    // The value of the last whole line starting with `prefix`.
    std::string last(const std::string& prefix) {
        std::string all = text(), value;
        for (std::size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos; start = end + 1)
            if (all.compare(start, prefix.size(), prefix) == 0)
                value = all.substr(start + prefix.size(), end - start - prefix.size());
        return value;
    }

private:
    pid_t pid_ = -1;
    int read_ = -1;
    std::string text_;
    std::optional<int> status_;
};

} // namespace

TEST_F(MovieWriterTest, AWriteErrorIsReportedAndWhatWasWrittenStillPlays) {
    auto s = settings(320, 640, true);
    s.videoBitRate = 2'000'000;
    constexpr rlim_t limit = 1 << 20;
    Forked child([&](int report) {
        // The file may grow to `limit` bytes; the write beyond fails as on a full disk.
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit size{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &size);
        std::string error;
        auto writer = MovieWriter::create(s, error);
        if (!writer) {
            Forked::say(report, "create " + error);
            return;
        }
        std::vector<Image> frames;
        frames.reserve(8);
        for (int i = 0; i < 8; ++i)
            frames.push_back(testFrame(s.width, s.height, i, 64));
        std::int64_t time = 0;
        for (int i = 0; i < 3000 && writer->failure().empty(); ++i) {
            while (!writer->readyForVideo() && writer->failure().empty())
                std::this_thread::sleep_for(1ms);
            if (writer->appendVideo(frames[static_cast<std::size_t>(i) % frames.size()], time)) {
                writer->appendAudio(tone(48000, 2, 1.0 / 30, 440, 0.5), static_cast<double>(time) / 600);
                time += tick;
            }
        }
        Forked::say(report, "failure " + writer->failure());
        Forked::say(report, std::string("refused after ") +
                                (writer->appendVideo(frames[0], time + tick) ? "no" : "yes"));
        bool finished = writer->finish(error);
        Forked::say(report, std::string("finish ") + (finished ? "true" : "false") + " " + error);
    });
    EXPECT_EQ(child.wait(), 0);
    EXPECT_EQ(child.last("create "), "");
    EXPECT_EQ(child.last("failure "), "can't write " + s.file.string() + ": File too large");
    EXPECT_EQ(child.last("refused after "), "yes");
    EXPECT_EQ(child.last("finish "), "false can't write " + s.file.string() + ": File too large");

    EXPECT_LE(fs::file_size(s.file), limit);
    Probe p = probe(s.file);
    ASSERT_EQ(p.status, 0) << p.errors;
    const json* video = p.stream("video");
    ASSERT_TRUE(video);
    // At 2 Mbit/s a megabyte holds a few seconds: the fragments before the failed one are all there.
    const int decoded = std::atoi(video->value("nb_read_frames", "0").c_str());
    EXPECT_GE(decoded, 30);
    EXPECT_NEAR(decoded / 30.0, Probe::number(*video, "duration"), 1.0 / 30 + 1e-6);
}

namespace {

// Writes frames (and sound) as fast as the writer takes them until killed, reporting each time written.
void writeUntilKilled(const MovieSettings& s, int report) {
    std::string error;
    auto writer = MovieWriter::create(s, error);
    if (!writer) {
        Forked::say(report, "create " + error);
        return;
    }
    std::vector<Image> frames;
    frames.reserve(8);
    for (int i = 0; i < 8; ++i)
        frames.push_back(testFrame(s.width, s.height, i));
    const AudioBuffer sound = tone(48000, 2, 1.0 / 30, 440, 0.5);
    Forked::say(report, "started");
    for (std::int64_t i = 0;; ++i) {
        while (!writer->readyForVideo())
            std::this_thread::sleep_for(1ms);
        const std::int64_t time = i * tick;
        if (!writer->appendVideo(frames[static_cast<std::size_t>(i) % frames.size()], time)) {
            Forked::say(report, "refused " + writer->failure());
            return;
        }
        if (s.audio)
            writer->appendAudio(sound, static_cast<double>(time) / MovieWriter::kTimeScale);
        Forked::say(report, "time " + std::to_string(time));
    }
}

void killAtRandomMoments(const MovieSettings& base, const fs::path& folder, int trials) {
    std::random_device device;
    const unsigned seed = device();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayMs(20, 2500);
    for (int trial = 0; trial < trials; ++trial) {
        MovieSettings s = base;
        s.file = folder / ((s.audio ? "sound" : "silent") + std::to_string(trial) + ".mp4");
        const int delay = delayMs(random);
        SCOPED_TRACE("trial " + std::to_string(trial) + ", killed after " + std::to_string(delay) + " ms");
        Forked child([&](int report) { writeUntilKilled(s, report); });
        ASSERT_TRUE(child.waitForFirstLine()) << child.text();
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        child.kill();
        ASSERT_EQ(child.wait(), 128 + SIGKILL) << child.text();
        const std::string last = child.last("time ");
        const double written = last.empty() ? 0.0 : std::stod(last) / MovieWriter::kTimeScale + 1.0 / 30;

        Probe p = probe(s.file);
        ASSERT_EQ(p.status, 0) << p.errors;
        const json* video = p.stream("video");
        ASSERT_TRUE(video) << p.info.dump();
        EXPECT_EQ(video->value("codec_name", ""), "h264");
        EXPECT_EQ(p.stream("audio") != nullptr, s.audio);
        double duration = Probe::number(*video, "duration");
        if (std::isnan(duration))
            duration = 0;
        EXPECT_GE(duration, written - 2.0) << "written " << written << " s";
        EXPECT_LE(duration, written + 0.001) << "written " << written << " s";
        const int decoded = std::atoi(video->value("nb_read_frames", "0").c_str());
        EXPECT_NEAR(decoded / 30.0, duration, 1.0 / 30 + 1e-6);
    }
}

} // namespace

// Six random moments each, with and without sound: enough to land before, on and after fragment edges.
TEST_F(MovieWriterTest, AKilledWriterLeavesAFilePlayableUpToItsLastSecond) {
    killAtRandomMoments(settings(320, 640, false), folder.path(), 6);
    killAtRandomMoments(settings(320, 640, true), folder.path(), 6);
}
