#include "ui/Widgets.hpp"

#include "ui/Theme.hpp"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTabBar>
#include <QPainterPath>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace pokescope::ui {

ModelWatcher::ModelWatcher(AppModel& model) : model_(model) {
    model_.setOnChange([this] {
        // The model changes on its main queue, which is Qt's thread; queued all the same, so a change
        // from anywhere else still arrives on the right thread.
        QMetaObject::invokeMethod(this, [this] { schedule(); }, Qt::QueuedConnection);
    });
}

void ModelWatcher::schedule() {
    if (pending_)
        return;
    pending_ = true;
    QTimer::singleShot(40, this, [this] {
        pending_ = false;
        emit changed();
    });
}

QImage toQImage(const ImageRef& image) {
    if (!image || image->empty() || image->format() != Image::Format::bgra)
        return {};
    // Blue-first, alpha-last bytes are Qt's 32-bit premultiplied ARGB on a little-endian machine.
    auto* keep = new ImageRef(image);
    return QImage(
        image->data(), image->width(), image->height(), image->stride(), QImage::Format_ARGB32_Premultiplied,
        [](void* info) { delete static_cast<ImageRef*>(info); }, keep);
}

PhoneView::PhoneView(QWidget* parent) : QWidget(parent) { setMinimumSize(120, 240); }

void PhoneView::setScreen(const ImageRef& screen) {
    if (screen == screen_)
        return;
    screen_ = screen;
    update();
}

void PhoneView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QImage image = toQImage(screen_);
    const QRectF area = rect().adjusted(2, 2, -2, -2);
    QSizeF size = image.isNull() ? QSizeF(1179, 2556) : QSizeF(image.size());
    size.scale(area.size(), Qt::KeepAspectRatio);
    const QRectF target(area.center().x() - size.width() / 2, area.center().y() - size.height() / 2, size.width(),
                        size.height());
    const double radius = target.width() * 0.09;
    QPainterPath clip;
    clip.addRoundedRect(target, radius, radius);
    if (image.isNull()) {
        painter.fillPath(clip, Theme::raised());
        painter.setPen(Theme::secondaryText());
        painter.drawText(target.adjusted(8, 0, -8, 0), Qt::AlignCenter | Qt::TextWordWrap,
                         QStringLiteral("Waiting for the screen…"));
    } else {
        painter.setClipPath(clip);
        painter.drawImage(target, image);
        painter.setClipping(false);
    }
    painter.setPen(QPen(Theme::faint(), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(clip);
}

QString AgentSetupPanel::instruction(int tab) {
    switch (tab) {
    case 0:
        return QStringLiteral("Run in your terminal:");
    case 1:
        return QStringLiteral("Add to claude_desktop_config.json, then restart Claude Desktop:");
    default:
        return QStringLiteral("Add to your client's MCP config (Streamable HTTP):");
    }
}

QString AgentSetupPanel::configuration(const AppModel& model, int tab) {
    switch (tab) {
    case 0:
        return QString::fromStdString(model.claudeCodeCommand());
    case 1:
        return QString::fromStdString(model.stdioConfigJSON());
    default:
        return QString::fromStdString(model.urlConfigJSON());
    }
}

QString serverLine(bool running, std::uint16_t port) {
    if (running)
        return QStringLiteral("MCP server running at http://127.0.0.1:%1/mcp").arg(port);
    return QStringLiteral("MCP server isn't running (port %1 busy?)").arg(port);
}

AgentSetupPanel::AgentSetupPanel(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    tabs_ = new QTabBar(this);
    tabs_->setDrawBase(false);
    tabs_->setExpanding(false);
    for (const char* name : {"Claude Code", "Claude Desktop", "Cursor / other"})
        tabs_->addTab(QString::fromUtf8(name));
    layout->addWidget(tabs_);
    instruction_ = Theme::secondary(QString(), this);
    layout->addWidget(instruction_);
    auto* row = new QHBoxLayout();
    text_ = new QPlainTextEdit(this);
    text_->setReadOnly(true);
    text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    text_->setMaximumHeight(96);
    text_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    row->addWidget(text_, 1);
    auto* copy = new QPushButton(QStringLiteral("Copy"), this);
    copy->setObjectName("copyConfiguration");
    connect(copy, &QPushButton::clicked, this, [this, copy] { copyText(text_->toPlainText(), copy); });
    row->addWidget(copy, 0, Qt::AlignTop);
    layout->addLayout(row);
    server_ = new QLabel(this);
    server_->setTextFormat(Qt::RichText);
    layout->addWidget(server_);
    connect(tabs_, &QTabBar::currentChanged, this, [this](int tab) { showTab(tab); });
    showTab(0);
}

void AgentSetupPanel::showTab(int tab) {
    instruction_->setText(instruction(tab));
    text_->setPlainText(configuration(model_, tab));
    shownPort_ = model_.port();
}

void AgentSetupPanel::refresh(const AppModel::State& state) {
    const auto port = model_.port();
    server_->setText(Theme::dot(state.mcpRunning ? Theme::success() : Theme::danger()) +
                     serverLine(state.mcpRunning, port).toHtmlEscaped());
    // The port is known once the server runs; the texts follow it (rebuilt only when it changes, not at
    // every frame).
    if (port != shownPort_)
        showTab(tabs_->currentIndex());
}

void copyText(const QString& text, QWidget* button) {
    QApplication::clipboard()->setText(text);
    auto* push = qobject_cast<QPushButton*>(button);
    if (!push)
        return;
    const QString label = push->text() == QStringLiteral("Copied") ? QStringLiteral("Copy") : push->text();
    push->setText(QStringLiteral("Copied"));
    QTimer::singleShot(1500, push, [push, label] { push->setText(label); });
}

bool openLocation(const QString& location) {
    if (location == QStringLiteral("settings:bluetooth")) {
        // The desktop's own Bluetooth settings, when one is installed.
        for (const auto& [program, arguments] :
             {std::pair<QString, QStringList>{"gnome-control-center", {"bluetooth"}},
              {"systemsettings", {"kcm_bluetooth"}},
              {"blueman-manager", {}}}) {
            if (!QStandardPaths::findExecutable(program).isEmpty() &&
                QProcess::startDetached(program, arguments))
                return true;
        }
        return false;
    }
    return QDesktopServices::openUrl(QUrl::fromUserInput(location));
}

void connectDesktop(AppModel& model) {
    AppModel::Desktop desktop;
    desktop.open = [](const std::string& location) { return openLocation(QString::fromStdString(location)); };
    desktop.reveal = [](const std::filesystem::path& file) {
        // File managers that speak the freedesktop interface select the file; others open its folder.
        const QString path = QString::fromStdString(file.string());
        if (QProcess::execute(QStringLiteral("dbus-send"),
                              {"--session", "--print-reply", "--dest=org.freedesktop.FileManager1",
                               "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1.ShowItems",
                               "array:string:" + QUrl::fromLocalFile(path).toString(), "string:"}) == 0)
            return true;
        return QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
    };
    model.setDesktop(std::move(desktop));
    model.setClipboard([](const ImageRef& image) {
        QImage picture = toQImage(image);
        if (picture.isNull())
            return false;
        bool done = false;
        // The clipboard belongs to the main thread.
        QMetaObject::invokeMethod(
            qApp, [&] { QApplication::clipboard()->setImage(picture.copy()); done = true; },
            QThread::currentThread() == qApp->thread() ? Qt::DirectConnection : Qt::BlockingQueuedConnection);
        return done;
    });
}

} // namespace pokescope::ui
