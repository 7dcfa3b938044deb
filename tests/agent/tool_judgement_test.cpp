#include "agent/tool_judgement.hpp"

#include "agent/counting_gate.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

struct JudgeCase {
    const char* result;
    bool success;
    const char* reason;  // only checked for failures
};

TEST(ToolJudgement, SuccessAndFailureReasons) {
    const std::string stderr300(300, 'e');
    const std::string stderr_reason = std::string(200, 'e') + "...";
    const std::string stderr_json = "{\"success\":false,\"stderr\":\"" + stderr300 + "\"}";
    const std::vector<JudgeCase> cases = {
        {"plain text", true, ""},
        {"", true, ""},
        {"[1,2]", true, ""},
        {"{\"success\":true,\"error\":\"ignored\"}", true, ""},
        {"{\"success\":\"no\"}", true, ""},
        {"{\"result\":1}", true, ""},
        {"{\"error\":null}", false, "tool reported failure"},
        {"{\"success\":false,\"error\":\"disk full\"}", false, "disk full"},
        {"{\"success\":false,\"message\":\"bad input\"}", false, "bad input"},
        {"{\"success\":false,\"stderr\":\"\",\"exit_code\":2}", false, "exit_code=2"},
        {"{\"success\":false,\"exit_code\":0,\"timed_out\":true}", false, "operation timed out"},
        {"{\"success\":false,\"error\":7,\"message\":\"m\"}", false, "m"},
        {"{\"success\":false}", false, "tool reported failure"},
        {stderr_json.c_str(), false, stderr_reason.c_str()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.result);
        EXPECT_EQ(is_tool_success(c.result), c.success);
        if (!c.success) {
            EXPECT_EQ(tool_failure_reason(c.result), c.reason);
        }
    }
    EXPECT_EQ(tool_failure_reason("not json"), "tool reported failure");
    EXPECT_FALSE(is_tool_success(kToolRejectedResult));
    EXPECT_EQ(tool_failure_reason(kToolRejectedResult), "user rejected this toolcall");
    EXPECT_EQ(tool_failure_reason(kToolCancelledResult), "cancelled");
}

TEST(ToolJudgement, StderrReasonNeverSplitsACharacter) {
    // 199 ASCII bytes then a 3-byte character across the 200-byte cut.
    std::string text = std::string(199, 'a') + "中" + std::string(100, 'b');
    std::string result = "{\"success\":false,\"stderr\":\"" + text + "\"}";
    EXPECT_EQ(tool_failure_reason(result), std::string(199, 'a') + "...");
}

TEST(ToolJudgement, TruncationOfAsciiFollowsTheLimits) {
    const std::string exact(16384, 'x');
    EXPECT_EQ(truncate_tool_result(exact, kToolResultLimit), exact);

    std::string big;
    for (int i = 0; i < 20000; ++i) big.push_back(static_cast<char>('a' + i % 26));
    const std::string out = truncate_tool_result(big, kToolResultLimit);
    const std::string marker = "\n...(truncated 3617 chars)...\n";
    ASSERT_EQ(out.size(), 10922 + marker.size() + 5461);
    EXPECT_EQ(out.substr(0, 10922), big.substr(0, 10922));
    EXPECT_EQ(out.substr(10922, marker.size()), marker);
    EXPECT_EQ(out.substr(10922 + marker.size()), big.substr(20000 - 5461));
}

bool valid_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

TEST(ToolJudgement, TruncationCutsOnlyAtCharacterBoundaries) {
    // Every alignment of 3- and 4-byte characters against both cuts.
    for (const std::string ch : {"中", "😀", "é"}) {
        for (std::size_t prefix = 0; prefix < 4; ++prefix) {
            std::string text(prefix, 'p');
            while (text.size() < 30000) text += ch;
            const std::string out = truncate_tool_result(text, kToolResultLimit);
            SCOPED_TRACE(prefix);
            ASSERT_TRUE(valid_utf8(out));
            const auto open = out.find("\n...(truncated ");
            ASSERT_NE(open, std::string::npos);
            const auto close = out.find(" chars)...\n", open);
            const std::size_t head = open;
            const std::size_t tail = out.size() - (close + std::string(" chars)...\n").size());
            const std::size_t omitted = std::stoul(out.substr(open + 15, close - open - 15));
            // The count is exactly what is missing, and the pieces are the
            // text's own beginning and end.
            EXPECT_EQ(head + omitted + tail, text.size());
            EXPECT_EQ(out.substr(0, head), text.substr(0, head));
            EXPECT_EQ(out.substr(out.size() - tail), text.substr(text.size() - tail));
            EXPECT_LE(head, 10922u);
            EXPECT_GE(head, 10922u - 3);
        }
    }
}

TEST(ToolJudgement, FailedResultIsWrappedForTheModel) {
    const std::string content = tool_message_content("calc", kToolRejectedResult, false);
    EXPECT_EQ(content, std::string("⚠️ TOOL_FAILED: calc — user rejected this toolcall\n"
                                   "你必须如实告诉用户本次操作失败，不得声称成功。\n") +
                           kToolRejectedResult);
    EXPECT_EQ(tool_message_content("calc", "{\"success\":true}", true), "{\"success\":true}");
}

TEST(ToolJudgement, Redaction) {
    struct Case {
        const char* input;
        const char* shown;
    };
    const std::vector<Case> cases = {
        {R"({"list":[{"secretKey":5,"x":1}],"auth":{"Access_Token":"abc","user":"u"},"q":"hi"})",
         R"({"auth":{"Access_Token":"[redacted]","user":"u"},"list":[{"secretKey":"[redacted]","x":1}],"q":"hi"})"},
        {R"({"API_KEY":{"nested":1},"PassWord":null})", R"({"API_KEY":"[redacted]","PassWord":"[redacted]"})"},
        {"user=bob PASSWORD=hunter2", "{\"redacted\":true}"},
        // Card numbers and AWS keys inside values are cut out; hashes stay.
        {R"({"cmd":"export AWS_SECRET_ACCESS_KEY=wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY",)"
         R"("pay":"4111 1111 1111 1111","ref":"git show 3f2a9c1e8b7d6a5f4e3d2c1b0a9f8e7d6c5b4a3f"})",
         R"({"cmd":"export AWS_SECRET_ACCESS_KEY=[redacted]","pay":"[redacted]",)"
         R"("ref":"git show 3f2a9c1e8b7d6a5f4e3d2c1b0a9f8e7d6c5b4a3f"})"},
        {"just text", "just text"},
        {"", ""},
        {"[1,2]", "[1,2]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(redact_arguments(c.input), c.shown);
    }
}

TEST(ToolJudgement, CountingGateBoundsConcurrentHoldersThread) {
    CountingGate gate(2);
    std::atomic<int> inside{0};
    std::atomic<int> peak{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            CountingGate::Permit permit(gate);
            const int now = ++inside;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            --inside;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_LE(peak.load(), 2);
    EXPECT_GE(peak.load(), 1);
}

}  // namespace
}  // namespace vexa
