// A Bluetooth host the test drives: it records what the device logic asks of it and lets the test play
// the stack's events, with real connected sockets as channels.
#pragma once

#include "platform/BluetoothHost.hpp"

#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace pokescope::test {

class FakeHost : public BluetoothHost {
public:
    void setEvents(Events e) override {
        std::lock_guard lock(mutex);
        events = std::move(e);
    }
    bool publish(const SdpRecord& record, std::string& error) override {
        std::lock_guard lock(mutex);
        if (!adapter) {
            error = "no Bluetooth adapter";
            return false;
        }
        ++publishes;
        published = record;
        return true;
    }
    void withdraw() override {
        std::lock_guard lock(mutex);
        ++withdrawals;
    }
    bool setClassOfDevice(std::uint32_t cod, double, std::string&) override {
        std::lock_guard lock(mutex);
        classOfDevice = cod;
        return true;
    }
    std::string controllerName() override { return "pokescope-box"; }
    void makeDiscoverable() override {}
    bool discoverable() override { return false; }
    void setPairingPeer(std::optional<std::string> address) override {
        std::lock_guard lock(mutex);
        pairingPeer = std::move(address);
    }
    bool canSeeConnections() override { return true; }
    bool knowsPeer(const std::string&) override { return true; }
    void connectPeer(const std::string& address) override {
        std::lock_guard lock(mutex);
        pages.push_back(address);
    }
    void disconnectPeer(const std::string& address) override {
        std::lock_guard lock(mutex);
        disconnects.push_back(address);
    }
    void openChannel(const std::string& address, std::uint16_t psm) override {
        std::lock_guard lock(mutex);
        opens.emplace_back(address, psm);
    }

    // A connected channel: ours goes to the device logic, the far end stays with the test.
    struct Pair {
        BluetoothChannelRef channel;
        int far = -1;
    };
    Pair channel(std::uint16_t psm, const std::string& peer) {
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds);
        return {std::make_shared<BluetoothChannel>(fds[0], psm, peer, true), fds[1]};
    }
    Events copy() {
        std::lock_guard lock(mutex);
        return events;
    }

    std::mutex mutex;
    Events events;
    bool adapter = true;
    int publishes = 0, withdrawals = 0;
    std::uint32_t classOfDevice = 0;
    std::optional<std::string> pairingPeer;
    SdpRecord published;
    std::vector<std::string> pages, disconnects;
    std::vector<std::pair<std::string, std::uint16_t>> opens;
};

} // namespace pokescope::test
