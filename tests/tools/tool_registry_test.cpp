#include "tools/tool_registry.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexa {
namespace {

using nlohmann::json;

// A tool that reports the arguments it received, or fails on request.
class ProbeTool : public ITool {
public:
    explicit ProbeTool(std::string name, std::string description = "probe")
        : name_(std::move(name)), description_(std::move(description)) {}

    std::string name() const override { return name_; }
    std::string description() const override { return description_; }
    json parameters() const override { return json{{"type", "object"}}; }
    json execute(const json& arguments) override {
        received = arguments;
        ++calls;
        if (arguments.is_object() && arguments.contains("throw")) {
            const std::string kind = arguments["throw"];
            if (kind == "std") throw std::runtime_error("boom");
            if (kind == "parse") received = json::parse("{oops");
            if (kind == "other") throw 42;
        }
        return json{{"success", true}, {"echo", arguments}};
    }

    json received = "unset";
    int calls = 0;

private:
    std::string name_;
    std::string description_;
};

TEST(ToolRegistry, NullToolIsRejectedWithItsText) {
    ToolRegistry registry;
    try {
        registry.register_tool(nullptr);
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Cannot register null tool");
    }
    EXPECT_TRUE(registry.tool_names().empty());
}

TEST(ToolRegistry, RegisterReplaceUnregister) {
    ToolRegistry registry;
    auto first = std::make_shared<ProbeTool>("alpha", "first");
    registry.register_tool(first);
    registry.register_tool(std::make_shared<ProbeTool>("beta"));
    registry.register_tool(std::make_shared<ProbeTool>("alpha", "second"));

    EXPECT_TRUE(registry.has_tool("alpha"));
    EXPECT_FALSE(registry.has_tool("Alpha")) << "names are case-sensitive";
    EXPECT_EQ(registry.tool_names(), (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_EQ(registry.find_tool("alpha")->description(), "second");
    EXPECT_EQ(first.use_count(), 1) << "the replaced tool is released by the registry";

    registry.unregister_tool("alpha");
    registry.unregister_tool("missing");  // no effect
    EXPECT_FALSE(registry.has_tool("alpha"));
    EXPECT_EQ(registry.find_tool("alpha"), nullptr);
    EXPECT_EQ(registry.tool_names(), (std::vector<std::string>{"beta"}));
}

TEST(ToolRegistry, DefinitionsFollowTheRequestedList) {
    ToolRegistry registry;
    registry.register_tool(std::make_shared<ProbeTool>("alpha", "does alpha"));
    registry.register_tool(std::make_shared<ProbeTool>("beta", "does beta"));

    EXPECT_EQ(registry.tool_definitions({}), json::array());
    const json defs = registry.tool_definitions({"beta", "unknown", "alpha", "beta"});
    ASSERT_EQ(defs.size(), 3u);
    const json beta = {{"type", "function"},
                       {"function",
                        {{"name", "beta"}, {"description", "does beta"}, {"parameters", {{"type", "object"}}}}}};
    EXPECT_EQ(defs[0], beta);
    EXPECT_EQ(defs[1]["function"]["name"], "alpha");
    EXPECT_EQ(defs[2], beta) << "a name listed twice gives two identical elements";
}

struct CallCase {
    const char* label;
    const char* name;
    const char* arguments;
    // Exact outcome text, or (when prefix is set) the start of its "error".
    const char* expected;
    bool prefix;
};

TEST(ToolRegistry, ExecuteOutcomes) {
    const CallCase cases[] = {
        {"unknown tool", "nope", "{}", R"({"error":"Tool not found: nope","success":false})", false},
        {"unknown tool, case differs", "Probe", "", R"({"error":"Tool not found: Probe","success":false})", false},
        {"empty arguments run with null", "probe", "", R"({"echo":null,"success":true})", false},
        {"array passes unchanged", "probe", "[1,\"x\"]", R"({"echo":[1,"x"],"success":true})", false},
        {"scalar passes unchanged", "probe", " 7 ", R"({"echo":7,"success":true})", false},
        {"lone brace", "probe", "{", "Failed to parse arguments: ", true},
        {"text after the value", "probe", "{} {}", "Failed to parse arguments: ", true},
        {"white space only", "probe", "  ", "Failed to parse arguments: ", true},
        {"tool throws", "probe", R"({"throw":"std"})", "Tool execution error: boom", true},
        {"tool raises a JSON parse error", "probe", R"({"throw":"parse"})", "Failed to parse arguments: ", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ToolRegistry registry;
        registry.register_tool(std::make_shared<ProbeTool>("probe"));
        const std::string outcome = registry.execute_tool_call(ToolCall{"id1", c.name, c.arguments});
        if (!c.prefix) {
            EXPECT_EQ(outcome, c.expected);
            continue;
        }
        const json parsed = json::parse(outcome);
        EXPECT_EQ(parsed["success"], false);
        EXPECT_EQ(parsed["error"].get<std::string>().rfind(c.expected, 0), 0u) << outcome;
        EXPECT_EQ(outcome.rfind("{\"error\":", 0), 0u) << "keys in ascending order";
    }
}

TEST(ToolRegistry, ParseFailureDoesNotRunTheTool) {
    ToolRegistry registry;
    auto probe = std::make_shared<ProbeTool>("probe");
    registry.register_tool(probe);
    registry.execute_tool_call(ToolCall{"", "probe", "{"});
    EXPECT_EQ(probe->calls, 0);
}

TEST(ToolRegistry, NonStandardExceptionsReachTheCaller) {
    ToolRegistry registry;
    registry.register_tool(std::make_shared<ProbeTool>("probe"));
    EXPECT_THROW(registry.execute_tool_call(ToolCall{"", "probe", R"({"throw":"other"})"}), int);
}

// A tool that removes itself from the registry while it runs and then keeps
// using its own state: the call's reference must keep it alive.
class SelfRemovingTool : public ITool {
public:
    explicit SelfRemovingTool(ToolRegistry& registry) : registry_(registry) {}
    std::string name() const override { return "self"; }
    std::string description() const override { return ""; }
    json parameters() const override { return json::object(); }
    json execute(const json&) override {
        registry_.unregister_tool("self");
        payload_.assign(64, 'x');
        return json{{"success", true}, {"size", payload_.size()}};
    }

private:
    ToolRegistry& registry_;
    std::string payload_;
};

TEST(ToolRegistry, ToolStaysAliveWhileItsCallRuns) {
    ToolRegistry registry;
    registry.register_tool(std::make_shared<SelfRemovingTool>(registry));
    EXPECT_EQ(registry.execute_tool_call(ToolCall{"", "self", ""}), R"({"size":64,"success":true})");
    EXPECT_FALSE(registry.has_tool("self"));
}

}  // namespace
}  // namespace vexa
