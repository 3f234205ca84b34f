#include "delay_estimate.hpp"

#include <algorithm>

namespace drovik::fetch {

namespace {
constexpr std::size_t TRUSTED_SAMPLES = 50;
constexpr std::size_t SPACING_SAMPLES = 10;
constexpr Nanos FIRST_SPACING = 20 * MS;
constexpr Nanos LEAST_SPACING = 5 * MS;
constexpr Nanos SPACING_DIVISOR = 32;
// The largest delay is that of the last SPANS spans of this length in which replies came.
constexpr Nanos SPAN = 1000 * MS;
constexpr std::size_t SPANS = 4;
}  // namespace

void DelayEstimate::sample(Nanos now, Nanos age, bool exact) {
    ++count;
    if (spans.empty() || now - spans.back().first >= SPAN) {
        spans.emplace_back(now, 0);
        if (spans.size() > SPANS) {
            spans.pop_front();
        }
    }
    spans.back().second = std::max(spans.back().second, age);
    if (exact) {
        min_exact = std::min(min_exact.value_or(age), age);
        max_exact = std::max(max_exact, age);
    }
}

Nanos DelayEstimate::largest() const {
    Nanos most = 0;
    for (const auto& [start, age] : spans) {
        most = std::max(most, age);
    }
    return most;
}

std::optional<Nanos> DelayEstimate::timeout(Nanos watched) const {
    if (count < TRUSTED_SAMPLES) {
        return std::nullopt;
    }
    const Nanos max_age = largest();
    const Nanos estimate = max_age + max_age / 20 + 5 * MS;
    // Delays up to a quarter beyond the estimate would have been seen by now.
    if (watched < estimate + estimate / 4) {
        return std::nullopt;
    }
    return estimate;
}

Nanos DelayEstimate::spacing() const {
    if (count < SPACING_SAMPLES || !min_exact) {
        return FIRST_SPACING;
    }
    return std::max(LEAST_SPACING, (largest() - *min_exact) / SPACING_DIVISOR);
}

}  // namespace drovik::fetch
