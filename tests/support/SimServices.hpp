// The whole set of services on the simulated phone, built by the composition root as the application
// builds them, in a temporary home, with the main queue running on a thread of its own.
#pragma once

#include "app/Services.hpp"
#include "sim/SimPhone.hpp"
#include "tests/support/MainQueueThread.hpp"
#include "tests/support/TestSupport.hpp"

#include <nlohmann/json.hpp>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope::test {

// A recogniser with a record of what it was asked to read: which picture, and on which queue.
class RecordingRecognizer : public TextRecognizer {
public:
    explicit RecordingRecognizer(std::shared_ptr<TextRecognizer> inner) : inner_(std::move(inner)) {}
    struct Reading {
        std::size_t picture; // a hash of its pixels
        std::string queue;   // the label of the queue it ran on; empty: a thread of no queue
    };
    std::vector<RecognizedText> recognize(const Image& frame) override {
        const std::size_t picture = std::hash<std::string_view>{}(std::string_view(
            reinterpret_cast<const char*>(frame.data()), static_cast<std::size_t>(frame.stride()) * frame.height()));
        {
            auto* queue = DispatchQueue::current();
            std::lock_guard lock(mutex_);
            readings_.push_back({picture, queue ? queue->label() : std::string()});
        }
        return inner_->recognize(frame);
    }
    std::vector<Reading> readings() const {
        std::lock_guard lock(mutex_);
        return readings_;
    }

private:
    std::shared_ptr<TextRecognizer> inner_;
    mutable std::mutex mutex_;
    std::vector<Reading> readings_;
};

class SimServices {
public:
    // A phone with AssistiveTouch on unless `options` say otherwise; `calibration`, when given, is stored
    // as the calibration file first, so that the engine starts calibrated. Without `mainThread` the test
    // drives the main queue itself (the windows' tests, where Qt's loop runs it).
    explicit SimServices(sim::SimOptions options = withPointer(), std::optional<Calibration> calibration = {},
                         bool mainThread = true)
        : phone(std::make_shared<sim::SimPhone>(options)) {
        if (mainThread)
            main.emplace();
        ServicesOptions paths;
        paths.calibrationFile = home.path() / "calibration.json";
        if (calibration) {
            std::string failure;
            calibration->save(paths.calibrationFile, failure);
        }
        auto backends = Backends::simulated(phone);
        // The application's own recogniser, recorded.
        recognizer = std::make_shared<RecordingRecognizer>(backends.recognizer);
        backends.recognizer = recognizer;
        services = std::make_unique<Services>(std::move(backends), paths);
    }
    ~SimServices() { services.reset(); phone->stopScreen(); }
    SimServices(const SimServices&) = delete;
    SimServices& operator=(const SimServices&) = delete;

    static sim::SimOptions withPointer() {
        sim::SimOptions options;
        options.settings.assistiveTouch = true;
        return options;
    }
    // A calibration the engine measured on the simulated phone, so that tests need not spend the better
    // part of a minute measuring it again.
    static Calibration calibration() {
        std::string problem;
        auto made = Calibration::fromJSON(nlohmann::json::parse(R"({
            "curveX": [[0, 15.665], [24, 45.177], [48, 114.328], [96, 234.826], [160, 453.819], [240, 665.298],
                       [360, 927.245]],
            "curveY": [[0, 16.274], [24, 45.195], [48, 120.824], [96, 207.557], [160, 432.054], [240, 632.73],
                       [360, 943.802]],
            "fineGain": 1.5748, "gainX": 2.5322, "gainY": 2.5765, "offsetX": 15.665, "offsetY": 16.274,
            "rightX": 1162.542})"),
                                          problem);
        return *made;
    }
    Services& operator*() { return *services; }
    Services* operator->() { return services.get(); }

    TempHome home;
    std::optional<MainQueueThread> main;
    std::shared_ptr<sim::SimPhone> phone;
    std::shared_ptr<RecordingRecognizer> recognizer;
    std::unique_ptr<Services> services;
};

} // namespace pokescope::test
