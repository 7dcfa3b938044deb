#include "skills/skill_inspect_tool.hpp"

#include "skills/skill_manager.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace vexa {

using nlohmann::json;

std::string SkillInspectTool::name() const { return "skill_inspect_tool"; }

std::string SkillInspectTool::description() const {
    return "Read-only skill access. Actions: list, view, load. If a listed skill is relevant (even partially), view "
           "it before other tools. view: full SKILL.md of any available skill (does not require load). load: add an "
           "unlisted skill to the system-prompt catalog; not a substitute for view. list: all skills. Use "
           "skill_edit_tool to modify.";
}

json SkillInspectTool::parameters() const {
    json action = json::object();
    action["type"] = "string";
    action["enum"] = json::array({"list", "view", "load"});
    json skill_name = json::object();
    skill_name["type"] = "string";
    skill_name["description"] = "Required for view/load.";
    json properties = json::object();
    properties["action"] = std::move(action);
    properties["skill_name"] = std::move(skill_name);
    json schema = json::object();
    schema["type"] = "object";
    schema["properties"] = std::move(properties);
    schema["required"] = json::array({"action"});
    return schema;
}

json SkillInspectTool::execute(const json& arguments) {
    const auto action_it = arguments.is_object() ? arguments.find("action") : arguments.end();
    if (!arguments.is_object() || action_it == arguments.end() || !action_it->is_string()) {
        return json{{"success", false},
                    {"error", "Missing or invalid parameter 'action' (string; one of list/view/load)."}};
    }
    const std::string action = action_it->get<std::string>();
    if (action == "list") return list_skills();
    if (action != "view" && action != "load") {
        return json{{"success", false},
                    {"error", "Unknown action '" + action + "'. Expected one of: list / view / load."}};
    }
    const auto name_it = arguments.find("skill_name");
    if (name_it == arguments.end() || !name_it->is_string()) {
        return json{{"success", false},
                    {"action", action},
                    {"error", "Action '" + action + "' requires parameter 'skill_name' (string)."}};
    }
    const std::string skill_name = name_it->get<std::string>();
    return action == "view" ? view_skill(skill_name) : load_skill(skill_name);
}

json SkillInspectTool::list_skills() const {
    // Each call locks on its own; a library replaced in between can leave a
    // name without its description and version, which is harmless here.
    const std::vector<std::string> loaded = manager_->loaded_skill_names();
    const std::vector<std::string> all = manager_->all_skill_names();
    json skills = json::array();
    for (const std::string& skill_name : all) {
        json item = json::object();
        item["name"] = skill_name;
        item["loaded"] = std::binary_search(loaded.begin(), loaded.end(), skill_name);
        if (const std::optional<Skill> skill = manager_->get_skill(skill_name)) {
            item["description"] = skill->metadata.description;
            item["version"] = skill->metadata.version;
        }
        skills.push_back(std::move(item));
    }
    json result = json::object();
    result["success"] = true;
    result["action"] = "list";
    result["loaded_count"] = loaded.size();
    result["available_count"] = all.size();
    result["skills"] = std::move(skills);
    return result;
}

json SkillInspectTool::view_skill(const std::string& skill_name) const {
    const std::optional<Skill> skill = manager_->get_skill(skill_name);
    json result = json::object();
    result["action"] = "view";
    if (!skill) {
        result["success"] = false;
        result["skill_name"] = skill_name;
        result["error"] = "Skill not found. Check the name spelling.";
        result["available_skills"] = manager_->all_skill_names();
        return result;
    }
    const std::vector<std::string> references = manager_->list_reference_names(skill_name);
    manager_->record_activity(skill_name, now_timestamp_100ns());

    result["success"] = true;
    result["skill_name"] = skill->metadata.name;
    result["description"] = skill->metadata.description;
    result["version"] = skill->metadata.version;
    result["manual"] = skill->body;
    result["references"] = references;
    const std::vector<SkillReference> contents = manager_->get_references(skill_name);
    if (!contents.empty()) {
        json by_path = json::object();
        for (const SkillReference& reference : contents) by_path[reference.path] = reference.content;
        result["reference_contents"] = std::move(by_path);
    }
    return result;
}

json SkillInspectTool::load_skill(const std::string& skill_name) const {
    json result = json::object();
    result["action"] = "load";
    result["skill_name"] = skill_name;
    if (manager_->is_loaded(skill_name)) {
        manager_->record_activity(skill_name, now_timestamp_100ns());
        result["success"] = true;
        result["loaded"] = true;
        result["already_loaded"] = true;
        result["hint"] = "Skill is already in the catalog. Use action='view' to read the full SOP.";
        return result;
    }
    if (manager_->mark_loaded(skill_name)) {
        manager_->record_activity(skill_name, now_timestamp_100ns());
        result["success"] = true;
        result["loaded"] = true;
        result["already_loaded"] = false;
        result["hint"] = "Skill added to the catalog. Use action='view' to read the full SOP this turn.";
        return result;
    }
    result["success"] = false;
    result["loaded"] = false;
    result["already_loaded"] = false;
    result["error"] = "Skill not found in skills directory.";
    result["available_skills"] = manager_->all_skill_names();
    return result;
}

}  // namespace vexa
