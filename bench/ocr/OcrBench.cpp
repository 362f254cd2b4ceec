// The recognition benchmark: ScreenText.read against the tesseract command line on the same screens,
// per set (the part of each file name before the first '-', such as light or dark): time per frame,
// word recall and precision, and how many expected items land inside a returned box.
//
//   ocr-bench render DIR                          simulated screens with their drawn texts into DIR
//   ocr-bench measure DIR [--runs N] [--verbose]  the table for every DIR/<name>.png with <name>.txt
//   ocr-bench prepared IN.png OUT.png             the grey image the engine reads, band cuts in grey
#include "bench/ocr/OcrMeasure.hpp"
#include "bench/ocr/OcrScreens.hpp"

#include "platform/linux/TesseractPrepare.hpp"
#include "vision/ScreenText.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>

using namespace pokescope;
using namespace pokescope::bench;
namespace fs = std::filesystem;

namespace {

struct Screen {
    std::string set, name;
    fs::path png;
    Image frame;
    std::vector<Expected> expected;
};

struct Tally {
    std::vector<double> ms, cpu;
    Score score;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * (v.size() - 1) + 0.5)];
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Processor time of this process, both cores counted: steadier than wall time on a busy machine.
double cpuMilliseconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The command line with its default settings; its lines are its items.
std::vector<Found> runCommandLine(const fs::path& png, const std::string& env, double& ms) {
    const fs::path base = fs::temp_directory_path() / "ocr-bench-cli";
    const std::string command =
        env + " tesseract '" + png.string() + "' '" + base.string() + "' tsv >/dev/null 2>&1";
    const auto start = std::chrono::steady_clock::now();
    const int status = std::system(command.c_str());
    ms = millisecondsSince(start);
    if (status != 0)
        std::cerr << "tesseract failed on " << png << "\n";
    std::map<std::string, Found> lines;
    std::vector<std::string> order;
    std::istringstream tsv(readFile(base.string() + ".tsv"));
    std::string row;
    std::getline(tsv, row); // header
    while (std::getline(tsv, row)) {
        std::vector<std::string> f;
        std::istringstream cells(row);
        for (std::string c; std::getline(cells, c, '\t');)
            f.push_back(c);
        if (f.size() < 12 || f[0] != "5" || f[11].find_first_not_of(' ') == std::string::npos)
            continue;
        const std::string key = f[2] + "." + f[3] + "." + f[4];
        const int x = std::stoi(f[6]), y = std::stoi(f[7]), w = std::stoi(f[8]), h = std::stoi(f[9]);
        auto [it, fresh] = lines.try_emplace(key, Found{f[11], x, y, w, h});
        if (fresh) {
            order.push_back(key);
            continue;
        }
        Found& l = it->second;
        const int right = std::max(l.x + l.width, x + w), bottom = std::max(l.y + l.height, y + h);
        l.text += " " + f[11];
        l.x = std::min(l.x, x), l.y = std::min(l.y, y);
        l.width = right - l.x, l.height = bottom - l.y;
    }
    std::vector<Found> out;
    for (const auto& k : order)
        out.push_back(lines[k]);
    return out;
}

std::vector<Screen> loadScreens(const fs::path& dir) {
    std::vector<Screen> screens;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".png")
            continue;
        fs::path truth = entry.path();
        truth.replace_extension(".txt");
        if (!fs::exists(truth))
            continue;
        auto frame = decoded(readFile(entry.path()));
        if (!frame) {
            std::cerr << "cannot decode " << entry.path() << "\n";
            continue;
        }
        Screen s;
        s.name = entry.path().stem().string();
        const auto dash = s.name.find('-');
        s.set = dash == std::string::npos ? "all" : s.name.substr(0, dash);
        s.png = entry.path();
        s.frame = std::move(*frame);
        s.expected = readExpected(truth.string());
        screens.push_back(std::move(s));
    }
    std::sort(screens.begin(), screens.end(),
              [](const Screen& a, const Screen& b) { return a.name < b.name; });
    return screens;
}

void printVerbose(const std::string& who, const Screen& s, const Score& sc) {
    if (sc.missed.empty() && sc.extra.empty())
        return;
    std::cout << who << " " << s.name << ":";
    for (const auto& w : sc.missed)
        std::cout << " -[" << w << "]";
    for (const auto& w : sc.extra)
        std::cout << " +[" << w << "]";
    std::cout << "\n";
}

int measure(const fs::path& dir, int runs, bool verbose, bool commandLine) {
    const auto screens = loadScreens(dir);
    if (screens.empty()) {
        std::cerr << "no <name>.png with <name>.txt in " << dir << "\n";
        return 1;
    }
    const std::vector<std::pair<std::string, std::string>> clis{
        {"tesseract command line", ""}, {"tesseract, 1 thread", "OMP_THREAD_LIMIT=1"}};
    std::map<std::string, std::map<std::string, Tally>> tallies; // set -> recogniser -> tally
    const std::string ours = "ScreenText.read";
    const auto recognizer = TextRecognizer::system();
    ScreenText::read(screens.front().frame, *recognizer); // loads the engines once, as a running application has
    for (const Screen& s : screens) {
        std::vector<TextItem> items;
        for (int i = 0; i < runs; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const double cpuStart = cpuMilliseconds();
            items = ScreenText::read(s.frame, *recognizer);
            tallies[s.set][ours].ms.push_back(millisecondsSince(start));
            tallies[s.set][ours].cpu.push_back(cpuMilliseconds() - cpuStart);
        }
        std::vector<Found> found;
        for (const TextItem& t : items)
            found.push_back({t.text, t.x, t.y, t.width, t.height});
        const Score sc = score(s.expected, found);
        tallies[s.set][ours].score.add(sc);
        if (verbose)
            printVerbose(ours, s, sc);
        for (const auto& [who, env] : commandLine ? clis : decltype(clis){}) {
            double ms = 0;
            const Score c = score(s.expected, runCommandLine(s.png, env, ms));
            tallies[s.set][who].ms.push_back(ms);
            tallies[s.set][who].score.add(c);
            if (verbose)
                printVerbose(who, s, c);
        }
    }

    std::printf("%-6s %-24s %6s %10s %8s %8s %8s %10s %7s\n", "set", "recogniser", "frames", "median ms",
                "p90 ms", "cpu ms", "recall", "precision", "boxes");
    for (const auto& [set, byWho] : tallies) {
        std::vector<std::string> order{ours};
        for (const auto& c : clis)
            order.push_back(c.first);
        for (const auto& who : order) {
            const auto it = byWho.find(who);
            if (it == byWho.end())
                continue;
            const Tally& t = it->second;
            const Score& sc = t.score;
            const auto frames =
                std::count_if(screens.begin(), screens.end(), [&](const Screen& s) { return s.set == set; });
            std::printf("%-6s %-24s %6ld %10.0f %8.0f %8s %7.1f%% %9.1f%% %6.1f%%\n", set.c_str(),
                        who.c_str(), static_cast<long>(frames), percentile(t.ms, 0.5), percentile(t.ms, 0.9),
                        t.cpu.empty() ? "-" : std::to_string(std::lround(percentile(t.cpu, 0.5))).c_str(),
                        100.0 * sc.matchedWords / std::max(1L, sc.expectedWords),
                        100.0 * sc.matchedWords / std::max(1L, sc.foundWords),
                        100.0 * sc.boxesHit / std::max(1L, sc.boxedItems));
        }
    }
    return 0;
}

// What the engine is given for one screenshot, to look at when a word goes missing.
int writePrepared(const fs::path& in, const fs::path& out) {
    auto frame = decoded(readFile(in));
    if (!frame) {
        std::cerr << "cannot decode " << in << "\n";
        return 1;
    }
    Image grey = ocr::preparedGrey(*frame, 2);
    const auto bands = ocr::bands(grey, 4);
    for (std::size_t i = 1; i < bands.size(); ++i)
        for (int x = 0; x < grey.width(); x += 2)
            grey.row(bands[i].top)[x] = 128;
    auto png = encoded(grey, ImageType::png, 1);
    if (!png)
        return 1;
    std::ofstream(out, std::ios::binary) << *png;
    for (const TextItem& t : ScreenText::read(*frame, *TextRecognizer::system()))
        std::cout << t.text << "\t" << t.x << " " << t.y << " " << t.width << " " << t.height << "\n";
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() >= 2 && args[0] == "render") {
        const int n = renderScreens(args[1]);
        std::cout << n << " screens in " << args[1] << "\n";
        return n > 0 ? 0 : 1;
    }
    if (args.size() >= 2 && args[0] == "measure") {
        int runs = 5;
        bool verbose = false, commandLine = true;
        for (std::size_t i = 2; i < args.size(); ++i) {
            if (args[i] == "--runs" && i + 1 < args.size())
                runs = std::max(1, std::atoi(args[++i].c_str()));
            else if (args[i] == "--verbose")
                verbose = true;
            else if (args[i] == "--no-command-line")
                commandLine = false;
        }
        return measure(args[1], runs, verbose, commandLine);
    }
    if (args.size() >= 3 && args[0] == "prepared")
        return writePrepared(args[1], args[2]);
    std::cerr << "usage: ocr-bench render DIR | ocr-bench measure DIR [--runs N] [--verbose] "
                 "[--no-command-line] | ocr-bench prepared IN.png OUT.png\n";
    return 2;
}
