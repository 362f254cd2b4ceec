// JSON-RPC dispatch on arbitrary POST bodies: every answer is a well-formed HTTP response whose body, if
// any, is valid JSON, and a lone request that carries an id (and is no response) is always answered.
#include "agent/MCPServer.hpp"

#include <cstdlib>

namespace {

class EchoTools final : public pokescope::ToolProvider {
public:
    nlohmann::json definitions() override { return nlohmann::json::array({{{"name", "echo"}}}); }
    nlohmann::json call(const std::string& name, const nlohmann::json& arguments) override {
        return {{"content", nlohmann::json::array({{{"type", "text"}, {"text", name}}})}, {"echo", arguments}};
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto* server = new pokescope::MCPServer(std::make_shared<EchoTools>());
    pokescope::HTTPRequest request;
    request.method = "POST";
    request.path = "/mcp";
    request.body.assign(reinterpret_cast<const char*>(data), size);
    std::string response = server->handle(request);
    auto headEnd = response.find("\r\n\r\n");
    if (response.rfind("HTTP/1.1 ", 0) != 0 || headEnd == std::string::npos)
        std::abort();
    std::string body = response.substr(headEnd + 4);
    if (!body.empty() && nlohmann::json::parse(body, nullptr, false).is_discarded())
        std::abort();
    if (request.body.size() < 4096) {
        auto message = nlohmann::json::parse(request.body, nullptr, false);
        if (message.is_object() && message.contains("id") && !message.contains("result") &&
            !message.contains("error") && body.empty())
            std::abort();
    }
    return 0;
}
