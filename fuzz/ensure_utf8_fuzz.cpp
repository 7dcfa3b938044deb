// libFuzzer target for ensure_utf8: the result is always well-formed UTF-8,
// and well-formed input comes back unchanged unless it carries the signature
// of UTF-8 that was read as Latin-1 and encoded again (which is undone).

#include "api/ensure_utf8.hpp"

#include "fuzz_check.hpp"
#include "utf8_check.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

// The double-encoding signature, for well-formed text: more than three
// consecutive characters led by C2/C3, and those being over 59% of all
// non-ASCII characters.
bool looks_double_encoded(const std::string& text) {
    std::size_t total = 0;
    std::size_t latin1 = 0;
    std::size_t run = 0;
    std::size_t longest = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        if (lead < 0x80) {
            run = 0;
            ++i;
            continue;
        }
        ++total;
        if (lead == 0xC2 || lead == 0xC3) {
            ++latin1;
            longest = std::max(longest, ++run);
        } else {
            run = 0;
        }
        i += lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    }
    return longest > 3 && latin1 * 100 / total > 59;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string out = vexa::ensure_utf8(bytes);
    FUZZ_CHECK(fuzz::valid_utf8(out));
    if (bytes.empty()) FUZZ_CHECK(out.empty());
    if (!out.empty()) FUZZ_CHECK(!bytes.empty());
    if (fuzz::valid_utf8(bytes) && !looks_double_encoded(bytes)) FUZZ_CHECK(out == bytes);
    return 0;
}
