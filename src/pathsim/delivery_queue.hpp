#pragma once
#include <cassert>
#include <cstdint>
#include <map>
#include <vector>

#include "system/clock.hpp"

namespace drovik {

// Datagrams waiting to leave (the server's pending replies, the relay's held copies), keyed
// by monotonic send time in nanoseconds. Equal keys leave in insertion order: multimap
// insertion goes behind equal keys.
template <class Item>
using DeliveryQueue = std::multimap<std::int64_t, Item>;

// How long to wait when nothing is held.
inline constexpr std::int32_t IDLE_TIMEOUT_MS = 1000;

// Milliseconds from `now_ns` until the head is due, never negative.
template <class Item>
std::int32_t min_waiting_time(const DeliveryQueue<Item>& queue, std::int64_t now_ns) {
    assert(!queue.empty());
    const std::int32_t wait_ms = to_ms(queue.begin()->first - now_ns);
    return wait_ms < 0 ? 0 : wait_ms;
}

// Hands every due item to `deliver`, earliest first; returns how long to wait for the next.
// `now` reads the clock.
template <class Item, class Now, class Deliver>
std::int32_t deliver_due(DeliveryQueue<Item>& queue, Now now, Deliver deliver) {
    while (!queue.empty()) {
        const auto head = queue.begin();
        // Less than one whole millisecond away counts as due.
        if (to_ms(head->first - now()) > 0) {
            return min_waiting_time(queue, now());
        }
        const Item due = head->second;
        deliver(due);
        queue.erase(head);
    }
    return IDLE_TIMEOUT_MS;
}

// Queues one copy of `item` per delay, each keyed by a fresh reading of the clock.
template <class Item, class Now>
void schedule(DeliveryQueue<Item>& queue, const Item& item, const std::vector<std::int32_t>& delays_ms,
              Now now) {
    for (const std::int32_t delay_ms : delays_ms) {
        queue.emplace(now() + std::int64_t{delay_ms} * 1000000, item);
    }
}

}  // namespace drovik
