#pragma once
// Runs the tasks of a valid plan on a pool of worker threads: each task starts
// once every task it depends on has finished, tasks downstream of a failure are
// skipped, and a cancelled turn skips what has not started yet. Every task ends
// with exactly one result, whatever its executor or the event callback throws.

#include "orchestration/task_planner.hpp"

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace vexa {

struct TaskResult {
    std::string task_id;
    bool success = false;
    bool skipped = false;  // never ran: an upstream task failed, or the turn was cancelled
    std::string output;    // the task's final answer
    std::string error;     // why it failed or was skipped
};

enum class TaskEvent {
    Started = 0,
    Progress = 1,
    Succeeded = 2,
    Failed = 3,
};

inline constexpr const char* kUpstreamFailedSkip = "上游任务失败，已跳过";
inline constexpr const char* kCancelledSkip = "已取消";
inline constexpr const char* kTaskExceptionPrefix = "任务执行异常: ";

// Runs one task given the outputs of its upstream tasks (build-up below; empty
// for a task without dependencies).
using TaskExecutor = std::function<TaskResult(const TaskNode& node, const std::string& upstream_context)>;
// Called from the worker threads, never while the scheduler holds its lock; the
// callee serialises delivery itself.
using TaskEventCallback = std::function<void(TaskEvent event, const std::string& task_id, const std::string& text)>;

class TaskScheduler {
public:
    // 0 or a negative value still gives one worker.
    explicit TaskScheduler(int max_parallel);

    int max_parallel() const { return max_parallel_; }

    // Results in the order of graph.tasks. The graph must pass
    // validate_dependencies (otherwise some task could never become ready):
    // std::invalid_argument if it does not. `cancel` is read before each task
    // starts. Blocks until every task has its result; the workers are joined
    // before it returns.
    std::vector<TaskResult> run(const TaskGraph& graph, const TaskExecutor& executor, const TaskEventCallback& on_event,
                                const std::atomic<bool>& cancel);

private:
    int max_parallel_ = 1;
};

// What a task is asked to do: its description, preceded by the upstream block
// when there is one.
std::string task_instruction(const std::string& description, const std::string& upstream_context);

}  // namespace vexa
