// The first-run setup shown in the main window until it is done: seven steps, each with an eyebrow, a
// title, a short text, its content and one primary button that is enabled only while the application
// model reports that the step's condition holds.
#pragma once

#include "model/AppModel.hpp"

#include "ui/OnboardingFlow.hpp"

#include <QWidget>

#include <functional>
#include <vector>

class QLabel;
class QPushButton;
class QStackedWidget;
class QHBoxLayout;

namespace pokescope::ui {

class ModelWatcher;

class OnboardingView : public QWidget {
public:
    // The application's hooks unless others are given (tests).
    explicit OnboardingView(ModelWatcher& watcher, QWidget* parent = nullptr,
                            std::optional<OnboardingFlow::Hooks> hooks = std::nullopt);
    ~OnboardingView() override;

    OnboardingFlow& flow() { return flow_; }
    // Redraws from the model.
    void refresh();
    // Starts again at the welcome step (the setup was asked for again).
    void restart();
    // Shows `step` whatever the model's state (the render self-test draws every step).
    void show(OnboardingFlow::Step step) {
        flow_.setStep(step);
        showStep();
    }
    // The window is closing while the setup shows.
    void leave() { flow_.leave(); }

    QPushButton* primaryButton() const { return primary_; }
    QPushButton* skipButton() const { return skip_; }
    QPushButton* backButton() const { return back_; }

private:
    ModelWatcher& watcher_;
    AppModel& model_;
    struct Page {
        QWidget* widget = nullptr;
        QString primaryLabel;
        std::function<void(const AppModel::State&)> refresh;
    };
    void addPage(const QString& eyebrow, const QString& title, const QStringList& texts, QWidget* content,
                 const QString& primaryLabel, std::function<void(const AppModel::State&)> refresh);
    QWidget* welcomePage();
    void buildPages();
    void showStep();

    OnboardingFlow flow_;
    std::vector<Page> pages_;
    QStackedWidget* stack_;
    QHBoxLayout* capsules_;
    QPushButton* back_;
    QPushButton* skip_;
    QPushButton* primary_;
};

// Linux's counterpart of a privacy pane: what to do so that Pokescope may use the camera (the capture
// adapter's video device) or Bluetooth, as the README says.
QString permissionHelp(const QString& anchor);

} // namespace pokescope::ui
