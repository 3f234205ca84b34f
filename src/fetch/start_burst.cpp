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
// The test holds while at least this fraction (one in this many) of the second half was asked only once.
constexpr std::size_t LEAST_TESTABLE = 4;
}  // namespace

StartBurst::StartBurst(std::size_t size)
    : size(size),
      after_count(size / 2 * AFTER_PER_HALF_GET),
      second_testable(size - size / 2),
      after_testable(after_count) {}

void StartBurst::sent(std::uint64_t chunk) {
    if (!told && chunks.size() < size + after_count) {
        chunks.push_back(chunk);
    }
}

// Where `chunk` is in the test: nothing when it is not, or is in the burst's first half.
std::optional<std::size_t> StartBurst::tested(std::uint64_t chunk) const {
    const auto at = std::lower_bound(chunks.begin(), chunks.end(), chunk);
    const auto index = static_cast<std::size_t>(at - chunks.begin());
    if (told || at == chunks.end() || *at != chunk || index < size / 2) {
        return std::nullopt;
    }
    return index;
}

void StartBurst::asked_again(std::uint64_t chunk) {
    if (const auto index = tested(chunk)) {
        --(*index < size ? second_testable : after_testable);
    }
}

// Every reply counts as it comes, even before all the GETs after the burst have left: on a
// short path the second half's replies come first, and they are what tells an empty server.
std::optional<bool> StartBurst::replied(std::uint64_t chunk) {
    const auto index = tested(chunk);
    if (!index) {
        return std::nullopt;
    }
    ++(*index < size ? second_half : after);
    if (second_testable < (size - size / 2) / LEAST_TESTABLE) {
        told = true;  // most of the second half was asked again: too few left to tell
        return false;
    }
    // Weighted by the GETs of each part that were asked only once.
    const double weight = SECOND_HALF_WEIGHT * static_cast<double>(after_testable) /
                          (AFTER_PER_HALF_GET * static_cast<double>(second_testable));
    const auto lead = static_cast<std::int64_t>(after - weight * second_half);
    if (lead > -EMPTY_LEAD && lead < FULL_LEAD) {
        return std::nullopt;
    }
    told = true;
    chunks = {};
    return lead >= FULL_LEAD;
}

}  // namespace drovik::fetch
