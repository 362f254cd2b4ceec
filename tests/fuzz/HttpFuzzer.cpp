// The HTTP framing and routing of the agent server on arbitrary bytes: never crashes, a request it finds
// always carries exactly its declared body and ends where the next one may begin, and a Content-Length
// that is not plain digits never makes a request.
#include "agent/MCPServer.hpp"

#include <cstdlib>

namespace {

class NoTools final : public pokescope::ToolProvider {
public:
    nlohmann::json definitions() override { return nlohmann::json::array(); }
    nlohmann::json call(const std::string&, const nlohmann::json&) override { return nlohmann::json::object(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto* server = new pokescope::MCPServer(std::make_shared<NoTools>());
    std::string_view input(reinterpret_cast<const char*>(data), size);
    auto parsed = pokescope::HTTPRequest::parse(input);
    pokescope::HTTPLimits small{256, 1024};
    auto framing = pokescope::HTTPFraming::examine(input, small);
    if (framing.kind == pokescope::HTTPFraming::Kind::request) {
        if (!parsed || parsed->body != framing.request.body || framing.request.body.size() > small.maxBody)
            std::abort();
        const auto headEnd = input.find("\r\n\r\n");
        if (framing.consumed != headEnd + 4 + framing.request.body.size() || framing.consumed > input.size())
            std::abort();
        if (auto length = framing.request.headers.find("content-length"); length != framing.request.headers.end())
            for (char c : length->second)
                if (c < '0' || c > '9')
                    std::abort();
        std::string response = server->handle(framing.request);
        if (response.rfind("HTTP/1.1 ", 0) != 0)
            std::abort();
    }
    if (framing.kind == pokescope::HTTPFraming::Kind::reject && framing.status != 400 && framing.status != 413 &&
        framing.status != 431)
        std::abort();
    return 0;
}
