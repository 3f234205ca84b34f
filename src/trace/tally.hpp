#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "trace/classify.hpp"
#include "trace/csv.hpp"

namespace drovik::trace {

// What one client's datagrams came to, in both directions.
class ClientTally {
public:
    // Counts a datagram seen at `now_ns`. For a DATA reply: true when it is the client's
    // first reply for that offset and length (the useful one), false for every later one.
    std::optional<bool> count(Direction direction, const Classified& what, std::int64_t now_ns);

    // "IP:PORT: up U down D, GETs G, replies R (useful N, duplicates R-N), G/N GETs per chunk,
    // N/R % useful, S s"; a share without a denominator is written "-".
    std::string summary_line(std::string_view client) const;

    // Frees the record of the ranges answered, for a client that is gone; the counts stay.
    void forget_ranges() { answered.clear(); }

private:
    std::uint64_t up = 0;
    std::uint64_t down = 0;
    std::uint64_t gets = 0;
    std::uint64_t replies = 0;
    std::uint64_t useful = 0;
    std::int64_t first_ns = 0;
    std::int64_t last_ns = 0;
    // Ranges answered at least once, while the client is there.
    std::set<std::pair<std::uint64_t, std::uint64_t>> answered;
};

}  // namespace drovik::trace
