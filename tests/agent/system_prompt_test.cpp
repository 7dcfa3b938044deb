#include "agent/system_prompt.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

PromptSource fixed(std::vector<std::string> blocks) {
    return [blocks](std::vector<std::string>& out) { out.insert(out.end(), blocks.begin(), blocks.end()); };
}

TEST(SystemPromptTest, CombinationsOfHostTextsAndBlocks) {
    struct Case {
        const char* name;
        std::string host, added, turn;
        bool with_blocks;
        std::string expected;
    };
    // Persona and memory blocks end with a line feed of their own; the skill
    // catalog does not.
    const std::string blocks = "I\n\n\nS\n\n\n<skills/>\n\nM\n\n\nP\n\n\n";
    const std::vector<Case> cases = {
        {"nothing at all", "", "", "", false, ""},
        {"added only", "", "A", "", false, "A\n\n"},
        {"turn only", "", "", "T", false, "T\n\n"},
        {"blocks only", "", "", "", true, blocks},
        {"blocks, added and turn", "", "A", "T", true, blocks + "A\n\nT\n\n"},
        {"host replaces blocks and added", "H", "A", "", true, "H\n\n"},
        {"host keeps the turn prompt", "H", "A", "T", true, "H\n\nT\n\n"},
    };
    for (const auto& c : cases) {
        SystemPromptAssembler assembler;
        if (c.with_blocks) {
            // Added out of order: the slots fix the order.
            assembler.add_source(PromptSlot::memory, fixed({"M\n", "", "P\n"}));
            assembler.add_source(PromptSlot::skills, fixed({"<skills/>"}));
            assembler.add_source(PromptSlot::identity, fixed({"I\n"}));
            assembler.add_source(PromptSlot::soul, fixed({"S\n"}));
        }
        assembler.set_host_prompt(c.host);
        assembler.set_added_prompt(c.added);
        assembler.set_turn_prompt(c.turn);
        EXPECT_EQ(assembler.build(), c.expected) << c.name;
    }
}

TEST(SystemPromptTest, TextsReplaceAndSourcesAreAskedEveryTime) {
    SystemPromptAssembler assembler;
    int asked = 0;
    assembler.add_source(PromptSlot::skills, [&](std::vector<std::string>& out) {
        ++asked;
        out.push_back("catalog " + std::to_string(asked));
    });
    assembler.set_added_prompt("first");
    assembler.set_added_prompt("second");
    EXPECT_EQ(assembler.build(), "catalog 1\n\nsecond\n\n");
    EXPECT_EQ(assembler.build(), "catalog 2\n\nsecond\n\n");
    assembler.set_host_prompt("host");
    EXPECT_EQ(assembler.build(), "host\n\n");
    EXPECT_EQ(asked, 2);  // not asked while the host's prompt stands alone
}

TEST(SystemPromptConcurrencyTest, BuildsWhileTheHostChangesItsTexts) {
    SystemPromptAssembler assembler;
    assembler.add_source(PromptSlot::skills, fixed({"catalog"}));
    assembler.set_added_prompt("added first");
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) {
            assembler.set_added_prompt("added " + std::to_string(i));
            assembler.set_turn_prompt(i % 2 ? "turn" : "");
            assembler.set_host_prompt(i % 3 == 0 ? "host" : "");
        }
    });
    for (int i = 0; i < 2000; ++i) {
        const std::string text = assembler.build();
        const bool host = text.rfind("host\n\n", 0) == 0;
        const bool blocks = text.rfind("catalog\n\nadded ", 0) == 0;
        EXPECT_TRUE(host || blocks) << text;
    }
    stop.store(true);
    writer.join();
}

}  // namespace
}  // namespace vexa
