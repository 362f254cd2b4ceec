// The simulated phone's lockdown service, as the USB side sees it.
#pragma once

#include "platform/Dispatch.hpp"
#include "platform/Lockdown.hpp"
#include "sim/SimPhone.hpp"

#include <memory>

namespace pokescope::sim {

class SimLockdown final : public LockdownBackend {
public:
    explicit SimLockdown(std::shared_ptr<SimPhone> phone);
    ~SimLockdown() override;

    bool available() const override { return true; }
    std::string unavailableReason() const override { return ""; }
    std::string statusNote() const override { return ""; }
    int subscribe(std::function<void(const Event&)> handler) override;
    std::unique_ptr<LockdownConnection> connect(const std::string& udid) override;

private:
    std::shared_ptr<SimPhone> phone_;
    // Events reach the subscriber on a thread of their own, as a USB daemon's do.
    DispatchQueue events_{"sim.lockdown"};
    std::function<void(const Event&)> handler_;
};

} // namespace pokescope::sim
