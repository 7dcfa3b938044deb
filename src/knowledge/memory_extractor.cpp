#include "knowledge/memory_extractor.hpp"

#include "config/json_util.hpp"
#include "config/text_util.hpp"
#include "knowledge/knowledge_io.hpp"
#include "knowledge/memory_store.hpp"
#include "knowledge/user_profile.hpp"
#include "support/credential_scan.hpp"
#include "support/utf8.hpp"

#include <nlohmann/json.hpp>

namespace vexa {

namespace {

using nlohmann::json;

const char* prompt_role_name(MessageRole role) {
    switch (role) {
        case MessageRole::system:
            return "System";
        case MessageRole::user:
            return "User";
        case MessageRole::assistant:
            return "Assistant";
        case MessageRole::tool:
            return "Tool";
    }
    return "User";
}

// The JSON part of an answer: the first fenced block when it is closed,
// otherwise everything.
std::string_view answer_payload(std::string_view answer) {
    std::size_t fence = answer.find("```json");
    if (fence == std::string_view::npos) fence = answer.find("```");
    if (fence == std::string_view::npos) return answer;
    const std::size_t line_end = answer.find('\n', fence);
    if (line_end == std::string_view::npos) return answer;
    const std::size_t close = answer.find("```", line_end);
    if (close == std::string_view::npos) return answer;
    return answer.substr(line_end + 1, close - line_end - 1);
}

// One element of the answer; false for an element of the wrong shape.
bool read_candidate(const json& element, MemoryCandidate& candidate) {
    if (!element.is_object()) return false;
    std::string category = kDefaultMemoryCategory;
    if (!knowledge_io::read_string(element, "category", category)) return false;
    candidate.category = is_memory_category(category) ? category : kDefaultMemoryCategory;
    std::string title;
    std::string content;
    if (!knowledge_io::read_string(element, "title", title) || !knowledge_io::read_string(element, "content", content)) {
        return false;
    }
    candidate.title = trim_space(title);
    candidate.content = trim_space(content);
    const auto keywords = element.find("keywords");
    if (keywords != element.end() && keywords->is_array()) {
        for (const json& keyword : *keywords) {
            if (keyword.is_string()) candidate.keywords.push_back(keyword.get<std::string>());
        }
    }
    return knowledge_io::read_double(element, "importance", candidate.importance);
}

// Cut at a character boundary so that, "..." included, at most `max_bytes` remain.
std::string bound_text(const std::string& text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) return text;
    std::size_t cut = utf8_cut_position(text, max_bytes - 3);
    if (cut == 0) cut = max_bytes - 3;
    return text.substr(0, cut) + "...";
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// The first entry of the candidate's category, in id order, on the same topic.
// Texts are compared lower-cased (ASCII); an empty text is contained in any.
const MemoryEntry* find_similar(const MemoryStore& store, const MemoryCandidate& candidate) {
    const std::string title = ascii_lower(candidate.title);
    const std::string content = ascii_lower(candidate.content);
    std::vector<std::string> keywords;
    for (const std::string& keyword : candidate.keywords) {
        if (!keyword.empty()) keywords.push_back(ascii_lower(keyword));
    }
    for (const auto& [id, entry] : store.entries()) {
        if (entry.category != candidate.category) continue;
        const std::string entry_title = ascii_lower(entry.title);
        if (contains(entry_title, title) || contains(title, entry_title)) return &entry;
        const std::string entry_content = ascii_lower(entry.content);
        if (!content.empty()) {
            if (contains(entry_content, content) || contains(content, entry_content)) return &entry;
        }
        for (const std::string& keyword : keywords) {
            if (contains(entry_title, keyword) || contains(entry_content, keyword)) return &entry;
        }
    }
    return nullptr;
}

}  // namespace

std::string memory_learned_notice(int count) {
    return "已学习到 " + std::to_string(count) + " 条新知识";
}

const std::set<std::string, std::less<>>& memory_categories() {
    static const std::set<std::string, std::less<>> categories = {"user_preference", "user_info", "user_habit",
                                                                  "learned_fact", "important_decision"};
    return categories;
}

bool is_memory_category(std::string_view category) {
    const auto& categories = memory_categories();
    return categories.find(category) != categories.end();
}

std::vector<ChatMessage> recent_messages_for_extraction(const std::vector<ChatMessage>& history) {
    const std::size_t from = history.size() > kMemoryExtractionWindow ? history.size() - kMemoryExtractionWindow : 0;
    return std::vector<ChatMessage>(history.begin() + static_cast<std::ptrdiff_t>(from), history.end());
}

std::string build_extraction_prompt(const std::string& overview, const std::vector<ChatMessage>& conversation) {
    std::string prompt;
    prompt += "You are a memory extraction assistant. Analyze the conversation and extract ";
    prompt += "durable facts about the user for future sessions.\n\n";
    prompt += "STORAGE MODEL (matches memory.json / memory_tool):\n";
    prompt += "- Each entry has: category, title, content (compact, high-signal text).\n";
    prompt += "- Entries are injected into the system prompt; keep content concise.\n";
    prompt += "- Reusable HOW-TO workflows belong in skills, NOT memory.\n";
    prompt += "- Do NOT store one-off session noise, tool errors, or transient state.\n\n";
    prompt += "CATEGORIES (use exactly one per entry):\n";
    prompt += "- user_preference: communication style, likes/dislikes, language prefs\n";
    prompt += "- user_info: name, role, location (only if voluntarily shared)\n";
    prompt += "- user_habit: work patterns, tool preferences, coding style\n";
    prompt += "- learned_fact: project/domain facts, environment context (default if unsure)\n";
    prompt += "- important_decision: decisions the user committed to in conversation\n\n";
    prompt += "Existing memories (avoid duplicates; UPDATE when facts changed, same topic):\n";
    prompt += "Format: [category] title: content preview\n";
    prompt += overview + "\n";
    prompt += "Recent conversation:\n";
    for (const ChatMessage& message : conversation) {
        if (message.content.empty()) continue;
        prompt += prompt_role_name(message.role);
        prompt += ": " + message.content + "\n";
    }
    prompt += "\nReturn a JSON array. Each object MUST have:\n";
    prompt += "- \"category\": one of the five categories above\n";
    prompt += "- \"title\": short descriptive title (unique per topic)\n";
    prompt += "- \"content\": full entry text (may expand the title)\n";
    prompt += "- \"keywords\": array of strings (optional but helpful for dedup)\n";
    prompt += "- \"importance\": float 0.0-1.0 (skip below 0.3)\n\n";
    prompt += "If an existing memory on the same topic is outdated, emit an updated entry ";
    prompt += "with the same title (or clearly equivalent title) and revised content.\n";
    prompt += "If nothing durable worth saving, return [].\n";
    prompt += "Return ONLY the JSON array, no other text.\n";
    return prompt;
}

std::vector<ChatMessage> build_extraction_request(const std::string& overview,
                                                  const std::vector<ChatMessage>& conversation) {
    std::vector<ChatMessage> request(2);
    request[0].role = MessageRole::system;
    request[0].content = build_extraction_prompt(overview, conversation);
    request[1].role = MessageRole::user;
    request[1].content = kMemoryExtractionUserMessage;
    return request;
}

std::vector<MemoryCandidate> parse_extraction_answer(const std::string& answer) {
    std::vector<MemoryCandidate> candidates;
    if (answer.empty()) return candidates;
    const json root = parse_json_bounded(trim_space_view(answer_payload(answer)));
    if (root.is_discarded() || !root.is_array()) return candidates;
    for (const json& element : root) {
        MemoryCandidate candidate;
        if (!read_candidate(element, candidate)) return {};  // one bad element spoils the answer
        if (candidate.title.empty() || candidate.content.empty()) continue;
        candidates.push_back(std::move(candidate));
    }
    return candidates;
}

MergeOutcome merge_candidates(MemoryStore& store, const std::vector<MemoryCandidate>& candidates) {
    MergeOutcome outcome;
    std::size_t considered = 0;
    for (const MemoryCandidate& proposed : candidates) {
        if (considered++ >= kMemoryMaxCandidatesPerAnswer) break;
        if (proposed.importance < kMemoryMinImportance) {
            ++outcome.skipped_unimportant;
            continue;
        }
        MemoryCandidate candidate;
        candidate.category = is_memory_category(proposed.category) ? proposed.category : kDefaultMemoryCategory;
        candidate.title = bound_text(proposed.title, kMemoryCandidateTitleMaxBytes);
        candidate.content = bound_text(proposed.content, kMemoryCandidateContentMaxBytes);
        candidate.keywords = proposed.keywords;
        if (candidate.title.empty() || candidate.content.empty()) {
            ++outcome.dropped_empty;
            continue;
        }
        // Both the whole text and what would be kept: a cut may not turn a
        // harmless tail into something that reads as a credential either.
        if (contains_credential(proposed.title) || contains_credential(proposed.content) ||
            contains_credential(candidate.title) || contains_credential(candidate.content)) {
            ++outcome.dropped_credential;
            continue;
        }
        if (const MemoryEntry* similar = find_similar(store, candidate)) {
            const std::string id = similar->id;
            store.update(id, candidate.title, candidate.content);
            store.set_origin(id, kOriginMemoryExtractor, false);
            ++outcome.updated;
        } else {
            const std::string id = store.add(candidate.category, candidate.title, candidate.content);
            store.set_origin(id, kOriginMemoryExtractor, true);
            ++outcome.added;
        }
    }
    return outcome;
}

MergeOutcome apply_extraction(MemoryStore& store, UserProfile& profile, const std::string& profile_path,
                              const std::vector<MemoryCandidate>& candidates) {
    MergeOutcome outcome = merge_candidates(store, candidates);
    if (outcome.changed() > 0) {
        store.prune(kMemoryStoreMaxEntries);
        (void)store.save();
        profile.rebuild_from_memory(store);
        if (!profile_path.empty()) (void)profile.save(profile_path);
    }
    return outcome;
}

MergeOutcome run_memory_extraction(const std::vector<ChatMessage>& conversation, const MemoryExtractionSteps& steps) {
    MergeOutcome outcome;
    if (conversation.empty()) return outcome;
    const std::string overview = steps.read_overview ? steps.read_overview() : std::string();
    const std::string answer = steps.ask_model ? steps.ask_model(build_extraction_request(overview, conversation))
                                               : std::string();
    const std::vector<MemoryCandidate> candidates = parse_extraction_answer(answer);
    if (candidates.empty() || !steps.apply) return outcome;
    outcome = steps.apply(candidates);
    if (outcome.changed() > 0 && steps.notify) steps.notify(memory_learned_notice(outcome.changed()));
    return outcome;
}

}  // namespace vexa
