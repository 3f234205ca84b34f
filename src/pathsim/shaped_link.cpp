#include "pathsim/shaped_link.hpp"

#include <algorithm>
#include <bit>
#include <vector>

namespace drovik {

namespace {
// The bucket holds a fiftieth of a second's tokens: the relay wakes in whole milliseconds, so
// a strict spacing would fall short of a rate above a thousand a second.
constexpr std::int64_t BURSTS_PER_SECOND = 50;
constexpr std::int64_t SECOND_NS = 1000000000;
}  // namespace

ShapedLink::ShapedLink(const PathModel& path, std::optional<std::uint32_t> rate) : path(path) {
    if (rate) {
        // Rounded up, so that no more than `rate` leave in a second.
        interval_ns = (SECOND_NS + *rate - 1) / *rate;
        tolerance_ns = (std::max<std::int64_t>(1, *rate / BURSTS_PER_SECOND) - 1) * interval_ns;
    }
}

ShapedLink::Taken ShapedLink::take(std::size_t client, std::string_view datagram, std::mt19937& stream,
                                   std::int64_t now_ns) {
    // Drawn for every datagram, dropped or not, so that a datagram's fate depends only on the
    // ones before it.
    std::vector<std::int32_t> delays = draw_replies_times(stream, path);
    if (delays.empty()) {
        return {Fate::lost, 0};
    }
    if (held() >= path.max_pending) {
        return {Fate::overflow, 0};
    }
    // Copies count against the queue as well: one that would not fit is not made.
    delays.resize(std::min(delays.size(), path.max_pending - held()));
    const Copy copy = std::make_shared<Held>(Held{client, std::string(datagram)});
    schedule(queue, copy, delays, [now_ns] { return now_ns; });
    return {Fate::relayed, delays.size()};
}

std::optional<std::int64_t> ShapedLink::next_ns() const {
    std::optional<std::int64_t> next;
    if (!line.empty()) {
        next = theoretical_ns - tolerance_ns;
    }
    if (!queue.empty()) {
        next = std::min(next.value_or(queue.begin()->first), queue.begin()->first);
    }
    return next;
}

namespace {
// The bucket of a wait of `ms` whole milliseconds, and the longest wait a bucket holds.
std::size_t wait_bucket(std::int64_t ms, std::int64_t exact, std::int64_t steps, std::size_t buckets) {
    if (ms < exact) {
        return static_cast<std::size_t>(ms);
    }
    // ms >= exact, so the difference is never negative.
    const auto doubling = static_cast<int>(std::bit_width(static_cast<std::uint64_t>(ms)) -
                                           std::bit_width(static_cast<std::uint64_t>(exact)));
    const std::int64_t step = ms >> doubling;  // exact to 2 * exact - 1
    const auto bucket = static_cast<std::size_t>(exact + doubling * steps + (step - exact) * steps / exact);
    return std::min(bucket, buckets - 1);
}

std::int64_t bucket_top(std::size_t bucket, std::int64_t exact, std::int64_t steps) {
    const auto index = static_cast<std::int64_t>(bucket);
    if (index < exact) {
        return index;
    }
    const std::int64_t doubling = (index - exact) / steps;
    const std::int64_t step = exact + (index - exact) % steps * exact / steps;
    return ((step + exact / steps) << doubling) - 1;
}
}  // namespace

void ShapedLink::count_wait(std::int64_t wait_ns) {
    const std::int64_t ms = (wait_ns + 999999) / 1000000;
    ++waits_ms[wait_bucket(ms, WAIT_EXACT_MS, WAIT_STEPS, WAIT_BUCKETS)];
    ++waits;
}

std::optional<std::int64_t> ShapedLink::wait_quantile_ms(double share) const {
    std::uint64_t below = 0;
    for (std::size_t bucket = 0; bucket < waits_ms.size(); ++bucket) {
        below += waits_ms[bucket];
        if (below > 0 && static_cast<double>(below) >= share * static_cast<double>(waits)) {
            return bucket_top(bucket, WAIT_EXACT_MS, WAIT_STEPS);
        }
    }
    return std::nullopt;
}

bool ShapedLink::token(std::int64_t now_ns) {
    if (theoretical_ns - tolerance_ns > now_ns) {
        return false;
    }
    theoretical_ns = std::max(theoretical_ns, now_ns) + interval_ns;
    return true;
}

}  // namespace drovik
