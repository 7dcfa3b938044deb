#include "llm/local/local_backend.hpp"

#include "config/json_util.hpp"
#include "config/text_util.hpp"
#include "llm/llm_client.hpp"
#include "llm/local/local_backend_factory.hpp"
#include "llm/local/output_parser.hpp"
#include "llm/openai_backend.hpp"
#include "support/log.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace vexa {

namespace {

const char* const kFence = "```";
const char* const kToolResultWarning =
    "IMPORTANT: The following is the actual tool result JSON. success=false, timed_out=true, non-zero exit_code, "
    "stderr, or error means the operation failed. Do not report success unless this JSON clearly indicates "
    "success=true.\n";

std::string tool_result_header(const ChatMessage& message) {
    return "Tool call id: " + message.tool_call_id.value_or("") + "\n" + kToolResultWarning;
}

// A tool call written back the way the model is told to write one.
std::string tool_fence(const ToolCall& call) {
    nlohmann::json arguments = parse_json_bounded(call.arguments);
    if (arguments.is_discarded()) {
        arguments = call.arguments;
    }
    nlohmann::json object = nlohmann::json::object();
    object["id"] = call.id;
    object["name"] = call.name;
    object["arguments"] = std::move(arguments);
    return std::string("\n") + kFence + "tool_call\n" + dump_json(object, -1) + "\n" + kFence;
}

}  // namespace

std::string tool_instructions(const std::vector<ToolDefinition>& tools) {
    if (tools.empty()) {
        return {};
    }
    nlohmann::json list = nlohmann::json::array();
    for (const ToolDefinition& tool : tools) {
        list.push_back(tool_to_json(tool));
    }
    std::string out;
    out += "You can call tools only when they are required to satisfy the user's explicit request.\n";
    out += "Do not call tools for greetings, casual conversation, explanations, or questions that can be answered "
           "directly.\n";
    out += "Available tools are described as JSON Schema below.\n";
    out += dump_json(list, 2) + "\n\n";
    out += "When a tool is truly needed, output exactly one fenced block and no extra prose.\n";
    out += "The tool name MUST be the top-level JSON field named \"name\". Never put the tool name inside "
           "\"arguments\".\n";
    out += "The top-level \"name\" value MUST exactly match one available function name.\n";
    out += "Example:\n";
    out += std::string(kFence) + "tool_call\n";
    out += "{\"name\":\"skill_inspect_tool\",\"arguments\":{\"action\":\"list\"}}\n";
    out += std::string(kFence) + "\n";
    out += "If no tool is needed, answer normally without a tool_call block.\n";
    out += "After a tool result appears in the conversation, inspect its JSON strictly. If success is false, "
           "timed_out is true, exit_code is non-zero, stderr is non-empty, or error exists, tell the user the tool "
           "failed and include the relevant error. Never claim success after a failed tool result.";
    return out;
}

std::string render_message_text(const ChatMessage& message) {
    std::string out;
    if (message.role == MessageRole::tool) {
        out += tool_result_header(message);
    }
    if (message.content.empty() && !message.images.empty()) {
        out += "[图片]";  // local models are text-only; keep a trace of the picture
    } else {
        out += message.content;
    }
    for (const ToolCall& call : message.tool_calls) {
        out += tool_fence(call);
    }
    return trim_space(out);
}

void merge_chat_turn(ChatTurns& turns, const std::string& role, const std::string& text) {
    const std::string t = trim_space(text);
    if (t.empty()) {
        return;
    }
    if (!turns.empty() && turns.back().first == role) {
        turns.back().second += "\n\n" + t;
    } else {
        turns.emplace_back(role, t);
    }
}

ChatTurns fold_roles(const ChatTurns& turns) {
    ChatTurns out;
    for (const auto& [role, content] : turns) {
        std::string new_role = role == "assistant" ? "assistant" : "user";
        std::string text = content;
        if (role == "system") {
            text = "System instructions:\n" + content;
        } else if (role == "tool") {
            text = "Tool result:\n" + content;
        }
        if (out.empty() && new_role == "assistant") {
            new_role = "user";
            text = "Previous assistant message:\n" + text;
        }
        merge_chat_turn(out, new_role, text);
    }
    if (out.empty()) {
        out.emplace_back("user", "Hello");
    }
    return out;
}

std::string render_chatml(const std::vector<ChatMessage>& messages, const std::vector<ToolDefinition>& tools) {
    std::string out;
    const std::string instructions = tool_instructions(tools);
    if (!instructions.empty()) {
        out += "<|im_start|>system\n" + instructions + "\n<|im_end|>\n";
    }
    for (const ChatMessage& message : messages) {
        out += "<|im_start|>" + role_name(message.role);
        if (message.name && !message.name->empty()) {
            out += " name=" + *message.name;
        }
        out += "\n";
        if (message.role == MessageRole::tool) {
            out += tool_result_header(message);
        }
        out += message.content;
        for (const ToolCall& call : message.tool_calls) {
            out += tool_fence(call);
        }
        out += "\n<|im_end|>\n";
    }
    out += "<|im_start|>assistant\n";
    return out;
}

bool is_gemma(const LLMConfig& config) {
    return ascii_lower(config.model + " " + config.llama_cpp.model_path).find("gemma") != std::string::npos;
}

std::vector<std::string> local_stop_strings(const LLMConfig& config) {
    std::vector<std::string> stop{"<|im_end|>", "<|end|>", "<|return|>"};
    if (is_gemma(config)) {
        stop.emplace_back("<end_of_turn>");
        stop.emplace_back("<start_of_turn>");
    }
    return stop;
}

LocalLoadOptions local_load_options(const LLMConfig& config) {
    const LlamaCppConfig& c = config.llama_cpp;
    LocalLoadOptions o;
    o.model_path = AgentConfig::instance().resolve_path(c.model_path);
    o.context_size = c.context_size;
    o.gpu_layers = c.gpu_layers;
    o.main_gpu = c.main_gpu;
    o.batch_size = c.batch_size;
    o.ubatch_size = c.ubatch_size;
    o.threads = c.threads;
    o.flash_attention = c.flash_attention;
    o.use_mmap = c.use_mmap;
    o.use_mlock = c.use_mlock;
    o.warmup = c.warmup;
    o.allow_cpu_fallback = c.allow_cpu_fallback;
    return o;
}

// ---------------------------------------------------------------------------

LlamaCppBackend::LlamaCppBackend() : runtime_(std::make_unique<LlamaRuntime>()) {}

LlamaCppBackend::LlamaCppBackend(std::unique_ptr<ILocalRuntime> runtime) : runtime_(std::move(runtime)) {}

LlamaCppBackend::~LlamaCppBackend() = default;

bool LlamaCppBackend::configure(const LLMConfig& config, std::string& error, LLMClient* client) {
    config_ = config;
    client_ = client;
    error.clear();
    if (config.llama_cpp.model_path.empty()) {
        error = "llm.llama_cpp.model_path is required when llm.backend is llama_cpp.";
        if (client != nullptr) {
            client->report_progress("本地模型加载失败：模型路径为空", 100, false);
        }
        return false;
    }
    const LocalLoadOptions options = local_load_options(config);
    if (client != nullptr) {
        client->report_progress(config.model, 0);
    }
    return runtime_->load(options, error, client);
}

std::string LlamaCppBackend::build_local_prompt(const std::vector<ChatMessage>& messages,
                                                const std::vector<ToolDefinition>& tools) {
    ChatTurns turns;
    const std::string instructions = tool_instructions(tools);
    if (!instructions.empty()) {
        turns.emplace_back("system", instructions);
    }
    for (const ChatMessage& message : messages) {
        merge_chat_turn(turns, role_name(message.role), render_message_text(message));
    }
    std::string prompt;
    std::string error;
    if (runtime_->apply_chat_template(turns, true, prompt, error)) {
        return prompt;
    }
    if (runtime_->apply_chat_template(fold_roles(turns), true, prompt, error)) {
        return prompt;
    }
    return render_chatml(messages, tools);
}

std::string LlamaCppBackend::fitted_prompt(const std::vector<ChatMessage>& messages,
                                           const std::vector<ToolDefinition>& tools,
                                           const std::function<void(const std::string&)>& notice) {
    std::string prompt = build_local_prompt(messages, tools);
    const int n_ctx = runtime_->context_size();
    if (n_ctx <= 0) return prompt;
    // Room for the answer: its token limit, but never more than half the context.
    const int wanted = config_.max_tokens > 0 ? config_.max_tokens : n_ctx / 4;
    const int reserve = std::min(wanted, n_ctx / 2);
    const auto fits = [&](const std::string& text) {
        const int tokens = runtime_->count_tokens(text);
        return tokens >= 0 && tokens + reserve <= n_ctx;
    };
    const int whole = runtime_->count_tokens(prompt);  // tokenised once: most prompts fit
    if (whole < 0 || whole + reserve <= n_ctx) return prompt;

    // Whole turns go, oldest first: a turn starts at a user message, so an
    // assistant's tool calls never lose their results.
    std::size_t head = 0;
    while (head < messages.size() && messages[head].role == MessageRole::system) ++head;
    std::vector<std::size_t> starts;
    for (std::size_t i = head; i < messages.size(); ++i) {
        if (messages[i].role == MessageRole::user) starts.push_back(i);
    }
    if (starts.size() < 2) return prompt;  // nothing but the current turn
    const auto without_oldest = [&](std::size_t turns) {
        std::vector<ChatMessage> kept(messages.begin(), messages.begin() + static_cast<std::ptrdiff_t>(head));
        kept.insert(kept.end(), messages.begin() + static_cast<std::ptrdiff_t>(starts[turns]), messages.end());
        return build_local_prompt(kept, tools);
    };
    // Fewest turns left out that fit (leaving out more never makes it longer).
    const std::size_t most = starts.size() - 1;
    std::size_t dropped = most;
    std::string best = without_oldest(most);
    if (fits(best)) {
        std::size_t low = 1;  // the whole prompt did not fit
        while (low < dropped) {
            const std::size_t middle = low + (dropped - low) / 2;
            if (fits(without_oldest(middle))) {
                dropped = middle;
            } else {
                low = middle + 1;
            }
        }
        if (dropped != most) best = without_oldest(dropped);
    }
    const int left = runtime_->count_tokens(best);
    if (left < 0 || left >= n_ctx) return best;  // even the current turn is too long: generation says so
    const std::string text = "The conversation is longer than the local model's context of " + std::to_string(n_ctx) +
                             " tokens: " + (dropped == 1 ? std::string("its oldest turn was")
                                                        : "its oldest " + std::to_string(dropped) + " turns were") +
                             " left out of this request.";
    log_line(LogLevel::INFO, text);
    if (notice) notice(text);
    return best;
}

GenerationParams LlamaCppBackend::generation_params() const {
    GenerationParams params;
    params.max_tokens = config_.max_tokens;
    params.temperature = config_.temperature;
    params.stop = local_stop_strings(config_);
    return params;
}

StreamResult LlamaCppBackend::chat_completion_stream(const std::vector<ChatMessage>& messages,
                                                     const std::vector<ToolDefinition>& tools,
                                                     const StreamCallbacks& callbacks) {
    StreamResult result;
    result.message.role = MessageRole::assistant;
    auto state = [&](LLMState s) {
        if (callbacks.on_state) callbacks.on_state(s);
    };
    state(LLMState::waiting);
    state(LLMState::generating);

    const std::string prompt = fitted_prompt(messages, tools, call_notice_callback(callbacks.on_notice, client_));
    const GenerationParams params = generation_params();

    // Per call: the raw text so far and what has already gone out as deltas. The
    // growing text is cleaned as a whole each time and only its new tail is sent.
    std::string raw;
    std::string emitted_content;
    std::string emitted_reasoning;
    auto on_piece = [&](const std::string& piece) {
        raw += piece;
        std::string reasoning;
        const std::string visible = split_tagged(raw, "think", &reasoning);
        emit_suffix(reasoning, emitted_reasoning, callbacks.on_reasoning);
        // A think opener cut between pieces ("<thi" + "nk>") must not go out as
        // text: once it completes, the text shrinks, and emit_suffix would then
        // send nothing more for the rest of the answer.
        static const std::vector<std::string> kThinkOpener = {"<think>"};
        const std::string settled = remove_partial_marker_suffix(visible, kThinkOpener);
        const std::string cleaned = clean_local_output(settled, params.stop, true, nullptr);
        emit_suffix(cleaned, emitted_content, callbacks.on_content);
    };
    const GenerationResult generated = runtime_->generate(prompt, params, on_piece);

    if (generated.ok || generated.stopped) {
        std::string reasoning;
        const std::string visible = split_tagged(generated.text, "think", &reasoning);
        std::vector<ToolCall> calls;
        const std::string content = clean_local_output(visible, params.stop, false, &calls);
        result.message.tool_calls = calls;
        if (!reasoning.empty()) {
            result.message.reasoning_content = reasoning;
        }
        result.message.content = content;
        emit_suffix(reasoning, emitted_reasoning, callbacks.on_reasoning);
        emit_suffix(content, emitted_content, callbacks.on_content);
        if (!calls.empty()) {
            state(LLMState::tool_calling);
            if (callbacks.on_tool_call) {
                for (const ToolCall& call : calls) callbacks.on_tool_call(call);
            }
        }
        state(LLMState::done);
        result.ok = true;
        return result;
    }
    result.error = generated.error.empty() ? "llama.cpp generation failed." : generated.error;
    state(LLMState::error);
    result.ok = false;
    return result;
}

std::string LlamaCppBackend::chat_completion(const std::vector<ChatMessage>& messages, const CompletionOptions&) {
    return chat_completion(messages);
}

std::string LlamaCppBackend::chat_completion(const std::vector<ChatMessage>& messages) {
    return chat_completion_result(messages, CompletionOptions{}).content;
}

CompletionResult LlamaCppBackend::chat_completion_result(const std::vector<ChatMessage>& messages,
                                                         const CompletionOptions&) {
    CompletionResult result;
    const std::string prompt = fitted_prompt(messages, {}, call_notice_callback({}, client_));
    const GenerationParams params = generation_params();
    const GenerationResult generated = runtime_->generate(prompt, params, PieceCallback{});
    if (generated.ok) {
        const std::string visible = split_tagged(generated.text, "think", nullptr);
        result.content = clean_local_output(visible, params.stop, false, nullptr);
        result.ok = true;
        return result;
    }
    result.error = generated.error.empty() ? "llama_cpp sync generation failed" : generated.error;
    return result;
}

void LlamaCppBackend::cancel() { runtime_->cancel(); }

std::unique_ptr<ILLMBackend> create_local_backend() { return std::make_unique<LlamaCppBackend>(); }

}  // namespace vexa
