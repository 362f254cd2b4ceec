// The two HID channels: adopting them, reading the control protocol, writing reports, closing.
#include "bluetooth/BluetoothHID.hpp"
#include "bluetooth/HIDReports.hpp"

#include "core/Log.hpp"

#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace pokescope {

namespace {

std::string hex(std::uint8_t byte) {
    char text[3];
    std::snprintf(text, sizeof text, "%02x", byte);
    return text;
}

// Errors that mean the link is gone rather than a single write failing.
bool connectionLost(int error) {
    switch (error) {
    case EPIPE:
    case ENOTCONN:
    case ECONNRESET:
    case EBADF:
    case ENETDOWN:
    case EHOSTDOWN:
    case ECONNABORTED:
    case ETIMEDOUT: return true;
    default: return false;
    }
}

} // namespace

void BluetoothHID::adopt(const BluetoothChannelRef& channel) {
    Lock lock(mutex_);
    std::uint16_t psm = channel->psm();
    Log::shared().add("bluetooth: channel psm=" + std::to_string(psm) + " fd=" + std::to_string(channel->fd()));
    pendingOpen_.erase(psm);
    // Only the selected phone may hold the channels: anyone else could read what the agent types.
    if (!phoneAddress_ || normalisedAddress(channel->peerAddress()) != *phoneAddress_) {
        Log::shared().add("bluetooth: refused a channel from " + normalisedAddress(channel->peerAddress()) +
                          ": not the selected phone");
        channel->shutdown();
        return;
    }
    if (state_ == State::off) {
        channel->shutdown();
        return;
    }
    phoneReturned(lock, "bluetooth: the phone connected again");
    BluetoothChannelRef* slot = psm == BluetoothHost::kControlPSM     ? &control_
                                : psm == BluetoothHost::kInterruptPSM ? &interrupt_
                                                                      : nullptr;
    if (!slot) {
        channel->shutdown();
        return;
    }
    if (*slot && *slot != channel)
        (*slot)->shutdown(); // a replaced channel ends; its reader's close no longer touches the slot
    *slot = channel;
    startReader(channel);
    if (control_ && interrupt_)
        setState(State::ready, lock);
    else if (state_ == State::waiting)
        setState(State::connected, lock);
    if (control_ && !interrupt_ && phoneAddress_ && host_->knowsPeer(*phoneAddress_)) {
        auto alive = alive_;
        unsigned long generation = generation_;
        main_.asyncAfter(seconds(1.0), [this, alive, generation] {
            if (!*alive)
                return;
            Lock lock(mutex_);
            if (generation == generation_ && control_ && !interrupt_)
                openChannel(BluetoothHost::kInterruptPSM);
        }, clock_);
    }
}

void BluetoothHID::channelClosed(std::uint16_t psm, const BluetoothChannelRef& channel) {
    Lock lock(mutex_);
    BluetoothChannelRef* slot = psm == BluetoothHost::kControlPSM     ? &control_
                                : psm == BluetoothHost::kInterruptPSM ? &interrupt_
                                                                      : nullptr;
    // The end of a channel that has since been replaced says nothing about the new one.
    if (slot && channel && *slot != channel)
        return;
    if (slot && *slot) {
        (*slot)->shutdown();
        slot->reset();
    }
    phoneSuspended_ = false;
    if (state_ == State::off)
        return;
    if (control_ || interrupt_) {
        if (state_ == State::ready)
            setState(State::connected, lock);
        return;
    }
    setState(State::waiting, lock);
    auto alive = alive_;
    unsigned long generation = generation_;
    main_.asyncAfter(seconds(2.0), [this, alive, generation] {
        if (!*alive)
            return;
        {
            Lock lock(mutex_);
            if (generation != generation_)
                return;
        }
        connect("link lost");
    }, clock_);
}

void BluetoothHID::startReader(const BluetoothChannelRef& channel) {
    readers_.emplace_back([this, channel] { read(channel); });
}

void BluetoothHID::read(const BluetoothChannelRef& channel) {
    setThreadName("pokescope.hid.read");
    const bool control = channel->psm() == BluetoothHost::kControlPSM;
    std::uint8_t buffer[1024];
    ssize_t n;
    for (;;) {
        n = ::read(channel->fd(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (!control)
            continue; // the phone has nothing to say on the interrupt channel that we need
        std::uint8_t header = buffer[0];
        std::uint8_t type = header >> 4;
        auto alive = alive_;
        if (type == 0xA)
            continue;
        if (header == 0x13) {
            Log::shared().add("bluetooth: phone asleep (suspend)");
            main_.async([this, alive] {
                if (*alive)
                    phoneSuspended_ = true;
            });
        } else if (header == 0x14) {
            Log::shared().add("bluetooth: phone awake (exit suspend)");
            main_.async([this, alive] {
                if (*alive)
                    phoneSuspended_ = false;
            });
        } else if (header == 0x15) {
            Log::shared().add("bluetooth: phone removed this keyboard (virtual cable unplug)");
            main_.async([this, alive] {
                if (!*alive)
                    return;
                Lock lock(mutex_);
                // It may have been the user removing this computer on the phone: paging it again would
                // undo that, so wait for the phone or the user.
                if (!removedByPhone_ && state_ != State::off) {
                    removedByPhone_ = true;
                    Log::shared().add("bluetooth: not paging the phone until it connects again or is chosen again");
                }
                auto controlChannel = control_;
                auto interruptChannel = interrupt_;
                channelClosed(BluetoothHost::kControlPSM, controlChannel);
                channelClosed(BluetoothHost::kInterruptPSM, interruptChannel);
            });
        } else if (type == 0x1) {
            Log::shared().add("bluetooth: control " + hex(header));
        } else {
            std::string bytes;
            for (ssize_t i = 0; i < n; ++i)
                bytes += (i ? " " : "") + hex(buffer[i]);
            Log::shared().add("bluetooth: request " + bytes);
            if (header >> 4 == 0x7) // SET_PROTOCOL: the reports are the same in both (see controlAnswer)
                protocol_ = header & 0x01;
            auto answer = HIDReports::controlAnswer(buffer, static_cast<std::size_t>(n), protocol_);
            if (!answer.empty())
                writeTo(channel, answer.data(), answer.size());
        }
    }
    int error = errno;
    Log::shared().add("bluetooth: psm " + std::to_string(channel->psm()) + " channel ended (" + std::to_string(n) +
                      ", errno " + std::to_string(n < 0 ? error : 0) + ")");
    auto alive = alive_;
    main_.async([this, alive, channel] {
        if (*alive)
            channelClosed(channel->psm(), channel);
    });
}

bool BluetoothHID::write(const std::uint8_t* bytes, std::size_t count) {
    BluetoothChannelRef channel;
    {
        Lock lock(mutex_);
        channel = interrupt_;
    }
    if (!channel)
        return false;
    return writeTo(channel, bytes, count);
}

// The channel is held for the whole write, so its socket cannot be closed and reused underneath it.
bool BluetoothHID::writeTo(const BluetoothChannelRef& channel, const std::uint8_t* bytes, std::size_t count) {
    if (channel->fd() < 0)
        return false;
    auto [written, error] = writeQueue_.sync([&] {
        ssize_t n = ::send(channel->fd(), bytes, count, MSG_NOSIGNAL);
        return std::make_pair(n, errno);
    });
    if (written == static_cast<ssize_t>(count))
        return true;
    Log::shared().add("bluetooth: write failed errno " + std::to_string(error));
    if (connectionLost(error)) {
        auto alive = alive_;
        main_.async([this, alive, channel] {
            if (*alive)
                channelClosed(channel->psm(), channel);
        });
    }
    return false;
}

} // namespace pokescope
