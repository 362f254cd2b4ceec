// Placeholder screen until the real one lands: a plain grey picture that tracks the pointer.
#include "sim/SimScreen.hpp"

#include <cstring>
#include <mutex>

namespace pokescope::sim {

struct SimScreen::Impl {
    mutable std::mutex mutex;
    double x = 0, y = 0;
    bool assistiveTouch = false;
    bool dirty = true;
    std::string banner;
    std::function<void(const std::string&)> speech;
    RenderStats stats;
};

SimScreen::SimScreen() : impl_(std::make_unique<Impl>()) {}
SimScreen::~SimScreen() = default;

bool SimScreen::render(Image& frame, TimePoint) {
    std::lock_guard lock(impl_->mutex);
    if (frame.width() != kWidth || frame.height() != kHeight)
        frame = Image(kWidth, kHeight, Image::Format::bgra);
    if (!impl_->dirty)
        return false;
    std::memset(frame.data(), 0x80, frame.byteCount());
    impl_->dirty = false;
    ++impl_->stats.fullRedraws;
    return true;
}
std::optional<TimePoint> SimScreen::nextChange(TimePoint) const { return std::nullopt; }
void SimScreen::setPointer(double x, double y) {
    std::lock_guard lock(impl_->mutex);
    impl_->x = x;
    impl_->y = y;
    impl_->dirty = true;
}
std::pair<double, double> SimScreen::pointer() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->x, impl_->y};
}
void SimScreen::touchDown(double, double, TimePoint) {}
void SimScreen::touchMove(double, double, TimePoint) {}
void SimScreen::touchUp(double, double, TimePoint) {}
void SimScreen::tap(double, double, TimePoint) {}
void SimScreen::keyPress(int, int, TimePoint) {}
void SimScreen::typeText(const std::string&, TimePoint) {}
void SimScreen::goHome(TimePoint) {}
bool SimScreen::openApp(const std::string&, TimePoint) { return false; }
void SimScreen::showBanner(const std::string& text) {
    std::lock_guard lock(impl_->mutex);
    impl_->banner = text;
    impl_->dirty = true;
}
void SimScreen::hideBanner() {
    std::lock_guard lock(impl_->mutex);
    impl_->banner.clear();
    impl_->dirty = true;
}
void SimScreen::setAssistiveTouch(bool on) {
    std::lock_guard lock(impl_->mutex);
    impl_->assistiveTouch = on;
    impl_->dirty = true;
}
bool SimScreen::assistiveTouch() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->assistiveTouch;
}
void SimScreen::showTrustPrompt(std::function<void(bool)> onAnswer) { onAnswer(true); }
void SimScreen::setAsleep(bool) {}
std::string SimScreen::location() const { return "home"; }
std::string SimScreen::fieldText() const { return ""; }
std::vector<DrawnText> SimScreen::drawnTexts() const { return {}; }
bool SimScreen::animating() const { return false; }
void SimScreen::setSpeechHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard lock(impl_->mutex);
    impl_->speech = std::move(handler);
}
SimScreen::RenderStats SimScreen::renderStats() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->stats;
}

} // namespace pokescope::sim
