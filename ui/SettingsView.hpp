// The settings window's view: recording, the phone's sound, transcription, screenshots, files, updates
// and the first-run setup. Every edit goes straight to the settings store; there is no save step.
#pragma once

#include "model/AppModel.hpp"

#include <QStringList>
#include <QWidget>

#include <string>
#include <vector>

class QPushButton;

namespace pokescope::ui {

class ModelWatcher;

class SettingsView : public QWidget {
public:
    explicit SettingsView(ModelWatcher& watcher, QWidget* parent = nullptr);
    void refresh();
    // The size that shows every section without scrolling.
    QSize fullSize() const;

    // The recording limits offered, in order, with the stored value added when it is not among them.
    static std::vector<long long> limitChoices(long long stored);
    static QString limitLabel(long long minutes);
    // The languages offered: the recogniser's offline languages, with the stored one added when missing
    // (the empty value, "this computer's language", always comes first).
    static QStringList languageChoices(const std::vector<std::string>& offline, const std::string& stored);

private:
    ModelWatcher& watcher_;
    AppModel& model_;
    QPushButton* setup_;
    QWidget* body_;
};

} // namespace pokescope::ui
