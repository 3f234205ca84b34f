#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace drovik {

// The numbers of a header written "KEYWORD offset length\n".
struct MessageHeader {
    std::uint64_t offset;
    std::uint64_t length;
    std::size_t size;  // bytes up to and including the LF
};

// Reads a strictly formed header at the start of `datagram`: `keyword`, one space, decimal
// digits, one space, decimal digits, LF. Leading zeros are allowed, as the server reads them;
// a number that does not fit 64 bits is no number. What follows the LF is left to the caller.
std::optional<MessageHeader> read_message_header(std::string_view datagram, std::string_view keyword);

}  // namespace drovik
