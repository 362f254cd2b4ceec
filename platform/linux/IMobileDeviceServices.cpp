#include "platform/linux/IMobileDeviceServices.hpp"

#include "platform/Dispatch.hpp"
#include "platform/linux/IMobileDevicePlist.hpp"

#include <libimobiledevice/afc.h>
#include <libimobiledevice/installation_proxy.h>
#include <libimobiledevice/service.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

namespace pokescope::imd {

namespace {

struct DescriptorFree {
    void operator()(lockdownd_service_descriptor* descriptor) const { lockdownd_service_descriptor_free(descriptor); }
};
struct ServiceFree {
    void operator()(service_client_private* service) const { service_client_free(service); }
};
struct ProxyFree {
    void operator()(instproxy_client_private* proxy) const { instproxy_client_free(proxy); }
};
struct AfcFree {
    void operator()(afc_client_private* afc) const { afc_client_free(afc); }
};
struct ListFree {
    void operator()(char** list) const { afc_dictionary_free(list); }
};
using DescriptorPtr = std::unique_ptr<lockdownd_service_descriptor, DescriptorFree>;
using ServicePtr = std::unique_ptr<service_client_private, ServiceFree>;
using ProxyPtr = std::unique_ptr<instproxy_client_private, ProxyFree>;
using AfcPtr = std::unique_ptr<afc_client_private, AfcFree>;
using ListPtr = std::unique_ptr<char*, ListFree>;

// How long the crash-report mover may take to say it has moved the new reports.
constexpr auto kMoverWait = std::chrono::seconds(3);
constexpr unsigned kReceiveTimeoutMs = 250;

DescriptorPtr startService(lockdownd_client_t client, const char* name) {
    lockdownd_service_descriptor_t raw = nullptr;
    lockdownd_error_t status = lockdownd_start_service(client, name, &raw);
    DescriptorPtr descriptor(raw);
    if (status != LOCKDOWN_E_SUCCESS || !descriptor)
        throw LockdownServiceError(name, status, "the iPhone would not start it");
    return descriptor;
}

ServicePtr serviceClient(const SharedDevice& device, lockdownd_client_t client, const char* name) {
    DescriptorPtr descriptor = startService(client, name);
    service_client_t raw = nullptr;
    service_error_t status = service_client_new(device.get(), descriptor.get(), &raw);
    ServicePtr service(raw);
    if (status != SERVICE_E_SUCCESS || !service)
        throw LockdownServiceError(name, status, "could not connect to it");
    return service;
}

std::string text(const LockdownValue& dictionary, const char* key) {
    auto it = dictionary.find(key);
    return it != dictionary.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// Reads the relay until it is closed or the phone stops it, on a thread of its own.
class Relay final : public LogRelay {
public:
    Relay(SharedDevice device, ServicePtr service, std::function<void(std::string_view)> onBytes,
          std::function<void(const std::string&)> onEnd)
        : device_(std::move(device)), service_(std::move(service)), onBytes_(std::move(onBytes)),
          onEnd_(std::move(onEnd)), thread_([this] { run(); }) {}
    ~Relay() override {
        stop_ = true;
        thread_.join();
    }

private:
    void run() {
        setThreadName("pokescope.syslog");
        std::string buffer(16384, '\0');
        while (!stop_) {
            uint32_t received = 0;
            service_error_t status = service_receive_with_timeout(
                service_.get(), buffer.data(), static_cast<uint32_t>(buffer.size()), &received, kReceiveTimeoutMs);
            if (received > 0)
                onBytes_(std::string_view(buffer.data(), received));
            // A quiet phone only times out; a phone that hangs up ends the read.
            if (status == SERVICE_E_TIMEOUT || (status == SERVICE_E_SUCCESS && received > 0))
                continue;
            if (!stop_)
                onEnd_("the iPhone stopped its log relay (status " + std::to_string(status) + ")");
            return;
        }
    }

    SharedDevice device_;
    ServicePtr service_;
    std::function<void(std::string_view)> onBytes_;
    std::function<void(const std::string&)> onEnd_;
    std::atomic<bool> stop_{false};
    std::thread thread_; // last: it starts once everything it reads is in place
};

// The pairs of an AFC key-value list.
std::map<std::string, std::string> pairs(char** list) {
    std::map<std::string, std::string> values;
    for (int i = 0; list && list[i] && list[i + 1]; i += 2)
        values[list[i]] = list[i + 1];
    return values;
}

class Folder final : public CrashReportFolder {
public:
    Folder(SharedDevice device, AfcPtr afc) : device_(std::move(device)), afc_(std::move(afc)) {}

    std::vector<PhoneFile> list() override {
        char** raw = nullptr;
        afc_error_t status = afc_read_directory(afc_.get(), "/", &raw);
        ListPtr names(raw);
        if (status != AFC_E_SUCCESS)
            throw LockdownServiceError(LockdownServices::kCrashReportCopy, status, "the report folder could not be read");
        std::vector<PhoneFile> files;
        for (int i = 0; raw && raw[i]; ++i) {
            std::string name = raw[i];
            if (name == "." || name == "..")
                continue;
            char** rawInfo = nullptr;
            status = afc_get_file_info(afc_.get(), ("/" + name).c_str(), &rawInfo);
            ListPtr info(rawInfo);
            if (status == AFC_E_OBJECT_NOT_FOUND)
                continue; // went between the listing and the look
            if (status != AFC_E_SUCCESS)
                throw LockdownServiceError(LockdownServices::kCrashReportCopy, status, "a report could not be looked at");
            auto values = pairs(rawInfo);
            if (values["st_ifmt"] != "S_IFREG")
                continue;
            PhoneFile file;
            file.name = name;
            file.size = std::strtoull(values["st_size"].c_str(), nullptr, 10);
            // Nanoseconds since 1970.
            file.modified = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::nanoseconds(std::strtoll(values["st_mtime"].c_str(), nullptr, 10))));
            files.push_back(std::move(file));
        }
        return files;
    }

    std::string read(const std::string& name, std::uint64_t limit) override {
        uint64_t handle = 0;
        afc_error_t status = afc_file_open(afc_.get(), ("/" + name).c_str(), AFC_FOPEN_RDONLY, &handle);
        if (status != AFC_E_SUCCESS)
            throw LockdownServiceError(LockdownServices::kCrashReportCopy, status, name + " could not be opened");
        std::string contents;
        std::string chunk(65536, '\0');
        for (;;) {
            uint32_t got = 0;
            status = afc_file_read(afc_.get(), handle, chunk.data(), static_cast<uint32_t>(chunk.size()), &got);
            if (status != AFC_E_SUCCESS || got == 0)
                break;
            contents.append(chunk.data(), got);
            if (contents.size() > limit) {
                status = AFC_E_TOO_MUCH_DATA;
                break;
            }
        }
        afc_file_close(afc_.get(), handle);
        if (status != AFC_E_SUCCESS)
            throw LockdownServiceError(LockdownServices::kCrashReportCopy, status, name + " could not be read whole");
        return contents;
    }

private:
    SharedDevice device_;
    AfcPtr afc_;
};

} // namespace

std::vector<InstalledApp> appsFromBrowse(const LockdownValue& list) {
    std::vector<InstalledApp> apps;
    if (!list.is_array())
        return apps;
    for (const auto& entry : list) {
        if (!entry.is_object())
            continue;
        InstalledApp app;
        app.bundleId = text(entry, "CFBundleIdentifier");
        if (app.bundleId.empty())
            continue;
        app.name = text(entry, "CFBundleDisplayName");
        if (app.name.empty())
            app.name = text(entry, "CFBundleName");
        if (app.name.empty())
            app.name = app.bundleId;
        app.version = text(entry, "CFBundleShortVersionString");
        app.system = text(entry, "ApplicationType") != "User";
        apps.push_back(std::move(app));
    }
    return apps;
}

std::vector<InstalledApp> installedApps(const SharedDevice& device, lockdownd_client_t client, bool includeSystem) {
    DescriptorPtr descriptor = startService(client, LockdownServices::kInstallationProxy);
    instproxy_client_t raw = nullptr;
    instproxy_error_t status = instproxy_client_new(device.get(), descriptor.get(), &raw);
    ProxyPtr proxy(raw);
    if (status != INSTPROXY_E_SUCCESS || !proxy)
        throw LockdownServiceError(LockdownServices::kInstallationProxy, status, "could not connect to it");
    PlistPtr options(instproxy_client_options_new());
    instproxy_client_options_add(static_cast<plist_t>(options.get()), "ApplicationType",
                                 includeSystem ? "Any" : "User", nullptr);
    instproxy_client_options_set_return_attributes(static_cast<plist_t>(options.get()), "CFBundleIdentifier",
                                                   "CFBundleDisplayName", "CFBundleName",
                                                   "CFBundleShortVersionString", "ApplicationType", nullptr);
    plist_t result = nullptr;
    status = instproxy_browse(proxy.get(), static_cast<plist_t>(options.get()), &result);
    PlistPtr owned(result);
    if (status != INSTPROXY_E_SUCCESS || !result)
        throw LockdownServiceError(LockdownServices::kInstallationProxy, status, "the app list could not be read");
    return appsFromBrowse(lockdownValueFromPlist(result));
}

std::unique_ptr<LogRelay> startLogRelay(const SharedDevice& device, lockdownd_client_t client,
                                        std::function<void(std::string_view)> onBytes,
                                        std::function<void(const std::string&)> onEnd) {
    ServicePtr service = serviceClient(device, client, LockdownServices::kSyslogRelay);
    return std::make_unique<Relay>(device, std::move(service), std::move(onBytes), std::move(onEnd));
}

std::unique_ptr<CrashReportFolder> openCrashReports(const SharedDevice& device, lockdownd_client_t client) {
    {
        // The mover says "ping" once the new reports are where the copier finds them. A phone that stays
        // silent still lets the reports it moved before be copied.
        ServicePtr mover = serviceClient(device, client, LockdownServices::kCrashReportMover);
        std::string said;
        const auto until = std::chrono::steady_clock::now() + kMoverWait;
        while (said.size() < 4 && std::chrono::steady_clock::now() < until) {
            char bytes[4];
            uint32_t received = 0;
            service_error_t status = service_receive_with_timeout(mover.get(), bytes, static_cast<uint32_t>(4 - said.size()),
                                                                  &received, kReceiveTimeoutMs);
            said.append(bytes, received);
            if (status != SERVICE_E_SUCCESS && status != SERVICE_E_TIMEOUT)
                break;
        }
    }
    DescriptorPtr descriptor = startService(client, LockdownServices::kCrashReportCopy);
    afc_client_t raw = nullptr;
    afc_error_t status = afc_client_new(device.get(), descriptor.get(), &raw);
    AfcPtr afc(raw);
    if (status != AFC_E_SUCCESS || !afc)
        throw LockdownServiceError(LockdownServices::kCrashReportCopy, status, "could not connect to it");
    return std::make_unique<Folder>(device, std::move(afc));
}

} // namespace pokescope::imd
