// The one-time import from the application that did this job before. On this system there is nothing to
// import (that application kept its settings where no Linux installation has them); the step only records
// that it ran, so it never runs again.
#pragma once

#include "platform/Preferences.hpp"

namespace pokescope::Migration {

inline constexpr const char* kDoneKey = "migratedFromFingerpost";

// Runs once per settings store, before the application model is used. Every failure is ignored and
// nothing is logged.
void run(Preferences& store);

} // namespace pokescope::Migration
