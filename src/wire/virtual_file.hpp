#pragma once
#include <cstdint>
#include <vector>

namespace drovik {

// The served file is computed, never stored: the byte at offset p is
// (166^p mod 251 + p) mod 256.
std::vector<std::uint8_t> virtual_file_bytes(std::uint32_t offset, std::uint32_t byte_count);

// The same formula for any 64-bit offset, one byte at a time (for checking downloads).
std::uint8_t virtual_file_byte(std::uint64_t offset);

}  // namespace drovik
