#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace drovik {

// Bytes per chunk, and the largest length the server accepts in a request.
inline constexpr std::uint64_t MAX_CHUNK_SIZE = 1000;
// Largest start offset the server accepts in a request.
inline constexpr std::uint32_t MAX_REQUEST_OFFSET = 100000000;
// Every receive gets a fresh zero-filled buffer of this size...
inline constexpr std::size_t RECEIVE_BUFFER_SIZE = 65536;
// ...and stores at most this much, so its last byte always stays zero.
inline constexpr std::size_t RECEIVE_LIMIT = RECEIVE_BUFFER_SIZE - 1;

// Number of chunks in a download of `file_size` bytes (at least 1 byte).
inline std::uint64_t chunk_count(std::uint64_t file_size) {
    return (file_size - 1) / MAX_CHUNK_SIZE + 1;
}

// Length of the chunk that starts at `start`: min(1000, file_size - start), unsigned.
inline std::uint64_t chunk_length(std::uint64_t file_size, std::uint64_t start) {
    return std::min(MAX_CHUNK_SIZE, file_size - start);
}

}  // namespace drovik
