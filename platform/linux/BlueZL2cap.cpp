#include "platform/linux/BlueZL2cap.hpp"

#include "platform/Dispatch.hpp"
#include "platform/linux/BlueZBus.hpp"

#include <bluetooth/bluetooth.h>
#include <bluetooth/l2cap.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace pokescope::bluez {

namespace {

constexpr std::uint16_t kPSMs[] = {0x0011, 0x0013};
// A page to a phone that is in range but asleep takes a few seconds; after this it is not coming.
constexpr int kConnectTimeoutMs = 20000;

int lastError() {
    return errno ? errno : EIO;
}

bool requireEncryption(int fd) {
    bt_security security{};
    security.level = BT_SECURITY_MEDIUM;
    return ::setsockopt(fd, SOL_BLUETOOTH, BT_SECURITY, &security, sizeof security) == 0;
}

sockaddr_l2 l2capAddress(std::uint16_t psm, const bdaddr_t& address) {
    sockaddr_l2 out{};
    out.l2_family = AF_BLUETOOTH;
    out.l2_psm = htobs(psm);
    bacpy(&out.l2_bdaddr, &address);
    return out;
}

void signal(int eventFd) {
    std::uint64_t one = 1;
    while (::write(eventFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

class KernelListener final : public L2capListener {
public:
    KernelListener(UniqueFd control, UniqueFd interrupt, UniqueFd wake, L2capSockets::Accepted accepted)
        : control_(std::move(control)), interrupt_(std::move(interrupt)), wake_(std::move(wake)),
          accepted_(std::move(accepted)), thread_([this] { run(); }) {}

    ~KernelListener() override {
        signal(wake_.get());
        thread_.join();
    }

private:
    void run() {
        setThreadName("bluez.accept");
        pollfd fds[3] = {
            {control_.get(), POLLIN, 0}, {interrupt_.get(), POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        for (;;) {
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[2].revents)
                return;
            for (int i = 0; i < 2; ++i)
                if (fds[i].revents & POLLIN)
                    accept(fds[i].fd, kPSMs[i]);
        }
    }

    void accept(int listening, std::uint16_t psm) {
        sockaddr_l2 peer{};
        socklen_t length = sizeof peer;
        int fd = ::accept4(listening, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        char text[18] = {};
        ::ba2str(&peer.l2_bdaddr, text);
        accepted_(fd, psm, canonicalAddress(text));
    }

    UniqueFd control_, interrupt_, wake_;
    L2capSockets::Accepted accepted_;
    std::thread thread_;
};

class KernelSockets final : public L2capSockets {
public:
    KernelSockets() : cancel_(::eventfd(0, EFD_CLOEXEC)) {}

    std::unique_ptr<L2capListener> listen(Accepted accepted, std::string& error) override {
        UniqueFd sockets[2];
        for (int i = 0; i < 2; ++i) {
            sockets[i] = UniqueFd(::socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC, BTPROTO_L2CAP));
            if (!sockets[i]) {
                error = l2capListenError(lastError());
                return nullptr;
            }
            sockaddr_l2 address = l2capAddress(kPSMs[i], bdaddr_t{});
            if (!requireEncryption(sockets[i].get()) ||
                ::bind(sockets[i].get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                ::listen(sockets[i].get(), 4) != 0) {
                error = l2capListenError(lastError());
                return nullptr;
            }
        }
        UniqueFd wake(::eventfd(0, EFD_CLOEXEC));
        if (!wake) {
            error = "can't listen on the HID channels: " + std::string(std::strerror(lastError()));
            return nullptr;
        }
        return std::make_unique<KernelListener>(std::move(sockets[0]), std::move(sockets[1]), std::move(wake),
                                                std::move(accepted));
    }

    int connect(const std::string& address, std::uint16_t psm) override {
        bdaddr_t target{};
        if (::str2ba(address.c_str(), &target) < 0)
            return -EINVAL;
        UniqueFd fd(::socket(AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, BTPROTO_L2CAP));
        if (!fd)
            return -lastError();
        if (!requireEncryption(fd.get()))
            return -lastError();
        sockaddr_l2 remote = l2capAddress(psm, target);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 &&
            errno != EINPROGRESS)
            return -lastError();
        pollfd fds[2] = {{fd.get(), POLLOUT, 0}, {cancel_.get(), POLLIN, 0}};
        int ready;
        while ((ready = ::poll(fds, 2, kConnectTimeoutMs)) < 0 && errno == EINTR) {
        }
        if (ready == 0)
            return -ETIMEDOUT;
        if (ready < 0)
            return -lastError();
        if (fds[1].revents)
            return -ECANCELED;
        int status = 0;
        socklen_t length = sizeof status;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &status, &length) != 0)
            return -lastError();
        if (status != 0)
            return -status;
        // The channel's reader blocks in read().
        int flags = ::fcntl(fd.get(), F_GETFL);
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
        return fd.release();
    }

    void cancel() override {
        if (cancel_)
            signal(cancel_.get());
    }

private:
    UniqueFd cancel_;
};

} // namespace

UniqueFd::~UniqueFd() {
    if (fd_ >= 0)
        ::close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

std::unique_ptr<L2capSockets> L2capSockets::kernel() {
    return std::make_unique<KernelSockets>();
}

std::string l2capListenError(int error) {
    switch (error) {
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
        return "no Bluetooth support in this kernel (the bluetooth and l2cap modules are not available)";
    case EADDRINUSE:
        return "the HID channels are taken by another program: start bluetoothd without its input plugin (-P "
               "input)";
    case EACCES:
    case EPERM:
        return "no permission to listen on the HID channels (PSM 0x11 and 0x13 need CAP_NET_BIND_SERVICE: "
               "run as "
               "root or give the program that capability with setcap)";
    case ENODEV:
    case EADDRNOTAVAIL:
        return "no Bluetooth adapter";
    default:
        return "can't listen on the HID channels: " + std::string(std::strerror(error));
    }
}

void Workers::run(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    // Finished attempts are joined here, so a long session does not pile up ended threads.
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers_.push_back({std::thread([work = std::move(work), done] {
                            setThreadName("bluez.worker");
                            work();
                            done->store(true);
                        }),
                        done});
}

void Workers::joinAll() {
    std::list<Worker> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& worker : workers)
        worker.thread.join();
}

} // namespace pokescope::bluez
