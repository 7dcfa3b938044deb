#pragma once
// The agent's persona in every system prompt: the structured identity
// (<identity> block, from identity.json or the host's JSON) and the free-text
// soul (<soul> block, from soul.md or the host's text). An empty name or an
// empty soul text leaves its block out. No lock inside: the host's setters run
// under the session lock and the prompt builder reads on the agent's thread.

#include "knowledge/knowledge_io.hpp"

#include <string>
#include <vector>

namespace vexa {

// File names inside the configuration directory (joined with a "/").
inline constexpr const char* kIdentityFileName = "identity.json";
inline constexpr const char* kSoulFileName = "soul.md";

// The agent's last error when the host's identity JSON is refused.
inline constexpr const char* kHostIdentityParseError = "Failed to parse identity JSON from host.";

struct Identity {
    std::string name;
    std::string role;
    std::string version;
    std::string description;
    std::vector<std::string> capabilities;
    std::string path;  // where it was last loaded from; empty when set by the host

    // Remembers `path`. False, with the fields unchanged, when it is not an
    // existing regular file, is empty or larger than kMaxStartupFileBytes;
    // otherwise parse() of its text. `outcome`, when given, says what was
    // wrong with a file that is there (the library never writes this file,
    // so an incomplete one is reported as untouchable).
    bool load(const std::string& path, knowledge_io::LoadOutcome* outcome = nullptr);
    // The host's JSON: clears the remembered path; an empty text resets every
    // field and succeeds; otherwise parse().
    bool set_from_json(const std::string& text);
    // Unreadable JSON: false, fields unchanged. Then name, role, version and
    // description are assigned in this order (missing: empty; not a string:
    // false, the earlier ones kept) and the capabilities replaced by a
    // `capabilities` array's items (an item that is not a string: false; a
    // member of another type is ignored). True when the name is not empty.
    bool parse(const std::string& text);

    // Empty without a name; otherwise the <identity> block, every line of the
    // four fields present even when its value is empty.
    std::string prompt_block() const;
};

struct Soul {
    std::string text;
    std::string path;  // where it was last loaded from; empty when set by the host

    // Remembers `path`. False, text unchanged, when it is not an existing
    // regular file or is larger than kMaxStartupFileBytes; otherwise the whole
    // file becomes the text, and the result says whether it is non-empty.
    bool load(const std::string& path, knowledge_io::LoadOutcome* outcome = nullptr);
    // The host's text: clears the remembered path; true when non-empty.
    bool set_text(const std::string& text);

    // Empty for an empty text; otherwise "<soul>\n" + text + "\n</soul>\n".
    std::string prompt_block() const;
};

}  // namespace vexa
