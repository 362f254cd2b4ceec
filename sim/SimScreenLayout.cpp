#include "sim/SimScreenLayout.hpp"
#include "sim/SimScreenModel.hpp"

#include <algorithm>
#include <cmath>

namespace pokescope::sim::detail {
namespace {

constexpr double kKeyW = 99.9, kKeyGap = 18, kKeyH = 126, kRowPitch = 162, kSideKeyW = 126;

double rowTop(double top, int row) {
    return top + 24 + row * kRowPitch;
}

void addRow(std::vector<KeyCap>& keys, std::string_view chars, double x, double y, double width) {
    std::size_t i = 0;
    while (i < chars.size()) {
        std::size_t len = 1;
        while (i + len < chars.size() && (static_cast<unsigned char>(chars[i + len]) & 0xC0) == 0x80)
            ++len;
        keys.push_back({KeyCap::Kind::character, std::string(chars.substr(i, len)), {x, y, width, kKeyH}});
        x += width + kKeyGap;
        i += len;
    }
}

} // namespace

Rect homeIconRect(int index) {
    int column = index % kHomeColumns, row = index / kHomeColumns;
    return {81.0 + column * 279.0, 225.0 + row * 318.0, kIconSize, kIconSize};
}

Rect dockIconRect(int index) {
    return {81.0 + index * 279.0, kDockRect.midY() - kIconSize / 2, kIconSize, kIconSize};
}

Rect discRect(double x, double y) {
    double r = kDiscDiameter / 2 + 3; // the rim's anti-aliasing reaches a little past the disc
    return Rect{x - r, y - r, 2 * r, 2 * r}.outward();
}

Rect assistiveButtonRect(double keyboardTop) {
    constexpr double size = 180, margin = 9;
    double y = std::min(std::round(kH * 2 / 3 - size / 2), std::round(keyboardTop) - 36 - size);
    return {kW - margin - size, y, size, size};
}

std::vector<KeyCap> keyboardKeys(const Keyboard& keyboard, double top) {
    using Layer = Keyboard::Layer;
    std::vector<KeyCap> keys;
    double y0 = rowTop(top, 0), y1 = rowTop(top, 1), y2 = rowTop(top, 2), y3 = rowTop(top, 3);
    double wideKey = (kW - 2 * (9 + kSideKeyW + 50) - 4 * kKeyGap) / 5;
    switch (keyboard.layer) {
    case Layer::letters:
        addRow(keys, keyboard.shift ? "QWERTYUIOP" : "qwertyuiop", 9, y0, kKeyW);
        addRow(keys, keyboard.shift ? "ASDFGHJKL" : "asdfghjkl", 9 + (kKeyW + kKeyGap) / 2, y1, kKeyW);
        keys.push_back({KeyCap::Kind::shift, "", {9, y2, kSideKeyW, kKeyH}});
        addRow(keys, keyboard.shift ? "ZXCVBNM" : "zxcvbnm", (kW - 7 * kKeyW - 6 * kKeyGap) / 2, y2, kKeyW);
        break;
    case Layer::numbers:
        addRow(keys, "1234567890", 9, y0, kKeyW);
        addRow(keys, "-/:;()$&@\"", 9, y1, kKeyW);
        keys.push_back({KeyCap::Kind::layer, "#+=", {9, y2, kSideKeyW, kKeyH}, Layer::symbols});
        addRow(keys, ".,?!'", 9 + kSideKeyW + 50, y2, wideKey);
        break;
    case Layer::symbols:
        addRow(keys, "[]{}#%^*+=", 9, y0, kKeyW);
        addRow(keys, "_\\|~<>€£¥•", 9, y1, kKeyW);
        keys.push_back({KeyCap::Kind::layer, "123", {9, y2, kSideKeyW, kKeyH}, Layer::numbers});
        addRow(keys, ".,?!'", 9 + kSideKeyW + 50, y2, wideKey);
        break;
    }
    keys.push_back({KeyCap::Kind::backspace, "", {kW - 9 - kSideKeyW, y2, kSideKeyW, kKeyH}});
    bool letters = keyboard.layer == Layer::letters;
    keys.push_back({KeyCap::Kind::layer,
                    letters ? "123" : "ABC",
                    {9, y3, 270, kKeyH},
                    letters ? Layer::numbers : Layer::letters});
    keys.push_back({KeyCap::Kind::space, "space", {297, y3, 585, kKeyH}});
    keys.push_back({KeyCap::Kind::enter, "return", {900, y3, 270, kKeyH}});
    return keys;
}

std::vector<SpotlightSlot> spotlightSlots(std::string_view query) {
    std::vector<SpotlightSlot> slots;
    if (query.empty()) {
        const auto& apps = homeApps();
        for (int i = 0; i < 4; ++i) {
            Rect icon{81.0 + i * 279.0, kSpotlightTop + kResultHeaderH, kIconSize, kIconSize};
            slots.push_back({&apps[std::size_t(i)], icon, {icon.x - 40, icon.y - 10, 260, 290}, false});
        }
        return slots;
    }
    auto results = spotlightResults(query);
    double y = kSpotlightTop + kResultHeaderH;
    for (std::size_t i = 0; i < results.size() && i <= std::size_t(kMaxOtherResults); ++i) {
        if (i == 1)
            y += 42 + kResultHeaderH; // the second card and its header
        Rect row{kGroupX, y, kGroupW, kResultRowH};
        slots.push_back({results[i], {kGroupX + 48, y + 24, kResultIcon, kResultIcon}, row, i == 0});
        y += kResultRowH;
    }
    return slots;
}

ListLayout layoutList(const PageContent& page) {
    ListLayout layout;
    double y = 0;
    if (page.root) {
        layout.search = {kGroupX, kLargeTitleBlock, kGroupW, kSearchFieldH};
        y = kLargeTitleBlock + kSearchFieldH;
    }
    for (std::size_t s = 0; s < page.sections.size(); ++s) {
        const Section& section = page.sections[s];
        double gap = section.header.empty() ? 105 : 150;
        if (page.root && s == 0)
            gap = 66;
        if (!section.header.empty())
            layout.headers.push_back({section.header, y + gap - 24});
        y += gap;
        for (std::size_t r = 0; r < section.rows.size(); ++r) {
            double h = section.rows[r].style == RowStyle::account ? kAccountRowH : kRowH;
            layout.rows.push_back({int(s), int(r), y, h, r == 0, r + 1 == section.rows.size()});
            y += h;
        }
    }
    layout.height = y + 105;
    return layout;
}

AlertLayout alertLayout(TextCache& texts) {
    constexpr double width = 810, padding = 60, buttonH = 132;
    const TextLayout& title = texts.get({51, Weight::semibold}, kTrustTitle);
    const TextLayout& message = texts.get({39, Weight::regular}, kTrustMessage, width - 96, Align::center);
    double height = padding + title.logical.h + 12 + message.logical.h + padding + buttonH;
    AlertLayout a;
    a.box = Rect{(kW - width) / 2, (kH - height) / 2, width, height}.outward();
    a.titleBaseline = a.box.y + padding + title.baseline;
    a.messageTop = a.box.y + padding + title.logical.h + 12;
    double buttonsY = a.box.bottom() - buttonH;
    a.trust = {a.box.x, buttonsY, a.box.w / 2, buttonH};
    a.dontTrust = {a.box.midX(), buttonsY, a.box.w / 2, buttonH};
    return a;
}

Rect bannerRect(TextCache& texts, const std::string& text) {
    const TextLayout& t = texts.get({51, Weight::regular}, text, 891);
    return {24, 174, kW - 48, std::max(174.0, t.logical.h + 84)};
}

} // namespace pokescope::sim::detail
