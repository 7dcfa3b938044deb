#include "support/uuid.hpp"

#include <array>
#include <cstdint>
#include <random>

namespace vexa {

namespace {

// One engine per thread: no lock on the hot path and no data race, each
// seeded from the OS entropy source.
std::mt19937_64& thread_engine() {
    thread_local std::mt19937_64 engine = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device(), device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    return engine;
}

std::array<std::uint8_t, 16> random_v4_bytes() {
    std::array<std::uint8_t, 16> bytes{};
    auto& engine = thread_engine();
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        std::uint64_t value = engine();
        for (std::size_t k = 0; k < 8; ++k) {
            bytes[i + k] = static_cast<std::uint8_t>(value & 0xFF);
            value >>= 8;
        }
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return bytes;
}

std::string to_hex(const std::array<std::uint8_t, 16>& bytes, bool dashes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (dashes && (i == 4 || i == 6 || i == 8 || i == 10)) out.push_back('-');
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return out;
}

}  // namespace

std::string generate_uuid() { return to_hex(random_v4_bytes(), true); }

std::string generate_uuid32() { return to_hex(random_v4_bytes(), false); }

}  // namespace vexa
