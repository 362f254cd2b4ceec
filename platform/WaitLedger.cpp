#include "platform/WaitLedger.hpp"

#include <atomic>
#include <thread>

namespace pokescope::WaitLedger {

namespace {

std::atomic<Duration::rep> tallies[2];
thread_local bool uncounted = false;

} // namespace

Uncounted::Uncounted() : previous_(uncounted) { uncounted = true; }
Uncounted::~Uncounted() { uncounted = previous_; }

void add(Kind kind, Duration spent) {
    if (uncounted)
        return;
    tallies[static_cast<int>(kind)].fetch_add(spent.count(), std::memory_order_relaxed);
}

Duration total(Kind kind) { return Duration(tallies[static_cast<int>(kind)].load(std::memory_order_relaxed)); }

void sleep(Duration duration) {
    if (duration <= Duration::zero())
        return;
    Scope scope(Kind::prescribedWait);
    std::this_thread::sleep_for(duration);
}

} // namespace pokescope::WaitLedger
