#pragma once
// Backend for the host application's own LLM gateway: chat-completions
// requests posted to a URL the host gives at run time, authenticated by the
// host's cookie and referrer instead of an API key, with a "user" member and
// the gateway's "qorbin_ext" object in the body. The streamed answer may carry
// the gateway's segment extensions, which the SSE session understands.

#include "config/agent_config.hpp"
#include "conversation/chat_message.hpp"
#include "llm/http_client.hpp"
#include "llm/llm_backend.hpp"
#include "llm/llm_client.hpp"
#include "llm/retry_policy.hpp"
#include "llm/sse_stream_session.hpp"
#include "llm/stream_types.hpp"
#include "tools/tool.hpp"

#include <nlohmann/json.hpp>

#include <mutex>
#include <string>
#include <vector>

namespace vexa {

// Empty when the context can be used; otherwise the first problem found, in
// the order gateway_url, cookie, referer, user, qorbin_ext.
std::string validate_host_context(const HostLlmContext& context);

// The gateway request body. `options` is null for the streaming call (the
// configured model, temperature and max_tokens apply, and no scene is sent).
// The context's qorbin_ext is only used when it parses as a JSON object.
nlohmann::json build_host_request_body(const LLMConfig& config, const HostLlmContext& context,
                                       const std::vector<ChatMessage>& messages,
                                       const std::vector<ToolDefinition>& tools, bool stream,
                                       const CompletionOptions* options);

class HostBackend : public ILLMBackend, public IHostContextReceiver {
public:
    HostBackend();
    ~HostBackend() override;

    // Never fails: the context is checked when a call is made.
    bool configure(const LLMConfig& config, std::string& error, LLMClient* client) override;
    StreamResult chat_completion_stream(const std::vector<ChatMessage>& messages,
                                        const std::vector<ToolDefinition>& tools,
                                        const StreamCallbacks& callbacks) override;
    using ILLMBackend::chat_completion;
    CompletionResult chat_completion_result(const std::vector<ChatMessage>& messages,
                                            const CompletionOptions& options) override;
    void cancel() override;

    // Any thread, also while a request runs: that request keeps what it
    // copied when it started, the next one uses the new context.
    void set_host_llm_context(const HostLlmContext& context) override;
    HostLlmContext host_llm_context() const;

private:
    // Everything one request needs, copied under the mutex so that the HTTP
    // exchange never reads state another thread may be replacing.
    struct Prepared {
        std::string error;  // the context check's message; nothing else is set then
        std::string url;
        std::string body;
        HttpHeaders headers;
    };
    Prepared prepare(const std::vector<ChatMessage>& messages, const std::vector<ToolDefinition>& tools,
                     bool stream, const CompletionOptions* options) const;

    mutable std::mutex mutex_;  // guards context_ and config_
    HostLlmContext context_;
    LLMConfig config_;

    LLMClient* client_ = nullptr;  // the owner; receives notices of calls without their own callback
    HttpClient http_;
    OpenAISseStreamSession session_;
    RequestRetrier retrier_;
};

}  // namespace vexa
