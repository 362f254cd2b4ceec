#include "sim/SimScreenApps.hpp"

#include <algorithm>
#include <cctype>
#include <functional>
#include <tuple>

namespace pokescope::sim::detail {
namespace {

IconArt art(Glyph g, unsigned top, unsigned bottom) {
    return {rgb(top), rgb(bottom), g};
}
IconArt art(Glyph g, unsigned colour) {
    return {rgb(colour), rgb(colour), g};
}

// Row icons by title; apps share their home-screen art.
const std::map<std::string, IconArt, std::less<>>& rowIcons() {
    static const std::map<std::string, IconArt, std::less<>> icons = {
        {"Airplane Mode", art(Glyph::airplane, 0xFF9500)},
        {"Wi-Fi", art(Glyph::wifi, 0x007AFF)},
        {"Bluetooth", art(Glyph::bluetooth, 0x007AFF)},
        {"Cellular", art(Glyph::antenna, 0x34C759)},
        {"Personal Hotspot", art(Glyph::hotspot, 0x34C759)},
        {"Notifications", art(Glyph::bell, 0xFF3B30)},
        {"Sounds & Haptics", art(Glyph::speaker, 0xFF2D55)},
        {"Focus", art(Glyph::moon, 0x5856D6)},
        {"Screen Time", art(Glyph::hourglass, 0x5856D6)},
        {"General", art(Glyph::gear, 0x8E8E93)},
        {"Control Center", art(Glyph::toggles, 0x8E8E93)},
        {"Display & Brightness", art(Glyph::brightness, 0x007AFF)},
        {"Home Screen & App Library", art(Glyph::grid, 0x4B49D6)},
        {"Accessibility", art(Glyph::accessibility, 0x007AFF)},
        {"Wallpaper", art(Glyph::wallpaper, 0x32ADE6)},
        {"StandBy", art(Glyph::standby, 0x1C1C1E)},
        {"Siri & Search", art(Glyph::siri, 0x2C2C6E, 0x1C1C1E)},
        {"Face ID & Passcode", art(Glyph::faceId, 0x34C759)},
        {"Touch ID & Passcode", art(Glyph::faceId, 0xFF3B30)},
        {"Emergency SOS", art(Glyph::sos, 0xFF3B30)},
        {"Exposure Notifications", art(Glyph::exposure, 0xFF453A)},
        {"Battery", art(Glyph::battery, 0x34C759)},
        {"Privacy & Security", art(Glyph::hand, 0x007AFF)},
        {"Wallet & Apple Pay", art(Glyph::cards, 0x1C1C1E)},
        {"Passwords", art(Glyph::key, 0x8E8E93)},
        {"Freeform", art(Glyph::shortcuts, 0x0A84FF)},
        {"Voice Memos", art(Glyph::mic, 0x1C1C1E)},
        {"FaceTime", art(Glyph::video, 0x34C759)},
        {"News", art(Glyph::news, 0xFF3B30)},
        {"Translate", art(Glyph::translate, 0x1C3F94)},
        {"Compass", art(Glyph::compass, 0x1C1C1E)},
        {"Measure", art(Glyph::ruler, 0x1C1C1E)},
        {"Shortcuts", art(Glyph::shortcuts, 0x5E5CE6, 0x3A39C4)},
        {"TV", art(Glyph::tv, 0x1C1C1E)},
        {"Books", art(Glyph::book, 0xFF9500)},
        {"Game Center", art(Glyph::game, 0x5AC8FA, 0x5856D6)},
        {"Developer", art(Glyph::wrench, 0x8E8E93)},
        {"Touch", art(Glyph::hand, 0x007AFF)},
        {"VoiceOver", art(Glyph::speaker, 0x1C1C1E)},
        {"Zoom", art(Glyph::compass, 0x1C1C1E)},
        {"Display & Text Size", art(Glyph::brightness, 0x007AFF)},
        {"Motion", art(Glyph::wallpaper, 0x34C759)},
        {"Spoken Content", art(Glyph::bubble, 0x1C1C1E)},
        {"Audio Descriptions", art(Glyph::tv, 0x007AFF)},
        {"Face ID & Attention", art(Glyph::faceId, 0x34C759)},
        {"Switch Control", art(Glyph::grid, 0x1C1C1E)},
        {"Voice Control", art(Glyph::mic, 0x007AFF)},
        {"Side Button", art(Glyph::toggles, 0x007AFF)},
        {"Home Button", art(Glyph::toggles, 0x007AFF)},
        {"Control Nearby Devices", art(Glyph::wifi, 0x007AFF)},
        {"Apple TV Remote", art(Glyph::tv, 0x8E8E93)},
        {"Keyboards", art(Glyph::grid, 0x8E8E93)},
        {"Hearing Devices", art(Glyph::speaker, 0x007AFF)},
        {"Sound Recognition", art(Glyph::bell, 0xFF3B30)},
        {"Audio & Visual", art(Glyph::speaker, 0x007AFF)},
        {"Subtitles & Captioning", art(Glyph::tv, 0x007AFF)},
        {"Guided Access", art(Glyph::key, 0x8E8E93)},
        {"Siri", art(Glyph::siri, 0x2C2C6E, 0x1C1C1E)},
        {"Accessibility Shortcut", art(Glyph::accessibility, 0x007AFF)},
        {"Per-App Settings", art(Glyph::grid, 0x007AFF)},
    };
    return icons;
}

std::optional<IconArt> iconFor(std::string_view title) {
    const auto& icons = rowIcons();
    if (auto it = icons.find(title); it != icons.end())
        return it->second;
    if (const AppInfo* app = findApp(title))
        return app->art;
    return std::nullopt;
}

Row link(std::string title, std::string value = {}) {
    Row r{std::move(title), std::move(value), RowStyle::link, std::nullopt, {}, false};
    r.icon = iconFor(r.title);
    return r;
}
Row plainLink(std::string title, std::string value = {}) {
    return {std::move(title), std::move(value), RowStyle::link, std::nullopt, {}, false};
}
Row value(std::string title, std::string value) {
    return {std::move(title), std::move(value), RowStyle::value, std::nullopt, {}, false};
}
Row toggle(std::string title, std::string key, bool on, bool withIcon = false) {
    Row r{std::move(title), {}, RowStyle::toggle, std::nullopt, std::move(key), on};
    if (withIcon)
        r.icon = iconFor(r.title);
    return r;
}
Row action(std::string title) {
    return {std::move(title), {}, RowStyle::action, std::nullopt, {}, false};
}
Section section(std::vector<Row> rows, std::string header = {}) {
    return {std::move(header), std::move(rows)};
}
std::string onOff(bool on) {
    return on ? "On" : "Off";
}

PageContent rootPage(const SettingsState& st) {
    PageContent p{"Settings", true, {}};
    p.sections.push_back(section({{"Simulated User",
                                   "Apple ID, iCloud, Media & Purchases",
                                   RowStyle::account,
                                   std::nullopt,
                                   {},
                                   false}}));
    p.sections.push_back(section({toggle("Airplane Mode", "airplane", st.toggle("airplane", false), true),
                                  link("Wi-Fi", st.toggle("wifi", true) ? st.network : "Off"),
                                  link("Bluetooth", onOff(st.toggle("bluetooth", true))), link("Cellular"),
                                  link("Personal Hotspot", onOff(st.toggle("hotspot", false)))}));
    p.sections.push_back(
        section({link("Notifications"), link("Sounds & Haptics"), link("Focus"), link("Screen Time")}));
    std::vector<Row> system;
    for (const char* t : {"General", "Control Center", "Display & Brightness", "Home Screen & App Library",
                          "Accessibility", "Wallpaper", "StandBy", "Siri & Search", "Face ID & Passcode",
                          "Emergency SOS", "Exposure Notifications", "Battery", "Privacy & Security"})
        system.push_back(
            link(st.touchId && t == std::string_view("Face ID & Passcode") ? "Touch ID & Passcode" : t));
    p.sections.push_back(section(std::move(system)));
    p.sections.push_back(section({link("App Store"), link("Wallet & Apple Pay")}));
    std::vector<Row> apps;
    for (const char* t :
         {"Passwords",   "Mail",  "Contacts", "Calendar", "Notes",     "Reminders", "Freeform",
          "Voice Memos", "Phone", "Messages", "FaceTime", "Safari",    "News",      "Weather",
          "Translate",   "Maps",  "Compass",  "Measure",  "Shortcuts", "Health"})
        apps.push_back(link(t));
    p.sections.push_back(section(std::move(apps)));
    std::vector<Row> media;
    for (const char* t : {"Music", "TV", "Photos", "Camera", "Books", "Podcasts", "Game Center"})
        media.push_back(link(t));
    p.sections.push_back(section(std::move(media)));
    p.sections.push_back(section({link("Developer")}));
    return p;
}

PageContent generalPage() {
    PageContent p{"General", false, {}};
    p.sections.push_back(section({plainLink("About"), plainLink("Software Update")}));
    p.sections.push_back(section({plainLink("AirDrop"), plainLink("AirPlay & Handoff"),
                                  plainLink("Picture in Picture"), plainLink("CarPlay")}));
    p.sections.push_back(section({plainLink("iPhone Storage"), plainLink("Background App Refresh")}));
    p.sections.push_back(section({plainLink("Date & Time"), plainLink("Keyboard"), plainLink("Fonts"),
                                  plainLink("Language & Region"), plainLink("Dictionary")}));
    p.sections.push_back(section({plainLink("VPN & Device Management")}));
    p.sections.push_back(section({plainLink("Legal & Regulatory")}));
    p.sections.push_back(section({plainLink("Transfer or Reset iPhone"), action("Shut Down")}));
    return p;
}

PageContent aboutPage(const SettingsState& st) {
    PageContent p{"About", false, {}};
    p.sections.push_back(section({plainLink("Name", "Simulated iPhone"), value("iOS Version", "17.5.1"),
                                  value("Model Name", st.modelName), value("Model Number", st.modelNumber),
                                  value("Serial Number", "F2LXK0SIMPH1")}));
    p.sections.push_back(
        section({value("Songs", "0"), value("Videos", "12"), value("Photos", "1,204"),
                 value("Applications", "37"), value("Capacity", "128 GB"), value("Available", "71.4 GB")}));
    p.sections.push_back(
        section({value("Wi-Fi Address", "A4:C3:F0:85:1D:2D"), value("Bluetooth", "A4:C3:F0:85:1D:2E"),
                 value("Modem Firmware", "1.60.02"), plainLink("SEID")}));
    p.sections.push_back(section({plainLink("Certificate Trust Settings")}));
    return p;
}

PageContent wifiPage(const SettingsState& st) {
    PageContent p{"Wi-Fi", false, {}};
    bool on = st.toggle("wifi", true);
    std::vector<Row> first{toggle("Wi-Fi", "wifi", on)};
    if (!on) {
        p.sections.push_back(section(std::move(first)));
        return p;
    }
    first.push_back({st.network, {}, RowStyle::check, std::nullopt, st.network, true});
    p.sections.push_back(section(std::move(first)));
    std::vector<Row> others;
    for (const char* n : {"HomeNet-5G", "HomeNet", "Cafe Guest", "Office-Lab", "DIRECT-7F-Printer"})
        if (n != st.network)
            others.push_back({n, {}, RowStyle::check, std::nullopt, n, false});
    p.sections.push_back(section(std::move(others), "OTHER NETWORKS"));
    p.sections.push_back(section(
        {plainLink("Ask to Join Networks", "Notify"), plainLink("Auto-Join Hotspot", "Ask to Join")}));
    return p;
}

PageContent bluetoothPage(const SettingsState& st) {
    PageContent p{"Bluetooth", false, {}};
    bool on = st.toggle("bluetooth", true);
    p.sections.push_back(section({toggle("Bluetooth", "bluetooth", on)}));
    if (on)
        p.sections.push_back(
            section({plainLink("AirPods Pro", "Not Connected"), plainLink("Car Audio", "Not Connected"),
                     plainLink("Desk Speaker", "Not Connected")},
                    "MY DEVICES"));
    return p;
}

PageContent accessibilityPage(const SettingsState& st) {
    PageContent p{"Accessibility", false, {}};
    p.sections.push_back(section({link("VoiceOver", "Off"), link("Zoom", "Off"), link("Display & Text Size"),
                                  link("Motion"), link("Spoken Content"), link("Audio Descriptions", "Off")},
                                 "VISION"));
    std::vector<Row> motor{link("Touch")};
    if (!st.touchId)
        motor.push_back(link("Face ID & Attention"));
    // A phone with Touch ID has a Home button where the others have the side button's double-click.
    for (Row row : {link("Switch Control", "Off"), link("Voice Control", "Off"),
                    link(st.touchId ? "Home Button" : "Side Button"), link("Control Nearby Devices"),
                    link("Apple TV Remote"), link("Keyboards")})
        motor.push_back(std::move(row));
    p.sections.push_back(section(std::move(motor), "PHYSICAL AND MOTOR"));
    p.sections.push_back(section({link("Hearing Devices"), link("Sound Recognition", "Off"),
                                  link("Audio & Visual"), link("Subtitles & Captioning")},
                                 "HEARING"));
    p.sections.push_back(section({link("Guided Access", "Off"), link("Siri"),
                                  link("Accessibility Shortcut", "Off"), link("Per-App Settings")},
                                 "GENERAL"));
    return p;
}

PageContent touchPage(const SettingsState& st, const std::string& base) {
    PageContent p{"Touch", false, {}};
    p.sections.push_back(section({plainLink("AssistiveTouch", onOff(st.assistiveTouch))}));
    p.sections.push_back(
        section({toggle("Reachability", base + "Reachability", st.toggle(base + "Reachability", true)),
                 plainLink("Haptic Touch"), plainLink("Touch Accommodations", "Off")}));
    p.sections.push_back(
        section({toggle("Tap or Swipe to Wake", base + "Wake", st.toggle(base + "Wake", true)),
                 toggle("Shake to Undo", base + "Shake", st.toggle(base + "Shake", true)),
                 toggle("Vibration", base + "Vibration", st.toggle(base + "Vibration", true))}));
    p.sections.push_back(
        section({plainLink("Call Audio Routing", "Automatic"), plainLink("Back Tap", "Off")}));
    return p;
}

PageContent assistiveTouchPage(const SettingsState& st, const std::string& base) {
    PageContent p{"AssistiveTouch", false, {}};
    p.sections.push_back(section({toggle("AssistiveTouch", "assistivetouch", st.assistiveTouch),
                                  plainLink("Customize Top Level Menu")}));
    p.sections.push_back(section({plainLink("Single-Tap", "Open Menu"), plainLink("Double-Tap", "None"),
                                  plainLink("Long Press", "None")},
                                 "CUSTOM ACTIONS"));
    p.sections.push_back(section({plainLink("Idle Opacity", "40%")}));
    p.sections.push_back(
        section({plainLink("Devices"), plainLink("Mouse Keys", "Off"),
                 toggle("Show Onscreen Keyboard", base + "Keyboard", st.toggle(base + "Keyboard", false)),
                 toggle("Always Show Menu", base + "Menu", st.toggle(base + "Menu", true))},
                "POINTER DEVICES"));
    return p;
}

PageContent hotspotPage(const SettingsState& st) {
    PageContent p{"Personal Hotspot", false, {}};
    p.sections.push_back(section({toggle("Allow Others to Join", "hotspot", st.toggle("hotspot", false)),
                                  value("Wi-Fi Password", "sim-hotspot-42")}));
    p.sections.push_back(section({plainLink("Family Sharing")}));
    return p;
}

PageContent batteryPage(const std::string& base, const SettingsState& st) {
    PageContent p{"Battery", false, {}};
    p.sections.push_back(
        section({toggle("Battery Percentage", base + "Percentage", st.toggle(base + "Percentage", true)),
                 toggle("Low Power Mode", base + "LowPower", st.toggle(base + "LowPower", false))}));
    p.sections.push_back(section({plainLink("Battery Health & Charging")}));
    return p;
}

// Pages nobody has described in detail: an app's page lists what it may use, anything else a few
// ordinary rows.
PageContent plainPage(const std::string& title, const std::string& base, const SettingsState& st) {
    PageContent p{title, false, {}};
    if (findApp(title)) {
        std::string header = "ALLOW ";
        for (char c : title)
            header += char(std::toupper(static_cast<unsigned char>(c)));
        header += " TO ACCESS";
        p.sections.push_back(
            section({link("Siri & Search"), link("Notifications"),
                     toggle("Background App Refresh", base + "Refresh", st.toggle(base + "Refresh", true)),
                     toggle("Cellular Data", base + "Cellular", st.toggle(base + "Cellular", true))},
                    header));
        return p;
    }
    p.sections.push_back(section({toggle(title, base + "Enabled", st.toggle(base + "Enabled", true))}));
    p.sections.push_back(section({plainLink("Options"), plainLink("Advanced"), value("Status", "Ready")}));
    return p;
}

} // namespace

bool SettingsState::toggle(const std::string& key, bool fallback) const {
    if (key == "assistivetouch")
        return assistiveTouch;
    auto it = toggles.find(key);
    return it == toggles.end() ? fallback : it->second;
}

void SettingsState::setModel(const SimModel& model) {
    static const std::map<std::string, std::pair<std::string, std::string>> names{
        {"iphone-se", {"iPhone SE", "MMXF3LL/A"}},
        {"iphone-13-mini", {"iPhone 13 mini", "MLHA3LL/A"}},
        {"iphone-14-pro", {"iPhone 14 Pro", "MQ0E3LL/A"}},
        {"iphone-15-pro-max", {"iPhone 15 Pro Max", "MU663LL/A"}},
    };
    if (auto it = names.find(model.key); it != names.end())
        std::tie(modelName, modelNumber) = it->second;
    touchId = model.homeButton;
}

void SettingsState::setToggle(const std::string& key, bool on) {
    if (key == "assistivetouch")
        assistiveTouch = on;
    else
        toggles[key] = on;
}

const std::vector<AppInfo>& homeApps() {
    static const std::vector<AppInfo> apps = {
        {"Settings", art(Glyph::gear, 0x9A9AA0, 0x5E5E64), AppKind::settings},
        {"Notes", art(Glyph::notes, 0xFFD93D, 0xF5B800), AppKind::notes},
        {"Podcasts", art(Glyph::podcasts, 0xC66BF2, 0x8A2BC9), AppKind::podcasts},
        {"Safari", art(Glyph::compass, 0x3FA9FF, 0x0A66E0), AppKind::plain},
        {"Photos", art(Glyph::flower, 0xFFA33A, 0xF0622D), AppKind::plain},
        {"Camera", art(Glyph::camera, 0x6E6E73, 0x3A3A3C), AppKind::plain},
        {"Messages", art(Glyph::bubble, 0x5BE37A, 0x1FBF45), AppKind::plain},
        {"Mail", art(Glyph::envelope, 0x4AB1FF, 0x1170F0), AppKind::plain},
        {"Clock", art(Glyph::clock, 0x2C2C2E, 0x0C0C0E), AppKind::plain},
        {"Weather", art(Glyph::sun, 0x4FB7FF, 0x1C6FD6), AppKind::plain},
        {"Maps", art(Glyph::pin, 0x6CCB6A, 0x2E9E4F), AppKind::plain},
        {"Music", art(Glyph::musicNote, 0xFF5A78, 0xF0243F), AppKind::plain},
        {"Calendar", art(Glyph::calendar, 0xFF5E57, 0xE0241B), AppKind::plain},
        {"App Store", art(Glyph::appStore, 0x24B6FF, 0x1A6EF5), AppKind::plain},
        {"Calculator", art(Glyph::calculator, 0xFFA53D, 0xE2780C), AppKind::plain},
        {"Reminders", art(Glyph::checklist, 0x7D7BF0, 0x4B48D0), AppKind::plain},
        {"Files", art(Glyph::folder, 0x3D9BFF, 0x0D5FD8), AppKind::plain},
        {"Contacts", art(Glyph::person, 0xB29A80, 0x7E6A55), AppKind::plain},
        {"Health", art(Glyph::heart, 0xFF6B8B, 0xE8264F), AppKind::plain},
        {"Wallet", art(Glyph::cards, 0x3A3A3C, 0x111113), AppKind::plain},
    };
    return apps;
}

const std::vector<AppInfo>& dockApps() {
    static const std::vector<AppInfo> apps = {
        {"Phone", art(Glyph::phone, 0x5BE37A, 0x1FBF45), AppKind::plain},
        *findApp("Safari"),
        *findApp("Messages"),
        *findApp("Music"),
    };
    return apps;
}

const AppInfo* findApp(std::string_view label) {
    for (const AppInfo& a : homeApps())
        if (a.label == label)
            return &a;
    if (label == "Phone")
        return &dockApps().front();
    return nullptr;
}

std::vector<const AppInfo*> searchableApps() {
    std::vector<const AppInfo*> all;
    for (const AppInfo& a : homeApps())
        all.push_back(&a);
    all.push_back(findApp("Phone"));
    return all;
}

std::optional<Rect> appIconRect(const Geometry& g, std::string_view label) {
    const auto& grid = homeApps();
    for (std::size_t i = 0; i < grid.size(); ++i)
        if (grid[i].label == label)
            return g.homeIconRect(int(i));
    const auto& dock = dockApps();
    for (std::size_t i = 0; i < dock.size(); ++i)
        if (dock[i].label == label)
            return g.dockIconRect(int(i));
    return std::nullopt;
}

PageContent settingsPage(const std::vector<std::string>& path, const SettingsState& state) {
    if (path.empty())
        return rootPage(state);
    std::string base;
    for (const auto& p : path)
        base += p + "/";
    const std::string& last = path.back();
    if (path.size() == 1 && last == "General")
        return generalPage();
    if (path.size() == 2 && path[0] == "General" && last == "About")
        return aboutPage(state);
    if (path.size() == 1 && last == "Wi-Fi")
        return wifiPage(state);
    if (path.size() == 1 && last == "Bluetooth")
        return bluetoothPage(state);
    if (path.size() == 1 && last == "Accessibility")
        return accessibilityPage(state);
    if (path.size() == 2 && path[0] == "Accessibility" && last == "Touch")
        return touchPage(state, base);
    if (path.size() == 3 && path[1] == "Touch" && last == "AssistiveTouch")
        return assistiveTouchPage(state, base);
    if (path.size() == 1 && last == "Personal Hotspot")
        return hotspotPage(state);
    if (path.size() == 1 && last == "Battery")
        return batteryPage(base, state);
    return plainPage(last, base, state);
}

} // namespace pokescope::sim::detail
