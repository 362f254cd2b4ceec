#include "ui/MainView.hpp"

#include "ui/Theme.hpp"
#include "ui/Widgets.hpp"

#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QUrl>
#include <QVBoxLayout>

#include <chrono>

namespace pokescope::ui {

namespace {

QLabel* rich(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QString line(const QColor& colour, const QString& text) { return Theme::dot(colour) + text.toHtmlEscaped(); }

QString linkState(BluetoothHID::State state, bool removedByPhone) {
    if (removedByPhone && state != BluetoothHID::State::off)
        return QStringLiteral("the iPhone removed this keyboard — connect from its Bluetooth settings, or "
                              "press Connect Again");
    switch (state) {
    case BluetoothHID::State::ready:
        return QStringLiteral("ready — keyboard and pointer connected");
    case BluetoothHID::State::connected:
        return QStringLiteral("connected, setting up");
    case BluetoothHID::State::waiting:
        return QStringLiteral("waiting for the iPhone to connect");
    case BluetoothHID::State::off:
        break;
    }
    return QStringLiteral("off");
}

QPushButton* smallButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    button->setProperty("flat", true);
    return button;
}

} // namespace

QString fileSize(std::int64_t bytes) {
    if (bytes >= 1'000'000)
        return QString::number(static_cast<double>(bytes) / 1e6, 'f', 1) + QStringLiteral(" MB");
    return QString::number((bytes + 999) / 1000) + QStringLiteral(" KB");
}

QString duration(double seconds) {
    const auto total = static_cast<long>(seconds + 0.5);
    if (total >= 3600)
        return QString::asprintf("%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    return QString::asprintf("%ld:%02ld", total / 60, total % 60);
}

MainView::MainView(ModelWatcher& watcher, QWidget* parent)
    : QWidget(parent), watcher_(watcher), model_(watcher.model()) {
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(20, 20, 20, 20);
    outer->setSpacing(16);

    // The phone, as large as the window allows.
    QBoxLayout* phoneBox;
    auto* phoneCard = Theme::card(QStringLiteral("iPhone"), this, &phoneBox);
    phone_ = new PhoneView(phoneCard);
    phoneBox->addWidget(phone_, 1);
    phoneDetails_ = rich(phoneCard);
    phoneBox->addWidget(phoneDetails_);
    phoneCard->setFixedWidth(300);
    outer->addWidget(phoneCard);

    auto* right = new QVBoxLayout();
    right->setSpacing(16);
    outer->addLayout(right, 1);

    auto* top = new QHBoxLayout();
    top->setSpacing(16);
    right->addLayout(top);

    // Status: permissions, link and pointer.
    QBoxLayout* statusBox;
    auto* statusCard = Theme::card(QStringLiteral("Status"), this, &statusBox);
    status_ = rich(statusCard);
    statusBox->addWidget(status_);
    permissions_ = rich(statusCard);
    statusBox->addWidget(permissions_);
    pointer_ = rich(statusCard);
    statusBox->addWidget(pointer_);
    calibrate_ = new QPushButton(QStringLiteral("Calibrate"), statusCard);
    connect(calibrate_, &QPushButton::clicked, this, [this] { model_.calibrate(); });
    connectAgain_ = new QPushButton(QStringLiteral("Connect Again"), statusCard);
    connect(connectAgain_, &QPushButton::clicked, this, [this] { model_.connectAgain(); });
    auto* statusButtons = new QHBoxLayout();
    statusButtons->addWidget(calibrate_);
    statusButtons->addWidget(connectAgain_);
    statusButtons->addStretch(1);
    statusBox->addLayout(statusButtons);
    statusBox->addStretch(1);
    top->addWidget(statusCard, 1);

    // Recording and screenshots.
    QBoxLayout* mediaBox;
    auto* mediaCard = Theme::card(QStringLiteral("Recording and screenshot"), this, &mediaBox);
    auto* buttons = new QHBoxLayout();
    record_ = new QPushButton(mediaCard);
    Theme::makePrimary(record_);
    connect(record_, &QPushButton::clicked, this, [this] { model_.toggleRecording(); });
    buttons->addWidget(record_);
    screenshot_ = new QPushButton(QStringLiteral("Save Screenshot"), mediaCard);
    connect(screenshot_, &QPushButton::clicked, this, [this] { model_.saveScreenshot(); });
    buttons->addWidget(screenshot_);
    buttons->addStretch(1);
    mediaBox->addLayout(buttons);
    recordingState_ = rich(mediaCard);
    mediaBox->addWidget(recordingState_);
    recordingState_->hide();
    auto fileRow = [&](QLabel*& label, QPushButton*& open, QPushButton*& reveal, std::function<void()> onReveal,
                       std::function<std::optional<std::filesystem::path>()> file) {
        auto* row = new QHBoxLayout();
        label = rich(mediaCard);
        row->addWidget(label, 1);
        open = smallButton(QStringLiteral("Open"), mediaCard);
        reveal = smallButton(QStringLiteral("Show in Folder"), mediaCard);
        row->addWidget(open);
        row->addWidget(reveal);
        connect(open, &QPushButton::clicked, this, [file] {
            if (auto path = file())
                QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(path->string())));
        });
        connect(reveal, &QPushButton::clicked, this, std::move(onReveal));
        mediaBox->addLayout(row);
    };
    fileRow(lastRecording_, openRecording_, revealRecording_, [this] { model_.revealLastRecording(); },
            [this]() -> std::optional<std::filesystem::path> {
                auto last = model_.snapshot().lastRecording;
                return last ? std::optional(last->url) : std::nullopt;
            });
    fileRow(lastScreenshot_, openScreenshot_, revealScreenshot_, [this] { model_.revealLastScreenshot(); },
            [this] { return model_.snapshot().lastScreenshot; });
    mediaBox->addStretch(1);
    top->addWidget(mediaCard, 1);

    // Problems the user must see, as the model words them.
    problems_ = rich(this);
    problems_->setStyleSheet(QStringLiteral("QLabel { background: %1; border-radius: 8px; padding: 8px 12px; }")
                                 .arg(Theme::danger().darker(300).name()));
    right->addWidget(problems_);

    // The agent.
    QBoxLayout* agentBox;
    auto* agentCard = Theme::card(QStringLiteral("Agent connection"), this, &agentBox);
    agent_ = new AgentSetupPanel(model_, agentCard);
    agentBox->addWidget(agent_);
    activity_ = rich(agentCard);
    agentBox->addWidget(activity_);
    right->addWidget(agentCard);

    // The activity log.
    QBoxLayout* logBox;
    auto* logCard = Theme::card(QStringLiteral("Activity"), this, &logBox);
    log_ = new QPlainTextEdit(logCard);
    log_->setObjectName(QStringLiteral("activityLog"));
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(static_cast<int>(AppModel::kLogLinesLimit));
    log_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // A log is read from the left: long lines wrap, and there is nothing to scroll sideways.
    log_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    log_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    log_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    logBox->addWidget(log_, 1);
    right->addWidget(logCard, 1);

    connect(&watcher_, &ModelWatcher::changed, this, [this] { refresh(); });
    refresh();
}

void MainView::refresh() {
    auto& model = model_;
    const auto state = model.snapshot();
    const auto selected = model.selectedPhone();
    phone_->setScreen(state.screen);

    if (selected) {
        QString details = QStringLiteral("<b>%1</b><br>%2")
                              .arg(QString::fromStdString(selected->name).toHtmlEscaped(),
                                   QString::fromStdString(ProductNames::name(selected->productType)).toHtmlEscaped());
        if (!selected->iosVersion.empty())
            details += QStringLiteral(", iOS ") + QString::fromStdString(selected->iosVersion).toHtmlEscaped();
        if (state.phoneVitals)
            details += "<br>" + QString::fromStdString(*state.phoneVitals).toHtmlEscaped();
        details += "<br>" + (selected->paired ? line(Theme::success(), QStringLiteral("trusts this computer"))
                                               : line(Theme::warning(), QStringLiteral("tap Trust on the iPhone")));
        if (state.phones.size() > 1)
            details += QStringLiteral("<br>%1 iPhones on USB").arg(state.phones.size());
        phoneDetails_->setText(details);
    } else {
        phoneDetails_->setText(line(Theme::warning(), QStringLiteral("No iPhone on USB — plug one in and unlock it.")));
    }

    using Permission = CaptureBackend::Permission;
    const bool camera = state.cameraStatus == Permission::authorized;
    const bool bluetoothAllowed = state.bluetoothAuth == AppModel::BluetoothAuthorization::allowedAlways;
    // One headline: ready, or the first thing that stands in the way.
    QString headline;
    if (!selected)
        headline = QStringLiteral("Plug in your iPhone");
    else if (!selected->paired)
        headline = QStringLiteral("Trust this computer on the iPhone");
    else if (!state.screen)
        headline = QStringLiteral("Waiting for the iPhone's screen");
    else if (state.bluetooth != BluetoothHID::State::ready)
        headline = QStringLiteral("Waiting for Bluetooth");
    else if (!state.calibration)
        headline = QStringLiteral("Calibrate the pointer");
    else
        headline = QStringLiteral("Ready — your agent can drive the iPhone");
    status_->setText(QStringLiteral("<span style=\"font-size:14pt\"><b>%1</b></span>").arg(headline.toHtmlEscaped()));
    QString lines;
    lines += line(camera ? Theme::success() : Theme::danger(),
                  camera ? QStringLiteral("Screen capture allowed") : QStringLiteral("Screen capture not allowed")) + "<br>";
    lines += line(bluetoothAllowed ? Theme::success() : Theme::danger(),
                  bluetoothAllowed ? QStringLiteral("Bluetooth allowed") : QStringLiteral("Bluetooth not allowed")) + "<br>";
    lines += line(state.screen ? Theme::success() : Theme::warning(),
                  state.screen ? QStringLiteral("Screen: %1 × %2").arg(state.screen->width()).arg(state.screen->height())
                               : QStringLiteral("Screen: waiting for a frame")) + "<br>";
    const bool ready = state.bluetooth == BluetoothHID::State::ready;
    lines += line(ready ? Theme::success() : Theme::warning(), QStringLiteral("Bluetooth: ") + linkState(state.bluetooth, state.bluetoothRemovedByPhone)) + "<br>";
    if (state.assistiveTouchOn)
        lines += line(*state.assistiveTouchOn ? Theme::success() : Theme::warning(),
                      *state.assistiveTouchOn ? QStringLiteral("AssistiveTouch on")
                                              : QStringLiteral("AssistiveTouch off — it shows the pointer"));
    permissions_->setText(lines);

    if (state.calibrating)
        pointer_->setText(line(Theme::accent(), QStringLiteral("Calibrating… keep your hands off the iPhone.")));
    else if (state.calibration)
        pointer_->setText(line(Theme::success(), QString::asprintf("Pointer ready (%.1f × %.1f px per step)",
                                                                   state.calibration->gainX, state.calibration->gainY)));
    else
        pointer_->setText(line(Theme::warning(), QStringLiteral("Pointer not calibrated")));
    calibrate_->setEnabled(!state.calibrating);
    connectAgain_->setVisible(state.bluetoothRemovedByPhone && state.bluetooth != BluetoothHID::State::off);
    calibrate_->setText(state.calibration ? QStringLiteral("Calibrate again") : QStringLiteral("Calibrate"));

    record_->setText(state.recording ? QStringLiteral("Stop Recording") : QStringLiteral("Start Recording"));
    if (state.recording && state.recordingStartedAt) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::system_clock::now() - *state.recordingStartedAt).count();
        recordingState_->setText(line(Theme::danger(), QStringLiteral("Recording — ") + duration(seconds)));
    }
    recordingState_->setVisible(state.recording);
    if (state.lastRecording) {
        const auto& result = *state.lastRecording;
        QString text = QStringLiteral("Last recording: <b>%1</b> (%2, %3)")
                           .arg(QString::fromStdString(result.url.filename().string()).toHtmlEscaped(),
                                duration(result.seconds), fileSize(result.bytes));
        if (result.stoppedBecause)
            text += QStringLiteral("<br>stopped because ") + QString::fromStdString(*result.stoppedBecause).toHtmlEscaped();
        lastRecording_->setText(text);
    } else {
        lastRecording_->setText(QStringLiteral("No recording yet"));
    }
    openRecording_->setVisible(state.lastRecording.has_value());
    revealRecording_->setVisible(state.lastRecording.has_value());
    lastScreenshot_->setText(state.lastScreenshot
                                 ? QStringLiteral("Last screenshot: <b>%1</b>")
                                       .arg(QString::fromStdString(state.lastScreenshot->filename().string()).toHtmlEscaped())
                                 : QStringLiteral("No screenshot yet"));
    openScreenshot_->setVisible(state.lastScreenshot.has_value());
    revealScreenshot_->setVisible(state.lastScreenshot.has_value());
    screenshot_->setEnabled(state.screen != nullptr);

    QStringList problems;
    if (state.recordingError)
        problems << QString::fromStdString(*state.recordingError).toHtmlEscaped();
    if (state.calibrationError)
        problems << QString::fromStdString(*state.calibrationError).toHtmlEscaped();
    problems_->setText(problems.join("<br>"));
    problems_->setVisible(!problems.isEmpty());

    agent_->refresh(state);
    activity_->setText(state.lastAgentActivity
                           ? QStringLiteral("Last agent request: <b>%1</b>")
                                 .arg(QString::fromStdString(*state.lastAgentActivity).toHtmlEscaped())
                           : QStringLiteral("No agent has connected yet."));

    // The log: only the lines added since the last redraw, counted (two equal lines are two events). When
    // more came than the model keeps, the view starts again from what it has.
    const auto& lines_ = state.logLines;
    const std::uint64_t added = state.logLinesAdded - std::min(state.logLinesAdded, shownLogLines_);
    std::size_t from = lines_.size() - static_cast<std::size_t>(std::min<std::uint64_t>(added, lines_.size()));
    if (added > lines_.size())
        log_->clear();
    const bool atBottom = log_->verticalScrollBar()->value() == log_->verticalScrollBar()->maximum();
    for (std::size_t i = from; i < lines_.size(); ++i)
        log_->appendPlainText(QString::fromStdString(lines_[i]));
    shownLogLines_ = state.logLinesAdded;
    // Follows new lines while the reader is at the end; a reader scrolled back stays where they are.
    if (atBottom && from < lines_.size()) {
        log_->moveCursor(QTextCursor::End);
        log_->ensureCursorVisible();
    }
}

} // namespace pokescope::ui
