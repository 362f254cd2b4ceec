// The main window's view once the setup is done: the phone and its pointer, permissions and link, the
// recording and screenshot controls, how to connect an agent, and the activity log, all live from the
// application model. Every problem the model reports shows as its sentence.
#pragma once

#include "model/AppModel.hpp"

#include <QWidget>

#include <cstdint>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace pokescope::ui {

class ModelWatcher;

class AgentSetupPanel;
class PhoneView;

class MainView : public QWidget {
public:
    explicit MainView(ModelWatcher& watcher, QWidget* parent = nullptr);
    void refresh();

private:
    ModelWatcher& watcher_;
    AppModel& model_;
    PhoneView* phone_;
    QLabel* status_;
    QLabel* phoneDetails_;
    QLabel* permissions_;
    QLabel* pointer_;
    QPushButton* calibrate_;
    QPushButton* connectAgain_;
    QPushButton* record_;
    QPushButton* screenshot_;
    QLabel* recordingState_;
    QLabel* lastRecording_;
    QPushButton* openRecording_;
    QPushButton* revealRecording_;
    QLabel* lastScreenshot_;
    QPushButton* openScreenshot_;
    QPushButton* revealScreenshot_;
    QLabel* problems_;
    AgentSetupPanel* agent_;
    QLabel* activity_;
    QPlainTextEdit* log_;
    std::uint64_t shownLogLines_ = 0; // of the model's count of lines ever added
};

// "12.3 MB", "840 KB".
QString fileSize(std::int64_t bytes);
// "1:05" for 65 seconds, "1:02:03" past an hour.
QString duration(double seconds);

} // namespace pokescope::ui
