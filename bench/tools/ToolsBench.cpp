// What an agent's tool calls cost on the simulated phone, and where the time goes: waits (the fixed ones
// the procedures prescribe, and those that end when the frames show their effect), text recognition, and
// everything else — our own overhead (frames, scaling, JPEG, base64, JSON, dispatch).
//
// Each phone setting runs with the pointer's adaptive and its exact timing, one after the other, each in a
// child process of its own (the services are built once per process): the whole application on the
// simulated iPhone, without windows; calls go through the same tool dispatch the agent server uses.
//
// The tools that read the phone's own records (apps, log, crash reports, state) are measured first; with
// --records-only nothing else is. An app the phone setting makes crash (crash-on-open=) is opened once before,
// so that there is a report to copy and log lines to find.
//
// Usage: tools-bench [--runs N] [--taps N] [--records-only] [--sim WORDS]... (default: the ideal phone and two
//        slow paths)
//        tools-bench --one WORDS adaptive|exact [--runs N] [--taps N] [--records-only]
// TOOLS_BENCH_LOG=FILE keeps a run's application log there.
#include "app/Services.hpp"
#include "core/Log.hpp"
#include "platform/Paths.hpp"
#include "sim/SimPhone.hpp"
#include "platform/Dispatch.hpp"
#include "platform/WaitLedger.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "vision/ScreenText.hpp"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pokescope;
using SteadyClock = std::chrono::steady_clock;
using nlohmann::json;
using namespace std::chrono_literals;

namespace {

double ms(Duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Split {
    std::vector<double> total, waits, recognition, overhead; // of the calls that succeeded
    int failed = 0; // calls that ended in an error: a fast failure would make the times look better
};

// One call, with the tally of waits and recognition taken before and after it.
json measured(ToolSet& tools, Split& split, const std::string& tool, const json& arguments) {
    const auto waits = WaitLedger::total(WaitLedger::Kind::prescribedWait);
    const auto reading = WaitLedger::total(WaitLedger::Kind::recognition);
    const auto start = SteadyClock::now();
    json result = tools.call(tool, arguments);
    const double total = ms(SteadyClock::now() - start);
    const double w = ms(WaitLedger::total(WaitLedger::Kind::prescribedWait) - waits);
    const double r = ms(WaitLedger::total(WaitLedger::Kind::recognition) - reading);
    if (result.value("isError", false)) {
        ++split.failed;
        std::fprintf(stderr, "%s failed: %s\n", tool.c_str(), result["content"][0].value("text", "").c_str());
        return result;
    }
    split.total.push_back(total);
    split.waits.push_back(w);
    split.recognition.push_back(r);
    split.overhead.push_back(total - w - r);
    return result;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return std::nan("");
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * (values.size() - 1) + 0.5)];
}

void report(const char* name, const Split& s) {
    std::printf("%-26s n=%-3zu total median %7.1f ms p90 %7.1f | prescribed waits %7.1f | recognition %6.1f | "
                "overhead median %5.1f ms p90 %5.1f",
                name, s.total.size(), percentile(s.total, 0.5), percentile(s.total, 0.9),
                percentile(s.waits, 0.5), percentile(s.recognition, 0.5), percentile(s.overhead, 0.5),
                percentile(s.overhead, 0.9));
    if (s.failed > 0)
        std::printf(" | %d more failed, not counted", s.failed);
    std::printf("\n");
}

std::uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 47900;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto end = SteadyClock::now() + limit;
    while (!condition()) {
        if (SteadyClock::now() > end)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// Where the phone's last touch went down, in frame pixels: where the tap landed (the pointer may have
// stepped aside since, for reading the screen).
PointD lastTouch(Services& services) {
    auto phone = services.backends().phone;
    auto frame = services.capture.latestImage();
    auto [x, y] = phone->screen().lastTouchDown();
    const double scale = frame ? frame->width() / static_cast<double>(phone->screen().width()) : 1;
    return {x * scale, y * scale};
}

// The centre of `label` on the screen now, in frame pixels.
std::optional<PointD> centreOf(Services& services, const std::string& label) {
    auto frame = services.capture.latestImage();
    if (!frame)
        return std::nullopt;
    auto found = ScreenText::find(label, ScreenText::read(*frame, *services.backends().recognizer), 1);
    if (!found)
        return std::nullopt;
    return PointD{found->x + found->width / 2.0, found->y + found->height / 2.0};
}

void measureRecords(ToolSet& tools, const sim::SimOptions& options, int runs) {
    for (const auto& app : options.settings.crashOnOpen)
        tools.call("open_app", {{"name", app}});
    Split apps, log, reports, info;
    for (int i = 0; i < runs; ++i) {
        measured(tools, apps, "list_apps", {{"include_system", true}});
        measured(tools, log, "device_log", {{"seconds", 600}, {"contains", "launching"}});
        measured(tools, reports, "crash_reports", json::object());
        measured(tools, info, "device_info", json::object());
    }
    report("list_apps (with iOS's)", apps);
    report("device_log (a filter)", log);
    report("crash_reports (the list)", reports);
    report("device_info", info);
}

int runOne(const std::string& words, const std::string& timing, int runs, int taps, bool recordsOnly) {
    // A home of its own: the bench's calibration and settings never touch the user's.
    const auto home = std::filesystem::temp_directory_path() / ("tools-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"})
        ::unsetenv(name);
    Log::shared().configure(Log::FileMode::append, -1); // the log goes to the bench home only
    sim::SimOptions options = sim::runOptions();
    if (!words.empty())
        options.settings = sim::SimSettings::parse(words, options.settings);

    auto& services = Services::forProcess(Backends::simulated(std::make_shared<sim::SimPhone>(options)));
    services.settings.setPointerTiming(timing == "exact" ? AppSettings::PointerTiming::exact
                                                         : AppSettings::PointerTiming::adaptive);
    auto& tools = *services.tools;
    services.model.setPort(freePort());
    services.model.setHeadless(true);
    std::thread main([] { DispatchQueue::runMain(); });
    DispatchQueue::main().async([&services] { services.model.start(); });

    int status = 0;
    std::printf("== %s, %s timing\n", words.empty() ? "the ideal phone" : words.c_str(), timing.c_str());
    if (!waitFor([&services] { return services.hid.state() == BluetoothHID::State::ready &&
                                      services.capture.latestImage(); },
                 60s)) {
        std::fprintf(stderr, "the simulated phone did not connect within a minute\n");
        status = 1;
    } else if (measureRecords(tools, options, runs); !recordsOnly) {
        Split calibrate, withText, tapText, scroll, back, type;
        std::vector<double> landing;
        measured(tools, calibrate, "calibrate", json::object());
        if (calibrate.total.empty())
            std::printf("calibrate: failed\n");
        else
            std::printf("calibrate: %.1f s (waits %.1f s)\n", calibrate.total[0] / 1000, calibrate.waits[0] / 1000);
        tools.call("press_key", {{"key", "home"}});
        for (int i = 0; i < runs; ++i)
            measured(tools, withText, "screenshot", json::object());
        for (int i = 0; i < taps; ++i) {
            // Two labels in turn: the pointer stays near the label it tapped.
            const std::string label = i % 2 ? "Photos" : "Notes";
            auto target = centreOf(services, label);
            measured(tools, tapText, "tap_text", {{"text", label}});
            if (target) {
                auto at = lastTouch(services);
                landing.push_back(std::max(std::abs(at.x - target->x), std::abs(at.y - target->y)));
            }
            tools.call("press_key", {{"key", "home"}});
        }
        tools.call("open_app", {{"name", "Settings"}});
        measured(tools, scroll, "scroll_to", {{"text", "Developer"}, {"max_scrolls", 20}});
        tools.call("tap_text", {{"text", "Developer"}});
        measured(tools, back, "press_key", {{"key", "back"}});
        tools.call("open_app", {{"name", "Notes"}});
        const double scale = tools.scale();
        auto frame = services.capture.latestImage();
        tools.call("tap", {{"x", frame->width() / scale / 2}, {"y", frame->height() / scale * 0.35}});
        measured(tools, type, "type_text", {{"text", "Hello from the bench"}});
        report("screenshot (with text)", withText);
        report("tap_text Notes/Photos", tapText);
        std::printf("tap_text landing (the phone's pointer from the label's centre): median %.1f px, max %.1f px\n",
                    landing.empty() ? -1 : percentile(landing, 0.5), landing.empty() ? -1 : percentile(landing, 1));
        report("scroll_to Developer", scroll);
        report("press_key back", back);
        report("type_text (20 characters)", type);
    }
    services.hid.stop();
    std::error_code ignored;
    if (const char* keep = std::getenv("TOOLS_BENCH_LOG")) // where to keep the run's log, for reading its timeline
        std::filesystem::copy_file(Paths::logFile(), keep, std::filesystem::copy_options::overwrite_existing, ignored);
    std::filesystem::remove_all(home, ignored);
    std::fflush(stdout);
    std::_Exit(status); // the services live for the process; nothing to tear down in order
}

} // namespace

int main(int argc, char** argv) {
    int runs = 10, taps = 8;
    bool recordsOnly = false;
    std::vector<std::string> settings;
    std::optional<std::pair<std::string, std::string>> one;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(2, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--taps") == 0 && i + 1 < argc)
            taps = std::max(2, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--records-only") == 0)
            recordsOnly = true;
        else if (std::strcmp(argv[i], "--sim") == 0 && i + 1 < argc)
            settings.emplace_back(argv[++i]);
        else if (std::strcmp(argv[i], "--one") == 0 && i + 2 < argc) {
            one.emplace(argv[i + 1], argv[i + 2]);
            i += 2;
        } else {
            std::fprintf(stderr, "tools-bench: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (one)
        return runOne(one->first, one->second, runs, taps, recordsOnly);
    if (settings.empty())
        settings = {"", "latency=150,jitter=40,hid-latency=30,hid-jitter=20",
                    "model=iphone-se,latency=250,jitter=50,noise=24,hid-latency=40,hid-jitter=20,hid-loss=0.01"};
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    int status = 0;
    for (const auto& words : settings)
        for (const char* timing : {"adaptive", "exact"}) {
            std::fflush(stdout);
            std::string command = "'" + self + "' --one '" + words + "' " + timing + " --runs " +
                                  std::to_string(runs) + " --taps " + std::to_string(taps) +
                                  (recordsOnly ? " --records-only" : "");
            if (std::system(command.c_str()) != 0)
                status = 1;
        }
    return status;
}
