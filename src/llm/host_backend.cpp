#include "llm/host_backend.hpp"

#include "config/json_util.hpp"
#include "llm/openai_backend.hpp"

#include <utility>

namespace vexa {

namespace {

using nlohmann::json;

}  // namespace

std::string validate_host_context(const HostLlmContext& context) {
    if (context.gateway_url.empty()) {
        return "Host LLM gateway_url is not set. Call set_host_llm_context() before chat.";
    }
    if (context.cookie.empty()) return "Host LLM cookie is not set.";
    if (context.referer.empty()) return "Host LLM referer is not set.";
    if (context.user.empty()) return "Host LLM user is not set.";
    if (!context.qorbin_ext.empty()) {
        // Bounded parse: the host's text never raises, and nesting that would
        // recurse too deep later counts as invalid.
        const json ext = parse_json_bounded(context.qorbin_ext);
        if (ext.is_discarded()) return "Host LLM qorbin_ext is not valid JSON.";
        if (!ext.is_object()) return "Host LLM qorbin_ext must be a JSON object.";
    }
    return {};
}

json build_host_request_body(const LLMConfig& config, const HostLlmContext& context,
                             const std::vector<ChatMessage>& messages, const std::vector<ToolDefinition>& tools,
                             bool stream, const CompletionOptions* options) {
    const std::string& model = options != nullptr && !options->model.empty() ? options->model : config.model;
    json body = build_chat_body(
        model, messages, tools, options != nullptr && options->temperature ? *options->temperature : config.temperature,
        options != nullptr && options->max_tokens ? *options->max_tokens : config.max_tokens, stream);
    // The gateway picks its own model when none is configured.
    if (model.empty()) body.erase("model");
    body["user"] = context.user;

    if (!context.qorbin_ext.empty()) {
        json ext = parse_json_bounded(context.qorbin_ext);
        if (ext.is_object()) body["qorbin_ext"] = std::move(ext);
    }
    if (options != nullptr && options->scene) {
        json& ext = body["qorbin_ext"];
        if (!ext.is_object()) ext = json::object();
        ext["scene"] = *options->scene;  // the call's scene wins over one from the context
    }
    return body;
}

HostBackend::HostBackend() = default;
HostBackend::~HostBackend() = default;

bool HostBackend::configure(const LLMConfig& config, std::string& error, LLMClient* client) {
    error.clear();
    {
        std::lock_guard lock(mutex_);
        config_ = config;
    }
    http_.set_timeout_seconds(config.timeout_seconds);
    http_.set_header("Content-Type", "application/json");
    retrier_.configure(retry_settings_from(config));
    client_ = client;
    return true;
}

void HostBackend::set_host_llm_context(const HostLlmContext& context) {
    std::lock_guard lock(mutex_);
    context_ = context;
}

HostLlmContext HostBackend::host_llm_context() const {
    std::lock_guard lock(mutex_);
    return context_;
}

HostBackend::Prepared HostBackend::prepare(const std::vector<ChatMessage>& messages,
                                           const std::vector<ToolDefinition>& tools, bool stream,
                                           const CompletionOptions* options) const {
    Prepared prepared;
    std::lock_guard lock(mutex_);
    prepared.error = validate_host_context(context_);
    if (!prepared.error.empty()) return prepared;
    prepared.url = context_.gateway_url;
    // Handed to the transport as this request's own headers rather than
    // written into the client's shared defaults: a context replaced while the
    // request starts can then never mix one context's cookie with another's
    // referrer. The transport sends them in name order: Content-Type, Cookie,
    // Referer.
    prepared.headers = {
        {"Content-Type", "application/json"},
        {"Cookie", context_.cookie},
        {"Referer", context_.referer},
    };
    prepared.body = dump_json(build_host_request_body(config_, context_, messages, tools, stream, options), -1);
    return prepared;
}

StreamResult HostBackend::chat_completion_stream(const std::vector<ChatMessage>& messages,
                                                 const std::vector<ToolDefinition>& tools,
                                                 const StreamCallbacks& callbacks) {
    const Prepared request = prepare(messages, tools, true, nullptr);
    if (!request.error.empty()) {
        if (callbacks.on_state) callbacks.on_state(LLMState::error);
        StreamResult result;
        result.ok = false;
        result.error = request.error;
        return result;
    }
    // Every attempt sends the request as prepared here, even when the host
    // replaces its context during a wait between attempts.
    const NoticeCallback notice = call_notice_callback(callbacks.on_notice, client_);
    return session_.run(callbacks, [&](const HttpDataSink& sink) {
        return post_stream_with_retries(http_, retrier_, session_, request.url, request.body, request.headers, sink,
                                        notice);
    });
}

CompletionResult HostBackend::chat_completion_result(const std::vector<ChatMessage>& messages,
                                                     const CompletionOptions& options) {
    CompletionResult result;
    const Prepared request = prepare(messages, {}, false, &options);
    if (!request.error.empty()) {
        result.error = request.error;
        return result;
    }

    const HttpResponse response = retrier_.run([&] { return http_.post(request.url, request.body, request.headers); },
                                               {}, call_notice_callback({}, client_));
    return completion_result_from_response(response, "host");
}

void HostBackend::cancel() {
    // The retrier first: a call between two attempts must not start another.
    retrier_.cancel();
    http_.cancel();
}

}  // namespace vexa
