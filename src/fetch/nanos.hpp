#pragma once
#include <cstdint>

namespace drovik::fetch {

// The engine's time: monotonic nanoseconds, passed in by whoever drives it.
using Nanos = std::int64_t;
inline constexpr Nanos MS = 1'000'000;
inline constexpr Nanos SECOND = 1000 * MS;

}  // namespace drovik::fetch
