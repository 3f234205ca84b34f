#include "compare/trace_counts.hpp"

#include "trace/csv.hpp"

namespace drovik::compare {

TraceCounts count_trace(std::istream& csv) {
    TraceCounts counts;
    trace::CsvReader reader(csv);
    while (const auto row = reader.next()) {
        const bool dropped = row->fate == Fate::lost || row->fate == Fate::overflow;
        counts.dropped += dropped ? 1 : 0;
        if (row->direction == Direction::up) {
            // The path's extra copies were not sent by the client.
            counts.gets += row->what.kind == trace::Kind::get && row->fate != Fate::copy ? 1 : 0;
        } else if (row->what.kind == trace::Kind::data && !dropped) {
            ++counts.replies;
            counts.useful += row->first.value_or(false) ? 1 : 0;
        }
    }
    return counts;
}

}  // namespace drovik::compare
