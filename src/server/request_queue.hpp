#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "net/network.hpp"
#include "path_model.hpp"
#include "request.hpp"

namespace drovik {

// Pending replies keyed by monotonic send time in nanoseconds. Equal keys
// leave in insertion order: multimap insertion goes behind equal keys.
using RequestQueue = std::multimap<std::int64_t, request>;

inline constexpr std::int32_t IDLE_TIMEOUT_MS = 1000;

// Milliseconds from `now_ns` until the head is due, never negative.
std::int32_t min_waiting_time(const RequestQueue& request_queue, std::int64_t now_ns);

// Admission is decided once per request, before any of its replies is queued.
bool admits(const RequestQueue& request_queue, const request& r,
            std::size_t max_pending = PathModel{}.max_pending);

// Sends every due reply, earliest first; returns how long to wait for the next.
// `now` reads the clock, `send` delivers one reply.
template <class Now, class Send>
std::int32_t send_due_replies(RequestQueue& request_queue, Now now, Send send) {
    while (!request_queue.empty()) {
        const auto head = request_queue.begin();
        // Less than one whole millisecond away counts as due.
        if (to_ms(head->first - now()) > 0) {
            return min_waiting_time(request_queue, now());
        }
        const request due = head->second;
        send(due);
        request_queue.erase(head);
    }
    return IDLE_TIMEOUT_MS;
}

// Queues one copy of `r` per delay, each keyed by a fresh reading of the clock.
template <class Now>
void schedule_replies(RequestQueue& request_queue, const request& r,
                      const std::vector<std::int32_t>& delays_ms, Now now) {
    for (const std::int32_t delay_ms : delays_ms) {
        request_queue.emplace(now() + std::int64_t{delay_ms} * 1000000, r);
    }
}

}  // namespace drovik
