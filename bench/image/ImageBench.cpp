// Screenshot encoding: a 1179 × 2556 phone frame scaled to 590 wide and written as JPEG at quality 0.75,
// timed in process (what a screenshot tool call pays) and as whole processes beside ImageMagick doing the
// same job from the same PNG file.
//
// Usage: image-bench            run the comparison and print the figures
//        image-bench --once IN OUT   one whole job: read the PNG IN, scale, write the JPEG OUT
#include "platform/Image.hpp"
#include "platform/Process.hpp"
#include "sim/SimScreen.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace pokescope;
using SteadyClock = std::chrono::steady_clock;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool writeAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

int once(const std::string& in, const std::string& out) {
    auto frame = decoded(readAll(in));
    if (!frame)
        return 1;
    auto small = scaled(std::make_shared<Image>(std::move(*frame)), 590);
    auto jpeg = small ? encoded(*small, ImageType::jpeg, 0.75) : std::nullopt;
    return jpeg && writeAll(out, *jpeg) ? 0 : 1;
}

struct Figures {
    double min, median, max;
};

Figures summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2], ms.back()};
}

template <class F> Figures timed(int runs, F&& job) {
    job(); // warm-up
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        auto start = SteadyClock::now();
        job();
        ms.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - start).count());
    }
    return summarise(ms);
}

void row(const char* what, const Figures& f) {
    std::printf("%-58s %8.2f %8.2f %8.2f\n", what, f.min, f.median, f.max);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--once")
        return once(argv[2], argv[3]);

    // A realistic frame: the simulated phone's Settings list.
    sim::SimScreen screen;
    Image frame;
    auto now = SteadyClock::now();
    screen.render(frame, now);
    screen.openApp("Settings", now);
    for (int i = 1; i <= 60; ++i)
        screen.render(frame, now + std::chrono::milliseconds(17 * i));
    auto ref = std::make_shared<Image>(frame);

    std::string folder = std::filesystem::temp_directory_path() / ("pokescope-image-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::string png = folder + "/frame.png", ours = folder + "/ours.jpg", theirs = folder + "/theirs.jpg";
    writeAll(png, *encoded(frame, ImageType::png, 1.0));

    std::size_t bytes = 0;
    auto inProcess = timed(50, [&] {
        auto small = scaled(ref, 590);
        bytes = encoded(*small, ImageType::jpeg, 0.75)->size();
    });
    auto scaleOnly = timed(50, [&] { scaled(ref, 590); });

    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string exe(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    auto oursProcess = timed(15, [&] { runProcess({exe, "--once", png, ours}, std::chrono::seconds(30)); });
    int magickStatus = 0;
    auto magick = timed(15, [&] {
        magickStatus = runProcess({"/usr/bin/convert", png, "-filter", "Triangle", "-resize", "590x", "-quality", "75", theirs},
                                  std::chrono::seconds(30))
                           .status;
    });

    auto oursOut = decoded(readAll(ours)), theirsOut = decoded(readAll(theirs));
    std::printf("frame %dx%d; JPEG %zu bytes (ours, 590x%d)\n", frame.width(), frame.height(), bytes,
                oursOut ? oursOut->height() : 0);
    std::printf("%-58s %8s %8s %8s\n", "milliseconds", "min", "median", "max");
    row("in process: scaled(590) + JPEG 0.75 (ours)", inProcess);
    row("in process: scaled(590) only (ours)", scaleOnly);
    row("whole process: PNG in, scale, JPEG out (ours)", oursProcess);
    if (magickStatus == 0 && theirsOut) {
        row("whole process: convert -filter Triangle -resize 590x -quality 75", magick);
        std::printf("ImageMagick / ours, whole process, medians: %.1fx (ImageMagick's output %dx%d)\n",
                    magick.median / oursProcess.median, theirsOut->width(), theirsOut->height());
    } else {
        std::printf("ImageMagick's convert did not run (status %d)\n", magickStatus);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
