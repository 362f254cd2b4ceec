#include "ui/MainWindow.hpp"

#include "model/AppModel.hpp"
#include "ui/BrandMark.hpp"
#include "ui/MainView.hpp"
#include "ui/Onboarding.hpp"
#include "ui/SettingsView.hpp"
#include "ui/Widgets.hpp"

#include <QCloseEvent>
#include <QMenuBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

namespace pokescope::ui {

MainWindow::MainWindow(ModelWatcher& watcher, WindowActions actions, std::optional<OnboardingFlow::Hooks> hooks)
    : watcher_(watcher), model_(watcher.model()) {
    setObjectName("main");
    setWindowTitle(QStringLiteral("Pokescope"));
    setWindowIcon(BrandMark::applicationIcon());
    resize(kDefaultWidth, kDefaultHeight);
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    stack_ = new QStackedWidget(this);
    onboarding_ = new OnboardingView(watcher_, stack_, std::move(hooks));
    main_ = new MainView(watcher_, stack_);
    stack_->addWidget(onboarding_);
    stack_->addWidget(main_);
    setCentralWidget(stack_);

    auto* menu = menuBar()->addMenu(QStringLiteral("&Pokescope"));
    menu->addAction(QStringLiteral("Settings…"), this, [actions] { actions.showSettings(); });
    auto* updates = menu->addAction(QStringLiteral("Check for Updates…"), this, [this] { if (auto check = model_.updates().check) check(); });
    updates->setEnabled(model_.updates().canCheck);
    menu->addAction(QStringLiteral("Run setup again"), this, [this] { model_.setOnboardingDone(false); });
    menu->addSeparator();
    menu->addAction(QStringLiteral("Quit"), this, [actions] { actions.quit(); });

    connect(&watcher_, &ModelWatcher::changed, this, [this] { refresh(); });
    refresh();
}

void MainWindow::refresh() {
    const bool setup = !model_.snapshot().onboardingDone;
    if (showingSetup_ && setup == *showingSetup_)
        return;
    if (setup && showingSetup_)
        onboarding_->restart(); // asked for again: from the welcome step
    showingSetup_ = setup;
    stack_->setCurrentWidget(setup ? static_cast<QWidget*>(onboarding_) : main_);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Closing the window leaves the setup: pairing mode must not outlive the instructions.
    onboarding_->leave();
    QMainWindow::closeEvent(event);
}

SettingsWindow::SettingsWindow(ModelWatcher& watcher) {
    setObjectName("settings");
    setWindowTitle(QStringLiteral("Pokescope Settings"));
    setWindowIcon(BrandMark::applicationIcon());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    view_ = new SettingsView(watcher, this);
    layout->addWidget(view_);
    resize(560, 720);
}

TrayMenu::TrayMenu(AppModel& model, WindowActions actions, std::function<QString()> status)
    : model_(model), status_(std::move(status)) {
    divider_ = addSeparator();
    addAction(QStringLiteral("Show Pokescope"), this, [actions] { actions.showMain(); });
    addAction(QStringLiteral("Settings…"), this, [actions] { actions.showSettings(); });
    auto* updates = addAction(QStringLiteral("Check for Updates…"), this, [this] { if (auto check = model_.updates().check) check(); });
    updates->setEnabled(model_.updates().canCheck);
    addAction(QStringLiteral("Quit"), this, [actions] { actions.quit(); });
    connect(this, &QMenu::aboutToShow, this, [this] { refreshStatus(); });
    refreshStatus();
}

void TrayMenu::refreshStatus() {
    for (auto* entry : statusEntries_) {
        removeAction(entry);
        entry->deleteLater();
    }
    statusEntries_.clear();
    const QStringList lines = status_ ? status_().split('\n', Qt::SkipEmptyParts) : QStringList();
    for (const auto& line : lines) {
        auto* entry = new QAction(line, this);
        entry->setEnabled(false);
        insertAction(divider_, entry);
        statusEntries_ << entry;
    }
}

TrayItem::TrayItem(ModelWatcher& watcher, WindowActions actions, std::function<QString()> status)
    : watcher_(watcher), model_(watcher.model()), menu_(new TrayMenu(model_, actions, std::move(status))),
      icon_(new QSystemTrayIcon()) {
    icon_->setContextMenu(menu_);
    icon_->setToolTip(QStringLiteral("Pokescope"));
    QObject::connect(icon_, &QSystemTrayIcon::activated, icon_, [actions](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            actions.showMain();
    });
    QObject::connect(&watcher_, &ModelWatcher::changed, icon_, [this] { refresh(); });
    ready_ = model_.snapshot().bluetooth == BluetoothHID::State::ready;
    icon_->setIcon(BrandMark::trayIcon(ready_));
    icon_->show();
}

TrayItem::~TrayItem() {
    delete icon_;
    delete menu_;
}

void TrayItem::refresh() {
    const bool ready = model_.snapshot().bluetooth == BluetoothHID::State::ready;
    if (ready == ready_)
        return;
    ready_ = ready;
    icon_->setIcon(BrandMark::trayIcon(ready));
}

} // namespace pokescope::ui
