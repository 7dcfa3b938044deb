#include "tools/dynamic_tool.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexa {
namespace {

using nlohmann::json;

ToolSpec spec_named(std::string name, std::vector<std::string> keywords = {}) {
    ToolSpec spec;
    spec.name = std::move(name);
    spec.description = "host tool";
    spec.keywords = std::move(keywords);
    return spec;
}

// --- schema -----------------------------------------------------------------

struct SchemaCase {
    const char* label;
    const char* type;
    json properties;
    std::vector<std::string> required;
    json parameters;
    const char* expected;  // compact JSON text of parameters()
};

TEST(DynamicTool, SchemaPrecedence) {
    const json one_prop = {{"q", {{"type", "string"}}}};
    const SchemaCase cases[] = {
        {"built from parts", "", one_prop, {"q"}, json::object(),
         R"({"properties":{"q":{"type":"string"}},"required":["q"],"type":"object"})"},
        {"no required member when the list is empty", "", one_prop, {}, json(),
         R"({"properties":{"q":{"type":"string"}},"type":"object"})"},
        {"empty array counts as no schema", "", json(), {}, json::array(), R"({"properties":{},"type":"object"})"},
        {"type given", "array", json(), {"a", "b"}, json(), R"({"properties":{},"required":["a","b"],"type":"array"})"},
        {"properties of another type kept", "", json::array({1}), {}, json(), R"({"properties":[1],"type":"object"})"},
        {"complete schema wins", "array", one_prop, {"q"}, json{{"type", "object"}, {"x", 1}},
         R"({"type":"object","x":1})"},
        {"non-empty array schema verbatim", "", one_prop, {}, json::array({1, 2}), "[1,2]"},
        {"scalar schema verbatim", "", json(), {}, json("free"), R"("free")"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ToolSpec spec = spec_named("t");
        spec.type = c.type;
        spec.properties = c.properties;
        spec.required = c.required;
        spec.parameters = c.parameters;
        EXPECT_EQ(DynamicTool(spec).parameters().dump(), c.expected);
    }
}

// --- execution through the host adapter ----------------------------------------

struct HostCase {
    const char* label;
    const char* arguments;     // as the model sent them
    const char* reply;         // what the host function returns
    const char* expected_in;   // what the host function must receive
    const char* expected_out;  // the registry's outcome text
};

TEST(DynamicTool, HostExecutorOutcomes) {
    const HostCase cases[] = {
        {"plain word is a success", "", "done", "{}", R"({"result":"done","success":true})"},
        {"object reply unchanged", R"({"b":1,"a":2})", R"({"ok":1})", R"({"a":2,"b":1})", R"({"ok":1})"},
        {"reply with trailing text wrapped", "[1]", R"({"ok":1} more)", "[1]",
         R"({"result":"{\"ok\":1} more","success":true})"},
        {"empty reply", "null", "", "{}", R"({"result":"","success":true})"},
        {"scalar reply", "\"s\"", " 42\n", "\"s\"", "42"},
        {"array arguments", "[1,{\"k\":\"v\"}]", "[]", R"([1,{"k":"v"}])", "[]"},
        {"multi-byte text survives", R"({"city":"北京"})", "晴", R"({"city":"北京"})",
         R"({"result":"晴","success":true})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::string received;
        ToolSpec spec = spec_named("host");
        spec.executor = make_host_executor([&](const std::string& text) {
            received = text;
            return std::string(c.reply);
        });
        ToolRegistry registry;
        registry.register_tool(std::make_shared<DynamicTool>(spec));
        EXPECT_EQ(registry.execute_tool_call(ToolCall{"c1", "host", c.arguments}), c.expected_out);
        EXPECT_EQ(received, c.expected_in);
    }
}

TEST(DynamicTool, ExecutorFailures) {
    struct Case {
        const char* label;
        HostToolFunction function;  // empty: no executor
        const char* expected;
    };
    const Case cases[] = {
        {"no executor", HostToolFunction{}, R"({"error":"No executor registered for tool: host","success":false})"},
        {"standard exception",
         [](const std::string&) -> std::string { throw std::runtime_error("disk full"); },
         R"({"error":"Tool executor error: disk full","success":false})"},
        {"other exception", [](const std::string&) -> std::string { throw 7; },
         R"({"error":"Tool executor error: unknown exception.","success":false})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ToolSpec spec = spec_named("host");
        spec.executor = make_host_executor(c.function);
        EXPECT_EQ(static_cast<bool>(spec.executor), static_cast<bool>(c.function));
        ToolRegistry registry;
        registry.register_tool(std::make_shared<DynamicTool>(spec));
        EXPECT_EQ(registry.execute_tool_call(ToolCall{"c1", "host", "{}"}), c.expected);
    }
}

// --- the public record ---------------------------------------------------------

TEST(MapToolSpec, SchemaFromThePublicRecord) {
    struct Case {
        const char* label;
        const char* type;
        const char* properties_json;
        std::vector<std::string> required;
        const char* parameters_json;
        const char* expected;  // the host tool's schema
    };
    const Case cases[] = {
        {"empty record", "", "", {}, "", R"({"properties":{},"type":"object"})"},
        {"parts", "object", R"({"q":{"type":"string"}})", {"q"}, "",
         R"({"properties":{"q":{"type":"string"}},"required":["q"],"type":"object"})"},
        {"unparsable properties", "object", "{q:", {}, "", R"({"properties":{},"type":"object"})"},
        {"properties of any JSON type", "array", "[1]", {}, "", R"({"properties":[1],"type":"array"})"},
        {"complete schema wins", "object", R"({"q":{}})", {"q"}, R"({"type":"object","additionalProperties":false})",
         R"({"additionalProperties":false,"type":"object"})"},
        {"unparsable complete schema falls back to parts", "object", R"({"q":{}})", {}, "{broken",
         R"({"properties":{"q":{}},"type":"object"})"},
        {"empty complete schema falls back to parts", "object", "", {"x"}, "{}",
         R"({"properties":{},"required":["x"],"type":"object"})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        vexa_core::ToolParameterSpec record;
        record.name = "t";
        record.type = c.type;
        record.properties_json = c.properties_json;
        record.required = c.required;
        record.parameters_json = c.parameters_json;
        const ToolSpec spec = map_tool_spec(record, nullptr);
        EXPECT_EQ(spec.type, std::string(c.type).empty() ? "object" : c.type);
        EXPECT_EQ(DynamicTool(spec).parameters().dump(), c.expected);
    }
}

TEST(MapToolSpec, CopiesFieldsAndWrapsTheExecutor) {
    vexa_core::ToolParameterSpec record;
    record.name = "lookup";
    record.description = "looks things up";
    record.keywords = {"Find", "查找"};
    EXPECT_FALSE(map_tool_spec(record, nullptr).executor) << "no function, no executor";

    std::string received;
    const ToolSpec spec = map_tool_spec(record, [&](const std::string& text) {
        received = text;
        return std::string("found it");
    });
    EXPECT_EQ(spec.name, "lookup");
    EXPECT_EQ(spec.description, "looks things up");
    EXPECT_EQ(spec.keywords, record.keywords);
    EXPECT_TRUE(spec.parameters.is_null());
    ASSERT_TRUE(spec.executor);
    EXPECT_EQ(spec.executor(json()), json({{"result", "found it"}, {"success", true}}));
    EXPECT_EQ(received, "{}");
}

// --- the host tool manager ---------------------------------------------------

// A built-in tool as the agent registers it before host tools arrive.
class BuiltinTool : public ITool {
public:
    explicit BuiltinTool(std::string name) : name_(std::move(name)) {}
    std::string name() const override { return name_; }
    std::string description() const override { return "built in"; }
    json parameters() const override { return json::object(); }
    json execute(const json&) override { return json{{"success", true}}; }

private:
    std::string name_;
};

class DynamicToolManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        registry.register_tool(std::make_shared<BuiltinTool>("model_management"));
        registry.register_tool(std::make_shared<BuiltinTool>("skill_inspect_tool"));
        manager.set_registry(&registry);
    }
    ToolRegistry registry;
    DynamicToolManager manager;
};

TEST(DynamicToolManager, NothingBeforeTheRegistryArrives) {
    DynamicToolManager manager;
    EXPECT_FALSE(manager.register_host_tool(spec_named("early")));
    EXPECT_FALSE(manager.unregister_host_tool("early"));
    EXPECT_FALSE(manager.is_host_tool("early"));
    EXPECT_TRUE(manager.host_tool_names().empty());
}

TEST_F(DynamicToolManagerTest, RegistrationRules) {
    EXPECT_FALSE(manager.register_host_tool(spec_named("")));
    EXPECT_FALSE(manager.register_host_tool(spec_named("skill_inspect_tool")));
    EXPECT_EQ(registry.find_tool("skill_inspect_tool")->description(), "built in");

    ToolSpec first = spec_named("weather", {"rain"});
    first.description = "first";
    ToolSpec second = spec_named("weather", {"sun"});
    second.description = "second";
    EXPECT_TRUE(manager.register_host_tool(first));
    EXPECT_TRUE(manager.register_host_tool(second));
    EXPECT_EQ(registry.find_tool("weather")->description(), "second");
    EXPECT_EQ(manager.host_tool_names(), (std::vector<std::string>{"weather"}));
    EXPECT_EQ(manager.select_host_tools("rain today"), std::vector<std::string>{});
    EXPECT_EQ(manager.select_host_tools("sun today"), (std::vector<std::string>{"weather"}));

    EXPECT_TRUE(manager.is_host_tool("weather"));
    EXPECT_FALSE(manager.is_host_tool("model_management"));
}

TEST_F(DynamicToolManagerTest, UnregisterOnlyHostTools) {
    EXPECT_FALSE(manager.unregister_host_tool("model_management"));
    EXPECT_TRUE(registry.has_tool("model_management"));
    EXPECT_FALSE(manager.unregister_host_tool("never_registered"));

    ASSERT_TRUE(manager.register_host_tool(spec_named("notes")));
    EXPECT_TRUE(manager.unregister_host_tool("notes"));
    EXPECT_FALSE(registry.has_tool("notes"));
    EXPECT_FALSE(manager.is_host_tool("notes"));
    EXPECT_TRUE(manager.host_tool_names().empty());
    EXPECT_FALSE(manager.unregister_host_tool("notes"));
}

TEST_F(DynamicToolManagerTest, KeywordSelection) {
    // Registered first but gated: it must still come after the ungated tools.
    ASSERT_TRUE(manager.register_host_tool(spec_named("files", {"", "File"})));
    ASSERT_TRUE(manager.register_host_tool(spec_named("always")));
    ASSERT_TRUE(manager.register_host_tool(spec_named("weather", {"天气", "Ünï"})));
    ASSERT_TRUE(manager.register_host_tool(spec_named("blank", {""})));

    struct Case {
        const char* message;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"please open the file", {"always", "files"}},
        {"hello there", {"always"}},
        {"EDIT MY PROFILE", {"always", "files"}},
        {"今天天气怎么样", {"always", "weather"}},
        {"ünï", {"always"}},  // only ASCII letters are folded
        {"Ünï and a FILE", {"always", "files", "weather"}},
        {"", {"always"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(manager.select_host_tools(c.message), c.expected);
    }
    EXPECT_EQ(manager.host_tool_names(), (std::vector<std::string>{"files", "always", "weather", "blank"}));
}

}  // namespace
}  // namespace vexa
