#include "model/Migration.hpp"

#include "core/AppSettings.hpp"

namespace pokescope::Migration {

void run(Preferences& store) {
    if (store.boolForKey(kDoneKey))
        return;
    // Recorded first, so that the import never runs twice, even if it fails half-way.
    store.set(kDoneKey, true);
}

void run() { run(AppSettings::shared().store()); }

} // namespace pokescope::Migration
