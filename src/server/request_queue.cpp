#include "request_queue.hpp"

namespace drovik {

bool admits(const RequestQueue& request_queue, const request& r, std::size_t max_pending) {
    return r.valid && request_queue.size() < max_pending;
}

}  // namespace drovik
