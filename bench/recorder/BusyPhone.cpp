#include "bench/recorder/BusyPhone.hpp"

#include "sim/SimCapture.hpp"

#include <array>
#include <string>

namespace recorderbench {

using namespace pokescope;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr auto kStep = 250ms;        // one mark per step
constexpr long kStepsPerFling = 4;   // one fling a second
constexpr int kFlingMoves = 8;       // finger samples between down and up
constexpr auto kFlingMoveGap = 12ms; // between those samples
constexpr double kFlingX = 590, kFlingHigh = 800, kFlingLow = 1900;

const std::array<const char*, 4> kLines = {
    "The recording keeps the phone's sound in step with its screen.",
    "Scrolling through the settings list, one page after another.",
    "Every tap, swipe and word typed is drawn over the picture.",
    "Thirty frames a second, whatever the screen is doing.",
};

} // namespace

BusyPhone::BusyPhone(const std::filesystem::path& folder)
    : store_(folder / "settings.json"), settings_(store_), phone_(std::make_shared<sim::SimPhone>()),
      capture_(std::make_shared<sim::SimCapture>(phone_), main_, settings_) {
    settings_.setPlayAudioOnMac(false); // the phone's sound goes to the recording only
}

BusyPhone::~BusyPhone() {
    stopActivity();
    main_.sync([this] { capture_.stop(); });
}

bool BusyPhone::start(std::chrono::seconds limit) {
    main_.sync([this] { capture_.start(); });
    const auto end = SteadyClock::now() + limit;
    while (!capture_.latestImage()) {
        if (SteadyClock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    phone_->screen().openApp("Settings", SteadyClock::now());
    std::this_thread::sleep_for(1s); // the launch animation; touches during it are ignored
    return true;
}

void BusyPhone::startActivity() {
    stopActivity();
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
    }
    driver_ = std::thread([this] { drive(); });
}

void BusyPhone::stopActivity() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (driver_.joinable())
        driver_.join();
}

void BusyPhone::setMarkSink(MarkSink sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

ActionMark BusyPhone::markFor(long step) {
    ActionMark mark;
    switch (step % 3) {
    case 0:
        mark.kind = ActionMark::Kind::tap;
        mark.point = {120.0 + static_cast<double>((step * 137) % 900), 300.0 + static_cast<double>((step * 271) % 1900)};
        break;
    case 1:
        mark.kind = ActionMark::Kind::swipe;
        mark.point = {kFlingX, kFlingLow};
        mark.end = {kFlingX, kFlingHigh};
        break;
    default:
        mark.kind = ActionMark::Kind::text;
        mark.text = "step " + std::to_string(step);
        break;
    }
    return mark;
}

void BusyPhone::drive() {
    const auto start = SteadyClock::now();
    for (long step = 0;; ++step) {
        if (step % kStepsPerFling == 0) // up twice, then down twice: the list stays in its first pages
            fling((step / kStepsPerFling) % 4 < 2);
        keepTalking();
        postMark(step);
        std::unique_lock lock(mutex_);
        if (wake_.wait_until(lock, start + kStep * (step + 1), [this] { return stopping_; }))
            return;
    }
}

void BusyPhone::fling(bool up) {
    auto& screen = phone_->screen();
    const double from = up ? kFlingLow : kFlingHigh, to = up ? kFlingHigh : kFlingLow;
    screen.touchDown(kFlingX, from, SteadyClock::now());
    for (int i = 1; i <= kFlingMoves; ++i) {
        std::this_thread::sleep_for(kFlingMoveGap);
        screen.touchMove(kFlingX, from + (to - from) * i / kFlingMoves, SteadyClock::now());
    }
    screen.touchUp(kFlingX, to, SteadyClock::now());
}

void BusyPhone::keepTalking() {
    if (!phone_->speaking())
        phone_->speak(kLines[static_cast<std::size_t>(utterances_++) % kLines.size()]);
}

void BusyPhone::postMark(long step) {
    MarkSink sink;
    {
        std::lock_guard lock(mutex_);
        sink = sink_;
    }
    if (sink)
        sink(markFor(step));
}

} // namespace recorderbench
