#include "knowledge/identity.hpp"

#include "config/json_util.hpp"
#include "knowledge/knowledge_io.hpp"

#include <nlohmann/json.hpp>

#include <utility>

namespace vexa {

using nlohmann::json;

bool Identity::load(const std::string& file) {
    path = file;
    std::string text;
    if (knowledge_io::read_regular_file(file, text) != knowledge_io::FileRead::Read || text.empty()) return false;
    return parse(text);
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

bool Soul::load(const std::string& file) {
    path = file;
    std::string content;
    if (knowledge_io::read_regular_file(file, content) != knowledge_io::FileRead::Read) return false;
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
