#include "model/Migration.hpp"


namespace pokescope::Migration {

void run(Preferences& store) {
    if (store.boolForKey(kDoneKey))
        return;
    // Recorded first, so that the import never runs twice, even if it fails half-way.
    store.set(kDoneKey, true);
}

} // namespace pokescope::Migration
