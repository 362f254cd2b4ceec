#include "app/SelfTestWindows.hpp"

#include "model/AppModel.hpp"
#include "core/Log.hpp"
#include "app/PokescopeApp.hpp"
#include "app/PokescopeWindows.hpp"
#include "platform/AtomicFile.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Process.hpp"
#include "ui/BrandMark.hpp"
#include "ui/MainView.hpp"
#include "ui/Widgets.hpp"
#include "ui/MainWindow.hpp"
#include "ui/Onboarding.hpp"
#include "ui/SettingsView.hpp"

#include <QApplication>
#include <QBuffer>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace pokescope::SelfTestWindows {

namespace {

// The views render without touching the phone's pairing state.
ui::OnboardingFlow::Hooks inertHooks() { return {}; }

std::optional<std::string> pngOf(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG"))
        return std::nullopt;
    return bytes.toStdString();
}

// Writes through a private temporary file renamed onto the name, so a symlink planted at the name is
// replaced rather than followed. Logs and returns false when it cannot.
bool writeImage(const QImage& image, const std::filesystem::path& file) {
    auto png = pngOf(image);
    std::string failure = "the picture could not be encoded";
    if (png && writeFileAtomically(file, *png, failure))
        return true;
    Log::shared().add("selftest couldn't write " + file.string() + ": " + failure);
    return false;
}

// The icon set's folder: created for this user, or an existing real folder of this user that nobody
// else may write into. A symlink or someone else's folder at the name is refused.
bool prepareFolder(const std::filesystem::path& folder, std::string& failure) {
    if (::mkdir(folder.c_str(), 0700) == 0)
        return true;
    if (errno != EEXIST) {
        failure = std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0) {
        failure = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        failure = "it exists and is not a folder";
        return false;
    }
    if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH))) {
        failure = "the folder belongs to someone else or others may write into it";
        return false;
    }
    return true;
}

// Lays a widget out at `size` off screen and paints it into an image.
QImage render(QWidget& widget, QSize size) {
    widget.setAttribute(Qt::WA_DontShowOnScreen, true);
    widget.resize(size);
    widget.show();
    QApplication::processEvents();
    widget.resize(size);
    QApplication::processEvents();
    return widget.grab().toImage();
}

QString sizeText(const QSize& size) { return QStringLiteral("%1x%2").arg(size.width()).arg(size.height()); }

[[noreturn]] void finish(bool wrote) { exitProcess(wrote ? 0 : 1); }

void renderSettings(ui::ModelWatcher& watcher) {
    ui::SettingsView view(watcher);
    QImage image = render(view, view.fullSize());
    const bool wrote = writeImage(image, "/tmp/pokescope-settings.png");
    Log::shared().add("selftest rendered settings " + sizeText(image.size()).toStdString());
    finish(wrote);
}

// The welcome step, then every later step of the setup as /tmp/pokescope-setup-N.png (N from 2).
void renderWelcome(ui::ModelWatcher& watcher) {
    ui::OnboardingView view(watcher, nullptr, inertHooks());
    const QSize size(ui::MainWindow::kMinimumWidth, ui::MainWindow::kMinimumHeight);
    if (!writeImage(render(view, size), "/tmp/pokescope-welcome.png"))
        finish(false);
    for (int step = 1; step < ui::OnboardingFlow::kStepCount; ++step) {
        view.show(static_cast<ui::OnboardingFlow::Step>(step));
        if (!writeImage(render(view, size), "/tmp/pokescope-setup-" + std::to_string(step + 1) + ".png"))
            finish(false);
    }
    Log::shared().add("selftest rendered welcome");
    finish(true);
}

void renderMain(ui::ModelWatcher& watcher) {
    ui::MainView view(watcher);
    QImage image = render(view, QSize(ui::MainWindow::kDefaultWidth, ui::MainWindow::kDefaultHeight));
    const bool wrote = writeImage(image, "/tmp/pokescope-main.png");
    Log::shared().add("selftest rendered main " + sizeText(image.size()).toStdString());
    finish(wrote);
}

void renderIcon(const std::filesystem::path& folder) {
    std::string failure;
    if (!prepareFolder(folder, failure)) {
        Log::shared().add("selftest couldn't write " + folder.string() + ": " + failure);
        finish(false);
    }
    for (int size : {16, 32, 128, 256, 512}) {
        const std::string name = "icon_" + std::to_string(size) + "x" + std::to_string(size);
        if (!writeImage(ui::BrandMark::iconImage(size), folder / (name + ".png")) ||
            !writeImage(ui::BrandMark::iconImage(size * 2), folder / (name + "@2x.png")))
            finish(false);
    }
    Log::shared().add("selftest wrote iconset to " + folder.string());
    finish(true);
}

void windowSettings(ui::ModelWatcher& watcher) {
    auto* window = new ui::SettingsWindow(watcher);
    window->show();
    // Captured once the window manager (or the offscreen platform) has laid it out and painted it.
    QTimer::singleShot(700, window, [window] {
        QImage image = window->grab().toImage();
        const int screenHeight = window->screen() ? window->screen()->geometry().height() : 0;
        const bool wrote = writeImage(image, "/tmp/pokescope-settings-window.png");
        Log::shared().add("selftest settings window " + sizeText(image.size()).toStdString() + ", screen " +
                          std::to_string(screenHeight) + " high");
        finish(wrote);
    });
}

} // namespace

bool handles(const std::string& mode) {
    return mode == "window-settings" || mode == "render-settings" || mode == "render-icon" ||
           mode == "render-welcome" || mode == "render-main";
}

void run(const std::string& mode, const Entry::Options& options, const std::vector<std::string>& extra) {
    const bool noDisplay = !PokescopeWindows::noWindowsReason(Entry::Options{}).empty();
    PokescopeWindows::createApplication(mode != "window-settings" || noDisplay);
    Services& services = Services::forProcess(PokescopeApp::backendsFor(options));
    services.model.setPort(Entry::serverPort(options));
    auto* watcher = new ui::ModelWatcher(services.model); // lives until the process ends
    // With the simulated phone the main view shows it live: the model starts and the phone gets a few
    // seconds to connect before the picture is taken.
    const bool live = options.simulate && (mode == "render-main" || mode == "render-welcome");
    if (live)
        DispatchQueue::main().async([&services] { services.model.start(); });
    DispatchQueue::main().asyncAfter(seconds(live ? 8 : 0), [mode, extra, watcher] {
        if (mode == "render-settings")
            renderSettings(*watcher);
        else if (mode == "render-welcome")
            renderWelcome(*watcher);
        else if (mode == "render-main")
            renderMain(*watcher);
        else if (mode == "render-icon")
            renderIcon(extra.empty() ? std::filesystem::path("/tmp/AppIcon.iconset") : std::filesystem::path(extra[0]));
        else
            windowSettings(*watcher);
    });
    qApp->exec();
    exitProcess(0);
}

} // namespace pokescope::SelfTestWindows
