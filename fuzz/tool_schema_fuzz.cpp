// libFuzzer target for host tools: map_tool_spec on an arbitrary public tool
// record, the schema the model is shown, the host adapter's handling of
// arguments and replies, and keyword selection.
//
// Input: NUL-separated fields, in order: name, description, type,
// properties_json, parameters_json, required (comma-separated), keywords
// (comma-separated), the host's reply, the arguments' JSON text, the user's
// message. Missing fields are empty.

#include "tools/dynamic_tool.hpp"
#include "tools/tool_registry.hpp"

#include "config/json_util.hpp"

#include "fuzz_check.hpp"
#include "fuzz_io.hpp"
#include "utf8_check.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

using fuzz::split;

using nlohmann::json;

std::vector<std::string> list(const std::string& text) {
    if (text.empty()) return {};
    return split(text, ',');
}

bool is_empty_schema(const json& value) {
    return value.is_null() || ((value.is_object() || value.is_array()) && value.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields = split(std::string(reinterpret_cast<const char*>(data), size), '\0');
    fields.resize(std::max<std::size_t>(fields.size(), 10));
    const std::string& reply = fields[7];
    const std::string& arguments_text = fields[8];
    const std::string& message = fields[9];

    vexa_core::ToolParameterSpec record;
    record.name = fields[0];
    record.description = fields[1];
    record.type = fields[2];
    record.properties_json = fields[3];
    record.parameters_json = fields[4];
    record.required = list(fields[5]);
    record.keywords = list(fields[6]);

    std::string received;
    const vexa::ToolSpec spec = vexa::map_tool_spec(record, [&reply](const std::string&) { return reply; });

    // A record the check accepts maps to a complete schema that is an object.
    std::string reason;
    if (vexa::check_tool_spec(record, reason)) {
        FUZZ_CHECK(!record.name.empty());
        if (!record.parameters_json.empty()) FUZZ_CHECK(spec.parameters.is_object());
    } else {
        FUZZ_CHECK(!reason.empty());
    }
    FUZZ_CHECK(spec.name == record.name && spec.required == record.required && spec.keywords == record.keywords);
    FUZZ_CHECK(!spec.type.empty());
    FUZZ_CHECK(!spec.properties.is_discarded() && !spec.parameters.is_discarded());
    FUZZ_CHECK(static_cast<bool>(spec.executor));

    // The schema: the complete one when it says anything, else built from the parts.
    auto tool = std::make_shared<vexa::DynamicTool>(spec);
    const json schema = tool->parameters();
    if (!is_empty_schema(spec.parameters)) {
        FUZZ_CHECK(schema == spec.parameters);
    } else {
        FUZZ_CHECK(schema.is_object() && schema.contains("type") && schema.contains("properties"));
    }
    // The request carries it as text: that text reads back as the same value
    // (the host's own texts are repaired into UTF-8 on the way).
    const std::string schema_text = vexa::dump_json(schema, -1);
    const json schema_again = json::parse(schema_text, nullptr, false);
    FUZZ_CHECK(!schema_again.is_discarded());
    const bool host_texts_valid =
        fuzz::valid_utf8(record.type) &&
        std::all_of(record.required.begin(), record.required.end(), [](const std::string& r) { return fuzz::valid_utf8(r); });
    if (host_texts_valid) FUZZ_CHECK(schema_again == schema);

    // Registration, keyword selection, and a call as the model makes it:
    // arguments text through the registry, the host's reply back.
    vexa::ToolRegistry registry;
    vexa::DynamicToolManager manager;
    manager.set_registry(&registry);
    const bool registered = manager.register_host_tool(spec);
    FUZZ_CHECK(registered == !spec.name.empty());
    if (!registered) return 0;
    const std::vector<std::string> selected = manager.select_host_tools(message);
    const bool offered = std::find(selected.begin(), selected.end(), spec.name) != selected.end();
    if (spec.keywords.empty()) FUZZ_CHECK(offered);
    (void)registry.tool_definitions(selected);

    bool called = false;
    vexa::ToolSpec traced = spec;
    traced.executor = vexa::make_host_executor([&](const std::string& arguments) {
        called = true;
        received = arguments;
        return reply;
    });
    FUZZ_CHECK(manager.register_host_tool(traced));
    const std::string outcome_text = registry.execute_tool_call(vexa::ToolCall{"call_1", spec.name, arguments_text});
    const json outcome = vexa::parse_json_bounded(outcome_text);
    FUZZ_CHECK(!outcome.is_discarded());

    // The host sees the arguments as JSON text ("{}" for none); arguments
    // that are not (acceptable) JSON never reach it.
    std::string argument_error;
    const json arguments = arguments_text.empty() ? json() : vexa::parse_json_bounded(arguments_text, argument_error);
    if (!argument_error.empty()) {
        FUZZ_CHECK(!called);
        FUZZ_CHECK(outcome.is_object() && outcome.value("success", true) == false);
    } else {
        FUZZ_CHECK(called);
        if (arguments.is_null()) {
            FUZZ_CHECK(received == "{}");
        } else {
            FUZZ_CHECK(vexa::parse_json_bounded(received) == arguments);
        }
        // A reply that is one JSON value is the result, any other reply
        // counts as success carrying the text.
        const json parsed_reply = vexa::parse_json_bounded(reply);
        if (parsed_reply.is_discarded()) {
            FUZZ_CHECK(outcome.is_object() && outcome.value("success", false) == true);
            if (fuzz::valid_utf8(reply)) FUZZ_CHECK(outcome.value("result", std::string()) == reply);
        } else {
            FUZZ_CHECK(outcome == parsed_reply);
        }
    }

    FUZZ_CHECK(manager.unregister_host_tool(spec.name));
    FUZZ_CHECK(!registry.has_tool(spec.name));
    return 0;
}
