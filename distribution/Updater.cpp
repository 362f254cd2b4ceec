#include "distribution/Updater.hpp"

#include "core/Log.hpp"

namespace pokescope {

std::string Updater::reason() {
    return "Pokescope is built from its sources on this computer: update it by pulling the new sources and "
           "running scripts/run again.";
}

std::string Updater::version() { return "0.1.0 (1)"; }

void Updater::start() {
    if (started_)
        return;
    started_ = true;
    Log::shared().add("updater: no update feed in this build; checking for updates is off (" + reason() + ")");
}

} // namespace pokescope
