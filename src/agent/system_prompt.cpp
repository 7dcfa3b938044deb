#include "agent/system_prompt.hpp"

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
        for (const auto& [slot, source] : sources_) source(blocks);
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
