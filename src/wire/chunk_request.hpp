#pragma once
#include <cstdint>
#include <string>

namespace drovik {

// The GET datagram that asks for chunk `chunk_index` of a `file_size`-byte download.
std::string encode_chunk_request(std::uint64_t file_size, std::uint64_t chunk_index);

}  // namespace drovik
