// A tool layer for server tests: records calls, answers them with a fixed result, and can hold a call
// until the test releases it or its client goes away.
#pragma once

#include "agent/MCPServer.hpp"

#include <condition_variable>
#include <mutex>

namespace pokescope::test {

class FakeTools : public ToolProvider {
public:
    nlohmann::json definitions() override {
        return nlohmann::json::array({{{"name", "tap"}}, {{"name", "status"}}});
    }

    nlohmann::json call(const std::string& name, const nlohmann::json& arguments) override {
        std::unique_lock lock(mutex);
        calls.emplace_back(name, arguments);
        ++started;
        changed.notify_all();
        if (name == "block") { // until released, or until its client has gone
            const auto gone = callCancellation::current();
            while (!changed.wait_for(lock, std::chrono::milliseconds(20), [&] { return released; }))
                if (gone && *gone) {
                    ++cancelled;
                    changed.notify_all();
                    return result;
                }
        }
        if (name == "sleep") {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(arguments.value("ms", 0)));
            lock.lock();
        }
        return result;
    }

    // "progress" tells `messages`, then runs like "sleep".
    nlohmann::json callReporting(const std::string& name, const nlohmann::json& arguments,
                                 const Progress& progress) override {
        if (name == "progress")
            for (const auto& message : arguments.value("messages", std::vector<std::string>{}))
                progress(message);
        return call(name == "progress" ? "sleep" : name, arguments);
    }

    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }

    bool waitForStarted(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return started >= count; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::string, nlohmann::json>> calls;
    int started = 0;
    int cancelled = 0; // blocked calls that ended because their client went away
    bool released = false;
    nlohmann::json result = {{"content", nlohmann::json::array({{{"type", "text"}, {"text", "done"}}})}};
};

} // namespace pokescope::test
