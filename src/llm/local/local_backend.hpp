#pragma once
// The in-process GGUF backend ("llama_cpp", "local"). A local model has no server to
// render its prompt or return structured tool calls, so this backend does both:
// it turns the conversation and the tools into one prompt (the model's own chat
// template, with fallbacks), tells the model in words how to call a tool, and
// recovers visible text, reasoning and tool calls from what the model writes.

#include "config/agent_config.hpp"
#include "conversation/chat_message.hpp"
#include "llm/llm_backend.hpp"
#include "llm/local/llama_runtime.hpp"
#include "llm/stream_types.hpp"
#include "tools/tool.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vexa {

class LlamaCppBackend : public ILLMBackend {
public:
    // With the llama.cpp runtime.
    LlamaCppBackend();
    // With another runtime (tests script the generated text through this).
    explicit LlamaCppBackend(std::unique_ptr<ILocalRuntime> runtime);
    ~LlamaCppBackend() override;

    bool configure(const LLMConfig& config, std::string& error, LLMClient* client) override;
    StreamResult chat_completion_stream(const std::vector<ChatMessage>& messages,
                                        const std::vector<ToolDefinition>& tools,
                                        const StreamCallbacks& callbacks) override;
    // Options are ignored: a local model runs with its configured settings.
    std::string chat_completion(const std::vector<ChatMessage>& messages, const CompletionOptions& options) override;
    std::string chat_completion(const std::vector<ChatMessage>& messages) override;
    CompletionResult chat_completion_result(const std::vector<ChatMessage>& messages,
                                            const CompletionOptions& options) override;
    void cancel() override;
    void set_session_id(const std::string&) override {}

    // The prompt for a conversation: the model's template, then the template over
    // user/assistant turns only, then ChatML.
    std::string build_local_prompt(const std::vector<ChatMessage>& messages, const std::vector<ToolDefinition>& tools);
    // build_local_prompt() made to fit the context: when the conversation is
    // too long, its oldest turns are left out of this request (never the
    // leading system messages or the current turn, which starts at the last
    // user message), as few as needed to leave room for the answer, and
    // `notice` says so. When even the system messages and the current turn do
    // not fit, that prompt is returned and generation reports the overflow.
    std::string fitted_prompt(const std::vector<ChatMessage>& messages, const std::vector<ToolDefinition>& tools,
                              const std::function<void(const std::string&)>& notice);
    GenerationParams generation_params() const;
    const LLMConfig& config() const { return config_; }
    ILocalRuntime& runtime() { return *runtime_; }

private:
    LLMConfig config_;
    std::unique_ptr<ILocalRuntime> runtime_;
    LLMClient* client_ = nullptr;  // the owner; receives notices of calls without their own callback
};

// The plain-words tool protocol put in front of the conversation; empty without tools.
std::string tool_instructions(const std::vector<ToolDefinition>& tools);
// A message as the text of one template turn.
std::string render_message_text(const ChatMessage& message);
// Appends a turn, joining it to the previous one when the role repeats.
void merge_chat_turn(ChatTurns& turns, const std::string& role, const std::string& text);
// The turns recast as alternating user/assistant turns.
ChatTurns fold_roles(const ChatTurns& turns);
// The whole prompt in ChatML, for models whose template cannot be used.
std::string render_chatml(const std::vector<ChatMessage>& messages, const std::vector<ToolDefinition>& tools);
bool is_gemma(const LLMConfig& config);
std::vector<std::string> local_stop_strings(const LLMConfig& config);
LocalLoadOptions local_load_options(const LLMConfig& config);

}  // namespace vexa
