#pragma once
#include <cstdint>
#include <optional>

#include "answer_meter.hpp"

namespace drovik::fetch {

// How fast to send GETs to one server. A server at its limit turns requests away,
// and a refused GET looks like a lost one: the answered share of clean GETs falls
// below what loss alone explains. The control aims at a small refused share, so
// that the server stays full without being flooded.
class RateControl {
public:
    explicit RateControl(Nanos now) : started(now) {}

    double initial_rate() const;
    double initial_burst() const;
    // The rate from now on, given the current one and what the meter has seen.
    double update(Nanos now, double rate, std::optional<Nanos> timeout, bool replied, AnswerMeter& meter,
                  Nanos largest_delay);
    std::optional<double> loss_baseline() const { return baseline; }

private:
    Nanos started;
    std::optional<double> baseline;  // the answered share when nothing is refused
};

}  // namespace drovik::fetch
