#include "ui/OnboardingFlow.hpp"


namespace pokescope::ui {

OnboardingFlow::Hooks OnboardingFlow::applicationHooks(AppModel& model) {
    return Hooks{[&model](bool on) { model.setPairingMode(on); }, [&model] { model.makeDiscoverable(); },
                 [&model] { model.setOnboardingDone(true); }};
}

OnboardingFlow::OnboardingFlow(Hooks hooks) : hooks_(std::move(hooks)) {}

bool OnboardingFlow::canContinue(Step step, const AppModel::State& state, const std::optional<PhoneInfo>& selected) {
    switch (step) {
    case Step::welcome:
    case Step::agent:
        return true;
    case Step::permissions:
        return state.cameraStatus == CaptureBackend::Permission::authorized &&
               state.bluetoothAuth == AppModel::BluetoothAuthorization::allowedAlways;
    case Step::choosePhone:
        // The later steps need a phone that trusts this computer: its Bluetooth address comes with trust.
        return selected && selected->paired;
    case Step::screen:
        return state.screen != nullptr && state.assistiveTouchOn == true;
    case Step::pair:
        return state.bluetooth == BluetoothHID::State::ready;
    case Step::calibrate:
        return state.calibration.has_value();
    }
    return false;
}

bool OnboardingFlow::primary(const AppModel::State& state, const std::optional<PhoneInfo>& selected) {
    if (!canContinue(state, selected))
        return false;
    if (step_ == Step::agent)
        finish();
    else
        setStep(static_cast<Step>(static_cast<int>(step_) + 1));
    return true;
}

void OnboardingFlow::back() {
    if (canGoBack())
        setStep(static_cast<Step>(static_cast<int>(step_) - 1));
}

void OnboardingFlow::skip() {
    if (canSkip())
        finish();
}

void OnboardingFlow::leave() {
    if (step_ == Step::pair && hooks_.setPairingMode)
        hooks_.setPairingMode(false);
}

void OnboardingFlow::restart() { setStep(Step::welcome); }

void OnboardingFlow::setStep(Step step) {
    if (step == step_)
        return;
    step_ = step;
    // Discoverable exactly while the pairing instructions show.
    if (hooks_.setPairingMode)
        hooks_.setPairingMode(step == Step::pair);
    if (step == Step::pair && hooks_.makeDiscoverable)
        hooks_.makeDiscoverable();
}

void OnboardingFlow::finish() {
    // Finishing from the pairing step must not leave this computer discoverable.
    leave();
    if (hooks_.finish)
        hooks_.finish();
    step_ = Step::welcome;
}

} // namespace pokescope::ui
