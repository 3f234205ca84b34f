#pragma once
#include <cstdint>
#include <ostream>

#include "trace/client_pool.hpp"
#include "trace/output_buffer.hpp"

namespace drovik::trace {

// What the relay counts beside its clients' figures.
struct RelayCounts {
    std::uint64_t unrelayed = 0;  // datagrams from clients beyond the pool, or with no socket to spare
    std::uint64_t evicted = 0;    // clients forgotten early to make room
    std::uint64_t listener_errors = 0;
};

// The relay's last words on `log`: a line per client kept, in the order they came, one for
// those folded together, then the relay's own lines, each only when it has something to say.
void print_summary(std::ostream& log, const ClientPool& clients, bool shaped, const RelayCounts& counts,
                   const OutputBuffer& rows);

}  // namespace drovik::trace
