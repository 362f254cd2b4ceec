// The tools that read what the phone itself tells: its apps, its system log, its crash reports and its
// state. Each reads through PhoneRecords, which bounds every exchange with the phone in time.
#include "agent/ToolSet.hpp"

#include "capture/ScreenCapture.hpp"
#include "device/PhoneRecords.hpp"
#include "platform/Utf8.hpp"

#include <cstdio>

namespace pokescope {

using nlohmann::json;
using Tools::text;
using namespace ToolArguments;

namespace {

constexpr std::size_t kReportsListed = 20;
constexpr std::size_t kReportShown = 64 * 1024;
constexpr std::size_t kMaxReportName = 255;

std::string decimal(double value) {
    char out[32];
    std::snprintf(out, sizeof out, "%g", value);
    return out;
}

std::string localTime(std::chrono::system_clock::time_point time) {
    std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&t, &local);
    char out[32];
    std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", &local);
    return out;
}

// `text` cut to at most `bytes`, at a character boundary.
std::string cutAt(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes)
        return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

} // namespace

PhoneInfo ToolSet::trustedPhone() {
    auto phone = selectedPhone();
    if (!phone)
        throw ToolError(PhoneRecords::kNoPhone);
    if (!phone->paired)
        throw ToolError(PhoneRecords::kNotTrusted);
    return *phone;
}

json ToolSet::listApps(const json& arguments) {
    const bool system = boolean(arguments, "include_system").value_or(false);
    const PhoneInfo phone = trustedPhone();
    const auto apps = services_.records.apps(phone.udid, system);
    if (apps.empty())
        return text(system ? "No apps listed by " + phone.name + "."
                           : "No apps installed by the user on " + phone.name +
                                 ". Call list_apps with include_system true to list the apps that came with iOS.");
    std::string out = std::to_string(apps.size()) + (apps.size() == 1 ? " app" : " apps") + " on " + phone.name +
                      (system ? " (with those that came with iOS)" : " (installed by the user)") +
                      ": name — bundle identifier — version";
    for (const InstalledApp& app : apps)
        out += "\n" + app.name + " — " + app.bundleId + " — " + (app.version.empty() ? "no version" : app.version);
    return text(out);
}

json ToolSet::deviceLog(const json& arguments) {
    PhoneLog::Query query;
    if (auto given = number(arguments, "seconds")) {
        if (*given <= 0)
            throw ToolError("seconds must be more than 0");
        if (*given > 3600)
            throw ToolError("seconds must be at most 3600");
        query.window = pokescope::seconds(*given);
    }
    if (auto lines = integer(arguments, "max_lines")) {
        if (*lines < 1 || *lines > 2000)
            throw ToolError("max_lines must be from 1 to 2000");
        query.maxLines = static_cast<std::size_t>(*lines);
    }
    query.process = string(arguments, "process", kMaxName);
    query.contains = string(arguments, "contains", kMaxLabel);
    if (query.process && query.process->empty())
        query.process.reset();
    if (query.contains && query.contains->empty())
        query.contains.reset();
    const PhoneInfo phone = trustedPhone();
    const auto answer = services_.records.log(phone.udid, query);
    const auto& result = answer.result;
    const std::string window = decimal(std::chrono::duration<double>(query.window).count());
    std::string filter;
    if (query.process)
        filter += " of process " + *query.process;
    if (query.contains)
        filter += std::string(filter.empty() ? "" : ",") + " containing \"" + *query.contains + "\"";
    std::string out;
    if (answer.relayProblem)
        out += *answer.relayProblem + "\n";
    if (result.lines.empty()) {
        out += "No log lines" + filter + " in the last " + window + " s.";
    } else {
        out += std::to_string(result.lines.size()) + " log line" + (result.lines.size() == 1 ? "" : "s") + filter +
               " from the last " + window + " s, newest last";
        if (result.matched > result.lines.size())
            out += " (the newest of " + std::to_string(result.matched) + " that match; max_lines " +
                   std::to_string(query.maxLines) + ")";
        out += ":";
        for (const std::string& line : result.lines)
            out += "\n" + line;
    }
    if (result.dropped > 0)
        out += "\n" + std::to_string(result.dropped) + " older lines were dropped to keep the log within " +
               std::to_string(PhoneLog::kMaxLines) + " lines and 4 MiB; the window asked for reaches past the oldest "
               "line kept.";
    return text(out);
}

json ToolSet::crashReports(const json& arguments) {
    auto name = string(arguments, "name", kMaxReportName);
    if (name && name->empty())
        name.reset();
    if (name) {
        if (name->find('/') != std::string::npos || name->front() == '.' || name->find('\0') != std::string::npos)
            throw ToolError("name must be a crash report's file name, as crash_reports lists it");
        auto phone = selectedPhone();
        std::optional<std::string> udid;
        if (phone && phone->paired)
            udid = phone->udid;
        auto [contents, path] = services_.records.crashReport(udid, *name);
        std::string shown = cutAt(contents, kReportShown);
        std::string out = "Crash report " + *name + " (" + std::to_string((contents.size() + 1023) / 1024) +
                          " KiB, kept at " + path.string() + "):\n" + utf8::sanitized(shown);
        if (shown.size() < contents.size())
            out += "\n[Cut at 64 KiB of " + std::to_string((contents.size() + 1023) / 1024) +
                   " KiB; the whole report is at " + path.string() + ".]";
        return text(out);
    }
    const PhoneInfo phone = trustedPhone();
    const auto list = services_.records.crashReports(phone.udid, kReportsListed);
    std::string out;
    if (list.reports.empty()) {
        out = "No crash reports from " + phone.name + ".";
    } else {
        out = "Crash reports from " + phone.name + ", newest first (" + std::to_string(list.copied) +
              " copied now; " + std::to_string(list.kept) + " kept in " + list.folder.string() +
              "): time — process — name";
        for (const auto& report : list.reports)
            out += "\n" + localTime(report.time) + " — " + report.process + " — " + report.name;
        if (list.kept > list.reports.size())
            out += "\n(" + std::to_string(list.kept - list.reports.size()) + " older ones are in the folder.)";
    }
    if (list.waiting > 0)
        out += "\n" + std::to_string(list.waiting) + " more reports are still on the iPhone; call crash_reports "
               "again to copy them.";
    for (const std::string& why : list.notKept)
        out += "\nNot kept (it may still be being written; call again later): " + why + ".";
    return text(out);
}

json ToolSet::deviceInfo() {
    const PhoneInfo phone = trustedPhone();
    const auto state = services_.records.state(phone.udid);
    std::string screen = "unknown";
    if (state.screenWidth && state.screenHeight)
        screen = std::to_string(*state.screenWidth) + " x " + std::to_string(*state.screenHeight) + " pixels";
    else if (auto frame = services_.capture.latestImage())
        screen = std::to_string(frame->width()) + " x " + std::to_string(frame->height()) +
                 " pixels (as captured)";
    const std::string productType = state.productType.empty() ? phone.productType : state.productType;
    std::string out = "name: " + (state.name.empty() ? phone.name : state.name);
    out += "\nmodel: " + ProductNames::name(productType) + " (" + productType + ")";
    out += "\niOS: " + (state.iosVersion.empty() ? phone.iosVersion : state.iosVersion);
    out += "\nscreen: " + screen;
    out += "\nbattery: " + PhoneRecords::batteryText(state);
    out += "\nstorage: " + PhoneRecords::storageText(state);
    out += "\nbluetooth: " + (state.bluetoothAddress.empty() ? phone.bluetoothAddress : state.bluetoothAddress);
    out += "\ntrusted: yes";
    out += "\nAssistiveTouch: " + std::string(!state.assistiveTouch ? "unknown" : *state.assistiveTouch ? "on" : "off");
    return text(out);
}

} // namespace pokescope
