// What an agent's tool calls cost on the simulated phone, and where the time goes: the waits the
// procedures prescribe (for the pointer, the phone's animations and the capture), text recognition, and
// everything else — our own overhead (frames, scaling, JPEG, base64, JSON, dispatch).
//
// The whole application runs in this process on the simulated iPhone, without windows; calls go through
// the same tool dispatch the agent server uses.
//
// Usage: tools-bench [--runs N] [--taps N]
#include "app/Services.hpp"
#include "core/Log.hpp"
#include "sim/SimPhone.hpp"
#include "platform/Dispatch.hpp"
#include "platform/WaitLedger.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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
    std::vector<double> total, waits, recognition, overhead;
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
    split.total.push_back(total);
    split.waits.push_back(w);
    split.recognition.push_back(r);
    split.overhead.push_back(total - w - r);
    if (result.value("isError", false))
        std::fprintf(stderr, "%s failed: %s\n", tool.c_str(), result["content"][0].value("text", "").c_str());
    return result;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * (values.size() - 1) + 0.5)];
}

void report(const char* name, const Split& s) {
    std::printf("%-26s n=%-3zu total median %7.1f ms p90 %7.1f | prescribed waits %7.1f | recognition %6.1f | "
                "overhead median %5.1f ms p90 %5.1f\n",
                name, s.total.size(), percentile(s.total, 0.5), percentile(s.total, 0.9),
                percentile(s.waits, 0.5), percentile(s.recognition, 0.5), percentile(s.overhead, 0.5),
                percentile(s.overhead, 0.9));
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

} // namespace

int main(int argc, char** argv) {
    int runs = 15, taps = 8;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(2, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--taps") == 0)
            taps = std::max(2, std::atoi(argv[++i]));
    }
    // A home of its own: the bench's calibration and settings never touch the user's.
    const auto home = std::filesystem::temp_directory_path() / ("tools-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"})
        ::unsetenv(name);
    Log::shared().configure(Log::FileMode::append, -1); // the log goes to the bench home only

    auto& services = Services::forProcess(Backends::simulated(std::make_shared<sim::SimPhone>(sim::runOptions())));
    auto& tools = *services.tools;
    services.model.setPort(freePort());
    services.model.setHeadless(true);
    std::thread main([] { DispatchQueue::runMain(); });
    DispatchQueue::main().async([&services] { services.model.start(); });

    int status = 0;
    if (!waitFor([&services] { return services.hid.state() == BluetoothHID::State::ready &&
                                      services.capture.latestImage(); },
                 60s)) {
        std::fprintf(stderr, "the simulated phone did not connect within a minute\n");
        status = 1;
    } else {
        Split calibrate, withText, withoutText, tapText;
        measured(tools, calibrate, "calibrate", json::object());
        std::printf("calibrate: %.1f s (prescribed waits %.1f s)\n", calibrate.total[0] / 1000,
                    calibrate.waits[0] / 1000);
        tools.call("press_key", {{"key", "home"}});
        for (int i = 0; i < runs; ++i)
            measured(tools, withText, "screenshot", json::object());
        for (int i = 0; i < runs; ++i)
            measured(tools, withoutText, "screenshot", {{"include_text", false}});
        for (int i = 0; i < taps; ++i) {
            // Two labels in turn: the pointer stays over the label it tapped and hides it for a while.
            measured(tools, tapText, "tap_text", {{"text", i % 2 ? "Photos" : "Notes"}});
            tools.call("press_key", {{"key", "home"}});
        }
        report("screenshot (with text)", withText);
        report("screenshot (no text)", withoutText);
        report("tap_text Notes/Photos", tapText);
    }
    services.hid.stop();
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    std::fflush(stdout);
    std::_Exit(status); // the services live for the process; nothing to tear down in order
}
