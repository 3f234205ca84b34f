#include "start_burst.hpp"

#include <algorithm>

namespace drovik::fetch {

namespace {
// The GETs after the burst compared with its second half, this many for each of its
// GETs: enough that their replies come soon even from a full server, which admits few.
constexpr std::size_t AFTER_PER_HALF_GET = 3;
// Replies to tell from: a full server's room takes the burst's first half, so the
// second half and the later GETs bring this many well within a second.
constexpr std::uint32_t EVIDENCE = 10;
// Full: the later GETs were answered this many times as often as the second half.
constexpr std::uint32_t FULL_RATIO = 3;
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
    if (second_half + after < EVIDENCE) {
        return std::nullopt;
    }
    told = true;
    chunks = {};
    // Per GET: the second half counts size / 2 of them, the later ones after_count.
    return std::size_t{after} * (size / 2) > std::size_t{FULL_RATIO} * second_half * after_count;
}

}  // namespace drovik::fetch
