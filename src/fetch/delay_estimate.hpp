#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

#include "nanos.hpp"

namespace drovik::fetch {

// What one server's replies have taught about its delays. A reply that answers a
// chunk asked earlier only says that some delay was at least its age; a chunk
// asked once gives its true delay (Karn's rule).
class DelayEstimate {
public:
    void sample(Nanos age, bool asked_once);

    // The time after which an unanswered GET counts as lost: a little more than the
    // largest delay seen. Nothing until enough replies have been watched for long
    // enough that a larger delay would have shown.
    std::optional<Nanos> timeout(Nanos watched) const;
    // How far apart early repeats of one chunk should be.
    Nanos spacing() const;
    Nanos largest() const { return max_age; }
    // The shortest delay known exactly, if any.
    std::optional<Nanos> shortest() const { return min_exact; }
    std::size_t samples() const { return count; }

private:
    Nanos max_age = 0;
    std::optional<Nanos> min_exact;
    std::size_t count = 0;
};

}  // namespace drovik::fetch
