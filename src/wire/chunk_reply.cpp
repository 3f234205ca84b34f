#include "wire/chunk_reply.hpp"

#include <string_view>

#include "wire/message_header.hpp"
#include "wire/protocol.hpp"

namespace drovik {

std::optional<ChunkReply> decode_chunk_reply(const std::uint8_t* datagram, std::size_t received,
                                             std::uint64_t file_size) {
    const std::string_view text(reinterpret_cast<const char*>(datagram), received);
    const std::optional<MessageHeader> header = read_message_header(text, "DATA", HeaderForm::lenient);
    if (!header) {
        return std::nullopt;
    }
    const std::uint64_t start_byte = header->offset;
    const std::uint64_t len = header->length;
    if (start_byte % MAX_CHUNK_SIZE != 0 || len != chunk_length(file_size, start_byte)) {
        return std::nullopt;
    }
    const std::uint64_t chunk_index = start_byte / MAX_CHUNK_SIZE;
    // A reply beyond the file has no slot; a short one would hand over zeros.
    if (chunk_index >= chunk_count(file_size) || len > received - header->size) {
        return std::nullopt;
    }
    const std::uint8_t* payload = datagram + header->size;
    return ChunkReply{chunk_index, std::vector<std::uint8_t>(payload, payload + len)};
}

}  // namespace drovik
