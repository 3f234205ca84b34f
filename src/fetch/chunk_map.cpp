#include "chunk_map.hpp"

#include <array>
#include <cassert>
#include <charconv>
#include <vector>

#include "net/chunk_reply.hpp"
#include "net/format.hpp"

namespace drovik::fetch {

namespace {

constexpr std::string_view MAGIC = "drovik-fetch chunk map 1 ";
constexpr std::size_t CHECKSUM_BYTES = 4;
// Longer than any header a download of at most 2^64 bytes has.
constexpr std::size_t LONGEST_HEADER = 64;

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

std::string header(std::uint64_t file_size) {
    return format("{}{}\n", MAGIC, file_size);
}

// The size a header names; encode_chunk_map's round trip checks the rest.
std::optional<std::uint64_t> header_size(std::string_view record) {
    const std::size_t end = record.substr(0, LONGEST_HEADER).find('\n');
    if (end == std::string_view::npos || !record.starts_with(MAGIC)) {
        return std::nullopt;
    }
    std::uint64_t size = 0;
    const auto [stop, error] = std::from_chars(record.data() + MAGIC.size(), record.data() + end, size);
    if (error != std::errc() || stop != record.data() + end || size == 0) {
        return std::nullopt;
    }
    return size;
}

}  // namespace

std::string encode_chunk_map(const ChunkMap& map) {
    assert(map.held.size() == chunk_count(map.file_size));
    std::string record = header(map.file_size);
    record.append(map.held.bytes().begin(), map.held.bytes().end());
    const std::uint32_t crc = crc32(record);
    for (std::size_t k = 0; k < CHECKSUM_BYTES; ++k) {
        record.push_back(static_cast<char>(crc >> (8 * k) & 0xFFU));
    }
    return record;
}

std::optional<ChunkMap> decode_chunk_map(std::string_view record) {
    const std::optional<std::uint64_t> size = header_size(record);
    if (!size) {
        return std::nullopt;
    }
    const std::uint64_t chunks = chunk_count(*size);
    const std::size_t bitmap_at = header(*size).size();
    if (record.size() != bitmap_at + (chunks + 7) / 8 + CHECKSUM_BYTES) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bits(record.begin() + static_cast<std::ptrdiff_t>(bitmap_at),
                                   record.end() - CHECKSUM_BYTES);
    if (chunks % 8 != 0 && bits.back() >> (chunks % 8) != 0) {
        return std::nullopt;  // a chunk past the end
    }
    ChunkMap map{*size, ChunkSet(chunks, std::move(bits))};
    if (encode_chunk_map(map) != record) {
        return std::nullopt;
    }
    return map;
}

}  // namespace drovik::fetch
