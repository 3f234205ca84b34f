#pragma once
#include <cstddef>

#include "pathsim/delivery_queue.hpp"
#include "pathsim/path_model.hpp"
#include "request.hpp"

namespace drovik {

// Pending replies keyed by monotonic send time in nanoseconds.
using RequestQueue = DeliveryQueue<request>;

// Admission is decided once per request, before any of its replies is queued.
bool admits(const RequestQueue& request_queue, const request& r,
            std::size_t max_pending = PathModel{}.max_pending);

}  // namespace drovik
