// The main queue drained by a thread of its own, for tests that call the application model (whose
// operations belong to the main queue) from the test's thread.
#pragma once

#include "platform/Dispatch.hpp"

#include <thread>
#include <utility>

namespace pokescope::test {

class MainQueueThread {
public:
    MainQueueThread() : thread_([] { DispatchQueue::runMain(); }) {}
    ~MainQueueThread() { DispatchQueue::stopMain(); thread_.join(); }
    MainQueueThread(const MainQueueThread&) = delete;
    MainQueueThread& operator=(const MainQueueThread&) = delete;
    // Runs `f` on the main queue and waits for its result.
    template <class F> auto run(F&& f) { return DispatchQueue::main().sync(std::forward<F>(f)); }

private:
    std::thread thread_;
};

} // namespace pokescope::test
