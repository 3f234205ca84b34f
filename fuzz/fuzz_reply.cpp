// Feeds arbitrary datagrams to the client's reply decoder. The first 8 bytes of
// an input (little-endian) are the download's file size, the rest the datagram.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "wire/chunk_reply.hpp"

namespace {

void require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "broken property: %s\n", property);
        std::abort();
    }
}

std::uint64_t little_endian(const std::uint8_t* bytes) {
    std::uint64_t value = 0;
    for (int k = 7; k >= 0; --k) {
        value = value << 8 | bytes[k];
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The largest datagram a receive stores.
    constexpr std::size_t RECEIVE_LIMIT = 65535;
    if (size < 8 || size - 8 > RECEIVE_LIMIT) {
        return 0;
    }
    const std::uint64_t file_size = little_endian(data);
    if (file_size == 0) {
        return 0;
    }
    const std::uint8_t* datagram = data + 8;
    const std::size_t received = size - 8;
    const std::optional<drovik::ChunkReply> reply = drovik::decode_chunk_reply(datagram, received, file_size);
    if (!reply) {
        return 0;
    }
    const std::uint64_t chunks = file_size / 1000 + (file_size % 1000 != 0 ? 1 : 0);
    require(reply->chunk_index < chunks, "an accepted chunk index is below the number of chunks");
    const std::uint64_t start = reply->chunk_index * 1000;
    const std::uint64_t expected = file_size - start < 1000 ? file_size - start : 1000;
    require(reply->data.size() == expected, "an accepted chunk has exactly its expected length");

    const void* lf = std::memchr(datagram, '\n', received);
    require(lf != nullptr, "an accepted reply has a header line");
    const std::size_t payload_at =
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - datagram) + 1;
    require(payload_at + expected <= received, "an accepted payload lies inside the datagram");
    require(std::memcmp(reply->data.data(), datagram + payload_at, expected) == 0,
            "an accepted chunk holds exactly the bytes after the first LF");
    return 0;
}
