#include "knowledge/identity.hpp"

#include "config/json_util.hpp"
#include "knowledge/knowledge_io.hpp"

#include <nlohmann/json.hpp>

#include <utility>

namespace vexa {

using nlohmann::json;

bool Identity::load(const std::string& file, knowledge_io::LoadOutcome* outcome) {
    path = file;
    knowledge_io::LoadOutcome result;
    std::string text;
    const knowledge_io::FileRead read = knowledge_io::read_regular_file(file, text);
    bool named = false;
    if (read == knowledge_io::FileRead::Read) {
        named = !text.empty() && parse(text);
        if (!named && !text.empty()) {
            // Say why, unless the file simply names nobody (which turns the block off).
            const json root = parse_json_bounded(text);
            const char* problem = nullptr;
            if (root.is_discarded()) {
                problem = "not valid JSON";
            } else if (!root.is_object()) {
                problem = "not a JSON object";
            } else {
                const auto it = root.find("name");
                const bool nameless = it == root.end() || (it->is_string() && it->get_ref<const std::string&>().empty());
                if (!nameless) problem = "a member has the wrong type";
            }
            if (problem != nullptr) {
                result.kind = knowledge_io::LoadOutcome::Kind::untouchable;
                result.problem = problem;
            }
        }
    } else {
        result = knowledge_io::LoadOutcome::from_read(read);
    }
    if (outcome != nullptr) *outcome = result;
    return named;
}

bool Identity::set_from_json(const std::string& text) {
    path.clear();
    if (text.empty()) {
        name.clear();
        role.clear();
        version.clear();
        description.clear();
        capabilities.clear();
        return true;
    }
    return parse(text);
}

bool Identity::parse(const std::string& text) {
    const json root = parse_json_bounded(text);
    if (root.is_discarded() || !root.is_object()) return false;
    // Missing members are empty; a wrong type stops here, the fields before it stay.
    const std::pair<const char*, std::string*> fields[] = {
        {"name", &name}, {"role", &role}, {"version", &version}, {"description", &description}};
    for (const auto& [key, field] : fields) {
        std::string value;
        if (!knowledge_io::read_string(root, key, value)) return false;
        *field = std::move(value);
    }
    capabilities.clear();
    const auto list = root.find("capabilities");
    if (list != root.end() && list->is_array()) {
        for (const json& item : *list) {
            if (!item.is_string()) return false;
            capabilities.push_back(item.get<std::string>());
        }
    }
    return !name.empty();
}

std::string Identity::prompt_block() const {
    if (name.empty()) return std::string();
    std::string out = "<identity>\n";
    out += "Name: " + name + "\n";
    out += "Role: " + role + "\n";
    out += "Version: " + version + "\n";
    out += "Description: " + description + "\n";
    if (!capabilities.empty()) {
        out += "Capabilities:\n";
        for (const std::string& capability : capabilities) out += "- " + capability + "\n";
    }
    out += "</identity>\n";
    return out;
}

bool Soul::load(const std::string& file, knowledge_io::LoadOutcome* outcome) {
    path = file;
    std::string content;
    const knowledge_io::FileRead read = knowledge_io::read_regular_file(file, content);
    if (outcome != nullptr) *outcome = knowledge_io::LoadOutcome::from_read(read);
    if (read != knowledge_io::FileRead::Read) return false;
    text = std::move(content);
    return !text.empty();
}

bool Soul::set_text(const std::string& value) {
    path.clear();
    text = value;
    return !text.empty();
}

std::string Soul::prompt_block() const {
    if (text.empty()) return std::string();
    return "<soul>\n" + text + "\n</soul>\n";
}

}  // namespace vexa
