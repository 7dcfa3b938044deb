#include "orchestration/result_aggregation.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vexa {
namespace {

TaskResult result(const std::string& id, bool success, bool skipped, const std::string& output,
                  const std::string& error) {
    TaskResult r;
    r.task_id = id;
    r.success = success;
    r.skipped = skipped;
    r.output = output;
    r.error = error;
    return r;
}

const std::string kHead = "用户的原始诉求是：查天气并订机票\n\n系统已将其拆解为多个子任务并分别执行，以下是各子任务的执行结果：\n";
const std::string kTail =
    "\n请基于以上子任务结果，用简洁、自然、连贯的语言给用户一个统一、完整的最终答复。"
    "如实反映失败或跳过的部分，不要编造未完成的结果。";

TEST(AggregationPromptTest, Cases) {
    struct Case {
        const char* name;
        std::vector<TaskResult> results;
        std::string blocks;
    };
    const std::vector<Case> cases = {
        {"success, skipped and failed in task order",
         {result("a", true, false, "A", ""), result("b", false, true, "", "上游任务失败，已跳过"),
          result("c", false, false, "", "")},
         "\n【任务 a - 成功】\nA\n"
         "\n【任务 b - 已跳过】\n上游任务失败，已跳过\n"
         "\n【任务 c - 失败】\n错误：未知错误\n"},
        {"fallback bodies",
         {result("t1", true, false, "", ""), result("t2", false, true, "", ""),
          result("t3", false, false, "partial", "任务执行超时")},
         "\n【任务 t1 - 成功】\n(无文本输出)\n"
         "\n【任务 t2 - 已跳过】\n因上游失败而跳过\n"
         "\n【任务 t3 - 失败】\n错误：任务执行超时\n"},
        {"cancelled task", {result("x", false, true, "", "已取消")}, "\n【任务 x - 已跳过】\n已取消\n"},
        {"no results", {}, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(build_aggregation_prompt("查天气并订机票", c.results), kHead + c.blocks + kTail) << c.name;
    }
}

TEST(AggregationPromptTest, WholeTextForTheThreeTaskExample) {
    const std::vector<TaskResult> results = {result("a", true, false, "A", ""),
                                             result("b", false, true, "", "上游任务失败，已跳过"),
                                             result("c", false, false, "", "")};
    EXPECT_EQ(build_aggregation_prompt("U", results),
              "用户的原始诉求是：U\n\n"
              "系统已将其拆解为多个子任务并分别执行，以下是各子任务的执行结果：\n"
              "\n【任务 a - 成功】\nA\n"
              "\n【任务 b - 已跳过】\n上游任务失败，已跳过\n"
              "\n【任务 c - 失败】\n错误：未知错误\n"
              "\n请基于以上子任务结果，用简洁、自然、连贯的语言给用户一个统一、完整的最终答复。"
              "如实反映失败或跳过的部分，不要编造未完成的结果。");
}

TEST(AggregationFailureTextTest, WrapsTheError) {
    EXPECT_EQ(aggregation_failure_text("HTTP 500"), "（结果汇总失败：HTTP 500）");
    EXPECT_EQ(aggregation_failure_text(""), "（结果汇总失败：）");
}

}  // namespace
}  // namespace vexa
