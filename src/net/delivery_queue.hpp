#pragma once
#include <cassert>
#include <cstdint>
#include <map>
#include <vector>

#include "network.hpp"

namespace drovik {

// Datagrams waiting to leave (the server's pending replies), keyed by monotonic send time
// in nanoseconds. Equal keys leave in insertion order: multimap insertion goes behind
// equal keys.
template <class Item>
using DeliveryQueue = std::multimap<std::int64_t, Item>;

inline constexpr std::int32_t IDLE_TIMEOUT_MS = 1000;

// Milliseconds from `now_ns` until the head is due, never negative.
template <class Item>
std::int32_t min_waiting_time(const DeliveryQueue<Item>& request_queue, std::int64_t now_ns) {
    assert(!request_queue.empty());
    const std::int32_t wait_ms = to_ms(request_queue.begin()->first - now_ns);
    return wait_ms < 0 ? 0 : wait_ms;
}

// Sends every due item, earliest first; returns how long to wait for the next.
// `now` reads the clock, `send` delivers one item.
template <class Item, class Now, class Send>
std::int32_t send_due_replies(DeliveryQueue<Item>& request_queue, Now now, Send send) {
    while (!request_queue.empty()) {
        const auto head = request_queue.begin();
        // Less than one whole millisecond away counts as due.
        if (to_ms(head->first - now()) > 0) {
            return min_waiting_time(request_queue, now());
        }
        const Item due = head->second;
        send(due);
        request_queue.erase(head);
    }
    return IDLE_TIMEOUT_MS;
}

// Queues one copy of `r` per delay, each keyed by a fresh reading of the clock.
template <class Item, class Now>
void schedule_replies(DeliveryQueue<Item>& request_queue, const Item& r,
                      const std::vector<std::int32_t>& delays_ms, Now now) {
    for (const std::int32_t delay_ms : delays_ms) {
        request_queue.emplace(now() + std::int64_t{delay_ms} * 1000000, r);
    }
}

}  // namespace drovik
