#include "agent/system_prompt.hpp"

#include "support/log.hpp"
#include "support/utf8.hpp"

#include <algorithm>

namespace vexa {

void SystemPromptAssembler::add_source(PromptSlot slot, PromptSource source) {
    if (!source) return;
    const auto at = std::upper_bound(sources_.begin(), sources_.end(), slot,
                                     [](PromptSlot s, const auto& entry) { return s < entry.first; });
    sources_.insert(at, {slot, std::move(source)});
}

void SystemPromptAssembler::set_host_prompt(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    host_ = std::move(text);
}

void SystemPromptAssembler::set_added_prompt(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    added_ = std::move(text);
}

void SystemPromptAssembler::set_turn_prompt(std::string text) {
    std::lock_guard<std::mutex> lock(mutex_);
    turn_ = std::move(text);
}

void SystemPromptAssembler::bound_slot(PromptSlot slot, std::vector<std::string>& blocks, std::size_t first) const {
    const auto index = static_cast<std::size_t>(slot);
    if (index >= std::size(kPromptSlotMaxBytes)) return;
    std::size_t left = kPromptSlotMaxBytes[index];
    for (std::size_t i = first; i < blocks.size(); ++i) {
        std::string& block = blocks[i];
        if (block.size() <= left) {
            left -= block.size();
            continue;
        }
        const std::size_t original = block.size();
        block.resize(utf8_cut_position(block, left));
        if (!block.empty()) block += kPromptCutNote;
        left = 0;
        if (!cut_logged_[index].exchange(true)) {
            log_line(LogLevel::WARNING, "System prompt: a block of " + std::to_string(original) +
                                            " bytes was cut to the " + std::to_string(kPromptSlotMaxBytes[index]) +
                                            " bytes its part of the prompt may take");
        }
    }
}

std::string SystemPromptAssembler::build() const {
    std::string host;
    std::string added;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        host = host_;
        added = added_;
    }
    std::string text;
    auto append = [&text](const std::string& piece) {
        if (piece.empty()) return;
        text += piece;
        text += "\n\n";
    };
    if (!host.empty()) {
        // The host's own prompt replaces everything the agent would add.
        append(host);
    } else {
        // Sources run without the prompt lock: they take their owners' locks,
        // and no two of the agent's locks are ever held together.
        std::vector<std::string> blocks;
        for (const auto& [slot, source] : sources_) {
            const std::size_t first = blocks.size();
            source(blocks);
            bound_slot(slot, blocks, first);
        }
        for (const auto& block : blocks) append(block);
        append(added);
    }
    std::string turn;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        turn = turn_;
    }
    append(turn);
    return text;
}

}  // namespace vexa
