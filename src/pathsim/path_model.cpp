#include "path_model.hpp"

#include <bit>

namespace drovik {

std::int32_t uniform_draw(std::mt19937& generator, std::int32_t lo, std::int32_t hi) {
    const auto range = static_cast<std::uint32_t>(hi - lo) + 1U;
    const unsigned width = std::bit_width(range - 1U);
    const std::uint32_t mask = width >= 32U ? ~0U : (1U << width) - 1U;
    std::uint32_t value = 0;
    do {
        value = static_cast<std::uint32_t>(generator()) & mask;
    } while (value >= range);
    return lo + static_cast<std::int32_t>(value);
}

std::vector<std::int32_t> draw_replies_times(std::mt19937& generator, const PathModel& path) {
    std::vector<std::int32_t> delays;
    if (uniform_draw(generator, 0, path.decisions - 1) >= path.lost_from) {
        return delays;
    }
    do {
        delays.push_back(uniform_draw(generator, path.min_delay_ms, path.max_delay_ms));
    } while (uniform_draw(generator, 0, path.decisions - 1) < path.duplicate_below);
    return delays;
}

}  // namespace drovik
