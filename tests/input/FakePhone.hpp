// A phone on a virtual clock for the input engine's tests: pointer reports move a drawn pointer disc by a
// gain that depends on the report's step, frames show it after a capture latency, and every report is
// recorded with its virtual time. The engine's waits advance the clock instead of sleeping.
#pragma once

#include "input/InputEngine.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

namespace pokescope::test {

struct VirtualTimer : InputEngine::Timer {
    TimePoint t = TimePoint{} + std::chrono::hours(1);
    TimePoint now() override { return t; }
    void sleep(Duration duration) override { t += std::max(duration, Duration::zero()); }
};

class FakePhone : public InputEngine::Link, public InputEngine::Frames {
public:
    struct Report {
        TimePoint at;
        bool keyboard;
        std::uint8_t first; // buttons or modifiers
        int dx, dy;         // pointer
        std::vector<std::uint8_t> usages;
    };

    explicit FakePhone(VirtualTimer& timer, int width = 1179, int height = 2556)
        : timer_(timer), width_(width), height_(height), x_(width / 2.0), y_(height / 2.0),
          history_{{timer.t, x_, y_, 0}} {}

    double coarse = 2.0, fine = 1.5; // pixels per unit: for steps of 2 or more units, and single units
    bool linkReady = true, showPointer = true, showScreen = true;
    bool clicksChangePage = false; // a click opens another page (the whole screen changes)
    Duration showLag{};            // how long a report takes to reach the screen (the link and the phone)
    int passingFailures = 0;       // reports that fail once on a link that stays up
    int failAfterHeld = -1;        // reports with the button held before the link is lost (-1: never)
    // Reports that the link takes but that never reach the phone.
    std::function<bool(const Report&)> lose;
    std::vector<Report> attempts;  // every pointer report tried, sent or not
    std::vector<Report> reports;

    bool ready() override { return linkReady; }
    bool pointer(std::uint8_t buttons, int dx, int dy) override {
        attempts.push_back({timer_.t, false, buttons, dx, dy, {}});
        if ((buttons & 1) && failAfterHeld >= 0 && failAfterHeld-- == 0)
            linkReady = false;
        if (!accept())
            return false;
        reports.push_back({timer_.t, false, buttons, dx, dy, {}});
        if (lose && lose(reports.back())) {
            reports.pop_back();
            return true;
        }
        if ((buttons & 1) && !(lastButtons_ & 1) && clicksChangePage)
            ++page_;
        lastButtons_ = buttons;
        auto gain = [&](int d) { return std::abs(d) >= 2 ? coarse : fine; };
        x_ = std::clamp(x_ + dx * gain(dx), 0.0, width_ - 1.0);
        y_ = std::clamp(y_ + dy * gain(dy), 0.0, height_ - 1.0);
        history_.push_back({timer_.t + showLag, x_, y_, page_});
        return true;
    }
    bool keyboard(std::uint8_t modifiers, const std::vector<std::uint8_t>& usages) override {
        if (!accept())
            return false;
        reports.push_back({timer_.t, true, modifiers, 0, 0, usages});
        return true;
    }
    Latest latest() override {
        if (!showScreen)
            return {};
        // The newest position the capture has delivered by now, 60 ms after it.
        const Position* shown = &history_.front();
        for (const auto& p : history_)
            if (p.at + kLatency <= timer_.t)
                shown = &p;
        // Like a phone, it sends a frame only when its picture changes: a hidden pointer moves unseen.
        const bool moved = showPointer && (shown->x != drawnX_ || shown->y != drawnY_);
        if (!frame_ || moved || shown->page != drawnPage_ || showPointer != drawnShown_) {
            frame_ = draw(shown->x, shown->y, shown->page);
            drawnShown_ = showPointer, drawnPage_ = shown->page, drawnX_ = shown->x, drawnY_ = shown->y;
            frameAt_ = shown->at + kLatency;
        }
        return {frame_, frameAt_};
    }
    // Like a phone's own stream: a frame is captured at the screen's next refresh after a change and arrives
    // 60 ms after the change.
    Stillness stillness() override {
        Stillness facts;
        if (!latest().image)
            return facts;
        facts.lastSeenCaptured = facts.lastChangeCaptured = frameAt_ - kLatency + std::chrono::milliseconds(8);
        facts.lastChangeArrived = frameAt_;
        facts.delay = kLatency - std::chrono::milliseconds(8);
        return facts;
    }
    PointD position() const { return {x_, y_}; }
    std::vector<Report> pointerReports() const {
        std::vector<Report> out;
        std::ranges::copy_if(reports, std::back_inserter(out), [](const Report& r) { return !r.keyboard; });
        return out;
    }

private:
    struct Position { TimePoint at; double x, y; int page; };
    static constexpr auto kLatency = std::chrono::milliseconds(60);
    bool accept() { return linkReady && !(passingFailures > 0 && passingFailures-- > 0); }
    ImageRef draw(double px, double py, int page) const {
        auto image = std::make_shared<Image>(width_, height_, Image::Format::bgra);
        for (int y = 0; y < height_; ++y) // bands, like list rows
            std::memset(image->row(y), (200 + (y / 40) % 2 * 20 + page * 100) % 256, static_cast<std::size_t>(width_) * 4);
        if (!showPointer)
            return image;
        for (int y = std::max(0, int(py) - 31); y <= std::min(height_ - 1, int(py) + 31); ++y)
            for (int x = std::max(0, int(px) - 31); x <= std::min(width_ - 1, int(px) + 31); ++x)
                if (std::hypot(x - px, y - py) <= 30)
                    std::memset(image->row(y) + x * 4, 70, 3);
        return image;
    }

    VirtualTimer& timer_;
    int width_, height_;
    double x_, y_;
    std::vector<Position> history_;
    ImageRef frame_;
    double drawnX_ = -1, drawnY_ = -1;
    TimePoint frameAt_{};
    int page_ = 0, drawnPage_ = 0;
    bool drawnShown_ = true;
    std::uint8_t lastButtons_ = 0;
};

} // namespace pokescope::test
