// The phone's services that a lockdown session starts (installed apps, the system log relay, the crash
// reports), on libimobiledevice. The lockdown connection calls these with its device and its client, inside
// its session; what they return keeps the device alive for as long as it lives.
#pragma once

#include "platform/Lockdown.hpp"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <memory>

namespace pokescope::imd {

using SharedDevice = std::shared_ptr<idevice_private>;

std::vector<InstalledApp> installedApps(const SharedDevice& device, lockdownd_client_t client, bool includeSystem);
std::unique_ptr<LogRelay> startLogRelay(const SharedDevice& device, lockdownd_client_t client,
                                        std::function<void(std::string_view)> onBytes,
                                        std::function<void(const std::string&)> onEnd);
std::unique_ptr<CrashReportFolder> openCrashReports(const SharedDevice& device, lockdownd_client_t client);

// The installation service's answer (a list of app dictionaries, as lockdown values) as apps; entries
// without an identifier are left out.
std::vector<InstalledApp> appsFromBrowse(const LockdownValue& list);

} // namespace pokescope::imd
