#include "conversation/interaction_recorder.hpp"

#include "config/json_util.hpp"
#include "conversation/conversation_manager.hpp"
#include "support/fs_util.hpp"
#include "support/log.hpp"
#include "support/uuid.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

namespace vexa {

namespace {

using nlohmann::json;

// Elements of the file's top-level arrays sit two levels deep: their lines
// are indented by four spaces more than when serialised on their own.
constexpr std::string_view kElementIndent = "    ";
constexpr std::string_view kMemberIndent = "  ";
constexpr int kElementDepth = 2;

// `text` (serialised with indent 2 at the top level) as it appears nested:
// each line break gains `pad`, and with `lead` so does the first line.
// Line breaks inside strings are escaped, so every '\n' is a layout one.
std::string nest(const std::string& text, std::string_view pad, bool lead) {
    std::string out;
    out.reserve(text.size() + text.size() / 8 + pad.size());
    if (lead) out += pad;
    for (const char c : text) {
        out += c;
        if (c == '\n') out += pad;
    }
    return out;
}

// An element of a top-level array, or nothing when it cannot be serialised
// as part of the file (too deep, or a key that is not UTF-8).
std::optional<std::string> element_text(const json& value) {
    if (!json_value_depth_within(value, kMaxJsonDepth - kElementDepth)) return std::nullopt;
    auto text = try_dump_json(value, 2);
    if (!text) return std::nullopt;
    return nest(*text, kElementIndent, true);
}

std::string string_text(const std::string& value) { return dump_json(json(value), -1); }

void append_joined(std::string& joined, const std::string& piece) {
    if (piece.empty()) return;
    if (!joined.empty()) joined += ",\n";
    joined += piece;
}

}  // namespace

InteractionRecorder::InteractionRecorder(Clock clock) : clock_(std::move(clock)) {
    if (!clock_) clock_ = [] { return std::chrono::steady_clock::now(); };
}

InteractionRecorder::~InteractionRecorder() {
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        flush_locked();
    } catch (...) {
        // Nothing may escape a destructor; the records are lost as in a crash.
    }
}

void InteractionRecorder::reset_locked() {
    turn_index_ = 0;
    turn_input_.clear();
    turn_start_ = 0;
    usages_.clear();
    turn_records_.clear();
    records_text_.clear();
    unwritable_ = 0;
    first_timestamp_.clear();
    last_timestamp_.clear();
    session_sum_ = UsageSum{};
    turns_.clear();
    turn_position_.clear();
    turn_usages_text_.clear();
    turn_timings_text_.clear();
    dirty_ = false;
    not_loaded_reason_.clear();
    move_failed_ = false;
    previous_requests_.clear();
}

std::filesystem::path InteractionRecorder::path_locked() const {
    return path_from_utf8(dir_) / path_from_utf8(session_id_ + ".json");
}

void InteractionRecorder::open(const std::string& session_id, const std::string& dir) {
    std::lock_guard<std::mutex> lock(mutex_);
    flush_locked();
    session_id_ = session_id;
    dir_ = dir;
    reset_locked();
    enabled_ = true;
    last_write_ = clock_();
    std::error_code ec;
    std::filesystem::create_directories(path_from_utf8(dir_), ec);
    if (!ConversationManager::is_valid_session_id(session_id_)) return;
    const std::filesystem::path path = path_locked();
    if (std::filesystem::exists(path, ec) || ec) {
        std::string reason;
        if (load_locked(path, reason)) {
            turn_start_ = usages_.size();
        } else {
            // Kept until new records need the name: it may be a trace someone
            // still wants, and a session that records nothing leaves it be.
            reset_locked();
            not_loaded_reason_ = reason;
            log_line(LogLevel::WARNING, "Record file " + path_to_utf8(path) + " not loaded (" + reason +
                                            "); it is moved aside before new records are written.");
        }
        return;
    }
    write_locked();
}

bool InteractionRecorder::load_locked(const std::filesystem::path& path, std::string& reason) {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec && size > kMaxStartupFileBytes) {
        // Reading it would cost several times its size in memory.
        reason = "larger than " + std::to_string(kMaxStartupFileBytes >> 20) + " MiB: " + std::to_string(size) +
                 " bytes";
        return false;
    }
    std::string text;
    if (!read_entire_file(path, text)) {
        reason = "cannot be read";
        return false;
    }
    const json root = parse_json_bounded(text);
    text = std::string();
    if (root.is_discarded()) {
        reason = "not JSON";
        return false;
    }
    auto it = root.is_object() ? root.find("records") : root.end();
    if (!root.is_object() || it == root.end() || !it->is_array()) {
        reason = "no \"records\" array";
        return false;
    }
    std::vector<InteractionRecord> loaded;
    loaded.reserve(it->size());
    try {
        for (const auto& element : *it) loaded.push_back(record_from_json(element));
    } catch (const json::exception&) {
        // A record with members of the wrong type: the file is not one of ours.
        reason = "a record has members of the wrong type";
        return false;
    }
    for (auto& record : loaded) {
        add_locked(record);
        turn_index_ = record.user_turn_index;
    }
    // Loaded records belong to earlier turns.
    turn_records_.clear();
    return true;
}

void InteractionRecorder::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    flush_locked();
    enabled_ = false;
    reset_locked();
}

void InteractionRecorder::set_compact(bool compact) {
    std::lock_guard<std::mutex> lock(mutex_);
    compact_ = compact;
    // Full records may come between: the next compact one starts afresh.
    previous_requests_.clear();
}

void InteractionRecorder::set_session_only(const std::string& session_id) {
    std::lock_guard<std::mutex> lock(mutex_);
    session_id_ = session_id;
}

void InteractionRecorder::begin_turn(std::int32_t user_turn_index, const std::string& user_input) {
    std::lock_guard<std::mutex> lock(mutex_);
    turn_index_ = user_turn_index;
    turn_input_ = user_input;
    turn_start_ = usages_.size();
    turn_records_.clear();
    previous_requests_.clear();
}

void InteractionRecorder::append(InteractionRecord record) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!enabled_) return;
    if (record.user_turn_index == 0) record.user_turn_index = turn_index_;
    if (record.session_id.empty()) record.session_id = session_id_;
    if (record.record_id.empty()) record.record_id = generate_uuid();
    if (record.user_input.empty() && usages_.size() == turn_start_) record.user_input = turn_input_;
    for (auto& message : record.messages) {
        message.images.clear();
        message.images.shrink_to_fit();
    }
    if (compact_) compact_locked(record);
    add_locked(record);
    dirty_ = true;
    if (clock_() - last_write_ >= kWriteInterval) write_locked();
}

// The reference is the previous record of the same turn and task appended
// since the turn began, which is also the previous one in the file: a reader
// finds it without knowing where turns began.
void InteractionRecorder::compact_locked(InteractionRecord& record) {
    const auto key = std::make_pair(record.user_turn_index, record.task_id);
    if (record.omitted_messages > 0) {
        // Already compact: its whole request is unknown here.
        previous_requests_.erase(key);
        return;
    }
    auto [it, inserted] = previous_requests_.try_emplace(key);
    std::vector<ChatMessage> whole = record.messages;
    if (!inserted) {
        const std::size_t shared =
            std::min<std::size_t>(shared_leading_messages(it->second, record.messages), INT32_MAX);
        record.omitted_messages = static_cast<std::int32_t>(shared);
        record.messages.erase(record.messages.begin(), record.messages.begin() + static_cast<std::ptrdiff_t>(shared));
    }
    it->second = std::move(whole);
}

void InteractionRecorder::add_locked(const InteractionRecord& record) {
    if (auto text = element_text(record_to_json(record))) {
        if (!records_text_.empty()) records_text_ += ",\n";
        records_text_ += *text;
    } else {
        ++unwritable_;
    }
    usages_.push_back(record.round_usage);
    session_sum_.add(record.round_usage);
    if (usages_.size() == 1) first_timestamp_ = record.timestamp;
    last_timestamp_ = record.timestamp;

    auto [it, inserted] = turn_position_.emplace(record.user_turn_index, turns_.size());
    if (inserted) {
        turns_.push_back(Turn{TurnSummary(record.user_turn_index), {}, {}, turn_usages_text_.size(),
                              turn_timings_text_.size()});
    }
    Turn& turn = turns_[it->second];
    turn.summary.add(record);
    const json usage = turn.summary.usage_json();
    const json timing = turn.summary.timing_json();
    // Numbers only: these always serialise.
    turn.usage_text = usage.is_null() ? std::string() : element_text(usage).value_or(std::string());
    turn.timing_text = timing.is_null() ? std::string() : element_text(timing).value_or(std::string());
    rebuild_turn_texts_from(it->second);

    InteractionRecord light = record;
    light.messages.clear();
    light.tools = json::array();
    turn_records_.push_back(std::move(light));
}

// Usually only the last turn changed, so only its element is rewritten.
void InteractionRecorder::rebuild_turn_texts_from(std::size_t position) {
    turn_usages_text_.resize(turns_[position].usage_offset);
    turn_timings_text_.resize(turns_[position].timing_offset);
    for (std::size_t p = position; p < turns_.size(); ++p) {
        Turn& turn = turns_[p];
        turn.usage_offset = turn_usages_text_.size();
        turn.timing_offset = turn_timings_text_.size();
        append_joined(turn_usages_text_, turn.usage_text);
        append_joined(turn_timings_text_, turn.timing_text);
    }
}

bool InteractionRecorder::write_locked() {
    if (!enabled_ || session_id_.empty() || unwritable_ > 0) return false;
    if (!ConversationManager::is_valid_session_id(session_id_)) return false;
    // Taken at the attempt: a failing disk is not tried again at every append.
    last_write_ = clock_();
    const std::filesystem::path path = path_locked();
    if (!not_loaded_reason_.empty() && !move_aside_locked(path)) return false;
    const std::size_t count = usages_.size();

    std::string head = "{\n";
    if (count > 0) head += "  \"last_event_at\": " + string_text(last_timestamp_) + ",\n";
    head += "  \"record_count\": " + std::to_string(count) + ",\n";
    head += count > 0 ? "  \"records\": [\n" : "  \"records\": [],\n";

    std::string middle = count > 0 ? "\n  ],\n" : "";
    middle += "  \"session_id\": " + string_text(session_id_);
    const TokenUsage total = session_sum_.value();
    if (has_usage(total)) {
        middle += ",\n  \"session_usage\": ";
        middle += nest(dump_json(usage_to_json(total), 2), kMemberIndent, false);
    }
    if (count > 0) middle += ",\n  \"started_at\": " + string_text(first_timestamp_);
    if (!turn_timings_text_.empty()) middle += ",\n  \"turn_timings\": [\n";

    std::string between = turn_timings_text_.empty() ? "" : "\n  ]";
    if (!turn_usages_text_.empty()) between += ",\n  \"turn_usages\": [\n";
    const std::string end = turn_usages_text_.empty() ? "\n}" : "\n  ]\n}";

    const std::array<std::string_view, 7> pieces{head,    records_text_,     middle, turn_timings_text_,
                                                 between, turn_usages_text_, end};
    if (!write_file_atomic(path, pieces)) return false;
    ++write_count_;
    for (const auto piece : pieces) bytes_written_ += piece.size();
    dirty_ = false;
    return true;
}

bool InteractionRecorder::move_aside_locked(const std::filesystem::path& path) {
    std::error_code ec;
    if (std::filesystem::symlink_status(path, ec).type() == std::filesystem::file_type::not_found) {
        not_loaded_reason_.clear();  // gone meanwhile: nothing to keep
        return true;
    }
    const std::string moved = move_aside_unreadable(path);
    if (moved.empty()) {
        if (!move_failed_) {
            log_line(LogLevel::WARNING, "Record file " + path_to_utf8(path) + " not loaded (" + not_loaded_reason_ +
                                            ") and could not be moved aside; this session's records are not "
                                            "written over it.");
        }
        move_failed_ = true;
        return false;
    }
    log_line(LogLevel::WARNING, "Record file " + path_to_utf8(path) + " not loaded (" + not_loaded_reason_ +
                                    "); moved aside to " + moved + " before writing new records.");
    not_loaded_reason_.clear();
    return true;
}

bool InteractionRecorder::flush_locked() {
    if (!enabled_) return false;
    if (!dirty_) {
        if (!ConversationManager::is_valid_session_id(session_id_)) return false;
        // Nothing new: a file that was not loaded stays where it is, and one
        // that is there is up to date.
        std::error_code ec;
        if (!not_loaded_reason_.empty() || std::filesystem::exists(path_locked(), ec)) return true;
    }
    return write_locked();
}

bool InteractionRecorder::flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    return flush_locked();
}

std::size_t InteractionRecorder::write_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return write_count_;
}

std::uint64_t InteractionRecorder::bytes_written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_written_;
}


std::size_t InteractionRecorder::record_count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return usages_.size();
}

TokenUsage InteractionRecorder::usage_since(std::size_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    UsageSum sum;
    for (std::size_t i = index; i < usages_.size(); ++i) sum.add(usages_[i]);
    return sum.value();
}

std::int32_t InteractionRecorder::last_user_turn_index() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return turn_index_;
}

bool InteractionRecorder::enabled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return enabled_;
}

std::string InteractionRecorder::session_id() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return session_id_;
}

std::filesystem::path InteractionRecorder::file_path() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!enabled_) return {};
    return path_locked();
}

std::vector<InteractionRecord> InteractionRecorder::turn_records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return turn_records_;
}

}  // namespace vexa
