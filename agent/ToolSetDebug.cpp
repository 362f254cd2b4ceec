// The debug tools, which only runs on the simulated phone add: unlisted, for measuring the pointer and
// the phone by hand.
#include "agent/ToolSet.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace pokescope {

using nlohmann::json;
using Tools::text;
using namespace ToolArguments;

namespace {

std::string position(const std::optional<PointD>& p) {
    return p ? std::to_string(static_cast<long>(p->x)) + "," + std::to_string(static_cast<long>(p->y))
             : std::string("?");
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

std::vector<ToolSet::Tool> ToolSet::debugTools(std::function<json()> probe) {
    auto& engine = services_.input;
    auto& device = services_.device;
    auto firstPhone = [&device] {
        auto phones = device.phones();
        if (phones.empty())
            throw ToolError("no phone");
        return phones.front().udid;
    };
    std::vector<Tool> tools;
    tools.push_back({"debug_pointer", nullptr, [this, &engine](const json& arguments) {
                         int units = clampedInteger(arguments, "units", 160, -4000, 4000);
                         int step = clampedInteger(arguments, "step", 8, 1, 127);
                         int interval = clampedInteger(arguments, "interval_ms", 8, 0, 1000);
                         auto found = onEngine([&] {
                             engine.park(false);
                             engine.debugTravel(units, units, step, interval);
                             return engine.locatePointer(std::nullopt);
                         });
                         return text("units=" + std::to_string(units) + " step=" + std::to_string(step) +
                                     " interval=" + std::to_string(interval) + "ms: pointer at " +
                                     position(found));
                     }});
    tools.push_back(
        {"debug_fine", nullptr, [this, &engine](const json& arguments) {
             int units = clampedInteger(arguments, "units", 20, -4000, 4000);
             std::string axis = string(arguments, "axis").value_or("x") == "y" ? "y" : "x";
             int step = clampedInteger(arguments, "step", 1, 1, 127);
             int interval = clampedInteger(arguments, "interval_ms", 16, 0, 1000);
             std::optional<PointD> before, after;
             onEngine([&] {
                 before = engine.locatePointer(std::nullopt);
                 engine.debugTravel(axis == "x" ? units : 0, axis == "y" ? units : 0, step, interval);
                 after = engine.locatePointer(before);
             });
             if (!before || !after)
                 return text(axis + " " + std::to_string(units) + " units: pointer not found");
             double moved = axis == "x" ? after->x - before->x : after->y - before->y;
             char out[200];
             std::snprintf(
                 out, sizeof out,
                 "%s %d units (step %d, %d ms): %.0f,%.0f -> %.0f,%.0f, moved %.0f px = %.2f px/unit",
                 axis.c_str(), units, step, interval, before->x, before->y, after->x, after->y, moved,
                 units ? moved / units : 0.0);
             return text(out);
         }});
    tools.push_back({"debug_move", nullptr, [this, &engine](const json& arguments) {
                         PointD target = point(arguments, "x", "y");
                         auto start = std::chrono::steady_clock::now();
                         auto found = onEngine([&] {
                             engine.moveTo(target, true, 0);
                             return engine.locatePointer(target);
                         });
                         if (!found)
                             return text("pointer not found");
                         char out[200];
                         std::snprintf(
                             out, sizeof out,
                             "target %.0f,%.0f -> pointer %.0f,%.0f, error %.0f px (device), move took %.1fs",
                             target.x, target.y, found->x, found->y,
                             std::hypot(found->x - target.x, found->y - target.y), secondsSince(start));
                         return text(out);
                     }});
    tools.push_back({"debug_lockdown", nullptr, [&device, firstPhone](const json& arguments) {
                         const std::string udid = firstPhone();
                         std::string domain = string(arguments, "domain").value_or("com.apple.Accessibility");
                         return text(device.queue().sync([&] { return device.debugDomain(udid, domain); }));
                     }});
    tools.push_back({"debug_assistivetouch", nullptr, [&device, firstPhone](const json& arguments) {
                         const std::string udid = firstPhone();
                         bool on = boolean(arguments, "on").value_or(true);
                         auto start = std::chrono::steady_clock::now();
                         bool ok = device.queue().sync([&] { return device.setAssistiveTouch(udid, on); });
                         char out[120];
                         std::snprintf(out, sizeof out, "AssistiveTouch -> %s (%s) in %.2f s",
                                       on ? "on" : "off", ok ? "ok" : "failed", secondsSince(start));
                         return text(out);
                     }});
    tools.push_back({"debug_simulator", nullptr,
                     [probe](const json&) { return text(probe ? probe().dump() : json::object().dump()); }});
    // A pause on its own, as a batch's "wait" step, for trying timings by hand.
    tools.push_back({"wait", nullptr, [this](const json& arguments) { return action("wait", arguments); }});
    for (auto& tool : tools) // listed, like every tool that can be called
        tool.definition = debugDefinition(tool.name);
    return tools;
}

} // namespace pokescope
