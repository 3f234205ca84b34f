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
// The burst's replies come in its order when their mean place is below this share of it, of
// this many: in any order it lies at half, give or take a twelfth.
constexpr double ORDERED = 0.4;
constexpr std::uint32_t ORDER_REPLIES = 16;
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
StartBurst::Told StartBurst::replied(std::uint64_t chunk, Nanos now) {
    Told result;
    const auto at = std::lower_bound(chunks.begin(), chunks.end(), chunk);
    if (at != chunks.end() && *at == chunk) {
        result.line = ordered(static_cast<std::size_t>(at - chunks.begin()), now);
    }
    const auto index = tested(chunk);
    if (!index) {
        return result;
    }
    ++(*index < size ? second_half : after);
    if (second_testable < (size - size / 2) / LEAST_TESTABLE) {
        told = true;  // most of the second half was asked again: too few left to tell
        result.full = false;
        return result;
    }
    // Weighted by the GETs of each part that were asked only once.
    const double weight = SECOND_HALF_WEIGHT * static_cast<double>(after_testable) /
                          (AFTER_PER_HALF_GET * static_cast<double>(second_testable));
    const auto lead = static_cast<std::int64_t>(after - weight * second_half);
    if (lead > -EMPTY_LEAD && lead < FULL_LEAD) {
        return result;
    }
    told = true;
    result.full = lead >= FULL_LEAD;
    if (order_told) {
        chunks = {};
    }
    return result;
}

// Through a line the burst's first GETs are answered first, and none after it meanwhile; the
// farthest place answered since the first reply tells how fast the line passes them. A full
// server answers its first GETs only, too, but those after the burst as soon.
std::optional<double> StartBurst::ordered(std::size_t index, Nanos now) {
    if (order_told) {
        return std::nullopt;
    }
    if (index >= size) {
        ++after_early;
        return std::nullopt;
    }
    first_reply = first_reply.value_or(now);
    ++burst_replies;
    positions += index;
    farthest = std::max(farthest, index);
    if (burst_replies < ORDER_REPLIES) {
        return std::nullopt;
    }
    order_told = true;
    const double mean = static_cast<double>(positions) / burst_replies;
    if (mean >= ORDERED * static_cast<double>(size) || after_early * 8 > burst_replies ||
        now <= *first_reply) {
        return std::nullopt;
    }
    return static_cast<double>(farthest + 1) * 1e9 / static_cast<double>(now - *first_reply);
}

}  // namespace drovik::fetch
