#include "system/clock.hpp"

#include <chrono>

namespace drovik {

std::int64_t monotonic_ns() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
}

std::int32_t to_ms(std::int64_t span_ns) {
    return static_cast<std::int32_t>(span_ns / 1000000);
}

}  // namespace drovik
