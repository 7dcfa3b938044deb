#pragma once
// Backend for any server that speaks the chat-completions protocol: POST to
// base_url + "/chat/completions" with a bearer key, streamed through the SSE
// session or buffered for the agent's internal one-shot calls. The request
// body and the buffered-response decoding are shared with the gateway backend.

#include "config/agent_config.hpp"
#include "conversation/chat_message.hpp"
#include "llm/http_client.hpp"
#include "llm/llm_backend.hpp"
#include "llm/retry_policy.hpp"
#include "llm/sse_stream_session.hpp"
#include "llm/stream_types.hpp"
#include "tools/tool.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace vexa {

struct ChatCompletionRequest {
    std::string model;
    std::vector<ChatMessage> messages;
    std::vector<ToolDefinition> tools;
    double temperature = 0.7;
    int max_tokens = 4096;
    bool stream = true;
};

struct ChatCompletionResponse {
    std::string id;
    std::vector<ChunkChoice> choices;  // each choice's "message" plays the delta's role
    TokenUsage usage;
};

// The JSON body of a chat-completions request (serialise it compactly).
nlohmann::json build_request_body(const ChatCompletionRequest& request);
nlohmann::json build_chat_body(const std::string& model, const std::vector<ChatMessage>& messages,
                               const std::vector<ToolDefinition>& tools, double temperature, int max_tokens,
                               bool stream);
// {"type": ..., "function": {"name", "description" (only when not empty), "parameters"}}
nlohmann::json tool_to_json(const ToolDefinition& tool);
// Decodes a buffered answer; a member of the wrong type raises nlohmann::json::type_error.
ChatCompletionResponse parse_completion_response(const nlohmann::json& document);

// The result of a buffered (non-streamed) completion call from its HTTP
// response; `label` names the backend in the error texts ("openai", "host").
CompletionResult completion_result_from_response(const HttpResponse& response, const std::string& label);

class OpenAICompatibleBackend : public ILLMBackend {
public:
    OpenAICompatibleBackend();
    ~OpenAICompatibleBackend() override;

    bool configure(const LLMConfig& config, std::string& error, LLMClient* client) override;
    StreamResult chat_completion_stream(const std::vector<ChatMessage>& messages,
                                        const std::vector<ToolDefinition>& tools,
                                        const StreamCallbacks& callbacks) override;
    using ILLMBackend::chat_completion;
    CompletionResult chat_completion_result(const std::vector<ChatMessage>& messages,
                                            const CompletionOptions& options) override;
    void cancel() override;

private:
    std::string endpoint() const;

    LLMConfig config_;
    LLMClient* client_ = nullptr;  // the owner; receives notices of calls without their own callback
    HttpClient http_;
    OpenAISseStreamSession session_;
    RequestRetrier retrier_;
};

// The notice callback of a call: its own when it has one, else the client's
// (when there is a client).
NoticeCallback call_notice_callback(const std::function<void(const std::string&)>& call_notice, LLMClient* client);

// A streaming request made through `retrier`: the request is repeated only
// while none of a 2xx body has reached `sink`.
HttpResponse post_stream_with_retries(HttpClient& http, RequestRetrier& retrier, const OpenAISseStreamSession& session,
                                      const std::string& url, const std::string& body, const HttpHeaders& headers,
                                      const HttpDataSink& sink, const NoticeCallback& notice);

}  // namespace vexa
