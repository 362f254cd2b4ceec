#include "capture/ScreenCapture.hpp"

#include "core/AppSettings.hpp"
#include "core/Log.hpp"

#include <algorithm>
#include <cstdlib>

namespace pokescope {

namespace {

std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool contains(const std::string& haystack, const std::string& needle) {
    return lowered(haystack).find(lowered(needle)) != std::string::npos;
}

const char* yesNo(bool value) { return value ? "true" : "false"; }

constexpr auto kUIFrameInterval = std::chrono::microseconds(1'000'000 / 15);
// Changed frames closer than this belong to one change; a phone that stutters under load may send them
// several hundred milliseconds apart.
constexpr auto kChangeGap = std::chrono::milliseconds(500);

} // namespace

ScreenCapture::ScreenCapture(std::shared_ptr<CaptureBackend> backend, DispatchQueue& mainQueue,
                             AppSettings& settings, Clock& clock)
    : backend_(std::move(backend)), main_(mainQueue), settings_(settings), clock_(clock) {
    backend_->setDeviceEvents([this](const std::string& uniqueID, bool connected) {
        main_.async(life_.guard([this, uniqueID, connected] { onDeviceEvent(uniqueID, connected); }));
    });
}

ScreenCapture::~ScreenCapture() {
    life_.end();
    alive_ = false;
    setOnScreenLost(nullptr);
    backend_->setDeviceEvents(nullptr);
    std::shared_ptr<CaptureSession> session;
    {
        std::lock_guard lock(audioConfigLock_);
        session = std::move(session_);
    }
    if (session)
        session->stop();
    std::map<std::string, std::shared_ptr<ListenerEntry>> listeners;
    {
        std::lock_guard lock(audioLock_);
        listeners.swap(listeners_);
    }
    for (auto& [key, entry] : listeners)
        entry->withdraw();
    queue_.sync([] {});
    audioQueue_.sync([] {});
    if (&main_ != &DispatchQueue::main())
        main_.sync([] {});
}

std::optional<CaptureDeviceInfo> ScreenCapture::chooseDevice(const std::vector<CaptureDeviceInfo>& devices,
                                                             const std::optional<std::string>& variable) {
    if (variable && !variable->empty()) {
        for (const auto& device : devices)
            if (device.path == *variable || device.uniqueID == *variable || contains(device.localizedName, *variable))
                return device;
        return std::nullopt;
    }
    for (const auto& device : devices)
        if (device.phoneStream())
            return device;
    // Never a webcam by default: only a device that names itself after the phone.
    for (const auto& device : devices)
        if (contains(device.localizedName, "iphone"))
            return device;
    return std::nullopt;
}

void ScreenCapture::start() {
    // Capture devices need no system-wide switch here, unlike platforms that hide screen-capture devices.
    static std::once_flag said;
    std::call_once(said, [] { Log::shared().add("screen: capture devices need no system permission on this computer"); });
    if (backend_->permission() != CaptureBackend::Permission::authorized) {
        requestCamera([this](bool granted) {
            Log::shared().add(std::string("screen: camera permission ") + (granted ? "granted" : "denied"));
            if (granted)
                start();
            else
                Log::shared().add("screen: this user can't open the video devices; add it to the video group "
                                  "(sudo usermod -aG video $USER) and log in again");
        });
        return;
    }
    attachIfNeeded();
    for (int delay : {1, 3, 6})
        main_.asyncAfter(seconds(delay), life_.guard([this] { attachIfNeeded(); }), clock_);
}

void ScreenCapture::requestCamera(std::function<void(bool granted)> completion) {
    backend_->requestPermission([this, completion = std::move(completion)](bool granted) {
        main_.async([completion, granted] { completion(granted); });
    });
}

void ScreenCapture::attachIfNeeded() {
    if (!alive_ || backend_->permission() != CaptureBackend::Permission::authorized)
        return;
    if (deviceUniqueID())
        return;
    auto devices = backend_->devices();
    const char* variable = std::getenv(kDeviceVariable);
    auto device = chooseDevice(devices, variable ? std::optional<std::string>(variable) : std::nullopt);
    if (!device) {
        // Said once per situation, not at every retry.
        std::string notice;
        if (variable && *variable)
            notice = std::string("screen: no capture device matches ") + kDeviceVariable + " \"" + variable + "\"";
        else if (!devices.empty())
            notice = std::string("screen: no iPhone capture device; to use one of the capture devices here, set ") +
                     kDeviceVariable + " to its /dev/video* path or part of its name";
        std::lock_guard lock(stateMutex_);
        if (!notice.empty() && notice != lastNotice_) {
            lastNotice_ = notice;
            Log::shared().add(notice);
            for (const auto& other : devices)
                Log::shared().add("screen: capture device \"" + other.localizedName + "\" at " + other.path);
        }
        return;
    }
    std::string error;
    std::shared_ptr<CaptureSession> session = backend_->open(*device, error);
    if (!session) {
        Log::shared().add("screen: can't open " + device->localizedName + ": " + error);
        return;
    }
    unsigned long generation;
    {
        std::lock_guard lock(lock_);
        generation = ++generation_;
    }
    {
        std::lock_guard lock(audioConfigLock_);
        session_ = session;
        device_ = device;
        playbackFailed_ = false;
    }
    {
        std::lock_guard lock(stateMutex_);
        deviceUniqueID_ = device->uniqueID;
        lastNotice_.clear();
    }
    {
        std::lock_guard lock(audioConfigLock_);
        updateAudio();
    }
    // Only a capture adapter's frames may hold the picture between bars; a phone's own stream is the picture.
    const bool adapter = !device->phoneStream();
    queue_.async([this, session, generation, adapter] {
        gate_.reset(adapter);
        session->start([this, generation](const CapturedFrame& frame) { receiveFrame(frame, generation); },
                       [this, generation](const std::string& description, bool deviceGone) {
                           main_.async(life_.guard([this, generation, description, deviceGone] {
                               onSessionError(generation, description, deviceGone);
                           }));
                       });
    });
    Log::shared().add("screen: streaming from " + device->localizedName);
}

void ScreenCapture::stop() {
    std::shared_ptr<CaptureSession> session;
    {
        std::lock_guard lock(audioConfigLock_);
        session = std::move(session_);
        device_.reset();
    }
    {
        std::lock_guard lock(stateMutex_);
        deviceUniqueID_.reset();
    }
    {
        // A frame already on its way carries the old generation and cannot refill `latest`.
        std::lock_guard lock(lock_);
        latest_.reset();
        ++generation_;
    }
    if (session)
        queue_.async([session] { session->stop(); });
}

void ScreenCapture::restart() {
    stop();
    main_.asyncAfter(seconds(1), life_.guard([this] { attachIfNeeded(); }), clock_);
}

void ScreenCapture::lose(const char* reason) {
    stop();
    std::shared_ptr<GuardedCallback<const std::string&>> listener;
    {
        std::lock_guard lock(stateMutex_);
        listener = onScreenLost_;
    }
    if (listener)
        listener->call(reason);
}

void ScreenCapture::onDeviceEvent(const std::string& uniqueID, bool connected) {
    if (!alive_)
        return;
    if (connected) {
        attachIfNeeded();
        return;
    }
    if (deviceUniqueID() != uniqueID)
        return;
    Log::shared().add("screen: iPhone video source disconnected");
    lose(kDisconnected);
}

void ScreenCapture::onSessionError(unsigned long generation, const std::string& description, bool deviceGone) {
    {
        std::lock_guard lock(lock_);
        if (generation != generation_)
            return; // an earlier session's error
    }
    if (deviceGone) {
        // A device that vanished was unplugged, not broken.
        Log::shared().add("screen: iPhone video source disconnected");
        lose(kDisconnected);
        return;
    }
    Log::shared().add("screen: capture error " + (description.empty() ? std::string("unknown") : description));
    lose(kCaptureFailed);
    main_.asyncAfter(seconds(2), life_.guard([this] { attachIfNeeded(); }), clock_);
}

// Frames come from the backend's thread; only the newest waits for the capture queue, so late frames are
// dropped rather than queued.
void ScreenCapture::receiveFrame(const CapturedFrame& frame, unsigned long generation) {
    bool post;
    {
        std::lock_guard lock(pendingMutex_);
        post = !pending_;
        pending_ = Pending{frame, generation};
    }
    if (post)
        queue_.async([this] { drainFrame(); });
}

void ScreenCapture::drainFrame() {
    std::optional<Pending> pending;
    {
        std::lock_guard lock(pendingMutex_);
        pending.swap(pending_);
    }
    if (!pending || !pending->frame.image)
        return;
    {
        std::lock_guard lock(lock_);
        if (pending->generation != generation_)
            return;
    }
    ImageRef picture = gate_.admit(pending->frame.image);
    TimePoint now = captureClockNow();
    {
        std::lock_guard lock(lock_);
        if (pending->generation != generation_)
            return;
        // A source without its own capture times stamps frames on arrival: the delay is then ours alone.
        const TimePoint captured = std::min(pending->frame.time, now);
        lastSeenCaptured_ = std::max(lastSeenCaptured_, captured);
        delays_[++frameSeen_ % delays_.size()] = now - captured;
        if (!picture)
            return;
        // Frames of one change (an animation, a moving pointer) follow each other at the source's pace; a
        // longer gap lies between two changes.
        if (const Duration gap = captured - lastChangeCaptured_; gap > Duration::zero() && gap < kChangeGap)
            intervals_[++changes_ % intervals_.size()] = gap;
        lastChangeCaptured_ = std::max(lastChangeCaptured_, captured);
        latest_ = picture;
        ++frameCount_;
        lastFrameAt_ = now;
    }
    std::function<void(const ImageRef&)> listener;
    {
        std::lock_guard lock(stateMutex_);
        if (!onFrame_ || now - lastUIFrame_ <= kUIFrameInterval)
            return;
        lastUIFrame_ = now;
        listener = onFrame_;
    }
    main_.async([listener, picture] { listener(picture); });
}

ScreenCapture::Snapshot ScreenCapture::snapshot() const {
    std::lock_guard lock(lock_);
    return Snapshot{latest_, frameCount_, lastFrameAt_};
}

ScreenCapture::Stillness ScreenCapture::stillness() const {
    Stillness facts;
    {
        std::lock_guard lock(pendingMutex_);
        facts.framePending = pending_.has_value();
    }
    std::lock_guard lock(lock_);
    facts.lastSeenCaptured = lastSeenCaptured_;
    facts.lastChangeCaptured = lastChangeCaptured_;
    facts.lastChangeArrived = lastFrameAt_;
    facts.delay = *std::max_element(delays_.begin(), delays_.end());
    auto intervals = intervals_;
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    facts.interval = intervals[intervals.size() / 2];
    return facts;
}

ImageRef ScreenCapture::latestImage() const {
    std::lock_guard lock(lock_);
    return latest_;
}

long ScreenCapture::frameCount() const {
    std::lock_guard lock(lock_);
    return frameCount_;
}

TimePoint ScreenCapture::lastFrameAt() const {
    std::lock_guard lock(lock_);
    return lastFrameAt_;
}

std::optional<std::string> ScreenCapture::deviceUniqueID() const {
    std::lock_guard lock(stateMutex_);
    return deviceUniqueID_;
}

std::optional<CaptureDeviceInfo> ScreenCapture::device() const {
    std::lock_guard lock(audioConfigLock_);
    return device_;
}

bool ScreenCapture::offersAudio() const {
    std::lock_guard lock(audioConfigLock_);
    return session_ && session_->offersAudio();
}

void ScreenCapture::setOnFrame(std::function<void(const ImageRef&)> listener) {
    std::lock_guard lock(stateMutex_);
    onFrame_ = std::move(listener);
}

void ScreenCapture::setLinkReady(std::function<bool()> ready) {
    std::lock_guard lock(stateMutex_);
    linkReady_ = std::move(ready);
}

void ScreenCapture::setOnScreenLost(std::function<void(const std::string& reason)> listener) {
    auto made = listener ? std::make_shared<GuardedCallback<const std::string&>>(std::move(listener)) : nullptr;
    {
        std::lock_guard lock(stateMutex_);
        std::swap(made, onScreenLost_);
    }
    if (made)
        made->withdraw();
}

void ScreenCapture::fanOut(const AudioBufferRef& buffer) {
    std::map<std::string, std::shared_ptr<ListenerEntry>> listeners;
    {
        std::lock_guard lock(audioLock_);
        listeners = listeners_;
    }
    for (auto& [key, entry] : listeners) {
        try {
            entry->call(buffer);
        } catch (const std::exception& e) {
            Log::shared().add("screen: the " + key + " sound listener failed: " + e.what());
        } catch (...) {
            Log::shared().add("screen: the " + key + " sound listener failed");
        }
    }
}

bool ScreenCapture::updateAudio() {
    std::size_t count;
    {
        std::lock_guard lock(audioLock_);
        count = listeners_.size();
    }
    std::function<bool()> linkReady;
    {
        std::lock_guard lock(stateMutex_);
        linkReady = linkReady_;
    }
    bool wanted = count > 0 || (settings_.keepAudioConnected() && linkReady && linkReady());
    bool offers = session_ && session_->offersAudio();
    bool dataWanted = wanted && offers;
    // Once this computer turned out to have no output, the session does not try again.
    bool previewWanted = dataWanted && settings_.playAudioOnMac() && !playbackFailed_;
    if (session_) {
        bool hasData = session_->hasAudioOutput();
        bool hasPreview = session_->hasPlayback();
        if (dataWanted != hasData || previewWanted != hasPreview) {
            if (dataWanted && !hasData)
                session_->setAudioOutput([this](const AudioBufferRef& buffer) {
                    audioQueue_.async([this, buffer] { fanOut(buffer); });
                });
            if (!previewWanted && hasPreview)
                session_->setPlayback(false);
            if (previewWanted && !hasPreview && !session_->setPlayback(true)) {
                playbackFailed_ = true;
                Log::shared().add("screen: can't play the iPhone's sound on this computer: " +
                                  session_->playbackProblem());
            }
            if (!dataWanted && hasData)
                session_->setAudioOutput(nullptr);
            Log::shared().add(std::string("screen: iPhone audio ") + (session_->hasAudioOutput() ? "on" : "off") +
                              ", playing on this computer " + yesNo(session_->hasPlayback()));
        }
    }
    if (!wanted)
        return true;
    if (session_ && !offers)
        Log::shared().add("screen: the iPhone feed has no audio");
    return session_ && session_->hasAudioOutput();
}

bool ScreenCapture::setAudioListener(const std::string& key, AudioListener listener) {
    std::vector<std::shared_ptr<ListenerEntry>> withdrawn;
    const bool adding = static_cast<bool>(listener);
    bool ok;
    {
        std::lock_guard config(audioConfigLock_);
        {
            std::lock_guard lock(audioLock_);
            auto it = listeners_.find(key);
            if (it != listeners_.end()) {
                withdrawn.push_back(it->second);
                listeners_.erase(it);
            }
            if (listener)
                listeners_[key] = std::make_shared<ListenerEntry>(std::move(listener));
        }
        ok = updateAudio();
        if (adding && !ok) {
            {
                std::lock_guard lock(audioLock_);
                withdrawn.push_back(listeners_[key]);
                listeners_.erase(key);
            }
            updateAudio();
        }
    }
    // Withdrawn outside the locks: a listener that is running right now may itself be registering.
    for (auto& entry : withdrawn)
        entry->withdraw();
    return adding ? ok : true;
}

} // namespace pokescope
