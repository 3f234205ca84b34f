#pragma once
#include <cstdint>
#include <istream>

namespace drovik::compare {

// What one run's trace shows, as the client sees it.
struct TraceCounts {
    std::uint64_t gets = 0;     // GETs it sent, those the path dropped included
    std::uint64_t replies = 0;  // DATA replies that reached it
    std::uint64_t useful = 0;   // of those, the first for their range
    std::uint64_t dropped = 0;  // datagrams the relay's path lost or had no room for, both ways
};

// Counts a drovik-trace CSV; one that is not such a trace raises.
TraceCounts count_trace(std::istream& csv);

}  // namespace drovik::compare
