#include "orchestration/task_scheduler.hpp"

#include "config/agent_config.hpp"
#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

namespace vexa {
namespace {

using namespace std::chrono_literals;

// Generous: a wait that runs out means the tasks were not running together.
constexpr auto kMeetTimeout = 10s;

TaskGraph graph_of(std::vector<TaskNode> tasks) {
    TaskGraph graph;
    graph.tasks = std::move(tasks);
    graph.valid = true;
    return graph;
}

TaskResult ok(const std::string& output) {
    TaskResult result;
    result.success = true;
    result.output = output;
    return result;
}

TaskResult failure(const std::string& error) {
    TaskResult result;
    result.error = error;
    return result;
}

// A meeting point for `parties` threads with a bounded wait, so a test whose
// tasks never overlap fails instead of hanging.
class Meeting {
public:
    explicit Meeting(int parties) : parties_(parties) {}
    bool arrive_and_wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (++arrived_ >= parties_) cv_.notify_all();
        return cv_.wait_for(lock, kMeetTimeout, [this] { return arrived_ >= parties_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int parties_;
    int arrived_ = 0;
};

// Events as the host would see them, from whichever thread sent them.
class EventRecorder {
public:
    struct Entry {
        TaskEvent event;
        std::string id;
        std::string text;
        bool operator==(const Entry& other) const {
            return std::tie(event, id, text) == std::tie(other.event, other.id, other.text);
        }
    };

    TaskEventCallback callback() {
        return [this](TaskEvent event, const std::string& id, const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex_);
            entries_.push_back({event, id, text});
        };
    }
    std::vector<Entry> entries() {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_;
    }
    std::vector<Entry> of(const std::string& id) {
        std::vector<Entry> found;
        for (const Entry& e : entries()) {
            if (e.id == id) found.push_back(e);
        }
        return found;
    }
    // Position of the first matching event, or -1.
    int position(TaskEvent event, const std::string& id) {
        const std::vector<Entry> all = entries();
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i].event == event && all[i].id == id) return static_cast<int>(i);
        }
        return -1;
    }

private:
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

void PrintTo(const EventRecorder::Entry& e, std::ostream* os) {
    *os << "{" << static_cast<int>(e.event) << ", " << e.id << ", " << e.text << "}";
}

// Which tasks ran, with their context, and how many ran at once at most.
class ExecutionLog {
public:
    void begin(const std::string& id, const std::string& context) {
        std::lock_guard<std::mutex> lock(mutex_);
        order_.push_back(id);
        contexts_[id] = context;
        threads_.insert(std::this_thread::get_id());
        max_running_ = std::max(max_running_, ++running_);
    }
    void end() {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
    }
    std::vector<std::string> order() {
        std::lock_guard<std::mutex> lock(mutex_);
        return order_;
    }
    std::string context(const std::string& id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return contexts_.at(id);
    }
    int max_running() {
        std::lock_guard<std::mutex> lock(mutex_);
        return max_running_;
    }
    std::size_t thread_count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_.size();
    }

private:
    std::mutex mutex_;
    std::vector<std::string> order_;
    std::map<std::string, std::string> contexts_;
    std::set<std::thread::id> threads_;
    int running_ = 0;
    int max_running_ = 0;
};

const std::string kContextHead = "以下是本任务依赖的前置任务的执行结果，请在此基础上继续完成本任务：\n";

void expect_skipped(const TaskResult& r, const std::string& id, const std::string& text) {
    EXPECT_EQ(r.task_id, id);
    EXPECT_FALSE(r.success);
    EXPECT_TRUE(r.skipped);
    EXPECT_EQ(r.output, "");
    EXPECT_EQ(r.error, text);
}

TEST(TaskSchedulerTest, AtLeastOneWorker) {
    EXPECT_EQ(TaskScheduler(4).max_parallel(), 4);
    EXPECT_EQ(TaskScheduler(1).max_parallel(), 1);
    EXPECT_EQ(TaskScheduler(0).max_parallel(), 1);
    EXPECT_EQ(TaskScheduler(-3).max_parallel(), 1);
}

TEST(TaskSchedulerTest, AtMostTheCapOfWorkers) {
    EXPECT_EQ(TaskScheduler(64).max_parallel(), 64);
    EXPECT_EQ(TaskScheduler(65).max_parallel(), 64);
    EXPECT_EQ(TaskScheduler(100000).max_parallel(), 64);
}

TEST(TaskSchedulerTest, AGraphThatCannotBeScheduledIsRefused) {
    const std::atomic<bool> cancel{false};
    std::atomic<int> calls{0};
    const TaskExecutor executor = [&](const TaskNode&, const std::string&) {
        ++calls;
        return ok("x");
    };
    for (const TaskGraph& graph : {graph_of({{"a", "x", {}}, {"b", "y", {"zz"}}}),
                                   graph_of({{"a", "x", {"b"}}, {"b", "y", {"a"}}}),
                                   graph_of({{"a", "x", {}}, {"a", "y", {}}})}) {
        EXPECT_THROW(TaskScheduler(2).run(graph, executor, {}, cancel), std::invalid_argument);
    }
    EXPECT_EQ(calls.load(), 0);
}

TEST(TaskSchedulerTest, EmptyGraphGivesNoResults) {
    const std::atomic<bool> cancel{false};
    EXPECT_TRUE(TaskScheduler(2).run(TaskGraph{}, {}, {}, cancel).empty());
}

TEST(TaskInstructionTest, UpstreamBlockPrecedesTheDescription) {
    EXPECT_EQ(task_instruction("写总结", ""), "写总结");
    EXPECT_EQ(task_instruction("写总结", "CTX"), "CTX\n\n【本任务】\n写总结");
}

TEST(TaskSchedulerConcurrency, IndependentTasksRunTogetherAndTheDependentGetsTheUpstreamBlock) {
    const TaskGraph graph = graph_of({{"a", "do a", {}}, {"b", "do b", {"a"}}, {"c", "do c", {}}});
    Meeting meeting(2);
    ExecutionLog log;
    EventRecorder events;
    const std::atomic<bool> cancel{false};
    const TaskExecutor executor = [&](const TaskNode& node, const std::string& context) {
        log.begin(node.id, context);
        TaskResult result = ok("out " + node.id);
        if (node.id != "b" && !meeting.arrive_and_wait()) result = failure("a and c did not run together");
        log.end();
        return result;
    };
    const std::vector<TaskResult> results = TaskScheduler(2).run(graph, executor, events.callback(), cancel);

    ASSERT_EQ(results.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(results[i].task_id, graph.tasks[i].id);
        EXPECT_TRUE(results[i].success) << results[i].error;
        EXPECT_FALSE(results[i].skipped);
        EXPECT_EQ(results[i].output, "out " + graph.tasks[i].id);
    }
    EXPECT_EQ(log.context("a"), "");
    EXPECT_EQ(log.context("c"), "");
    EXPECT_EQ(log.context("b"), kContextHead + "\n【前置任务 a 结果】\nout a\n");
    EXPECT_EQ(task_instruction("do b", log.context("b")),
              "以下是本任务依赖的前置任务的执行结果，请在此基础上继续完成本任务：\n\n【前置任务 a 结果】\nout a\n"
              "\n\n【本任务】\ndo b");
    EXPECT_EQ(log.order().back(), "b");
    EXPECT_EQ(log.max_running(), 2);

    for (const std::string id : {"a", "b", "c"}) {
        EXPECT_EQ(events.of(id), (std::vector<EventRecorder::Entry>{{TaskEvent::Started, id, "do " + id},
                                                                     {TaskEvent::Succeeded, id, "out " + id}}));
    }
    EXPECT_LT(events.position(TaskEvent::Succeeded, "a"), events.position(TaskEvent::Started, "b"));
}

TEST(TaskSchedulerConcurrency, AFailedUpstreamSkipsItsDependentOnly) {
    const TaskGraph graph = graph_of({{"a", "do a", {}}, {"b", "do b", {"a"}}, {"c", "do c", {}}});
    ExecutionLog log;
    EventRecorder events;
    const std::atomic<bool> cancel{false};
    const TaskExecutor executor = [&](const TaskNode& node, const std::string& context) {
        log.begin(node.id, context);
        log.end();
        return node.id == "a" ? failure("model error") : ok("out " + node.id);
    };
    const std::vector<TaskResult> results = TaskScheduler(2).run(graph, executor, events.callback(), cancel);

    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].task_id, "a");
    EXPECT_FALSE(results[0].success);
    EXPECT_FALSE(results[0].skipped);
    EXPECT_EQ(results[0].error, "model error");
    expect_skipped(results[1], "b", "上游任务失败，已跳过");
    EXPECT_EQ(results[2].task_id, "c");
    EXPECT_TRUE(results[2].success);
    EXPECT_EQ(results[2].output, "out c");

    std::vector<std::string> ran = log.order();
    std::sort(ran.begin(), ran.end());
    EXPECT_EQ(ran, (std::vector<std::string>{"a", "c"}));
    using E = EventRecorder::Entry;
    EXPECT_EQ(events.of("a"), (std::vector<E>{{TaskEvent::Started, "a", "do a"}, {TaskEvent::Failed, "a", "model error"}}));
    EXPECT_EQ(events.of("b"), (std::vector<E>{{TaskEvent::Failed, "b", "上游任务失败，已跳过"}}));
    EXPECT_EQ(events.of("c"), (std::vector<E>{{TaskEvent::Started, "c", "do c"}, {TaskEvent::Succeeded, "c", "out c"}}));
}

TEST(TaskSchedulerConcurrency, AFailureAtTheHeadOfAChainSkipsTheWholeChain) {
    const TaskGraph graph = graph_of({{"a", "do a", {}}, {"b", "do b", {"a"}}, {"c", "do c", {"b"}}});
    ExecutionLog log;
    EventRecorder events;
    const std::atomic<bool> cancel{false};
    const TaskExecutor executor = [&](const TaskNode& node, const std::string& context) {
        log.begin(node.id, context);
        log.end();
        return failure("任务执行超时");
    };
    const std::vector<TaskResult> results = TaskScheduler(3).run(graph, executor, events.callback(), cancel);

    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].error, "任务执行超时");
    EXPECT_FALSE(results[0].skipped);
    expect_skipped(results[1], "b", "上游任务失败，已跳过");
    expect_skipped(results[2], "c", "上游任务失败，已跳过");
    EXPECT_EQ(log.order(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(events.of("c"), (std::vector<EventRecorder::Entry>{{TaskEvent::Failed, "c", "上游任务失败，已跳过"}}));
}

TEST(TaskSchedulerConcurrency, CancelWhileATaskRunsSkipsWhatHasNotStarted) {
    // One worker: a runs, c waits in the queue, b waits for a.
    const TaskGraph graph = graph_of({{"a", "do a", {}}, {"b", "do b", {"a"}}, {"c", "do c", {}}});
    ExecutionLog log;
    EventRecorder events;
    std::atomic<bool> cancel{false};
    const TaskExecutor executor = [&](const TaskNode& node, const std::string& context) {
        log.begin(node.id, context);
        cancel.store(true);
        log.end();
        return failure("");  // a cancelled loop reports no error of its own
    };
    const std::vector<TaskResult> results = TaskScheduler(1).run(graph, executor, events.callback(), cancel);

    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[0].task_id, "a");
    EXPECT_FALSE(results[0].success);
    EXPECT_FALSE(results[0].skipped);
    // b's upstream failed before the cancel was looked at.
    expect_skipped(results[1], "b", "上游任务失败，已跳过");
    expect_skipped(results[2], "c", "已取消");
    EXPECT_EQ(log.order(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(events.of("c"), (std::vector<EventRecorder::Entry>{{TaskEvent::Failed, "c", "已取消"}}));
}

TEST(TaskSchedulerConcurrency, CancelAfterASuccessSkipsDependentsAsCancelled) {
    const TaskGraph graph = graph_of({{"a", "do a", {}}, {"b", "do b", {"a"}}, {"c", "do c", {}}, {"d", "do d", {}}});
    ExecutionLog log;
    EventRecorder events;
    std::atomic<bool> cancel{false};
    const TaskExecutor executor = [&](const TaskNode& node, const std::string& context) {
        log.begin(node.id, context);
        cancel.store(true);
        log.end();
        return ok("done");
    };
    const std::vector<TaskResult> results = TaskScheduler(1).run(graph, executor, events.callback(), cancel);

    ASSERT_EQ(results.size(), 4u);
    EXPECT_TRUE(results[0].success);
    expect_skipped(results[1], "b", "已取消");
    expect_skipped(results[2], "c", "已取消");
    expect_skipped(results[3], "d", "已取消");
    EXPECT_EQ(log.order(), (std::vector<std::string>{"a"}));
    EXPECT_EQ(events.entries().size(), 5u);  // a: Started, Succeeded; b, c, d: Failed
}

TEST(TaskSchedulerConcurrency, OneWorkerRunsTasksOneAtATimeInSubmissionOrder) {
    // a, c and d are submitted at the start; b only once a has finished.
    const TaskGraph graph = graph_of({{"a", "do a", {}}, {"b", "do b", {"a"}}, {"c", "do c", {}}, {"d", "do d", {}}});
    for (const int workers : {1, 0, -3}) {
        SCOPED_TRACE(workers);
        ExecutionLog log;
        const std::atomic<bool> cancel{false};
        const TaskExecutor executor = [&](const TaskNode& node, const std::string& context) {
            log.begin(node.id, context);
            std::this_thread::sleep_for(5ms);  // room for an overlap, were there a second worker
            log.end();
            return ok(node.id);
        };
        const std::vector<TaskResult> results = TaskScheduler(workers).run(graph, executor, {}, cancel);
        ASSERT_EQ(results.size(), 4u);
        for (const TaskResult& r : results) EXPECT_TRUE(r.success) << r.task_id;
        EXPECT_EQ(log.order(), (std::vector<std::string>{"a", "c", "d", "b"}));
        EXPECT_EQ(log.max_running(), 1);
        EXPECT_EQ(log.thread_count(), 1u);
    }
}

TEST(TaskSchedulerConcurrency, AThrowingExecutorFailsItsTaskOnly) {
    struct Case {
        const char* name;
        std::function<void()> raise;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"standard exception", [] { throw std::runtime_error("disk full"); }, "任务执行异常: disk full"},
        {"other exception", [] { throw 42; }, "任务执行异常: 未知异常"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const TaskGraph graph = graph_of({{"a", "do a", {}}, {"b", "do b", {"a"}}, {"c", "do c", {}}});
        EventRecorder events;
        const std::atomic<bool> cancel{false};
        const TaskExecutor executor = [&](const TaskNode& node, const std::string&) {
            if (node.id == "a") c.raise();
            return ok("out " + node.id);
        };
        const std::vector<TaskResult> results = TaskScheduler(2).run(graph, executor, events.callback(), cancel);
        ASSERT_EQ(results.size(), 3u);
        EXPECT_EQ(results[0].task_id, "a");
        EXPECT_FALSE(results[0].success);
        EXPECT_FALSE(results[0].skipped);
        EXPECT_EQ(results[0].output, "");
        EXPECT_EQ(results[0].error, c.error);
        expect_skipped(results[1], "b", "上游任务失败，已跳过");
        EXPECT_TRUE(results[2].success);
        EXPECT_EQ(events.of("a"), (std::vector<EventRecorder::Entry>{{TaskEvent::Started, "a", "do a"},
                                                                      {TaskEvent::Failed, "a", c.error}}));
    }
}

TEST(TaskSchedulerConcurrency, AThrowingEventCallbackStillLeavesEveryResult) {
    const TaskGraph graph = graph_of({{"a", "do a", {}}, {"b", "do b", {"a"}}, {"c", "do c", {}}, {"d", "do d", {"c"}}});
    const std::atomic<bool> cancel{false};
    std::atomic<int> events{0};
    const TaskEventCallback on_event = [&](TaskEvent event, const std::string&, const std::string&) {
        ++events;
        if (event == TaskEvent::Started) throw std::runtime_error("host callback failed");
        throw 7;
    };
    const TaskExecutor executor = [&](const TaskNode& node, const std::string&) {
        return node.id == "c" ? failure("no") : ok("out " + node.id);
    };
    const std::vector<TaskResult> results = TaskScheduler(2).run(graph, executor, on_event, cancel);
    ASSERT_EQ(results.size(), 4u);
    EXPECT_TRUE(results[0].success);
    EXPECT_TRUE(results[1].success);
    EXPECT_EQ(results[2].error, "no");
    expect_skipped(results[3], "d", "上游任务失败，已跳过");
    EXPECT_EQ(events.load(), 7);  // Started and an outcome for a, b, c; Failed for d
}

TEST(TaskSchedulerConcurrency, EmptyUpstreamOutputAndRepeatedDependencies) {
    const TaskGraph graph = graph_of({{"a", "do a", {}},
                                      {"b", "do b", {}},
                                      {"c", "do c", {"a", "b", "a"}},
                                      {"d", "do d", {"c"}}});
    ExecutionLog log;
    const std::atomic<bool> cancel{false};
    const TaskExecutor executor = [&](const TaskNode& node, const std::string& context) {
        log.begin(node.id, context);
        log.end();
        return ok(node.id == "a" ? "" : "out " + node.id);
    };
    const std::vector<TaskResult> results = TaskScheduler(4).run(graph, executor, {}, cancel);
    ASSERT_EQ(results.size(), 4u);
    for (const TaskResult& r : results) EXPECT_TRUE(r.success) << r.task_id;
    // A dependency listed twice is given once.
    EXPECT_EQ(log.context("c"), kContextHead + "\n【前置任务 a 结果】\n(无输出)\n" + "\n【前置任务 b 结果】\nout b\n");
    EXPECT_EQ(log.context("d"), kContextHead + "\n【前置任务 c 结果】\nout c\n");
    EXPECT_EQ(log.order().size(), 4u);
}

TEST(TaskSchedulerConcurrency, ManyRunsOfAWideGraphKeepEveryResultInOrder) {
    // A fan-out and fan-in, run repeatedly so that finishing orders vary.
    std::vector<TaskNode> tasks = {{"root", "r", {}}};
    std::vector<std::string> middle;
    for (int i = 0; i < 6; ++i) {
        const std::string id = "m" + std::to_string(i);
        tasks.push_back({id, "m", {"root"}});
        middle.push_back(id);
    }
    tasks.push_back({"sink", "s", middle});
    tasks.push_back({"lone", "l", {}});
    const TaskGraph graph = graph_of(tasks);
    for (int run = 0; run < 30; ++run) {
        const std::atomic<bool> cancel{false};
        std::atomic<int> calls{0};
        EventRecorder events;
        const TaskExecutor executor = [&](const TaskNode& node, const std::string&) {
            ++calls;
            // Every third run one middle task fails, which must skip the sink only.
            if (run % 3 == 0 && node.id == "m" + std::to_string(run % 6)) return failure("bad");
            return ok(node.id);
        };
        const std::vector<TaskResult> results = TaskScheduler(1 + run % 4).run(graph, executor, events.callback(), cancel);
        ASSERT_EQ(results.size(), tasks.size());
        for (std::size_t i = 0; i < tasks.size(); ++i) ASSERT_EQ(results[i].task_id, tasks[i].id);
        const bool with_failure = run % 3 == 0;
        EXPECT_EQ(results[7].skipped, with_failure) << run;
        EXPECT_EQ(calls.load(), with_failure ? 8 : 9) << run;
        EXPECT_EQ(events.entries().size(), with_failure ? 17u : 18u) << run;
    }
}

// ---- the upstream block is bounded ---------------------------------------------

TEST(DependencyContextTest, BoundedAndCutAtACharacterBoundary) {
    const std::string ascii_100k(100 * 1024, 'x');
    std::string chinese_100k;
    while (chinese_100k.size() < 100 * 1024) chinese_100k += "结果";
    const std::string small = "out";
    std::vector<std::string> many_deps;
    for (int i = 0; i < 20000; ++i) many_deps.push_back("t1");
    std::vector<std::string> ten_deps;
    for (int i = 0; i < 10; ++i) ten_deps.push_back("d" + std::to_string(i));

    struct Case {
        const char* name;
        TaskNode node;
        std::string output;  // of every dependency
        bool cut;
    };
    const std::vector<Case> cases = {
        {"one short output", {"t2", "x", {"t1"}}, small, false},
        {"one output of 100 KiB", {"t2", "x", {"t1"}}, ascii_100k, true},
        {"three-byte characters", {"t2", "x", {"t1"}}, chinese_100k, true},
        {"one dependency listed 20000 times", {"t2", "x", many_deps}, small, false},
        {"a long output listed 20000 times", {"t2", "x", many_deps}, std::string(50 * 1000, 'y'), false},
        {"ten outputs of 10 KiB", {"t2", "x", ten_deps}, std::string(10 * 1024, 'z'), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string context =
            build_dependency_context(c.node, [&](const std::string&) -> const std::string& { return c.output; });
        EXPECT_LE(context.size(), kMaxUpstreamContextBytes);
        EXPECT_EQ(context.rfind(kContextHead, 0), 0u);
        EXPECT_TRUE(is_valid_utf8(context));
        const std::string note = kUpstreamTruncatedNote;
        const bool ends_with_note =
            context.size() >= note.size() && context.compare(context.size() - note.size(), note.size(), note) == 0;
        EXPECT_EQ(ends_with_note, c.cut);
        // Each dependency once, however often it is listed.
        std::size_t headings = 0;
        for (std::size_t at = context.find("【前置任务 "); at != std::string::npos;
             at = context.find("【前置任务 ", at + 1)) {
            ++headings;
        }
        std::set<std::string> distinct(c.node.depends_on.begin(), c.node.depends_on.end());
        if (!c.cut) {
            EXPECT_EQ(headings, distinct.size());
            EXPECT_EQ(context.size(), kContextHead.size() +
                                          distinct.size() * (std::string("\n【前置任务 ").size() + 2 +
                                                             std::string(" 结果】\n").size() + c.output.size() + 1));
        } else {
            EXPECT_GT(context.size(), kMaxUpstreamContextBytes - 64);  // filled, not dropped
        }
    }
    EXPECT_EQ(build_dependency_context({"t1", "x", {}}, [](const std::string&) -> const std::string& {
                  static const std::string none;
                  return none;
              }),
              "");
}

// ---- threads that cannot be started -------------------------------------------

std::vector<TaskNode> independent_tasks(int count) {
    std::vector<TaskNode> tasks;
    for (int i = 1; i <= count; ++i) tasks.push_back({"t" + std::to_string(i), "d", {}});
    return tasks;
}

TEST(TaskSchedulerThreads, ThreadStartFailuresFailTasksNeverTheCaller) {
    struct Case {
        const char* name;
        int threads_that_start;  // the factory throws std::system_error after that many
        bool all_run;
    };
    const std::vector<Case> cases = {
        {"no thread at all: every task fails with the reason", 0, false},
        {"one thread: it runs every task", 1, true},
        {"three threads", 3, true},
    };
    const TaskGraph graph = graph_of({{"a", "A", {}}, {"b", "B", {"a"}}, {"c", "C", {}}, {"d", "D", {}}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> started{0};
        const ThreadFactory factory = [&](std::function<void()> body) {
            if (started.load() >= c.threads_that_start) {
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                        "no thread");
            }
            ++started;
            return std::thread(std::move(body));
        };
        std::atomic<int> calls{0};
        EventRecorder events;
        const std::atomic<bool> cancel{false};
        std::vector<TaskResult> results;
        ASSERT_NO_THROW(results = TaskScheduler(8, factory).run(
                            graph,
                            [&](const TaskNode& node, const std::string&) {
                                ++calls;
                                return ok(node.id);
                            },
                            events.callback(), cancel));
        ASSERT_EQ(results.size(), 4u);
        EXPECT_EQ(calls.load(), c.all_run ? 4 : 0);
        for (std::size_t i = 0; i < results.size(); ++i) {
            EXPECT_EQ(results[i].task_id, graph.tasks[i].id);
            EXPECT_EQ(results[i].success, c.all_run);
            if (!c.all_run) {
                EXPECT_EQ(results[i].error.rfind(kTaskNotStartedPrefix, 0), 0u) << results[i].error;
                EXPECT_NE(results[i].error.find("no thread"), std::string::npos) << results[i].error;
                EXPECT_EQ(events.of(graph.tasks[i].id),
                          (std::vector<EventRecorder::Entry>{{TaskEvent::Failed, graph.tasks[i].id, results[i].error}}));
            }
        }
    }
}

TEST(TaskSchedulerThreads, AHugePlanGetsAtMostTheCapOfThreads) {
    std::atomic<int> started{0};
    const ThreadFactory factory = [&](std::function<void()> body) {
        ++started;
        return std::thread(std::move(body));
    };
    const TaskGraph graph = graph_of(independent_tasks(500));
    const std::atomic<bool> cancel{false};
    ExecutionLog log;
    const std::vector<TaskResult> results = TaskScheduler(100000, factory).run(
        graph,
        [&](const TaskNode& node, const std::string&) {
            log.begin(node.id, "");
            log.end();
            return ok(node.id);
        },
        {}, cancel);
    ASSERT_EQ(results.size(), 500u);
    for (const TaskResult& r : results) EXPECT_TRUE(r.success) << r.task_id;
    EXPECT_EQ(started.load(), kMaxParallelTasksCap);
    EXPECT_LE(log.max_running(), kMaxParallelTasksCap);
}

}  // namespace
}  // namespace vexa
