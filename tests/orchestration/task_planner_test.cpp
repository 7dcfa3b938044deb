#include "orchestration/task_planner.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexa {
namespace {

TEST(PlannerMaxTasksTest, NeverBelowTwoNorAboveTheCap) {
    const std::vector<std::pair<int, int>> cases = {{-7, 2},  {0, 2},  {1, 2},      {2, 2},     {3, 3},
                                                    {8, 8},   {64, 64}, {65, 64}, {100000, 64}};
    for (const auto& [configured, expected] : cases) {
        EXPECT_EQ(planner_max_tasks(configured), expected) << configured;
    }
}

std::string expected_prompt(const std::string& limit) {
    return "你是 Vexa 的任务规划器。请把用户的诉求拆解为一个或多个【原子任务】，"
           "并标注任务之间的依赖关系，用于后续并行/顺序调度执行。\n\n"
           "拆解原则：\n"
           "1. 只有当诉求确实包含多个可独立推进的子任务时才拆分；简单的单一诉求请只返回 1 个任务。\n"
           "2. 彼此无依赖的任务将被并行执行；有先后/数据依赖的任务用 depends_on 串联。\n"
           "3. 每个任务的 description 必须是一句自然语言指令，能被一个独立的执行 Agent 直接理解并完成。\n"
           "4. 任务数量不超过 " +
           limit +
           " 个。\n\n"
           "严格只输出如下 JSON（不要输出任何解释文字、不要使用代码围栏）：\n"
           "{\n"
           "  \"tasks\": [\n"
           "    { \"id\": \"t1\", \"description\": \"...子任务指令...\", \"depends_on\": [] },\n"
           "    { \"id\": \"t2\", \"description\": \"...子任务指令...\", \"depends_on\": [\"t1\"] }\n"
           "  ]\n"
           "}\n";
}

TEST(PlannerPromptTest, ExactText) {
    EXPECT_EQ(build_planner_prompt(2), expected_prompt("2"));
    EXPECT_EQ(build_planner_prompt(8), expected_prompt("8"));
    // A limit below two is raised like the configured one.
    EXPECT_EQ(build_planner_prompt(0), expected_prompt("2"));
    EXPECT_EQ(build_planner_prompt(-3), expected_prompt("2"));
}

TEST(ExtractJsonObjectTest, Cases) {
    struct Case {
        const char* name;
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"empty", "", ""},
        {"no brace", "just prose, no object", ""},
        {"whole text", "{\"a\":1}", "{\"a\":1}"},
        {"prose and fences around", "Here:\n```json\n{\"a\": {\"b\": 2}}\n```\nDone {x}", "{\"a\": {\"b\": 2}}"},
        {"first object wins", "{\"a\":1} {\"b\":2}", "{\"a\":1}"},
        {"closing brace before the first opening one", "} ] {\"a\":1}", "{\"a\":1}"},
        {"braces inside strings", "{\"d\":\"a } b { c\"} tail}", "{\"d\":\"a } b { c\"}"},
        {"escaped quote inside a string", "{\"d\":\"say \\\"}\\\" now\"}!", "{\"d\":\"say \\\"}\\\" now\"}"},
        {"escaped backslash ends before the quote", "{\"d\":\"c:\\\\\"}x}", "{\"d\":\"c:\\\\\"}"},
        {"quote outside an object is not a string start", "\"{\"a\":1}", "{\"a\":1}"},
        {"never closes", "{\"a\": {\"b\": 1}", ""},
        {"string never closes", "{\"a\": \"}}}", ""},
        {"not JSON but balanced", "{ not json }", "{ not json }"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(extract_json_object(c.text), c.expected) << c.name;
    }
}

struct PlanCase {
    const char* name;
    std::string text;
    int max_tasks;
    std::vector<TaskNode> tasks;
    bool valid;
    std::string summary;  // "" for an invalid graph
};

std::string nine_tasks() {
    std::string text = "{\"tasks\": [";
    for (int i = 1; i <= 9; ++i) {
        if (i > 1) text += ",";
        text += "{\"id\": \"t" + std::to_string(i) + "\", \"description\": \"d" + std::to_string(i) + "\"}";
    }
    return text + "]}";
}

std::vector<TaskNode> first_tasks(int count) {
    std::vector<TaskNode> tasks;
    for (int i = 1; i <= count; ++i) tasks.push_back({"t" + std::to_string(i), "d" + std::to_string(i), {}});
    return tasks;
}

// t2 depends on t1, listed `times` times.
std::string many_times_plan(int times) {
    std::string deps;
    for (int i = 0; i < times; ++i) deps += i == 0 ? "\"t1\"" : ",\"t1\"";
    return R"({"tasks": [{"id": "t1", "description": "first"}, {"id": "t2", "description": "second", "depends_on": [)" +
           deps + "]}]}";
}

// `count` independent tasks t1..tN.
std::string many_tasks_plan(int count) {
    std::string text = "{\"tasks\": [";
    for (int i = 1; i <= count; ++i) {
        if (i > 1) text += ",";
        text += "{\"id\": \"t" + std::to_string(i) + "\", \"description\": \"d" + std::to_string(i) + "\"}";
    }
    return text + "]}";
}

const char* kThree = R"({"tasks": [{"id": "a", "description": "x"}, {"id": "b", "description": "y"},
                                   {"id": "c", "description": "z"}]})";

TEST(ParsePlanTest, Table) {
    const std::vector<PlanCase> cases = {
        {"prose and a fenced block",
         "我先把诉求拆开。\n```json\n{\"tasks\": [{\"id\": \"a\", \"description\": \"x\", \"depends_on\": []},\n"
         "  {\"id\": \"b\", \"description\": \"y\", \"depends_on\": [\"a\"]}]}\n```\n以上。",
         8,
         {{"a", "x", {}}, {"b", "y", {"a"}}},
         true,
         "已规划 2 个任务：\n  [a] x\n  [b] y  (依赖: a)"},
        {"numeric ids and dependencies",
         R"({"tasks": [{"id": 1, "description": "x"}, {"id": 2, "description": "y", "depends_on": [1]}]})",
         8,
         {{"1", "x", {}}, {"2", "y", {"1"}}},
         true,
         "已规划 2 个任务：\n  [1] x\n  [2] y  (依赖: 1)"},
        {"negative and large unsigned ids",
         R"({"tasks": [{"id": -5, "description": "x"},
                       {"id": 18446744073709551615, "description": "y", "depends_on": [-5]}]})",
         8,
         {{"-5", "x", {}}, {"18446744073709551615", "y", {"-5"}}},
         true,
         "已规划 2 个任务：\n  [-5] x\n  [18446744073709551615] y  (依赖: -5)"},
        {"missing ids numbered, a later duplicate dropped",
         R"({"tasks": [{"description": "x"}, {"description": "y"}, {"id": "t1", "description": "z"}]})",
         8,
         {{"t1", "x", {}}, {"t2", "y", {}}},
         true,
         "已规划 2 个任务：\n  [t1] x\n  [t2] y"},
        {"ids of other types or empty are numbered",
         R"({"tasks": [{"id": 1.5, "description": "x"}, {"id": true, "description": "y"},
                       {"id": "", "description": "z"}, {"id": null, "description": "w"}]})",
         8,
         {{"t1", "x", {}}, {"t2", "y", {}}, {"t3", "z", {}}, {"t4", "w", {}}},
         true,
         "已规划 4 个任务：\n  [t1] x\n  [t2] y\n  [t3] z\n  [t4] w"},
        {"first occurrence of an id wins",
         R"({"tasks": [{"id": "a", "description": "x"}, {"id": "a", "description": "other"},
                       {"id": "b", "description": "y"}]})",
         8,
         {{"a", "x", {}}, {"b", "y", {}}},
         true,
         "已规划 2 个任务：\n  [a] x\n  [b] y"},
        {"elements without a usable description are dropped and reserve no id",
         R"({"tasks": [{"id": "a", "description": "x"}, {"id": "b"}, {"description": "y"},
                       {"id": "c", "description": ""}, {"id": "d", "description": 5},
                       {"id": "b", "description": "z"}]})",
         8,
         {{"a", "x", {}}, {"t2", "y", {}}, {"b", "z", {}}},
         true,
         "已规划 3 个任务：\n  [a] x\n  [t2] y\n  [b] z"},
        {"nine tasks, the default limit keeps eight", nine_tasks(), 8, first_tasks(8), true,
         "已规划 8 个任务：\n  [t1] d1\n  [t2] d2\n  [t3] d3\n  [t4] d4\n  [t5] d5\n  [t6] d6\n  [t7] d7\n  [t8] d8"},
        {"limit 0 keeps two", kThree, 0, {{"a", "x", {}}, {"b", "y", {}}}, true, "已规划 2 个任务：\n  [a] x\n  [b] y"},
        {"limit 1 keeps two", kThree, 1, {{"a", "x", {}}, {"b", "y", {}}}, true, "已规划 2 个任务：\n  [a] x\n  [b] y"},
        {"negative limit keeps two", kThree, -4, {{"a", "x", {}}, {"b", "y", {}}}, true,
         "已规划 2 个任务：\n  [a] x\n  [b] y"},
        {"the limit counts accepted tasks only",
         R"({"tasks": [{"id": "a", "description": "x"}, {"id": "a", "description": "dup"}, {"id": "n"},
                       {"id": "b", "description": "y"}, {"id": "c", "description": "z"}]})",
         2,
         {{"a", "x", {}}, {"b", "y", {}}},
         true,
         "已规划 2 个任务：\n  [a] x\n  [b] y"},
        {"two tasks depending on each other",
         R"({"tasks": [{"id": "a", "description": "x", "depends_on": ["b"]},
                       {"id": "b", "description": "y", "depends_on": ["a"]}]})",
         8,
         {{"a", "x", {"b"}}, {"b", "y", {"a"}}},
         false,
         ""},
        {"a longer cycle behind a valid task",
         R"({"tasks": [{"id": "a", "description": "x"}, {"id": "b", "description": "y", "depends_on": ["a", "d"]},
                       {"id": "c", "description": "z", "depends_on": ["b"]},
                       {"id": "d", "description": "w", "depends_on": ["c"]}]})",
         8,
         {{"a", "x", {}}, {"b", "y", {"a", "d"}}, {"c", "z", {"b"}}, {"d", "w", {"c"}}},
         false,
         ""},
        {"a task depending on itself",
         R"({"tasks": [{"id": "a", "description": "x", "depends_on": ["a"]}, {"id": "b", "description": "y"}]})",
         8,
         {{"a", "x", {"a"}}, {"b", "y", {}}},
         false,
         ""},
        {"an unknown dependency",
         R"({"tasks": [{"id": "a", "description": "x"}, {"id": "b", "description": "y", "depends_on": ["zz"]}]})",
         8,
         {{"a", "x", {}}, {"b", "y", {"zz"}}},
         false,
         ""},
        {"a dependency on a dropped element is unknown",
         R"({"tasks": [{"id": "a", "description": "x"}, {"id": "gone"},
                       {"id": "b", "description": "y", "depends_on": ["gone"]}]})",
         8,
         {{"a", "x", {}}, {"b", "y", {"gone"}}},
         false,
         ""},
        // Each dependency once, in the order of its first mention.
        {"a dependency listed twice",
         R"({"tasks": [{"id": "a", "description": "x"}, {"id": "b", "description": "y", "depends_on": ["a", "a"]}]})",
         8,
         {{"a", "x", {}}, {"b", "y", {"a"}}},
         true,
         "已规划 2 个任务：\n  [a] x\n  [b] y  (依赖: a)"},
        {"repeated dependencies keep the order of their first mention",
         R"({"tasks": [{"id": "a", "description": "x"}, {"id": 7, "description": "y"},
                       {"id": "c", "description": "z", "depends_on": ["7", "a", 7, "a", "7", "a"]}]})",
         8,
         {{"a", "x", {}}, {"7", "y", {}}, {"c", "z", {"7", "a"}}},
         true,
         "已规划 3 个任务：\n  [a] x\n  [7] y\n  [c] z  (依赖: 7, a)"},
        {"one dependency listed 20000 times", many_times_plan(20000), 8,
         {{"t1", "first", {}}, {"t2", "second", {"t1"}}}, true,
         "已规划 2 个任务：\n  [t1] first\n  [t2] second  (依赖: t1)"},
        {"dependency entries of other types are ignored",
         R"({"tasks": [{"id": "a", "description": "x"}, {"id": 1, "description": "y"},
                       {"id": "c", "description": "z", "depends_on": ["a", 1, 2.5, null, true, {"id": "a"}, ["a"]]},
                       {"id": "d", "description": "w", "depends_on": "a"}]})",
         8,
         {{"a", "x", {}}, {"1", "y", {}}, {"c", "z", {"a", "1"}}, {"d", "w", {}}},
         true,
         "已规划 4 个任务：\n  [a] x\n  [1] y\n  [c] z  (依赖: a, 1)\n  [d] w"},
        {"a closing brace inside a description",
         R"(Plan: {"tasks": [{"id": "a", "description": "print \"}\" and {"}, {"id": "b", "description": "y}"}]} ok)",
         8,
         {{"a", "print \"}\" and {", {}}, {"b", "y}", {}}},
         true,
         "已规划 2 个任务：\n  [a] print \"}\" and {\n  [b] y}"},
        {"elements that are not objects are skipped",
         R"({"tasks": [1, "a", null, true, [{"id": "x", "description": "inner"}], {"id": "a", "description": "x"},
                       {"description": "y"}]})",
         8,
         {{"a", "x", {}}, {"t2", "y", {}}},
         true,
         "已规划 2 个任务：\n  [a] x\n  [t2] y"},
        {"a single task", R"({"tasks": [{"id": "a", "description": "x"}]})", 8, {{"a", "x", {}}}, false, ""},
        {"prose only", "这个问题很简单，直接回答即可。", 8, {}, false, ""},
        {"empty answer", "", 8, {}, false, ""},
        {"unparsable object", "{tasks: [{id: a}]}", 8, {}, false, ""},
        {"object never closes", R"({"tasks": [{"id": "a", "description": "x"})", 8, {}, false, ""},
        {"tasks is not an array", R"({"tasks": {"id": "a", "description": "x"}})", 8, {}, false, ""},
        {"no tasks key", R"({"plan": [{"id": "a", "description": "x"}, {"id": "b", "description": "y"}]})", 8, {},
         false, ""},
        {"the first object is not the plan",
         R"(Example {"note": 1} then {"tasks": [{"id": "a", "description": "x"}, {"id": "b", "description": "y"}]})",
         8,
         {},
         false,
         ""},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.name);
        const TaskGraph graph = parse_plan(c.text, c.max_tasks);
        EXPECT_EQ(graph.valid, c.valid);
        EXPECT_EQ(graph.summary, c.summary);
        ASSERT_EQ(graph.tasks.size(), c.tasks.size());
        for (std::size_t i = 0; i < c.tasks.size(); ++i) {
            EXPECT_EQ(graph.tasks[i].id, c.tasks[i].id) << i;
            EXPECT_EQ(graph.tasks[i].description, c.tasks[i].description) << i;
            EXPECT_EQ(graph.tasks[i].depends_on, c.tasks[i].depends_on) << i;
        }
    }
}

TEST(ParsePlanTest, AHugeLimitStillTakesAtMostTheCap) {
    const TaskGraph graph = parse_plan(many_tasks_plan(3000), 100000);
    EXPECT_TRUE(graph.valid);
    ASSERT_EQ(graph.tasks.size(), 64u);
    EXPECT_EQ(graph.tasks.back().id, "t64");
    EXPECT_NE(build_planner_prompt(100000).find("任务数量不超过 64 个。"), std::string::npos);
}

TEST(ParsePlanTest, DeepNestingIsRefusedWithoutCrashing) {
    std::string text = "{\"tasks\": [";
    for (int i = 0; i < 100000; ++i) text += "[";
    for (int i = 0; i < 100000; ++i) text += "]";
    text += "]}";
    const TaskGraph graph = parse_plan(text, 8);
    EXPECT_FALSE(graph.valid);
    EXPECT_TRUE(graph.tasks.empty());
}

TEST(ValidateDependenciesTest, Cases) {
    struct Case {
        const char* name;
        std::vector<TaskNode> tasks;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"empty graph", {}, true},
        {"independent", {{"a", "x", {}}, {"b", "y", {}}}, true},
        {"diamond", {{"a", "x", {}}, {"b", "y", {"a"}}, {"c", "z", {"a"}}, {"d", "w", {"c", "b"}}}, true},
        {"dependency before its task in the list", {{"b", "y", {"a"}}, {"a", "x", {}}}, true},
        {"duplicate entries", {{"a", "x", {}}, {"b", "y", {"a", "a", "a"}}}, true},
        {"self", {{"a", "x", {"a"}}}, false},
        {"two-cycle", {{"a", "x", {"b"}}, {"b", "y", {"a"}}}, false},
        {"unknown", {{"a", "x", {}}, {"b", "y", {"c"}}}, false},
        {"duplicate ids", {{"a", "x", {}}, {"a", "y", {}}}, false},
    };
    for (const Case& c : cases) {
        TaskGraph graph;
        graph.tasks = c.tasks;
        EXPECT_EQ(validate_dependencies(graph), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace vexa
