#pragma once
#include <cstdint>
#include <optional>
#include <ostream>
#include <string_view>
#include <vector>

#include "trace/client_pool.hpp"
#include "trace/output_buffer.hpp"

namespace drovik::trace {

// What the relay counts beside its clients' figures.
struct RelayCounts {
    std::uint64_t unrelayed = 0;  // datagrams from clients beyond the pool, or with no socket to spare
    std::uint64_t evicted = 0;    // clients forgotten early to make room
    std::uint64_t listener_errors = 0;
};

// How long the datagrams of one direction waited in line for the rate.
struct RateWait {
    std::string_view direction;
    std::optional<std::int64_t> median_ms;  // none when no datagram left that way
    std::optional<std::int64_t> p95_ms;
};

// The relay's last words on `log`: a line per client kept, in the order they came, one for
// those folded together, then the relay's own lines, each only when it has something to say,
// and with a rate the waits for it in each direction it applies to.
void print_summary(std::ostream& log, const ClientPool& clients, bool shaped, const RelayCounts& counts,
                   const OutputBuffer& rows, const std::vector<RateWait>& waits);

}  // namespace drovik::trace
