// libFuzzer target for interaction record files: opening a session on
// arbitrary file contents (never written at open; a file that cannot be
// loaded is moved aside whole before the first write), then appending two
// records built from the input, the second extending the first's request, in
// the full or the compact form, and writing the file. What is written must be
// JSON that loads back with every record, byte for byte what serialising the
// whole file object gives, and the compact records expand to whole requests.

#include "config/json_util.hpp"
#include "conversation/interaction_recorder.hpp"
#include "support/fs_util.hpp"

#include "fuzz_io.hpp"
#include "temp_dir.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kId = "fuzz-records";

const std::string& directory() {
    static const fuzz::TempDir dir("vexa_records_fuzz");
    return dir.path();
}

// What the recorder should hold after opening `input`: its records when it
// is a JSON object whose "records" array reads without type errors, else
// nothing (the file is not loaded).
std::optional<std::vector<vexa::InteractionRecord>> expected_records(const std::string& input) {
    if (input.size() > vexa::kMaxStartupFileBytes) return std::nullopt;
    const nlohmann::json root = vexa::parse_json_bounded(input);
    if (!root.is_object()) return std::nullopt;
    auto it = root.find("records");
    if (it == root.end() || !it->is_array()) return std::nullopt;
    std::vector<vexa::InteractionRecord> records;
    try {
        for (const auto& element : *it) records.push_back(vexa::record_from_json(element));
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
    return records;
}

// Removes what the recorder moved aside; returns its content ("" when none).
std::string take_moved_aside(const std::filesystem::path& file) {
    std::string content;
    const std::string prefix = file.filename().string() + ".unreadable-";
    for (const auto& entry : std::filesystem::directory_iterator(file.parent_path())) {
        if (entry.path().filename().string().rfind(prefix, 0) != 0) continue;
        content = fuzz::read_file(entry.path());
        std::filesystem::remove(entry.path());
    }
    return content;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::filesystem::path file = std::filesystem::path(directory()) / (std::string(kId) + ".json");
    fuzz::write_file(file, input);
    const bool compact = size % 4 >= 2;

    vexa::InteractionRecorder recorder;
    recorder.set_compact(compact);
    recorder.open(kId, directory());
    // Opening an existing file never writes it.
    FUZZ_CHECK(fuzz::read_file(file) == input);
    const auto readable = expected_records(input);
    std::vector<vexa::InteractionRecord> expected = readable.value_or(std::vector<vexa::InteractionRecord>{});
    const std::size_t loaded = recorder.record_count();
    FUZZ_CHECK(loaded == expected.size());
    const std::int32_t turn = recorder.last_user_turn_index();
    FUZZ_CHECK(turn == (expected.empty() ? 0 : expected.back().user_turn_index));
    (void)recorder.session_usage();
    // Nothing new: still untouched.
    FUZZ_CHECK(recorder.flush());
    FUZZ_CHECK(fuzz::read_file(file) == input);

    // Records made of the input: arguments and texts that may be anything.
    // Everything the recorder would fill in is set, so the expected file is known.
    const std::int32_t next_turn = turn < 1000000 && turn >= 0 ? turn + 1 : 1;
    recorder.begin_turn(next_turn, input.substr(0, 32));
    vexa::RoundBuilder round;
    round.start(1, size % 2 ? "execution" : "", input.substr(0, 8));
    vexa::ChatMessage question;
    question.content = input.substr(0, 64);
    question.images.push_back({"https://example.com/a.png", "low"});  // removed when appended
    round.set_request("system", {question}, nlohmann::json::array());
    round.mark_first_token();
    vexa::ChatMessage answer;
    answer.role = vexa::MessageRole::assistant;
    answer.content = input.substr(size / 2);
    round.set_result(answer, true, "");
    round.set_round_usage(vexa::estimate_usage({}, answer));
    round.set_model_info("m", "openai", "", "stop");
    round.add_tool_execution("c", "tool", input.substr(0, 256), input.substr(size / 3), size % 3 == 0, 1, 2);
    vexa::InteractionRecord record = round.finish();
    record.record_id = "fuzz-record";
    record.session_id = kId;
    record.user_turn_index = next_turn;
    record.user_input = input.substr(0, 32);
    if (record.user_input.empty()) record.user_input = "(empty)";
    recorder.append(record);
    record.messages.front().images.clear();
    expected.push_back(record);

    // The next round of the same task: its request repeats the first's.
    vexa::InteractionRecord next = record;
    next.record_id = "fuzz-record-2";
    next.round = 2;
    next.user_input.clear();
    next.messages.push_back(answer);
    next.tool_executions.clear();
    recorder.append(next);
    FUZZ_CHECK(recorder.record_count() == loaded + 2);
    if (compact) {
        next.messages.erase(next.messages.begin());
        next.omitted_messages = 1;
    }
    expected.push_back(next);
    FUZZ_CHECK(recorder.flush());

    // A file that was not loaded is kept whole aside.
    const std::string aside = take_moved_aside(file);
    FUZZ_CHECK(readable.has_value() ? aside.empty() : aside == input);

    // Byte for byte what serialising the whole file object gives.
    const std::string written = fuzz::read_file(file);
    const auto whole = vexa::try_dump_json(vexa::record_file_json(kId, expected), 2);
    FUZZ_CHECK(whole.has_value() && *whole == written);
    const nlohmann::json root = vexa::parse_json_bounded(written);
    FUZZ_CHECK(root.is_object());
    FUZZ_CHECK(root.at("record_count").get<std::size_t>() == loaded + 2);
    FUZZ_CHECK(root.at("records").size() == loaded + 2);

    // The appended records expand to their whole requests.
    std::vector<vexa::InteractionRecord> appended;
    for (std::size_t i = loaded; i < loaded + 2; ++i) {
        appended.push_back(vexa::record_from_json(root.at("records").at(i)));
    }
    FUZZ_CHECK(vexa::expand_compact_requests(appended));
    FUZZ_CHECK(appended[1].messages.size() == 2);
    FUZZ_CHECK(appended[1].messages[0].content == appended[0].messages[0].content);

    // And it loads back whole.
    recorder.close();
    vexa::InteractionRecorder reopened;
    reopened.open(kId, directory());
    FUZZ_CHECK(reopened.record_count() == loaded + 2);
    FUZZ_CHECK(reopened.last_user_turn_index() == next_turn);
    FUZZ_CHECK(fuzz::read_file(file) == written);
    return 0;
}
