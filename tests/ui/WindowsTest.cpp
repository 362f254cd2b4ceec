// The setup's steps, alone and walked with the simulated phone; the windows off screen; the drawing
// self-tests as a developer runs them, each writing its PNG through a private file that replaces (never
// follows) whatever is planted at the fixed name; and the window application's single instance.
#include "app/InstanceLock.hpp"
#include "app/PokescopeWindows.hpp"
#include "bluetooth/BluetoothHID.hpp"
#include "core/AppSettings.hpp"
#include "core/Log.hpp"
#include "model/AppModel.hpp"
#include "ui/BrandMark.hpp"
#include "ui/MainView.hpp"
#include "ui/MainWindow.hpp"
#include "ui/Onboarding.hpp"
#include "ui/OnboardingFlow.hpp"
#include "ui/SettingsView.hpp"
#include "ui/Widgets.hpp"

#include "tests/support/SimServices.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTextDocument>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

using namespace pokescope;
using namespace pokescope::test;
using Step = ui::OnboardingFlow::Step;
using namespace std::chrono_literals;

namespace {

// Share of pixels in `area` that differ from the area's first pixel: 0 for a blank area.
double busy(const QImage& image, QRect area) {
    const QRgb first = image.pixel(area.topLeft());
    int differing = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            differing += image.pixel(x, y) != first;
    return static_cast<double>(differing) / (area.width() * area.height());
}

// What the flow asked of the Bluetooth link and the model, in order.
struct Recorder {
    std::vector<std::string> calls;
    ui::OnboardingFlow::Hooks hooks() {
        return {[this](bool on) { calls.push_back(on ? "pairing on" : "pairing off"); },
                [this] { calls.push_back("discoverable"); }, [this] { calls.push_back("finish"); }};
    }
};

// A state in which every step's condition holds.
AppModel::State everythingReady() {
    AppModel::State state;
    state.cameraStatus = CaptureBackend::Permission::authorized;
    state.bluetoothAuth = AppModel::BluetoothAuthorization::allowedAlways;
    state.screen = std::make_shared<Image>(4, 4, Image::Format::bgra);
    state.assistiveTouchOn = true;
    state.bluetooth = BluetoothHID::State::ready;
    state.calibration = Calibration{2, 2, 0, 0, {}, {}, {}, {}, {}};
    return state;
}

PhoneInfo trustedPhone() { return {"u1", "iPhone", "", "", "aa:bb:cc:dd:ee:ff", true}; }

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

struct Run {
    int status = -1;
    std::string output;
};

Run selftest(const TempHome& home, const std::vector<std::string>& arguments) {
    std::vector<std::string> command{binaryPath().string(), "--selftest"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    Child child(command, home.environment());
    auto status = child.wait(90s);
    return {status.value_or(-1), child.output() + child.errors()};
}

// Runs a drawing self-test that must succeed and say `said`; the picture it left at `file`.
QImage rendered(const TempHome& home, const std::vector<std::string>& arguments, const std::string& said,
                const char* file) {
    auto run = selftest(home, arguments);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find(said), std::string::npos) << run.output;
    return QImage(file);
}

} // namespace

TEST(OnboardingFlow, WalksTheSevenStepsInOrderAndFinishesOnDone) {
    Recorder recorder;
    ui::OnboardingFlow flow(recorder.hooks());
    const auto state = everythingReady();
    const auto phone = trustedPhone();
    std::vector<Step> seen{flow.step()};
    for (int i = 0; i < ui::OnboardingFlow::kStepCount - 1; ++i) {
        ASSERT_TRUE(flow.primary(state, phone));
        seen.push_back(flow.step());
    }
    EXPECT_EQ(seen, (std::vector<Step>{Step::welcome, Step::permissions, Step::choosePhone, Step::screen, Step::pair,
                                       Step::calibrate, Step::agent}));
    ASSERT_TRUE(flow.primary(state, phone)); // "Done"
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"pairing off", "pairing off", "pairing off", "pairing on",
                                                        "discoverable", "pairing off", "pairing off", "finish"}));
    EXPECT_EQ(flow.step(), Step::welcome); // a setup shown again starts at the beginning
}

TEST(OnboardingFlow, EachStepWaitsForItsOwnConditionAndWelcomeHasNeitherBackNorSkip) {
    using Permission = CaptureBackend::Permission;
    using Auth = AppModel::BluetoothAuthorization;
    const auto ready = everythingReady();
    const auto phone = trustedPhone();
    auto without = [&](std::function<void(AppModel::State&)> change) {
        auto state = ready;
        change(state);
        return state;
    };
    auto can = [](Step step, const AppModel::State& state, const std::optional<PhoneInfo>& selected) {
        return ui::OnboardingFlow::canContinue(step, state, selected);
    };
    AppModel::State nothing;
    nothing.bluetoothAuth = Auth::notDetermined;
    EXPECT_TRUE(can(Step::welcome, nothing, std::nullopt));
    EXPECT_TRUE(can(Step::agent, nothing, std::nullopt));

    // Each step's own condition (the walk above shows they all hold when ready). Permissions: both.
    EXPECT_FALSE(can(Step::permissions, without([](auto& s) { s.cameraStatus = Permission::notDetermined; }), phone));
    EXPECT_FALSE(can(Step::permissions, without([](auto& s) { s.bluetoothAuth = Auth::denied; }), phone));

    PhoneInfo untrusted = phone;
    untrusted.paired = false;
    EXPECT_FALSE(can(Step::choosePhone, ready, untrusted));
    EXPECT_FALSE(can(Step::choosePhone, ready, std::nullopt));

    // A screen and AssistiveTouch reported on (not merely unknown).
    EXPECT_FALSE(can(Step::screen, without([](auto& s) { s.screen = nullptr; }), phone));
    EXPECT_FALSE(can(Step::screen, without([](auto& s) { s.assistiveTouchOn = std::nullopt; }), phone));
    EXPECT_FALSE(can(Step::screen, without([](auto& s) { s.assistiveTouchOn = false; }), phone));

    // Only a ready link, not a connected one still setting up.
    for (auto link : {BluetoothHID::State::off, BluetoothHID::State::waiting, BluetoothHID::State::connected})
        EXPECT_FALSE(can(Step::pair, without([link](auto& s) { s.bluetooth = link; }), phone));

    EXPECT_FALSE(can(Step::calibrate, without([](auto& s) { s.calibration.reset(); }), phone));

    // The welcome step has neither back nor skip; a primary button whose condition fails does nothing.
    Recorder recorder;
    ui::OnboardingFlow flow(recorder.hooks());
    EXPECT_FALSE(flow.canGoBack());
    EXPECT_FALSE(flow.canSkip());
    flow.skip();
    flow.back();
    EXPECT_EQ(flow.step(), Step::welcome);
    EXPECT_TRUE(recorder.calls.empty());
    auto state = everythingReady();
    ASSERT_TRUE(flow.primary(state, trustedPhone()));
    state.cameraStatus = CaptureBackend::Permission::denied;
    EXPECT_FALSE(flow.primary(state, trustedPhone()));
    EXPECT_EQ(flow.step(), Step::permissions);
}

// Walks a fresh flow to the pairing step.
static void toPairing(ui::OnboardingFlow& flow) {
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(flow.primary(everythingReady(), trustedPhone()));
    ASSERT_EQ(flow.step(), Step::pair);
}

// Back, skip (pairing ends before the setup is marked done) or the window closing while the pairing
// instructions show all end pairing mode.
TEST(OnboardingFlow, LeavingThePairingStepAnyWayEndsPairingModeAndSkipOnAnyLaterStepFinishesAtOnce) {
    using Calls = std::vector<std::string>;
    const std::pair<std::function<void(ui::OnboardingFlow&)>, Calls> ways[] = {
        {[](auto& flow) { flow.back(); EXPECT_EQ(flow.step(), Step::screen); }, {"discoverable", "pairing off"}},
        {[](auto& flow) { flow.skip(); }, {"pairing off", "finish"}},
        {[](auto& flow) { flow.leave(); }, {"discoverable", "pairing off"}}};
    for (const auto& [leave, last] : ways) {
        Recorder recorder;
        ui::OnboardingFlow flow(recorder.hooks());
        toPairing(flow);
        EXPECT_EQ(Calls(recorder.calls.end() - 2, recorder.calls.end()), (Calls{"pairing on", "discoverable"}));
        leave(flow);
        EXPECT_EQ(Calls(recorder.calls.end() - 2, recorder.calls.end()), last);
    }
    // Leaving from another step leaves pairing mode alone (the headless model may be using it).
    Recorder recorder;
    ui::OnboardingFlow flow(recorder.hooks());
    ASSERT_TRUE(flow.primary(everythingReady(), trustedPhone()));
    const auto before = recorder.calls.size();
    flow.leave();
    EXPECT_EQ(recorder.calls.size(), before);

    for (int steps = 1; steps < ui::OnboardingFlow::kStepCount; ++steps) {
        Recorder recorder;
        ui::OnboardingFlow flow(recorder.hooks());
        for (int i = 0; i < steps; ++i)
            ASSERT_TRUE(flow.primary(everythingReady(), trustedPhone()));
        flow.skip();
        EXPECT_EQ(recorder.calls.back(), "finish") << steps;
        EXPECT_EQ(std::count(recorder.calls.begin(), recorder.calls.end(), "finish"), 1) << steps;
    }
}

TEST(OnboardingWithTheSimulatedPhone, EachStepOpensWhenThePhoneGetsThereAndDoneIsRemembered) {
    // A pointer measured before, so that the calibration step holds without a minute of measuring.
    sim::SimOptions options; // AssistiveTouch off: the screen step waits for it
    SimServices sim(options, SimServices::calibration());
    auto& phone = sim.phone;
    auto& main = *sim.main;
    auto& model = sim->model;
    main.run([&] { model.setPort(0); model.start(); });
    ui::OnboardingFlow flow(ui::OnboardingFlow::applicationHooks(model));
    auto press = [&] { return main.run([&] { return flow.primary(model.snapshot(), model.selectedPhone()); }); };
    auto canContinue = [&] { return main.run([&] { return flow.canContinue(model.snapshot(), model.selectedPhone()); }); };

    ASSERT_TRUE(press()); // welcome
    ASSERT_TRUE(eventually(canContinue)) << "permissions";
    ASSERT_TRUE(press());
    ASSERT_TRUE(eventually(canContinue)) << "the simulated phone, trusted, selected";
    EXPECT_EQ(model.selectedPhone()->udid, phone->identity().udid);
    ASSERT_TRUE(press());

    // The screen arrives, but AssistiveTouch is off: the step waits until it is turned on.
    ASSERT_TRUE(eventually([&] { return model.snapshot().screen != nullptr && model.snapshot().assistiveTouchOn; }));
    EXPECT_FALSE(canContinue());
    EXPECT_FALSE(press());
    main.run([&] { model.enableAssistiveTouch(); });
    ASSERT_TRUE(eventually(canContinue)) << "AssistiveTouch on";
    EXPECT_TRUE(phone->assistiveTouch());
    ASSERT_TRUE(press());

    ASSERT_EQ(flow.step(), Step::pair);
    EXPECT_TRUE(sim->hid.pairingMode());
    ASSERT_TRUE(eventually(canContinue)) << "the link ready";
    ASSERT_TRUE(press());
    EXPECT_FALSE(sim->hid.pairingMode());

    ASSERT_TRUE(canContinue()) << "the stored calibration";
    ASSERT_TRUE(press());
    ASSERT_EQ(flow.step(), Step::agent);
    ASSERT_TRUE(press());
    EXPECT_TRUE(model.snapshot().onboardingDone);
    // Remembered for the next start.
    auto stored = nlohmann::json::parse(readFile(sim->preferences.file()), nullptr, false);
    EXPECT_EQ(stored.value("onboardingDone", false), true) << readFile(sim->preferences.file());
    main.run([&] { sim->capture.stop(); });
}

TEST_F(Windows, TheMainWindowHasItsSizesShowsTheSetupUntilItIsDoneAndTheModelsProblems) {
    std::vector<std::string> calls;
    ui::OnboardingFlow::Hooks none;
    ui::MainWindow window(*watcher, recording(calls), none);
    EXPECT_EQ(std::tuple(window.windowTitle(), window.objectName(), window.size(), window.minimumSize()),
              std::tuple("Pokescope", "main", QSize(1100, 780), QSize(980, 720)));
    auto* stack = window.findChild<QStackedWidget*>();
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(stack->currentWidget(), window.onboarding());

    model.setOnboardingDone(true);
    pump();
    EXPECT_EQ(stack->currentWidget(), window.mainView());

    // "Run setup again" from the window's menu: the setup from its first step.
    auto actions = window.findChildren<QAction*>();
    auto again = std::ranges::find(actions, QString("Run setup again"), &QAction::text);
    ASSERT_NE(again, actions.end());
    (*again)->trigger();
    pump();
    EXPECT_FALSE(model.snapshot().onboardingDone);
    EXPECT_EQ(stack->currentWidget(), window.onboarding());
    EXPECT_EQ(window.onboarding()->flow().step(), ui::OnboardingFlow::Step::welcome);

    // A window opened after the setup was done starts at the main view.
    model.setOnboardingDone(true);
    ui::MainWindow later(*watcher, recording(calls), none);
    EXPECT_EQ(later.findChild<QStackedWidget*>()->currentWidget(), later.mainView());

    ui::MainView view(*watcher);
    view.resize(1100, 780);
    view.refresh();
    auto shows = [&](const QString& text) {
        return std::ranges::any_of(view.findChildren<QLabel*>(),
                                   [&](QLabel* label) { return label->text().contains(text); });
    };
    EXPECT_FALSE(shows("No screen to capture"));
    model.saveScreenshot(); // no screen here
    pump();
    EXPECT_TRUE(shows("No screen to capture — is the iPhone connected and unlocked?"));

    // The activity card wraps long lines, reads from the left, and shows each line once per event, even
    // two equal ones.
    auto* log = view.findChild<QPlainTextEdit*>("activityLog");
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(std::pair(log->lineWrapMode(), log->horizontalScrollBarPolicy()),
              std::pair(QPlainTextEdit::WidgetWidth, Qt::ScrollBarAlwaysOff));
    model.setPort(0); // its agent server on a port of the system's choosing
    model.start();
    Log::shared().add("test: the same line");
    Log::shared().add("test: the same line");
    Log::shared().add("test: " + std::string(400, 'w'));
    view.show();
    pump(300);
    view.refresh();
    pump(100);
    EXPECT_EQ(log->toPlainText().count("test: the same line"), 2);
    EXPECT_EQ(log->horizontalScrollBar()->value(), 0);
    EXPECT_GT(log->document()->lineCount(), log->document()->blockCount()); // the long line wrapped
}

TEST_F(Windows, TheSetupsButtonsFollowItsStepAndASettingsEditReachesTheSettingsAtOnce) {
    ui::OnboardingFlow::Hooks hooks{[](bool) {}, [] {}, [this] { model.setOnboardingDone(true); }};
    ui::OnboardingView view(*watcher, nullptr, hooks);
    EXPECT_EQ(std::tuple(view.primaryButton()->text(), view.primaryButton()->isEnabled(), view.skipButton()->isHidden(),
                         view.backButton()->isHidden()),
              std::tuple("Get Started", true, true, true));
    view.primaryButton()->click();
    EXPECT_EQ(std::tuple(view.flow().step(), view.primaryButton()->text(), view.skipButton()->isHidden()),
              std::tuple(Step::permissions, "Continue", false));
    // Nothing is captured here: the camera is not allowed, so "Continue" stays off.
    EXPECT_FALSE(view.primaryButton()->isEnabled());
    view.primaryButton()->click();
    EXPECT_EQ(view.flow().step(), ui::OnboardingFlow::Step::permissions);
    view.skipButton()->click();
    EXPECT_TRUE(model.snapshot().onboardingDone);

    sim->settings.setRecordingLimitMinutes(45);
    ui::SettingsView settingsView(*watcher);
    auto* limit = settingsView.findChild<QComboBox*>("recordingLimit");
    ASSERT_NE(limit, nullptr);
    EXPECT_EQ(limit->currentText(), "45 minutes");
    limit->setCurrentIndex(limit->findText("Never"));
    EXPECT_EQ(sim->settings.recordingLimitMinutes(), 0); // the settings' own tests: stored at once

    auto* setup = settingsView.findChild<QPushButton*>("runSetup");
    ASSERT_NE(setup, nullptr);
    model.setOnboardingDone(true);
    pump();
    EXPECT_EQ(setup->text(), "Run setup again");
    setup->click();
    pump();
    EXPECT_FALSE(model.snapshot().onboardingDone);
    EXPECT_EQ(setup->text(), "Start");
}

TEST_F(Windows, TheTrayMenuTheMarksTwoStylesTheSettingsChoicesAndTheAgentPanelsTexts) {
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
    EXPECT_EQ(std::pair(qAlpha(filled.pixel(20, 16)), qAlpha(outlined.pixel(20, 16))), std::pair(255, 0));
    // The tray item reads on a white panel and on a black one: a good share of it stands out from each.
    for (bool ready : {true, false})
        for (QColor panel : {QColor(Qt::white), QColor(Qt::black), QColor(0xd6, 0xd6, 0xd6)}) {
            QImage onPanel(22, 22, QImage::Format_ARGB32_Premultiplied);
            onPanel.fill(panel);
            QPainter painter(&onPanel);
            painter.drawImage(0, 0, ui::BrandMark::trayImage(22, ready));
            painter.end();
            int standingOut = 0;
            for (int y = 0; y < 22; ++y)
                for (int x = 0; x < 22; ++x)
                    standingOut += std::abs(qGray(onPanel.pixel(x, y)) - qGray(panel.rgb())) > 120;
            EXPECT_GT(standingOut, 22 * 22 / 10) << ready << " on " << panel.name().toStdString();
        }
    const QImage icon = ui::BrandMark::iconImage(128); // its sizes and drawing: the icon set's self-test
    EXPECT_EQ(qAlpha(icon.pixel(0, 0)), 0);             // the tile's rounded corner
    EXPECT_EQ(qAlpha(icon.pixel(64, 64)), 255);

    using View = ui::SettingsView;
    for (long long usual : {10, 0, -5})
        EXPECT_EQ(View::limitChoices(usual), (std::vector<long long>{10, 30, 60, 120, 240, 0})) << usual;
    EXPECT_EQ(View::limitChoices(45), (std::vector<long long>{10, 30, 45, 60, 120, 240, 0}));
    EXPECT_EQ(View::limitChoices(500), (std::vector<long long>{10, 30, 60, 120, 240, 500, 0}));
    EXPECT_EQ(std::tuple(View::limitLabel(10), View::limitLabel(0)), std::tuple("10 minutes", "Never"));
    EXPECT_EQ(View::languageChoices({"en-US"}, ""), (QStringList{"", "en-US"}));
    EXPECT_EQ(View::languageChoices({"en-US"}, "en-US"), (QStringList{"", "en-US"}));
    EXPECT_EQ(View::languageChoices({"en-US"}, "fr-FR"), (QStringList{"", "en-US", "fr-FR"}));

    EXPECT_EQ(ui::AgentSetupPanel::configuration(model, 0).toStdString(), model.claudeCodeCommand());
    EXPECT_EQ(ui::AgentSetupPanel::configuration(model, 1).toStdString(), model.stdioConfigJSON());
    EXPECT_EQ(ui::AgentSetupPanel::configuration(model, 2).toStdString(), model.urlConfigJSON());
    EXPECT_EQ(ui::serverLine(true, 47811), "MCP server running at http://127.0.0.1:47811/mcp");
    EXPECT_EQ(ui::serverLine(false, 47811), "MCP server isn't running (port 47811 busy?)");

    // The recording sizes come from the recorder's bit rates (8 and 3 Mbit/s of video, 160 kbit/s of sound).
    ui::SettingsView settings(*watcher);
    QStringList labels;
    for (auto* label : settings.findChildren<QLabel*>())
        labels << label->text();
    EXPECT_TRUE(labels.contains("Up to about 61 MB per minute")) << labels.join(" | ").toStdString();
    EXPECT_TRUE(labels.contains("Up to about 24 MB per minute, about two-thirds size")) << labels.join(" | ").toStdString();
}

TEST(RenderModes, WelcomeIsTheSetupsFirstStepAndMainTheMainViewAtTheWindowsDefaultSizeShowingThePhoneLive) {
    TempHome home;
    // A symlink planted at the fixed name is replaced, not followed.
    const std::filesystem::path welcome = "/tmp/pokescope-welcome.png", victim = home.path() / "victim";
    writeFile(victim, "keep me");
    std::filesystem::remove_all(welcome);
    std::filesystem::create_symlink(victim, welcome);
    QImage image = rendered(home, {"render-welcome"}, "selftest rendered welcome", welcome.c_str());
    EXPECT_EQ(readFile(victim), "keep me");
    EXPECT_FALSE(std::filesystem::is_symlink(welcome));
    ASSERT_EQ(image.size(), QSize(980, 720));
    EXPECT_GT(busy(image, QRect(420, 190, 140, 130)), 0.3);  // the product tile
    EXPECT_GT(busy(image, QRect(200, 330, 580, 60)), 0.05);  // the title
    EXPECT_GT(busy(image, QRect(780, 660, 150, 40)), 0.3);   // "Get Started"
    EXPECT_LT(busy(image, QRect(20, 20, 150, 150)), 0.01);   // a calm background

    // The main view at the window's default size, and then with the phone live.
    image = rendered(home, {"render-main"}, "selftest rendered main 1100x780", "/tmp/pokescope-main.png");
    ASSERT_EQ(image.size(), QSize(1100, 780));
    EXPECT_GT(busy(image, QRect(30, 80, 280, 600)), 0.05);   // the phone card
    EXPECT_GT(busy(image, QRect(340, 20, 740, 200)), 0.05);  // status, recording
    EXPECT_GT(busy(image, QRect(340, 240, 740, 240)), 0.05); // the agent's texts
    const double emptyPhone = busy(image, QRect(60, 150, 220, 350));

    // With the simulated phone the view shows it live (same file name: one test, one after the other).
    image = rendered(home, {"render-main", "--simulate", "--port", "0"}, "selftest rendered main",
                     "/tmp/pokescope-main.png");
    ASSERT_EQ(image.size(), QSize(1100, 780));
    // The home screen's icons, where the empty phone is one flat colour with a line of text.
    EXPECT_GT(busy(image, QRect(60, 150, 220, 350)), 0.5);
    EXPECT_LT(emptyPhone, 0.1);
}

TEST(RenderModes, SettingsShowsEverySectionWithoutScrollingAndTheWindowModeCapturesTheRealSettingsWindow) {
    TempHome home;
    auto run = selftest(home, {"render-settings"});
    EXPECT_EQ(run.status, 0) << run.output;
    auto at = run.output.find("selftest rendered settings 560x");
    ASSERT_NE(at, std::string::npos) << run.output;
    QImage image("/tmp/pokescope-settings.png");
    ASSERT_EQ(image.width(), 560);
    EXPECT_GT(image.height(), 900); // seven sections
    EXPECT_EQ(run.output.substr(at, 36).find(std::to_string(image.height())), 31u) << run.output.substr(at, 40);
    for (int y = 40; y + 100 < image.height(); y += 200)
        EXPECT_GT(busy(image, QRect(20, y, 500, 100)), 0.02) << "at " << y;

    image = rendered(home, {"window-settings"}, "selftest settings window 560x720, screen ",
                     "/tmp/pokescope-settings-window.png");
    ASSERT_EQ(image.size(), QSize(560, 720));
    EXPECT_GT(busy(image, QRect(20, 20, 500, 300)), 0.05);
}

TEST(RenderModes, TheIconSetHasTenFilesAtTheirSizesAndSharedFoldersAreRefused) {
    TempHome home;
    const auto folder = home.path() / "AppIcon.iconset";
    auto run = selftest(home, {"render-icon", folder.string()});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("selftest wrote iconset to " + folder.string()), std::string::npos) << run.output;
    for (int size : {16, 32, 128, 256, 512})
        for (int scale : {1, 2}) {
            const std::string name = "icon_" + std::to_string(size) + "x" + std::to_string(size) +
                                     (scale == 2 ? "@2x" : "") + ".png";
            QImage image(QString::fromStdString((folder / name).string()));
            const int s = size * scale;
            ASSERT_EQ(image.size(), QSize(s, s)) << name;
            EXPECT_GT(busy(image, QRect(s / 4, s / 4, s / 2, s / 2)), 0.1) << name;
        }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 10);

    const auto shared = home.path() / "shared.iconset";
    std::filesystem::create_directory(shared);
    ::chmod(shared.c_str(), 0777);
    run = selftest(home, {"render-icon", shared.string()});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("selftest couldn't write " + shared.string()), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("selftest wrote iconset"), std::string::npos) << run.output;
    EXPECT_TRUE(std::filesystem::is_empty(shared));
    TempFolder elsewhere;
    const auto link = home.path() / "linked.iconset";
    std::filesystem::create_directory_symlink(elsewhere.path(), link);
    run = selftest(home, {"render-icon", link.string()});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path()));
}

TEST(WindowApplication, ASecondStartShowsTheRunningWindowAndExitsZeroAndADisplayThatDoesNotAnswerMeansNoWindowsNotACrash) {
    TempHome home;
    const int port = freePort();
    auto environment = home.environment();
    environment.push_back("QT_QPA_PLATFORM=offscreen");
    Child first({binaryPath().string(), "--port", std::to_string(port)}, environment);
    ASSERT_TRUE(first.waitForLine("app: Pokescope 0.1.0 with windows", 60s)) << first.output() << first.errors();
    // The offscreen platform has no tray: closing the window would quit, and the log says so.
    EXPECT_NE(first.output().find("app: this desktop has no system tray; closing the window quits Pokescope"),
              std::string::npos);
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(InstanceLock::socketPathFor(static_cast<std::uint16_t>(port))); }));

    Child second({binaryPath().string(), "--port", std::to_string(port)}, environment);
    auto status = second.wait(60s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0) << second.errors();
    EXPECT_NE(second.errors().find("already running on port " + std::to_string(port) + "; showing its window"),
              std::string::npos)
        << second.errors();
    // The second start left the first one's log alone.
    EXPECT_EQ(second.output().find("app: Pokescope"), std::string::npos);
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(30s), 0);

    // A display that does not answer means no windows, not a crash.
    environment = home.environment();
    environment.push_back("DISPLAY=:57"); // no X server listens there
    Child app({binaryPath().string(), "--port", "0"}, environment);
    auto line = app.waitForLine("running without windows", 60s);
    ASSERT_TRUE(line) << app.output() << app.errors();
    EXPECT_NE(line->find("app: Pokescope 0.1.0 running without windows (the display :57 does not answer)"),
              std::string::npos)
        << *line;
    ASSERT_TRUE(app.waitForLine("mcp: listening on http://127.0.0.1:", 30s)) << app.output();
    app.signal(SIGTERM);
    EXPECT_EQ(app.wait(30s), 0);
}
