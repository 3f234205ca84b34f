#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "chunk_set.hpp"

namespace drovik::fetch {

// OUTPUT_FILE.part.map: which chunks of the .part hold their bytes. A line that names
// the format and the download's size ("drovik-fetch chunk map 1 5000000\n"), the
// ChunkSet's bytes, and the CRC-32 of both (4 bytes, least significant first), so
// that a damaged record or one of another download is told apart from a good one.
struct ChunkMap {
    std::uint64_t file_size = 0;
    ChunkSet held;
};

std::string encode_chunk_map(const ChunkMap& map);

// Nothing unless `record` is exactly what encode_chunk_map writes for some map.
std::optional<ChunkMap> decode_chunk_map(std::string_view record);

}  // namespace drovik::fetch
