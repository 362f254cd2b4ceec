// JSON-RPC 2.0 dispatch of the agent server: which messages get an answer, the four MCP methods and the
// envelopes.
#include "agent/MCPServer.hpp"

namespace pokescope {

using nlohmann::json;

const std::vector<std::string>& MCPServer::supportedVersions() {
    static const std::vector<std::string> versions{"2025-06-18", "2025-03-26", "2024-11-05"};
    return versions;
}

const std::string& MCPServer::instructions() {
    static const std::string text =
        "Pokescope drives a real iPhone. Workflow: call `screenshot`, act, and read the screenshot each action "
        "returns.\n"
        "Coordinates are pixels in the most recent screenshot (origin top-left). Prefer `tap_text` for anything "
        "with a label.\n"
        "The small dark dot is the pointer and the large translucent circle (if shown) is the AssistiveTouch "
        "button; ignore both.\n"
        "Swipes of 500 ms or more don't coast; shorter ones fling. Start scrolls away from screen edges: a "
        "left-edge swipe goes back\n"
        "and a bottom-edge swipe goes Home. Typing is US-keyboard ASCII; focus a text field (tap it) before "
        "`type_text`.";
    return text;
}

json MCPServer::result(const json* id, json result) {
    json envelope = json::object();
    envelope["jsonrpc"] = "2.0";
    envelope["id"] = id ? *id : json(nullptr);
    envelope["result"] = std::move(result);
    return envelope;
}

std::string MCPServer::rpcError(const json* id, int code, std::string_view message) {
    json envelope{{"jsonrpc", "2.0"},
                  {"id", id ? *id : json(nullptr)},
                  {"error", {{"code", code}, {"message", std::string(message)}}}};
    try {
        return envelope.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const json::exception&) {
        return {};
    }
}

json MCPServer::initializeResult(const json& params) {
    std::string version = supportedVersions().front();
    if (auto it = params.find("protocolVersion"); it != params.end() && it->is_string()) {
        const auto& requested = it->get_ref<const std::string&>();
        for (const auto& supported : supportedVersions())
            if (requested == supported)
                version = supported;
    }
    return json{{"protocolVersion", version},
                {"capabilities", {{"tools", {{"listChanged", false}}}}},
                {"serverInfo", {{"name", "pokescope"}, {"title", "Pokescope"}, {"version", "0.1.0"}}},
                {"instructions", instructions()}};
}

void MCPServer::setOnRequest(std::function<void(const std::string&)> listener) {
    std::lock_guard lock(mutex_);
    onRequest_ = std::move(listener);
}

void MCPServer::reportRequest(const std::string& label) {
    std::function<void(const std::string&)> listener;
    {
        std::lock_guard lock(mutex_);
        listener = onRequest_;
    }
    if (listener)
        listener(label);
}

std::optional<json> MCPServer::dispatch(const json& message, const ToolProvider::Progress& progress, int busyWith) {
    if (!message.is_object())
        return std::nullopt;
    auto idIt = message.find("id");
    const json* id = idIt != message.end() ? &*idIt : nullptr;
    auto methodIt = message.find("method");
    auto invalid = [](const json* id) {
        return json{{"jsonrpc", "2.0"}, {"id", id ? *id : json(nullptr)}, {"error", {{"code", -32600}, {"message", "Invalid request"}}}};
    };
    if (!id)
        return std::nullopt; // a notification: no answer, no other effect, even when malformed
    // A client that sent an id waits for an answer: a request it got wrong is told so, never met with silence.
    if (!(id->is_string() || id->is_number() || id->is_null()))
        return invalid(nullptr);
    if (methodIt == message.end() && (message.contains("result") || message.contains("error")))
        return std::nullopt; // a response (to nothing this server asked): no answer
    // A missing "jsonrpc" is tolerated (lax clients leave it out); another version is not.
    auto version = message.find("jsonrpc");
    if (methodIt == message.end() || !methodIt->is_string() || (version != message.end() && *version != "2.0"))
        return invalid(id);
    const std::string& method = methodIt->get_ref<const std::string&>();
    static const json emptyObject = json::object();
    auto paramsIt = message.find("params");
    const json& params = paramsIt != message.end() && paramsIt->is_object() ? *paramsIt : emptyObject;

    if (method == "tools/call") {
        auto name = params.find("name");
        std::string shown = name == params.end() ? "?"
                            : name->is_string() ? name->get<std::string>()
                                                : name->dump(-1, ' ', false, json::error_handler_t::replace);
        reportRequest("tool: " + shown);
    } else {
        reportRequest(method);
    }

    if (method == "initialize")
        return result(id, initializeResult(params));
    if (method == "ping")
        return result(id, json::object());
    if (method == "tools/list") {
        json listed = json::object();
        listed["tools"] = tools_->definitions();
        return result(id, std::move(listed));
    }
    if (method == "tools/call") {
        auto name = params.find("name");
        auto arguments = params.find("arguments");
        const std::string tool = name != params.end() && name->is_string() ? name->get<std::string>() : "";
        const json& given = arguments != params.end() && arguments->is_object() ? *arguments : emptyObject;
        if (busyWith > 0 && tool != "status")
            return result(id, json{{"content", json::array({{{"type", "text"}, {"text", busyText(busyWith)}}})},
                                   {"isError", true}});
        return result(id, progress ? tools_->callReporting(tool, given, progress) : tools_->call(tool, given));
    }
    return json{{"jsonrpc", "2.0"},
                {"id", *id},
                {"error", {{"code", -32601}, {"message", "Method not found: " + method}}}};
}

} // namespace pokescope
