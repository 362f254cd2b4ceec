#include "agent/StdioBridge.hpp"

#include "core/Log.hpp"
#include "platform/Process.hpp"
#include "platform/Utf8.hpp"

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace pokescope::StdioBridge {

namespace {

using namespace std::chrono_literals;

constexpr auto kProbeTimeout = 1s;
constexpr auto kRequestTimeout = 120s;
constexpr auto kSilenceTimeout = 30s; // an event stream with progress sends something every few seconds
constexpr int kWaitAttempts = 40;
constexpr auto kWaitInterval = 250ms;

struct CurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// The body as it arrives: kept whole, or, for an event stream, handed on event by event.
struct Receiver {
    CURL* curl = nullptr;
    std::string* body = nullptr;
    std::function<void(const std::string& data)> onEvent;
    std::optional<bool> streaming;
    EventStreamParser parser;
};

size_t receive(char* data, size_t size, size_t count, void* target) {
    auto& receiver = *static_cast<Receiver*>(target);
    if (!receiver.streaming) {
        char* type = nullptr;
        curl_easy_getinfo(receiver.curl, CURLINFO_CONTENT_TYPE, &type);
        receiver.streaming = receiver.onEvent && type && std::string_view(type).starts_with("text/event-stream");
    }
    if (*receiver.streaming)
        for (const auto& event : receiver.parser.feed(std::string_view(data, size * count)))
            receiver.onEvent(event);
    else
        receiver.body->append(data, size * count);
    return size * count;
}

// One blocking POST. The server is on the loopback interface, so proxies from the environment are
// never used, and curl's "Expect: 100-continue" round trip is switched off.
// With `onEvent`, an event-stream answer goes to it event by event, and the exchange ends only when the
// server has been silent for `timeout` (it sends progress every few seconds) rather than after it.
Exchange post(const std::string& url, const std::string& body, const std::vector<std::string>& headers,
              std::chrono::milliseconds timeout, std::function<void(const std::string&)> onEvent = {}) {
    Exchange exchange;
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) {
        exchange.transportError = "the HTTP client could not be created";
        return exchange;
    }
    std::unique_ptr<curl_slist, CurlDeleter> list;
    auto add = [&list](const char* header) {
        if (curl_slist* head = curl_slist_append(list.get(), header)) {
            (void)list.release(); // the same list, now one longer
            list.reset(head);
        }
    };
    for (const auto& header : headers)
        add(header.c_str());
    add("Expect:");
    char error[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_POST, 1L);
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, list.get());
    if (onEvent) {
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME,
                         static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()));
    } else {
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    }
    Receiver receiver{handle, &exchange.body, std::move(onEvent), std::nullopt, {}};
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, receive);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &receiver);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    CURLcode code = curl_easy_perform(handle);
    if (code != CURLE_OK) {
        exchange.body.clear();
        exchange.transportError = error[0] ? std::string(error) : std::string(curl_easy_strerror(code));
        return exchange;
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &exchange.status);
    return exchange;
}

bool blank(const std::string& line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
        if (const char* value = std::getenv(name); value && *value)
            return true;
    return false;
}

// Starts the application in its own session with no standard streams, so its output never reaches the
// client's JSON-RPC pipe and a signal to the client's process group does not end it. A thread reaps it
// should it end while the bridge still runs; after the bridge ends, init does.
void launch(const std::vector<std::string>& arguments) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    // The bridge blocks the quit signals and ignores SIGPIPE; the application starts with neither.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> strings = arguments;
    std::vector<char*> argv;
    for (auto& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        Log::shared().add("bridge: can't start " + arguments[0] + ": " + std::strerror(rc));
        return;
    }
    std::string command;
    for (const auto& argument : arguments)
        command += (command.empty() ? "" : " ") + argument;
    Log::shared().add("bridge: started the application (pid " + std::to_string(pid) + "): " + command);
    std::thread([pid] {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }).detach();
}

void writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the client stopped reading; its end of input will follow
        done += static_cast<std::size_t>(n);
    }
}

} // namespace

std::string serverUrl(std::uint16_t port) {
    return "http://127.0.0.1:" + std::to_string(port) + "/mcp";
}

std::vector<std::string> EventStreamParser::feed(std::string_view bytes) {
    buffer_.append(bytes);
    std::vector<std::string> events;
    for (;;) {
        // Events end with a blank line; lines end with LF, CRLF or CR alike.
        std::size_t end = std::string::npos, skip = 0;
        for (std::string_view separator : {"\r\n\r\n", "\n\n", "\r\r"})
            if (auto at = buffer_.find(separator); at < end)
                end = at, skip = separator.size();
        if (end == std::string::npos)
            return events;
        std::string block = buffer_.substr(0, end);
        buffer_.erase(0, end + skip);
        std::string data;
        bool any = false;
        std::size_t start = 0;
        while (start <= block.size()) {
            std::size_t stop = block.find_first_of("\r\n", start);
            std::string_view field(block.data() + start, (stop == std::string::npos ? block.size() : stop) - start);
            if (field.starts_with("data:")) {
                field.remove_prefix(5);
                if (field.starts_with(' '))
                    field.remove_prefix(1);
                data += (any ? "\n" : "") + std::string(field);
                any = true;
            }
            if (stop == std::string::npos)
                break;
            start = stop + (block.compare(stop, 2, "\r\n") == 0 ? 2 : 1);
        }
        if (any)
            events.push_back(std::move(data));
    }
}

bool asksForProgress(const nlohmann::json& message) {
    if (!message.is_object())
        return false;
    auto params = message.find("params");
    if (params == message.end() || !params->is_object())
        return false;
    auto meta = params->find("_meta");
    return meta != params->end() && meta->is_object() && meta->contains("progressToken");
}

std::string parseErrorLine() { return R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error"}})" "\n"; }

std::optional<std::string> outputFor(const std::string& line, const Exchange& exchange) {
    std::string reply;
    // A refused request still gets its answer: the application's own JSON-RPC answer when it gave one,
    // else an internal error that names the status.
    const auto refused = [&]() -> std::optional<std::string> {
        auto answer = nlohmann::json::parse(exchange.body, nullptr, false);
        if ((answer.is_object() && answer.contains("jsonrpc")) || answer.is_array())
            return exchange.body;
        auto message = nlohmann::ordered_json::parse(line, nullptr, false);
        if (message.is_discarded() || !message.is_object() || !message.contains("id"))
            return std::nullopt;
        std::string said(exchange.body.substr(0, 200));
        said.erase(std::remove_if(said.begin(), said.end(), [](char c) { return c == '\r' || c == '\n'; }), said.end());
        nlohmann::ordered_json error = {
            {"jsonrpc", "2.0"},
            {"id", message["id"]},
            {"error",
             {{"code", -32603},
              {"message", "Pokescope app answered HTTP " + std::to_string(exchange.status) +
                              (said.empty() ? std::string() : ": " + said)}}}};
        return error.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    };
    if (exchange.transportError) {
        auto message = nlohmann::ordered_json::parse(line, nullptr, false);
        if (message.is_discarded() || !message.is_object() || !message.contains("id"))
            return std::nullopt;
        nlohmann::ordered_json error = {
            {"jsonrpc", "2.0"},
            {"id", message["id"]},
            {"error",
             {{"code", -32000}, {"message", "Pokescope app isn't reachable: " + *exchange.transportError}}}};
        reply = error.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    } else if (exchange.status == 200) {
        reply = exchange.body;
    } else if (exchange.status == 202) {
        return std::nullopt; // a notification: nothing to say
    } else if (auto answer = refused()) {
        reply = std::move(*answer);
    } else {
        return std::nullopt;
    }
    if (!utf8::isValid(reply))
        return std::nullopt;
    reply.erase(std::remove(reply.begin(), reply.end(), '\n'), reply.end());
    return reply + "\n";
}

bool reachable(const std::string& url) {
    Exchange exchange = post(url, std::string(kProbeBody), {}, kProbeTimeout);
    return !exchange.transportError && exchange.status == 200;
}

std::vector<std::string> launchArguments(const std::string& executable, const LaunchOptions& options,
                                         bool display) {
    std::vector<std::string> arguments{executable};
    if (options.headless || !display)
        arguments.emplace_back("--headless");
    if (options.simulate)
        arguments.emplace_back("--simulate");
    if (std::uint16_t port = serverPort(options); port != serverPort({}))
        arguments.insert(arguments.end(), {"--port", std::to_string(port)});
    return arguments;
}

void ensureAppRunning(const std::string& url, const LaunchOptions& options) {
    if (reachable(url))
        return;
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    // A system-chosen port could never be the one the bridge talks to, so there is nothing to start.
    if (error)
        Log::shared().add("bridge: can't find this executable to start the application: " + error.message());
    else if (serverPort(options) != 0)
        launch(launchArguments(executable.string(), options, hasDisplay()));
    for (int attempt = 0; attempt < kWaitAttempts; ++attempt) {
        if (reachable(url))
            return;
        std::this_thread::sleep_for(kWaitInterval);
    }
    Log::shared().add("bridge: the application isn't answering on " + url);
}

namespace {

// Standard output: one reply line per write, never two at once, and none once the bridge is ending.
std::mutex outputMutex;

void output(const std::string& text) {
    std::lock_guard lock(outputMutex);
    writeAll(STDOUT_FILENO, text);
}

// One line, sent and answered; on a thread of its own.
void forward(const std::string& url, const std::vector<std::string>& headers, const std::string& line, bool progress) {
    if (!progress) {
        Exchange exchange = post(url, line, headers, kRequestTimeout);
        if (auto text = outputFor(line, exchange))
            output(*text);
        return;
    }
    bool answered = false;
    Exchange exchange = post(url, line, headers, kSilenceTimeout, [&](const std::string& data) {
        Exchange event{200, data, std::nullopt};
        if (auto text = outputFor(line, event)) {
            auto message = nlohmann::json::parse(data, nullptr, false);
            answered = answered || (message.is_object() && message.contains("id"));
            output(*text);
        }
    });
    if (answered)
        return;
    // A plain answer is written as always; a stream cut short leaves the call unanswered, and the client
    // hears why.
    if (!exchange.transportError && !(exchange.status == 200 && exchange.body.empty())) {
        if (auto text = outputFor(line, exchange))
            output(*text);
    } else if (auto text = outputFor(line, exchange.transportError
                                               ? exchange
                                               : Exchange{0, {}, std::string("the answer ended early")})) {
        output(*text);
    }
}

} // namespace

void endNow() {
    outputMutex.lock(); // a reply being written goes out whole; none starts after this
    // Not a flush of every stream: the main thread may hold standard input's lock in a blocking read.
    std::fflush(stdout);
    std::fflush(stderr);
    std::quick_exit(0);
}

void run(const LaunchOptions& options) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const std::string url = serverUrl(serverPort(options));
    ensureAppRunning(url, options);
    const std::vector<std::string> headers{"Content-Type: application/json",
                                           "Accept: application/json, text/event-stream"};
    std::mutex mutex;
    std::condition_variable finished;
    int inFlight = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (blank(line))
            continue;
        const auto message = nlohmann::json::parse(line, nullptr, false);
        if (message.is_discarded()) {
            output(parseErrorLine());
            continue;
        }
        const bool progress = asksForProgress(message);
        std::unique_lock lock(mutex);
        finished.wait(lock, [&] { return inFlight < kMaxInFlight; });
        ++inFlight;
        lock.unlock();
        std::thread([&, progress, line = std::move(line)] {
            forward(url, headers, line, progress);
            std::lock_guard done(mutex);
            --inFlight;
            finished.notify_all();
        }).detach();
        line = {};
    }
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return inFlight == 0; });
    exitProcess(0);
}

} // namespace pokescope::StdioBridge
