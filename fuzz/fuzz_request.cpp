// Feeds arbitrary datagram text to the server's request decoder and checks its
// verdict against a hand-written reading of the grammar and the range rules.
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "server/request.hpp"
#include "system/format.hpp"
#include "wire/protocol.hpp"

namespace {

void require(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "broken property: %s\n", property);
        std::abort();
    }
}

struct Fields {
    std::uint32_t offset;
    std::uint32_t byte_count;
};

// Reads a run of 1..max_digits decimal digits at `pos`.
std::optional<std::uint32_t> digits(const std::string& text, std::size_t& pos, std::size_t max_digits) {
    std::uint32_t value = 0;
    const std::size_t start = pos;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < max_digits) {
        value = value * 10 + static_cast<std::uint32_t>(text[pos] - '0');
        ++pos;
    }
    if (pos == start) {
        return std::nullopt;
    }
    return value;
}

// "GET", space, 1-9 digits, space, 1-4 digits, LF, and nothing else.
std::optional<Fields> parse_grammar(const std::string& text) {
    if (text.rfind("GET ", 0) != 0) {
        return std::nullopt;
    }
    std::size_t pos = 4;
    const auto offset = digits(text, pos, 9);
    if (!offset || pos >= text.size() || text[pos] != ' ') {
        return std::nullopt;
    }
    ++pos;
    const auto byte_count = digits(text, pos, 4);
    if (!byte_count || pos + 1 != text.size() || text[pos] != '\n') {
        return std::nullopt;
    }
    return Fields{*offset, *byte_count};
}

sockaddr_in sender() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(40123);
    address.sin_addr.s_addr = htonl(0x7f000002);
    return address;
}

bool same_source(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_family == b.sin_family && a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const drovik::request decoded(sender(), text);
    require(same_source(decoded.source, sender()), "the sender's address is kept");

    const std::optional<Fields> fields = parse_grammar(text);
    const bool in_range = fields && fields->offset <= drovik::MAX_REQUEST_OFFSET && fields->byte_count >= 1 &&
                          fields->byte_count <= drovik::MAX_CHUNK_SIZE;
    require(decoded.valid == in_range, "valid exactly when the grammar and the ranges hold");
    if (!fields) {
        require(decoded.offset == 0 && decoded.byte_count == 0, "a text off the grammar decodes to 0 0");
        return 0;
    }
    require(decoded.offset == fields->offset && decoded.byte_count == fields->byte_count,
            "the numbers are the text's digits");
    if (!decoded.valid) {
        return 0;
    }
    require(decoded.offset <= 100000000, "a valid offset is at most 100000000");
    require(decoded.byte_count >= 1 && decoded.byte_count <= 1000, "a valid length is 1..1000");

    const drovik::request again(sender(), drovik::format("GET {} {}\n", decoded.offset, decoded.byte_count));
    require(again.valid && again.offset == decoded.offset && again.byte_count == decoded.byte_count,
            "re-encoding a valid request decodes to the same values");
    return 0;
}
