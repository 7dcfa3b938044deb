// Test oracle shared by the parser tests and its fuzz target.
#pragma once

#include <cstddef>
#include <string>

namespace vexa::test {

// The literal reading of the channel clean-up: restart the search after every
// deletion, then delete markers until none is left.
inline std::string naive_channel_markup(std::string text) {
    while (true) {
        const std::size_t p = text.find("<|channel>");
        if (p == std::string::npos) break;
        const std::size_t e = text.find("<channel|>", p);
        const std::size_t h = text.find('\n', p);
        if (e == std::string::npos && h == std::string::npos) {
            text.resize(p);
            break;
        }
        if (e != std::string::npos && (h == std::string::npos || e < h)) {
            text.erase(p, e - p);
        } else {
            text.erase(p, h - p + 1);
        }
    }
    for (bool changed = true; changed;) {
        changed = false;
        for (const char* m : {"<channel|>", "<|message|>", "<|end|>", "<|return|>", "<|im_end|>"}) {
            const std::size_t at = text.find(m);
            if (at != std::string::npos) {
                text.erase(at, std::string(m).size());
                changed = true;
            }
        }
    }
    const std::size_t b = text.find_first_not_of(" \t\n\v\f\r");
    if (b == std::string::npos) return "";
    return text.substr(b, text.find_last_not_of(" \t\n\v\f\r") - b + 1);
}

}  // namespace vexa::test
