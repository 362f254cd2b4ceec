// The simulated phone's device side of USB screen sharing, for the host and links of SimUsbScreen.cpp: the
// thread that serves the far end of a link's socket pair (SimUsbScreen.hpp says what it sends and when),
// and the small pieces both ends use.
#pragma once

#include "sim/SimUsbScreen.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace pokescope::sim::usbdevice {

constexpr std::size_t kReadSize = 16 * 1024;

// A key for the phone's plug listeners: the prefix and a number new at each call.
std::string plugKey(const std::string& prefix);

// Wakes a thread that waits in poll(); any thread may notify.
class Wake {
public:
    Wake() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        if (fd_ < 0)
            throw std::runtime_error(std::string("can't make an event descriptor: ") + std::strerror(errno));
    }
    ~Wake() { ::close(fd_); }
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;
    void notify() const {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(fd_, &one, sizeof one);
    }
    void drain() const {
        std::uint64_t count = 0;
        [[maybe_unused]] auto read = ::read(fd_, &count, sizeof count);
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

// Why the device closed its end, for the link's `closed`. The first reason given stays.
struct Ending {
    std::mutex mutex;
    std::string reason;
    bool deviceGone = false;

    void set(const std::string& why, bool gone) {
        std::lock_guard lock(mutex);
        if (reason.empty()) {
            reason = why;
            deviceGone = gone;
        }
    }
    std::pair<std::string, bool> get() {
        std::lock_guard lock(mutex);
        return {reason, deviceGone};
    }
};

// The device side of one link: its thread starts at once, serving `fd` (which it closes when it ends),
// and says through `ending` why it closed its end.
class DeviceSide {
public:
    DeviceSide(std::shared_ptr<SimPhone> phone, SimUsbFaults faults, SimUsbScreenHost::FeedObserver observer, int fd,
               std::shared_ptr<Ending> ending);
    ~DeviceSide();
    DeviceSide(const DeviceSide&) = delete;
    DeviceSide& operator=(const DeviceSide&) = delete;

    // Ends the device thread without a reason (the host closed the link); returns once it has ended.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace pokescope::sim::usbdevice
