#include "app/Entry.hpp"

#include "agent/MCPServer.hpp"
#include "app/InstanceLock.hpp"
#include "core/Log.hpp"
#include "app/PokescopeApp.hpp"
#include "app/PokescopeWindows.hpp"
#include "app/SelfTest.hpp"
#include "agent/StdioBridge.hpp"
#include "app/Services.hpp"
#include "platform/Dispatch.hpp"
#include "sim/SimPhone.hpp"
#include "platform/Paths.hpp"
#include "platform/Process.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <thread>
#include <unistd.h>

namespace pokescope::Entry {

namespace {

constexpr int kHandledSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The bridge's main thread reads standard input and never runs the main queue: a signal ends it directly.
std::atomic<bool> bridging{false};

// The process's Bluetooth device, once the services exist: closes the channels, drops the link and
// withdraws the record. Safe to call more than once.
void takeBluetoothDown() {
    if (BluetoothHID* hid = Services::exitHookDevice())
        hid->stop();
}

std::uint16_t portNumber(const std::string& text, const std::string& source) {
    bool digits = !text.empty() && text.size() <= 5 &&
                  std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoul(text) > 65535)
        throw UsageError(source + " needs a port number from 0 to 65535, not \"" + text + "\"");
    return static_cast<std::uint16_t>(std::stoul(text));
}

// The three signals are blocked in every thread (threads inherit the mask, so this runs before any
// starts) and read from a signalfd by one thread that hands them to the main queue. The handler there
// takes the Bluetooth device down and exits; in stdio mode, where the main thread reads standard input and
// the main queue never runs, the bridge ends directly.
void installSignalHandling() {
    std::signal(SIGPIPE, SIG_IGN); // a vanished peer must show up as EPIPE, not kill the process
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kHandledSignals)
        sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    int fd = signalfd(-1, &set, SFD_CLOEXEC);
    if (fd < 0) {
        std::perror("pokescope: signalfd");
        return;
    }
    std::thread([fd] {
        setThreadName("pokescope.signals");
        signalfd_siginfo info{};
        for (;;) {
            ssize_t n = ::read(fd, &info, sizeof info);
            if (n != static_cast<ssize_t>(sizeof info))
                continue;
            if (bridging)
                StdioBridge::endNow();
            DispatchQueue::main().async([] {
                takeBluetoothDown();
                exitProcess(0);
            });
        }
    }).detach();
}

void exitHook() { takeBluetoothDown(); }

} // namespace

Mode parse(const std::vector<std::string>& arguments, const std::optional<std::string>& portVariable) {
    Mode mode;
    std::vector<std::string> rest;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (i == 0) {
            rest.push_back(argument);
        } else if (argument == "--simulate") {
            mode.options.simulate = true;
        } else if (argument == "--headless") {
            mode.options.headless = true;
        } else if (argument == "--port") {
            if (i + 1 >= arguments.size())
                throw UsageError("--port needs a port number from 0 to 65535");
            mode.options.port = portNumber(arguments[++i], "--port");
        } else if (argument.rfind("--port=", 0) == 0) {
            mode.options.port = portNumber(argument.substr(7), "--port");
        } else {
            rest.push_back(argument);
        }
    }
    if (!mode.options.port && portVariable && !portVariable->empty())
        mode.options.port = portNumber(*portVariable, "POKESCOPE_PORT");

    if (std::find(rest.begin(), rest.end(), "--stdio") != rest.end()) {
        mode.kind = Mode::Kind::stdio;
        return mode;
    }
    auto selftest = std::find(rest.begin(), rest.end(), "--selftest");
    if (selftest != rest.end() && selftest + 1 != rest.end()) {
        mode.kind = Mode::Kind::selftest;
        mode.selftestMode = *(selftest + 1);
        mode.extra.assign(selftest + 2, rest.end());
    }
    return mode;
}

// The descriptor limit up to what the system allows: the agent server holds a descriptor per client, and
// a thousand idle ones must not lock everyone else out at the usual soft limit of 1024.
static void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

int main(int argc, char** argv) {
    installSignalHandling();
    atProcessExit(exitHook);
    raiseDescriptorLimit();

    Mode mode;
    try {
        const char* variable = std::getenv("POKESCOPE_PORT");
        mode = parse(std::vector<std::string>(argv, argv + argc),
                     variable ? std::optional<std::string>(variable) : std::nullopt);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "pokescope: %s\n", e.what());
        exitProcess(2);
    }
    // The simulated phone's settings are checked before anything starts (or writes to the log).
    if (mode.options.simulate) {
        try {
            sim::SimOptions phone = sim::runOptions();
            if (auto settings = sim::settingsFromEnvironment(phone.settings)) {
                phone.settings = *settings;
                sim::setRunOptions(phone);
            }
        } catch (const std::invalid_argument& e) {
            std::fprintf(stderr, "pokescope: %s\n", e.what());
            exitProcess(2);
        }
    }

    // Only the application starts a new log file; the other modes add to it. Standard output belongs to
    // JSON-RPC in stdio mode, so the log goes to standard error there.
    // An application on another port than the usual one keeps a log of its own (so do the self-tests and
    // the bridge that name that port); port 0, a port the system picks, keeps the usual file.
    const std::uint16_t port = serverPort(mode.options);
    Log::shared().configure(mode.kind == Mode::Kind::application ? Log::FileMode::recreate : Log::FileMode::append,
                            mode.kind == Mode::Kind::stdio ? 2 : 1,
                            port != MCPServer::kDefaultPort && port != 0 ? std::optional(Paths::logFile(port))
                                                                         : std::nullopt);

    switch (mode.kind) {
    case Mode::Kind::stdio:
        bridging = true;
        StdioBridge::run(mode.options);
    case Mode::Kind::selftest:
        SelfTest::run(mode.selftestMode, mode.extra, mode.options);
        exitProcess(0);
    case Mode::Kind::application:
        // Before the first log line: a second application must not recreate the first one's log file.
        // A second start with windows shows the running application's window instead.
        InstanceLock::holdForProcessOrExit(serverPort(mode.options), [&mode] {
            return PokescopeWindows::noWindowsReason(mode.options).empty() &&
                   PokescopeWindows::askRunningInstanceToShow(serverPort(mode.options));
        });
        exitProcess(PokescopeApp::run(mode.options));
    }
    exitProcess(0);
}

} // namespace pokescope::Entry
