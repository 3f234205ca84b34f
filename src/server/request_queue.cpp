#include "request_queue.hpp"

#include <cassert>

namespace drovik {

std::int32_t min_waiting_time(const RequestQueue& request_queue, std::int64_t now_ns) {
    assert(!request_queue.empty());
    const std::int32_t wait_ms = to_ms(request_queue.begin()->first - now_ns);
    return wait_ms < 0 ? 0 : wait_ms;
}

bool admits(const RequestQueue& request_queue, const request& r, std::size_t max_pending) {
    return r.valid && request_queue.size() < max_pending;
}

}  // namespace drovik
