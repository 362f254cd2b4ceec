// Pieces several views share: the model's change signal for Qt, the live phone picture, the agent
// set-up panel, and the link from the desktop (open, reveal, clipboard) to the application model.
#pragma once

#include "model/AppModel.hpp"

#include <QImage>
#include <QObject>
#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QTabBar;

namespace pokescope::ui {

// The application model's changes as one Qt signal on the main thread, at most about 25 times a second
// (frames alone change the model 15 times a second; every view redraws from one snapshot).
class ModelWatcher : public QObject {
    Q_OBJECT
public:
    explicit ModelWatcher(AppModel& model);
    ~ModelWatcher() override { model_.setOnChange(nullptr); }
    AppModel& model() const { return model_; }

signals:
    void changed();

private:
    void schedule();
    AppModel& model_;
    bool pending_ = false;
};

// A QImage sharing the frame's pixels (kept alive by the returned image).
QImage toQImage(const ImageRef& image);

// The phone's screen, scaled to fit with its proportions, with a text while there is none.
class PhoneView : public QWidget {
public:
    explicit PhoneView(QWidget* parent = nullptr);
    void setScreen(const ImageRef& screen);
    QSize sizeHint() const override { return {200, 420}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    ImageRef screen_;
};

// The three ways to connect an agent, each with its text to copy, and the server's state under them.
class AgentSetupPanel : public QWidget {
public:
    explicit AgentSetupPanel(AppModel& model, QWidget* parent = nullptr);
    void refresh(const AppModel::State& state);
    // The tab's instruction and text, for tests: 0 "Claude Code", 1 "Claude Desktop", 2 "Cursor / other".
    static QString instruction(int tab);
    static QString configuration(const AppModel& model, int tab);

private:
    void showTab(int tab);
    QTabBar* tabs_;
    QLabel* instruction_;
    QPlainTextEdit* text_;
    QLabel* server_;
    std::uint16_t shownPort_ = 0;
    AppModel& model_;
};

// "MCP server running at http://127.0.0.1:47811/mcp" or "MCP server isn't running (port 47811 busy?)".
QString serverLine(bool running, std::uint16_t port);

// Puts a text on the clipboard and says so on the button for a moment.
void copyText(const QString& text, QWidget* button);

// Hands the model what this desktop can do: open locations and files, show files in their folder, and
// put pictures on the clipboard.
void connectDesktop(AppModel& model);
bool openLocation(const QString& location);

} // namespace pokescope::ui
