#include "app/PokescopeApp.hpp"

#include "agent/MCPServer.hpp"
#include "app/Log.hpp"
#include "platform/Dispatch.hpp"

namespace pokescope::PokescopeApp {

int run(const Entry::Options& options) {
    Log::shared().add("app: Pokescope 0.1.0 running without windows");
    if (options.simulate)
        Log::shared().add("app: --simulate: the simulated iPhone is not part of this build yet");
    DispatchQueue::main().async([port = Entry::serverPort(options)] {
        MCPServer::shared().start(port);
    });
    DispatchQueue::runMain();
    return 0;
}

} // namespace pokescope::PokescopeApp
