#include "pathsim/shaped_link.hpp"

#include <algorithm>
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

void ShapedLink::count_wait(std::int64_t wait_ns) {
    const auto ms = static_cast<std::size_t>((wait_ns + 999999) / 1000000);
    if (waits_ms.size() <= ms) {
        waits_ms.resize(ms + 1);
    }
    ++waits_ms[ms];
    ++waits;
}

std::optional<std::int64_t> ShapedLink::wait_quantile_ms(double share) const {
    std::uint64_t below = 0;
    for (std::size_t ms = 0; ms < waits_ms.size(); ++ms) {
        below += waits_ms[ms];
        if (below > 0 && static_cast<double>(below) >= share * static_cast<double>(waits)) {
            return static_cast<std::int64_t>(ms);
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
