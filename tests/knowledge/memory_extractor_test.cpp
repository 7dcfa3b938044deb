#include "knowledge/memory_extractor.hpp"

#include "knowledge/memory_store.hpp"
#include "knowledge/user_profile.hpp"
#include "support/test_dir.hpp"
#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace vexa {
namespace {

namespace fs = std::filesystem;
using test::read_text;
using test::TestDir;

ChatMessage message(MessageRole role, std::string content) {
    ChatMessage m;
    m.role = role;
    m.content = std::move(content);
    return m;
}

MemoryCandidate candidate(std::string category, std::string title, std::string content, double importance = 0.5,
                          std::vector<std::string> keywords = {}) {
    MemoryCandidate c;
    c.category = std::move(category);
    c.title = std::move(title);
    c.content = std::move(content);
    c.importance = importance;
    c.keywords = std::move(keywords);
    return c;
}

MemoryEntry entry(std::string id, std::string category, std::string title, std::string content) {
    MemoryEntry e;
    e.id = std::move(id);
    e.category = std::move(category);
    e.title = std::move(title);
    e.content = std::move(content);
    e.created_at = e.updated_at = "2026-01-01T00:00:00";
    return e;
}

// --- constants and texts --------------------------------------------------

TEST(MemoryExtractorTest, NoticesAndConstants) {
    EXPECT_STREQ(kMemoryExtractionStartNotice, "正在分析对话，更新记忆...");
    EXPECT_EQ(memory_learned_notice(2), "已学习到 2 条新知识");
    EXPECT_EQ(memory_learned_notice(3), "已学习到 3 条新知识");
    EXPECT_STREQ(kMemoryExtractionUserMessage, "Please analyze the conversation above and extract memories.");
    EXPECT_EQ(kMemoryExtractionInterval, 3);
    EXPECT_EQ(kMemoryStoreMaxEntries, 200u);
    EXPECT_EQ(memory_categories(), (std::set<std::string, std::less<>>{"user_preference", "user_info", "user_habit",
                                                                       "learned_fact", "important_decision"}));
    EXPECT_TRUE(is_memory_category("user_habit"));
    EXPECT_FALSE(is_memory_category("hobby"));
    EXPECT_FALSE(is_memory_category("User_info"));
}

TEST(MemoryExtractorTest, IntervalDecidesWhenAJobIsDue) {
    MemoryExtractor extractor;
    EXPECT_EQ(extractor.interval(), 3);
    EXPECT_FALSE(extractor.is_due(2, false));
    EXPECT_TRUE(extractor.is_due(3, false));
    EXPECT_TRUE(extractor.is_due(4, false));
    EXPECT_FALSE(extractor.is_due(4, true));  // one at a time
    extractor.set_interval(5);
    EXPECT_FALSE(extractor.is_due(4, false));
}

TEST(MemoryExtractorTest, PromptIsExact) {
    ChatMessage with_call = message(MessageRole::assistant, "");
    with_call.tool_calls.push_back({"c1", "clock", "{}"});
    const std::vector<ChatMessage> conversation = {
        message(MessageRole::system, "Be brief."), message(MessageRole::user, "I am Alice."), with_call,
        message(MessageRole::tool, "{\"ok\":true}"), message(MessageRole::assistant, "你好\nAlice")};
    const std::string overview = MemoryStore().overview_block();
    EXPECT_EQ(build_extraction_prompt(overview, conversation),
              "You are a memory extraction assistant. Analyze the conversation and extract durable facts about the "
              "user for future sessions.\n"
              "\n"
              "STORAGE MODEL (matches memory.json / memory_tool):\n"
              "- Each entry has: category, title, content (compact, high-signal text).\n"
              "- Entries are injected into the system prompt; keep content concise.\n"
              "- Reusable HOW-TO workflows belong in skills, NOT memory.\n"
              "- Do NOT store one-off session noise, tool errors, or transient state.\n"
              "\n"
              "CATEGORIES (use exactly one per entry):\n"
              "- user_preference: communication style, likes/dislikes, language prefs\n"
              "- user_info: name, role, location (only if voluntarily shared)\n"
              "- user_habit: work patterns, tool preferences, coding style\n"
              "- learned_fact: project/domain facts, environment context (default if unsure)\n"
              "- important_decision: decisions the user committed to in conversation\n"
              "\n"
              "Existing memories (avoid duplicates; UPDATE when facts changed, same topic):\n"
              "Format: [category] title: content preview\n"
              "<memory_overview>\n"
              "No memories stored.\n"
              "</memory_overview>\n"
              "\n"
              "Recent conversation:\n"
              "System: Be brief.\n"
              "User: I am Alice.\n"
              "Tool: {\"ok\":true}\n"
              "Assistant: 你好\nAlice\n"
              "\n"
              "Return a JSON array. Each object MUST have:\n"
              "- \"category\": one of the five categories above\n"
              "- \"title\": short descriptive title (unique per topic)\n"
              "- \"content\": full entry text (may expand the title)\n"
              "- \"keywords\": array of strings (optional but helpful for dedup)\n"
              "- \"importance\": float 0.0-1.0 (skip below 0.3)\n"
              "\n"
              "If an existing memory on the same topic is outdated, emit an updated entry with the same title (or "
              "clearly equivalent title) and revised content.\n"
              "If nothing durable worth saving, return [].\n"
              "Return ONLY the JSON array, no other text.\n");

    const std::vector<ChatMessage> request = build_extraction_request(overview, conversation);
    ASSERT_EQ(request.size(), 2u);
    EXPECT_EQ(request[0].role, MessageRole::system);
    EXPECT_EQ(request[0].content, build_extraction_prompt(overview, conversation));
    EXPECT_EQ(request[1].role, MessageRole::user);
    EXPECT_EQ(request[1].content, "Please analyze the conversation above and extract memories.");
}

TEST(MemoryExtractorTest, OnlyTheLastTwentyMessagesAreShown) {
    std::vector<ChatMessage> history;
    for (int i = 0; i < 35; ++i) history.push_back(message(MessageRole::user, "m" + std::to_string(i)));
    const std::vector<ChatMessage> recent = recent_messages_for_extraction(history);
    ASSERT_EQ(recent.size(), 20u);
    EXPECT_EQ(recent.front().content, "m15");
    EXPECT_EQ(recent.back().content, "m34");
    const std::string prompt = build_extraction_prompt("", recent);
    EXPECT_EQ(prompt.find("User: m14\n"), std::string::npos);
    EXPECT_NE(prompt.find("Recent conversation:\nUser: m15\n"), std::string::npos);

    history.resize(5);
    EXPECT_EQ(recent_messages_for_extraction(history).size(), 5u);
    EXPECT_TRUE(recent_messages_for_extraction({}).empty());
}

// --- the answer -----------------------------------------------------------

struct ParseCase {
    const char* name;
    std::string answer;
    std::vector<std::string> titles;  // of the candidates, in order
};

std::vector<std::string> titles_of(const std::vector<MemoryCandidate>& candidates) {
    std::vector<std::string> titles;
    for (const auto& c : candidates) titles.push_back(c.title);
    return titles;
}

TEST(MemoryExtractorTest, ParseTable) {
    const std::string one = R"([{"category":"user_info","title":"Name","content":"Alice"}])";
    const std::vector<ParseCase> cases = {
        {"fenced json", "```json\n" + one + "\n```", {"Name"}},
        {"fenced json inside prose", "Here you go:\n```json\n" + one + "\n```\nDone.", {"Name"}},
        {"plain fence", "```\n" + one + "\n```", {"Name"}},
        {"fence with trailing words on its line", "```json  here\n" + one + "\n```", {"Name"}},
        {"bare array", one, {"Name"}},
        {"bare array with white space", "\n\t " + one + " \r\n", {"Name"}},
        {"empty array", "[]", {}},
        {"fenced empty array", "```json\n[]\n```", {}},
        {"empty answer", "", {}},
        {"prose without a fence", "Sure! " + one, {}},
        {"unclosed fence", "```json\n" + one, {}},
        {"fence without a line feed", "```json" + one + "```", {}},
        {"object root", R"({"title":"Name","content":"Alice"})", {}},
        {"garbage", "\x01\xFF not json at all", {}},
        {"numeric title", R"([{"title":"A","content":"a"},{"title":5,"content":"b"}])", {}},
        {"null content", R"([{"title":"A","content":null}])", {}},
        {"string importance", R"([{"title":"A","content":"a","importance":"high"}])", {}},
        {"boolean importance", R"([{"title":"A","content":"a","importance":true}])", {}},
        {"numeric category", R"([{"category":1,"title":"A","content":"a"}])", {}},
        {"element not an object", R"([{"title":"A","content":"a"},"B"])", {}},
        {"empty title left out", R"([{"title":" ","content":"a"},{"title":"B","content":"b"}])", {"B"}},
        {"missing content left out", R"([{"title":"A"},{"title":"B","content":"b"}])", {"B"}},
        {"nested fences cut the JSON short",
         "```json\n[{\"title\":\"Code\",\"content\":\"use ```bash``` blocks\"}]\n```", {}},
        {"json fence preferred over an earlier plain one", "``` x ```json\n" + one + "\n```", {"Name"}},
        {"too deep", std::string(300, '[') + std::string(300, ']'), {}},
    };
    for (const ParseCase& c : cases) {
        EXPECT_EQ(titles_of(parse_extraction_answer(c.answer)), c.titles) << c.name;
    }
}

TEST(MemoryExtractorTest, ParseReadsEveryField) {
    const auto candidates = parse_extraction_answer(
        "```json\n"
        R"([{"category":"user_info","title":"  Name ","content":"Alice is the user.\n"},)"
        R"({"category":"hobby","title":"Chess","content":"Plays chess","keywords":["chess",1,"board"],"importance":0.9},)"
        R"({"title":"Int","content":"x","importance":1,"keywords":"not a list"}])"
        "\n```");
    ASSERT_EQ(candidates.size(), 3u);
    EXPECT_EQ(candidates[0].category, "user_info");
    EXPECT_EQ(candidates[0].title, "Name");
    EXPECT_EQ(candidates[0].content, "Alice is the user.");
    EXPECT_DOUBLE_EQ(candidates[0].importance, 0.5);
    EXPECT_TRUE(candidates[0].keywords.empty());
    EXPECT_EQ(candidates[1].category, "learned_fact");
    EXPECT_EQ(candidates[1].keywords, (std::vector<std::string>{"chess", "board"}));
    EXPECT_DOUBLE_EQ(candidates[1].importance, 0.9);
    EXPECT_EQ(candidates[2].category, "learned_fact");
    EXPECT_DOUBLE_EQ(candidates[2].importance, 1.0);
    EXPECT_TRUE(candidates[2].keywords.empty());
}

// --- merging ---------------------------------------------------------------

MemoryStore seeded_store() {
    MemoryStore store;
    store.set_clock([] { return std::string("2026-12-08T21:30:05"); });
    store.insert(entry("1", "user_info", "User name preference", "Call me Al"));
    store.insert(entry("2", "learned_fact", "Build system", "The project builds with CMake and Ninja"));
    store.insert(entry("3", "user_habit", "Editor", "Works in Vim"));
    return store;
}

struct MergeCase {
    const char* name;
    MemoryCandidate candidate;
    int added;
    int updated;
    std::string touched_id;  // the entry updated; empty when none or added
};

TEST(MemoryExtractorTest, MergeTable) {
    const std::vector<MergeCase> cases = {
        {"title contained in an entry's title", candidate("user_info", "Name", "Alice"), 0, 1, "1"},
        {"entry title contained, case ignored", candidate("user_info", "The USER NAME PREFERENCE now", "Alice"), 0,
         1, "1"},
        {"same topic in another category adds", candidate("learned_fact", "Name", "Alice"), 1, 0, ""},
        {"content containment", candidate("learned_fact", "Tools", "builds with cmake"), 0, 1, "2"},
        {"keyword in the content", candidate("user_habit", "Text tools", "Prefers modal editing", 0.5, {"", "VIM"}),
         0, 1, "3"},
        {"nothing similar adds", candidate("user_habit", "Shell", "Uses zsh", 0.5, {"fish"}), 1, 0, ""},
        {"importance 0.29 skipped", candidate("user_info", "Name", "Alice", 0.29), 0, 0, ""},
        {"importance 0.3 passes", candidate("user_info", "Name", "Alice", 0.3), 0, 1, "1"},
        {"unknown category becomes learned_fact", candidate("hobby", "Build system", "Bazel now"), 0, 1, "2"},
        {"credential in the content dropped", candidate("learned_fact", "API", "key is sk-abcdefghijklmnop1234"), 0,
         0, ""},
        {"credential in the title dropped", candidate("user_info", "password: hunter22", "the login"), 0, 0, ""},
        {"empty title dropped", candidate("user_info", "", "Alice"), 0, 0, ""},
    };
    for (const MergeCase& c : cases) {
        MemoryStore store = seeded_store();
        const MergeOutcome outcome = merge_candidates(store, {c.candidate});
        EXPECT_EQ(outcome.added, c.added) << c.name;
        EXPECT_EQ(outcome.updated, c.updated) << c.name;
        EXPECT_EQ(store.size(), 3u + static_cast<std::size_t>(c.added)) << c.name;
        for (const auto& [id, e] : store.entries()) {
            const bool touched = id == c.touched_id || (id.size() > 1 && c.added > 0);
            if (!touched) {
                EXPECT_EQ(e.last_modified_origin, "user_initiated") << c.name << " " << id;
                continue;
            }
            EXPECT_EQ(e.last_modified_origin, "memory_extractor") << c.name;
            EXPECT_EQ(e.title, c.candidate.title) << c.name;
            EXPECT_EQ(e.content, c.candidate.content) << c.name;
            if (id.size() > 1) {  // added: made by the extractor, in the candidate's category
                EXPECT_EQ(e.created_origin, "memory_extractor") << c.name;
                EXPECT_EQ(e.category, is_memory_category(c.candidate.category) ? c.candidate.category : "learned_fact");
            } else {  // updated: creator and category stay
                EXPECT_EQ(e.created_origin, "user_initiated") << c.name;
                EXPECT_EQ(e.updated_at, "2026-12-08T21:30:05") << c.name;
                EXPECT_EQ(e.created_at, "2026-01-01T00:00:00") << c.name;
            }
        }
    }
}

TEST(MemoryExtractorTest, MergeCountsAndCategories) {
    MemoryStore store;
    const MergeOutcome outcome = merge_candidates(
        store, {candidate("user_info", "Name", "Alice"), candidate("hobby", "Chess", "Plays chess"),
                candidate("user_preference", "Replies", "Short answers"), candidate("user_info", "x", "y", 0.1),
                candidate("learned_fact", "Token", "token=abcdef123456")});
    EXPECT_EQ(outcome.added, 3);
    EXPECT_EQ(outcome.updated, 0);
    EXPECT_EQ(outcome.skipped_unimportant, 1);
    EXPECT_EQ(outcome.dropped_credential, 1);
    EXPECT_EQ(outcome.changed(), 3);
    EXPECT_EQ(memory_learned_notice(outcome.changed()), "已学习到 3 条新知识");
    EXPECT_EQ(store.entries_in_category("learned_fact").size(), 1u);
    EXPECT_EQ(store.entries_in_category("learned_fact")[0].title, "Chess");
}

TEST(MemoryExtractorTest, CandidatesOfOneAnswerMergeWithEachOther) {
    MemoryStore store;
    const MergeOutcome outcome =
        merge_candidates(store, {candidate("user_info", "Name", "Alice"), candidate("user_info", "Name", "Alicia")});
    EXPECT_EQ(outcome.added, 1);
    EXPECT_EQ(outcome.updated, 1);
    ASSERT_EQ(store.size(), 1u);
    EXPECT_EQ(store.entries().begin()->second.content, "Alicia");
}

TEST(MemoryExtractorTest, OverLongCandidatesAreCut) {
    std::string title(300, 't');
    std::string content;
    for (int i = 0; i < 1000; ++i) content += "中";  // 3000 bytes
    MemoryStore store;
    ASSERT_EQ(merge_candidates(store, {candidate("learned_fact", title, content)}).added, 1);
    const MemoryEntry& e = store.entries().begin()->second;
    EXPECT_EQ(e.title, std::string(197, 't') + "...");
    EXPECT_LE(e.content.size(), kMemoryCandidateContentMaxBytes);
    EXPECT_EQ(e.content.size(), 1995u + 3u);  // 665 whole characters, then "..."
    EXPECT_TRUE(is_valid_utf8(e.content));
    EXPECT_EQ(e.content.substr(e.content.size() - 3), "...");
}

TEST(MemoryExtractorTest, AnAnswerMergedEndToEnd) {
    // The fenced answer with one user_info object and no importance.
    const auto candidates = parse_extraction_answer(
        "```json\n[{\"category\":\"user_info\",\"title\":\"City\",\"content\":\"The user lives in Lyon.\"}]\n```");
    ASSERT_EQ(candidates.size(), 1u);
    EXPECT_DOUBLE_EQ(candidates[0].importance, 0.5);
    MemoryStore store;
    EXPECT_EQ(merge_candidates(store, candidates).added, 1);
    const MemoryEntry& e = store.entries().begin()->second;
    EXPECT_EQ(e.category, "user_info");
    EXPECT_EQ(e.created_origin, "memory_extractor");
    EXPECT_EQ(e.last_modified_origin, "memory_extractor");
}

TEST(MemoryExtractorTest, ApplyPrunesSavesAndRebuildsTheProfile) {
    TestDir dir;
    const std::string memory_file = (dir / "memory.json").string();
    const std::string profile_file = (dir / "profile" / "user_profile.json").string();
    MemoryStore store;
    ASSERT_TRUE(store.load(memory_file));
    char buffer[64];
    for (int i = 0; i < 200; ++i) {
        std::snprintf(buffer, sizeof buffer, "2020-01-01T00:%02d:%02d", i / 60, i % 60);
        MemoryEntry e = entry("e" + std::to_string(1000 + i), "learned_fact", "old " + std::to_string(i), "x");
        e.created_at = e.updated_at = buffer;
        store.insert(e);
    }
    UserProfile profile;
    profile.interaction_count = 4;

    // Nothing merged: nothing pruned or written.
    EXPECT_EQ(apply_extraction(store, profile, profile_file, {candidate("user_info", "Name", "Alice", 0.1)}).changed(),
              0);
    EXPECT_FALSE(fs::exists(memory_file));
    EXPECT_FALSE(fs::exists(profile_file));

    const MergeOutcome outcome =
        apply_extraction(store, profile, profile_file, {candidate("user_info", "Name", "Alice")});
    EXPECT_EQ(outcome.changed(), 1);
    EXPECT_EQ(store.size(), 200u);
    EXPECT_EQ(store.find("e1000"), nullptr);  // the oldest went
    EXPECT_EQ(profile.display_name, "Alice");
    EXPECT_EQ(profile.interaction_count, 4);

    MemoryStore reloaded;
    ASSERT_TRUE(reloaded.load(memory_file));
    EXPECT_EQ(reloaded.entries(), store.entries());
    UserProfile saved;
    ASSERT_TRUE(saved.load(profile_file));
    EXPECT_EQ(saved, profile);
}

// --- the job ----------------------------------------------------------------

TEST(MemoryExtractorTest, RunTakesTheStepsInOrder) {
    MemoryStore store;
    UserProfile profile;
    std::vector<std::string> log;
    std::string asked;
    MemoryExtractionSteps steps;
    steps.read_overview = [&] {
        log.push_back("overview");
        return store.overview_block();
    };
    steps.ask_model = [&](const std::vector<ChatMessage>& request) {
        log.push_back("model");
        asked = request.at(0).content;
        return std::string(
            "```json\n[{\"category\":\"user_info\",\"title\":\"Name\",\"content\":\"Alice\"},"
            "{\"category\":\"user_habit\",\"title\":\"Hours\",\"content\":\"Works at night\"}]\n```");
    };
    steps.apply = [&](const std::vector<MemoryCandidate>& candidates) {
        log.push_back("apply");
        return apply_extraction(store, profile, "", candidates);
    };
    steps.notify = [&](const std::string& text) { log.push_back("notice " + text); };

    const MergeOutcome outcome = run_memory_extraction({message(MessageRole::user, "I am Alice")}, steps);
    EXPECT_EQ(outcome.added, 2);
    EXPECT_EQ(log, (std::vector<std::string>{"overview", "model", "apply", "notice 已学习到 2 条新知识"}));
    EXPECT_NE(asked.find("No memories stored."), std::string::npos);
    EXPECT_NE(asked.find("User: I am Alice\n"), std::string::npos);
    EXPECT_EQ(profile.display_name, "Alice");

    // The second run sees the first one's memories.
    log.clear();
    run_memory_extraction({message(MessageRole::user, "again")}, steps);
    EXPECT_NE(asked.find("Total memories: 2\n"), std::string::npos);
    EXPECT_EQ(log, (std::vector<std::string>{"overview", "model", "apply", "notice 已学习到 2 条新知识"}));
}

TEST(MemoryExtractorTest, RunWithoutAnythingToLearn) {
    std::vector<std::string> log;
    std::string answer;
    MemoryExtractionSteps steps;
    steps.read_overview = [&] {
        log.push_back("overview");
        return std::string();
    };
    steps.ask_model = [&](const std::vector<ChatMessage>&) {
        log.push_back("model");
        return answer;
    };
    steps.apply = [&](const std::vector<MemoryCandidate>&) {
        log.push_back("apply");
        return MergeOutcome{};
    };
    steps.notify = [&](const std::string& text) { log.push_back(text); };

    run_memory_extraction({}, steps);  // no conversation: no call
    EXPECT_TRUE(log.empty());

    for (const std::string& a : {std::string(), std::string("[]"), std::string("no JSON here")}) {
        log.clear();
        answer = a;
        run_memory_extraction({message(MessageRole::user, "hi")}, steps);
        EXPECT_EQ(log, (std::vector<std::string>{"overview", "model"})) << a;
    }

    // Candidates that change nothing: applied, but no notice.
    log.clear();
    answer = R"([{"title":"A","content":"a","importance":0.1}])";
    run_memory_extraction({message(MessageRole::user, "hi")}, steps);
    EXPECT_EQ(log, (std::vector<std::string>{"overview", "model", "apply"}));
}

}  // namespace
}  // namespace vexa
