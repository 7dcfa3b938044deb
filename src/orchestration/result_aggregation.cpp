#include "orchestration/result_aggregation.hpp"

namespace vexa {

std::string build_aggregation_prompt(const std::string& user_text, const std::vector<TaskResult>& results) {
    std::string prompt = "用户的原始诉求是：" + user_text + "\n\n";
    prompt += "系统已将其拆解为多个子任务并分别执行，以下是各子任务的执行结果：\n";
    for (const TaskResult& result : results) {
        std::string status;
        std::string body;
        if (result.skipped) {
            status = "已跳过";
            body = result.error.empty() ? "因上游失败而跳过" : result.error;
        } else if (result.success) {
            status = "成功";
            body = result.output.empty() ? "(无文本输出)" : result.output;
        } else {
            status = "失败";
            body = "错误：" + (result.error.empty() ? std::string("未知错误") : result.error);
        }
        prompt += "\n【任务 " + result.task_id + " - " + status + "】\n" + body + "\n";
    }
    prompt += "\n请基于以上子任务结果，用简洁、自然、连贯的语言给用户一个统一、完整的最终答复。";
    prompt += "如实反映失败或跳过的部分，不要编造未完成的结果。";
    return prompt;
}

std::string aggregation_failure_text(const std::string& error) { return "（结果汇总失败：" + error + "）"; }

}  // namespace vexa
