#pragma once
// The interaction records of the current session and their file
// <dir>/<session id>.json, rewritten after every appended record.
//
// The file is one JSON object (indent 2) that grows with the session. Each
// record is serialised once, when it arrives, already indented for its place
// in the file; the session and per-turn summaries are kept as running sums.
// A write assembles the file from these pieces, so appending a record costs
// the same CPU time in a long session as in a short one (the bytes written
// still grow with the file). The bytes are exactly those of serialising
// record_file_json() with try_dump_json(indent 2).

#include "conversation/interaction_record.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace vexa {

class InteractionRecorder {
public:
    InteractionRecorder() = default;
    InteractionRecorder(const InteractionRecorder&) = delete;
    InteractionRecorder& operator=(const InteractionRecorder&) = delete;

    // Writes the current file (when enabled), then points the recorder at
    // `session_id` in `dir` and enables it. An existing file is loaded: the
    // turn start becomes its record count and the current turn index its last
    // record's. A missing file is created holding no records. A file that
    // cannot be read or parsed, or whose records hold members of the wrong
    // type, is left as it is and the recorder starts empty (the next append
    // replaces it).
    void open(const std::string& session_id, const std::string& dir);
    // Writes the file (when enabled), then disables the recorder and forgets
    // its records; the session id stays.
    void close();
    // Only replaces the session id (persistence off: the recorder stays disabled).
    void set_session_only(const std::string& session_id);

    // The turn driver: the current turn index and user text; the turn starts
    // at the current record count.
    void begin_turn(std::int32_t user_turn_index, const std::string& user_input);
    // Nothing when disabled. Fills an empty turn index (0), session id and
    // record id, gives the first record of a turn the turn's user text,
    // removes the request messages' images, appends and writes the file.
    void append(InteractionRecord record);
    // Writes the file; false when disabled or the write failed (callers ignore it).
    bool flush();

    std::size_t record_count() const;
    // Sum of the usages of the records from `index` on: unknown when none is
    // known, estimated when some record had none.
    TokenUsage usage_since(std::size_t index) const;
    std::int32_t last_user_turn_index() const;
    TokenUsage session_usage() const { return usage_since(0); }

    bool enabled() const;
    std::string session_id() const;
    // <dir>/<session id>.json of the open session; empty when disabled.
    std::filesystem::path file_path() const;
    // The records appended since the current turn began, for diagnosis and
    // tests. Their request messages and tools are left out (the file has them).
    std::vector<InteractionRecord> turn_records() const;

private:
    void reset_locked();
    bool load_locked(const std::filesystem::path& path);
    // Caches the record's file text and adds it to the running summaries.
    void add_locked(const InteractionRecord& record);
    void rebuild_turn_texts_from(std::size_t position);
    bool write_locked() const;
    std::filesystem::path path_locked() const;

    mutable std::mutex mutex_;
    bool enabled_ = false;
    std::string session_id_;
    std::string dir_;
    std::int32_t turn_index_ = 0;
    std::string turn_input_;
    std::size_t turn_start_ = 0;

    // Per record, in append order.
    std::vector<TokenUsage> usages_;
    std::vector<InteractionRecord> turn_records_;
    // The records' file text, joined by ",\n", each indented for the file.
    std::string records_text_;
    // Records that could not be serialised: while there are any, the file
    // cannot be produced and writes do nothing.
    std::size_t unwritable_ = 0;
    std::string first_timestamp_;
    std::string last_timestamp_;
    UsageSum session_sum_;

    // Per user turn, in order of first occurrence: its summary, its elements
    // of "turn_usages" and "turn_timings" (empty when absent), and where its
    // element starts in the joined texts.
    struct Turn {
        TurnSummary summary;
        std::string usage_text;
        std::string timing_text;
        std::size_t usage_offset = 0;
        std::size_t timing_offset = 0;
    };
    std::vector<Turn> turns_;
    std::unordered_map<std::int32_t, std::size_t> turn_position_;
    std::string turn_usages_text_;
    std::string turn_timings_text_;
};

}  // namespace vexa
