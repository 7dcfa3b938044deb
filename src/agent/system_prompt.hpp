#pragma once
// Assembles the system message of every model request from the host's three
// texts and the blocks of the agent's components (persona, skill catalog,
// memories). Each block's owner registers a source; the assembler fixes only
// which blocks appear, in which order and how they are joined.

#include <atomic>
#include <cstddef>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

// Where a component's blocks go; sources appear in this order, sources of one
// slot in the order they were added.
enum class PromptSlot {
    identity,
    soul,
    skills,
    memory,  // memory overview, then user profile
};

// The most bytes a slot's blocks may take from one system prompt: a huge
// soul.md, identity or memory file must not ride along with every request.
// Longer blocks are cut at a UTF-8 boundary and end with kPromptCutNote; the
// first cut of each slot is logged. The host's own texts are not bounded.
inline constexpr std::size_t kPromptSlotMaxBytes[] = {
    8 * 1024,   // identity
    32 * 1024,  // soul
    64 * 1024,  // skills
    32 * 1024,  // memory
};
inline constexpr const char* kPromptCutNote = "\n[... cut: longer than this prompt block may be]";

// Appends the owner's blocks for the next request; a block that is absent is
// simply not appended (empty texts are skipped too). Called on any thread
// that builds a prompt, possibly several at once: a source copies what it
// needs under its owner's own lock.
using PromptSource = std::function<void(std::vector<std::string>& blocks)>;

class SystemPromptAssembler {
public:
    // Start-up only, before any prompt is built (not synchronised with build).
    void add_source(PromptSlot slot, PromptSource source);

    // The host's texts, each replacing its previous value. Any thread.
    void set_host_prompt(std::string text);
    void set_added_prompt(std::string text);
    // The prompt of the running turn; cleared (set to empty) when it ends.
    void set_turn_prompt(std::string text);

    // The text for the next request: the host's prompt alone when it has one,
    // else the components' blocks and the added prompt; then the turn's
    // prompt. Every piece is followed by a blank line ("\n\n"). Empty when
    // nothing is present. Any thread.
    std::string build() const;

private:
    // Cuts the blocks a source of `slot` appended from `first` on to the slot's size.
    void bound_slot(PromptSlot slot, std::vector<std::string>& blocks, std::size_t first) const;

    // The prompt lock: the three texts. Never held while a source runs.
    mutable std::mutex mutex_;
    std::string host_;
    std::string added_;
    std::string turn_;
    std::vector<std::pair<PromptSlot, PromptSource>> sources_;
    mutable std::atomic<bool> cut_logged_[std::size(kPromptSlotMaxBytes)] = {};
};

}  // namespace vexa
