#pragma once
// The interface every model backend implements, and the records that travel
// with a model call.

#include "config/agent_config.hpp"
#include "conversation/chat_message.hpp"
#include "llm/stream_types.hpp"
#include "tools/tool.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vexa {

class LLMClient;

struct CompletionOptions {
    std::string model;
    std::optional<double> temperature;
    std::optional<int> max_tokens;
    std::optional<std::string> scene;
};

struct CompletionResult {
    bool ok = false;
    std::string error;
    std::string content;
    TokenUsage usage;
};

struct LlmOverride {
    std::string backend;
    std::string base_url;
    std::string api_key;
    std::string model;
    std::optional<double> temperature;
    std::optional<int> max_tokens;
    std::optional<int> timeout_seconds;
};

struct HostLlmContext {
    std::string gateway_url;
    std::string cookie;
    std::string referer;
    std::string user;
    std::string qorbin_ext;
};

// (message, percent, ok) reported while a local model loads. `ok` is false
// only on the final report (percent 100) of a load that failed.
using ProgressCallback = std::function<void(const std::string& text, int percent, bool ok)>;

class ILLMBackend {
public:
    virtual ~ILLMBackend() = default;
    virtual bool configure(const LLMConfig& config, std::string& error, LLMClient* client) = 0;
    virtual StreamResult chat_completion_stream(const std::vector<ChatMessage>& messages,
                                                const std::vector<ToolDefinition>& tools,
                                                const StreamCallbacks& callbacks) = 0;
    virtual std::string chat_completion(const std::vector<ChatMessage>& messages,
                                        const CompletionOptions& options) {
        return chat_completion_result(messages, options).content;
    }
    virtual std::string chat_completion(const std::vector<ChatMessage>& messages) {
        return chat_completion_result(messages, CompletionOptions{}).content;
    }
    virtual CompletionResult chat_completion_result(const std::vector<ChatMessage>& messages,
                                                    const CompletionOptions& options) = 0;
    virtual void cancel() = 0;
    virtual void set_session_id(const std::string&) {}
};

}  // namespace vexa
