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

}  // namespace drovik
