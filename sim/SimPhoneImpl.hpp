// The simulated phone's inner state, shared by the files that make its frames, sound and plugs.
#pragma once

#include "platform/GuardedCallback.hpp"
#include "sim/SimPhone.hpp"
#include "sim/SimSpeech.hpp"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace pokescope::sim {

template <class... Args> using Sink = std::shared_ptr<GuardedCallback<Args...>>;

struct SimPhone::Impl {
    explicit Impl(const SimOptions& options)
        : screen(options.settings.model), records(options.name, options.settings.model, options.iosVersion),
          plugged(options.pluggedIn), trusted(options.trusted),
          adapter(options.hdmiAdapter()), trustOnPrompt(options.trustOnPrompt), switches(options.settings.capture) {
        screen.setAssistiveTouch(options.assistiveTouch());
        screen.setDarkMode(options.settings.dark);
        if (options.settings.animations)
            screen.setAnimationTime(*options.settings.animations);
    }

    SimScreen screen;
    SimRecords records;
    mutable std::mutex mutex;
    std::condition_variable wake;
    bool drawing = false; // a frame is being made outside the lock
    std::condition_variable drawn;
    bool running = true;
    bool plugged;
    bool streaming = true;
    bool trusted;
    bool adapter;
    bool trustOnPrompt;
    SimSwitches switches;
    LockdownValue extraValues = LockdownValue::object(); // values written over lockdown, by domain
    std::map<std::string, Sink<bool>> plugListeners;
    Sink<const CapturedFrame&> frameSink;
    Sink<const AudioBufferRef&> audioSink;
    long delivered = 0;
    bool resend = true; // a new sink gets the current picture even if nothing changed

    struct Due {
        CapturedFrame frame;
        TimePoint at;
    };
    std::deque<Due> due; // frames on their way (latency)

    SimSpeech speech;
    std::thread frameThread;
    std::thread audioThread;
    std::thread pairingThread; // the simulated user answering the trust prompt
    Image adapterBase;

    // Frame thread state.
    Image clean, previousClean, noisy;
    std::uint64_t frameIndex = 0;
    ImageRef adapterFrame;
    TimePoint nextAdapter{};
    TimePoint nextFrame{}; // the earliest time of the next frame at the source's frame rate
    bool adapterDirty = true;
    bool owed = false; // the stream's last picture was dropped: the next frame time sends the newest
    std::mt19937 random{42};

    void frameLoop();
    void audioLoop();
    void produce(TimePoint now, const SimSwitches& current, bool adapterMode, bool again);
    void enqueue(ImageRef image, TimePoint now, const SimSwitches& current);
    ImageRef withEdgeNoise(int amplitude);
    ImageRef adapterPicture(bool changed, int amplitude);
    void deliverDue(TimePoint now);
    void notifyPlug(bool pluggedIn);
};

} // namespace pokescope::sim
