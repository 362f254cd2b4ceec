// The tools agents call: the catalogue that tools/list serves and the execution of tools/call.
//
// Thread contract: every function may run on several request threads at once; the tools keep no state
// between calls.
#pragma once

#include <nlohmann/json.hpp>

#include <memory>
#include <set>
#include <string>

namespace pokescope {

class ToolProvider;

namespace Tools {

// The four transcription tools, offered only while transcription is turned on.
const std::set<std::string>& transcription();

// Every tool description, in catalogue order.
const nlohmann::json& allDefinitions();
// The served list: all tools, or all but the transcription tools.
const nlohmann::json& definitions(bool transcriptionEnabled);
// The served list for the current settings.
const nlohmann::json& definitions();

// Carries out one tools/call and returns the tool result; never throws.
nlohmann::json call(const std::string& name, const nlohmann::json& arguments);

// {"content": [{"type": "text", "text": s}]}
nlohmann::json text(const std::string& s);
// {"content": [{"type": "text", "text": message}], "isError": true}
nlohmann::json errorResult(const std::string& message);

// The tool layer as the agent server uses it.
std::shared_ptr<ToolProvider> provider();

} // namespace Tools

// A failure of a tool with its own sentence for the agent.
class ToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace pokescope
