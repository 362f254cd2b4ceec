// Whether the phone's screen has stopped changing, told from the times the source captured its frames: a
// source that sends every frame proves it by a later unchanged frame; one that sends only changes, by quiet
// for longer than the source takes to send the next frame of a change and that frame takes to arrive.
#pragma once

#include "platform/Dispatch.hpp"

#include <algorithm>

namespace pokescope {

struct Stillness {
    TimePoint lastSeenCaptured;   // when the source captured the newest frame it delivered, changed or not
    TimePoint lastChangeCaptured; // when it captured the newest frame that showed a change
    TimePoint lastChangeArrived;  // when that frame arrived here
    Duration delay{};             // the longest recent time from a frame's capture to its arrival here
    Duration interval{};          // the source's usual time between two frames of one change
    bool framePending = false;    // a delivered frame not looked at yet
    bool known = true;            // false: a source that cannot tell (every wait runs to its limit)

    // Whether the screen has shown no change for `still`, counted from `since` at the earliest, in the
    // frames captured since then (or, where the source sends only changes, in quiet longer than `delay`).
    bool still(TimePoint since, Duration still, TimePoint now) const {
        if (!known)
            return false;
        // A frame captured `still` after the last change (and after `since`) showed nothing new.
        if (lastSeenCaptured >= std::max(lastChangeCaptured, since) + still)
            return true;
        // Quiet: a change captured up to `still` after the last one (or after `since`) would have arrived by
        // now, even with its frame two of the source's intervals late (a busy source's pace varies) and at the
        // longest recent delay, and no frame waits to be read. (Counted from the capture, not the arrival: the
        // last change's own delay is no part of it.)
        return !framePending && now >= std::max(lastChangeCaptured, since) + still + 2 * interval + delay;
    }
    // Whether a change captured after `moment` has been seen.
    bool changedAfter(TimePoint moment) const { return known && lastChangeCaptured > moment; }
};

} // namespace pokescope
