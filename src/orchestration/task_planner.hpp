#pragma once
// Planning a user request into a small graph of tasks: the planner prompt, the
// reading of the model's answer and the check that the dependencies can be
// scheduled. Anything unusable yields an invalid graph, and the turn then runs
// as an ordinary ReAct turn.

#include <string>
#include <string_view>
#include <vector>

namespace vexa {

struct TaskNode {
    std::string id;
    std::string description;              // one instruction an independent agent can carry out
    std::vector<std::string> depends_on;  // ids of the tasks whose results this one needs, each once
};

struct TaskGraph {
    std::vector<TaskNode> tasks;  // in the order of the model's answer
    bool valid = false;           // two or more tasks, known dependencies, no cycle
    std::string summary;          // the plan as shown to the host; set for a valid graph
};

// Texts of the planning step.
inline constexpr const char* kPlanningNotice = "正在规划任务...";
inline constexpr const char* kPlannerEmptyOutputError = "planner returned empty output";

// A plan needs at least two tasks to be worth orchestrating, so the configured
// limit never goes below 2; it never goes above kPlannerMaxTasksCap either,
// since each task may become a thread and a connection of its own.
int planner_max_tasks(int configured);

// The planner's system prompt. `max_tasks` is bounded like the configured limit.
std::string build_planner_prompt(int max_tasks);

// The first balanced {...} of `text` (braces inside JSON strings do not count),
// or "" when there is no "{" or the object never closes. Prose and code fences
// around it are ignored.
std::string extract_json_object(std::string_view text);

// Reads the model's answer into a graph of at most `max_tasks` tasks (bounded
// like planner_max_tasks). Repeated dependency ids are kept once, in the order they first appear.
// Never throws on malformed input; the result is valid only when it holds
// two or more tasks that pass validate_dependencies.
TaskGraph parse_plan(std::string_view text, int max_tasks);

// True when ids are unique, every dependency names a task of the graph and the
// dependencies form no cycle (a task depending on itself included).
bool validate_dependencies(const TaskGraph& graph);

// "已规划 N 个任务：" and one line per task with its dependencies.
std::string plan_summary(const TaskGraph& graph);

}  // namespace vexa
