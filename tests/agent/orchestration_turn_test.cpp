// Planned turns seen from a host: the planning request, the tasks with their
// events and private requests, skips, cancellation, deadlines, the aggregation
// and the fallback to an ordinary turn, through both public interfaces against
// the scripted chat-completions server.

#include "vexa_core/vexa_core.h"

#include "agent_test_util.hpp"
#include "public_driver.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

using test::answer_response;
using test::CDriver;
using test::CppDriver;
using test::Driver;
using test::Outcome;
using test::PublicEvent;
using test::ScriptedResponse;
using test::tool_response;
using test::TurnOptions;
using namespace std::chrono_literals;

constexpr const char* kUpstreamHeader = "以下是本任务依赖的前置任务的执行结果，请在此基础上继续完成本任务：\n";
constexpr const char* kUpstreamCut = "\n（前置任务结果过长，其余部分已省略）\n";
constexpr std::size_t kUpstreamLimit = 64 * 1024;

// A buffered chat-completions answer (the planner's call is not streamed).
ScriptedResponse buffered(const std::string& text) {
    nlohmann::json body = {{"id", "plan-1"},
                           {"choices", {{{"index", 0},
                                         {"message", {{"role", "assistant"}, {"content", text}}},
                                         {"finish_reason", "stop"}}}}};
    return ScriptedResponse::json(body.dump());
}

struct Task {
    std::string id;
    std::string description;
    std::vector<std::string> depends_on;
};

ScriptedResponse plan(const std::vector<Task>& tasks) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& t : tasks) list.push_back({{"id", t.id}, {"description", t.description}, {"depends_on", t.depends_on}});
    return buffered(nlohmann::json{{"tasks", list}}.dump());
}

TurnOptions planned() {
    TurnOptions options;
    options.orchestration = 1;
    return options;
}

class OrchestrationTurn : public ::testing::TestWithParam<std::string> {
protected:
    void start(const nlohmann::json& agent = nlohmann::json::object()) {
        test::write_agent_config(dir.path(), server.base_url() + "/v1", agent);
        if (GetParam() == "cpp") {
            driver = std::make_unique<CppDriver>();
        } else {
            driver = std::make_unique<CDriver>();
        }
        driver->policy = 0x08;  // no memory blocks, no extraction requests
        ASSERT_TRUE(driver->initialize(dir.str()));
    }
    nlohmann::json messages(std::size_t i) const { return test::request_messages(server.requests().at(i)); }
    std::string user_text(std::size_t i) const { return messages(i).back().at("content").get<std::string>(); }
    std::vector<PublicEvent> events() const { return driver->log.events(); }
    std::vector<PublicEvent> of_type(int type) const {
        std::vector<PublicEvent> found;
        for (const auto& e : events()) {
            if (e.type == type) found.push_back(e);
        }
        return found;
    }
    // (type, task id, text) of the task events, in delivery order.
    std::vector<std::string> task_events() const {
        std::vector<std::string> found;
        for (const auto& e : events()) {
            if (e.type >= VEXA_CORE_EVENT_TASK_STARTED && e.type <= VEXA_CORE_EVENT_TASK_FAILED) {
                found.push_back(std::to_string(e.type) + " " + e.task_id + " " + e.text);
            }
        }
        return found;
    }
    std::string streamed_content() const {
        std::string text;
        for (const auto& e : of_type(VEXA_CORE_EVENT_CONTENT_DELTA)) text += e.text;
        return text;
    }

    test::ScriptedServer server;
    test::TempDir dir;
    std::unique_ptr<Driver> driver;
};

TEST_P(OrchestrationTurn, ThreeTasksRunAndTheAggregationIsTheAnswer) {
    server.enqueue(plan({{"a", "查天气", {}}, {"b", "查新闻", {}}, {"c", "查股价", {}}}));
    for (int i = 0; i < 3; ++i) server.enqueue(answer_response({"done"}));
    server.enqueue(answer_response({"汇总", "答案"}));
    server.enqueue(answer_response({"ok"}));
    start();

    const Outcome outcome = driver->send("三件事", planned());
    ASSERT_TRUE(outcome.success) << outcome.error;
    ASSERT_EQ(server.request_count(), 5u);

    // The planner sees only its prompt and the user's text.
    const auto planning = messages(0);
    ASSERT_EQ(planning.size(), 2u);
    EXPECT_EQ(planning[0].at("content").get<std::string>().rfind("你是 Vexa 的任务规划器。", 0), 0u);
    EXPECT_NE(planning[0].at("content").get<std::string>().find("任务数量不超过 8 个。"), std::string::npos);
    EXPECT_EQ(planning[1].at("content"), "三件事");

    // Each task is a private conversation of one instruction.
    std::multiset<std::string> instructions;
    for (std::size_t i = 1; i <= 3; ++i) {
        ASSERT_EQ(messages(i).size(), 2u);
        instructions.insert(user_text(i));
    }
    EXPECT_EQ(instructions, (std::multiset<std::string>{"查天气", "查新闻", "查股价"}));

    const std::string aggregation = user_text(4);
    EXPECT_EQ(aggregation,
              "用户的原始诉求是：三件事\n\n系统已将其拆解为多个子任务并分别执行，以下是各子任务的执行结果：\n"
              "\n【任务 a - 成功】\ndone\n\n【任务 b - 成功】\ndone\n\n【任务 c - 成功】\ndone\n"
              "\n请基于以上子任务结果，用简洁、自然、连贯的语言给用户一个统一、完整的最终答复。"
              "如实反映失败或跳过的部分，不要编造未完成的结果。");

    const auto plans = of_type(VEXA_CORE_EVENT_PLAN_READY);
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0].text, "已规划 3 个任务：\n  [a] 查天气\n  [b] 查新闻\n  [c] 查股价");
    EXPECT_EQ(of_type(VEXA_CORE_EVENT_TASK_STARTED).size(), 3u);
    const auto succeeded = of_type(VEXA_CORE_EVENT_TASK_SUCCEEDED);
    ASSERT_EQ(succeeded.size(), 3u);
    for (const auto& e : succeeded) {
        EXPECT_EQ(e.text, "done");
        EXPECT_TRUE(e.success);
    }
    // Task text is not streamed; only the aggregation is.
    EXPECT_EQ(streamed_content(), "汇总答案");
    const auto done = of_type(VEXA_CORE_EVENT_DONE);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].text, "汇总答案");
    std::vector<std::string> notices;
    for (const auto& e : of_type(VEXA_CORE_EVENT_NOTICE)) notices.push_back(e.text);
    EXPECT_EQ(notices, (std::vector<std::string>{"正在规划任务...", "正在汇总各任务结果..."}));

    // The session holds the user message and the aggregated answer, nothing of the tasks.
    TurnOptions plain;
    plain.orchestration = 2;
    ASSERT_TRUE(driver->send("谢谢", plain).success);
    const auto next = messages(5);
    ASSERT_EQ(next.size(), 4u);
    EXPECT_EQ(next[1].at("content"), "三件事");
    EXPECT_EQ(next[2].at("role"), "assistant");
    EXPECT_EQ(next[2].at("content"), "汇总答案");
    EXPECT_EQ(next[3].at("content"), "谢谢");
}

TEST_P(OrchestrationTurn, DependentTaskGetsTheUpstreamBlock) {
    server.enqueue(plan({{"a", "第一步", {}}, {"b", "第二步", {"a"}}, {"c", "旁路", {}}}));
    for (int i = 0; i < 3; ++i) server.enqueue(answer_response({"OUT"}));
    server.enqueue(answer_response({"final"}));
    start({{"max_parallel_tasks", 2}});

    ASSERT_TRUE(driver->send("做事", planned()).success);
    ASSERT_EQ(server.request_count(), 5u);
    // a and c start before b, whose instruction carries a's answer.
    std::vector<std::string> started;
    for (const auto& e : of_type(VEXA_CORE_EVENT_TASK_STARTED)) started.push_back(e.task_id);
    ASSERT_EQ(started.size(), 3u);
    EXPECT_EQ(started.back(), "b");
    std::multiset<std::string> instructions;
    for (std::size_t i = 1; i <= 3; ++i) instructions.insert(user_text(i));
    EXPECT_EQ(instructions,
              (std::multiset<std::string>{"第一步", "旁路",
                                          std::string(kUpstreamHeader) + "\n【前置任务 a 结果】\nOUT\n\n\n【本任务】\n第二步"}));
    const auto plans = of_type(VEXA_CORE_EVENT_PLAN_READY);
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0].text, "已规划 3 个任务：\n  [a] 第一步\n  [b] 第二步  (依赖: a)\n  [c] 旁路");
}

TEST_P(OrchestrationTurn, FailedTaskSkipsItsDependents) {
    // One worker: a, then c, then b (submission order), so the script is deterministic.
    server.enqueue(plan({{"a", "A", {}}, {"b", "B", {"a"}}, {"c", "C", {}}}));
    server.enqueue(ScriptedResponse::json(R"({"error":"bad"})", 400));
    server.enqueue(answer_response({"C done"}));
    server.enqueue(answer_response({"final"}));
    start({{"max_parallel_tasks", 1}});

    const Outcome outcome = driver->send("go", planned());
    ASSERT_TRUE(outcome.success) << outcome.error;
    ASSERT_EQ(server.request_count(), 4u);
    const auto failed = of_type(VEXA_CORE_EVENT_TASK_FAILED);
    ASSERT_EQ(failed.size(), 2u);
    const std::string a_error = failed[0].text;
    EXPECT_EQ(a_error.rfind("LLM call failed: HTTP 400", 0), 0u) << a_error;
    EXPECT_FALSE(failed[0].success);
    EXPECT_EQ(task_events(), (std::vector<std::string>{"10 a A", "13 a " + a_error, "10 c C", "12 c C done",
                                                       "13 b 上游任务失败，已跳过"}));
    const std::string aggregation = user_text(3);
    EXPECT_NE(aggregation.find("\n【任务 a - 失败】\n错误：" + a_error + "\n\n【任务 b - 已跳过】\n上游任务失败，已跳过\n"
                               "\n【任务 c - 成功】\nC done\n"),
              std::string::npos)
        << aggregation;
    EXPECT_EQ(of_type(VEXA_CORE_EVENT_DONE).at(0).text, "final");
}

TEST_P(OrchestrationTurn, FailureAtTheHeadOfAChainSkipsTheRest) {
    server.enqueue(plan({{"a", "A", {}}, {"b", "B", {"a"}}, {"c", "C", {"b"}}}));
    server.enqueue(ScriptedResponse::json(R"({"error":"bad"})", 400));
    server.enqueue(answer_response({"final"}));
    start();

    ASSERT_TRUE(driver->send("go", planned()).success);
    ASSERT_EQ(server.request_count(), 3u);
    const auto events = task_events();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2], "13 b 上游任务失败，已跳过");
    EXPECT_EQ(events[3], "13 c 上游任务失败，已跳过");
}

TEST_P(OrchestrationTurn, OneWorkerRunsTasksOneAtATime) {
    for (int workers : {1, 0, -2}) {
        SCOPED_TRACE(workers);
        server.enqueue(plan({{"a", "A", {}}, {"b", "B", {}}, {"c", "C", {}}}));
        for (const char* out : {"1", "2", "3"}) server.enqueue(answer_response({out}));
        server.enqueue(answer_response({"final"}));
        driver.reset();
        start({{"max_parallel_tasks", workers}});
        ASSERT_TRUE(driver->send("go", planned()).success);
        EXPECT_EQ(task_events(),
                  (std::vector<std::string>{"10 a A", "12 a 1", "10 b B", "12 b 2", "10 c C", "12 c 3"}));
    }
}

TEST_P(OrchestrationTurn, UnusablePlansFallBackToAnOrdinaryTurn) {
    const std::vector<std::pair<std::string, ScriptedResponse>> cases = {
        {"one task", plan({{"a", "A", {}}})},
        {"prose", buffered("这件事不需要拆分。")},
        {"cycle", plan({{"a", "A", {"b"}}, {"b", "B", {"a"}}})},
        {"unknown dependency", plan({{"a", "A", {"z"}}, {"b", "B", {}}})},
        {"planner failure", ScriptedResponse::json(R"({"error":"down"})", 503)},
    };
    for (const auto& [name, planning] : cases) {
        SCOPED_TRACE(name);
        const std::size_t before = server.request_count();
        server.enqueue(planning);
        server.enqueue(answer_response({"plain answer"}));
        if (!driver) start();
        const std::size_t events_before = events().size();
        const Outcome outcome = driver->send("hello " + name, planned());
        ASSERT_TRUE(outcome.success) << outcome.error;
        ASSERT_EQ(server.request_count(), before + 2);
        // The second request is an ordinary turn over the session's conversation.
        const auto turn = messages(before + 1);
        EXPECT_EQ(turn.back().at("content"), "hello " + name);
        EXPECT_NE(turn.front().at("content").get<std::string>().rfind("你是 Vexa 的任务规划器。", 0), 0u);
        const auto all = events();
        for (std::size_t i = events_before; i < all.size(); ++i) {
            EXPECT_NE(all[i].type, VEXA_CORE_EVENT_PLAN_READY);
            EXPECT_NE(all[i].type, VEXA_CORE_EVENT_ERROR) << all[i].text;
        }
        EXPECT_EQ(all.back().type, VEXA_CORE_EVENT_STATE_CHANGED);
    }
}

TEST_P(OrchestrationTurn, ImagesTurnPlanningOff) {
    server.enqueue(answer_response({"seen"}));
    start();
    TurnOptions options = planned();
    options.images = {{"https://example.com/cat.png", "low"}};
    ASSERT_TRUE(driver->send("look", options).success);
    EXPECT_EQ(server.request_count(), 1u);
    EXPECT_TRUE(of_type(VEXA_CORE_EVENT_PLAN_READY).empty());
}

TEST_P(OrchestrationTurn, FailedAggregationStillAnswers) {
    server.enqueue(plan({{"a", "A", {}}, {"b", "B", {}}}));
    server.enqueue(answer_response({"x"}));
    server.enqueue(answer_response({"x"}));
    server.enqueue(ScriptedResponse::json(R"({"error":"gone"})", 500));
    start();
    const Outcome outcome = driver->send("go", planned());
    ASSERT_TRUE(outcome.success) << outcome.error;
    const auto done = of_type(VEXA_CORE_EVENT_DONE);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].text.rfind("（结果汇总失败：HTTP 500", 0), 0u) << done[0].text;
    EXPECT_EQ(done[0].text.substr(done[0].text.size() - 3), "）");
    EXPECT_TRUE(done[0].success);
}

TEST_P(OrchestrationTurn, TaskDeadlineEndsATaskBetweenRounds) {
    server.enqueue(plan({{"a", "slow", {}}, {"b", "quick", {}}}));
    ScriptedResponse slow = tool_response({{"call-1", "probe", R"({"x":1})"}});
    slow.delay_before_headers = 1300ms;
    server.enqueue(slow);
    server.enqueue(answer_response({"quick done"}));
    server.enqueue(answer_response({"final"}));
    start({{"max_parallel_tasks", 1}, {"task_timeout_seconds", 1}});
    driver->register_tool("probe", [](const std::string&) { return std::string("probed"); });

    ASSERT_TRUE(driver->send("go", planned()).success);
    // The model call in progress was not cut; the next round never started.
    ASSERT_EQ(server.request_count(), 4u);
    EXPECT_EQ(task_events(), (std::vector<std::string>{"10 a slow", "13 a 任务执行超时", "10 b quick",
                                                       "12 b quick done"}));
    const auto tools = of_type(VEXA_CORE_EVENT_TOOL_CALL_FINISHED);
    ASSERT_EQ(tools.size(), 1u);
    EXPECT_EQ(tools[0].task_id, "a");
}

// A plan that lists one dependency 20,000 times, whose upstream answers
// 100 KB: the dependent task gets that answer once, cut to the bound.
TEST_P(OrchestrationTurn, ARepeatedDependencyGivesOneBoundedUpstreamBlock) {
    std::vector<std::string> repeated(20000, "t1");
    server.enqueue(plan({{"t1", "第一步", {}}, {"t2", "第二步", repeated}}));
    std::string long_answer;
    while (long_answer.size() < 100 * 1000) long_answer += "长答案 ";
    server.enqueue(answer_response({long_answer}));
    server.enqueue(answer_response({"t2 done"}));
    server.enqueue(answer_response({"final"}));
    start({{"max_parallel_tasks", 1}});

    const Outcome outcome = driver->send("两步", planned());
    ASSERT_TRUE(outcome.success) << outcome.error;
    ASSERT_EQ(server.request_count(), 4u);
    EXPECT_EQ(user_text(1), "第一步");
    const std::string instruction = user_text(2);
    const std::string task_part = "\n\n【本任务】\n第二步";
    ASSERT_GT(instruction.size(), task_part.size());
    ASSERT_EQ(instruction.compare(instruction.size() - task_part.size(), task_part.size(), task_part), 0);
    const std::string upstream = instruction.substr(0, instruction.size() - task_part.size());
    EXPECT_LE(upstream.size(), kUpstreamLimit);
    EXPECT_GT(upstream.size(), kUpstreamLimit - 64);
    EXPECT_EQ(upstream.rfind(kUpstreamHeader, 0), 0u);
    const std::string cut = kUpstreamCut;
    EXPECT_EQ(upstream.compare(upstream.size() - cut.size(), cut.size(), cut), 0);
    // t1 once, its answer cut short.
    EXPECT_EQ(upstream.find("【前置任务 t1 结果】"), upstream.rfind("【前置任务 t1 结果】"));
    EXPECT_NE(upstream.find("长答案 长答案"), std::string::npos);
    const auto plans = of_type(VEXA_CORE_EVENT_PLAN_READY);
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0].text, "已规划 2 个任务：\n  [t1] 第一步\n  [t2] 第二步  (依赖: t1)");
    EXPECT_EQ(of_type(VEXA_CORE_EVENT_DONE).at(0).text, "final");
}

// Limits far beyond the caps in the file: the planner is told 64, and a plan
// of 100 tasks runs its first 64.
TEST_P(OrchestrationTurn, HugeLimitsInTheFileAreCapped) {
    std::vector<Task> tasks;
    for (int i = 1; i <= 100; ++i) tasks.push_back({"t" + std::to_string(i), "做 " + std::to_string(i), {}});
    server.enqueue(plan(tasks));
    for (int i = 0; i < 64; ++i) server.enqueue(answer_response({"ok"}));
    server.enqueue(answer_response({"final"}));
    start({{"max_parallel_tasks", 100000}, {"planner_max_tasks", 100000}, {"parallel_model_calls", false}});

    const Outcome outcome = driver->send("很多事", planned());
    ASSERT_TRUE(outcome.success) << outcome.error;
    EXPECT_NE(messages(0)[0].at("content").get<std::string>().find("任务数量不超过 64 个。"), std::string::npos);
    ASSERT_EQ(server.request_count(), 66u);
    EXPECT_EQ(of_type(VEXA_CORE_EVENT_TASK_SUCCEEDED).size(), 64u);
    const auto plans = of_type(VEXA_CORE_EVENT_PLAN_READY);
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0].text.rfind("已规划 64 个任务：", 0), 0u);
    EXPECT_EQ(of_type(VEXA_CORE_EVENT_DONE).at(0).text, "final");
}

INSTANTIATE_TEST_SUITE_P(Interfaces, OrchestrationTurn, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

// Cancellation and overlapping model calls involve several threads at once.
class OrchestrationConcurrency : public OrchestrationTurn {
protected:
    void cancel_mid_run(bool parallel) {
        server.enqueue(plan({{"a", "A", {}}, {"b", "B", {}}, {"c", "C", {"a"}}}));
        server.set_fallback(test::stalled_response("partial"));
        start({{"max_parallel_tasks", 2}, {"parallel_model_calls", parallel}});

        auto turn = std::async(std::launch::async, [&] { return driver->send("go", planned()); });
        // With parallel calls both task requests are in flight; serialised, one waits for the model lock.
        const std::size_t in_flight = parallel ? 3 : 2;
        ASSERT_TRUE(server.wait_for_requests(in_flight, 5000ms));
        std::this_thread::sleep_for(100ms);
        const auto cancelled_at = std::chrono::steady_clock::now();
        driver->cancel();
        ASSERT_EQ(turn.wait_for(5s), std::future_status::ready);
        const auto took = std::chrono::steady_clock::now() - cancelled_at;
        const Outcome outcome = turn.get();
        EXPECT_FALSE(outcome.success);
        EXPECT_EQ(outcome.error, "Generation cancelled.");
        // The in-flight requests end at once, not when the server gives up.
        EXPECT_LT(took, 1000ms);
        // No further task request and no aggregation; c never started.
        EXPECT_EQ(server.request_count(), in_flight);
        const auto events = task_events();
        bool c_skipped = false;
        for (const auto& e : events) {
            EXPECT_NE(e.rfind("10 c", 0), 0u) << e;
            c_skipped = c_skipped || e == "13 c 上游任务失败，已跳过" || e == "13 c 已取消";
        }
        EXPECT_TRUE(c_skipped);
        EXPECT_TRUE(of_type(VEXA_CORE_EVENT_DONE).empty());
        EXPECT_EQ(of_type(VEXA_CORE_EVENT_ERROR).back().text, "Generation cancelled.");
    }

    // Whether the two task requests were at the server at the same time.
    void overlap(bool parallel) {
        server.enqueue(plan({{"a", "A", {}}, {"b", "B", {}}}));
        for (int i = 0; i < 2; ++i) {
            ScriptedResponse slow = answer_response({"r"});
            slow.delay_before_headers = 1500ms;
            server.enqueue(slow);
        }
        server.enqueue(answer_response({"final"}));
        start({{"max_parallel_tasks", 2}, {"parallel_model_calls", parallel}});

        auto turn = std::async(std::launch::async, [&] { return driver->send("go", planned()); });
        // Serialised, the second task request cannot arrive before the first answer (1.5 s).
        EXPECT_EQ(server.wait_for_requests(3, 1000ms), parallel);
        ASSERT_EQ(turn.wait_for(10s), std::future_status::ready);
        EXPECT_TRUE(turn.get().success);
        EXPECT_EQ(server.request_count(), 4u);
    }
};

TEST_P(OrchestrationConcurrency, CancelDuringTheAggregationCancelsTheTurn) {
    server.enqueue(plan({{"a", "A", {}}, {"b", "B", {}}}));
    server.enqueue(answer_response({"x"}));
    server.enqueue(answer_response({"x"}));
    server.enqueue(test::stalled_response("部分"));
    server.enqueue(answer_response({"next"}));
    start();
    auto turn = std::async(std::launch::async, [&] { return driver->send("go", planned()); });
    ASSERT_TRUE(server.wait_for_requests(4, 5000ms));
    ASSERT_TRUE(driver->log.wait_for([](const PublicEvent& e) { return e.type == VEXA_CORE_EVENT_CONTENT_DELTA; }));
    driver->cancel();
    ASSERT_EQ(turn.wait_for(5s), std::future_status::ready);
    const Outcome outcome = turn.get();
    EXPECT_FALSE(outcome.success);
    EXPECT_EQ(outcome.error, "Generation cancelled.");
    EXPECT_TRUE(of_type(VEXA_CORE_EVENT_DONE).empty());
    // Nothing of the stopped turn stays in the session.
    TurnOptions plain;
    plain.orchestration = 2;
    ASSERT_TRUE(driver->send("again", plain).success);
    const auto next = messages(4);
    ASSERT_EQ(next.size(), 2u);
    EXPECT_EQ(next[1].at("content"), "again");
}

TEST_P(OrchestrationConcurrency, CancelEndsParallelTaskRequests) { cancel_mid_run(true); }
TEST_P(OrchestrationConcurrency, CancelEndsSerialisedTaskRequests) { cancel_mid_run(false); }
TEST_P(OrchestrationConcurrency, TaskRequestsOverlapWithParallelModelCalls) { overlap(true); }
TEST_P(OrchestrationConcurrency, TaskRequestsNeverOverlapWhenSerialised) { overlap(false); }

INSTANTIATE_TEST_SUITE_P(Interfaces, OrchestrationConcurrency, ::testing::Values("cpp", "c"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace vexa
