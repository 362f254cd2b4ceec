#include "sim/SimScreen.hpp"
#include "platform/Utf8.hpp"
#include "sim/SimScreenModel.hpp"
#include "sim/SimScreenRender.hpp"

#include <mutex>

namespace pokescope::sim {

struct SimScreen::Impl {
    explicit Impl(const SimModel& model) : model(model), screen(model), renderer(screen.geo) {}
    const SimModel model;
    mutable std::mutex mutex;
    detail::Screen screen;
    detail::Renderer renderer;

    // Runs `change` under the lock, then the callbacks it queued (speech, trust answers) without it, so
    // they may call back into the screen.
    template <class F> void locked(F&& change) {
        std::vector<std::function<void()>> later;
        {
            std::lock_guard lock(mutex);
            change(screen);
            later.swap(screen.deferred);
        }
        for (auto& callback : later)
            callback();
    }
};

SimScreen::SimScreen(const SimModel& model) : impl_(std::make_unique<Impl>(model)) {}
SimScreen::~SimScreen() = default;

const SimModel& SimScreen::model() const { return impl_->model; }

bool SimScreen::render(Image& frame, TimePoint now) {
    bool changed = false;
    impl_->locked([&](detail::Screen& s) { changed = impl_->renderer.render(s, frame, now); });
    return changed;
}

std::optional<TimePoint> SimScreen::nextChange(TimePoint now) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->renderer.nextChange(impl_->screen, now);
}

void SimScreen::setWallClock(TimePoint at, std::chrono::system_clock::time_point wall) {
    std::lock_guard lock(impl_->mutex);
    impl_->screen.wallAnchor = at;
    impl_->screen.wallAtAnchor = wall;
}

void SimScreen::setPointer(double x, double y) {
    std::lock_guard lock(impl_->mutex);
    impl_->screen.movePointer(x, y, std::nullopt);
}

void SimScreen::setPointer(double x, double y, TimePoint at) {
    std::lock_guard lock(impl_->mutex);
    impl_->screen.movePointer(x, y, at);
}

std::pair<double, double> SimScreen::pointer() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->screen.pointerX, impl_->screen.pointerY};
}

std::pair<double, double> SimScreen::lastTouchDown() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->screen.touch.downX, impl_->screen.touch.downY};
}

void SimScreen::touchDown(double x, double y, TimePoint at) {
    impl_->locked([&](detail::Screen& s) { s.touchDown(x, y, at); });
}

void SimScreen::touchMove(double x, double y, TimePoint at) {
    impl_->locked([&](detail::Screen& s) { s.touchMove(x, y, at); });
}

void SimScreen::touchUp(double x, double y, TimePoint at) {
    impl_->locked([&](detail::Screen& s) { s.touchUp(x, y, at); });
}

void SimScreen::tap(double x, double y, TimePoint at) {
    impl_->locked([&](detail::Screen& s) {
        s.touchDown(x, y, at);
        s.touchUp(x, y, at + milliseconds(80));
    });
}

void SimScreen::keyPress(int usage, int modifiers, TimePoint at) {
    impl_->locked([&](detail::Screen& s) { s.keyPress(usage, modifiers, at); });
}

void SimScreen::typeText(const std::string& text, TimePoint at) {
    impl_->locked([&](detail::Screen& s) {
        s.advance(at);
        s.typeText(text);
    });
}

void SimScreen::goHome(TimePoint at) {
    impl_->locked([&](detail::Screen& s) {
        s.advance(at);
        s.goHome();
    });
}

bool SimScreen::openApp(const std::string& name, TimePoint at) {
    bool opened = false;
    impl_->locked([&](detail::Screen& s) {
        s.advance(at);
        if (s.asleep)
            s.wake();
        opened = s.launch(name, std::nullopt);
    });
    return opened;
}

void SimScreen::showBanner(const std::string& text) {
    std::lock_guard lock(impl_->mutex);
    impl_->screen.banner = utf8::sanitized(text);
}

void SimScreen::hideBanner() {
    std::lock_guard lock(impl_->mutex);
    impl_->screen.banner.reset();
}

void SimScreen::setAssistiveTouch(bool on) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->screen.settings.assistiveTouch != on) {
        impl_->screen.settings.assistiveTouch = on;
        impl_->screen.pointerWoken = true; // the pointer appears when AssistiveTouch comes on
        impl_->screen.changed();
    }
}

void SimScreen::setHardwareKeyboard(bool connected) {
    impl_->locked([&](detail::Screen& s) { s.setHardwareKeyboard(connected); });
}

bool SimScreen::hardwareKeyboard() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->screen.hardwareKeyboard;
}

void SimScreen::setDarkMode(bool dark) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->screen.dark != dark) {
        impl_->screen.dark = dark;
        impl_->screen.changed();
    }
}

bool SimScreen::darkMode() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->screen.dark;
}

void SimScreen::setAnimationTime(std::chrono::milliseconds length) {
    std::lock_guard lock(impl_->mutex);
    impl_->screen.setAnimationTime(length);
}

bool SimScreen::assistiveTouch() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->screen.settings.assistiveTouch;
}

void SimScreen::showTrustPrompt(std::function<void(bool trusted)> onAnswer) {
    impl_->locked([&](detail::Screen& s) {
        // A prompt shown again replaces the one on screen; its asker hears "not trusted" rather than nothing.
        s.answerTrust(false);
        s.alert = true;
        s.trustAnswer = std::move(onAnswer);
        s.changed();
    });
}

void SimScreen::setAsleep(bool asleep) {
    std::lock_guard lock(impl_->mutex);
    if (impl_->screen.asleep != asleep) {
        impl_->screen.asleep = asleep;
        impl_->screen.changed();
    }
}

std::string SimScreen::location() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->screen.location();
}

std::string SimScreen::fieldText() const {
    std::lock_guard lock(impl_->mutex);
    const detail::TextField* field = impl_->screen.field();
    return field ? field->text : std::string();
}

std::vector<DrawnText> SimScreen::drawnTexts() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->renderer.texts();
}

bool SimScreen::animating() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->screen.animating();
}

void SimScreen::setSpeechHandler(std::function<void(const std::string& utterance)> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->screen.speech = std::move(handler);
}

void SimScreen::setEventHandler(std::function<void(const SimEvent&)> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->screen.events = std::move(handler);
}

void SimScreen::setCrashingApps(std::set<std::string> labels) {
    std::lock_guard lock(impl_->mutex);
    impl_->screen.crashing = std::move(labels);
}

SimScreen::RenderStats SimScreen::renderStats() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->renderer.stats();
}

} // namespace pokescope::sim
