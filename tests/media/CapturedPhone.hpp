// The simulated phone's screen captured as the application captures it, with the settings and main
// queue a capture needs, in a temporary folder: what the recorder's and the transcriber's tests share.
#pragma once

#include "capture/ScreenCapture.hpp"
#include "core/AppSettings.hpp"
#include "platform/Preferences.hpp"
#include "sim/SimCapture.hpp"
#include "sim/SimPhone.hpp"
#include "tests/support/TestSupport.hpp"

namespace pokescope::test {

struct CapturedPhone {
    TempFolder folder;
    Preferences store{folder.path() / "settings.json"};
    AppSettings settings{store};
    DispatchQueue main{"test.main"};
    std::shared_ptr<sim::SimPhone> phone = std::make_shared<sim::SimPhone>();
    ScreenCapture capture{std::make_shared<sim::SimCapture>(phone), main, settings};

    void withScreen() {
        main.sync([&] { capture.start(); });
        ASSERT_TRUE(eventually([&] { return capture.latestImage() != nullptr; }));
    }
};

} // namespace pokescope::test
