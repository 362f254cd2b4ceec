#include "app/SelfTest.hpp"

#include "app/Log.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Process.hpp"

#include <cstdlib>

namespace pokescope::SelfTest {

void run(const std::string& mode, const std::vector<std::string>& /*extra*/, const Entry::Options& /*options*/) {
    DispatchQueue::main().async([mode] {
        Log::shared().add("unknown selftest " + mode);
        exitProcess(2);
    });
    DispatchQueue::runMain();
}

} // namespace pokescope::SelfTest
