// libFuzzer target for the redaction of tool arguments shown to the host:
// JSON in gives JSON out with every secret-named member redacted; other text
// comes back unchanged, replaced whole, or with credential-shaped parts
// replaced.
// The credential detectors run on the same input: whatever redaction cuts
// out, the memory filter refuses too, and each detector stays within the text.
// The other judgements over tool texts run on the same input.

#include "agent/tool_judgement.hpp"
#include "support/credential_scan.hpp"

#include "fuzz_check.hpp"
#include "utf8_check.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using nlohmann::json;

std::string lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

bool secret_word(const std::string& text) {
    const std::string l = lower(text);
    for (std::string_view word : {"api_key", "apikey", "token", "secret", "password"}) {
        if (l.find(word) != std::string::npos) return true;
    }
    return false;
}

// Every member whose name looks secret holds "[redacted]". Walked with an
// explicit stack: the document may be nested deeper than the call stack allows.
void check_redacted(const json& root) {
    std::vector<const json*> pending{&root};
    while (!pending.empty()) {
        const json* node = pending.back();
        pending.pop_back();
        if (node->is_object()) {
            for (auto it = node->begin(); it != node->end(); ++it) {
                if (secret_word(it.key())) {
                    FUZZ_CHECK(it.value() == "[redacted]");
                } else {
                    pending.push_back(&it.value());
                }
            }
        } else if (node->is_array()) {
            for (const json& element : *node) pending.push_back(&element);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string out = vexa::redact_arguments(text);

    // JSON comes out as JSON with secret-named members redacted; other text
    // comes back as it was, replaced whole, or with credentials cut out.
    const json shown = json::parse(out, nullptr, false);
    if (!shown.is_discarded()) {
        check_redacted(shown);
    } else if (out != text && out != "{\"redacted\":true}") {
        FUZZ_CHECK(out.find("[redacted]") != std::string::npos);
    }
    if (!json::parse(text, nullptr, false).is_discarded() && out != text) FUZZ_CHECK(!shown.is_discarded());

    // The memory filter refuses at least what redaction cuts out, and says
    // yes exactly where one of its detectors finds a run inside the text.
    const bool credential = vexa::contains_credential(text);
    std::string scrubbed = text;
    const bool cut_out = vexa::scrub_credentials(scrubbed);
    FUZZ_CHECK(cut_out ? scrubbed.find("[redacted]") != std::string::npos : scrubbed == text);
    if (cut_out) FUZZ_CHECK(credential);
    bool found = false;
    for (std::size_t pos = 0; pos <= size; ++pos) {
        const std::size_t lengths[] = {vexa::credential_length_at(text, pos), vexa::credential_assignment_at(text, pos),
                                       vexa::credential_in_prose_at(text, pos),
                                       vexa::random_token_length_at(text, pos)};
        for (std::size_t n : lengths) {
            FUZZ_CHECK(n <= size - pos);
            found = found || n > 0;
        }
    }
    FUZZ_CHECK(found == credential);

    // Cuts for the model never split a character of well-formed text.
    const bool valid = fuzz::valid_utf8(text);
    (void)vexa::is_tool_success(text);
    const std::string reason = vexa::tool_failure_reason(text);
    if (valid) FUZZ_CHECK(fuzz::valid_utf8(reason));
    const std::size_t limit = size == 0 ? 0 : data[0];
    const std::string cut = vexa::truncate_tool_result(text, limit);
    if (size <= limit) FUZZ_CHECK(cut == text);
    if (valid) FUZZ_CHECK(fuzz::valid_utf8(cut));
    (void)vexa::tool_message_content("tool", text, size % 2 == 0);
    return 0;
}
