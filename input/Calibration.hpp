// How far the phone's pointer moves per HID unit, as measured by calibration, and its file.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace pokescope {

struct Calibration {
    using Curve = std::vector<std::pair<double, double>>; // (units, px), ascending units

    double gainX = 0;   // average pixels per unit on X
    double gainY = 0;
    double offsetX = 0; // the top-left park point
    double offsetY = 0;
    std::optional<Curve> curveX;
    std::optional<Curve> curveY;
    std::optional<double> rightX;   // x of the top-right park point
    std::optional<double> fineGain; // pixels per unit for fine steps
    // Units in each fine-step report, when a report of one unit does not move the pointer (a phone that keeps
    // its pointer on whole points drops what is less than a point); absent means one.
    std::optional<int> fineStep;
    static constexpr int kMaxFineStep = 8;

    bool operator==(const Calibration&) const = default;

    // One JSON object; absent optional values are left out.
    nlohmann::json toJSON() const;
    // None (with `problem` set) unless the object is a calibration that calibration itself could have
    // made: finite numbers, 0.05 < gain < 30, curves of [units, px] pairs, a positive fine gain, a fine step of 2 to 8 units.
    static std::optional<Calibration> fromJSON(const nlohmann::json& json, std::string& problem);

    // The stored calibration at `file`: none when missing; none with a line to `log` when unreadable.
    static std::optional<Calibration> load(const std::filesystem::path& file,
                                           const std::function<void(const std::string&)>& log);
    // Writes atomically; false with `failure` set when it could not.
    bool save(const std::filesystem::path& file, std::string& failure) const;
};

} // namespace pokescope
