// Software updates. This build has no update framework to drive: Pokescope is built from its sources
// (scripts/run) and updated with them, so `canCheck` stays false, the "Check for Updates…" entries are
// shown disabled with `reason()`, and `start()` says so once in the log. Nothing pretends to check.
#pragma once

#include <string>

namespace pokescope {

class Updater {
public:
    // Logs once why updates are not checked here.
    void start();
    bool canCheck() const { return false; }
    // Whether checks run by themselves; never here.
    bool automatic() const { return false; }
    // Does nothing while `canCheck` is false.
    void checkForUpdates() {}
    // Why checking is not available, for the settings window.
    static std::string reason();
    // "0.1.0 (1)": the version and the build, for display.
    static std::string version();

private:
    bool started_ = false;
};

} // namespace pokescope
