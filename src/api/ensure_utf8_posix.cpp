#include "api/ensure_utf8_codepage.hpp"

#include <iconv.h>

#include <cerrno>

namespace vexa::detail {

namespace {

// GB18030 is a superset of GBK/code page 936, the legacy encoding hosts are
// most likely to hand us; strict conversion fails on bytes it cannot map.
constexpr const char* kLegacyEncoding = "GB18030";

class IconvHandle {
public:
    IconvHandle(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~IconvHandle() {
        if (valid()) iconv_close(cd_);
    }
    IconvHandle(const IconvHandle&) = delete;
    IconvHandle& operator=(const IconvHandle&) = delete;
    bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t get() const { return cd_; }

private:
    iconv_t cd_;
};

}  // namespace

std::optional<std::string> legacy_to_utf8(const std::string& bytes, LegacyCodePage /*code_page*/) {
    // One descriptor per call: iconv descriptors carry state and must not be
    // shared between threads, and this path only runs for broken texts.
    IconvHandle cd("UTF-8", kLegacyEncoding);
    if (!cd.valid()) return std::nullopt;

    std::string in = bytes;
    char* in_ptr = in.data();
    std::size_t in_left = in.size();
    std::string out(in.size() * 4 + 16, '\0');
    char* out_ptr = out.data();
    std::size_t out_left = out.size();

    while (in_left > 0) {
        const std::size_t rc = iconv(cd.get(), &in_ptr, &in_left, &out_ptr, &out_left);
        if (rc != static_cast<std::size_t>(-1)) break;
        if (errno != E2BIG) return std::nullopt;  // EILSEQ, or EINVAL: cut-off sequence
        const std::size_t used = out.size() - out_left;
        out.resize(out.size() * 2);
        out_ptr = out.data() + used;
        out_left = out.size() - used;
    }
    // Flush any shift state (GB18030 has none, but be correct).
    if (iconv(cd.get(), nullptr, nullptr, &out_ptr, &out_left) == static_cast<std::size_t>(-1)) {
        return std::nullopt;
    }
    out.resize(out.size() - out_left);
    return out;
}

}  // namespace vexa::detail
