// Phones that share their screen over the USB cable, through libusb. A phone shows its screen-sharing
// interface (vendor class 0xFF, subclass 0x2A, a bulk IN and a bulk OUT endpoint) only in a configuration
// it adds when asked with a vendor request; opening a link asks, waits for the phone to come back with
// it, selects it and claims that interface alone, so usbmuxd keeps the phone's other interface (lockdown).
// Closing asks the phone to drop the configuration again; so does the end of the process, however it ends
// through exitProcess (signals included), so a phone is never left in the streaming configuration.
#include "platform/UsbScreen.hpp"

#include "platform/Dispatch.hpp"
#include "platform/Process.hpp"

// libusb's header declares zero-length arrays, which -Wpedantic reports.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#include <libusb.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace pokescope {

namespace {

constexpr std::uint16_t kAppleVendor = 0x05ac;
constexpr std::uint8_t kVendorClass = 0xff;
constexpr std::uint8_t kMuxSubclass = 0xfe;
constexpr std::uint8_t kScreenSubclass = 0x2a;
// The vendor request that adds (index 2) or drops (index 0) the screen-sharing configuration.
constexpr std::uint8_t kRequestType = 0x40, kRequest = 0x52;
constexpr std::uint16_t kEnableIndex = 2, kDisableIndex = 0;
constexpr unsigned kControlTimeoutMs = 1000;
constexpr unsigned kReadTimeoutMs = 200;
constexpr unsigned kWriteTimeoutMs = 3000;
constexpr std::size_t kReadSize = 1 << 20;

std::string errorText(int code) { return libusb_strerror(static_cast<libusb_error>(code)); }

// Where a phone's screen-sharing interface is, in one of its configurations.
struct ScreenInterface {
    std::uint8_t configuration = 0;
    std::uint8_t interface = 0;
    std::uint8_t in = 0, out = 0;
};

std::optional<ScreenInterface> findScreenInterface(libusb_device* device, bool& hasMux) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0)
        return std::nullopt;
    std::optional<ScreenInterface> found;
    for (std::uint8_t i = 0; i < descriptor.bNumConfigurations; ++i) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_config_descriptor(device, i, &config) != 0)
            continue;
        for (int n = 0; n < config->bNumInterfaces; ++n) {
            const libusb_interface& interface = config->interface[n];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor& setting = interface.altsetting[a];
                if (setting.bInterfaceClass != kVendorClass)
                    continue;
                if (setting.bInterfaceSubClass == kMuxSubclass)
                    hasMux = true;
                if (setting.bInterfaceSubClass != kScreenSubclass || found)
                    continue;
                ScreenInterface screen{config->bConfigurationValue, setting.bInterfaceNumber, 0, 0};
                for (int e = 0; e < setting.bNumEndpoints; ++e) {
                    const auto& endpoint = setting.endpoint[e];
                    if ((endpoint.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK)
                        continue;
                    if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN)
                        screen.in = endpoint.bEndpointAddress;
                    else
                        screen.out = endpoint.bEndpointAddress;
                }
                if (screen.in && screen.out)
                    found = screen;
            }
        }
        libusb_free_config_descriptor(config);
    }
    return found;
}

// The serial number (the phone's UDID); empty when the device cannot be opened.
std::string serialOf(libusb_device* device, std::string& problem) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != 0 || descriptor.iSerialNumber == 0)
        return "";
    libusb_device_handle* handle = nullptr;
    int status = libusb_open(device, &handle);
    if (status != 0) {
        problem = "can't open the iPhone's USB device (" + errorText(status) +
                  "): give your user access with the udev rule in the README";
        return "";
    }
    unsigned char text[128] = {};
    int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text, sizeof text);
    libusb_close(handle);
    return length > 0 ? std::string(reinterpret_cast<char*>(text), static_cast<std::size_t>(length)) : "";
}

class Link;

// Every open link, so that the end of the process can hand the phones back to their normal configuration.
std::mutex openLinksMutex;
std::set<Link*>& openLinks() {
    static auto* links = new std::set<Link*>();
    return *links;
}

class Link final : public UsbScreenLink {
public:
    Link(libusb_device_handle* handle, ScreenInterface screen) : handle_(handle), screen_(screen) {
        std::lock_guard lock(openLinksMutex);
        openLinks().insert(this);
    }
    ~Link() override {
        close();
        std::lock_guard lock(openLinksMutex);
        openLinks().erase(this);
    }

    void start(Received received, Closed closed) override {
        std::lock_guard lock(mutex_);
        if (reader_.joinable() || closing_)
            return;
        reader_ = std::thread([this, received = std::move(received), closed = std::move(closed)] {
            setThreadName("usbscreen.read");
            read(received, closed);
        });
    }

    bool write(std::span<const std::uint8_t> bytes, std::string& error) override {
        std::lock_guard lock(writeMutex_);
        std::size_t done = 0;
        while (done < bytes.size()) {
            if (closing_) {
                error = "the link to the iPhone is closed";
                return false;
            }
            int sent = 0;
            const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
            int status = libusb_bulk_transfer(handle_, screen_.out, const_cast<unsigned char*>(bytes.data() + done),
                                              chunk, &sent, kWriteTimeoutMs);
            if (status != 0 && status != LIBUSB_ERROR_TIMEOUT) {
                error = "couldn't write to the iPhone: " + errorText(status);
                return false;
            }
            if (status == LIBUSB_ERROR_TIMEOUT && sent == 0) {
                error = "the iPhone took no data for 3 s";
                return false;
            }
            done += static_cast<std::size_t>(sent);
        }
        return true;
    }

    void close() override {
        {
            std::lock_guard lock(mutex_);
            if (closed_)
                return;
            closing_ = true;
        }
        if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id())
            reader_.join();
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        libusb_release_interface(handle_, screen_.interface);
        // Back to the phone's normal configuration: it drops the screen-sharing one and re-enumerates.
        libusb_control_transfer(handle_, kRequestType, kRequest, 0, kDisableIndex, nullptr, 0, kControlTimeoutMs);
        libusb_close(handle_);
    }

    // For the end of the process: no waiting for the reader, just hand the phone back.
    void abandon() {
        closing_ = true;
        libusb_release_interface(handle_, screen_.interface);
        libusb_control_transfer(handle_, kRequestType, kRequest, 0, kDisableIndex, nullptr, 0, kControlTimeoutMs);
    }

private:
    void read(const Received& received, const Closed& closed) {
        std::vector<std::uint8_t> buffer(kReadSize);
        std::string reason = "screen sharing was closed";
        bool gone = false;
        while (!closing_) {
            int got = 0;
            int status = libusb_bulk_transfer(handle_, screen_.in, buffer.data(), static_cast<int>(buffer.size()),
                                              &got, kReadTimeoutMs);
            if (got > 0)
                received(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(got)));
            if (status == 0 || status == LIBUSB_ERROR_TIMEOUT)
                continue;
            gone = status == LIBUSB_ERROR_NO_DEVICE;
            reason = gone ? "the iPhone was disconnected" : "couldn't read from the iPhone: " + errorText(status);
            break;
        }
        closed(reason, gone);
    }

    libusb_device_handle* handle_;
    ScreenInterface screen_;
    std::mutex mutex_, writeMutex_;
    std::atomic<bool> closing_{false};
    bool closed_ = false;
    std::thread reader_;
};

void abandonOpenLinks() {
    std::lock_guard lock(openLinksMutex);
    for (Link* link : openLinks())
        link->abandon();
}

class Host final : public UsbScreenHost {
public:
    Host() {
        int status = libusb_init(&context_);
        if (status != 0) {
            problem_ = "libusb could not start: " + errorText(status);
            context_ = nullptr;
            return;
        }
        atProcessExit(abandonOpenLinks);
        if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
            libusb_hotplug_register_callback(
                context_,
                static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                LIBUSB_HOTPLUG_NO_FLAGS, kAppleVendor, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, &Host::hotplug,
                this, &hotplugHandle_);
        }
        events_ = std::thread([this] {
            setThreadName("usbscreen.events");
            while (!stopping_) {
                timeval wait{0, 250'000};
                libusb_handle_events_timeout_completed(context_, &wait, nullptr);
            }
        });
    }

    ~Host() override {
        stopping_ = true;
        if (context_) {
            libusb_hotplug_deregister_callback(context_, hotplugHandle_);
            if (events_.joinable())
                events_.join();
            libusb_exit(context_);
        }
    }

    std::vector<UsbScreenDevice> devices() override {
        std::vector<UsbScreenDevice> found;
        if (!context_)
            return found;
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(context_, &list);
        std::string problem;
        for (ssize_t i = 0; i < count; ++i) {
            libusb_device_descriptor descriptor{};
            if (libusb_get_device_descriptor(list[i], &descriptor) != 0 || descriptor.idVendor != kAppleVendor)
                continue;
            bool hasMux = false;
            bool screen = findScreenInterface(list[i], hasMux).has_value();
            if (!hasMux && !screen)
                continue; // an Apple keyboard or mouse, not a phone
            std::string serial = serialOf(list[i], problem);
            if (serial.empty())
                continue;
            found.push_back(UsbScreenDevice{serial, "iPhone"});
            std::lock_guard lock(mutex_);
            serials_[list[i]] = serial;
        }
        if (count >= 0)
            libusb_free_device_list(list, 1);
        std::lock_guard lock(mutex_);
        problem_ = problem;
        return found;
    }

    void setDeviceEvents(DeviceEventHandler handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }

    std::unique_ptr<UsbScreenLink> open(const UsbScreenDevice& device, std::string& error) override {
        if (!context_) {
            error = problem_;
            return nullptr;
        }
        // The phone drops off the bus and returns with the extra configuration after the request.
        bool asked = false;
        for (int attempt = 0; attempt < 50; ++attempt) {
            libusb_device* found = nullptr;
            std::optional<ScreenInterface> screen;
            libusb_device** list = nullptr;
            ssize_t count = libusb_get_device_list(context_, &list);
            std::string problem;
            for (ssize_t i = 0; i < count && !found; ++i) {
                libusb_device_descriptor descriptor{};
                if (libusb_get_device_descriptor(list[i], &descriptor) != 0 || descriptor.idVendor != kAppleVendor)
                    continue;
                if (serialOf(list[i], problem) != device.uniqueID)
                    continue;
                found = libusb_ref_device(list[i]);
                bool hasMux = false;
                screen = findScreenInterface(list[i], hasMux);
            }
            if (count >= 0)
                libusb_free_device_list(list, 1);
            if (!found && !asked) {
                error = problem.empty() ? "the iPhone is not on USB" : problem;
                return nullptr;
            }
            if (found) {
                libusb_device_handle* handle = nullptr;
                int status = libusb_open(found, &handle);
                libusb_unref_device(found);
                if (status != 0) {
                    error = "can't open the iPhone's USB device: " + errorText(status);
                    return nullptr;
                }
                if (!screen) {
                    if (asked) {
                        libusb_close(handle);
                    } else {
                        status = libusb_control_transfer(handle, kRequestType, kRequest, 0, kEnableIndex, nullptr, 0,
                                                         kControlTimeoutMs);
                        libusb_close(handle);
                        if (status < 0 && status != LIBUSB_ERROR_NO_DEVICE && status != LIBUSB_ERROR_PIPE) {
                            error = "the iPhone refused screen sharing over USB: " + errorText(status);
                            return nullptr;
                        }
                        asked = true;
                    }
                } else {
                    return claim(handle, *screen, error);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        error = "the iPhone did not come back with its screen-sharing configuration within 5 s";
        return nullptr;
    }

    std::string problem() const override {
        std::lock_guard lock(mutex_);
        return problem_;
    }

private:
    std::unique_ptr<UsbScreenLink> claim(libusb_device_handle* handle, ScreenInterface screen, std::string& error) {
        int current = 0;
        libusb_get_configuration(handle, &current);
        if (current != screen.configuration) {
            int status = libusb_set_configuration(handle, screen.configuration);
            if (status != 0) {
                error = "couldn't switch the iPhone to its screen-sharing configuration (" + errorText(status) +
                        "); see the README about usbmuxd";
                libusb_close(handle);
                return nullptr;
            }
        }
        int status = libusb_claim_interface(handle, screen.interface);
        if (status != 0) {
            error = "couldn't claim the iPhone's screen-sharing interface: " + errorText(status);
            libusb_close(handle);
            return nullptr;
        }
        return std::make_unique<Link>(handle, screen);
    }

    // libusb's event thread must not open devices: the work moves to a queue of our own.
    static int LIBUSB_CALL hotplug(libusb_context*, libusb_device* device, libusb_hotplug_event event, void* self) {
        auto* host = static_cast<Host*>(self);
        libusb_ref_device(device);
        const bool arrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
        host->queue_.async([host, device, arrived] {
            host->hotplugged(device, arrived);
            libusb_unref_device(device);
        });
        return 0;
    }

    void hotplugged(libusb_device* device, bool arrived) {
        // A device that left cannot be asked its serial number: remember it from when it came.
        std::string serial;
        if (arrived) {
            bool hasMux = false;
            if (!findScreenInterface(device, hasMux) && !hasMux)
                return;
            std::string problem;
            serial = serialOf(device, problem);
        }
        DeviceEventHandler handler;
        {
            std::lock_guard lock(mutex_);
            if (arrived && !serial.empty())
                serials_[device] = serial;
            if (!arrived) {
                auto it = serials_.find(device);
                if (it == serials_.end())
                    return;
                serial = it->second;
                serials_.erase(it);
            }
            handler = handler_;
        }
        if (handler && !serial.empty())
            handler(serial, arrived);
    }

    DispatchQueue queue_{"usbscreen.hotplug"};
    libusb_context* context_ = nullptr;
    libusb_hotplug_callback_handle hotplugHandle_ = 0;
    std::thread events_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::string problem_;
    std::map<libusb_device*, std::string> serials_;
    DeviceEventHandler handler_;
};

} // namespace

std::shared_ptr<UsbScreenHost> UsbScreenHost::system() {
    static auto* host = new std::shared_ptr<UsbScreenHost>(std::make_shared<Host>()); // one per process
    return *host;
}

} // namespace pokescope
