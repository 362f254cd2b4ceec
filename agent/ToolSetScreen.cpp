// What the agent sees: the screenshot with its recognised text, the wait for the screen to settle, and
// the status text.
#include "agent/ToolSet.hpp"

#include "core/AppSettings.hpp"
#include "bluetooth/BluetoothHID.hpp"
#include "capture/ScreenCapture.hpp"
#include "input/InputEngine.hpp"
#include "media/ScreenRecorder.hpp"
#include "media/Transcriber.hpp"
#include "platform/Base64.hpp"
#include "platform/WaitLedger.hpp"
#include "vision/ScreenText.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>

namespace pokescope {

using nlohmann::json;

std::string Tools::screenshotText(int shotWidth, int shotHeight, double ratio, const std::vector<Item>& items,
                           bool includeText) {
    std::string text = "Screenshot " + std::to_string(shotWidth) + "x" + std::to_string(shotHeight) +
                       " (coordinates for tap/swipe are in this space).";
    if (!includeText)
        return text;
    if (items.empty())
        return text + "\nNo text detected.";
    text += "\nOn-screen text (centre points):\n";
    for (std::size_t i = 0; i < items.size(); ++i) {
        const Item& item = items[i];
        long cx = static_cast<long>((item.x + item.width / 2) / ratio);
        long cy = static_cast<long>((item.y + item.height / 2) / ratio);
        text += (i ? "\n\"" : "\"") + item.text + "\" @ (" + std::to_string(cx) + ", " + std::to_string(cy) + ")";
    }
    return text;
}

json ToolSet::screenshot(bool includeText) {
    auto frame = services_.capture.latestImage();
    if (!frame)
        throw ScreenshotError(InputEngine::InputError::text(InputEngine::ErrorCase::noScreen));
    if (!includeText)
        return screenshotOf(frame, std::nullopt);
    auto seen = view(std::move(frame));
    return screenshotOf(seen.frame, seen.text);
}

namespace {
constexpr double kBusyAround = 0.02; // of the ring around the disc: text or an icon's edge lies there
// The least quiet after a change before its frame is read ahead, whatever the source's pace.
constexpr Duration kReadAheadQuiet = std::chrono::milliseconds(20);
} // namespace

ToolSet::View ToolSet::view(ImageRef frame, std::optional<std::vector<TextItem>> text) {
    {
        std::lock_guard lock(viewMutex_);
        if (frame && frame == lastView_.first)
            return lastView_.second;
    }
    auto read = readAround(std::move(frame), std::move(text));
    std::lock_guard lock(viewMutex_);
    lastView_ = read;
    return read.second;
}

std::pair<ImageRef, ToolSet::View> ToolSet::readAround(ImageRef frame, std::optional<std::vector<TextItem>> text) {
    View seen{frame, {}};
    seen.text = text ? std::move(*text) : readText(*seen.frame);
    auto& engine = services_.input;
    const int width = seen.frame->width(), height = seen.frame->height();
    bool believed = false;
    const auto at = engine.sighting(width, height, believed);
    if (!at || engine.steppedAside()) // once per place: a screen full of text would keep it moving
        return {frame, seen};
    // Where a drag ended is only believed: the disc may lie a little further off.
    const double disc = InputEngine::kDiscShare * width, reach = (believed ? 2.0 : 0.5) * disc, half = disc / 2 + reach;
    const bool onText = std::any_of(seen.text.begin(), seen.text.end(), [&](const TextItem& item) {
        return item.x < at->x + half && item.x + item.width > at->x - half && item.y < at->y + half &&
               item.y + item.height > at->y - half;
    });
    // A short word the disc hides may not be read at all: the edges of a label going on beside the disc
    // tell too.
    if (!onText && (believed || FrameDiff::busyAround(*seen.frame, *at, 0.7 * disc, 1.5 * disc) < kBusyAround))
        return {frame, seen};
    try {
        if (!onEngine([&] { return engine.stepAside(); }))
            return {frame, seen};
    } catch (const std::exception&) { // no link, or the caller went away: the text as it was read
        return {frame, seen};
    }
    auto moved = services_.capture.latestImage();
    if (!moved)
        return {frame, seen};
    if (auto clean = FrameDiff::withoutDisc(*seen.frame, *moved, *at, disc, reach)) {
        seen.frame = std::make_shared<const Image>(std::move(*clean));
        seen.text = readText(*seen.frame);
        return {moved, seen};
    }
    return {frame, seen}; // the screen changed, or the disc had hidden: the first reading stands
}

json ToolSet::screenshotOf(const ImageRef& frame, const std::optional<std::vector<TextItem>>& text) {
    const bool includeText = text.has_value();
    auto [width, height] = Tools::screenshotSize(frame->width(), frame->height());
    ImageRef shot = width < frame->width() ? scaled(frame, width) : frame;
    auto jpeg = shot ? encoded(*shot, ImageType::jpeg, 0.75) : std::nullopt;
    if (!jpeg)
        throw ScreenshotError("Couldn't encode screenshot");
    std::vector<Tools::Item> items;
    if (includeText)
        for (const auto& item : *text)
            items.push_back({item.text, item.x, item.y, item.width, item.height});
    double ratio = static_cast<double>(frame->width()) / shot->width();
    json content = json::array();
    content.push_back({{"type", "image"}, {"data", base64Encoded(*jpeg)}, {"mimeType", "image/jpeg"}});
    content.push_back(
        {{"type", "text"}, {"text", Tools::screenshotText(shot->width(), shot->height(), ratio, items, includeText)}});
    return json{{"content", std::move(content)}};
}

void ToolSet::settle(Duration limit, Duration still, TimePoint since) {
    auto start = std::chrono::steady_clock::now();
    // The action's last report (a release, a key's lifting) shows in frames captured within the phone's
    // measured report lag: what they show before then may be its earlier reports' doing (a press lights a
    // row up before its release starts a page push), so quiet is counted from there.
    const TimePoint quietFrom = since + services_.input.reportLag().value_or(Duration::zero());
    while (std::chrono::steady_clock::now() - start < limit) {
        const auto facts = services_.capture.stillness();
        const auto now = std::chrono::steady_clock::now();
        // An action nearly always shows (a row lights up, a page moves): quiet alone is no proof while the
        // frames that show it may still be on their way, so it counts only once the action's first change has
        // come or `kFirstChange` has passed without one.
        if ((facts.changedAfter(since) || now - since >= kFirstChange) && facts.still(quietFrom, still, now))
            return;
        // The action's change has come and no frame of it followed for two of the source's intervals: this
        // frame is likely the one the screenshot will show, and its text is read while the quiet is proven.
        if (facts.changedAfter(since) &&
            now - facts.lastChangeArrived >= std::max<Duration>(2 * facts.interval, kReadAheadQuiet))
            readAhead(services_.capture.latestImage());
        WaitLedger::sleep(std::chrono::milliseconds(5));
    }
}

std::vector<TextItem> ToolSet::readText(const Image& frame) {
    std::shared_future<std::vector<TextItem>> ahead;
    {
        std::lock_guard lock(aheadMutex_);
        if (aheadFrame_.get() == &frame)
            ahead = ahead_;
    }
    if (ahead.valid()) {
        WaitLedger::Scope reading(WaitLedger::Kind::recognition); // what is left of it
        try {
            return ahead.get();
        } catch (const std::exception&) { // never read: the tool set is going away
        }
    }
    return ScreenText::read(frame, services_.recognizer);
}

void ToolSet::readAhead(ImageRef frame) {
    std::lock_guard lock(aheadMutex_);
    if (!frame || frame == aheadFrame_)
        return;
    // One at a time: a newer frame while one is being read is read when it is asked for.
    if (ahead_.valid() && ahead_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return;
    auto task = std::make_shared<std::packaged_task<std::vector<TextItem>()>>(
        [frame, &recognizer = services_.recognizer] {
            WaitLedger::Uncounted background;
            return ScreenText::read(*frame, recognizer);
        });
    aheadFrame_ = frame;
    ahead_ = task->get_future().share();
    aheadQueue_.async([task] { (*task)(); });
}

std::string ToolSet::statusText() {
    auto phone = selectedPhone();
    std::vector<std::string> lines;
    lines.push_back(phone ? "usb: " + phone->name + " (" + ProductNames::name(phone->productType) + ", iOS " +
                                phone->iosVersion + ")"
                          : "usb: no iPhone on USB");
    auto snapshot = services_.capture.snapshot();
    lines.push_back(snapshot.latest ? "screen: " + std::to_string(snapshot.latest->width()) + "x" +
                                          std::to_string(snapshot.latest->height()) + ", " +
                                          std::to_string(snapshot.frameCount) + " frames"
                                    : "screen: no frame");
    auto& hid = services_.hid;
    lines.push_back(std::string("bluetooth: ") + BluetoothHID::rawValue(hid.state()) +
                    (hid.phoneSuspended() ? " (iPhone is locked/asleep — unlock it before acting)" : "") +
                    (hid.removedByPhone() ? " (the iPhone removed this keyboard; not reconnecting until it connects "
                                            "again or is chosen again in Pokescope)"
                                          : ""));
    auto calibration = services_.input.calibration();
    char gains[64];
    if (calibration)
        std::snprintf(gains, sizeof gains, "%.2f x %.2f px/unit", calibration->gainX, calibration->gainY);
    lines.push_back("pointer calibration: " + (calibration ? std::string(gains) : std::string("not calibrated")));
    lines.push_back(services_.settings.transcriptionEnabled() ? "transcription: on"
                                                                 : "transcription: off (turn on in Pokescope Settings)");
    if (auto listening = services_.transcriber.listening()) {
        char on[96];
        std::snprintf(on, sizeof on, "on (%s, %.0f s)", listening->language.c_str(), listening->seconds);
        lines.push_back(std::string("listening: ") + on);
    } else {
        lines.push_back("listening: off");
    }
    if (auto since = services_.recorder.startedAt()) {
        char on[48];
        std::snprintf(on, sizeof on, "on (%.0f s)",
                      std::chrono::duration<double>(std::chrono::system_clock::now() - *since).count());
        lines.push_back(std::string("recording: ") + on);
    } else {
        lines.push_back("recording: off");
    }
    {
        std::lock_guard lock(mutex_);
        if (!simulated_.empty())
            lines.push_back("simulated iPhone: " + simulated_);
    }
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i)
        text += (i ? "\n" : "") + lines[i];
    return text;
}

} // namespace pokescope
