#include "ui/SettingsView.hpp"

#include "core/Log.hpp"
#include "model/AppModel.hpp"
#include "platform/Paths.hpp"
#include "ui/Theme.hpp"
#include "ui/Widgets.hpp"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

namespace pokescope::ui {

namespace {

QCheckBox* toggle(QBoxLayout* layout, QWidget* parent, const QString& label, bool value,
                  std::function<void(bool)> set, const QString& note = {}) {
    auto* box = new QCheckBox(label, parent);
    box->setChecked(value);
    QObject::connect(box, &QCheckBox::toggled, parent, std::move(set));
    layout->addWidget(box);
    if (!note.isEmpty()) {
        auto* text = Theme::secondary(note, parent);
        text->setContentsMargins(24, 0, 0, 4);
        layout->addWidget(text);
    }
    return box;
}

// One choice of a group: the radio button, then its note; `choose` runs when it is picked.
QRadioButton* choice(QBoxLayout* layout, QWidget* parent, QButtonGroup* group, const QString& label,
                     const QString& note, bool checked, std::function<void()> choose) {
    auto* radio = new QRadioButton(label, parent);
    radio->setChecked(checked);
    group->addButton(radio);
    QObject::connect(radio, &QRadioButton::toggled, parent, [choose = std::move(choose)](bool on) {
        if (on)
            choose();
    });
    layout->addWidget(radio);
    auto* text = Theme::secondary(note, parent);
    text->setContentsMargins(24, 0, 0, 2);
    layout->addWidget(text);
    return radio;
}

void openFolder(const std::filesystem::path& folder) {
    QDir().mkpath(QString::fromStdString(folder.string()));
    QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder.string())));
}

} // namespace

std::vector<long long> SettingsView::limitChoices(long long stored) {
    std::vector<long long> choices{10, 30, 60, 120, 240, 0};
    const long long normalised = stored < 1 ? 0 : stored;
    if (std::find(choices.begin(), choices.end(), normalised) == choices.end())
        choices.insert(std::find_if(choices.begin(), choices.end(),
                                    [&](long long c) { return c == 0 || c > normalised; }),
                       normalised);
    return choices;
}

QString SettingsView::limitLabel(long long minutes) {
    return minutes < 1 ? QStringLiteral("Never") : QStringLiteral("%1 minutes").arg(minutes);
}

QStringList SettingsView::languageChoices(const std::vector<std::string>& offline, const std::string& stored) {
    QStringList choices{QString()};
    for (const auto& language : offline)
        if (!language.empty() && !choices.contains(QString::fromStdString(language)))
            choices << QString::fromStdString(language);
    if (!stored.empty() && !choices.contains(QString::fromStdString(stored)))
        choices << QString::fromStdString(stored);
    return choices;
}

SettingsView::SettingsView(ModelWatcher& watcher, QWidget* parent)
    : QWidget(parent), watcher_(watcher), model_(watcher.model()) {
    const auto& settings = model_.settings();
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    outer->addWidget(scroll);
    auto* body = new QWidget(scroll);
    body_ = body;
    scroll->setWidget(body);
    auto* layout = new QVBoxLayout(body);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(14);

    // Recording
    {
        QBoxLayout* box;
        layout->addWidget(Theme::card(QStringLiteral("Recording"), body, &box));
        toggle(box, body, QStringLiteral("Record the iPhone's sound"), settings.recordAudio(),
               [this](bool on) { model_.setRecordAudio(on); },
               QStringLiteral("Only the iPhone's own sound, never this computer's microphone."));
        toggle(box, body, QStringLiteral("Show the agent's actions"), settings.showActions(),
               [this](bool on) { model_.setShowActions(on); },
               QStringLiteral("Taps, swipes and typing are drawn on the video."));
        auto* limitRow = new QHBoxLayout();
        limitRow->addWidget(new QLabel(QStringLiteral("Stop recording after"), body));
        auto* limit = new QComboBox(body);
        limit->setObjectName("recordingLimit");
        for (long long minutes : limitChoices(settings.recordingLimitMinutes()))
            limit->addItem(limitLabel(minutes), QVariant::fromValue(minutes));
        limit->setCurrentIndex(limit->findData(QVariant::fromValue(
            settings.recordingLimitMinutes() < 1 ? 0LL : settings.recordingLimitMinutes())));
        connect(limit, &QComboBox::currentIndexChanged, body, [this, limit](int index) {
            model_.setRecordingLimitMinutes(limit->itemData(index).toLongLong());
        });
        limitRow->addWidget(limit);
        limitRow->addStretch(1);
        box->addLayout(limitRow);
        box->addWidget(new QLabel(QStringLiteral("Quality"), body));
        auto* group = new QButtonGroup(body);
        auto quality = [&](const QString& label, const QString& note, AppSettings::Quality value) {
            choice(box, body, group, label, note, settings.quality() == value, [this, value] { model_.setQuality(value); });
        };
        // A busy screen fills the bit rate; a still one takes far less.
        auto size = [](AppSettings::Quality value) {
            return QStringLiteral("Up to about %1 MB per minute").arg(AppSettings::megabytesPerMinute(value));
        };
        quality(QStringLiteral("Full resolution"), size(AppSettings::Quality::full), AppSettings::Quality::full);
        quality(QStringLiteral("Smaller files"), size(AppSettings::Quality::smaller) + QStringLiteral(", about two-thirds size"),
                AppSettings::Quality::smaller);
    }

    // The phone's sound
    {
        QBoxLayout* box;
        layout->addWidget(Theme::card(QStringLiteral("iPhone sound"), body, &box));
        toggle(box, body, QStringLiteral("Keep the iPhone's sound connected"), settings.keepAudioConnected(),
               [this](bool on) { model_.setKeepAudioConnected(on); },
               QStringLiteral("Recordings and transcripts start without a silent gap."));
        toggle(box, body, QStringLiteral("Play the iPhone's sound on this computer"), settings.playAudioOnMac(),
               [this](bool on) { model_.setPlayAudioOnMac(on); },
               QStringLiteral("Recordings and transcripts get the sound either way."));
    }

    // Transcription
    {
        QBoxLayout* box;
        layout->addWidget(Theme::card(QStringLiteral("Transcription"), body, &box));
        toggle(box, body, QStringLiteral("Offer transcription to agents"), settings.transcriptionEnabled(),
               [this](bool on) { model_.setTranscriptionEnabled(on); },
               QStringLiteral("Agents see the transcription tools the next time they connect. Speech is "
                              "recognised on this computer; no sound leaves it."));
        auto* row = new QHBoxLayout();
        row->addWidget(new QLabel(QStringLiteral("Language"), body));
        auto* language = new QComboBox(body);
        language->setObjectName("transcriptionLanguage");
        const std::string stored = settings.transcriptionLanguage();
        for (const auto& choice : languageChoices(model_.offlineLanguages(), stored))
            language->addItem(choice.isEmpty() ? QStringLiteral("This computer's language") : choice, choice);
        language->setCurrentIndex(std::max(0, language->findData(QString::fromStdString(stored))));
        connect(language, &QComboBox::currentIndexChanged, body, [this, language](int index) {
            model_.setTranscriptionLanguage(language->itemData(index).toString().toStdString());
        });
        row->addWidget(language);
        row->addStretch(1);
        box->addLayout(row);
    }

    // Screenshots
    {
        QBoxLayout* box;
        layout->addWidget(Theme::card(QStringLiteral("Screenshots"), body, &box));
        toggle(box, body, QStringLiteral("Copy screenshots to the clipboard"), settings.copyScreenshots(),
               [this](bool on) { model_.setCopyScreenshots(on); });
    }

    // The pointer
    {
        QBoxLayout* box;
        layout->addWidget(Theme::card(QStringLiteral("Pointer"), body, &box));
        auto* group = new QButtonGroup(body);
        auto timing = [&](const QString& label, const QString& note, AppSettings::PointerTiming value,
                          const char* name) {
            choice(box, body, group, label, note, settings.pointerTiming() == value,
                   [this, value] { model_.setPointerTiming(value); })
                ->setObjectName(name);
        };
        timing(QStringLiteral("Adaptive timing"),
               QStringLiteral("Each step waits only until the screen shows it. Fastest."),
               AppSettings::PointerTiming::adaptive, "pointerTimingAdaptive");
        timing(QStringLiteral("Fixed timing"),
               QStringLiteral("Each step waits its full time. Slower; try it if taps miss on your iPhone."),
               AppSettings::PointerTiming::exact, "pointerTimingExact");
    }

    // Files
    {
        QBoxLayout* box;
        layout->addWidget(Theme::card(QStringLiteral("Files"), body, &box));
        auto* row = new QHBoxLayout();
        auto* shots = new QPushButton(QStringLiteral("Open Screenshots Folder"), body);
        connect(shots, &QPushButton::clicked, body, [] { openFolder(Paths::screenshots()); });
        auto* movies = new QPushButton(QStringLiteral("Open Recordings Folder"), body);
        connect(movies, &QPushButton::clicked, body, [] { openFolder(Paths::recordings()); });
        auto* log = new QPushButton(QStringLiteral("Open Log"), body);
        connect(log, &QPushButton::clicked, body, [] {
            QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(Log::shared().file().string())));
        });
        row->addWidget(shots);
        row->addWidget(movies);
        row->addWidget(log);
        row->addStretch(1);
        box->addLayout(row);
    }

    // Updates
    {
        QBoxLayout* box;
        layout->addWidget(Theme::card(QStringLiteral("Updates"), body, &box));
        const auto updates = model_.updates();
        auto* automatic = new QCheckBox(QStringLiteral("Check for updates automatically"), body);
        automatic->setChecked(updates.automatic);
        automatic->setEnabled(updates.canCheck);
        box->addWidget(automatic);
        auto* check = new QPushButton(QStringLiteral("Check for Updates…"), body);
        check->setEnabled(updates.canCheck);
        box->addWidget(check, 0, Qt::AlignLeft);
        if (!updates.canCheck)
            box->addWidget(Theme::secondary(QString::fromStdString(updates.reason), body));
        box->addWidget(Theme::secondary(QStringLiteral("Version ") + QString::fromStdString(updates.version), body));
    }

    // The first-run setup
    {
        QBoxLayout* box;
        layout->addWidget(Theme::card(QStringLiteral("Setup"), body, &box));
        box->addWidget(Theme::secondary(
            QStringLiteral("The setup walks through permissions, choosing the iPhone, pairing and the pointer."), body));
        setup_ = new QPushButton(body);
        setup_->setObjectName("runSetup");
        connect(setup_, &QPushButton::clicked, body, [this] { model_.setOnboardingDone(false); });
        box->addWidget(setup_, 0, Qt::AlignLeft);
    }
    layout->addStretch(1);
    connect(&watcher_, &ModelWatcher::changed, this, [this] { refresh(); });
    refresh();
}

QSize SettingsView::fullSize() const { return body_->sizeHint().expandedTo(QSize(560, 0)); }

void SettingsView::refresh() {
    setup_->setText(model_.snapshot().onboardingDone ? QStringLiteral("Run setup again")
                                                                 : QStringLiteral("Start"));
}

} // namespace pokescope::ui
