#pragma once
// The interaction records of the current session and their file
// <dir>/<session id>.json.
//
// The file is rewritten whole, so writing it after every model call would
// cost the square of the session in bytes written. An append writes only when
// kWriteInterval has passed since the last write; the turn driver flushes at
// the end of every turn, and save, session change, close and destruction
// write what is left. A crash therefore loses at most the records of the last
// kWriteInterval, and the file on disk is always a complete object.
//
// In the compact form (set_compact) a record's request holds only the
// messages that follow those of the previous record of the same turn and
// task, and "omitted_messages" says how many leading ones were left out;
// loading reads both forms.
//
// The file is one JSON object (indent 2) that grows with the session. Each
// record is serialised once, when it arrives, already indented for its place
// in the file; the session and per-turn summaries are kept as running sums.
// A write assembles the file from these pieces, so appending a record costs
// the same CPU time in a long session as in a short one (the bytes written
// still grow with the file). The bytes are exactly those of serialising
// record_file_json() with try_dump_json(indent 2).

#include "conversation/interaction_record.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vexa {

class InteractionRecorder {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // Least time between two writes made by appends.
    static constexpr std::chrono::milliseconds kWriteInterval{2000};

    // `clock` decides when appends write (steady_clock when empty).
    explicit InteractionRecorder(Clock clock = {});
    // Writes what is not yet written.
    ~InteractionRecorder();
    InteractionRecorder(const InteractionRecorder&) = delete;
    InteractionRecorder& operator=(const InteractionRecorder&) = delete;

    // Writes the current file (when enabled), then points the recorder at
    // `session_id` in `dir` and enables it. An existing file is loaded: the
    // turn start becomes its record count and the current turn index its last
    // record's. A missing file is created holding no records. A file that
    // cannot be read or parsed, that is not a record file object, whose
    // records hold members of the wrong type, or that is larger than
    // kMaxStartupFileBytes is not loaded: the recorder starts empty and the
    // file stays as it is until the first write of new records, which first
    // moves it aside (move_aside_unreadable, with a warning in the log). When
    // it cannot be moved, nothing is ever written over it.
    void open(const std::string& session_id, const std::string& dir);
    // Writes the file (when enabled), then disables the recorder and forgets
    // its records; the session id stays.
    void close();
    // The form of the records appended from now on (false: the full form).
    void set_compact(bool compact);
    // Only replaces the session id (persistence off: the recorder stays disabled).
    void set_session_only(const std::string& session_id);

    // The turn driver: the current turn index and user text; the turn starts
    // at the current record count.
    void begin_turn(std::int32_t user_turn_index, const std::string& user_input);
    // Nothing when disabled. Fills an empty turn index (0), session id and
    // record id, gives the first record of a turn the turn's user text,
    // removes the request messages' images, leaves out the messages the
    // compact form does not repeat, appends, and writes the file when
    // kWriteInterval has passed since the last write.
    void append(InteractionRecord record);
    // Writes the file when it lacks records or is missing; true when the
    // file is up to date, false when disabled or the write failed or was
    // refused (callers ignore it).
    bool flush();

    // Writes made to record files, and the bytes they wrote.
    std::size_t write_count() const;
    std::uint64_t bytes_written() const;

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
    // False with the reason when the file is not loaded.
    bool load_locked(const std::filesystem::path& path, std::string& reason);
    void compact_locked(InteractionRecord& record);
    bool flush_locked();
    // Caches the record's file text and adds it to the running summaries.
    void add_locked(const InteractionRecord& record);
    void rebuild_turn_texts_from(std::size_t position);
    bool write_locked();
    // Moves a file that was not loaded out of the way; false when it is still there.
    bool move_aside_locked(const std::filesystem::path& path);
    std::filesystem::path path_locked() const;

    mutable std::mutex mutex_;
    Clock clock_;
    std::chrono::steady_clock::time_point last_write_{};
    // Records appended since the last successful write.
    bool dirty_ = false;
    // The file found at open was not loaded: why, and whether moving it
    // aside already failed once (logged once).
    std::string not_loaded_reason_;
    bool move_failed_ = false;
    std::size_t write_count_ = 0;
    std::uint64_t bytes_written_ = 0;
    bool compact_ = false;
    // Compact form: the whole request messages of the last record of each
    // task of the current turn (the reference of the next one).
    std::map<std::pair<std::int32_t, std::string>, std::vector<ChatMessage>> previous_requests_;
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
