#pragma once
#include <cstdint>

namespace drovik {

// Monotonic clock, in nanoseconds.
std::int64_t monotonic_ns();

// Nanosecond span in whole milliseconds, truncated toward zero.
std::int32_t to_ms(std::int64_t span_ns);

}  // namespace drovik
