#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "chunk_set.hpp"

namespace drovik::fetch {

// OUTPUT_FILE.part.map: which chunks of the .part hold their bytes. A line that names
// the format, the download's size and the run id of the .part it describes
// ("drovik-fetch chunk map 2 5000000 RUN_ID\n"), the ChunkSet's bytes, and the CRC-32
// of all that (4 bytes, least significant first), so that a damaged record or one of
// another download is told apart from a good one.
//
// The run id (32 lower-case hex digits, drawn at random when a .part is begun) is also
// the .part's last PART_TRAILER_SIZE bytes, "drovik-fetch run RUN_ID\n", cut off when
// the download is complete: a record describes only the .part that carries its id.
struct ChunkMap {
    std::uint64_t file_size = 0;
    std::string run_id;
    ChunkSet held;
};

std::string encode_chunk_map(const ChunkMap& map);

// Nothing unless `record` is exactly what encode_chunk_map writes for some map.
std::optional<ChunkMap> decode_chunk_map(std::string_view record);

// The download size that a record's header names, whatever follows the header.
std::optional<std::uint64_t> recorded_size(std::string_view record);

// The length of the record of any `file_size`-byte download.
std::size_t chunk_map_length(std::uint64_t file_size);

inline constexpr std::size_t PART_TRAILER_SIZE = 50;

std::string new_run_id();
std::string encode_part_trailer(std::string_view run_id);
// The run id of a trailer, or nothing when `trailer` is none.
std::optional<std::string> decode_part_trailer(std::string_view trailer);

}  // namespace drovik::fetch
