#include "chunk_map.hpp"

#include <array>
#include <cassert>
#include <charconv>
#include <random>
#include <vector>

#include "system/format.hpp"
#include "wire/protocol.hpp"

namespace drovik::fetch {

namespace {

constexpr std::string_view MAGIC = "drovik-fetch chunk map 2 ";
constexpr std::string_view TRAILER_MAGIC = "drovik-fetch run ";
constexpr std::size_t RUN_ID_DIGITS = 32;
constexpr std::size_t CHECKSUM_BYTES = 4;
// Longer than any header a download of at most 2^64 bytes has.
constexpr std::size_t LONGEST_HEADER = 96;

constexpr std::array<std::uint32_t, 256> CRC_TABLE = [] {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1U) != 0 ? 0xEDB88320U ^ (crc >> 1) : crc >> 1;
        }
        table[byte] = crc;
    }
    return table;
}();

std::uint32_t crc32(std::string_view bytes) {
    std::uint32_t crc = 0xFFFFFFFFU;
    for (const char byte : bytes) {
        crc = CRC_TABLE[(crc ^ static_cast<std::uint8_t>(byte)) & 0xFFU] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFU;
}

std::string header(std::uint64_t file_size, std::string_view run_id) {
    return format("{}{} {}\n", MAGIC, file_size, run_id);
}

bool is_run_id(std::string_view text) {
    return text.size() == RUN_ID_DIGITS &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

// The size and run id a header names; encode_chunk_map's round trip checks the rest.
std::optional<std::pair<std::uint64_t, std::string_view>> parse_header(std::string_view record) {
    const std::size_t end = record.substr(0, LONGEST_HEADER).find('\n');
    if (end == std::string_view::npos || !record.starts_with(MAGIC)) {
        return std::nullopt;
    }
    const std::string_view fields = record.substr(MAGIC.size(), end - MAGIC.size());
    const std::size_t space = fields.find(' ');
    std::uint64_t size = 0;
    const auto [stop, error] = std::from_chars(fields.data(), fields.data() + fields.size(), size);
    if (error != std::errc() || space == std::string_view::npos || stop != fields.data() + space ||
        size == 0 || !is_run_id(fields.substr(space + 1))) {
        return std::nullopt;
    }
    return std::pair{size, fields.substr(space + 1)};
}

}  // namespace

std::string encode_chunk_map(const ChunkMap& map) {
    assert(map.held.size() == chunk_count(map.file_size) && is_run_id(map.run_id));
    std::string record = header(map.file_size, map.run_id);
    record.append(map.held.bytes().begin(), map.held.bytes().end());
    const std::uint32_t crc = crc32(record);
    for (std::size_t k = 0; k < CHECKSUM_BYTES; ++k) {
        record.push_back(static_cast<char>(crc >> (8 * k) & 0xFFU));
    }
    return record;
}

std::optional<ChunkMap> decode_chunk_map(std::string_view record) {
    const auto parsed = parse_header(record);
    if (!parsed) {
        return std::nullopt;
    }
    const auto [size, run_id] = *parsed;
    const std::uint64_t chunks = chunk_count(size);
    const std::size_t bitmap_at = header(size, run_id).size();
    if (record.size() != chunk_map_length(size)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bits(record.begin() + static_cast<std::ptrdiff_t>(bitmap_at),
                                   record.end() - CHECKSUM_BYTES);
    if (chunks % 8 != 0 && bits.back() >> (chunks % 8) != 0) {
        return std::nullopt;  // a chunk past the end
    }
    ChunkMap map{size, std::string(run_id), ChunkSet(chunks, std::move(bits))};
    if (encode_chunk_map(map) != record) {
        return std::nullopt;
    }
    return map;
}

std::optional<std::uint64_t> recorded_size(std::string_view record) {
    const auto parsed = parse_header(record);
    return parsed ? std::optional(parsed->first) : std::nullopt;
}

std::size_t chunk_map_length(std::uint64_t file_size) {
    return header(file_size, std::string(RUN_ID_DIGITS, '0')).size() + (chunk_count(file_size) + 7) / 8 +
           CHECKSUM_BYTES;
}

std::string new_run_id() {
    std::random_device device;
    std::string id;
    for (int word = 0; word < 4; ++word) {
        id += format("{:08x}", device());
    }
    return id;
}

std::string encode_part_trailer(std::string_view run_id) {
    assert(is_run_id(run_id));
    std::string trailer = format("{}{}\n", TRAILER_MAGIC, run_id);
    assert(trailer.size() == PART_TRAILER_SIZE);
    return trailer;
}

std::optional<std::string> decode_part_trailer(std::string_view trailer) {
    const std::string_view run_id =
        trailer.substr(std::min(trailer.size(), TRAILER_MAGIC.size()), RUN_ID_DIGITS);
    if (trailer.size() != PART_TRAILER_SIZE || !trailer.starts_with(TRAILER_MAGIC) || !is_run_id(run_id) ||
        trailer.back() != '\n') {
        return std::nullopt;
    }
    return std::string(run_id);
}

}  // namespace drovik::fetch
