// libFuzzer target for the task planner: the object extraction and the plan
// reading on arbitrary model answers, and a run of every valid plan on the
// scheduler. The extracted object is always the first balanced one; a valid
// plan always has 2..limit tasks with unique ids, descriptions and known,
// acyclic dependencies; every scheduled task ends with exactly one result, and
// a task runs exactly when all its upstream tasks succeeded.
//
// Input: the model's answer; the task limit (-2..8) follows from its length,
// so limits below two are exercised too.

#include "orchestration/task_planner.hpp"
#include "orchestration/task_scheduler.hpp"

#include "fuzz_check.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

bool starts_with(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

void check_extraction(const std::string& text) {
    const std::string object = vexa::extract_json_object(text);
    if (object.empty()) return;
    FUZZ_CHECK(object.size() >= 2);
    FUZZ_CHECK(object.front() == '{');
    FUZZ_CHECK(object.back() == '}');
    // It starts at the first "{" of the text and is its own extraction.
    FUZZ_CHECK(text.compare(text.find('{'), object.size(), object) == 0);
    FUZZ_CHECK(vexa::extract_json_object(object) == object);
}

void check_graph(const vexa::TaskGraph& graph, int max_tasks) {
    FUZZ_CHECK(graph.tasks.size() <= static_cast<std::size_t>(vexa::planner_max_tasks(max_tasks)));
    std::set<std::string> ids;
    for (const vexa::TaskNode& task : graph.tasks) {
        FUZZ_CHECK(!task.id.empty());
        FUZZ_CHECK(!task.description.empty());
        FUZZ_CHECK(ids.insert(task.id).second);
    }
    if (!graph.valid) {
        FUZZ_CHECK(graph.summary.empty());
        // Enough tasks and sound dependencies would have made it valid.
        if (graph.tasks.size() >= 2) FUZZ_CHECK(!vexa::validate_dependencies(graph));
        return;
    }
    FUZZ_CHECK(graph.tasks.size() >= 2);
    for (const vexa::TaskNode& task : graph.tasks) {
        std::set<std::string> listed;
        for (const std::string& dep : task.depends_on) {
            FUZZ_CHECK(ids.count(dep) == 1);
            FUZZ_CHECK(listed.insert(dep).second);  // each dependency once
        }
    }
    FUZZ_CHECK(vexa::validate_dependencies(graph));
    FUZZ_CHECK(starts_with(graph.summary, "已规划 " + std::to_string(graph.tasks.size()) + " 个任务："));
    FUZZ_CHECK(graph.summary == vexa::plan_summary(graph));
}

// Tasks whose description starts with an odd byte fail.
void check_schedule(const vexa::TaskGraph& graph, std::size_t workers) {
    std::mutex mutex;
    std::set<std::string> executed;
    std::size_t events = 0;
    const vexa::TaskExecutor executor = [&](const vexa::TaskNode& node, const std::string& context) {
        FUZZ_CHECK(context.size() <= vexa::kMaxUpstreamContextBytes);
        {
            std::lock_guard<std::mutex> lock(mutex);
            FUZZ_CHECK(executed.insert(node.id).second);
        }
        vexa::TaskResult result;
        result.success = (static_cast<unsigned char>(node.description[0]) & 1) == 0;
        result.output = node.description;
        if (!result.success) result.error = "odd";
        return result;
    };
    const vexa::TaskEventCallback on_event = [&](vexa::TaskEvent, const std::string&, const std::string&) {
        std::lock_guard<std::mutex> lock(mutex);
        ++events;
    };
    const std::atomic<bool> cancel{false};
    const std::vector<vexa::TaskResult> results =
        vexa::TaskScheduler(static_cast<int>(workers)).run(graph, executor, on_event, cancel);

    FUZZ_CHECK(results.size() == graph.tasks.size());
    std::unordered_map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < results.size(); ++i) {
        FUZZ_CHECK(results[i].task_id == graph.tasks[i].id);
        index.emplace(graph.tasks[i].id, i);
    }
    std::size_t expected_events = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        bool upstream_ok = true;
        for (const std::string& dep : graph.tasks[i].depends_on) upstream_ok = upstream_ok && results[index.at(dep)].success;
        FUZZ_CHECK(results[i].skipped == !upstream_ok);
        FUZZ_CHECK(executed.count(results[i].task_id) == (upstream_ok ? 1u : 0u));
        if (!upstream_ok) FUZZ_CHECK(results[i].error == vexa::kUpstreamFailedSkip);
        expected_events += upstream_ok ? 2 : 1;
    }
    FUZZ_CHECK(events == expected_events);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const int max_tasks = static_cast<int>(size % 11) - 2;

    check_extraction(text);
    const vexa::TaskGraph graph = vexa::parse_plan(text, max_tasks);
    check_graph(graph, max_tasks);
    if (vexa::extract_json_object(text).empty()) FUZZ_CHECK(graph.tasks.empty());
    if (graph.valid) check_schedule(graph, 1 + size % 3);
    return 0;
}
