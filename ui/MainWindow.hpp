// The application's windows: the main window (the setup until it is done, then the main view) with its
// menu, the settings window, and the tray item's menu.
#pragma once

#include "ui/OnboardingFlow.hpp"

#include <QMainWindow>
#include <QMenu>

#include <functional>
#include <optional>

class QStackedWidget;
class QSystemTrayIcon;

namespace pokescope::ui {

class MainView;
class ModelWatcher;
class OnboardingView;
class SettingsView;

// What the windows ask of the application around them.
struct WindowActions {
    std::function<void()> showMain;
    std::function<void()> showSettings;
    std::function<void()> quit;
};

class MainWindow : public QMainWindow {
public:
    static constexpr int kDefaultWidth = 1100, kDefaultHeight = 780;
    static constexpr int kMinimumWidth = 980, kMinimumHeight = 720;

    explicit MainWindow(ModelWatcher& watcher, WindowActions actions,
                        std::optional<OnboardingFlow::Hooks> hooks = std::nullopt);
    // Shows the setup or the main view, as `AppModel.onboardingDone` says.
    void refresh();
    OnboardingView* onboarding() const { return onboarding_; }
    MainView* mainView() const { return main_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    ModelWatcher& watcher_;
    AppModel& model_;
    QStackedWidget* stack_;
    OnboardingView* onboarding_;
    MainView* main_;
    std::optional<bool> showingSetup_;
};

class SettingsWindow : public QWidget {
public:
    explicit SettingsWindow(ModelWatcher& watcher);
    SettingsView* view() const { return view_; }

private:
    SettingsView* view_;
};

// The tray item's menu, top to bottom: the status text (one entry per line, not selectable), a divider,
// "Show Pokescope", "Settings…", "Check for Updates…" (disabled while updates cannot be checked), "Quit".
class TrayMenu : public QMenu {
public:
    TrayMenu(AppModel& model, WindowActions actions, std::function<QString()> status);
    // Refills the status entries; called each time the menu opens.
    void refreshStatus();

private:
    AppModel& model_;
    std::function<QString()> status_;
    QAction* divider_;
    QList<QAction*> statusEntries_;
};

// The tray item itself: the mark filled while the link is ready, outlined otherwise.
class TrayItem {
public:
    TrayItem(ModelWatcher& watcher, WindowActions actions, std::function<QString()> status);
    ~TrayItem();
    void refresh();
    bool ready() const { return ready_; }
    TrayMenu* menu() const { return menu_; }

private:
    ModelWatcher& watcher_;
    AppModel& model_;
    TrayMenu* menu_;
    QSystemTrayIcon* icon_;
    bool ready_ = false;
};

} // namespace pokescope::ui
