#include "virtual_file.hpp"

namespace drovik {

namespace {
constexpr unsigned BASE = 166;
constexpr unsigned PRIME = 251;
// 166 has order 250 modulo 251.
constexpr unsigned ORDER = 250;
}  // namespace

std::vector<std::uint8_t> virtual_file_bytes(std::uint32_t offset, std::uint32_t byte_count) {
    std::vector<std::uint8_t> payload(byte_count);
    if (byte_count == 0) {
        return payload;
    }
    // Running product: at most 249 steps to the first byte, then one per byte.
    unsigned c = 1;
    for (unsigned k = 0; k < offset % ORDER; ++k) {
        c = c * BASE % PRIME;
    }
    payload[0] = static_cast<std::uint8_t>(c);
    for (std::uint32_t k = 1; k < byte_count; ++k) {
        c = c * BASE % PRIME;
        payload[k] = static_cast<std::uint8_t>(c);
    }
    for (std::uint32_t k = 0; k < byte_count; ++k) {
        payload[k] = static_cast<std::uint8_t>(payload[k] + offset + k);
    }
    return payload;
}

std::uint8_t virtual_file_byte(std::uint64_t offset) {
    unsigned c = 1;
    for (std::uint64_t k = 0; k < offset % ORDER; ++k) {
        c = c * BASE % PRIME;
    }
    return static_cast<std::uint8_t>(c + offset);
}

}  // namespace drovik
