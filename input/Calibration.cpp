#include "input/Calibration.hpp"

#include "platform/AtomicFile.hpp"

#include <cmath>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace pokescope {

namespace {

constexpr double kMinGain = 0.05;
constexpr double kMaxGain = 30;

nlohmann::json curveJSON(const Calibration::Curve& curve) {
    auto out = nlohmann::json::array();
    for (const auto& [units, px] : curve)
        out.push_back({units, px});
    return out;
}

std::optional<double> finite(const nlohmann::json& json, const char* key, std::string& problem) {
    auto it = json.find(key);
    if (it == json.end() || !it->is_number()) {
        problem = std::string("\"") + key + "\" is missing or not a number";
        return std::nullopt;
    }
    double value = it->get<double>();
    if (!std::isfinite(value)) {
        problem = std::string("\"") + key + "\" is not finite";
        return std::nullopt;
    }
    return value;
}

// Absent is fine (nullopt, no problem); present and wrong sets `problem`.
std::optional<Calibration::Curve> curve(const nlohmann::json& json, const char* key, std::string& problem) {
    auto it = json.find(key);
    if (it == json.end() || it->is_null())
        return std::nullopt;
    if (!it->is_array()) {
        problem = std::string("\"") + key + "\" is not a list";
        return std::nullopt;
    }
    Calibration::Curve out;
    for (const auto& pair : *it) {
        if (!pair.is_array() || pair.size() != 2 || !pair[0].is_number() || !pair[1].is_number() ||
            !std::isfinite(pair[0].get<double>()) || !std::isfinite(pair[1].get<double>())) {
            problem = std::string("\"") + key + "\" holds something other than pairs of two numbers";
            return std::nullopt;
        }
        out.emplace_back(pair[0].get<double>(), pair[1].get<double>());
    }
    return out;
}

} // namespace

nlohmann::json Calibration::toJSON() const {
    nlohmann::json out = {{"gainX", gainX}, {"gainY", gainY}, {"offsetX", offsetX}, {"offsetY", offsetY}};
    if (curveX)
        out["curveX"] = curveJSON(*curveX);
    if (curveY)
        out["curveY"] = curveJSON(*curveY);
    if (rightX)
        out["rightX"] = *rightX;
    if (fineGain)
        out["fineGain"] = *fineGain;
    if (fineStep)
        out["fineStep"] = *fineStep;
    return out;
}

std::optional<Calibration> Calibration::fromJSON(const nlohmann::json& json, std::string& problem) {
    if (!json.is_object()) {
        problem = "not a JSON object";
        return std::nullopt;
    }
    Calibration out;
    for (auto [key, field] : {std::pair{"gainX", &out.gainX}, std::pair{"gainY", &out.gainY},
                              std::pair{"offsetX", &out.offsetX}, std::pair{"offsetY", &out.offsetY}}) {
        auto value = finite(json, key, problem);
        if (!value)
            return std::nullopt;
        *field = *value;
    }
    if (!(out.gainX > kMinGain && out.gainX < kMaxGain && out.gainY > kMinGain && out.gainY < kMaxGain)) {
        problem = "a gain is outside 0.05…30";
        return std::nullopt;
    }
    problem.clear();
    out.curveX = curve(json, "curveX", problem);
    if (!problem.empty())
        return std::nullopt;
    out.curveY = curve(json, "curveY", problem);
    if (!problem.empty())
        return std::nullopt;
    for (auto [key, field] : {std::pair{"rightX", &out.rightX}, std::pair{"fineGain", &out.fineGain}}) {
        auto it = json.find(key);
        if (it == json.end() || it->is_null())
            continue;
        auto value = finite(json, key, problem);
        if (!value)
            return std::nullopt;
        *field = *value;
    }
    if (out.fineGain && !(*out.fineGain > 0)) {
        problem = "\"fineGain\" is not positive";
        return std::nullopt;
    }
    if (auto it = json.find("fineStep"); it != json.end() && !it->is_null()) {
        if (!it->is_number_integer() || it->get<long long>() < 2 || it->get<long long>() > kMaxFineStep) {
            problem = "\"fineStep\" is not a whole number from 2 to 8";
            return std::nullopt;
        }
        out.fineStep = it->get<int>();
    }
    return out;
}

std::optional<Calibration> Calibration::load(const std::filesystem::path& file,
                                             const std::function<void(const std::string&)>& log) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    auto json = nlohmann::json::parse(text.str(), nullptr, false);
    std::string problem = json.is_discarded() ? "not valid JSON" : "";
    std::optional<Calibration> out;
    if (problem.empty())
        out = fromJSON(json, problem);
    if (!out && log)
        log("input: ignoring " + file.string() + " (" + problem + "); calibrate again");
    return out;
}

bool Calibration::save(const std::filesystem::path& file, std::string& failure) const {
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    return writeFileAtomically(file, toJSON().dump(), failure);
}

} // namespace pokescope
