#pragma once
// Runs the tasks of a valid plan on a pool of worker threads: each task starts
// once every task it depends on has finished, tasks downstream of a failure are
// skipped, and a cancelled turn skips what has not started yet. Every task ends
// with exactly one result, whatever its executor or the event callback throws.

#include "orchestration/task_planner.hpp"

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
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
// No worker thread could be started, or the task could not be queued.
inline constexpr const char* kTaskNotStartedPrefix = "任务无法启动: ";

// The most a task receives of its upstream tasks' outputs, headings and note
// included: a plan may list many dependencies, each with a long answer.
inline constexpr std::size_t kMaxUpstreamContextBytes = 64 * 1024;
inline constexpr const char* kUpstreamHeader = "以下是本任务依赖的前置任务的执行结果，请在此基础上继续完成本任务：\n";
inline constexpr const char* kUpstreamTruncatedNote = "\n（前置任务结果过长，其余部分已省略）\n";

// Runs one task given the outputs of its upstream tasks (build-up below; empty
// for a task without dependencies).
using TaskExecutor = std::function<TaskResult(const TaskNode& node, const std::string& upstream_context)>;
// Called from the worker threads, never while the scheduler holds its lock; the
// callee serialises delivery itself.
using TaskEventCallback = std::function<void(TaskEvent event, const std::string& task_id, const std::string& text)>;
// Starts one worker thread running `body`; may throw (std::system_error when
// the system has no thread to give). Empty: std::thread.
using ThreadFactory = std::function<std::thread(std::function<void()> body)>;

class TaskScheduler {
public:
    // 0 or a negative value still gives one worker; more than
    // kMaxParallelTasksCap gives that many.
    explicit TaskScheduler(int max_parallel, ThreadFactory start_thread = {});

    int max_parallel() const { return max_parallel_; }

    // Results in the order of graph.tasks. The graph must pass
    // validate_dependencies (otherwise some task could never become ready):
    // std::invalid_argument if it does not. `cancel` is read before each task
    // starts. Blocks until every task has its result; the workers are joined
    // before it returns. When not one worker thread starts, every task fails
    // with kTaskNotStartedPrefix and the reason; fewer threads than asked for
    // still run every task. A task that cannot be queued fails the same way.
    std::vector<TaskResult> run(const TaskGraph& graph, const TaskExecutor& executor, const TaskEventCallback& on_event,
                                const std::atomic<bool>& cancel);

private:
    int max_parallel_ = 1;
    ThreadFactory start_thread_;
};

// The upstream block of `node`: kUpstreamHeader, then each dependency's
// output (`output_of` gives it by id) under its heading, each dependency once,
// in the order listed. At most kMaxUpstreamContextBytes: what does not fit is
// cut at a UTF-8 character boundary and kUpstreamTruncatedNote ends the block.
// Empty for a task without dependencies.
std::string build_dependency_context(const TaskNode& node,
                                     const std::function<const std::string&(const std::string& id)>& output_of);

// What a task is asked to do: its description, preceded by the upstream block
// when there is one.
std::string task_instruction(const std::string& description, const std::string& upstream_context);

}  // namespace vexa
