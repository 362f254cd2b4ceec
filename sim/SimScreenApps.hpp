// What the simulated phone contains: the apps on the home screen and in the dock, the Settings pages and
// their rows, and the speaking app's episode.
#pragma once

#include "sim/SimScreenIcons.hpp"

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pokescope::sim::detail {

enum class AppKind { settings, notes, podcasts, plain };

struct AppInfo {
    std::string label;
    IconArt art;
    AppKind kind = AppKind::plain;
};

// The home screen's grid in order (four to a row), and the dock (no labels).
const std::vector<AppInfo>& homeApps();
const std::vector<AppInfo>& dockApps();
// The app with this label, in the grid or the dock.
const AppInfo* findApp(std::string_view label);
// Every app once, grid order first, for Spotlight.
std::vector<const AppInfo*> searchableApps();
// Where the app's icon sits: its grid cell, or its dock slot for dock-only apps.
std::optional<Rect> appIconRect(const Geometry& g, std::string_view label);

enum class RowStyle {
    link,    // pushes a page: chevron, optional grey value
    value,   // a key and its grey value, nothing to open
    toggle,  // a switch
    check,   // a choice in a list, checked when selected
    action,  // a tinted command
    account, // the large account row at the top of Settings
};

struct Row {
    std::string title;
    std::string detail; // the grey value, or the account row's second line
    RowStyle style = RowStyle::link;
    std::optional<IconArt> icon;
    std::string key; // what a switch or a choice changes
    bool on = false; // the switch's state, or whether a choice is selected
};

struct Section {
    std::string header;
    std::vector<Row> rows;
};

struct PageContent {
    std::string title;
    bool root = false; // the large title and search field of Settings' first page
    std::vector<Section> sections;
};

// The Settings switches and choices that outlive a page.
struct SettingsState {
    std::map<std::string, bool> toggles; // only those changed from their defaults
    std::string network = "HomeNet-5G";
    bool assistiveTouch = false;
    // What the pages say about the phone itself: About's model, Touch ID rather than Face ID.
    std::string modelName = "iPhone 14 Pro", modelNumber = "MQ0E3LL/A";
    bool touchId = false;

    bool toggle(const std::string& key, bool fallback) const;
    void setToggle(const std::string& key, bool on);
    void setModel(const SimModel& model);
};

// The page at `path` below Settings' first page (empty path: the first page).
PageContent settingsPage(const std::vector<std::string>& path, const SettingsState& state);

// The speaking app's episode.
inline constexpr const char* kEpisodeTitle = "Morning Briefing";
inline constexpr const char* kShowName = "The Sim Daily";
inline constexpr const char* kEpisodeUtterance =
    "Good morning. Here is your briefing for today. The weather is mild and the roads are clear.";
inline constexpr const char* kEpisodeSummary =
    "A short start to the day: the weather, the roads and what is on the calendar.";
inline constexpr double kEpisodeSeconds = 12;

} // namespace pokescope::sim::detail
