#include "sim/SimScreenLayout.hpp"
#include "sim/SimScreenModel.hpp"

#include <algorithm>
#include <cmath>

namespace pokescope::sim::detail {
namespace {

void addRow(std::vector<KeyCap>& keys, std::string_view chars, double x, double y, double width,
            double height, double gap) {
    std::size_t i = 0;
    while (i < chars.size()) {
        std::size_t len = 1;
        while (i + len < chars.size() && (static_cast<unsigned char>(chars[i + len]) & 0xC0) == 0x80)
            ++len;
        keys.push_back({KeyCap::Kind::character, std::string(chars.substr(i, len)), {x, y, width, height}});
        x += width + gap;
        i += len;
    }
}

} // namespace

Geometry::Geometry(const SimModel& model)
    : scale(model.scale), k(model.scale / 3), w(model.width), h(model.height), screen{0, 0, w, h},
      homeButton(model.homeButton), homeIndicator(!model.homeButton) {
    statusBarH = model.statusBarPt * scale;
    navBottom = statusBarH + px(132);
    navMid = (statusBarH + navBottom) / 2;
    bottomInset = model.bottomInsetPt * scale;
    if (model.dynamicIsland)
        island = {(w - px(378)) / 2, px(33), px(378), px(111)};
    else if (!homeButton)
        notch = {(w - px(495)) / 2, 0, px(495), px(96)};
    // The clock sits in the space left of the island (a little left of its middle) or of the notch; on a
    // Home-button phone it is smaller and centred.
    clockFont = homeButton ? px(36) : px(51);
    if (homeButton)
        clockX = w / 2;
    else if (model.dynamicIsland)
        clockX = island.x * 166 / 400.5;
    else
        clockX = notch.x / 2;
    clockMidY = model.dynamicIsland ? px(90) : statusBarH / 2;
    double f = clockFont / px(51);
    clockRect = {clockX - px(126) * f, clockMidY - px(54) * f, px(300) * f, px(104) * f};
    if (homeIndicator)
        homeIndicatorRect = {w / 2 - px(201), h - px(24) - px(7.5), px(402), px(15)};

    iconSize = px(180);
    iconRadius = px(40);
    labelGap = px(14);
    labelFont = px(36);
    columnX = px(81);
    columnPitch = (w - 2 * columnX - iconSize) / 3;
    rowY = statusBarH + px(63);
    rowPitch = px(318) * (h / px(2556)); // rows spread with the screen's height
    // The dock floats above the home indicator; on a Home-button phone it is a bar along the bottom edge.
    if (homeButton) {
        dock = {0, h - px(270), w, px(270)};
        dockRadius = 0;
    } else {
        dock = {px(30), h - px(40) - px(270), w - 2 * px(30), px(270)};
        dockRadius = px(96);
    }
    searchPill = {(w - px(247)) / 2, dock.y - px(132), px(247), px(80)};

    groupX = w / scale >= 414 ? px(60) : px(48);
    groupW = w - 2 * groupX;
    groupRadius = px(30);
    rowH = px(132);
    accountRowH = px(228);
    rowIconSize = px(87);
    rowIconX = groupX + px(48);
    rowTextXIcon = rowIconX + rowIconSize + px(45);
    rowTextX = groupX + px(60);
    rowRight = groupX + groupW - px(48);
    switchW = px(153);
    switchH = px(93);
    largeTitleBlock = px(150);
    searchFieldH = px(108);

    keyMargin = px(9);
    keyGap = px(18);
    keyH = px(126);
    keyRowPitch = px(162);
    keyTopPad = px(24);
    sideKeyW = px(126);
    keyW = (w - 2 * keyMargin - 9 * keyGap) / 10;
    keyboardStrip = !homeButton;
    keyboardH = px(636) + (keyboardStrip ? px(135) : px(12)) + bottomInset;

    discDiameter = px(60);
    assistiveSize = px(180);
    assistiveRadius = px(42);

    spotlightField = {groupX, statusBarH + px(30), w - groupX - px(285), px(108)};
    spotlightCancel = {w - px(249), statusBarH + px(18), px(249), px(132)};
    spotlightTop = statusBarH + px(198);
    resultHeaderH = px(96);
    resultRowH = px(168);
    resultIcon = px(120);

    noteMargin = px(60);
    noteTop = navBottom + px(36);

    artwork = {(w - px(600)) / 2, episodeY(342), px(600), px(600)};
    playButton = {(w - px(540)) / 2, episodeY(1338), px(540), px(150)};
    progressArea = {0, episodeY(1530), w, px(150)};
    progressTrack = {(w - px(900)) / 2, episodeY(1560), px(900), px(12)};

    tapSlop = px(30);
    edgeSwipe = px(100);
    backEdge = px(20);
    homeEdge = px(40);
    flingStop = px(0.02);
}

Rect Geometry::homeIconRect(int index) const {
    int column = index % kHomeColumns, row = index / kHomeColumns;
    return {columnX + column * columnPitch, rowY + row * rowPitch, iconSize, iconSize};
}

Rect Geometry::dockIconRect(int index) const {
    return {columnX + index * columnPitch, dock.midY() - iconSize / 2, iconSize, iconSize};
}

Rect Geometry::homeIconHitRect(int index) const {
    Rect icon = homeIconRect(index);
    double labelW = columnPitch - px(12);
    return icon.inflated(px(12)).united({icon.midX() - labelW / 2, icon.bottom(), labelW, labelGap + px(48)});
}

Rect Geometry::discRect(double x, double y) const {
    double r = discDiameter / 2 + 3; // the rim's anti-aliasing reaches a little past the disc
    return Rect{x - r, y - r, 2 * r, 2 * r}.outward();
}

Rect Geometry::assistiveButtonRect(double keyboardTop) const {
    double size = assistiveSize, margin = px(9);
    double y = std::min(std::round(h * 2 / 3 - size / 2), std::round(keyboardTop) - px(36) - size);
    return {w - margin - size, y, size, size};
}

std::vector<KeyCap> keyboardKeys(const Geometry& g, const Keyboard& keyboard, double top) {
    using Layer = Keyboard::Layer;
    std::vector<KeyCap> keys;
    auto rowTop = [&](int row) { return top + g.keyTopPad + row * g.keyRowPitch; };
    double y0 = rowTop(0), y1 = rowTop(1), y2 = rowTop(2), y3 = rowTop(3);
    double m = g.keyMargin, kw = g.keyW, kh = g.keyH, gap = g.keyGap, side = g.sideKeyW;
    double wideKey = (g.w - 2 * (m + side + g.px(50)) - 4 * gap) / 5;
    switch (keyboard.layer) {
    case Layer::letters:
        addRow(keys, keyboard.shift ? "QWERTYUIOP" : "qwertyuiop", m, y0, kw, kh, gap);
        addRow(keys, keyboard.shift ? "ASDFGHJKL" : "asdfghjkl", m + (kw + gap) / 2, y1, kw, kh, gap);
        keys.push_back({KeyCap::Kind::shift, "", {m, y2, side, kh}});
        addRow(keys, keyboard.shift ? "ZXCVBNM" : "zxcvbnm", (g.w - 7 * kw - 6 * gap) / 2, y2, kw, kh, gap);
        break;
    case Layer::numbers:
        addRow(keys, "1234567890", m, y0, kw, kh, gap);
        addRow(keys, "-/:;()$&@\"", m, y1, kw, kh, gap);
        keys.push_back({KeyCap::Kind::layer, "#+=", {m, y2, side, kh}, Layer::symbols});
        addRow(keys, ".,?!'", m + side + g.px(50), y2, wideKey, kh, gap);
        break;
    case Layer::symbols:
        addRow(keys, "[]{}#%^*+=", m, y0, kw, kh, gap);
        addRow(keys, "_\\|~<>€£¥•", m, y1, kw, kh, gap);
        keys.push_back({KeyCap::Kind::layer, "123", {m, y2, side, kh}, Layer::numbers});
        addRow(keys, ".,?!'", m + side + g.px(50), y2, wideKey, kh, gap);
        break;
    }
    keys.push_back({KeyCap::Kind::backspace, "", {g.w - m - side, y2, side, kh}});
    bool letters = keyboard.layer == Layer::letters;
    double bottomKey = g.px(270);
    keys.push_back({KeyCap::Kind::layer,
                    letters ? "123" : "ABC",
                    {m, y3, bottomKey, kh},
                    letters ? Layer::numbers : Layer::letters});
    keys.push_back(
        {KeyCap::Kind::space, "space", {m + bottomKey + gap, y3, g.w - 2 * m - 2 * bottomKey - 2 * gap, kh}});
    keys.push_back({KeyCap::Kind::enter, "return", {g.w - m - bottomKey, y3, bottomKey, kh}});
    return keys;
}

std::vector<SpotlightSlot> spotlightSlots(const Geometry& g, std::string_view query) {
    std::vector<SpotlightSlot> slots;
    if (query.empty()) {
        const auto& apps = homeApps();
        double rowW = g.columnPitch - g.px(19);
        for (int i = 0; i < 4; ++i) {
            Rect icon{g.columnX + i * g.columnPitch, g.spotlightTop + g.resultHeaderH, g.iconSize,
                      g.iconSize};
            Rect row{icon.midX() - rowW / 2, icon.y - g.px(10), rowW, g.px(290)};
            slots.push_back({&apps[std::size_t(i)], icon, row, false});
        }
        return slots;
    }
    auto results = spotlightResults(query);
    double y = g.spotlightTop + g.resultHeaderH;
    for (std::size_t i = 0; i < results.size() && i <= std::size_t(Geometry::kMaxOtherResults); ++i) {
        if (i == 1)
            y += g.px(42) + g.resultHeaderH; // the second card and its header
        Rect row{g.groupX, y, g.groupW, g.resultRowH};
        slots.push_back(
            {results[i], {g.groupX + g.px(48), y + g.px(24), g.resultIcon, g.resultIcon}, row, i == 0});
        y += g.resultRowH;
    }
    return slots;
}

ListLayout layoutList(const Geometry& g, const PageContent& page) {
    ListLayout layout;
    double y = 0;
    if (page.root) {
        layout.search = {g.groupX, g.largeTitleBlock, g.groupW, g.searchFieldH};
        y = g.largeTitleBlock + g.searchFieldH;
    }
    for (std::size_t s = 0; s < page.sections.size(); ++s) {
        const Section& section = page.sections[s];
        double gap = section.header.empty() ? g.px(105) : g.px(150);
        if (page.root && s == 0)
            gap = g.px(66);
        if (!section.header.empty())
            layout.headers.push_back({section.header, y + gap - g.px(24)});
        y += gap;
        for (std::size_t r = 0; r < section.rows.size(); ++r) {
            double h = section.rows[r].style == RowStyle::account ? g.accountRowH : g.rowH;
            layout.rows.push_back({int(s), int(r), y, h, r == 0, r + 1 == section.rows.size()});
            y += h;
        }
    }
    layout.height = y + g.px(105);
    return layout;
}

AlertLayout alertLayout(const Geometry& g, TextCache& texts) {
    double width = g.px(810), padding = g.px(60), buttonH = g.px(132);
    const TextLayout& title = texts.get({g.px(51), Weight::semibold}, kTrustTitle);
    const TextLayout& message =
        texts.get({g.px(39), Weight::regular}, kTrustMessage, width - g.px(96), Align::center);
    double height = padding + title.logical.h + g.px(12) + message.logical.h + padding + buttonH;
    AlertLayout a;
    a.box = Rect{(g.w - width) / 2, (g.h - height) / 2, width, height}.outward();
    a.titleBaseline = a.box.y + padding + title.baseline;
    a.messageTop = a.box.y + padding + title.logical.h + g.px(12);
    double buttonsY = a.box.bottom() - buttonH;
    a.trust = {a.box.x, buttonsY, a.box.w / 2, buttonH};
    a.dontTrust = {a.box.midX(), buttonsY, a.box.w / 2, buttonH};
    return a;
}

std::string settingsBackLabel(const Geometry& g, TextCache& texts, const std::vector<std::string>& path,
                              const std::string& title) {
    if (path.empty())
        return {};
    std::string parent = path.size() == 1 ? "Settings" : path[path.size() - 2];
    double parentRight = g.px(87) + texts.get({g.px(51), Weight::regular}, parent).logical.w;
    double titleW = texts.get({g.px(51), Weight::semibold}, title).logical.w;
    // A long title leaves room for the back chevron only, as on the phone.
    return parentRight + g.px(30) < g.w / 2 - titleW / 2 ? parent : "";
}

Rect doneButtonRect(const Geometry& g, TextCache& texts) {
    double width = g.px(78) + texts.get({g.px(51), Weight::semibold}, "Done").logical.w;
    return {g.w - width, g.statusBarH, width, g.navBottom - g.statusBarH};
}

Rect backButtonRect(const Geometry& g, TextCache& texts, const std::string& label) {
    double width =
        label.empty() ? g.px(150) : g.px(117) + texts.get({g.px(51), Weight::regular}, label).logical.w;
    return {0, g.statusBarH, width, g.navBottom - g.statusBarH};
}

double bannerWrap(const Geometry& g) {
    return g.w - g.px(288);
}

Rect bannerRect(const Geometry& g, TextCache& texts, const std::string& text) {
    const TextLayout& t = texts.get({g.px(51), Weight::regular}, text, bannerWrap(g));
    return {g.px(24), g.statusBarH + g.px(12), g.w - g.px(48), std::max(g.px(174), t.logical.h + g.px(84))};
}

} // namespace pokescope::sim::detail
