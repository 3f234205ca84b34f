#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace drovik {

struct ChunkReply {
    std::uint64_t chunk_index;
    std::vector<std::uint8_t> data;
};

// Decodes one received DATA datagram of `received` bytes for a download of
// `file_size` bytes. Anything that is not a complete reply for one of its
// chunks gives nothing: the chunk is simply asked for again.
std::optional<ChunkReply> decode_chunk_reply(const std::uint8_t* datagram, std::size_t received,
                                             std::uint64_t file_size);

// Number of chunks in a download of `file_size` bytes (at least 1 byte).
std::uint64_t chunk_count(std::uint64_t file_size);

// Length of the chunk that starts at `start`: min(1000, file_size - start), unsigned.
std::uint64_t chunk_length(std::uint64_t file_size, std::uint64_t start);

}  // namespace drovik
