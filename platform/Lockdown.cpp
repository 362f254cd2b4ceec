#include "platform/Lockdown.hpp"

namespace pokescope {

std::string describeLockdownValue(const LockdownValue& value) {
    return value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace pokescope
