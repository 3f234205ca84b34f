#pragma once
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace drovik {

// A bad path: what becomes of each datagram it carries and how many may wait at once.
// drovik-server always plays these defaults on its replies; other paths exist so that
// benchmarks and tests can try clients against other servers, and so that drovik-trace
// can play any path.
struct PathModel {
    std::int32_t lost_from = 5;        // first decision at or above this: no reply
    std::int32_t duplicate_below = 2;  // later decisions below this: one more copy
    std::int32_t min_delay_ms = 500;
    std::int32_t max_delay_ms = 1500;
    std::size_t max_pending = 1000;  // a request is admitted while fewer replies wait
    std::int32_t decisions = 10;     // each decision is a draw of 0..decisions-1
};

// Unbiased integer in lo..hi: the low bits of each engine output, drawn
// again while out of range. Written out because the standard distribution
// gives different sequences on different standard libraries.
std::int32_t uniform_draw(std::mt19937& generator, std::int32_t lo, std::int32_t hi);

// The path's verdict on one datagram (for the server, one admitted request): the delay
// in milliseconds of each copy it delivers (none: lost; several: duplicates).
std::vector<std::int32_t> draw_replies_times(std::mt19937& generator, const PathModel& path = {});

}  // namespace drovik
