#pragma once
// Learning durable facts about the user from the recent conversation: the
// model is asked for candidates, which are merged into the memory store.
//
// The work is split into steps so that the agent can run each under the one
// lock it needs and never hold two together: copy the store's overview under
// the memory lock, ask the model under the LLM lock, merge under the memory
// lock. run_memory_extraction() strings the steps together; the agent's
// BackgroundRunner runs it on a thread of its own.
//
// A model answer is untrusted: candidates are bounded in size, and one that
// carries a credential is never stored, because the store goes to the model
// server with every request.

#include "conversation/chat_message.hpp"

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

class MemoryStore;
struct UserProfile;

// Completed turns between two extractions.
inline constexpr int kMemoryExtractionInterval = 3;
// The last messages of the conversation shown to the model.
inline constexpr std::size_t kMemoryExtractionWindow = 20;
// The store is pruned to this size after every extraction that changed it.
inline constexpr std::size_t kMemoryStoreMaxEntries = 200;
// Candidates below this importance are skipped (the value itself passes).
inline constexpr double kMemoryMinImportance = 0.3;
// Bounds of what a candidate may put into the store (bytes, "..." included).
inline constexpr std::size_t kMemoryCandidateTitleMaxBytes = 200;
inline constexpr std::size_t kMemoryCandidateContentMaxBytes = 2000;
// Candidates of one answer beyond this many are ignored: more could not stay
// after pruning anyway, and each costs a scan of the store.
inline constexpr std::size_t kMemoryMaxCandidatesPerAnswer = kMemoryStoreMaxEntries;

// Notices for the host (Notice events): the first when a job starts, on the
// turn's callback; the second when it stored something, on the default one.
inline constexpr const char* kMemoryExtractionStartNotice = "正在分析对话，更新记忆...";
// "已学习到 " + count + " 条新知识"
std::string memory_learned_notice(int count);

// The user message of the extraction request.
inline constexpr const char* kMemoryExtractionUserMessage = "Please analyze the conversation above and extract memories.";
// Category of a candidate whose own is not one of the five.
inline constexpr const char* kDefaultMemoryCategory = "learned_fact";

// "user_preference", "user_info", "user_habit", "learned_fact",
// "important_decision": built once, shared by all threads.
const std::set<std::string, std::less<>>& memory_categories();
bool is_memory_category(std::string_view category);

struct MemoryCandidate {
    std::string category = kDefaultMemoryCategory;
    std::string title;    // trimmed
    std::string content;  // trimmed
    std::vector<std::string> keywords;
    double importance = 0.5;
};

struct MergeOutcome {
    int added = 0;
    int updated = 0;
    int skipped_unimportant = 0;  // importance below the minimum
    int dropped_credential = 0;   // carried a credential: not stored
    int dropped_empty = 0;        // no title or no content
    // What the notice counts: entries added or updated.
    int changed() const { return added + updated; }
};

// The interval setting of the agent's extractor.
class MemoryExtractor {
public:
    int interval() const { return interval_; }
    void set_interval(int turns) { interval_ = turns; }
    // Whether a job is due after a turn: none running and at least
    // `interval` completed turns since the last one.
    bool is_due(int completed_turns, bool running) const { return !running && completed_turns >= interval_; }

private:
    int interval_ = kMemoryExtractionInterval;
};

// The last kMemoryExtractionWindow messages (all when there are fewer).
std::vector<ChatMessage> recent_messages_for_extraction(const std::vector<ChatMessage>& history);

// The system prompt of the request, with `overview` (the store's
// overview_block(), copied by the caller under the memory lock) and one line
// per message with content.
std::string build_extraction_prompt(const std::string& overview, const std::vector<ChatMessage>& conversation);
// The request: the system prompt above and the fixed user message.
std::vector<ChatMessage> build_extraction_request(const std::string& overview,
                                                  const std::vector<ChatMessage>& conversation);

// The candidates of a model answer: the first ```json (or ```) fenced block
// when it is closed, otherwise the whole text, must be a JSON array of
// objects; any malformed element discards the whole answer. Candidates
// without a title or content are left out.
std::vector<MemoryCandidate> parse_extraction_answer(const std::string& answer);

// Merges candidates into the store, in order: unimportant ones are skipped,
// ones carrying a credential dropped, the rest bounded in size and then used
// to update the first similar entry of the same category (title, content or
// keyword containment, ASCII case ignored), or added. Touched entries carry
// the origin "memory_extractor" (a new one as its creator too). Not saved.
MergeOutcome merge_candidates(MemoryStore& store, const std::vector<MemoryCandidate>& candidates);

// The apply phase, for the caller to run under the memory lock: merge; when
// anything changed, prune the store to kMemoryStoreMaxEntries, save it,
// rebuild the profile from it and save that to `profile_path` (not saved when
// empty). Save failures are not reported: the merged entries stay in memory.
MergeOutcome apply_extraction(MemoryStore& store, UserProfile& profile, const std::string& profile_path,
                              const std::vector<MemoryCandidate>& candidates);

// What the agent supplies to one extraction, each step under its own lock.
struct MemoryExtractionSteps {
    // Under the memory lock: the store's overview_block().
    std::function<std::string()> read_overview;
    // Under the LLM lock: the buffered model call with no options; "" on failure.
    std::function<std::string(const std::vector<ChatMessage>& request)> ask_model;
    // Under the memory lock: apply_extraction() on the agent's store and profile.
    std::function<MergeOutcome(const std::vector<MemoryCandidate>& candidates)> apply;
    // A notice through the agent's default callback.
    std::function<void(const std::string& text)> notify;
};

// One extraction over `conversation` (already cut to the window): the
// overview, the model call, the parse, the apply phase when there are
// candidates and the learned notice when entries changed. An empty
// conversation asks nothing. Exceptions of the steps propagate.
MergeOutcome run_memory_extraction(const std::vector<ChatMessage>& conversation, const MemoryExtractionSteps& steps);

}  // namespace vexa
