// Tool execution: reads the arguments, runs the tool and words every outcome for the agent.
#include "agent/Tools.hpp"

#include "agent/MCPServer.hpp"
#include "app/AppSettings.hpp"

namespace pokescope::Tools {

using nlohmann::json;

namespace {

class Provider final : public ToolProvider {
public:
    json definitions() override { return Tools::definitions(); }
    json call(const std::string& name, const json& arguments) override { return Tools::call(name, arguments); }
};

} // namespace

json text(const std::string& s) {
    return json{{"content", json::array({json{{"type", "text"}, {"text", s}}})}};
}

json errorResult(const std::string& message) {
    json result = text(message);
    result["isError"] = true;
    return result;
}

json call(const std::string& name, const json& /*arguments*/) {
    try {
        if (transcription().count(name) && !AppSettings::shared().transcriptionEnabled())
            return errorResult("Transcription is turned off. The user can turn it on in Pokescope › Settings › "
                               "Transcription.");
        // The phone-facing tools arrive with the device, capture and input layers.
        return errorResult("Unknown tool: " + name);
    } catch (const std::exception& e) {
        return errorResult(e.what());
    }
}

std::shared_ptr<ToolProvider> provider() { return std::make_shared<Provider>(); }

} // namespace pokescope::Tools
