#include "trace/summary.hpp"

#include "system/format.hpp"

namespace drovik::trace {

namespace {
std::string rate_waits(const std::vector<RateWait>& waits) {
    std::string line = "wait for the rate:";
    for (const RateWait& way : waits) {
        line += format("{} {} ", way.direction == waits.front().direction ? "" : ";", way.direction);
        line += way.median_ms ? format("median {} ms, 95th percentile {} ms", *way.median_ms, *way.p95_ms)
                              : std::string("nothing left");
    }
    return line;
}
}  // namespace

void print_summary(std::ostream& log, const ClientPool& clients, bool shaped, const RelayCounts& counts,
                   const OutputBuffer& rows, const std::vector<RateWait>& waits) {
    for (const ClientPool::Record& client : clients.records()) {
        log << client.tally.summary_line(client.name, shaped) << '\n';
    }
    if (clients.folded() > 0) {
        log << clients.folded_tally().summary_line(format("{} other clients together", clients.folded()),
                                                   shaped)
            << '\n';
    }
    if (!waits.empty()) {
        log << rate_waits(waits) << '\n';
    }
    if (counts.unrelayed > 0) {
        log << format("{} datagrams from further clients not relayed: no socket to spare\n",
                      counts.unrelayed);
    }
    if (counts.evicted > 0) {
        log << format("{} clients forgotten early to make room for new ones\n", counts.evicted);
    }
    if (counts.listener_errors > 0) {
        log << format("{} network errors on the socket the clients talk to\n", counts.listener_errors);
    }
    if (rows.reader_gone()) {
        log << format("{} trace rows not written: the trace's reader went away, and the relay went on\n",
                      rows.unwritten());
    } else if (!rows.failure() && rows.unwritten() > 0) {
        log << format("{} trace rows not written: the output did not take them in time\n", rows.unwritten());
    }
    log.flush();
}

}  // namespace drovik::trace
