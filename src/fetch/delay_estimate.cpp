#include "delay_estimate.hpp"

#include <algorithm>

namespace drovik::fetch {

namespace {
constexpr std::size_t TRUSTED_SAMPLES = 50;
constexpr std::size_t SPACING_SAMPLES = 10;
constexpr Nanos FIRST_SPACING = 20 * MS;
constexpr Nanos LEAST_SPACING = 5 * MS;
constexpr Nanos SPACING_DIVISOR = 16;
}  // namespace

void DelayEstimate::sample(Nanos age, bool asked_once) {
    ++count;
    max_age = std::max(max_age, age);
    if (asked_once) {
        min_exact = std::min(min_exact.value_or(age), age);
    }
}

std::optional<Nanos> DelayEstimate::timeout(Nanos watched) const {
    if (count < TRUSTED_SAMPLES) {
        return std::nullopt;
    }
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
    return std::max(LEAST_SPACING, (max_age - *min_exact) / SPACING_DIVISOR);
}

}  // namespace drovik::fetch
