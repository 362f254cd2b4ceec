#include "app/PokescopeApp.hpp"

#include "app/PokescopeWindows.hpp"
#include "core/Log.hpp"
#include "model/Migration.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/Dispatch.hpp"
#include "platform/FolderWatch.hpp"
#include "platform/Paths.hpp"
#include "platform/Process.hpp"
#include "sim/SimPhone.hpp"

#include <cstdio>

namespace pokescope::PokescopeApp {

Backends backendsFor(const Entry::Options& options) {
    if (!options.simulate)
        return Backends::system();
    return Backends::simulated(std::make_shared<sim::SimPhone>(sim::runOptions()));
}

namespace {

// Without windows the log is the only view: say how the screen is doing when it changes.
void reportScreen(ScreenCapture& capture, long lastCount) {
    DispatchQueue::main().asyncAfter(seconds(10), [&capture, lastCount] {
        auto snapshot = capture.snapshot();
        if (snapshot.frameCount != lastCount && snapshot.latest)
            Log::shared().add("app: screen " + std::to_string(snapshot.latest->width()) + "x" +
                              std::to_string(snapshot.latest->height()) + ", " + std::to_string(snapshot.frameCount) +
                              " frames");
        reportScreen(capture, snapshot.frameCount);
    });
}

} // namespace

void endForTakenPort(const std::string& sentence) {
    Log::shared().add("app: " + sentence);
    std::fprintf(stderr, "pokescope: %s\n", sentence.c_str());
    exitProcess(1);
}

int run(const Entry::Options& options) {
    // A simulated run's first line names the simulated phone and its settings.
    Services& services = Services::forProcess(backendsFor(options));
    const std::string noWindows = PokescopeWindows::noWindowsReason(options);
    if (!noWindows.empty())
        Log::shared().add("app: Pokescope 0.1.0 running without windows (" + noWindows + ")");
    Migration::run(services.preferences);
    // settings.json edited by hand while the application runs counts at once.
    static FolderWatch settingsWatch(
        services.preferences.file().parent_path(), services.preferences.file().filename().string(),
        [&services] { services.settings.reload(); },
        [](const std::string& why) { Log::shared().add("settings: " + why + "; edits count after a restart"); });
    // Writes killed midway (a crash, a power cut) leave temporary files beside what they wrote.
    for (const auto& file : {Paths::settingsFile(), Paths::appSupport() / "calibration.json"})
        removeOrphanedTemporaries(file, std::chrono::seconds(60));
    services.model.setPort(Entry::serverPort(options));
    if (noWindows.empty())
        return PokescopeWindows::run(options, services);
    services.model.setHeadless(true);
    DispatchQueue::main().async([&services] {
        services.model.start();
        if (auto taken = services.model.portTaken())
            endForTakenPort(*taken);
    });
    reportScreen(services.capture, 0);
    DispatchQueue::runMain();
    return 0;
}

} // namespace pokescope::PokescopeApp
