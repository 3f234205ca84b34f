#include "start_burst.hpp"

#include <algorithm>

namespace drovik::fetch {

namespace {
// The GETs after the burst compared with its second half, this many for each of its
// GETs: enough that their replies come soon even from a full server, which admits few.
constexpr std::size_t AFTER_PER_HALF_GET = 3;
// An empty server answers the second half with about a quarter of these replies (100
// GETs of 400), a full one with a few hundredths: one reply from the second half tells
// about as much as this many from the GETs after it.
constexpr std::int64_t SECOND_HALF_WEIGHT = 7;
// Full, once the replies from after the burst lead by this many: fifteen or so replies
// from a full server, a score more when a couple of the second half (its room) came
// first. Empty, which changes nothing, only once the second half leads by five of its
// own: about forty replies from an empty server.
constexpr std::int64_t FULL_LEAD = 10;
constexpr std::int64_t EMPTY_LEAD = 5 * SECOND_HALF_WEIGHT;
}  // namespace

StartBurst::StartBurst(std::size_t size) : size(size), after_count(size / 2 * AFTER_PER_HALF_GET) {}

void StartBurst::sent(std::uint64_t chunk) {
    if (!told && chunks.size() < size + after_count) {
        chunks.push_back(chunk);
    }
}

std::optional<bool> StartBurst::replied(std::uint64_t chunk) {
    if (told || chunks.size() < size + after_count) {
        return std::nullopt;
    }
    const auto at = std::lower_bound(chunks.begin(), chunks.end(), chunk);
    const auto index = static_cast<std::size_t>(at - chunks.begin());
    if (at == chunks.end() || *at != chunk || index < size / 2) {
        return std::nullopt;
    }
    ++(index < size ? second_half : after);
    const std::int64_t lead = std::int64_t{after} - SECOND_HALF_WEIGHT * second_half;
    if (lead > -EMPTY_LEAD && lead < FULL_LEAD) {
        return std::nullopt;
    }
    told = true;
    chunks = {};
    return lead >= FULL_LEAD;
}

}  // namespace drovik::fetch
