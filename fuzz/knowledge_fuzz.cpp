// libFuzzer target for the knowledge components: memory.json, user_profile.json
// and identity.json as read from disk, and a model's answer to the memory
// extraction merged into a store. Whatever the files hold, the prompt blocks
// stay well framed and valid UTF-8, what is saved reads back the same, and a
// model answer never puts an over-long or credential-carrying entry into the
// store.
//
// Input: NUL-separated fields, in order: memory.json text, user_profile.json
// text, identity JSON text, extraction answer. Missing fields are empty.

#include "knowledge/identity.hpp"
#include "knowledge/memory_extractor.hpp"
#include "knowledge/memory_store.hpp"
#include "knowledge/user_profile.hpp"

#include "config/text_util.hpp"
#include "support/credential_scan.hpp"

#include "fuzz_check.hpp"
#include "fuzz_io.hpp"
#include "temp_dir.hpp"
#include "utf8_check.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using fuzz::split;
using fuzz::write_file;
using fuzz::starts_with;

namespace fs = std::filesystem;

const std::string& directory() {
    static const fuzz::TempDir dir("vexa_knowledge_fuzz");
    return dir.path();
}

std::string file_in_dir(const char* name) { return (fs::path(directory()) / name).string(); }


bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void check_memory_blocks(const vexa::MemoryStore& store) {
    const std::string overview = store.overview_block();
    FUZZ_CHECK(starts_with(overview, "<memory_overview>\n"));
    FUZZ_CHECK(ends_with(overview, "</memory_overview>\n"));
    FUZZ_CHECK(fuzz::valid_utf8(overview));
    FUZZ_CHECK(starts_with(store.summary_line(), "Memory Store: " + std::to_string(store.size()) + " entries"));
    for (const auto& [id, entry] : store.entries()) FUZZ_CHECK(!id.empty() && id == entry.id);
}

vexa::MemoryStore fuzz_memory_file(const std::string& text) {
    const std::string path = file_in_dir("memory.json");
    write_file(path, text);
    vexa::MemoryStore store;
    store.insert({"seed", "k", "t", "c", "", "", vexa::kOriginUserInitiated, vexa::kOriginUserInitiated});
    const bool ok = store.load(path);
    FUZZ_CHECK(store.file_path() == path);
    // A file that did not load wholly always says why, so start-up moves it aside.
    FUZZ_CHECK(ok == store.load_outcome().complete());
    FUZZ_CHECK(ok || !store.load_outcome().problem.empty());
    if (text.empty()) FUZZ_CHECK(ok && store.size() == 1);
    check_memory_blocks(store);

    // What was read is written and read back unchanged.
    const std::string copy = file_in_dir("memory_copy.json");
    FUZZ_CHECK(store.save(copy));
    vexa::MemoryStore again;
    FUZZ_CHECK(again.load(copy));
    FUZZ_CHECK(again.entries() == store.entries());

    if (!store.empty()) {
        const vexa::MemoryEntry& first = store.entries().begin()->second;
        const std::string needle = first.title.substr(0, 3);
        const auto found = store.search(needle);
        if (!needle.empty()) FUZZ_CHECK(!found.empty());
        FUZZ_CHECK(store.entries_in_category(first.category).size() >= 1);
    }
    vexa::MemoryStore pruned = store;
    pruned.prune(3);
    FUZZ_CHECK(pruned.size() == std::min<std::size_t>(store.size(), 3));
    return store;
}

void check_profile_block(const vexa::UserProfile& profile) {
    const std::string block = profile.prompt_block();
    FUZZ_CHECK(starts_with(block, "<user_profile>\n"));
    FUZZ_CHECK(ends_with(block, "</user_profile>\n"));
    FUZZ_CHECK(fuzz::valid_utf8(block));
    FUZZ_CHECK(starts_with(profile.summary_line(), "User Profile: "));
}

void fuzz_profile_file(const std::string& text, const vexa::MemoryStore& store) {
    const std::string path = file_in_dir("user_profile.json");
    write_file(path, text);
    vexa::UserProfile profile;
    vexa::knowledge_io::LoadOutcome outcome;
    const bool ok = profile.load(path, &outcome);
    FUZZ_CHECK(ok == outcome.complete());
    if (text.empty()) FUZZ_CHECK(ok && profile == vexa::UserProfile());
    check_profile_block(profile);

    // The start-up sequence: record, rebuild, save; the file then reads back.
    const std::int32_t count = profile.interaction_count;
    profile.record_interaction("2026-12-08T21:30:05");
    FUZZ_CHECK(profile.interaction_count >= count);
    profile.rebuild_from_memory(store);
    FUZZ_CHECK(profile.interests.size() <= vexa::kProfileMaxInterests);
    FUZZ_CHECK(profile.preferences.size() <= vexa::kProfileMaxPreferences);
    FUZZ_CHECK(profile.custom_traits.size() <= vexa::kProfileMaxTraits);
    check_profile_block(profile);
    FUZZ_CHECK(profile.save(path));
    vexa::UserProfile again;
    FUZZ_CHECK(again.load(path));
    FUZZ_CHECK(again == profile);
}

void fuzz_identity(const std::string& text) {
    vexa::Identity identity;
    const bool ok = identity.set_from_json(text);
    FUZZ_CHECK(identity.path.empty());
    if (text.empty()) FUZZ_CHECK(ok && identity.name.empty());
    if (ok && !text.empty()) FUZZ_CHECK(!identity.name.empty());
    const std::string block = identity.prompt_block();
    if (identity.name.empty()) {
        FUZZ_CHECK(block.empty());
    } else {
        FUZZ_CHECK(starts_with(block, "<identity>\nName: " + identity.name + "\nRole: "));
        FUZZ_CHECK(ends_with(block, "</identity>\n"));
        FUZZ_CHECK(fuzz::valid_utf8(block));
    }

    // The same text as a file gives the same identity (an empty file is refused).
    const std::string path = file_in_dir("identity.json");
    write_file(path, text);
    vexa::Identity loaded;
    const bool loaded_ok = loaded.load(path);
    FUZZ_CHECK(loaded.path == path);
    if (!text.empty()) {
        FUZZ_CHECK(loaded_ok == ok);
        FUZZ_CHECK(loaded.prompt_block() == block);
    } else {
        FUZZ_CHECK(!loaded_ok);
    }

    vexa::Soul soul;
    FUZZ_CHECK(soul.set_text(text) == !text.empty());
    FUZZ_CHECK(text.empty() ? soul.prompt_block().empty() : soul.prompt_block() == "<soul>\n" + text + "\n</soul>\n");
}

bool stored_from_model_is_safe(const vexa::MemoryEntry& entry) {
    return entry.title.size() <= vexa::kMemoryCandidateTitleMaxBytes &&
           entry.content.size() <= vexa::kMemoryCandidateContentMaxBytes && !entry.title.empty() &&
           !entry.content.empty() && !vexa::contains_credential(entry.title) &&
           !vexa::contains_credential(entry.content) && vexa::is_memory_category(entry.category) &&
           fuzz::valid_utf8(entry.title) && fuzz::valid_utf8(entry.content);
}

void fuzz_answer(const std::string& answer, const vexa::MemoryStore& loaded) {
    const std::vector<vexa::MemoryCandidate> candidates = vexa::parse_extraction_answer(answer);
    for (const vexa::MemoryCandidate& c : candidates) {
        FUZZ_CHECK(!c.title.empty() && !c.content.empty());
        FUZZ_CHECK(vexa::trim_space(c.title) == c.title && vexa::trim_space(c.content) == c.content);
        FUZZ_CHECK(vexa::is_memory_category(c.category));
        for (const std::string& keyword : c.keywords) FUZZ_CHECK(fuzz::valid_utf8(keyword));
    }

    // Into an empty store: every entry is the extractor's, bounded and clean.
    vexa::MemoryStore fresh;
    fresh.set_clock([] { return std::string("2026-12-08T21:30:05"); });
    const vexa::MergeOutcome outcome = vexa::merge_candidates(fresh, candidates);
    FUZZ_CHECK(outcome.added >= 0 && outcome.updated >= 0);
    FUZZ_CHECK(fresh.size() == static_cast<std::size_t>(outcome.added));
    FUZZ_CHECK(static_cast<std::size_t>(outcome.changed() + outcome.skipped_unimportant + outcome.dropped_credential +
                                        outcome.dropped_empty) ==
               std::min(candidates.size(), vexa::kMemoryMaxCandidatesPerAnswer));
    for (const auto& [id, entry] : fresh.entries()) {
        FUZZ_CHECK(stored_from_model_is_safe(entry));
        FUZZ_CHECK(entry.created_origin == vexa::kOriginMemoryExtractor);
        FUZZ_CHECK(entry.last_modified_origin == vexa::kOriginMemoryExtractor);
    }
    check_memory_blocks(fresh);

    // Into the store read from disk, the whole apply phase.
    vexa::MemoryStore store = loaded;
    vexa::UserProfile profile;
    const std::size_t before = store.size();
    const vexa::MergeOutcome applied =
        vexa::apply_extraction(store, profile, file_in_dir("profile_after.json"), candidates);
    if (applied.changed() > 0) {
        FUZZ_CHECK(store.size() <= vexa::kMemoryStoreMaxEntries);
    } else {
        FUZZ_CHECK(store.size() == before);
    }
    // Every entry the merge added or changed holds a candidate's text.
    for (const auto& [id, entry] : store.entries()) {
        const vexa::MemoryEntry* old = loaded.find(id);
        if (!old || !(*old == entry)) {
            FUZZ_CHECK(stored_from_model_is_safe(entry));
            FUZZ_CHECK(entry.last_modified_origin == vexa::kOriginMemoryExtractor);
        }
    }
    check_memory_blocks(store);
    check_profile_block(profile);

    // The prompt that asked for it, with the answer as conversation text.
    vexa::ChatMessage message;
    message.content = answer;
    const auto request = vexa::build_extraction_request(store.overview_block(), {message});
    FUZZ_CHECK(request.size() == 2 && request[0].content.find(answer) != std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> fields = split(std::string(reinterpret_cast<const char*>(data), size), '\0');
    fields.resize(std::max<std::size_t>(fields.size(), 4));
    const vexa::MemoryStore store = fuzz_memory_file(fields[0]);
    fuzz_profile_file(fields[1], store);
    fuzz_identity(fields[2]);
    fuzz_answer(fields[3], store);
    return 0;
}
