// The setup's steps: their order, what each waits for, pairing mode exactly while the pairing step shows
// (however it is left), and the whole walk through the application model with the simulated phone.
#include "model/AppModel.hpp"
#include "tests/support/SimServices.hpp"
#include "ui/OnboardingFlow.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <thread>

using namespace pokescope;
using namespace pokescope::test;
using Step = ui::OnboardingFlow::Step;

namespace {

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
    state.calibration = Calibration{2, 2, 0, 0, {}, {}, {}, {}};
    return state;
}

PhoneInfo trustedPhone() {
    PhoneInfo phone;
    phone.udid = "u1";
    phone.paired = true;
    phone.bluetoothAddress = "aa:bb:cc:dd:ee:ff";
    return phone;
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

TEST(OnboardingFlow, EachStepWaitsForItsOwnCondition) {
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

    // Permissions: both, not one of the two.
    EXPECT_TRUE(can(Step::permissions, ready, phone));
    EXPECT_FALSE(can(Step::permissions, without([](auto& s) { s.cameraStatus = Permission::notDetermined; }), phone));
    EXPECT_FALSE(can(Step::permissions, without([](auto& s) { s.cameraStatus = Permission::denied; }), phone));
    EXPECT_FALSE(can(Step::permissions, without([](auto& s) { s.bluetoothAuth = Auth::denied; }), phone));
    EXPECT_FALSE(can(Step::permissions, without([](auto& s) { s.bluetoothAuth = Auth::notDetermined; }), phone));

    // A phone that trusts this computer.
    PhoneInfo untrusted = phone;
    untrusted.paired = false;
    EXPECT_TRUE(can(Step::choosePhone, ready, phone));
    EXPECT_FALSE(can(Step::choosePhone, ready, untrusted));
    EXPECT_FALSE(can(Step::choosePhone, ready, std::nullopt));

    // A screen and AssistiveTouch reported on (not merely unknown).
    EXPECT_TRUE(can(Step::screen, ready, phone));
    EXPECT_FALSE(can(Step::screen, without([](auto& s) { s.screen = nullptr; }), phone));
    EXPECT_FALSE(can(Step::screen, without([](auto& s) { s.assistiveTouchOn = std::nullopt; }), phone));
    EXPECT_FALSE(can(Step::screen, without([](auto& s) { s.assistiveTouchOn = false; }), phone));

    // Only a ready link, not a connected one still setting up.
    for (auto link : {BluetoothHID::State::off, BluetoothHID::State::waiting, BluetoothHID::State::connected})
        EXPECT_FALSE(can(Step::pair, without([link](auto& s) { s.bluetooth = link; }), phone));
    EXPECT_TRUE(can(Step::pair, ready, phone));

    EXPECT_TRUE(can(Step::calibrate, ready, phone));
    EXPECT_FALSE(can(Step::calibrate, without([](auto& s) { s.calibration.reset(); }), phone));
}

TEST(OnboardingFlow, TheWelcomeStepHasNeitherBackNorSkipAndAPrimaryButtonWhoseConditionFailsDoesNothing) {
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

TEST(OnboardingFlow, LeavingThePairingStepAnyWayEndsPairingMode) {
    {
        Recorder recorder;
        ui::OnboardingFlow flow(recorder.hooks());
        toPairing(flow);
        EXPECT_EQ(std::vector<std::string>(recorder.calls.end() - 2, recorder.calls.end()),
                  (std::vector<std::string>{"pairing on", "discoverable"}));
        flow.back();
        EXPECT_EQ(flow.step(), Step::screen);
        EXPECT_EQ(recorder.calls.back(), "pairing off");
    }
    {
        // Skip from the pairing step: pairing ends before the setup is marked done.
        Recorder recorder;
        ui::OnboardingFlow flow(recorder.hooks());
        toPairing(flow);
        flow.skip();
        EXPECT_EQ(std::vector<std::string>(recorder.calls.end() - 2, recorder.calls.end()),
                  (std::vector<std::string>{"pairing off", "finish"}));
    }
    {
        // The window closes while the pairing instructions show.
        Recorder recorder;
        ui::OnboardingFlow flow(recorder.hooks());
        toPairing(flow);
        flow.leave();
        EXPECT_EQ(recorder.calls.back(), "pairing off");
    }
    {
        // Leaving from another step leaves pairing mode alone (the headless model may be using it).
        Recorder recorder;
        ui::OnboardingFlow flow(recorder.hooks());
        ASSERT_TRUE(flow.primary(everythingReady(), trustedPhone()));
        const auto before = recorder.calls.size();
        flow.leave();
        EXPECT_EQ(recorder.calls.size(), before);
    }
}

TEST(OnboardingFlow, SkipOnAnyLaterStepFinishesAtOnce) {
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

// --- the whole walk through the application model and the simulated phone -----------------------------

TEST(OnboardingWithTheSimulatedPhone, EachStepOpensWhenThePhoneGetsThereAndDoneIsRemembered) {
    // A pointer measured before, so that the calibration step holds without a minute of measuring.
    sim::SimOptions options; // AssistiveTouch off: the screen step waits for it
    SimServices sim(options, SimServices::calibration());
    auto& phone = sim.phone;
    auto& main = *sim.main;
    auto& model = sim->model;
    main.run([&] {
        model.setPort(0);
        model.start();
    });
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
