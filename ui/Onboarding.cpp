#include "ui/Onboarding.hpp"

#include "platform/Dispatch.hpp"
#include "ui/BrandMark.hpp"
#include "ui/Theme.hpp"
#include "ui/Widgets.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace pokescope::ui {

namespace {

using Step = OnboardingFlow::Step;

QLabel* richLabel(const QString& html, QWidget* parent) {
    auto* label = new QLabel(html, parent);
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(true);
    return label;
}

// "Tap **Trust** on …" → HTML with the starred words in bold.
QString bolded(const QString& text) {
    QString html = text.toHtmlEscaped();
    bool open = true;
    int at;
    while ((at = html.indexOf(QStringLiteral("**"))) >= 0) {
        html.replace(at, 2, open ? QStringLiteral("<b>") : QStringLiteral("</b>"));
        open = !open;
    }
    return html;
}

class ProductTile : public QWidget {
public:
    explicit ProductTile(QWidget* parent) : QWidget(parent) { setFixedSize(128, 128); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawImage(rect(), BrandMark::iconImage(256));
    }
};

// One check row: a check mark once `done`, the pending text otherwise, and an optional action.
struct CheckRow {
    QLabel* label;
    QPushButton* action = nullptr;
    void set(bool done, const QString& doneText, const QString& pendingText) const {
        label->setText(done ? Theme::dot(Theme::success()) + doneText.toHtmlEscaped()
                            : Theme::dot(Theme::warning()) + pendingText.toHtmlEscaped());
        if (action)
            action->setVisible(!done);
    }
};

CheckRow checkRow(QVBoxLayout* layout, QWidget* parent, const QString& actionLabel = {}) {
    auto* row = new QHBoxLayout();
    CheckRow check{richLabel(QString(), parent)};
    check.label->setWordWrap(false); // one line each, the action right after it
    row->addWidget(check.label);
    if (!actionLabel.isEmpty()) {
        check.action = new QPushButton(actionLabel, parent);
        row->addWidget(check.action);
    }
    row->addStretch(1);
    layout->addLayout(row);
    return check;
}

// The live phone on the left and a column for the step's rows beside it, both from the top.
struct PhoneColumn {
    QWidget* content;
    PhoneView* phone;
    QVBoxLayout* column;
};

PhoneColumn phoneColumn() {
    auto* content = new QWidget();
    auto* layout = new QHBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* phone = new PhoneView(content);
    phone->setFixedWidth(190);
    layout->addWidget(phone, 0, Qt::AlignTop);
    auto* column = new QVBoxLayout();
    layout->addLayout(column, 1);
    return {content, phone, column};
}

void showPermissionHelp(AppModel& model, QWidget* parent, const QString& anchor) {
    if (model.openPrivacySettings(anchor.toStdString()))
        return;
    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("Pokescope"));
    box.setText(anchor == QStringLiteral("Privacy_Camera") ? QStringLiteral("Let Pokescope see the screen")
                                                          : QStringLiteral("Let Pokescope use Bluetooth"));
    box.setInformativeText(permissionHelp(anchor));
    box.setTextInteractionFlags(Qt::TextSelectableByMouse);
    box.exec();
}

} // namespace

QString permissionHelp(const QString& anchor) {
    if (anchor == QStringLiteral("Privacy_Camera"))
        return QStringLiteral(
            "The iPhone's screen reaches this computer through a USB/HDMI capture adapter, which shows up as a "
            "video device (/dev/video0). Give your user access to it with\n\n    sudo adduser $USER video\n\n"
            "then log out and in again, and plug the adapter in.");
    return QStringLiteral(
        "Pokescope acts as a Bluetooth keyboard and pointer through BlueZ.\n\n"
        "1. Start bluetoothd without its input plugin (ExecStart=/usr/libexec/bluetooth/bluetoothd -P input in "
        "a systemd drop-in), then restart it.\n"
        "2. Let your user talk to bluetoothd: sudo adduser $USER bluetooth, then log in again.\n"
        "3. Let Pokescope listen on the HID channels: sudo setcap cap_net_bind_service,cap_net_admin+ep "
        "on the pokescope binary (or run it as root).\n"
        "4. Turn the adapter on: bluetoothctl power on.\n\n"
        "The README's \"Using a real phone over Bluetooth\" has the details.");
}

OnboardingView::OnboardingView(ModelWatcher& watcher, QWidget* parent, std::optional<OnboardingFlow::Hooks> hooks)
    : QWidget(parent), watcher_(watcher), model_(watcher.model()),
      flow_(hooks ? std::move(*hooks) : OnboardingFlow::applicationHooks(model_)) {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(56, 40, 56, 28);
    stack_ = new QStackedWidget(this);
    outer->addWidget(stack_, 1);

    auto* footer = new QHBoxLayout();
    back_ = new QPushButton(QStringLiteral("‹ Back"), this);
    back_->setProperty("flat", true);
    footer->addWidget(back_);
    footer->addStretch(1);
    capsules_ = new QHBoxLayout();
    capsules_->setSpacing(6);
    for (int i = 0; i < OnboardingFlow::kStepCount; ++i) {
        auto* capsule = new QFrame(this);
        capsule->setFixedSize(22, 6);
        capsules_->addWidget(capsule);
    }
    footer->addLayout(capsules_);
    footer->addStretch(1);
    skip_ = new QPushButton(QStringLiteral("Skip"), this);
    skip_->setProperty("flat", true);
    footer->addWidget(skip_);
    primary_ = new QPushButton(this);
    Theme::makePrimary(primary_);
    primary_->setMinimumWidth(140);
    footer->addWidget(primary_);
    outer->addLayout(footer);

    buildPages();
    connect(back_, &QPushButton::clicked, this, [this] {
        flow_.back();
        showStep();
    });
    connect(skip_, &QPushButton::clicked, this, [this] {
        flow_.skip();
        showStep();
    });
    connect(primary_, &QPushButton::clicked, this, [this] {
        auto& model = model_;
        flow_.primary(model.snapshot(), model.selectedPhone());
        showStep();
    });
    connect(&watcher_, &ModelWatcher::changed, this, [this] { refresh(); });
    showStep();
}

OnboardingView::~OnboardingView() { flow_.leave(); }

void OnboardingView::restart() {
    flow_.restart();
    showStep();
}

void OnboardingView::addPage(const QString& eyebrow, const QString& title, const QStringList& texts,
                             QWidget* content, const QString& primaryLabel,
                             std::function<void(const AppModel::State&)> refresh) {
    auto* page = new QWidget(stack_);
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    if (!eyebrow.isEmpty()) {
        auto* label = new QLabel(eyebrow.toUpper(), page);
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, Theme::accent());
        label->setPalette(palette);
        QFont font = label->font();
        font.setWeight(QFont::DemiBold);
        label->setFont(font);
        layout->addWidget(label);
    }
    layout->addWidget(Theme::heading(title, 24, page));
    for (const auto& text : texts)
        layout->addWidget(Theme::secondary(text, page));
    layout->addSpacing(12);
    if (content) {
        content->setParent(page);
        layout->addWidget(content);
    }
    layout->addStretch(1);
    stack_->addWidget(page);
    pages_.push_back(Page{page, primaryLabel, std::move(refresh)});
}

QWidget* OnboardingView::welcomePage() {
    auto* page = new QWidget(stack_);
    auto* layout = new QVBoxLayout(page);
    layout->addStretch(2);
    auto* tile = new ProductTile(page);
    layout->addWidget(tile, 0, Qt::AlignHCenter);
    layout->addSpacing(16);
    auto* title = Theme::heading(QStringLiteral("Welcome to Pokescope"), 30, page);
    title->setAlignment(Qt::AlignHCenter);
    layout->addWidget(title);
    auto* tagline = Theme::heading(QStringLiteral("Give your AI agent hands on your iPhone."), 15, page);
    tagline->setAlignment(Qt::AlignHCenter);
    layout->addWidget(tagline);
    auto* text = Theme::secondary(
        QStringLiteral("Nothing is installed on your iPhone. Everything runs on this computer — your screen never "
                       "leaves it."),
        page);
    text->setAlignment(Qt::AlignHCenter);
    layout->addWidget(text);
    layout->addStretch(3);
    return page;
}

void OnboardingView::buildPages() {
    // welcome
    stack_->addWidget(welcomePage());
    pages_.push_back(Page{stack_->widget(0), QStringLiteral("Get Started"), nullptr});

    // permissions
    {
        auto* content = new QWidget();
        auto* layout = new QVBoxLayout(content);
        layout->setContentsMargins(0, 0, 0, 0);
        struct Row {
            QLabel* state;
            QPushButton* allow;
            QPushButton* settings;
        };
        auto row = [&](const QString& name, const QString& why, const QString& anchor, std::function<void()> ask) {
            QBoxLayout* inner;
            auto* card = Theme::card(QString(), content, &inner);
            auto* line = new QHBoxLayout();
            auto* texts = new QVBoxLayout();
            texts->addWidget(Theme::heading(name, 13, card));
            texts->addWidget(Theme::secondary(why, card));
            line->addLayout(texts, 1);
            Row r{richLabel(QString(), card), new QPushButton(QStringLiteral("Allow"), card),
                  new QPushButton(QStringLiteral("Open Settings"), card)};
            line->addWidget(r.state);
            line->addWidget(r.allow);
            line->addWidget(r.settings);
            inner->addLayout(line);
            layout->addWidget(card);
            connect(r.allow, &QPushButton::clicked, content, std::move(ask));
            connect(r.settings, &QPushButton::clicked, content, [this, content, anchor] { showPermissionHelp(model_, content, anchor); });
            return r;
        };
        Row camera = row(QStringLiteral("Camera"), QStringLiteral("To see your iPhone's screen over USB"),
                         QStringLiteral("Privacy_Camera"), [this] { model_.requestCamera(); });
        Row bluetooth = row(QStringLiteral("Bluetooth"), QStringLiteral("To tap and type on your iPhone"),
                            QStringLiteral("Privacy_Bluetooth"), [this] { model_.requestBluetooth(); });
        layout->addStretch(1);
        auto show = [](const Row& r, bool granted, bool undecided) {
            r.state->setText(granted ? Theme::dot(Theme::success()) + QStringLiteral("Allowed") : QString());
            r.state->setVisible(granted);
            r.allow->setVisible(!granted && undecided);
            r.settings->setVisible(!granted && !undecided);
        };
        addPage(QStringLiteral("Permissions"), QStringLiteral("Let Pokescope see and tap"),
                {QStringLiteral("Your iPhone's screen comes over the USB cable; taps and typing go over Bluetooth.")},
                content, QStringLiteral("Continue"), [camera, bluetooth, show](const AppModel::State& state) {
                    using Permission = CaptureBackend::Permission;
                    using Auth = AppModel::BluetoothAuthorization;
                    show(camera, state.cameraStatus == Permission::authorized,
                         state.cameraStatus == Permission::notDetermined);
                    show(bluetooth, state.bluetoothAuth == Auth::allowedAlways,
                         state.bluetoothAuth == Auth::notDetermined);
                });
    }

    // choose the phone
    {
        auto* content = new QWidget();
        auto* layout = new QVBoxLayout(content);
        layout->setContentsMargins(0, 0, 0, 0);
        auto* heading = Theme::secondary(QStringLiteral("CONNECTED IPHONES"), content);
        layout->addWidget(heading);
        auto* list = new QVBoxLayout();
        layout->addLayout(list);
        layout->addStretch(1);
        auto rows = std::make_shared<std::vector<QWidget*>>();
        auto shown = std::make_shared<std::vector<std::pair<PhoneInfo, bool>>>();
        addPage(QStringLiteral("Phone setup"), QStringLiteral("Choose your iPhone"),
                {QStringLiteral("Connect it with a USB cable and unlock it.")}, content, QStringLiteral("Continue"),
                [this, content, list, rows, shown](const AppModel::State& state) {
                    auto selected = model_.selectedPhone();
                    std::vector<std::pair<PhoneInfo, bool>> now;
                    for (const auto& phone : state.phones)
                        now.emplace_back(phone, selected && selected->udid == phone.udid);
                    if (now == *shown && !rows->empty())
                        return;
                    *shown = now;
                    for (auto* row : *rows)
                        row->deleteLater();
                    rows->clear();
                    if (now.empty()) {
                        auto* waiting = Theme::secondary(QStringLiteral("Looking for an iPhone on USB…"), content);
                        list->addWidget(waiting);
                        rows->push_back(waiting);
                        return;
                    }
                    for (const auto& [phone, isSelected] : now) {
                        QBoxLayout* inner;
                        auto* card = Theme::card(QString(), content, &inner);
                        auto* line = new QHBoxLayout();
                        auto* pick = new QPushButton(card);
                        pick->setProperty("flat", true);
                        pick->setText((isSelected ? QStringLiteral("◉  ") : QStringLiteral("○  ")) +
                                      QString::fromStdString(ProductNames::name(phone.productType)) +
                                      QStringLiteral(" — ") + QString::fromStdString(phone.name));
                        line->addWidget(pick, 1, Qt::AlignLeft);
                        connect(pick, &QPushButton::clicked, card, [this, phone = phone] { model_.select(phone); });
                        inner->addLayout(line);
                        if (!phone.paired) {
                            inner->addWidget(richLabel(bolded(QStringLiteral("Tap **Trust** on your iPhone and enter its passcode.")), card));
                            auto* trust = new QPushButton(QStringLiteral("Trust this computer"), card);
                            connect(trust, &QPushButton::clicked, card, [this, udid = phone.udid] {
                                model_.requestTrust(udid);
                            });
                            inner->addWidget(trust, 0, Qt::AlignLeft);
                        }
                        list->addWidget(card);
                        rows->push_back(card);
                    }
                });
    }

    // the screen and AssistiveTouch
    {
        const PhoneColumn parts = phoneColumn();
        QWidget* content = parts.content;
        PhoneView* phone = parts.phone;
        QVBoxLayout* checks = parts.column;
        CheckRow screen = checkRow(checks, content);
        CheckRow assistive = checkRow(checks, content, QStringLiteral("Turn On"));
        connect(assistive.action, &QPushButton::clicked, content, [this] { model_.enableAssistiveTouch(); });
        auto* restart = new QPushButton(QStringLiteral("Restart screen"), content);
        restart->setProperty("flat", true);
        connect(restart, &QPushButton::clicked, content, [this] { model_.restartCapture(); });
        checks->addWidget(restart, 0, Qt::AlignLeft);
        checks->addStretch(1);
        addPage(QStringLiteral("Phone setup"), QStringLiteral("Checking your iPhone screen"),
                {QStringLiteral("Keep your iPhone connected and unlocked.")}, content, QStringLiteral("Continue"),
                [phone, screen, assistive](const AppModel::State& state) {
                    phone->setScreen(state.screen);
                    screen.set(state.screen != nullptr, QStringLiteral("Screen is visible on this computer"),
                               QStringLiteral("Waiting for the screen…"));
                    assistive.set(state.assistiveTouchOn == true, QStringLiteral("AssistiveTouch is on"),
                                  QStringLiteral("AssistiveTouch is off — it shows the pointer"));
                });
    }

    // pairing
    {
        auto* content = new QWidget();
        auto* layout = new QVBoxLayout(content);
        layout->setContentsMargins(0, 0, 0, 0);
        auto step = [&](int number, const QString& text) {
            auto* label = richLabel(QStringLiteral("<span style=\"color:%1\"><b>%2</b></span>&nbsp;&nbsp;%3")
                                        .arg(Theme::accent().name())
                                        .arg(number)
                                        .arg(bolded(text)),
                                    content);
            layout->addWidget(label);
            return label;
        };
        step(1, QStringLiteral("Open **Settings**"));
        step(2, QStringLiteral("Tap **Bluetooth**"));
        QLabel* third = step(3, QString());
        layout->addSpacing(8);
        auto* note = richLabel(bolded(QStringLiteral(
                                   "If iOS asks what kind of device it is, choose **Other Device**, not Headphones.")),
                               content);
        layout->addWidget(note);
        layout->addSpacing(8);
        auto* status = richLabel(QString(), content);
        layout->addWidget(status);
        layout->addStretch(1);
        auto name = std::make_shared<QString>();
        addPage(QStringLiteral("Phone setup"), QStringLiteral("Pair your iPhone with this computer"),
                {QStringLiteral("One time only. On your iPhone:")}, content, QStringLiteral("Continue"),
                [this, third, status, name](const AppModel::State& state) {
                    if (name->isEmpty())
                        *name = QString::fromStdString(model_.computerBluetoothName());
                    third->setText(QStringLiteral("<span style=\"color:%1\"><b>3</b></span>&nbsp;&nbsp;")
                                       .arg(Theme::accent().name()) +
                                   bolded(QStringLiteral("Tap **“") + *name +
                                          QStringLiteral("”** — under Other Devices the first time, My Devices after that")));
                    const bool ready = state.bluetooth == BluetoothHID::State::ready;
                    status->setText(ready ? Theme::dot(Theme::success()) +
                                                QStringLiteral("Connected — Bluetooth keyboard and pointer are ready")
                                          : Theme::dot(Theme::warning()) + QStringLiteral("Waiting for your iPhone…"));
                });
    }

    // calibration
    {
        const PhoneColumn parts = phoneColumn();
        QWidget* content = parts.content;
        PhoneView* phone = parts.phone;
        QVBoxLayout* side = parts.column;
        auto* run = new QPushButton(content);
        connect(run, &QPushButton::clicked, content, [this] { model_.calibrate(); });
        side->addWidget(run, 0, Qt::AlignLeft);
        auto* result = richLabel(QString(), content);
        side->addWidget(result);
        side->addStretch(1);
        addPage(QStringLiteral("Phone setup"), QStringLiteral("Set up the pointer"),
                {QStringLiteral("Go to your iPhone's Home Screen and don't touch it for a few seconds. Pokescope moves "
                                "the pointer and measures how far it travels.")},
                content, QStringLiteral("Continue"), [phone, run, result](const AppModel::State& state) {
                    phone->setScreen(state.screen);
                    run->setText(state.calibration ? QStringLiteral("Measure again") : QStringLiteral("Start"));
                    run->setEnabled(!state.calibrating);
                    if (state.calibrating)
                        result->setText(Theme::dot(Theme::accent()) + QStringLiteral("Measuring… keep your hands off the iPhone."));
                    else if (state.calibrationError)
                        result->setText(QStringLiteral("<span style=\"color:%1\">⚠</span>&nbsp;")
                                            .arg(Theme::warning().name()) +
                                        QString::fromStdString(*state.calibrationError).toHtmlEscaped());
                    else if (state.calibration)
                        result->setText(Theme::dot(Theme::success()) +
                                        QString::asprintf("Pointer ready (%.1f × %.1f px per step)",
                                                          state.calibration->gainX, state.calibration->gainY));
                    else
                        result->setText(QString());
                });
    }

    // the agent
    {
        auto* panel = new AgentSetupPanel(model_);
        addPage(QStringLiteral("Last step"), QStringLiteral("Connect your agent"),
                {QStringLiteral("Pokescope runs a local MCP server on this computer. Point your agent at it.")}, panel,
                QStringLiteral("Done"), [panel](const AppModel::State& state) { panel->refresh(state); });
    }
}

void OnboardingView::showStep() {
    const int index = static_cast<int>(flow_.step());
    stack_->setCurrentIndex(index);
    primary_->setText(pages_[static_cast<std::size_t>(index)].primaryLabel);
    back_->setVisible(flow_.canGoBack());
    skip_->setVisible(flow_.canSkip());
    for (int i = 0; i < capsules_->count(); ++i) {
        auto* capsule = capsules_->itemAt(i)->widget();
        QColor colour = i == index ? Theme::text() : Theme::faint();
        if (i != index)
            colour.setAlphaF(0.5);
        capsule->setStyleSheet(QStringLiteral("background: %1; border-radius: 3px;").arg(colour.name(QColor::HexArgb)));
    }
    refresh();
}

void OnboardingView::refresh() {
    auto& model = model_;
    const auto state = model.snapshot();
    const auto selected = model.selectedPhone();
    const auto& page = pages_[static_cast<std::size_t>(flow_.step())];
    if (page.refresh)
        page.refresh(state);
    primary_->setEnabled(flow_.canContinue(state, selected));
}

} // namespace pokescope::ui
