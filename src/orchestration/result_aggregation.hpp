#pragma once
// The request that turns the results of an orchestrated turn's tasks into one
// answer for the user, and the answer used when that request fails.

#include "orchestration/task_scheduler.hpp"

#include <string>
#include <vector>

namespace vexa {

inline constexpr const char* kAggregationNotice = "正在汇总各任务结果...";

// The user message of the aggregation request: the original request, then one
// block per result in task order with its status, then the instruction.
std::string build_aggregation_prompt(const std::string& user_text, const std::vector<TaskResult>& results);

// The turn's answer when the aggregation stream fails; the turn still succeeds.
std::string aggregation_failure_text(const std::string& error);

}  // namespace vexa
