// Feeds arbitrary files to drovik-fetch's decoder of a .part's record. A record it
// accepts must be exactly what the encoder writes for what it decoded, and claim no
// more chunks than the download has.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "fetch/chunk_map.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view record(reinterpret_cast<const char*>(data), size);
    const std::optional<drovik::fetch::ChunkMap> map = drovik::fetch::decode_chunk_map(record);
    if (!map) {
        return 0;
    }
    if (drovik::fetch::encode_chunk_map(*map) != record || map->held.count() > map->held.size() ||
        map->held.size() != (map->file_size + 999) / 1000) {
        std::fprintf(stderr, "broken property: an accepted record is what the encoder writes for it\n");
        std::abort();
    }
    return 0;
}
