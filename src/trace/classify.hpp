#pragma once
#include <cstdint>
#include <string_view>

namespace drovik::trace {

enum class Kind { get, data, other };

// What a datagram is on the wire. `offset` and `length` are the header's numbers, 0 for `other`.
struct Classified {
    Kind kind;
    std::uint64_t offset;
    std::uint64_t length;
};

// GET: "GET offset length\n" and nothing more. DATA: "DATA offset length\n" followed by
// exactly `length` bytes. Anything else, a truncated or over-long reply included, is other.
Classified classify(std::string_view datagram);

// "GET", "DATA" or "other".
std::string_view kind_name(Kind kind);

}  // namespace drovik::trace
