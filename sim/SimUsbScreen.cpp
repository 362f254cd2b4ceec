#include "sim/SimUsbScreen.hpp"

#include "platform/Dispatch.hpp"
#include "sim/SimUsbScreenDevice.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace pokescope::sim {

namespace {

using usbdevice::DeviceSide;
using usbdevice::Ending;
using usbdevice::kReadSize;
using usbdevice::Wake;

// ---------------------------------------------------------------------------------------------------
// The host's end

class SimLink final : public UsbScreenLink {
public:
    SimLink(std::shared_ptr<SimPhone> phone, SimUsbFaults faults, SimUsbScreenHost::FeedObserver observer,
            int hostFd, int deviceFd, std::shared_ptr<std::atomic<bool>> linkOpen)
        : shared_(std::make_shared<Shared>()), linkOpen_(std::move(linkOpen)) {
        shared_->fd = hostFd;
        device_ = std::make_unique<DeviceSide>(std::move(phone), faults, std::move(observer), deviceFd, shared_->ending);
    }
    ~SimLink() override { close(); }
    SimLink(const SimLink&) = delete;
    SimLink& operator=(const SimLink&) = delete;

    void start(Received received, Closed closed) override {
        std::lock_guard lock(mutex_);
        if (started_ || closed_)
            return;
        started_ = true;
        reader_ = std::thread([shared = shared_, received = std::move(received), closed = std::move(closed)] {
            read(*shared, received, closed);
        });
    }

    bool write(std::span<const std::uint8_t> bytes, std::string& error) override {
        std::lock_guard lock(shared_->writeMutex);
        if (shared_->fd < 0 || shared_->stopping) {
            error = "the link to the iPhone is closed";
            return false;
        }
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(shared_->fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                auto [reason, gone] = shared_->ending->get();
                error = reason.empty() ? "the iPhone's screen-sharing interface is gone" : reason;
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    void close() override {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        shared_->stopping = true;
        shared_->wake.notify();
        // Wakes a reader and a writer blocked on the socket; the device sees the end too.
        ::shutdown(shared_->fd, SHUT_RDWR);
        device_->stop();
        if (reader_.joinable()) {
            // From inside a callback the reading thread ends as soon as the callback returns.
            if (reader_.get_id() == std::this_thread::get_id())
                reader_.detach();
            else
                reader_.join();
        }
        {
            std::lock_guard writing(shared_->writeMutex);
            ::close(shared_->fd);
            shared_->fd = -1;
        }
        linkOpen_->store(false);
    }

private:
    struct Shared {
        int fd = -1;
        Wake wake;
        std::atomic<bool> stopping{false};
        std::mutex writeMutex;
        std::shared_ptr<Ending> ending = std::make_shared<Ending>();
    };

    static void read(Shared& shared, const Received& received, const Closed& closed) {
        setThreadName("sim.usbscreen.link");
        std::vector<std::uint8_t> buffer(kReadSize);
        const int fd = shared.fd; // closed only after this thread has been joined or has stopped using it
        for (;;) {
            pollfd fds[2] = {{fd, POLLIN, 0}, {shared.wake.fd(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                break;
            if (shared.stopping)
                return;
            if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n > 0) {
                if (received)
                    received(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)));
                if (shared.stopping)
                    return;
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                continue;
            break;
        }
        if (shared.stopping)
            return;
        auto [reason, gone] = shared.ending->get();
        if (closed)
            closed(reason.empty() ? "the iPhone's screen-sharing interface closed" : reason, gone);
    }

    std::shared_ptr<Shared> shared_;
    std::shared_ptr<std::atomic<bool>> linkOpen_;
    std::unique_ptr<DeviceSide> device_;
    std::mutex mutex_;
    bool started_ = false, closed_ = false;
    std::thread reader_;
};

} // namespace

SimUsbScreenHost::SimUsbScreenHost(std::shared_ptr<SimPhone> phone, SimUsbFaults faults)
    : phone_(std::move(phone)), plugKey_(usbdevice::plugKey("usbscreen-host-")), faults_(faults),
      linkOpen_(std::make_shared<std::atomic<bool>>(false)) {}

SimUsbScreenHost::~SimUsbScreenHost() {
    phone_->setPlugListener(plugKey_, nullptr);
}

std::vector<UsbScreenDevice> SimUsbScreenHost::devices() {
    const auto& identity = phone_->identity();
    if (!phone_->pluggedIn() || identity.hdmiAdapter())
        return {};
    return {UsbScreenDevice{identity.udid, identity.name}};
}

void SimUsbScreenHost::setDeviceEvents(DeviceEventHandler handler) {
    if (!handler || phone_->identity().hdmiAdapter()) {
        phone_->setPlugListener(plugKey_, nullptr);
        return;
    }
    std::string udid = phone_->identity().udid;
    phone_->setPlugListener(
        plugKey_, [handler = std::move(handler), udid](bool pluggedIn) { handler(udid, pluggedIn); });
}

void SimUsbScreenHost::setFaults(const SimUsbFaults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
}

void SimUsbScreenHost::setFeedObserver(FeedObserver observer) {
    std::lock_guard lock(mutex_);
    feedObserver_ = std::move(observer);
}

std::unique_ptr<UsbScreenLink> SimUsbScreenHost::open(const UsbScreenDevice& device, std::string& error) {
    auto present = devices();
    if (present.empty() || device.uniqueID != present.front().uniqueID) {
        error = "the iPhone " + device.uniqueID + " is not connected";
        return nullptr;
    }
    if (linkOpen_->exchange(true)) {
        error = "the iPhone's screen-sharing interface is already in use";
        return nullptr;
    }
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        error = std::string("can't open the iPhone's screen-sharing interface: ") + std::strerror(errno);
        linkOpen_->store(false);
        return nullptr;
    }
    SimUsbFaults faults;
    FeedObserver observer;
    {
        std::lock_guard lock(mutex_);
        faults = faults_;
        observer = feedObserver_;
    }
    return std::make_unique<SimLink>(phone_, faults, std::move(observer), fds[0], fds[1], linkOpen_);
}

} // namespace pokescope::sim
