// The HID channels' L2CAP sockets (libbluetooth): listening for the phone on PSM 0x11 and 0x13, and
// connecting to it. Every socket asks for an encrypted link (BT_SECURITY medium), so nothing the agent
// types crosses the air in the clear.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace pokescope::bluez {

// A file descriptor closed when the object ends.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd();
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    int get() const { return fd_; }
    int release();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Listening goes on while the object lives; destroying it stops the accept thread and closes the sockets.
class L2capListener {
public:
    virtual ~L2capListener() = default;
};

class L2capSockets {
public:
    // An accepted connection: the socket (now the receiver's), its PSM and the peer's canonical address.
    using Accepted = std::function<void(int fd, std::uint16_t psm, const std::string& peer)>;

    virtual ~L2capSockets() = default;
    // Listens on both HID PSMs; null with `error` set when that is impossible.
    virtual std::unique_ptr<L2capListener> listen(Accepted accepted, std::string& error) = 0;
    // A connected socket to `address` on `psm`, or -errno. Blocks for at most the page timeout.
    virtual int connect(const std::string& address, std::uint16_t psm) = 0;
    // Ends connection attempts in progress and refuses new ones: the host is going away.
    virtual void cancel() = 0;

    // The kernel's Bluetooth sockets.
    static std::unique_ptr<L2capSockets> kernel();
};

// Why the HID channels can't be listened on, for the user.
std::string l2capListenError(int error);

// Short-lived threads (channel attempts, re-registrations) that are all joined before the host ends.
class Workers {
public:
    ~Workers() { joinAll(); }
    void run(std::function<void()> work);
    void joinAll();

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::mutex mutex_;
    std::list<Worker> workers_;
};

} // namespace pokescope::bluez
