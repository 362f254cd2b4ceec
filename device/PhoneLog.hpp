// The phone's system log as this computer keeps it: the relay's bytes cut into lines, each stamped with the
// time it arrived, in a ring bounded by lines and bytes. The oldest lines go first when it is full, and are
// counted, so that a reader learns that the window it asked for reaches past what is kept.
//
// Lines end at a line feed or a NUL (the relay ends each message with one); the relay's escapes for
// bytes above 127 ("\M-x", "\M^x") become those bytes again, and text that is still not UTF-8 has its bad
// bytes replaced, never dropped. A line longer than kMaxLineBytes is cut there.
//
// Thread contract: every member may be called from any thread.
#pragma once

#include "platform/Dispatch.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope {

class PhoneLog {
public:
    static constexpr std::size_t kMaxLines = 20000;
    static constexpr std::size_t kMaxBytes = 4 * 1024 * 1024;
    static constexpr std::size_t kMaxLineBytes = 8 * 1024;

    struct Query {
        Duration window = std::chrono::seconds(60); // lines that arrived this long ago or later
        std::optional<std::string> process;         // the process name, any letter case
        std::optional<std::string> contains;        // text anywhere in the line, any letter case
        std::size_t maxLines = 200;                 // the newest ones, when more match
    };
    struct Result {
        std::vector<std::string> lines; // oldest first
        std::size_t matched = 0;        // before `maxLines` cut them
        std::uint64_t dropped = 0;      // lines dropped for room, when the window reaches past the oldest kept
        std::optional<TimePoint> oldestKept;
    };

    // Takes bytes as the relay sends them, arrived at `at`.
    void append(std::string_view bytes, TimePoint at);
    // A line of this computer's own (the relay stopping or starting again), kept among the phone's.
    void note(const std::string& text, TimePoint at);
    Result query(const Query& query, TimePoint now) const;
    std::uint64_t dropped() const;
    std::size_t size() const;

    // The process that wrote a relay line ("Mar  5 09:41:07 Host Process(Subsystem)[42] <Notice>: …"):
    // "Process"; empty when the line has no such shape.
    static std::string processOf(std::string_view line);
    // The relay's escapes of high bytes undone, then bad UTF-8 replaced.
    static std::string decoded(std::string_view raw);

private:
    struct Line {
        TimePoint at;
        std::string text;
        std::string process; // lower case
    };
    void push(std::string text, TimePoint at);
    void finishLine(TimePoint at);

    mutable std::mutex mutex_;
    std::deque<Line> lines_;
    std::size_t bytes_ = 0;
    std::uint64_t dropped_ = 0;
    std::string partial_;  // the line being received
    bool cutting_ = false; // the line being received is past kMaxLineBytes
};

} // namespace pokescope
