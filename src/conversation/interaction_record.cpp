#include "conversation/interaction_record.hpp"

#include "config/json_util.hpp"
#include "support/local_time.hpp"
#include "support/uuid.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <iterator>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

namespace vexa {

namespace {

using nlohmann::json;

// Nesting a tool's arguments object sits under in the record file: the file
// object, "records", the record, "tool_executions", the execution. Deeper
// arguments are kept as text, so a model's output can never make the whole
// file too deep to write.
constexpr int kArgumentsDepthInFile = 5;

json arguments_to_json(const std::string& text) {
    json parsed = parse_json_bounded(text);
    if (parsed.is_discarded() || !json_value_depth_within(parsed, kMaxJsonDepth - kArgumentsDepthInFile)) {
        return json(text);
    }
    return parsed;
}

json tool_execution_to_json(const ToolExecution& execution) {
    json out = json::object();
    out["arguments"] = arguments_to_json(execution.arguments);
    out["duration_ms"] = execution.duration_ms;
    out["id"] = execution.id;
    if (!execution.model_result.empty()) out["model_result"] = execution.model_result;
    out["name"] = execution.name;
    out["result"] = execution.result;
    out["started_at_ms"] = execution.started_at_ms;
    out["success"] = execution.success;
    return out;
}

// ---- readers: missing or null keeps the default, another type throws ------

const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

void read_string(const json& object, const char* key, std::string& out) {
    if (const json* v = member(object, key)) out = v->get<std::string>();
}

void read_bool(const json& object, const char* key, bool& out) {
    if (const json* v = member(object, key)) out = v->get<bool>();
}

// Numbers out of range are clamped (a float is never cast out of range).
std::int64_t number_value(const json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned()) {
            const auto u = value.get<std::uint64_t>();
            return u > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(u);
        }
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        if (std::isnan(d)) return 0;
        if (d >= 9.2e18) return INT64_MAX;
        if (d <= -9.2e18) return INT64_MIN;
        return static_cast<std::int64_t>(d);
    }
    return value.get<std::int64_t>();  // throws the type error for non-numbers
}

void read_int64(const json& object, const char* key, std::int64_t& out) {
    if (const json* v = member(object, key)) out = number_value(*v);
}

void read_int32(const json& object, const char* key, std::int32_t& out) {
    if (const json* v = member(object, key)) {
        out = static_cast<std::int32_t>(std::clamp<std::int64_t>(number_value(*v), INT32_MIN, INT32_MAX));
    }
}

ToolExecution tool_execution_from_json(const json& value) {
    ToolExecution out;
    if (!value.is_object()) return out;
    read_string(value, "id", out.id);
    read_string(value, "name", out.name);
    if (const json* args = member(value, "arguments")) {
        out.arguments = args->is_string() ? args->get<std::string>() : dump_json(*args, -1);
    }
    read_string(value, "result", out.result);
    read_string(value, "model_result", out.model_result);
    read_bool(value, "success", out.success);
    read_int32(value, "duration_ms", out.duration_ms);
    read_int64(value, "started_at_ms", out.started_at_ms);
    return out;
}

std::int64_t elapsed_ms(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

std::int64_t wall_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    if (b > 0 && a > INT64_MAX - b) return INT64_MAX;
    if (b < 0 && a < INT64_MIN - b) return INT64_MIN;
    return a + b;
}

}  // namespace

json record_to_json(const InteractionRecord& record) {
    json out = json::object();
    auto optional = [&](const char* key, const std::string& value) {
        if (!value.empty()) out[key] = value;
    };
    optional("backend", record.backend);
    optional("finish_reason", record.finish_reason);
    optional("model", record.model);
    optional("request_id", record.request_id);
    optional("task_id", record.task_id);
    optional("user_input", record.user_input);
    out["phase"] = record.phase.empty() ? std::string("react") : record.phase;
    out["record_id"] = record.record_id;

    json messages = json::array();
    for (const auto& message : record.messages) messages.push_back(message_to_json(message, false));
    json request = json{{"messages", std::move(messages)}, {"system_prompt", record.system_prompt},
                        {"tools", record.tools}};
    if (record.omitted_messages > 0) request["omitted_messages"] = record.omitted_messages;
    out["request"] = std::move(request);

    json response = json::object();
    if (!record.error.empty()) response["error"] = record.error;
    response["message"] = message_to_json(record.message, true);
    response["success"] = record.success;
    out["response"] = std::move(response);

    out["round"] = record.round;
    if (has_usage(record.round_usage)) out["round_usage"] = usage_to_json(record.round_usage);
    out["session_id"] = record.session_id;
    out["timestamp"] = record.timestamp;
    out["timing"] = json{{"first_token_ms", record.first_token_ms >= 0 ? json(record.first_token_ms) : json(nullptr)},
                         {"started_at_ms", record.started_at_ms},
                         {"total_ms", record.total_ms}};
    if (!record.tool_executions.empty()) {
        json executions = json::array();
        for (const auto& execution : record.tool_executions) executions.push_back(tool_execution_to_json(execution));
        out["tool_executions"] = std::move(executions);
    }
    out["user_turn_index"] = record.user_turn_index;
    return out;
}

InteractionRecord record_from_json(const json& value) {
    InteractionRecord out;
    if (!value.is_object()) return out;
    read_string(value, "record_id", out.record_id);
    read_string(value, "session_id", out.session_id);
    read_string(value, "timestamp", out.timestamp);
    read_string(value, "phase", out.phase);
    if (out.phase.empty()) out.phase = "react";
    read_string(value, "task_id", out.task_id);
    read_string(value, "user_input", out.user_input);
    read_string(value, "model", out.model);
    read_string(value, "backend", out.backend);
    read_string(value, "request_id", out.request_id);
    read_string(value, "finish_reason", out.finish_reason);
    read_int32(value, "user_turn_index", out.user_turn_index);
    read_int32(value, "round", out.round);

    if (auto it = value.find("request"); it != value.end() && it->is_object()) {
        read_string(*it, "system_prompt", out.system_prompt);
        read_int32(*it, "omitted_messages", out.omitted_messages);
        if (out.omitted_messages < 0) out.omitted_messages = 0;
        if (const json* messages = member(*it, "messages")) {
            for (const auto& element : messages->get_ref<const json::array_t&>()) {
                out.messages.push_back(message_from_json(element));
            }
        }
        if (auto tools = it->find("tools"); tools != it->end()) out.tools = *tools;
    }
    if (auto it = value.find("response"); it != value.end() && it->is_object()) {
        if (auto message = it->find("message"); message != it->end() && message->is_object()) {
            out.message = message_from_json(*message);
        }
        read_bool(*it, "success", out.success);
        read_string(*it, "error", out.error);
    }
    if (auto it = value.find("tool_executions"); it != value.end() && it->is_array()) {
        for (const auto& element : *it) out.tool_executions.push_back(tool_execution_from_json(element));
    }
    if (auto it = value.find("timing"); it != value.end() && it->is_object()) {
        read_int64(*it, "total_ms", out.total_ms);
        read_int64(*it, "started_at_ms", out.started_at_ms);
        auto first = it->find("first_token_ms");
        out.first_token_ms = (first != it->end() && first->is_number()) ? number_value(*first) : -1;
    }
    if (auto it = value.find("round_usage"); it != value.end() && it->is_object()) {
        out.round_usage = parse_usage(*it);
    }
    return out;
}

std::size_t shared_leading_messages(const std::vector<ChatMessage>& previous, const std::vector<ChatMessage>& current) {
    const std::size_t limit = std::min(previous.size(), current.size());
    std::size_t shared = 0;
    while (shared < limit && message_to_json(previous[shared], false) == message_to_json(current[shared], false)) {
        ++shared;
    }
    return shared;
}

bool expand_compact_requests(std::vector<InteractionRecord>& records) {
    // The last record of each turn and task seen so far; a broken chain is
    // not followed further.
    std::map<std::pair<std::int32_t, std::string>, std::size_t> last;
    std::set<std::pair<std::int32_t, std::string>> broken;
    bool complete = true;
    for (std::size_t i = 0; i < records.size(); ++i) {
        InteractionRecord& record = records[i];
        const auto key = std::make_pair(record.user_turn_index, record.task_id);
        if (broken.count(key) != 0) continue;
        if (record.omitted_messages > 0) {
            auto it = last.find(key);
            const auto omitted = static_cast<std::size_t>(record.omitted_messages);
            if (it == last.end() || records[it->second].messages.size() < omitted) {
                broken.insert(key);
                complete = false;
                continue;
            }
            const std::vector<ChatMessage>& previous = records[it->second].messages;
            std::vector<ChatMessage> whole(previous.begin(), previous.begin() + static_cast<std::ptrdiff_t>(omitted));
            whole.insert(whole.end(), std::make_move_iterator(record.messages.begin()),
                         std::make_move_iterator(record.messages.end()));
            record.messages = std::move(whole);
            record.omitted_messages = 0;
        }
        last[key] = i;
    }
    return complete;
}

void UsageSum::add(const TokenUsage& usage) {
    if (has_usage(usage)) {
        sum_ = add_usage(sum_, usage);
    } else {
        missing_ = true;
    }
}

TokenUsage UsageSum::value() const {
    TokenUsage out = sum_;
    if (missing_ && has_usage(out)) out.estimated = true;
    return out;
}

void TurnSummary::add(const InteractionRecord& record) {
    usage_.add(record.round_usage);
    if (record.started_at_ms > 0) {
        const std::int64_t end = saturating_add(record.started_at_ms, record.total_ms);
        if (!has_start_) {
            started_at_ms_ = record.started_at_ms;
            end_ms_ = end;
            has_start_ = true;
        } else {
            end_ms_ = std::max(end_ms_, end);
        }
    }
    if (first_token_ms_ < 0 && record.first_token_ms >= 0) first_token_ms_ = record.first_token_ms;
}

json TurnSummary::usage_json() const {
    const TokenUsage usage = usage_.value();
    if (!has_usage(usage)) return nullptr;
    json out = usage_to_json(usage);
    out["user_turn_index"] = user_turn_index_;
    return out;
}

json TurnSummary::timing_json() const {
    if (!has_start_) return nullptr;
    // The start is positive, so the difference cannot overflow.
    const std::int64_t total = end_ms_ > started_at_ms_ ? end_ms_ - started_at_ms_ : 0;
    return json{{"first_token_ms", first_token_ms_ >= 0 ? json(first_token_ms_) : json(nullptr)},
                {"started_at_ms", started_at_ms_},
                {"total_ms", total},
                {"user_turn_index", user_turn_index_}};
}

TokenUsage sum_record_usage(const std::vector<InteractionRecord>& records, std::size_t from) {
    UsageSum sum;
    for (std::size_t i = from; i < records.size(); ++i) sum.add(records[i].round_usage);
    return sum.value();
}

json record_file_json(const std::string& session_id, const std::vector<InteractionRecord>& records) {
    json out = json::object();
    out["record_count"] = static_cast<std::size_t>(records.size());
    out["session_id"] = session_id;
    json list = json::array();
    for (const auto& record : records) list.push_back(record_to_json(record));
    out["records"] = std::move(list);
    if (records.empty()) return out;

    out["started_at"] = records.front().timestamp;
    out["last_event_at"] = records.back().timestamp;
    const TokenUsage total = sum_record_usage(records);
    if (has_usage(total)) out["session_usage"] = usage_to_json(total);

    // Turns in the order they first occur.
    std::vector<TurnSummary> turns;
    std::unordered_map<std::int32_t, std::size_t> position;
    for (const auto& record : records) {
        auto [it, inserted] = position.emplace(record.user_turn_index, turns.size());
        if (inserted) turns.emplace_back(record.user_turn_index);
        turns[it->second].add(record);
    }
    json usages = json::array();
    json timings = json::array();
    for (const auto& turn : turns) {
        if (json usage = turn.usage_json(); !usage.is_null()) usages.push_back(std::move(usage));
        if (json timing = turn.timing_json(); !timing.is_null()) timings.push_back(std::move(timing));
    }
    if (!timings.empty()) out["turn_timings"] = std::move(timings);
    if (!usages.empty()) out["turn_usages"] = std::move(usages);
    return out;
}

// ---- RoundBuilder -------------------------------------------------------------

void RoundBuilder::start(std::int32_t round, const std::string& phase, const std::string& task_id) {
    record_ = InteractionRecord{};
    record_.round = round;
    record_.phase = phase.empty() ? std::string("react") : phase;
    record_.task_id = task_id;
    record_.message.role = MessageRole::assistant;
    record_.timestamp = local_timestamp_now();
    record_.started_at_ms = wall_now_ms();
    record_.first_token_ms = -1;
    record_.start_time = std::chrono::steady_clock::now();
}

void RoundBuilder::set_request(std::string system_prompt, std::vector<ChatMessage> messages, json tools) {
    record_.system_prompt = std::move(system_prompt);
    record_.messages = std::move(messages);
    record_.tools = std::move(tools);
}

void RoundBuilder::mark_first_token() {
    if (record_.first_token_taken) return;
    record_.first_token_time = std::chrono::steady_clock::now();
    record_.first_token_taken = true;
}

void RoundBuilder::set_result(ChatMessage message, bool success, std::string error) {
    record_.message = std::move(message);
    record_.success = success;
    record_.error = std::move(error);
}

void RoundBuilder::set_round_usage(const TokenUsage& usage) { record_.round_usage = usage; }

void RoundBuilder::set_model_info(std::string model, std::string backend, std::string request_id,
                                  std::string finish_reason) {
    record_.model = std::move(model);
    record_.backend = std::move(backend);
    record_.request_id = request_id.empty() ? generate_uuid32() : std::move(request_id);
    record_.finish_reason = std::move(finish_reason);
}

void RoundBuilder::set_finish_reason(const std::string& reason) {
    if (!reason.empty()) record_.finish_reason = reason;
}

void RoundBuilder::add_tool_execution(std::string id, std::string name, std::string arguments, std::string result,
                                      bool success, std::int32_t duration_ms, std::int64_t started_at_ms) {
    ToolExecution execution;
    execution.id = std::move(id);
    execution.name = std::move(name);
    execution.arguments = std::move(arguments);
    execution.result = std::move(result);
    execution.success = success;
    execution.duration_ms = duration_ms;
    execution.started_at_ms = started_at_ms;
    record_.tool_executions.push_back(std::move(execution));
}

InteractionRecord RoundBuilder::finish() const {
    InteractionRecord out = record_;
    const auto now = std::chrono::steady_clock::now();
    out.total_ms = elapsed_ms(record_.start_time, now);
    out.first_token_ms = record_.first_token_taken ? elapsed_ms(record_.start_time, record_.first_token_time) : -1;
    return out;
}

}  // namespace vexa
