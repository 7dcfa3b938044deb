#include "orchestration/task_planner.hpp"

#include "config/agent_config.hpp"
#include "config/json_util.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>
#include <unordered_set>

namespace vexa {
namespace {

// A string as is, an integer of either sign as its decimal text, anything else "".
std::string id_text(const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
    if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
    return {};
}

}  // namespace

int planner_max_tasks(int configured) { return std::clamp(configured, 2, kPlannerMaxTasksCap); }

std::string build_planner_prompt(int max_tasks) {
    std::string prompt;
    prompt += "你是 Vexa 的任务规划器。请把用户的诉求拆解为一个或多个【原子任务】，";
    prompt += "并标注任务之间的依赖关系，用于后续并行/顺序调度执行。\n\n";
    prompt += "拆解原则：\n";
    prompt += "1. 只有当诉求确实包含多个可独立推进的子任务时才拆分；简单的单一诉求请只返回 1 个任务。\n";
    prompt += "2. 彼此无依赖的任务将被并行执行；有先后/数据依赖的任务用 depends_on 串联。\n";
    prompt += "3. 每个任务的 description 必须是一句自然语言指令，能被一个独立的执行 Agent 直接理解并完成。\n";
    prompt += "4. 任务数量不超过 " + std::to_string(planner_max_tasks(max_tasks)) + " 个。\n\n";
    prompt += "严格只输出如下 JSON（不要输出任何解释文字、不要使用代码围栏）：\n";
    prompt += "{\n";
    prompt += "  \"tasks\": [\n";
    prompt += "    { \"id\": \"t1\", \"description\": \"...子任务指令...\", \"depends_on\": [] },\n";
    prompt += "    { \"id\": \"t2\", \"description\": \"...子任务指令...\", \"depends_on\": [\"t1\"] }\n";
    prompt += "  ]\n";
    prompt += "}\n";
    return prompt;
}

std::string extract_json_object(std::string_view text) {
    const std::size_t start = text.find('{');
    if (start == std::string_view::npos) return {};
    int depth = 0;
    JsonStringTracker strings;
    for (std::size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (strings.step(c)) continue;
        if (c == '{') {
            ++depth;
        } else if (c == '}') {
            if (depth == 1) return std::string(text.substr(start, i - start + 1));
            --depth;
        }
    }
    return {};
}

TaskGraph parse_plan(std::string_view text, int max_tasks) {
    TaskGraph graph;
    const std::size_t limit = static_cast<std::size_t>(planner_max_tasks(max_tasks));
    const std::string object = extract_json_object(text);
    if (object.empty()) return graph;
    // Model output: bounded nesting, no exceptions.
    const nlohmann::json root = parse_json_bounded(object);
    if (root.is_discarded() || !root.is_object()) return graph;
    const auto tasks = root.find("tasks");
    if (tasks == root.end() || !tasks->is_array()) return graph;

    std::unordered_set<std::string> accepted;
    for (const nlohmann::json& element : *tasks) {
        if (!element.is_object()) continue;
        TaskNode node;
        if (const auto id = element.find("id"); id != element.end()) node.id = id_text(*id);
        if (node.id.empty()) {
            // Built by appending: MinGW's g++ 12 at -O3 takes "t" + to_string(...)
            // for an overlapping copy (-Wrestrict).
            node.id = 't';
            node.id += std::to_string(graph.tasks.size() + 1);
        }
        if (accepted.count(node.id) != 0) continue;  // the first occurrence wins
        if (const auto d = element.find("description"); d != element.end() && d->is_string()) {
            node.description = d->get<std::string>();
        }
        if (node.description.empty()) continue;
        if (const auto deps = element.find("depends_on"); deps != element.end() && deps->is_array()) {
            // A repeated id adds nothing but work: each entry would carry the
            // upstream output into the task once more.
            std::unordered_set<std::string> listed;
            for (const nlohmann::json& dep : *deps) {
                if (!dep.is_string() && !dep.is_number_integer()) continue;
                std::string dep_id = id_text(dep);
                if (listed.insert(dep_id).second) node.depends_on.push_back(std::move(dep_id));
            }
        }
        accepted.insert(node.id);
        graph.tasks.push_back(std::move(node));
        if (graph.tasks.size() >= limit) break;
    }
    if (graph.tasks.size() < 2) return graph;
    if (!validate_dependencies(graph)) return graph;
    graph.valid = true;
    graph.summary = plan_summary(graph);
    return graph;
}

bool validate_dependencies(const TaskGraph& graph) {
    const std::size_t n = graph.tasks.size();
    std::unordered_map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < n; ++i) {
        // Results are looked up by id when the graph runs.
        if (!index.emplace(graph.tasks[i].id, i).second) return false;
    }
    std::vector<std::size_t> pending(n, 0);
    std::vector<std::vector<std::size_t>> dependents(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (const std::string& dep : graph.tasks[i].depends_on) {
            const auto it = index.find(dep);
            if (it == index.end()) return false;
            ++pending[i];
            dependents[it->second].push_back(i);
        }
    }
    std::deque<std::size_t> work;
    for (std::size_t i = 0; i < n; ++i) {
        if (pending[i] == 0) work.push_back(i);
    }
    std::size_t visited = 0;
    while (!work.empty()) {
        const std::size_t current = work.front();
        work.pop_front();
        ++visited;
        for (const std::size_t dependent : dependents[current]) {
            if (--pending[dependent] == 0) work.push_back(dependent);
        }
    }
    return visited == n;
}

std::string plan_summary(const TaskGraph& graph) {
    std::string summary = "已规划 " + std::to_string(graph.tasks.size()) + " 个任务：";
    for (const TaskNode& task : graph.tasks) {
        summary += "\n  [" + task.id + "] " + task.description;
        if (task.depends_on.empty()) continue;
        summary += "  (依赖: ";
        for (std::size_t i = 0; i < task.depends_on.size(); ++i) {
            if (i > 0) summary += ", ";
            summary += task.depends_on[i];
        }
        summary += ")";
    }
    return summary;
}

}  // namespace vexa
