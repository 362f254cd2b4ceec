#include "app/PokescopeWindows.hpp"

#include "app/PokescopeApp.hpp"

#include "app/Services.hpp"
#include "model/AppModel.hpp"
#include "app/InstanceLock.hpp"
#include "core/Log.hpp"
#include "distribution/MoveToApplications.hpp"
#include "platform/Dispatch.hpp"
#include "ui/BrandMark.hpp"
#include "ui/MainWindow.hpp"
#include "ui/Theme.hpp"
#include "ui/Widgets.hpp"

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdlib>
#include <dlfcn.h>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace pokescope::PokescopeWindows {

namespace {

constexpr const char* kShowRequest = "show\n";

// The main queue's work, posted into Qt's event loop; delayed work becomes a timer on the main thread.
class QtQueueDriver final : public QueueDriver {
public:
    void post(std::function<void()> fn) override {
        QMetaObject::invokeMethod(qApp, std::move(fn), Qt::QueuedConnection);
    }
    void postAfter(Duration delay, std::function<void()> fn) override {
        const auto due = std::chrono::steady_clock::now() + delay;
        post([due, fn = std::move(fn)]() mutable {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
            QTimer::singleShot(std::max<long long>(0, left.count()), Qt::PreciseTimer, qApp, std::move(fn));
        });
    }
};

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

// Whether the X server named by DISPLAY takes a connection. Qt ends the process when it cannot open its
// display; asking first lets a stale DISPLAY (an old ssh session, a stopped Xvfb) fall back to running
// without windows. The X client library is looked up at run time: Qt's own X platform loads it too.
bool xServerAnswers() {
    void* xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb)
        return true; // cannot ask: leave it to Qt
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(::dlsym(xcb, "xcb_connect"));
    auto hasError = reinterpret_cast<HasError>(::dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(::dlsym(xcb, "xcb_disconnect"));
    bool answers = true;
    if (connect && hasError && disconnect) {
        void* connection = connect(nullptr, nullptr);
        answers = connection && hasError(connection) == 0;
        if (connection)
            disconnect(connection);
    }
    ::dlclose(xcb);
    return answers;
}

} // namespace

std::string noWindowsReason(const Entry::Options& options) {
    if (options.headless)
        return "--headless";
    if (envSet("QT_QPA_PLATFORM") || envSet("WAYLAND_DISPLAY"))
        return "";
    if (!envSet("DISPLAY"))
        return "no display (DISPLAY and WAYLAND_DISPLAY are not set)";
    if (!xServerAnswers())
        return std::string("the display ") + std::getenv("DISPLAY") + " does not answer";
    return "";
}

void createApplication(bool offscreen) {
    if (offscreen)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "pokescope";
    static char* argv[] = {name, nullptr};
    // Kept for the whole process: the main queue posts into it until the very end.
    static auto* application = new QApplication(argc, argv);
    application->setApplicationName(QStringLiteral("Pokescope"));
    application->setDesktopFileName(QStringLiteral("pokescope"));
    application->setWindowIcon(ui::BrandMark::applicationIcon());
    ui::Theme::apply(*application);
    DispatchQueue::main().setDriver(std::make_unique<QtQueueDriver>());
}

bool askRunningInstanceToShow(std::uint16_t port) {
    const std::string path = InstanceLock::socketPathFor(port).string();
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path)
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool shown = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::write(fd, kShowRequest, std::strlen(kShowRequest)) == static_cast<ssize_t>(std::strlen(kShowRequest))) {
        // The running application answers "ok" once its window is up.
        pollfd waitFor{fd, POLLIN, 0};
        char answer[8] = {};
        shown = ::poll(&waitFor, 1, 3000) == 1 && ::read(fd, answer, sizeof answer - 1) > 0 &&
                std::strncmp(answer, "ok", 2) == 0;
    }
    ::close(fd);
    return shown;
}

int run(const Entry::Options& options, Services& services) {
    createApplication(false);
    auto& application = *qApp;
    ui::connectDesktop(services.model);
    ui::ModelWatcher watcher(services.model);

    ui::MainWindow* window = nullptr;
    ui::SettingsWindow* settings = nullptr;
    ui::WindowActions actions;
    actions.showMain = [&window] {
        if (window->isMinimized())
            window->showNormal();
        window->show();
        window->raise();
        window->activateWindow();
    };
    actions.showSettings = [&settings] {
        settings->show();
        settings->raise();
        settings->activateWindow();
    };
    actions.quit = [] { QApplication::quit(); };
    window = new ui::MainWindow(watcher, actions);
    settings = new ui::SettingsWindow(watcher);
    if (auto* setup = settings->findChild<QPushButton*>("runSetup"))
        QObject::connect(setup, &QPushButton::clicked, window, [actions] { actions.showMain(); });

    // With a tray the application lives on when its windows close; without one (a stock GNOME desktop)
    // closing the last window quits, so no invisible process keeps the port and the phone.
    std::unique_ptr<ui::TrayItem> tray;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        application.setQuitOnLastWindowClosed(false);
        tray = std::make_unique<ui::TrayItem>(watcher, actions, [&services] {
            return QString::fromStdString(services.tools->statusText());
        });
    } else {
        application.setQuitOnLastWindowClosed(true);
        Log::shared().add("app: this desktop has no system tray; closing the window quits Pokescope");
    }
    QObject::connect(&application, &QApplication::aboutToQuit, [&services] { services.hid.stop(); });

    // A second start on this port asks us to show the window.
    auto* server = new QLocalServer(&application);
    const QString socketPath = QString::fromStdString(InstanceLock::socketPathFor(Entry::serverPort(options)).string());
    QLocalServer::removeServer(socketPath); // a left-over of a process that is gone: we hold the lock now
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (Entry::serverPort(options) != 0 && !server->listen(socketPath))
        Log::shared().add("app: can't listen on " + socketPath.toStdString() + ": " + server->errorString().toStdString());
    QObject::connect(server, &QLocalServer::newConnection, server, [server, actions] {
        while (auto* connection = server->nextPendingConnection()) {
            QObject::connect(connection, &QLocalSocket::readyRead, connection, [connection, actions] {
                if (!connection->canReadLine() || connection->readLine() != kShowRequest)
                    return;
                actions.showMain();
                connection->write("ok\n");
                connection->disconnectFromServer();
            });
            QObject::connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
        }
    });

    Log::shared().add("app: Pokescope 0.1.0 with windows" + std::string(tray ? " and a tray item" : ""));
    window->show();
    MoveToApplications::offerIfNeeded();
    DispatchQueue::main().async([&services, window] {
        services.model.start();
        if (auto taken = services.model.portTaken()) {
            QMessageBox::critical(window, QStringLiteral("Pokescope"), QString::fromStdString(*taken));
            PokescopeApp::endForTakenPort(*taken);
        }
        services.updater.start();
    });
    const int status = application.exec();
    // Windows go before the model's services end with the process; nobody can ask for them any more.
    server->close();
    tray.reset();
    delete settings;
    delete window;
    return status;
}

} // namespace pokescope::PokescopeWindows
