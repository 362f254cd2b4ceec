// The windows off screen: the main window's size and what it shows, the tray menu's entries and their
// states, the settings' choices and that an edit reaches the settings store, the agent panel's texts,
// and the mark in its two tray styles.
#include "model/AppModel.hpp"
#include "core/AppSettings.hpp"
#include "app/PokescopeWindows.hpp"
#include "bluetooth/BluetoothHID.hpp"
#include "platform/Paths.hpp"
#include "tests/support/SimServices.hpp"
#include "tests/ui/ImageChecks.hpp"
#include "ui/BrandMark.hpp"
#include "ui/MainView.hpp"
#include "ui/MainWindow.hpp"
#include "ui/Onboarding.hpp"
#include "ui/SettingsView.hpp"
#include "ui/Widgets.hpp"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QElapsedTimer>
#include <QPainter>
#include <QPushButton>
#include <QStackedWidget>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace pokescope;
using namespace pokescope::test;

namespace {

class Windows : public testing::Test {
protected:
    SimServices sim{SimServices::withPointer(), std::nullopt, false}; // Qt's loop runs the main queue
    AppModel& model = sim->model;
    std::unique_ptr<ui::ModelWatcher> watcher;

    void SetUp() override {
        PokescopeWindows::createApplication(true);
        watcher = std::make_unique<ui::ModelWatcher>(model);
    }
    void TearDown() override { watcher.reset(); }
    // Lets queued model changes and the views' redraw timer run.
    static void pump(int milliseconds = 150) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < milliseconds)
            QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    static ui::WindowActions recording(std::vector<std::string>& calls) {
        return {[&calls] { calls.push_back("show"); }, [&calls] { calls.push_back("settings"); },
                [&calls] { calls.push_back("quit"); }};
    }
};


} // namespace

TEST_F(Windows, TheMainWindowHasItsSizesAndShowsTheSetupUntilItIsDone) {
    std::vector<std::string> calls;
    ui::OnboardingFlow::Hooks none;
    ui::MainWindow window(*watcher, recording(calls), none);
    EXPECT_EQ(window.windowTitle(), "Pokescope");
    EXPECT_EQ(window.objectName(), "main");
    EXPECT_EQ(window.size(), QSize(1100, 780));
    EXPECT_EQ(window.minimumSize(), QSize(980, 720));
    auto* stack = window.findChild<QStackedWidget*>();
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(stack->currentWidget(), window.onboarding());

    model.setOnboardingDone(true);
    pump();
    EXPECT_EQ(stack->currentWidget(), window.mainView());

    // "Run setup again" from the window's menu: the setup from its first step.
    bool found = false;
    for (auto* action : window.findChildren<QAction*>())
        if (action->text() == "Run setup again") {
            found = true;
            action->trigger();
        }
    ASSERT_TRUE(found);
    pump();
    EXPECT_FALSE(model.snapshot().onboardingDone);
    EXPECT_EQ(stack->currentWidget(), window.onboarding());
    EXPECT_EQ(window.onboarding()->flow().step(), ui::OnboardingFlow::Step::welcome);

    // A window opened after the setup was done starts at the main view.
    model.setOnboardingDone(true);
    ui::MainWindow later(*watcher, recording(calls), none);
    EXPECT_EQ(later.findChild<QStackedWidget*>()->currentWidget(), later.mainView());
}

TEST_F(Windows, TheSetupsButtonsFollowItsStep) {
    std::vector<std::string> calls;
    ui::OnboardingFlow::Hooks hooks{[&calls](bool on) { calls.push_back(on ? "on" : "off"); }, [] {},
                                    [this] { model.setOnboardingDone(true); }};
    ui::OnboardingView view(*watcher, nullptr, hooks);
    EXPECT_EQ(view.primaryButton()->text(), "Get Started");
    EXPECT_TRUE(view.primaryButton()->isEnabled());
    EXPECT_TRUE(view.skipButton()->isHidden());
    EXPECT_TRUE(view.backButton()->isHidden());
    view.primaryButton()->click();
    EXPECT_EQ(view.flow().step(), ui::OnboardingFlow::Step::permissions);
    EXPECT_EQ(view.primaryButton()->text(), "Continue");
    EXPECT_FALSE(view.skipButton()->isHidden());
    // Nothing is captured here: the camera is not allowed, so "Continue" stays off.
    EXPECT_FALSE(view.primaryButton()->isEnabled());
    view.primaryButton()->click();
    EXPECT_EQ(view.flow().step(), ui::OnboardingFlow::Step::permissions);
    view.skipButton()->click();
    EXPECT_TRUE(model.snapshot().onboardingDone);
}

TEST_F(Windows, TheTrayMenuListsStatusReadAgainAtEachOpeningThenItsFourEntries) {
    std::vector<std::string> calls;
    int reads = 0;
    ui::TrayMenu menu(model, recording(calls), [&reads] {
        return QString("usb: Simulated iPhone\nbluetooth: ready %1").arg(++reads);
    });
    emit menu.aboutToShow();
    QStringList texts;
    std::vector<bool> enabled;
    for (auto* action : menu.actions()) {
        texts << (action->isSeparator() ? QString("—") : action->text());
        enabled.push_back(action->isEnabled());
    }
    // Read again on opening, the new lines replace the old: two status lines, the divider, four entries.
    EXPECT_EQ(texts, (QStringList{"usb: Simulated iPhone", "bluetooth: ready 2", "—", "Show Pokescope", "Settings…",
                                  "Check for Updates…", "Quit"}));
    // Status is not selectable; updates cannot be checked in this build.
    EXPECT_EQ(enabled, (std::vector<bool>{false, false, true, true, true, false, true}));
    menu.actions()[3]->trigger();
    menu.actions()[4]->trigger();
    menu.actions()[6]->trigger();
    EXPECT_EQ(calls, (std::vector<std::string>{"show", "settings", "quit"}));
}

TEST_F(Windows, SettingsOfferTheLimitsAndLanguagesWithTheStoredValueAdded) {
    using View = ui::SettingsView;
    EXPECT_EQ(View::limitChoices(10), (std::vector<long long>{10, 30, 60, 120, 240, 0}));
    EXPECT_EQ(View::limitChoices(0), (std::vector<long long>{10, 30, 60, 120, 240, 0}));
    EXPECT_EQ(View::limitChoices(-5), (std::vector<long long>{10, 30, 60, 120, 240, 0}));
    EXPECT_EQ(View::limitChoices(45), (std::vector<long long>{10, 30, 45, 60, 120, 240, 0}));
    EXPECT_EQ(View::limitChoices(500), (std::vector<long long>{10, 30, 60, 120, 240, 500, 0}));
    EXPECT_EQ(View::limitLabel(10), "10 minutes");
    EXPECT_EQ(View::limitLabel(0), "Never");
    EXPECT_EQ(View::languageChoices({"en-US"}, ""), (QStringList{"", "en-US"}));
    EXPECT_EQ(View::languageChoices({"en-US"}, "en-US"), (QStringList{"", "en-US"}));
    EXPECT_EQ(View::languageChoices({"en-US"}, "fr-FR"), (QStringList{"", "en-US", "fr-FR"}));
}

TEST_F(Windows, ASettingsEditGoesStraightToTheStore) {
    sim->settings.setRecordingLimitMinutes(45);
    ui::SettingsView view(*watcher);
    auto* limit = view.findChild<QComboBox*>("recordingLimit");
    ASSERT_NE(limit, nullptr);
    EXPECT_EQ(limit->currentText(), "45 minutes");
    limit->setCurrentIndex(limit->findText("Never"));
    EXPECT_EQ(sim->settings.recordingLimitMinutes(), 0);
    EXPECT_FALSE(sim->settings.recordingLimitSeconds());
    auto stored = nlohmann::json::parse(readFile(Paths::settingsFile()), nullptr, false);
    EXPECT_EQ(stored.value("recordingLimitMinutes", -1), 0);

    auto* setup = view.findChild<QPushButton*>("runSetup");
    ASSERT_NE(setup, nullptr);
    model.setOnboardingDone(true);
    pump();
    EXPECT_EQ(setup->text(), "Run setup again");
    setup->click();
    pump();
    EXPECT_FALSE(model.snapshot().onboardingDone);
    EXPECT_EQ(setup->text(), "Start");
}

TEST_F(Windows, TheAgentPanelOffersTheModelsTextsAndTheServerLine) {
    EXPECT_EQ(ui::AgentSetupPanel::instruction(0), "Run in your terminal:");
    EXPECT_EQ(ui::AgentSetupPanel::instruction(1), "Add to claude_desktop_config.json, then restart Claude Desktop:");
    EXPECT_EQ(ui::AgentSetupPanel::instruction(2), "Add to your client's MCP config (Streamable HTTP):");
    EXPECT_EQ(ui::AgentSetupPanel::configuration(model, 0).toStdString(), model.claudeCodeCommand());
    EXPECT_EQ(ui::AgentSetupPanel::configuration(model, 1).toStdString(), model.stdioConfigJSON());
    EXPECT_EQ(ui::AgentSetupPanel::configuration(model, 2).toStdString(), model.urlConfigJSON());
    EXPECT_EQ(ui::serverLine(true, 47811), "MCP server running at http://127.0.0.1:47811/mcp");
    EXPECT_EQ(ui::serverLine(false, 47811), "MCP server isn't running (port 47811 busy?)");
}

TEST_F(Windows, TheMarksTwoTrayStylesDifferAndNeitherIsBlank) {
    auto draw = [](ui::BrandMark::Style style) {
        QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        ui::BrandMark::paint(painter, QRectF(0, 0, 64, 64), style, Qt::white);
        painter.end();
        return image;
    };
    const QImage filled = draw(ui::BrandMark::Style::filled);
    const QImage outlined = draw(ui::BrandMark::Style::outlined);
    auto coverage = [](const QImage& image) {
        int opaque = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                opaque += qAlpha(image.pixel(x, y)) > 128;
        return opaque;
    };
    EXPECT_GT(coverage(outlined), 64 * 64 / 20);
    EXPECT_GT(coverage(filled), coverage(outlined) * 5 / 4); // filled is clearly heavier
    // Inside the phone's body, away from the ring: solid when filled, empty when outlined.
    EXPECT_EQ(qAlpha(filled.pixel(20, 16)), 255);
    EXPECT_EQ(qAlpha(outlined.pixel(20, 16)), 0);
    const QImage icon = ui::BrandMark::iconImage(128);
    EXPECT_EQ(icon.size(), QSize(128, 128));
    EXPECT_GT(busy(icon, QRect(32, 24, 64, 80)), 0.2); // the mark on the tile
    EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0);             // the tile's rounded corner
    EXPECT_EQ(qAlpha(icon.pixel(64, 64)), 255);
}

TEST_F(Windows, TheMainViewShowsTheModelsProblemsAsTheirSentences) {
    ui::MainView view(*watcher);
    view.resize(1100, 780);
    view.refresh();
    bool shown = false;
    for (auto* label : view.findChildren<QLabel*>())
        shown |= label->text().contains("No screen to capture");
    EXPECT_FALSE(shown);
    model.saveScreenshot(); // no screen here
    pump();
    for (auto* label : view.findChildren<QLabel*>())
        shown |= label->text().contains("No screen to capture — is the iPhone connected and unlocked?");
    EXPECT_TRUE(shown);
}
