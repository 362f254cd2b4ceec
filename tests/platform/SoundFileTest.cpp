// Sound made into speech samples (16 kHz mono 16-bit) from movies' tracks and from live capture buffers.
#include "platform/SoundFile.hpp"

#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <tuple>

using namespace pokescope;
using namespace pokescope::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr double speechRate = 16000;

// Everything a file's first audio track decodes to.
struct Decoded {
    std::vector<SpeechSound> buffers;
    std::vector<std::int16_t> samples; // all buffers one after the other
    bool failed = false;
    std::string error;
    double start() const { return buffers.empty() ? NAN : buffers.front().time; }
    double seconds() const { return static_cast<double>(samples.size()) / speechRate; }
};

Decoded decode(SoundFile& file) {
    Decoded decoded;
    file.startReading();
    while (auto sound = file.read()) {
        decoded.samples.insert(decoded.samples.end(), sound->samples.begin(), sound->samples.end());
        decoded.buffers.push_back(std::move(*sound));
    }
    decoded.failed = file.failed();
    decoded.error = file.errorDescription();
    return decoded;
}

// Samples from `from` to `to` seconds after the first one.
std::vector<std::int16_t> slice(const std::vector<std::int16_t>& samples, double from, double to) {
    const auto first = static_cast<std::size_t>(std::max(0.0, from) * speechRate);
    const auto last = std::min(samples.size(), static_cast<std::size_t>(to * speechRate));
    return first < last ? std::vector<std::int16_t>(samples.begin() + static_cast<std::ptrdiff_t>(first),
                                                    samples.begin() + static_cast<std::ptrdiff_t>(last))
                        : std::vector<std::int16_t>{};
}

double rms(const std::vector<std::int16_t>& samples) {
    double sum = 0;
    for (std::int16_t sample : samples)
        sum += static_cast<double>(sample) * sample;
    return samples.empty() ? 0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

// The frequency of a pure tone, from how often it rises through zero.
double frequency(const std::vector<std::int16_t>& samples) {
    int rises = 0;
    for (std::size_t i = 1; i < samples.size(); ++i)
        rises += samples[i - 1] < 0 && samples[i] >= 0;
    return rises / (static_cast<double>(samples.size()) / speechRate);
}

// The start of the first and the end of the last 10 ms window louder than `level` (RMS), in seconds.
std::pair<double, double> loudSpan(const std::vector<std::int16_t>& samples, double level) {
    std::pair<double, double> span{NAN, NAN};
    for (double at = 0; at + 0.01 <= static_cast<double>(samples.size()) / speechRate + 1e-9; at += 0.01)
        if (rms(slice(samples, at, at + 0.01)) > level)
            span = {std::isnan(span.first) ? at : span.first, at + 0.01};
    return span;
}

void expectContinuous(const std::vector<SpeechSound>& buffers) {
    for (std::size_t i = 1; i < buffers.size(); ++i)
        EXPECT_NEAR(buffers[i].time, buffers[i - 1].time + buffers[i - 1].duration(), 1e-6) << "buffer " << i;
}

// RMS of a sine of this amplitude (full scale 1.0) in 16-bit samples.
double sineLevel(double amplitude) { return amplitude * 32768 / std::numbers::sqrt2; }

class SoundFileTest : public testing::Test {
protected:
    TempFolder folder;

    // Writes `name` with the ffmpeg command line made of the given parts.
    fs::path make(const std::string& name, std::vector<std::vector<std::string>> parts) {
        std::vector<std::string> arguments;
        for (const auto& part : parts)
            arguments.insert(arguments.end(), part.begin(), part.end());
        return ffmpegWrites(folder.path() / name, arguments);
    }
    static std::vector<std::string> picture(double seconds) {
        return {"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30:duration=" + std::to_string(seconds)};
    }
    // A tone at half of full scale at 48 kHz that sounds from `from` to `to` seconds of a sound `seconds` long.
    static std::vector<std::string> tone(double hertz, double seconds, double from = 0, double to = 1e9) {
        return {"-f", "lavfi", "-i",
                "aevalsrc=0.5*sin(2*PI*" + std::to_string(hertz) + "*t)*between(t\\," + std::to_string(from) +
                    "\\," + std::to_string(to) + "):s=48000:d=" + std::to_string(seconds)};
    }
    static const inline std::vector<std::string> movieCodecs = {"-c:v", "libx264", "-preset", "ultrafast",
                                                                "-pix_fmt", "yuv420p", "-c:a", "aac"};
    // The 3 s movie with a 1 kHz tone from 0.5 s to 1.5 s.
    fs::path toneMovie(const std::string& name, const std::vector<std::string>& extra = {}) {
        return make(name, {picture(3), tone(1000, 3, 0.5, 1.5), {"-map", "0:v", "-map", "1:a"}, movieCodecs, extra});
    }
    static std::unique_ptr<SoundFile> open(const fs::path& path) { return SoundFile::open(path.string(), 20s); }
};

TEST_F(SoundFileTest, MovieSoundDecodesToSpeechSamplesAtTheMoviesTimesFromItsFirstTrackEvenIfNotTheDefault) {
    auto file = open(toneMovie("tone.mp4"));
    EXPECT_EQ(file->audioTrackCount(), 1);
    Decoded decoded = decode(*file);
    ASSERT_FALSE(decoded.failed) << decoded.error;
    EXPECT_EQ(decoded.error, "");
    ASSERT_GE(decoded.buffers.size(), 6u);
    // The whole 3 s, from time zero, without gaps, in buffers of a fraction of a second.
    EXPECT_NEAR(decoded.start(), 0.0, 0.001);
    EXPECT_NEAR(decoded.seconds(), 3, 0.005);
    expectContinuous(decoded.buffers);
    for (const auto& buffer : decoded.buffers) {
        EXPECT_GT(buffer.duration(), 0.0);
        EXPECT_LE(buffer.duration(), 0.5);
    }
    auto span = loudSpan(decoded.samples, sineLevel(0.5) / 2);
    EXPECT_NEAR(decoded.start() + span.first, 0.5, 0.03);
    EXPECT_NEAR(decoded.start() + span.second, 1.5, 0.03);
    auto loud = slice(decoded.samples, 0.6, 1.4);
    EXPECT_NEAR(rms(loud), sineLevel(0.5), sineLevel(0.5) * 0.05);
    EXPECT_NEAR(frequency(loud), 1000, 5);
    EXPECT_LT(rms(slice(decoded.samples, 0.0, 0.45)), 100);
    EXPECT_LT(rms(slice(decoded.samples, 1.55, 3.0)), 100);

    // The first track is read, though the second is the default one and has more bits (a "best stream" choice
    // would take it); it starts two seconds late and keeps its place on the movie's time line.
    auto two = open(make("two.mp4", {picture(4), {"-itsoffset", "2"}, tone(300, 2), tone(3000, 4),
                                      {"-map", "0:v", "-map", "1:a", "-map", "2:a"}, movieCodecs,
                                      {"-b:a:0", "48k", "-b:a:1", "192k", "-disposition:a:0", "0", "-disposition:a:1",
                                       "default"}}));
    EXPECT_EQ(two->audioTrackCount(), 2);
    Decoded late = decode(*two);
    ASSERT_FALSE(late.failed) << late.error;
    // The encoder's 21 ms of priming may come first.
    EXPECT_GT(late.start(), 1.97);
    EXPECT_LT(late.start(), 2.001);
    expectContinuous(late.buffers);
    auto lateSpan = loudSpan(late.samples, sineLevel(0.5) / 2);
    EXPECT_NEAR(late.start() + lateSpan.first, 2.0, 0.03);
    EXPECT_NEAR(late.start() + lateSpan.second, 4.0, 0.03);
    EXPECT_NEAR(frequency(slice(late.samples, 0.1, 1.9)), 300, 3);
}

TEST_F(SoundFileTest, GapsInTheTrackBecomeSilenceLongJumpsStartAgainAndSpeechWaveFilesComeOutExactly) {
    // The track's timestamps jump ahead by 0.5 s after its first second.
    Decoded decoded = decode(
        *open(make("gap.mp4", {tone(1000, 2), {"-af", "asetpts='if(gte(T,1),PTS+0.5/TB,PTS)'", "-c:a", "aac"}})));
    ASSERT_FALSE(decoded.failed) << decoded.error;
    EXPECT_NEAR(decoded.start(), 0.0, 0.001);
    expectContinuous(decoded.buffers);
    EXPECT_NEAR(decoded.seconds(), 2.5, 0.03);
    EXPECT_NEAR(rms(slice(decoded.samples, 0.1, 0.95)), sineLevel(0.5), sineLevel(0.5) * 0.05);
    EXPECT_LT(rms(slice(decoded.samples, 1.05, 1.45)), 100);
    EXPECT_NEAR(rms(slice(decoded.samples, 1.55, 2.4)), sineLevel(0.5), sineLevel(0.5) * 0.05);

    // A jump of 100 s is not bridged with silence: the sound after it comes in buffers of its own time.
    decoded = decode(
        *open(make("jump.mp4", {tone(1000, 2), {"-af", "asetpts='if(gte(T,1),PTS+100/TB,PTS)'", "-c:a", "aac"}})));
    ASSERT_FALSE(decoded.failed) << decoded.error;
    EXPECT_NEAR(decoded.seconds(), 2, 0.03);
    auto after = std::find_if(decoded.buffers.begin(), decoded.buffers.end(),
                              [](const SpeechSound& sound) { return sound.time > 50; });
    ASSERT_NE(after, decoded.buffers.end());
    ASSERT_NE(after, decoded.buffers.begin());
    EXPECT_NEAR(after->time, 101.0, 0.03);
    EXPECT_NEAR(std::prev(after)->time + std::prev(after)->duration(), 1.0, 0.03);
    EXPECT_NEAR(rms(after->samples), sineLevel(0.5), sineLevel(0.5) * 0.1);
    EXPECT_NEAR(decoded.buffers.back().time + decoded.buffers.back().duration(), 102.0, 0.03);

    // A WAVE file of 16 kHz mono 16-bit needs no conversion at all: the samples come out exactly as stored. (Other
    // rates and channel counts go through the converter the live resampler's tests below check.)
    const std::vector<std::string> source{"-f", "lavfi", "-i",
                                          "aevalsrc=0.3*sin(2*PI*250*t)+0.2*sin(2*PI*1700*t):s=16000:d=1.5", "-c:a",
                                          "pcm_s16le"};
    const std::string bytes = readFile(make("speech.raw", {source, {"-f", "s16le"}}));
    std::vector<std::int16_t> stored(bytes.size() / 2);
    std::memcpy(stored.data(), bytes.data(), stored.size() * 2);
    ASSERT_EQ(stored.size(), 24000u);
    Decoded wave = decode(*open(make("speech.wav", {source})));
    ASSERT_FALSE(wave.failed) << wave.error;
    EXPECT_EQ(wave.samples, stored);
    EXPECT_NEAR(wave.start(), 0.0, 1e-9);
    expectContinuous(wave.buffers);
}

TEST_F(SoundFileTest, FilesWithoutSoundOrNoMoviesFailWithTheReasonAndTruncatedDamagedOrSlowOnesEndEarlyWithoutHarm) {
    auto file = open(make("silent.mp4", {picture(1), {"-c:v", "libx264", "-preset", "ultrafast"}}));
    EXPECT_EQ(file->audioTrackCount(), 0);
    auto error = thrown<SoundFileError>([&] { file->startReading(); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, SoundFileError::Stage::reader);
    EXPECT_STREQ(error->what(), "Stream not found");
    // Reading what could not be prepared ends at once, as a failure.
    EXPECT_FALSE(file->read());
    EXPECT_TRUE(file->failed());
    EXPECT_NE(file->errorDescription(), "");

    // A colon in the name is part of the name, not a protocol.
    const std::tuple<const char*, std::optional<std::string>, const char*> cases[] = {
        {"notes.mp4", "These are notes about a movie, not a movie.\n", "Invalid data found when processing input"},
        {"missing.mp4", std::nullopt, "No such file or directory"},
        {"empty.mov", "", nullptr},
        {"concat:one.mp4", "not a movie either", "Invalid data found when processing input"}};
    for (const auto& [name, contents, reason] : cases) {
        if (contents)
            writeFile(folder.path() / name, *contents);
        error = thrown<SoundFileError>([&] { open(folder.path() / name); });
        ASSERT_TRUE(error) << name;
        EXPECT_EQ(error->stage, SoundFileError::Stage::open) << name;
        EXPECT_TRUE(reason ? std::string(error->what()) == reason : *error->what() != 0) << name << ": " << error->what();
    }

    const auto cut = [&](const fs::path& whole, const std::string& name) {
        writeFile(folder.path() / name, readFile(whole).substr(0, fs::file_size(whole) / 2));
        return folder.path() / name;
    };
    // Opening gives up when the time is up; with time enough the same file opens.
    const auto movie = toneMovie("end.mp4");
    error = thrown<SoundFileError>([&] { SoundFile::open(movie.string(), 0ms); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, SoundFileError::Stage::timedOut);
    EXPECT_STRNE(error->what(), "");
    EXPECT_EQ(open(movie)->audioTrackCount(), 1);

    // The track list is written at the end: without it nothing can be read.
    error = thrown<SoundFileError>([&] { open(cut(movie, "end-half.mp4")); });
    ASSERT_TRUE(error);
    EXPECT_EQ(error->stage, SoundFileError::Stage::open);
    EXPECT_STREQ(error->what(), "Invalid data found when processing input");

    // Fragments written as they come, as a recording that was cut off: the sound up to the cut comes out, from
    // its start, and once at the end the file stays there.
    file = open(cut(toneMovie("fragments.mp4", {"-movflags", "+frag_keyframe+empty_moov", "-g", "15"}),
                         "fragments-half.mp4"));
    Decoded decoded = decode(*file);
    EXPECT_TRUE(!decoded.failed || !decoded.error.empty());
    EXPECT_NEAR(decoded.start(), 0.0, 0.001);
    EXPECT_GT(decoded.seconds(), 0.5);
    EXPECT_LT(decoded.seconds(), 2.8);
    EXPECT_FALSE(file->read());

    // Every 97th byte of the second half overwritten: packets, and some of the demuxer's own fields.
    std::string whole = readFile(folder.path() / "fragments.mp4");
    for (std::size_t at = whole.size() / 2; at < whole.size(); at += 97)
        whole[at] = static_cast<char>(whole[at] ^ 0x5a);
    writeFile(folder.path() / "damaged.mp4", whole);
    decoded = decode(*open(folder.path() / "damaged.mp4"));
    EXPECT_TRUE(!decoded.failed || !decoded.error.empty());
    // The undamaged first half still decodes, and no more than the track's length (with the encoder's priming,
    // which fragments keep) comes out.
    EXPECT_GT(decoded.seconds(), 1.0);
    EXPECT_LE(decoded.seconds(), 3.03);
}

// Live sound: buffers of float samples on the capture clock.

const TimePoint captureStart{std::chrono::seconds(5000)};

// A sine of `hertz` at `left` and `right` amplitude, `length` seconds from `start` in 10 ms buffers,
// converted; the non-empty results.
std::vector<SpeechSound> stream(SpeechResampler& resampler, int rate, int channels, double length, TimePoint start,
                                const std::function<float(std::size_t frame, int channel)>& wave) {
    std::vector<SpeechSound> out;
    const auto chunk = static_cast<std::size_t>(rate / 100), total = static_cast<std::size_t>(length * rate);
    for (std::size_t at = 0; at < total; at += chunk) {
        AudioBuffer audio{.sampleRate = rate, .channels = channels, .samples = {},
                          .time = start + std::chrono::duration_cast<Duration>(
                                              std::chrono::duration<double>(static_cast<double>(at) / rate))};
        for (std::size_t frame = at; frame < std::min(at + chunk, total); ++frame)
            for (int channel = 0; channel < channels; ++channel)
                audio.samples.push_back(wave(frame, channel));
        if (SpeechSound sound = resampler.convert(audio); !sound.samples.empty())
            out.push_back(std::move(sound));
    }
    return out;
}
std::function<float(std::size_t, int)> sine(double hertz, int rate, double left, double right) {
    return [=](std::size_t frame, int channel) {
        return static_cast<float>(std::sin(2 * std::numbers::pi * hertz * static_cast<double>(frame) / rate) *
                                  (channel == 0 ? left : right));
    };
}
std::vector<std::int16_t> joined(const std::vector<SpeechSound>& sounds) {
    std::vector<std::int16_t> all;
    for (const auto& sound : sounds)
        all.insert(all.end(), sound.samples.begin(), sound.samples.end());
    return all;
}
double clockSeconds(TimePoint time) { return std::chrono::duration<double>(time.time_since_epoch()).count(); }

TEST(SpeechResamplerTest, ContinuousStreamsStayContinuousFollowingChannelsAndRatesAndLoudSoundIsClippedNotWrapped) {
    SpeechResampler resampler;
    auto first = stream(resampler, 48000, 2, 1.0, captureStart, sine(440, 48000, 0.5, 0.5));
    ASSERT_FALSE(first.empty());
    auto samples = joined(first);
    // All of the second but what the filter still holds back, which is a few samples.
    EXPECT_LE(samples.size(), 16000u);
    EXPECT_GE(samples.size(), 16000u - 40);
    // The first sample is the stream's first, on the capture clock; the rest follow without gaps.
    EXPECT_NEAR(first.front().time, clockSeconds(captureStart), 0.0005);
    expectContinuous(first);
    auto middle = slice(samples, 0.05, 0.95);
    EXPECT_NEAR(frequency(middle), 440, 2);
    EXPECT_NEAR(rms(middle), sineLevel(0.5), sineLevel(0.5) * 0.02);

    const TimePoint later = captureStart + 1s;
    auto second = stream(resampler, 44100, 1, 0.5, later, sine(1000, 44100, 0.5, 0.5));
    ASSERT_FALSE(second.empty());
    auto after = joined(second);
    EXPECT_NEAR(static_cast<double>(samples.size() + after.size()), 24000, 80);
    EXPECT_NEAR(second.front().time, clockSeconds(later), 0.001);
    expectContinuous(second);
    EXPECT_NEAR(frequency(slice(after, 0.05, 0.45)), 1000, 3);
    EXPECT_NEAR(rms(slice(after, 0.05, 0.45)), sineLevel(0.5), sineLevel(0.5) * 0.02); // mono at its full level

    // One side only comes out at half its level.
    SpeechResampler oneSided;
    auto left = joined(stream(oneSided, 48000, 2, 0.5, captureStart, sine(440, 48000, 0.5, 0.0)));
    EXPECT_NEAR(rms(slice(left, 0.05, 0.45)), sineLevel(0.25), sineLevel(0.25) * 0.02);

    // Loud sound is clipped, not wrapped, and meaningless input gives no sound.
    // 16 kHz mono goes straight to 16-bit: the values are exact.
    SpeechResampler clipping;
    SpeechSound sound = clipping.convert(
        {.sampleRate = 16000, .channels = 1, .samples = {1.5f, -1.5f, 1.0f, -1.0f, 0.5f, -0.25f, 0.0f, 4.0f, -4.0f},
         .time = captureStart});
    EXPECT_EQ(sound.samples, (std::vector<std::int16_t>{32767, -32768, 32767, -32768, 16384, -8192, 0, 32767, -32768}));
    EXPECT_NEAR(sound.time, clockSeconds(captureStart), 1e-9);

    sound = clipping.convert({.sampleRate = 48000, .channels = 2, .samples = {}, .time = captureStart});
    EXPECT_TRUE(sound.samples.empty());
    EXPECT_EQ(sound.duration(), 0.0);
    for (auto [rate, channels] : {std::pair{0, 2}, {48000, 0}, {-48000, 2}, {48000, -1}, {48000, 100}}) {
        const AudioBuffer bad{.sampleRate = rate, .channels = channels, .samples = std::vector<float>(960, 0.5f),
                              .time = captureStart};
        EXPECT_TRUE(clipping.convert(bad).samples.empty()) << rate << " Hz, " << channels << " channels";
    }
    // Half a frame at the end is left out.
    EXPECT_EQ(clipping.convert({.sampleRate = 16000, .channels = 2, .samples = std::vector<float>(321, 0.5f),
                                 .time = captureStart})
                  .samples.size(),
              160u);

    // Through the resampler, which goes on working after all of that: 50 ms at +1.5, then 50 ms at -1.5.
    auto steps = [](std::size_t frame, int) { return frame < 2400 ? 1.5f : -1.5f; };
    auto clipped = joined(stream(clipping, 48000, 2, 0.1, captureStart + 1s, steps));
    ASSERT_GE(clipped.size(), 1500u);
    for (std::size_t i = 100; i < 700; ++i)
        EXPECT_EQ(clipped[i], 32767) << i;
    for (std::size_t i = 900; i < 1500; ++i)
        EXPECT_EQ(clipped[i], -32768) << i;
}

} // namespace
