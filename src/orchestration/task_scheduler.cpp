#include "orchestration/task_scheduler.hpp"

#include "config/agent_config.hpp"
#include "support/utf8.hpp"

#include <algorithm>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace vexa {
namespace {

// A fixed set of threads taking jobs from one FIFO queue. stop() lets the
// threads finish every queued job before they exit, so nothing submitted is lost.
class WorkerPool {
public:
    // Throws when not a single thread starts.
    WorkerPool(int threads, const ThreadFactory& start_thread) {
        threads_.reserve(static_cast<std::size_t>(threads));
        for (int i = 0; i < threads; ++i) {
            try {
                if (start_thread) {
                    threads_.push_back(start_thread([this] { work(); }));
                } else {
                    threads_.emplace_back([this] { work(); });
                }
            } catch (...) {
                // Fewer threads still run every job; none at all would hang the run.
                if (threads_.empty()) throw;
                break;
            }
        }
    }
    ~WorkerPool() { stop(); }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void submit(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        cv_.notify_one();
    }

    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        for (std::thread& t : threads_) {
            if (t.joinable()) t.join();
        }
        threads_.clear();
    }

private:
    void work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                if (jobs_.empty()) return;  // stopping, and nothing left to run
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            try {
                job();
            } catch (...) {
                // A job's failure is its own; the thread takes the next one.
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// The host's callback may throw; the task still has to store its result.
void notify(const TaskEventCallback& on_event, TaskEvent event, const std::string& id, const std::string& text) {
    if (!on_event) return;
    try {
        on_event(event, id, text);
    } catch (...) {
    }
}

TaskResult failed_result(std::string error) {
    TaskResult result;
    result.error = std::move(error);
    return result;
}

// The text of the exception being handled.
const char* current_reason() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "未知异常";
    }
}

// A task that never ran because the scheduler could not start it. Out of
// memory even for the text, it still fails, without one.
TaskResult not_started_result(const char* reason) {
    TaskResult result;
    try {
        result.error = std::string(kTaskNotStartedPrefix) + reason;
    } catch (...) {
    }
    return result;
}

// State of one run, shared by the scheduler thread and the workers.
struct RunState {
    const TaskGraph& graph;
    std::unordered_map<std::string, std::size_t> index;  // task id -> position in graph.tasks
    std::vector<std::size_t> pending;                     // unfinished dependency entries
    std::vector<std::vector<std::size_t>> dependents;     // in task order
    std::vector<bool> upstream_failed;
    std::vector<TaskResult> results;

    std::mutex mutex;
    std::condition_variable cv;
    // Finished tasks in the order they finished; each task is pushed once and
    // the capacity is reserved up front, so pushing cannot throw.
    std::vector<std::size_t> finished;
    std::size_t drained = 0;

    explicit RunState(const TaskGraph& g) : graph(g) {
        const std::size_t n = g.tasks.size();
        pending.assign(n, 0);
        dependents.resize(n);
        upstream_failed.assign(n, false);
        results.resize(n);
        finished.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            index.emplace(g.tasks[i].id, i);
            results[i].task_id = g.tasks[i].id;
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (const std::string& dep : g.tasks[i].depends_on) {
                ++pending[i];
                dependents[index.at(dep)].push_back(i);
            }
        }
    }

    // Caller holds `mutex`. Upstream tasks have all succeeded when this runs.
    std::string dependency_context(const TaskNode& node) const {
        return build_dependency_context(
            node, [this](const std::string& id) -> const std::string& { return results[index.at(id)].output; });
    }

    void finish(std::size_t i, TaskResult&& result) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            result.task_id = graph.tasks[i].id;
            results[i] = std::move(result);
            finished.push_back(i);
        }
        cv.notify_one();
    }
};

void run_task(RunState& state, std::size_t i, const TaskExecutor& executor, const TaskEventCallback& on_event,
              const std::atomic<bool>& cancel) {
    const TaskNode& node = state.graph.tasks[i];
    TaskResult result;
    try {
        const char* skip = nullptr;
        std::string context;
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (state.upstream_failed[i]) {
                skip = kUpstreamFailedSkip;
            } else if (cancel.load(std::memory_order_acquire)) {
                skip = kCancelledSkip;
            } else {
                context = state.dependency_context(node);
            }
        }
        if (skip != nullptr) {
            result.skipped = true;
            result.error = skip;
            notify(on_event, TaskEvent::Failed, node.id, result.error);
        } else {
            notify(on_event, TaskEvent::Started, node.id, node.description);
            try {
                result = executor(node, context);
            } catch (const std::exception& e) {
                result = failed_result(kTaskExceptionPrefix + std::string(e.what()));
            } catch (...) {
                result = failed_result(kTaskExceptionPrefix + std::string("未知异常"));
            }
            if (result.success) {
                notify(on_event, TaskEvent::Succeeded, node.id, result.output);
            } else {
                notify(on_event, TaskEvent::Failed, node.id, result.error);
            }
        }
    } catch (...) {
        // Out of memory while building texts: the task still ends, as a failure.
        result = TaskResult{};
        try {
            result.error = kTaskExceptionPrefix + std::string("未知异常");
        } catch (...) {
        }
    }
    state.finish(i, std::move(result));
}

}  // namespace

TaskScheduler::TaskScheduler(int max_parallel, ThreadFactory start_thread)
    : max_parallel_(std::clamp(max_parallel, 1, kMaxParallelTasksCap)), start_thread_(std::move(start_thread)) {}

std::vector<TaskResult> TaskScheduler::run(const TaskGraph& graph, const TaskExecutor& executor,
                                           const TaskEventCallback& on_event, const std::atomic<bool>& cancel) {
    if (!validate_dependencies(graph)) {
        throw std::invalid_argument("task graph has duplicate ids, unknown dependencies or a cycle");
    }
    const std::size_t n = graph.tasks.size();
    RunState state(graph);
    std::vector<std::size_t> ready;
    ready.reserve(n);
    // More threads than tasks could never be busy at once.
    const int threads = static_cast<int>(
        std::min<std::size_t>(static_cast<std::size_t>(max_parallel_), std::max<std::size_t>(n, 1)));
    std::unique_ptr<WorkerPool> pool;
    try {
        pool = std::make_unique<WorkerPool>(threads, start_thread_);
    } catch (...) {
        // Not one thread: nothing can run, but the turn goes on with every
        // task failed and the reason in its result.
        const char* reason = current_reason();
        for (std::size_t i = 0; i < n; ++i) {
            state.results[i] = not_started_result(reason);
            state.results[i].task_id = graph.tasks[i].id;
            notify(on_event, TaskEvent::Failed, graph.tasks[i].id, state.results[i].error);
        }
        return std::move(state.results);
    }
    const auto submit = [&](std::size_t i) {
        try {
            pool->submit(
                [&state, i, &executor, &on_event, &cancel] { run_task(state, i, executor, on_event, cancel); });
        } catch (...) {
            // Out of memory for the queue: this task fails, its dependents are
            // skipped as after any failure.
            TaskResult result = not_started_result(current_reason());
            notify(on_event, TaskEvent::Failed, graph.tasks[i].id, result.error);
            state.finish(i, std::move(result));
        }
    };

    for (std::size_t i = 0; i < n; ++i) {
        if (state.pending[i] == 0) submit(i);
    }
    std::size_t done = 0;
    while (done < n) {
        ready.clear();
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            state.cv.wait(lock, [&] { return state.drained < state.finished.size(); });
            while (state.drained < state.finished.size()) {
                const std::size_t finished = state.finished[state.drained++];
                ++done;
                const bool succeeded = state.results[finished].success;
                for (const std::size_t dependent : state.dependents[finished]) {
                    if (!succeeded) state.upstream_failed[dependent] = true;
                    // Reserved for every task; each becomes ready once.
                    if (--state.pending[dependent] == 0) ready.push_back(dependent);
                }
            }
        }
        for (const std::size_t i : ready) submit(i);
    }
    pool->stop();
    return std::move(state.results);
}

std::string build_dependency_context(const TaskNode& node,
                                     const std::function<const std::string&(const std::string& id)>& output_of) {
    if (node.depends_on.empty()) return {};
    const std::size_t note_size = std::char_traits<char>::length(kUpstreamTruncatedNote);
    // Room for the texts, keeping space for the note that may have to end them.
    const std::size_t room = kMaxUpstreamContextBytes - note_size;
    std::string context = kUpstreamHeader;
    std::unordered_set<std::string> included;
    const auto append = [&](std::string_view piece) {
        if (context.size() + piece.size() <= room) {
            context += piece;
            return true;
        }
        context += piece.substr(0, utf8_cut_position(piece, room - context.size()));
        context += kUpstreamTruncatedNote;
        return false;
    };
    for (const std::string& dep : node.depends_on) {
        if (!included.insert(dep).second) continue;
        const std::string& output = output_of(dep);
        const std::string_view shown = output.empty() ? std::string_view("(无输出)") : std::string_view(output);
        if (!append("\n【前置任务 " + dep + " 结果】\n") || !append(shown) || !append("\n")) break;
    }
    return context;
}

std::string task_instruction(const std::string& description, const std::string& upstream_context) {
    if (upstream_context.empty()) return description;
    return upstream_context + "\n\n【本任务】\n" + description;
}

}  // namespace vexa
