#pragma once
// The built-in tool through which the model reads the skill library: list
// every skill, view one in full, or add one to the system-prompt catalog.

#include "tools/tool.hpp"

#include <nlohmann/json.hpp>

#include <string>

namespace vexa {

class SkillManager;

class SkillInspectTool : public ITool {
public:
    // `manager` is not owned and must outlive the tool (the agent owns both).
    explicit SkillInspectTool(SkillManager* manager) : manager_(manager) {}

    std::string name() const override;
    std::string description() const override;
    nlohmann::json parameters() const override;
    // Never changes a skill's text; every failure is a result with
    // "success" false and an "error" text.
    nlohmann::json execute(const nlohmann::json& arguments) override;

private:
    nlohmann::json list_skills() const;
    nlohmann::json view_skill(const std::string& skill_name) const;
    nlohmann::json load_skill(const std::string& skill_name) const;

    SkillManager* manager_;
};

}  // namespace vexa
