#pragma once
#include <algorithm>
#include <cstdint>

#include "nanos.hpp"

namespace drovik::fetch {

// A token bucket: one token per GET, refilled at the rate, holding about 2 ms of it
// so that GETs leave evenly spaced, never as bursts.
class Pacer {
public:
    Pacer(double per_second, double initial_tokens, Nanos now)
        : per_second(per_second), tokens(initial_tokens), last(now) {}

    void refill(Nanos now) {
        tokens =
            std::min(tokens + per_second * static_cast<double>(now - last) / 1e9, std::max(depth(), tokens));
        last = now;
    }
    bool ready() const { return tokens >= 1; }
    // When the next token is whole, at the rate of now.
    Nanos next_token() const {
        return tokens >= 1 ? last : last + static_cast<Nanos>((1 - tokens) * 1e9 / per_second) + 1;
    }
    void take() { tokens -= 1; }
    // Unused tokens beyond the depth are dropped: idle time earns no burst.
    void settle() { tokens = std::min(tokens, depth()); }

    double rate() const { return per_second; }
    void set_rate(double value) { per_second = value; }

private:
    double depth() const { return 1.0 + per_second * 0.002; }

    double per_second;
    double tokens;
    Nanos last;
};

}  // namespace drovik::fetch
