#include "sim/SimPhone.hpp"

#include "sim/SimPhoneImpl.hpp"

#include <algorithm>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

namespace pokescope::sim {

namespace {

constexpr auto kFrameInterval = std::chrono::microseconds(16'667);  // at most 60 frames a second
constexpr auto kAdapterInterval = std::chrono::microseconds(33'333); // adapters send 30 a second
constexpr int kAudioRate = 48000;
constexpr auto kAudioPeriod = std::chrono::milliseconds(20);

std::mutex runOptionsMutex;
SimOptions& storedRunOptions() {
    static SimOptions options;
    return options;
}

} // namespace

SimOptions runOptions() {
    std::lock_guard lock(runOptionsMutex);
    return storedRunOptions();
}

void setRunOptions(SimOptions options) {
    std::lock_guard lock(runOptionsMutex);
    storedRunOptions() = std::move(options);
}

std::optional<SimSettings> settingsFromEnvironment(const SimSettings& base) {
    for (const char* name : {kSettingsVariable, kSettingsVariableAlias}) {
        const char* words = std::getenv(name);
        if (!words || !*words)
            continue;
        try {
            return SimSettings::parse(words, base);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(std::string(name) + ": " + e.what());
        }
    }
    return std::nullopt;
}

SimPhone::SimPhone(SimOptions options) : options_(std::move(options)), impl_(std::make_unique<Impl>(options_)) {
    impl_->screen.setSpeechHandler([this](const std::string& utterance) { speak(utterance); });
    impl_->screen.setEventHandler([this](const SimEvent& event) { impl_->records.noticed(event); });
    impl_->screen.setCrashingApps(options_.settings.crashOnOpen);
    impl_->frameThread = std::thread([this] { impl_->frameLoop(); });
    impl_->audioThread = std::thread([this] { impl_->audioLoop(); });
}

SimPhone::~SimPhone() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->running = false;
    }
    impl_->wake.notify_all();
    impl_->frameThread.join();
    impl_->audioThread.join();
    if (impl_->pairingThread.joinable())
        impl_->pairingThread.join();
    impl_->screen.setSpeechHandler(nullptr);
    impl_->screen.setEventHandler(nullptr);
}

SimScreen& SimPhone::screen() { return impl_->screen; }
SimRecords& SimPhone::records() { return impl_->records; }

// --- frames ------------------------------------------------------------------------------------------

void SimPhone::Impl::frameLoop() {
    setThreadName("sim.frames");
    for (;;) {
        bool live, adapterMode, again;
        SimSwitches current;
        {
            std::lock_guard lock(mutex);
            if (!running)
                return;
            live = plugged && streaming;
            adapterMode = adapter;
            current = switches;
            again = live && resend && frameSink;
            if (again)
                resend = false;
        }
        TimePoint now = std::chrono::steady_clock::now();
        if (live) {
            {
                std::lock_guard lock(mutex);
                live = plugged && streaming && running;
                drawing = live;
            }
            if (live)
                produce(now, current, adapterMode, again);
            std::lock_guard lock(mutex);
            drawing = false;
            drawn.notify_all();
        }
        deliverDue(now);
        TimePoint next = now + kFrameInterval;
        {
            std::unique_lock lock(mutex);
            if (!due.empty())
                next = std::min(next, due.front().at);
            wake.wait_until(lock, next, [&] { return !running; });
        }
    }
}

void SimPhone::Impl::produce(TimePoint now, const SimSwitches& current, bool adapterMode, bool again) {
    // A source that sends fewer frames a second shows what changed meanwhile in its next frame.
    if (!adapterMode && current.fps < 60 && !again) {
        if (now < nextFrame)
            return;
        nextFrame = now + std::chrono::microseconds(1'000'000 / std::max(1, current.fps));
    }
    bool changed = screen.render(clean, now);
    if (!adapterMode) {
        // A frame the link drops is owed: the phone's stream skips pictures but always ends on what its screen
        // shows, so the next frame time sends the newest picture even when nothing changed since.
        if ((!changed && !owed && !(again && !noisy.empty())) || current.frozen)
            return;
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        ImageRef frame = withEdgeNoise(current.noise);
        owed = current.dropRate > 0 && chance(random) < current.dropRate;
        if (!owed)
            enqueue(frame, now, current);
        return;
    }
    adapterDirty = adapterDirty || changed; // a change between two adapter frames shows in the next one
    if (now < nextAdapter)
        return;
    nextAdapter = std::max(nextAdapter + kAdapterInterval, now - kAdapterInterval);
    if (!current.frozen || !adapterFrame) {
        adapterFrame = adapterPicture(adapterDirty, current.noise);
        adapterDirty = false;
    }
    enqueue(adapterFrame, now, current);
}

void SimPhone::Impl::enqueue(ImageRef image, TimePoint now, const SimSwitches& current) {
    std::lock_guard lock(mutex);
    // Frames keep their order however late each one is.
    TimePoint at = now + current.latency;
    if (current.jitter.count() > 0)
        at += std::chrono::microseconds(
            std::uniform_int_distribution<long>(0, current.jitter.count() * 1000)(random));
    if (!due.empty())
        at = std::max(at, due.back().at);
    due.push_back(Due{CapturedFrame{std::move(image), now}, at});
}

void SimPhone::Impl::deliverDue(TimePoint now) {
    for (;;) {
        Due next;
        Sink<const CapturedFrame&> sink;
        {
            std::lock_guard lock(mutex);
            if (due.empty() || due.front().at > now)
                return;
            next = std::move(due.front());
            due.pop_front();
            if (!plugged)
                continue;
            sink = frameSink;
        }
        if (sink && sink->call(next.frame)) {
            std::lock_guard lock(mutex);
            ++delivered;
        }
    }
}

// --- sound -------------------------------------------------------------------------------------------

void SimPhone::Impl::audioLoop() {
    setThreadName("sim.sound");
    const std::size_t frames = kAudioRate * kAudioPeriod.count() / 1000;
    TimePoint next = std::chrono::steady_clock::now();
    for (;;) {
        Sink<const AudioBufferRef&> sink;
        {
            std::unique_lock lock(mutex);
            if (wake.wait_until(lock, next, [&] { return !running; }))
                return;
            if (plugged)
                sink = audioSink;
        }
        auto buffer = std::make_shared<AudioBuffer>();
        buffer->sampleRate = kAudioRate;
        buffer->channels = 2;
        buffer->time = next;
        buffer->samples.assign(frames * 2, 0.0f);
        // The phone keeps playing whether or not anyone listens.
        std::vector<float> mono = speech.take(frames);
        for (std::size_t i = 0; i < mono.size(); ++i)
            buffer->samples[2 * i] = buffer->samples[2 * i + 1] = mono[i];
        if (sink)
            sink->call(buffer);
        next += kAudioPeriod;
        auto now = std::chrono::steady_clock::now();
        if (now - next > std::chrono::milliseconds(500))
            next = now; // fell far behind (a stopped debugger): skip rather than burst
    }
}

void SimPhone::speak(const std::string& text) { impl_->speech.say(text); }
bool SimPhone::speaking() const { return impl_->speech.playing(); }

// --- plugs, switches, sinks -------------------------------------------------------------------------------

void SimPhone::Impl::notifyPlug(bool pluggedIn) {
    std::map<std::string, Sink<bool>> listeners;
    {
        std::lock_guard lock(mutex);
        listeners = plugListeners;
    }
    for (auto& [key, listener] : listeners)
        listener->call(pluggedIn);
}

bool SimPhone::pluggedIn() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->plugged;
}

void SimPhone::unplug() {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->plugged)
            return;
        impl_->plugged = false;
        impl_->due.clear();
    }
    impl_->records.stopRelays("the iPhone was unplugged");
    impl_->notifyPlug(false);
}

void SimPhone::replug() {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->plugged)
            return;
        impl_->plugged = true;
        impl_->resend = true;
    }
    impl_->notifyPlug(true);
}

void SimPhone::setPlugListener(const std::string& key, std::function<void(bool)> listener) {
    Sink<bool> old;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->plugListeners.find(key);
        if (it != impl_->plugListeners.end()) {
            old = it->second;
            impl_->plugListeners.erase(it);
        }
        if (listener)
            impl_->plugListeners[key] = std::make_shared<GuardedCallback<bool>>(std::move(listener));
    }
    if (old)
        old->withdraw();
}

void SimPhone::stopScreen() {
    std::unique_lock lock(impl_->mutex);
    impl_->streaming = false;
    impl_->drawn.wait(lock, [&] { return !impl_->drawing; });
}

void SimPhone::resumeScreen() {
    std::lock_guard lock(impl_->mutex);
    impl_->streaming = true;
    impl_->resend = true;
}

bool SimPhone::screenStreaming() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->streaming;
}

void SimPhone::setSwitches(const SimSwitches& switches) {
    std::lock_guard lock(impl_->mutex);
    impl_->switches = switches;
}

SimSwitches SimPhone::switches() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->switches;
}

void SimPhone::setFrameSink(std::function<void(const CapturedFrame&)> sink) {
    Sink<const CapturedFrame&> old;
    {
        std::lock_guard lock(impl_->mutex);
        old = std::move(impl_->frameSink);
        impl_->frameSink = sink ? std::make_shared<GuardedCallback<const CapturedFrame&>>(std::move(sink)) : nullptr;
        impl_->resend = true;
    }
    if (old)
        old->withdraw();
    impl_->wake.notify_all();
}

void SimPhone::setAudioSink(std::function<void(const AudioBufferRef&)> sink) {
    Sink<const AudioBufferRef&> old;
    {
        std::lock_guard lock(impl_->mutex);
        old = std::move(impl_->audioSink);
        impl_->audioSink = sink ? std::make_shared<GuardedCallback<const AudioBufferRef&>>(std::move(sink)) : nullptr;
    }
    if (old)
        old->withdraw();
}

long SimPhone::framesDelivered() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->delivered;
}

// --- lockdown ----------------------------------------------------------------------------------------

bool SimPhone::trusted() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->trusted;
}

void SimPhone::setTrusted(bool trusted) {
    std::lock_guard lock(impl_->mutex);
    impl_->trusted = trusted;
}

bool SimPhone::assistiveTouch() const { return impl_->screen.assistiveTouch(); }
void SimPhone::setAssistiveTouch(bool on) { impl_->screen.setAssistiveTouch(on); }

std::optional<LockdownValue> SimPhone::lockdownValue(const std::optional<std::string>& domain,
                                                     const std::optional<std::string>& key, bool inSession) const {
    LockdownValue values = LockdownValue::object();
    if (!domain) {
        values["DeviceName"] = options_.name;
        values["ProductType"] = options_.productType();
        values["DeviceClass"] = "iPhone";
        if (inSession) {
            values["ProductVersion"] = options_.iosVersion;
            values["BluetoothAddress"] = options_.bluetoothAddress;
            values["UniqueDeviceID"] = options_.udid;
            values["SerialNumber"] = "F2LXK0SIMPH1";
            values["BuildVersion"] = "21F90";
        }
    } else if (*domain == "com.apple.Accessibility") {
        if (!inSession)
            return std::nullopt;
        values["AssistiveTouchEnabledByiTunes"] = assistiveTouch();
        values["VoiceOverTouchEnabledByiTunes"] = false;
        values["ZoomTouchEnabledByiTunes"] = false;
        values["InvertDisplayEnabledByiTunes"] = false;
    } else if (!inSession) {
        return std::nullopt;
    } else if (auto kept = impl_->records.domain(*domain)) {
        values = *kept;
    }
    {
        std::lock_guard lock(impl_->mutex);
        if (auto stored = impl_->extraValues.find(domain.value_or("")); stored != impl_->extraValues.end())
            for (auto it = stored->begin(); it != stored->end(); ++it)
                values[it.key()] = it.value();
    }
    if (!key)
        return values;
    if (auto it = values.find(*key); it != values.end())
        return *it;
    return std::nullopt;
}

int SimPhone::setLockdownValue(const std::string& domain, const std::string& key, const LockdownValue& value) {
    if (domain == "com.apple.Accessibility" && key == "AssistiveTouchEnabledByiTunes") {
        if (!value.is_boolean())
            return -2; // the phone refuses a value of the wrong type
        setAssistiveTouch(value.get<bool>());
        return 0;
    }
    std::lock_guard lock(impl_->mutex);
    impl_->extraValues[domain][key] = value;
    return 0;
}

int SimPhone::requestPairing() {
    bool autoTrust;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->trusted)
            return 0;
        autoTrust = impl_->trustOnPrompt;
    }
    impl_->screen.showTrustPrompt([this](bool trust) {
        if (trust)
            setTrusted(true);
    });
    if (autoTrust) {
        // The simulated user reads the prompt and taps Trust, as a person would.
        if (impl_->pairingThread.joinable())
            impl_->pairingThread.join();
        impl_->pairingThread = std::thread([this] {
            {
                std::unique_lock lock(impl_->mutex);
                if (impl_->wake.wait_for(lock, std::chrono::milliseconds(800), [&] { return !impl_->running; }))
                    return;
            }
            for (const auto& text : impl_->screen.drawnTexts())
                if (text.text == "Trust") {
                    impl_->screen.tap(text.x + text.width / 2.0, text.y + text.height / 2.0,
                                      std::chrono::steady_clock::now());
                    return;
                }
            setTrusted(true); // a screen that draws no button still answers
        });
    }
    return kPairingPending;
}

} // namespace pokescope::sim
