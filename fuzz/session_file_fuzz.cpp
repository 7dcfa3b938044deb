// libFuzzer target for session files: ConversationManager::load on arbitrary
// file contents (a failed load must leave the session untouched), then what
// the agent does with a loaded session: history repair, and writing it back.

#include "config/json_util.hpp"
#include "conversation/conversation_manager.hpp"
#include "conversation/history_repair.hpp"

#include "fuzz_check.hpp"
#include "temp_dir.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

namespace {

constexpr const char* kId = "fuzz-session";
constexpr const char* kSavedId = "fuzz-session-saved";

const std::string& directory() {
    static const fuzz::TempDir dir("vexa_session_fuzz");
    return dir.path();
}

void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    FUZZ_CHECK(out.good());
}

bool same_stats(const vexa::HistoryRepairStats& a, const vexa::HistoryRepairStats& b) {
    return a.removed_incomplete_calls == b.removed_incomplete_calls && a.added_results == b.added_results &&
           a.removed_orphan_tools == b.removed_orphan_tools &&
           a.removed_empty_assistants == b.removed_empty_assistants &&
           a.removed_leading_tools == b.removed_leading_tools && a.adjacent_user_pairs == b.adjacent_user_pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& dir = directory();
    write_file(vexa::ConversationManager::session_path(dir, kId), data, size);

    vexa::ConversationManager conversation;
    conversation.add_user_message("before");
    const std::string id_before = conversation.session_id();
    if (!conversation.load(dir, kId)) {
        FUZZ_CHECK(conversation.session_id() == id_before);
        FUZZ_CHECK(conversation.message_count() == 1 && conversation.messages()[0].content == "before");
        return 0;
    }
    FUZZ_CHECK(vexa::ConversationManager::is_valid_session_id(conversation.session_id()));
    for (const vexa::ChatMessage& m : conversation.messages()) {
        FUZZ_CHECK(m.role != vexa::MessageRole::system);
        FUZZ_CHECK(m.images.empty());
    }

    // The counting pass predicts the repair exactly, and a repaired history
    // needs no further repair.
    const vexa::HistoryRepairStats predicted = vexa::inspect_history(conversation.messages());
    const vexa::HistoryRepairStats done = vexa::repair_history(conversation.messages());
    FUZZ_CHECK(same_stats(predicted, done));
    FUZZ_CHECK(!vexa::inspect_history(conversation.messages()).changed());
    (void)vexa::history_repair_log_messages(done);

    // Saving writes what loading reads: the same messages come back.
    const auto text = vexa::try_dump_json(conversation.to_session_json(), 2);
    FUZZ_CHECK(text.has_value());
    // (Under a fixed name: the file's own id may be too long for a file name.)
    write_file(vexa::ConversationManager::session_path(dir, kSavedId),
               reinterpret_cast<const std::uint8_t*>(text->data()), text->size());
    vexa::ConversationManager reloaded;
    FUZZ_CHECK(reloaded.load(dir, kSavedId));
    FUZZ_CHECK(reloaded.session_id() == conversation.session_id());
    FUZZ_CHECK(reloaded.message_count() == conversation.message_count());
    return 0;
}
