// The simulated phone kept busy, as a recording of an agent at work sees it: the Settings list flung up and
// down once a second, speech playing all the time, and an action mark (tap, swipe, text in turn) posted
// four times a second for the overlay to draw. The phone, its screen capture and the settings all live in
// this process, in a folder of their own.
#pragma once

#include "core/AppSettings.hpp"
#include "capture/ScreenCapture.hpp"
#include "input/InputEngine.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Preferences.hpp"
#include "sim/SimPhone.hpp"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace recorderbench {

class BusyPhone {
public:
    using MarkSink = std::function<void(const pokescope::ActionMark&)>;

    explicit BusyPhone(const std::filesystem::path& folder);
    ~BusyPhone();
    BusyPhone(const BusyPhone&) = delete;
    BusyPhone& operator=(const BusyPhone&) = delete;

    // Starts the capture and opens Settings; false when no frame arrived within `limit`.
    bool start(std::chrono::seconds limit);
    // Starts and stops the flings, the speech and the marks.
    void startActivity();
    void stopActivity();
    // Where the marks go (a recorder's `mark`); an empty sink drops them.
    void setMarkSink(MarkSink sink);

    pokescope::AppSettings& settings() { return settings_; }
    pokescope::ScreenCapture& capture() { return capture_; }
    pokescope::DispatchQueue& mainQueue() { return main_; }

    // The mark posted at `step` (four steps a second).
    static pokescope::ActionMark markFor(long step);

private:
    void drive();
    void fling(bool up);
    void keepTalking();
    void postMark(long step);

    pokescope::Preferences store_;
    pokescope::AppSettings settings_;
    pokescope::DispatchQueue main_{"bench.main"};
    std::shared_ptr<pokescope::sim::SimPhone> phone_;
    pokescope::ScreenCapture capture_;

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    MarkSink sink_;
    long utterances_ = 0; // the driver's thread only
    std::thread driver_;
};

} // namespace recorderbench
