#pragma once
// One model call of a session as it goes into the record file: what was sent,
// what came back, the tools it ran, its timings and its usage; the builder
// that fills it while the call runs; and its JSON forms.

#include "conversation/chat_message.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vexa {

struct ToolExecution {
    std::string id;
    std::string name;
    std::string arguments;     // as the model sent them
    std::string result;        // the tool's raw result
    std::string model_result;  // only carried over from files that have it
    bool success = false;
    std::int32_t duration_ms = 0;
    std::int64_t started_at_ms = 0;  // wall clock, ms since 1970 UTC
};

struct InteractionRecord {
    std::string record_id;
    std::string session_id;
    std::string timestamp;  // local time "%Y-%m-%dT%H:%M:%S"
    std::int32_t user_turn_index = 0;
    std::int32_t round = 0;
    std::string phase = "react";
    std::string task_id;
    std::string user_input;
    std::string model;
    std::string backend;
    std::string request_id;
    std::string finish_reason;
    // request
    std::string system_prompt;
    std::vector<ChatMessage> messages;
    // Compact form: how many leading messages of the request were left out
    // because the previous record of the same turn and task holds them;
    // `messages` then holds only the rest. 0 in the full form.
    std::int32_t omitted_messages = 0;
    nlohmann::json tools = nlohmann::json::array();
    // response
    ChatMessage message;
    bool success = false;
    std::string error;
    std::vector<ToolExecution> tool_executions;
    // timing
    std::int64_t total_ms = 0;
    std::int64_t started_at_ms = 0;
    std::int64_t first_token_ms = -1;  // -1: nothing was streamed
    TokenUsage round_usage;
    // Run-time only, never written.
    std::chrono::steady_clock::time_point start_time{};
    std::chrono::steady_clock::time_point first_token_time{};
    bool first_token_taken = false;
};

// The record object of the record file (keys sorted, optional members only
// when set).
nlohmann::json record_to_json(const InteractionRecord& record);
// Reads a record object as the record file holds it. Members of the wrong
// type (a string where a number belongs, ...) throw nlohmann::json::exception;
// a missing or null member keeps its default.
InteractionRecord record_from_json(const nlohmann::json& value);

// How many leading messages `current` shares with `previous`, compared as
// the record file writes them.
std::size_t shared_leading_messages(const std::vector<ChatMessage>& previous, const std::vector<ChatMessage>& current);

// Gives records of the compact form their whole request again: a record's
// left-out messages are the leading ones of the previous record (in file
// order) of the same user turn and task. Records of the full form stay as
// they are. False when a record leaves out more messages than that previous
// record had (or has none); that record and the later ones of its turn and
// task are then left as read.
bool expand_compact_requests(std::vector<InteractionRecord>& records);

// A running sum of record usages: unknown while no usage is known, estimated
// when some record had none.
class UsageSum {
public:
    void add(const TokenUsage& usage);
    TokenUsage value() const;

private:
    TokenUsage sum_;
    bool missing_ = false;
};

// A running summary of one user turn's records, for the per-turn arrays of
// the record file.
class TurnSummary {
public:
    explicit TurnSummary(std::int32_t user_turn_index) : user_turn_index_(user_turn_index) {}
    void add(const InteractionRecord& record);
    std::int32_t user_turn_index() const { return user_turn_index_; }
    // The "turn_usages" element; null when the turn's usage is unknown.
    nlohmann::json usage_json() const;
    // The "turn_timings" element; null when no record of the turn has a start.
    nlohmann::json timing_json() const;

private:
    std::int32_t user_turn_index_;
    UsageSum usage_;
    bool has_start_ = false;
    std::int64_t started_at_ms_ = 0;
    std::int64_t end_ms_ = 0;
    std::int64_t first_token_ms_ = -1;
};

// Sum of the known usages of `records[from..]`: unknown when none is known,
// estimated when some record had none. The sum of a turn and of a session.
TokenUsage sum_record_usage(const std::vector<InteractionRecord>& records, std::size_t from = 0);

// The whole record file of a session as one JSON object, built from scratch.
// The recorder produces the same bytes from cached pieces; this is the
// reference it is checked against.
nlohmann::json record_file_json(const std::string& session_id, const std::vector<InteractionRecord>& records);

// Fills the record of one model call, in call order: start, set_request,
// mark_first_token (any number of times), set_result, set_round_usage,
// set_model_info, add_tool_execution, set_finish_reason, finish. Belongs to
// the thread that makes the call.
class RoundBuilder {
public:
    // Resets the record; an empty phase means "react".
    void start(std::int32_t round, const std::string& phase, const std::string& task_id);
    void set_request(std::string system_prompt, std::vector<ChatMessage> messages, nlohmann::json tools);
    // Only the first call of a round counts.
    void mark_first_token();
    void set_result(ChatMessage message, bool success, std::string error);
    void set_round_usage(const TokenUsage& usage);
    // An empty request id gets a fresh random one.
    void set_model_info(std::string model, std::string backend, std::string request_id, std::string finish_reason);
    // Only a non-empty reason replaces the current one.
    void set_finish_reason(const std::string& reason);
    void add_tool_execution(std::string id, std::string name, std::string arguments, std::string result, bool success,
                            std::int32_t duration_ms, std::int64_t started_at_ms);
    // A copy of the record with its total and first-token times taken now.
    InteractionRecord finish() const;

    const InteractionRecord& record() const { return record_; }

private:
    InteractionRecord record_;
};

}  // namespace vexa
