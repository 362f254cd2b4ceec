// The link's state machine, timers and paging.
#include "bluetooth/BluetoothHID.hpp"

#include "core/Log.hpp"
#include "bluetooth/HIDRecord.hpp"
#include "bluetooth/HIDReports.hpp"

#include <algorithm>
#include <unistd.h>

namespace pokescope {

namespace {

constexpr auto kClassRefresh = std::chrono::seconds(120);
constexpr double kClassSeconds = 180.0;
constexpr auto kDiscoverableCheck = std::chrono::seconds(3);
constexpr auto kPeriodicPage = std::chrono::seconds(15);
constexpr auto kPageSpacing = std::chrono::seconds(5);
constexpr auto kOpenSpacing = std::chrono::seconds(6);

} // namespace

const char* BluetoothHID::rawValue(State state) {
    switch (state) {
    case State::off: return "off";
    case State::waiting: return "waiting";
    case State::connected: return "connected";
    case State::ready: return "ready";
    }
    return "off";
}

std::string BluetoothHID::normalisedAddress(const std::string& address) {
    std::string out = address;
    for (auto& c : out) {
        if (c == '-')
            c = ':';
        else
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

BluetoothHID::BluetoothHID(std::shared_ptr<BluetoothHost> host, DispatchQueue& mainQueue,
                           std::function<void()> linkChanged, Clock& clock)
    : host_(std::move(host)), main_(mainQueue),
      linkChanged_(linkChanged ? std::make_shared<GuardedCallback<>>(std::move(linkChanged)) : nullptr),
      clock_(clock) {
    onEvents();
}

BluetoothHID::~BluetoothHID() {
    stop();
    *alive_ = false;
    if (linkChanged_)
        linkChanged_->withdraw();
    host_->setEvents({});
    std::vector<std::thread> readers;
    {
        Lock lock(mutex_);
        readers.swap(readers_);
    }
    for (auto& reader : readers)
        if (reader.joinable())
            reader.join();
    writeQueue_.sync([] {});
    // Work on the main queue checks `alive_` before it touches this device; one that checked just before
    // the flag fell may still be running: wait for it.
    main_.sync([] {});
}

// Host events arrive on the backend's threads; everything they change happens on the main queue.
void BluetoothHID::onEvents() {
    // The queue is reached without `this`: an event may still arrive from the backend's thread after this
    // object is gone (the queue outlives it; the main queue lives for the whole process).
    auto alive = alive_;
    DispatchQueue* queue = &main_;
    auto onMain = [queue, alive](std::function<void()> work) {
        if (!*alive)
            return;
        queue->async([alive, work = std::move(work)] {
            if (*alive)
                work();
        });
    };
    BluetoothHost::Events events;
    events.channelOpened = [onMain](const std::string& peer, std::uint16_t psm, std::optional<int> result,
                                    bool incoming) {
        onMain([peer, psm, result, incoming] {
            Log::shared().add("bluetooth: L2CAP opened psm=" + std::to_string(psm) +
                              " result=" + (result ? std::to_string(*result) : "?") +
                              " incoming=" + (incoming ? "true" : "false"));
        });
    };
    events.channelReady = [this, onMain](const std::string&, BluetoothChannelRef channel) {
        onMain([this, channel] {
            if (channel) {
                adopt(channel);
                return;
            }
            Log::shared().add("bluetooth: channel attempt failed (will retry)");
            Lock lock(mutex_);
            pendingOpen_.clear(); // nothing is on its way: the next attempt need not wait
        });
    };
    events.channelClosed = [this, onMain](const std::string&, BluetoothChannelRef channel) {
        if (channel)
            onMain([this, channel] { channelClosed(channel->psm(), channel); });
    };
    events.linkUp = [this, onMain](const std::string& peer) {
        onMain([this, peer] {
            Lock lock(mutex_);
            if (!matches(normalisedAddress(peer)))
                return;
            Log::shared().add("bluetooth: link up with phone");
            phoneReturned(lock, "bluetooth: the phone connected again");
            if (state_ == State::waiting)
                setState(State::connected, lock);
            ensureChannels(0);
        });
    };
    events.linkDown = [this, onMain](const std::string& peer) {
        onMain([this, peer] {
            Lock lock(mutex_);
            if (!matches(normalisedAddress(peer)) || state_ == State::off)
                return;
            Log::shared().add("bluetooth: link down");
            for (auto* slot : {&control_, &interrupt_})
                if (*slot) {
                    (*slot)->shutdown();
                    slot->reset();
                }
            pendingOpen_.clear();
            setState(State::waiting, lock);
        });
    };
    events.pairingCompleted = [onMain](const std::string& peer) {
        onMain([peer] { Log::shared().add("bluetooth: paired with " + (peer.empty() ? "?" : normalisedAddress(peer))); });
    };
    events.adapterAvailable = [this, onMain] {
        onMain([this] {
            Lock lock(mutex_);
            if (wanted_ && !published_)
                tryPublish(lock);
        });
    };
    host_->setEvents(std::move(events));
}

bool BluetoothHID::matches(const std::string& peer) const {
    if (!peer.empty())
        return phoneAddress_ && peer == *phoneAddress_;
    return !phoneAddress_;
}

void BluetoothHID::setState(State state, Lock& lock) {
    if (state == state_)
        return;
    state_ = state;
    Log::shared().add(std::string("bluetooth: state ") + rawValue(state));
    announce(lock);
}

void BluetoothHID::announce(Lock&) {
    auto listener = onStateChange_;
    main_.async([listener, state = state_, linkChanged = linkChanged_] {
        if (listener)
            listener(state);
        if (linkChanged)
            linkChanged->call();
    });
}

void BluetoothHID::start() {
    Lock lock(mutex_);
    wanted_ = true;
    if (published_)
        return;
    tryPublish(lock);
}

// Publishing fails while there is no adapter or no Bluetooth service; it is tried again when an adapter
// appears, as long as nobody has stopped the device since.
void BluetoothHID::tryPublish(Lock& lock) {
    std::string error;
    if (!host_->publish(HIDRecord::record(), error)) {
        if (!publishFailed_) {
            publishFailed_ = true;
            Log::shared().add("bluetooth: SDP publish FAILED");
            if (!error.empty())
                Log::shared().add("bluetooth: " + error);
        }
        return;
    }
    publishFailed_ = false;
    published_ = true;
    Log::shared().add("bluetooth: SDP HID record published");
    if (!host_->setClassOfDevice(HIDRecord::kClassOfDevice, kClassSeconds, error) && !classFailed_) {
        classFailed_ = true;
        Log::shared().add("bluetooth: can't advertise as a keyboard (class of device 0x002540): " + error);
    }
    if (!host_->canSeeConnections())
        Log::shared().add("bluetooth: no coordinator, can't receive the phone's connections");
    setState(State::waiting, lock);
    unsigned long generation = ++generation_;
    scheduleTimers(generation);
    auto alive = alive_;
    main_.asyncAfter(seconds(1.0), [this, alive, generation] {
        if (*alive && generation == generation_)
            connect("startup");
    }, clock_);
}

void BluetoothHID::scheduleTimers(unsigned long generation) {
    auto alive = alive_;
    auto every = [this, alive, generation](Duration period, std::function<void()> tick) {
        // The pending work holds the repeating closure; the closure itself holds it only weakly, so a chain
        // that ends (a stop) frees it.
        auto repeat = std::make_shared<std::function<void()>>();
        std::weak_ptr<std::function<void()>> weak = repeat;
        *repeat = [this, alive, generation, period, tick, weak] {
            if (!*alive)
                return;
            {
                Lock lock(mutex_);
                if (generation != generation_)
                    return;
            }
            tick();
            if (auto self = weak.lock())
                main_.asyncAfter(period, [self] { (*self)(); }, clock_);
        };
        main_.asyncAfter(period, [repeat] { (*repeat)(); }, clock_);
    };
    every(kClassRefresh, [this] {
        std::string error;
        host_->setClassOfDevice(HIDRecord::kClassOfDevice, kClassSeconds, error);
    });
    every(kDiscoverableCheck, [this] {
        if (pairingMode() && !host_->discoverable()) {
            Log::shared().add("bluetooth: the Bluetooth service switched discoverable off, applying again");
            makeDiscoverable();
        }
    });
    every(kPeriodicPage, [this] {
        if (state() == State::waiting)
            connect("periodic");
    });
}

void BluetoothHID::stop() {
    Lock lock(mutex_);
    bool wasUp = published_ || state_ != State::off;
    wanted_ = false;
    ++generation_; // timers and delayed work of this start end themselves
    disconnectPhone(lock, phoneAddress_);
    if (published_) {
        host_->withdraw();
        published_ = false;
    }
    setState(State::off, lock);
    if (wasUp)
        Log::shared().add("bluetooth: stopped, SDP record removed");
}

void BluetoothHID::disconnectPhone(Lock&, const std::optional<std::string>& address) {
    for (auto* slot : {&control_, &interrupt_})
        if (*slot) {
            (*slot)->shutdown();
            slot->reset();
        }
    if (address && host_->canSeeConnections() && host_->knowsPeer(*address))
        host_->disconnectPeer(*address);
}

void BluetoothHID::connect(const std::string& reason) {
    Lock lock(mutex_);
    if (state_ == State::ready || state_ == State::off || removedByPhone_)
        return;
    TimePoint now = clock_.now();
    if (lastConnectAttempt_ && now - *lastConnectAttempt_ <= kPageSpacing)
        return;
    if (!host_->canSeeConnections() || !phoneAddress_ || !host_->knowsPeer(*phoneAddress_))
        return;
    const std::uint16_t psm = control_ ? BluetoothHost::kInterruptPSM : BluetoothHost::kControlPSM;
    if (opening(psm, now))
        return;
    lastConnectAttempt_ = now;
    Log::shared().add("bluetooth: connect (" + reason + ")");
    // Connecting the HID control channel pages the phone and brings the baseband link up with it; no
    // profile-less connection first, which a phone may take as a request to connect all its profiles.
    if (state_ == State::waiting)
        Log::shared().add("bluetooth: no link yet, paging the phone as a keyboard");
    openChannel(psm);
}

bool BluetoothHID::opening(std::uint16_t psm, TimePoint now) const {
    auto it = pendingOpen_.find(psm);
    return it != pendingOpen_.end() && now - it->second < kOpenSpacing;
}

void BluetoothHID::choosePhoneAgain() {
    {
        Lock lock(mutex_);
        if (!removedByPhone_)
            return;
        phoneReturned(lock, "bluetooth: the phone was chosen again");
        lastConnectAttempt_.reset();
        pendingOpen_.clear();
    }
    connect("chosen again");
}

bool BluetoothHID::removedByPhone() const {
    Lock lock(mutex_);
    return removedByPhone_;
}

void BluetoothHID::phoneReturned(Lock& lock, const char* line) {
    if (!removedByPhone_)
        return;
    removedByPhone_ = false;
    Log::shared().add(line);
    announce(lock);
}

void BluetoothHID::openChannel(std::uint16_t psm) {
    Lock lock(mutex_);
    if (!phoneAddress_)
        return;
    TimePoint now = clock_.now();
    if (opening(psm, now))
        return;
    pendingOpen_[psm] = now;
    Log::shared().add("bluetooth: opening psm " + std::to_string(psm));
    host_->openChannel(*phoneAddress_, psm);
}

void BluetoothHID::ensureChannels(int attempt) {
    auto alive = alive_;
    unsigned long generation;
    {
        Lock lock(mutex_);
        generation = generation_;
    }
    main_.asyncAfter(attempt == 0 ? seconds(0.3) : seconds(2.5), [this, alive, generation, attempt] {
        if (!*alive)
            return;
        Lock lock(mutex_);
        if (generation != generation_ || state_ != State::connected || attempt >= 6)
            return;
        if (!control_)
            openChannel(BluetoothHost::kControlPSM);
        else if (!interrupt_)
            openChannel(BluetoothHost::kInterruptPSM);
        ensureChannels(attempt + 1);
    }, clock_);
}

void BluetoothHID::makeDiscoverable() { host_->makeDiscoverable(); }

BluetoothHID::State BluetoothHID::state() const {
    Lock lock(mutex_);
    return state_;
}

bool BluetoothHID::phoneSuspended() const { return phoneSuspended_.load(); }

bool BluetoothHID::hasInterrupt() const {
    Lock lock(mutex_);
    return static_cast<bool>(interrupt_);
}

void BluetoothHID::setOnStateChange(std::function<void(State)> listener) {
    Lock lock(mutex_);
    onStateChange_ = std::move(listener);
}

void BluetoothHID::setPairingMode(bool on) {
    Lock lock(mutex_);
    pairingMode_ = on;
    // Pairing is accepted only from the selected phone, and only while the user pairs.
    host_->setPairingPeer(on ? phoneAddress_ : std::nullopt);
}

bool BluetoothHID::pairingMode() const {
    Lock lock(mutex_);
    return pairingMode_;
}

void BluetoothHID::setPhoneAddress(std::optional<std::string> address) {
    if (address)
        address = normalisedAddress(*address);
    Lock lock(mutex_);
    if (address == phoneAddress_)
        return;
    auto old = phoneAddress_;
    Log::shared().add("bluetooth: target " + address.value_or("none"));
    // Input must never keep going to the previously selected phone.
    bool switching = published_ && old;
    if (switching) {
        disconnectPhone(lock, old);
        if (state_ != State::off)
            setState(State::waiting, lock);
    }
    phoneAddress_ = address;
    removedByPhone_ = false;
    if (pairingMode_)
        host_->setPairingPeer(phoneAddress_);
    if (switching) {
        lastConnectAttempt_.reset();
        pendingOpen_.clear();
        connect("new phone");
    }
}

std::optional<std::string> BluetoothHID::phoneAddress() const {
    Lock lock(mutex_);
    return phoneAddress_;
}

std::string BluetoothHID::computerBluetoothName() {
    std::string name = host_->controllerName();
    if (!name.empty())
        return name;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0])
        return host;
    return "this computer";
}

bool BluetoothHID::keyboard(std::uint8_t modifiers, const std::vector<std::uint8_t>& usages) {
    auto report = HIDReports::keyboard(modifiers, usages);
    return write(report.data(), report.size());
}

bool BluetoothHID::pointer(std::uint8_t buttons, int dx, int dy) {
    auto report = HIDReports::pointer(buttons, dx, dy);
    return write(report.data(), report.size());
}

} // namespace pokescope
