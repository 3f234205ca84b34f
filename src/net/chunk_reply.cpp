#include "chunk_reply.hpp"

#include <algorithm>
#include <sstream>
#include <string>

#include "protocol.hpp"

namespace drovik {

std::uint64_t chunk_count(std::uint64_t file_size) {
    return (file_size - 1) / MAX_CHUNK_SIZE + 1;
}

std::uint64_t chunk_length(std::uint64_t file_size, std::uint64_t start) {
    return std::min(MAX_CHUNK_SIZE, file_size - start);
}

std::optional<ChunkReply> decode_chunk_reply(const std::uint8_t* datagram, std::size_t received,
                                             std::uint64_t file_size) {
    const std::uint8_t* end = datagram + received;
    const std::uint8_t* lf = std::find(datagram, end, std::uint8_t{'\n'});
    if (lf == end) {
        return std::nullopt;
    }
    // A failed read only sets the stream's state here; it never throws.
    std::istringstream header(std::string(datagram, lf));
    std::string keyword;
    std::uint64_t start_byte = 0;
    std::uint64_t len = 0;
    if (!(header >> keyword >> start_byte >> len) || keyword != "DATA") {
        return std::nullopt;
    }
    if (start_byte % MAX_CHUNK_SIZE != 0 || len != chunk_length(file_size, start_byte)) {
        return std::nullopt;
    }
    const std::uint64_t chunk_index = start_byte / MAX_CHUNK_SIZE;
    // A reply beyond the file has no slot; a short one would hand over zeros.
    if (chunk_index >= chunk_count(file_size) || len > static_cast<std::uint64_t>(end - (lf + 1))) {
        return std::nullopt;
    }
    return ChunkReply{chunk_index, std::vector<std::uint8_t>(lf + 1, lf + 1 + len)};
}

}  // namespace drovik
