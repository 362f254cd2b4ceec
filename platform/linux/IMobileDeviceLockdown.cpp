// Placeholder until the libimobiledevice backend lands: never finds a phone.
#include "platform/Lockdown.hpp"

namespace pokescope {

namespace {

class NoLockdown final : public LockdownBackend {
public:
    bool available() const override { return false; }
    std::string unavailableReason() const override { return "no lockdown backend"; }
    std::string statusNote() const override { return ""; }
    int subscribe(std::function<void(const Event&)>) override { return -1; }
    std::unique_ptr<LockdownConnection> connect(const std::string&) override { return nullptr; }
};

} // namespace

std::shared_ptr<LockdownBackend> LockdownBackend::system() { return std::make_shared<NoLockdown>(); }

} // namespace pokescope
