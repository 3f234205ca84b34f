#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "nanos.hpp"

namespace drovik::fetch {

// What one server's replies have taught about its delays. A reply that answers a
// chunk asked earlier only says that some delay was at least its age; a chunk
// asked once gives its true delay (Karn's rule). The largest delay is that of the last
// few seconds in which replies came: a queue that drained no longer lengthens it.
class DelayEstimate {
public:
    // A reply came at `now`, `age` after the GET it answers (`exact`) or after the latest.
    void sample(Nanos now, Nanos age, bool exact);

    // The time after which an unanswered GET counts as lost: a little more than the
    // largest delay seen lately. Nothing until enough replies have been watched for long
    // enough that a larger delay would have shown.
    std::optional<Nanos> timeout(Nanos watched) const;
    // How far apart early repeats of one chunk should be.
    Nanos spacing() const;
    Nanos largest() const;
    // The shortest and largest delays known exactly; none before the first.
    std::optional<Nanos> shortest() const { return min_exact; }
    Nanos largest_exact() const { return max_exact; }
    std::size_t samples() const { return count; }

private:
    std::deque<std::pair<Nanos, Nanos>> spans;  // (start, largest age) of the latest spans with replies
    std::optional<Nanos> min_exact;
    Nanos max_exact = 0;
    std::size_t count = 0;
};

}  // namespace drovik::fetch
