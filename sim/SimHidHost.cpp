#include "sim/SimHidHost.hpp"

#include "platform/Dispatch.hpp"

#include <algorithm>
#include <cmath>
#include <sys/socket.h>
#include <unistd.h>

namespace pokescope::sim {

namespace {

constexpr std::uint16_t kInterruptPSM = 0x0013;

bool declaresKeyboard(const HidDescriptor& descriptor) {
    for (const auto& [id, layout] : descriptor.inputs)
        for (const HidField& field : layout.fields)
            if (field.usagePage == 0x07)
                return true;
    return false;
}

} // namespace

SimHidHost::SimHidHost(SimScreen& screen, HidDescriptor descriptor)
    : screen_(screen), descriptor_(std::move(descriptor)), keyboard_(declaresKeyboard(descriptor_)) {
    deliverer_ = std::thread([this] { deliveryLoop(); });
}

SimHidHost::~SimHidHost() {
    detachAll();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    delivered_.notify_all();
    deliverer_.join();
}

void SimHidHost::attach(std::uint16_t psm, int fd) {
    {
        std::lock_guard lock(mutex_);
        if (auto it = fds_.find(psm); it != fds_.end())
            ::shutdown(it->second, SHUT_RDWR);
        fds_[psm] = fd;
        readers_.emplace_back([this, psm, fd] { readLoop(psm, fd); });
    }
    // Keys arrive on the interrupt channel, so the phone counts a keyboard as connected while it is open.
    if (psm == kInterruptPSM && keyboard_)
        screen_.setHardwareKeyboard(true);
}

bool SimHidHost::attached(std::uint16_t psm) const {
    std::lock_guard lock(mutex_);
    return fds_.count(psm) > 0;
}

void SimHidHost::detachAll() {
    std::vector<std::thread> readers;
    {
        std::lock_guard lock(mutex_);
        for (auto& [psm, fd] : fds_)
            ::shutdown(fd, SHUT_RDWR);
        readers.swap(readers_);
    }
    for (auto& reader : readers)
        if (reader.joinable())
            reader.join();
}

void SimHidHost::readLoop(std::uint16_t psm, int fd) {
    setThreadName("sim.hid");
    std::uint8_t buffer[1024];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        std::vector<std::uint8_t> message(buffer, buffer + n);
        if (psm == kInterruptPSM) {
            receive(message);
        } else {
            std::lock_guard lock(mutex_);
            controlReplies_.insert(controlReplies_.end(), message.begin(), message.end());
        }
    }
    bool current = false;
    {
        std::lock_guard lock(mutex_);
        if (auto it = fds_.find(psm); it != fds_.end() && it->second == fd) {
            fds_.erase(it);
            current = true;
        }
        ::close(fd);
    }
    // A channel already replaced by a newer one leaves the keyboard connected.
    if (current && psm == kInterruptPSM && keyboard_)
        screen_.setHardwareKeyboard(false);
}

bool SimHidHost::sendControl(const std::vector<std::uint8_t>& message) {
    std::lock_guard lock(mutex_);
    auto it = fds_.find(0x0011);
    if (it == fds_.end())
        return false;
    return ::send(it->second, message.data(), message.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(message.size());
}

std::vector<std::uint8_t> SimHidHost::controlReplies() const {
    std::lock_guard lock(mutex_);
    return controlReplies_;
}

void SimHidHost::setPointerSettings(const SimPointerSettings& settings) {
    std::lock_guard lock(mutex_);
    settings_ = settings;
}

std::string SimHidHost::lastRejection() const {
    std::lock_guard lock(mutex_);
    return lastRejection_;
}

void SimHidHost::receive(const std::vector<std::uint8_t>& message) {
    std::string error;
    auto fields = descriptor_.decode(message, error);
    if (!fields) {
        ++rejected_;
        std::lock_guard lock(mutex_);
        lastRejection_ = error;
        return;
    }
    ++accepted_;
    auto now = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    if (settings_.loss > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < settings_.loss) {
        ++lost_;
        return;
    }
    std::uniform_int_distribution<long> jitter(0, settings_.maxJitter.count() * 1000);
    // The link keeps the order of what it delivers.
    auto arrival = std::max(now + settings_.latency + std::chrono::microseconds(jitter(random_)), lastArrival_);
    lastArrival_ = arrival;
    Delivery delivery{message[1], std::move(*fields), arrival};
    if (arrival <= now && deliveries_.empty()) {
        lock.unlock();
        apply(delivery);
        return;
    }
    deliveries_.push_back(std::move(delivery));
    lock.unlock();
    delivered_.notify_all();
}

void SimHidHost::deliveryLoop() {
    setThreadName("sim.hid.air");
    std::unique_lock lock(mutex_);
    for (;;) {
        if (stopping_)
            return;
        if (deliveries_.empty()) {
            delivered_.wait(lock);
            continue;
        }
        auto due = deliveries_.front().at;
        if (std::chrono::steady_clock::now() < due) {
            delivered_.wait_until(lock, due);
            continue;
        }
        Delivery next = std::move(deliveries_.front());
        deliveries_.pop_front();
        lock.unlock();
        apply(next);
        lock.lock();
    }
}

void SimHidHost::apply(const Delivery& delivery) {
    if (delivery.reportID == 0x02)
        pointerReport(delivery.fields, delivery.at);
    else if (delivery.reportID == 0x01)
        keyboardReport(delivery.fields, delivery.at);
}

// The phone's acceleration looks at how fast units arrive, smoothed over the last reports: a quick burst
// moves the pointer further per unit than single nudges do, and the first reports of a burst less than
// its later ones.
void SimHidHost::pointerReport(const std::vector<std::vector<int>>& fields,
                               std::chrono::steady_clock::time_point at) {
    // Layout: buttons (3 bits), padding, X, Y, wheel.
    int buttons = 0;
    for (std::size_t i = 0; i < fields[0].size(); ++i)
        buttons |= fields[0][i] << i;
    int dx = fields[2][0], dy = fields[2][1];
    std::unique_lock lock(mutex_);
    double gapMs = lastPointerReport_ ? std::chrono::duration<double, std::milli>(at - *lastPointerReport_).count()
                                      : 1000.0;
    lastPointerReport_ = at;
    double speed = std::max(std::abs(dx), std::abs(dy)) / std::clamp(gapMs, 1.0, 100.0);
    double keep = settings_.smoothing.count() > 0
                      ? std::exp(-std::max(gapMs, 0.0) / static_cast<double>(settings_.smoothing.count()))
                      : 0.0;
    smoothedSpeed_ = smoothedSpeed_ * keep + speed * (1 - keep);
    double gain = settings_.tooFast
                      ? settings_.tooFastGain
                      : settings_.slowGain + (settings_.fastGain - settings_.slowGain) *
                                                 std::pow(std::min(1.0, smoothedSpeed_ / settings_.saturation),
                                                          settings_.exponent);
    bool wholePoints = settings_.wholePoints;
    bool wasDown = buttonDown_;
    bool down = buttons & 0x01;
    buttonDown_ = down;
    lock.unlock();

    auto [x, y] = screen_.pointer();
    if (dx || dy) {
        const double width = screen_.width(), height = screen_.height(), scale = screen_.scale();
        // The pointer moves in points: the gain is in pixels of a 3× screen.
        const double pixels = gain * (scale / 3);
        x = std::clamp(x + dx * pixels, 0.0, width - 1);
        y = std::clamp(y + dy * pixels, 0.0, height - 1);
        if (wholePoints) { // what is less than a point is lost
            x = std::min(std::round(x / scale) * scale, (std::floor((width - 1) / scale)) * scale);
            y = std::min(std::round(y / scale) * scale, (std::floor((height - 1) / scale)) * scale);
        }
        screen_.setPointer(x, y, at);
    }
    if (down && !wasDown)
        screen_.touchDown(x, y, at);
    else if (down && (dx || dy))
        screen_.touchMove(x, y, at);
    else if (!down && wasDown)
        screen_.touchUp(x, y, at);
}

void SimHidHost::keyboardReport(const std::vector<std::vector<int>>& fields,
                                std::chrono::steady_clock::time_point at) {
    // Layout: eight modifier bits, a reserved byte, six key slots.
    int modifiers = 0;
    for (std::size_t i = 0; i < fields[0].size(); ++i)
        modifiers |= fields[0][i] << i;
    // Left and right modifiers count alike.
    modifiers = (modifiers & 0x0F) | ((modifiers >> 4) & 0x0F);
    std::set<int> now(fields[2].begin(), fields[2].end());
    now.erase(0);
    std::vector<int> pressed;
    {
        std::lock_guard lock(mutex_);
        for (int usage : now)
            if (!keysDown_.count(usage))
                pressed.push_back(usage);
        keysDown_ = now;
    }
    for (int usage : pressed)
        screen_.keyPress(usage, modifiers, at);
}

} // namespace pokescope::sim
