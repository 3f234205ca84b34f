#pragma once
#include <cstddef>
#include <cstdint>

namespace drovik {

// The bad path the server plays: what becomes of an admitted request and how many
// replies may wait at once. drovik-server always plays these defaults; other paths
// exist so that benchmarks and tests can try clients against other servers.
struct PathModel {
    std::int32_t lost_from = 5;        // first 0..9 decision at or above this: no reply
    std::int32_t duplicate_below = 2;  // later 0..9 decisions below this: one more copy
    std::int32_t min_delay_ms = 500;
    std::int32_t max_delay_ms = 1500;
    std::size_t max_pending = 1000;  // a request is admitted while fewer replies wait
};

}  // namespace drovik
