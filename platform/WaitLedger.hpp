// Where the time of a call goes: a process-wide tally of the time spent in the waits the system's
// procedures prescribe (for the phone's pointer, its animations and the capture to catch up) and in text
// recognition. Whatever else a call takes is the system's own overhead; benchmarks read the tally before
// and after each call.
#pragma once

#include "platform/Dispatch.hpp"

namespace pokescope::WaitLedger {

enum class Kind { prescribedWait, recognition };

void add(Kind kind, Duration spent);
Duration total(Kind kind);

// Adds the time from its construction to its end.
class Scope {
public:
    explicit Scope(Kind kind) : kind_(kind), start_(std::chrono::steady_clock::now()) {}
    ~Scope() { add(kind_, std::chrono::steady_clock::now() - start_); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Kind kind_;
    TimePoint start_;
};

// While one lives, what its thread spends is not added: work done in the background, beside a call, costs
// the call only what the call waits for it.
class Uncounted {
public:
    Uncounted();
    ~Uncounted();
    Uncounted(const Uncounted&) = delete;
    Uncounted& operator=(const Uncounted&) = delete;

private:
    bool previous_;
};

// Sleeps for `duration` as a prescribed wait.
void sleep(Duration duration);

} // namespace pokescope::WaitLedger
