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

// How strictly a header is read.
enum class HeaderForm {
    // As the programs write it: `keyword`, one space, decimal digits, one space, decimal
    // digits, LF. Leading zeros are allowed, as the server reads them; a number that does
    // not fit 64 bits is no number.
    exact,
    // As the clients read a reply: the text up to the first LF as a text stream, one word
    // that must be `keyword`, then two unsigned numbers by formatted extraction (leading
    // white space, a sign and leading zeros pass); whatever follows them is not read.
    lenient,
};

// Reads the header at the start of `datagram`. What follows the LF is left to the caller.
std::optional<MessageHeader> read_message_header(std::string_view datagram, std::string_view keyword,
                                                 HeaderForm form);

}  // namespace drovik
