// The first-run setup's steps and the rules that move between them, apart from any widget: which step
// comes next, when its primary button may be pressed, and pairing mode, which stays on exactly while the
// pairing instructions are on screen and is turned off however the setup is left.
#pragma once

#include "model/AppModel.hpp"

#include <functional>
#include <optional>

namespace pokescope::ui {

class OnboardingFlow {
public:
    enum class Step { welcome = 0, permissions = 1, choosePhone = 2, screen = 3, pair = 4, calibrate = 5, agent = 6 };
    static constexpr int kStepCount = 7;

    struct Hooks {
        std::function<void(bool on)> setPairingMode;
        std::function<void()> makeDiscoverable;
        std::function<void()> finish; // marks the setup done
    };
    // The production hooks: the Bluetooth link's pairing mode and the model's "onboardingDone".
    static Hooks applicationHooks(AppModel& model);

    explicit OnboardingFlow(Hooks hooks);
    Step step() const { return step_; }

    // Whether `step`'s primary button may be pressed in `state` (whose selected phone is `selected`).
    static bool canContinue(Step step, const AppModel::State& state, const std::optional<PhoneInfo>& selected);
    bool canContinue(const AppModel::State& state, const std::optional<PhoneInfo>& selected) const {
        return canContinue(step_, state, selected);
    }
    bool canGoBack() const { return step_ != Step::welcome; }
    bool canSkip() const { return step_ != Step::welcome; }

    // The primary button: the next step, or on the last step finishing. Does nothing (false) while the
    // step's condition does not hold.
    bool primary(const AppModel::State& state, const std::optional<PhoneInfo>& selected);
    void back();
    // Finishes at once, exactly as "Done" does.
    void skip();
    // The setup goes away without finishing (its window closed): pairing mode ends with it.
    void leave();
    // Starts again at the welcome step.
    void restart();
    // Goes to `step` whatever the state (the setup's pictures in the render self-test).
    void setStep(Step step);

private:
    void finish();

    Hooks hooks_;
    Step step_ = Step::welcome;
};

} // namespace pokescope::ui
