#include "chunk_request.hpp"

#include "system/format.hpp"
#include "wire/protocol.hpp"

namespace drovik {

std::string encode_chunk_request(std::uint64_t file_size, std::uint64_t chunk_index) {
    const std::uint64_t start = chunk_index * MAX_CHUNK_SIZE;
    return format("GET {} {}\n", start, chunk_length(file_size, start));
}

}  // namespace drovik
