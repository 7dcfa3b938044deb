#include "llm/openai_backend.hpp"

#include "config/json_util.hpp"
#include "llm/llm_client.hpp"
#include "support/url.hpp"

#include <utility>

namespace vexa {

namespace {

using nlohmann::json;

bool is_success(const HttpResponse& response) {
    return response.error.empty() && response.status_code >= 200 && response.status_code <= 299;
}

}  // namespace

json build_chat_body(const std::string& model, const std::vector<ChatMessage>& messages,
                     const std::vector<ToolDefinition>& tools, double temperature, int max_tokens, bool stream) {
    json body = json::object();
    body["model"] = model;
    body["temperature"] = temperature;
    body["max_tokens"] = max_tokens;
    body["stream"] = stream;
    json wire_messages = json::array();
    for (const ChatMessage& message : messages) wire_messages.push_back(message_to_json(message, true));
    body["messages"] = std::move(wire_messages);
    json wire_tools = json::array();
    for (const ToolDefinition& tool : tools) {
        if (!tool.name.empty()) wire_tools.push_back(tool_to_json(tool));
    }
    if (!wire_tools.empty()) body["tools"] = std::move(wire_tools);
    if (stream) body["stream_options"] = json{{"include_usage", true}};
    return body;
}

json build_request_body(const ChatCompletionRequest& request) {
    return build_chat_body(request.model, request.messages, request.tools, request.temperature, request.max_tokens,
                           request.stream);
}

json tool_to_json(const ToolDefinition& tool) {
    json function = json::object();
    function["name"] = tool.name;
    if (!tool.description.empty()) function["description"] = tool.description;
    function["parameters"] = tool.parameters;
    json out = json::object();
    out["type"] = tool.type;
    out["function"] = std::move(function);
    return out;
}

ChatCompletionResponse parse_completion_response(const json& document) {
    ChatCompletionChunk decoded = parse_completion_document(document, true);
    ChatCompletionResponse response;
    response.id = std::move(decoded.id);
    response.choices = std::move(decoded.choices);
    response.usage = decoded.usage;
    return response;
}

CompletionResult completion_result_from_response(const HttpResponse& response, const std::string& label) {
    CompletionResult result;
    if (!is_success(response)) {
        result.error = !response.error.empty() ? response.error
                                               : label + " sync HTTP " + std::to_string(response.status_code);
        return result;
    }
    ChatCompletionResponse decoded;
    std::string parse_error;
    const json document = parse_json_bounded(response.body, parse_error);
    if (document.is_discarded()) {
        result.error = label + " sync JSON: " + parse_error;
        return result;
    }
    try {
        decoded = parse_completion_response(document);
    } catch (const json::exception& e) {
        // Also for members of the wrong type: a malformed answer is a failed
        // call, not an exception through the agent's internal callers.
        result.error = label + " sync JSON: " + e.what();
        return result;
    }
    result.usage = decoded.usage;
    if (!decoded.choices.empty() && decoded.choices.front().delta.content) {
        result.content = *decoded.choices.front().delta.content;
        result.ok = true;
    } else {
        result.error = label + " sync response has no content";
    }
    return result;
}

NoticeCallback call_notice_callback(const std::function<void(const std::string&)>& call_notice, LLMClient* client) {
    if (call_notice) return call_notice;
    if (client == nullptr) return {};
    return [client](const std::string& text) { client->report_notice(text); };
}

HttpResponse post_stream_with_retries(HttpClient& http, RequestRetrier& retrier, const OpenAISseStreamSession& session,
                                      const std::string& url, const std::string& body, const HttpHeaders& headers,
                                      const HttpDataSink& sink, const NoticeCallback& notice) {
    bool delivered = false;
    return retrier.run(
        [&] {
            return http.post_stream(
                url, body,
                [&](const std::string& chunk) {
                    delivered = true;
                    sink(chunk);
                    // Once the stream has failed nothing more of the body can
                    // matter: stop reading instead of draining it. A cancel
                    // that reached the retrier just as this attempt started
                    // (the transport forgets earlier ones) stops it here.
                    if (session.stopped() || retrier.cancel_requested()) http.cancel();
                },
                headers);
        },
        [&] { return delivered; }, notice);
}

OpenAICompatibleBackend::OpenAICompatibleBackend() = default;
OpenAICompatibleBackend::~OpenAICompatibleBackend() = default;

bool OpenAICompatibleBackend::configure(const LLMConfig& config, std::string& error, LLMClient* client) {
    error.clear();
    // Whatever set the URL (file, override, switch): one the transport would
    // read differently, or the machine's metadata service, is never asked.
    if (!config.base_url.empty()) {
        const std::string problem = base_url_problem(config.base_url);
        if (!problem.empty()) {
            error = "Base URL refused: " + problem + ".";
            return false;
        }
    }
    config_ = config;
    http_.set_timeout_seconds(config_.timeout_seconds);
    // Sent also with an empty key: some local servers want the header present.
    http_.set_header("Authorization", "Bearer " + config_.api_key);
    http_.set_header("Content-Type", "application/json");
    retrier_.configure(retry_settings_from(config_));
    client_ = client;
    return true;
}

std::string OpenAICompatibleBackend::endpoint() const {
    return config_.base_url + "/chat/completions";
}

StreamResult OpenAICompatibleBackend::chat_completion_stream(const std::vector<ChatMessage>& messages,
                                                             const std::vector<ToolDefinition>& tools,
                                                             const StreamCallbacks& callbacks) {
    const std::string body =
        dump_json(build_chat_body(config_.model, messages, tools, config_.temperature, config_.max_tokens, true), -1);
    const std::string url = endpoint();
    const NoticeCallback notice = call_notice_callback(callbacks.on_notice, client_);
    return session_.run(callbacks, [&](const HttpDataSink& sink) {
        return post_stream_with_retries(http_, retrier_, session_, url, body, HttpHeaders{}, sink, notice);
    });
}

CompletionResult OpenAICompatibleBackend::chat_completion_result(const std::vector<ChatMessage>& messages,
                                                                 const CompletionOptions& options) {
    const std::string& model = options.model.empty() ? config_.model : options.model;
    const double temperature = options.temperature ? *options.temperature : config_.temperature;
    const int max_tokens = options.max_tokens ? *options.max_tokens : config_.max_tokens;
    const std::string body = dump_json(build_chat_body(model, messages, {}, temperature, max_tokens, false), -1);

    const std::string url = endpoint();
    const HttpResponse response =
        retrier_.run([&] { return http_.post(url, body, HttpHeaders{}); }, {}, call_notice_callback({}, client_));
    return completion_result_from_response(response, "openai");
}

void OpenAICompatibleBackend::cancel() {
    // The retrier first: a call between two attempts must not start another.
    retrier_.cancel();
    http_.cancel();
}

}  // namespace vexa
