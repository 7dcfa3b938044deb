#pragma once
// Drives a session through either public interface (the C++ facade or the flat
// C functions) the same way, so a scenario can run once per interface.

#include "vexa_core/core_session.hpp"
#include "vexa_core/vexa_core.h"

#include "agent_test_util.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vexa::test {

struct PublicEvent {
    int type = 0;
    std::string state;
    std::string text;
    std::string tool_name;
    std::string tool_arguments;
    std::string tool_result;
    bool success = true;
    std::string task_id;
};

struct TurnOptions {
    int max_tool_rounds = 0;
    std::vector<std::string> tools;
    bool only_listed = false;
    std::vector<std::pair<std::string, std::string>> images;  // url, detail
    std::string turn_system_prompt;
    int orchestration = 0;  // 1 on, 2 off, 0 as configured
};

struct Outcome {
    bool success = false;
    std::string error;  // the turn's error (C: last_error after a failure)
};

using ToolFn = std::function<std::string(const std::string&)>;
using ConfirmFn = std::function<bool(const std::string&, const std::string&)>;

// One public interface, driven the same way by every scenario.
class Driver {
public:
    virtual ~Driver() = default;
    virtual bool initialize(const std::string& base_dir) = 0;
    virtual Outcome send(const std::string& text, const TurnOptions& options = {}) = 0;
    virtual void cancel() = 0;
    virtual bool is_cancel_requested() = 0;
    virtual bool register_tool(const std::string& name, ToolFn fn) = 0;
    virtual void set_confirm(ConfirmFn fn) = 0;
    virtual bool request_tools(const std::vector<std::string>& names) = 0;
    virtual std::string last_error() = 0;
    virtual std::string current_state() = 0;
    virtual std::string session_id() = 0;
    virtual bool save_session() = 0;

    EventLog<PublicEvent> log;
    std::uint32_t policy = 0;  // host policy bits for initialize
};

class CppDriver : public Driver {
public:
    bool initialize(const std::string& base_dir) override {
        vexa_core::InitializeOptions options;
        options.base_dir = base_dir;
        options.host_policy_flags = policy;
        return session_.initialize(options);
    }
    Outcome send(const std::string& text, const TurnOptions& options) override {
        vexa_core::ChatOptions chat;
        chat.max_tool_rounds = options.max_tool_rounds;
        chat.tools = options.tools;
        chat.include_history_tools = !options.only_listed;
        chat.turn_system_prompt = options.turn_system_prompt;
        chat.orchestration = static_cast<vexa_core::OrchestrationMode>(options.orchestration);
        for (const auto& [url, detail] : options.images) chat.images.push_back({url, detail});
        const vexa_core::ChatResult r = session_.send_text_stream(text, chat, [this](const vexa_core::AgentEvent& e) {
            log.add({static_cast<int>(e.type), e.state, e.text, e.tool_name, e.tool_arguments, e.tool_result,
                     e.success, e.task_id});
        });
        last_result = r;
        return {r.success, r.error};
    }
    void cancel() override { session_.cancel(); }
    bool is_cancel_requested() override { return session_.is_cancel_requested(); }
    bool register_tool(const std::string& name, ToolFn fn) override {
        vexa_core::ToolParameterSpec spec;
        spec.name = name;
        spec.description = "test tool " + name;
        spec.properties_json = R"({"x":{"type":"integer"}})";
        return session_.register_tool(spec, std::move(fn));
    }
    void set_confirm(ConfirmFn fn) override { session_.set_tool_confirm_callback(std::move(fn)); }
    bool request_tools(const std::vector<std::string>& names) override { return session_.request_tools(names); }
    std::string last_error() override { return session_.last_error(); }
    std::string current_state() override { return session_.current_state(); }
    std::string session_id() override { return session_.current_session_id(); }
    bool save_session() override { return session_.save_session(); }

    vexa_core::CoreSession& session() { return session_; }
    vexa_core::ChatResult last_result;

private:
    vexa_core::CoreSession session_;
};

class CDriver : public Driver {
public:
    CDriver() : handle_(vexa_core_create()) {}
    ~CDriver() override { vexa_core_destroy(handle_); }

    bool initialize(const std::string& base_dir) override {
        VexaCoreInitOptions options{};
        options.base_dir = base_dir.c_str();
        options.host_policy_flags = policy;
        return vexa_core_initialize(handle_, &options, nullptr, nullptr) == 1;
    }
    Outcome send(const std::string& text, const TurnOptions& options) override {
        VexaCoreChatOptions chat{};
        chat.stream_content = 1;
        chat.stream_reasoning = 1;
        chat.emit_tool_events = 1;
        chat.max_tool_rounds = options.max_tool_rounds;
        std::vector<const char*> names;
        for (const auto& n : options.tools) names.push_back(n.c_str());
        chat.tools = names.empty() ? nullptr : names.data();
        chat.tool_count = static_cast<int32_t>(names.size());
        chat.only_listed_tools = options.only_listed ? 1 : 0;
        chat.turn_system_prompt = options.turn_system_prompt.empty() ? nullptr : options.turn_system_prompt.c_str();
        chat.orchestration = options.orchestration;
        chat.struct_size = sizeof(VexaCoreChatOptions);
        std::string images;
        if (!options.images.empty()) {
            nlohmann::json list = nlohmann::json::array();
            for (const auto& [url, detail] : options.images) list.push_back({{"url", url}, {"detail", detail}});
            images = list.dump();
            chat.images_json = images.c_str();
        }
        const int ok = vexa_core_send_text_stream(handle_, text.c_str(), &chat, &CDriver::on_event, this);
        Outcome outcome;
        outcome.success = ok == 1;
        if (!outcome.success) outcome.error = vexa_core_last_error(handle_);
        return outcome;
    }
    void cancel() override { vexa_core_cancel(handle_); }
    bool is_cancel_requested() override { return vexa_core_is_cancel_requested(handle_) == 1; }
    bool register_tool(const std::string& name, ToolFn fn) override {
        tools_.push_back({name, std::move(fn), {}});
        VexaCoreToolSpec spec{};
        spec.name = tools_.back().name.c_str();
        const std::string description = "test tool " + name;
        spec.description = description.c_str();
        spec.properties_json = R"({"x":{"type":"integer"}})";
        return vexa_core_register_tool(handle_, &spec, &CDriver::execute, &tools_.back()) == 1;
    }
    void set_confirm(ConfirmFn fn) override {
        confirm_ = std::move(fn);
        vexa_core_set_tool_confirm_callback(handle_, confirm_ ? &CDriver::confirm : nullptr, this);
    }
    bool request_tools(const std::vector<std::string>& names) override {
        std::vector<const char*> list;
        for (const auto& n : names) list.push_back(n.c_str());
        list.push_back(nullptr);  // null entries are skipped
        return vexa_core_request_tools(handle_, list.data(), static_cast<int>(list.size())) == 1;
    }
    std::string last_error() override { return vexa_core_last_error(handle_); }
    std::string current_state() override { return vexa_core_current_state(handle_); }
    std::string session_id() override { return vexa_core_current_session_id(handle_); }
    bool save_session() override { return vexa_core_save_session(handle_) == 1; }

    VexaCoreHandle* handle() { return handle_; }

private:
    struct HostTool {
        std::string name;
        ToolFn fn;
        std::string reply;  // kept alive until the executor is called again
    };

    static void on_event(const VexaCoreEvent* e, void* user) {
        static_cast<CDriver*>(user)->log.add(
            {e->type, e->state, e->text, e->tool_name, e->tool_arguments, e->tool_result, e->success != 0,
             e->task_id != nullptr ? e->task_id : ""});
    }
    static const char* execute(const char* arguments, void* user) {
        auto* tool = static_cast<HostTool*>(user);
        tool->reply = tool->fn(arguments);
        return tool->reply.c_str();
    }
    static int confirm(const char* name, const char* arguments, void* user) {
        return static_cast<CDriver*>(user)->confirm_(name, arguments) ? 1 : 0;
    }

    VexaCoreHandle* handle_;
    std::list<HostTool> tools_;
    ConfirmFn confirm_;
};

inline std::string describe(const PublicEvent& e) {
    switch (e.type) {
        case 2: return "state:" + e.state;
        case 3: return "content:" + e.text;
        case 4: return "reasoning:" + e.text;
        case 5: return "started:" + e.tool_name;
        case 6: return std::string(e.success ? "finished:" : "failed:") + e.tool_name;
        case 7: return "done:" + e.text;
        case 8: return "error:" + e.text;
        default: return "event" + std::to_string(e.type) + ":" + e.text;
    }
}

inline std::unique_ptr<Driver> make_driver(const std::string& kind) {
    if (kind == "cpp") return std::make_unique<CppDriver>();
    return std::make_unique<CDriver>();
}

}  // namespace vexa::test
