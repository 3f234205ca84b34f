#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "reply_meter.hpp"

namespace drovik::fetch {

// How fast to send GETs to one server. A server at its limit turns requests away,
// and a refused GET looks like a lost one: the replies per GET fall below what
// loss alone explains. The control aims at a small refused share, so that the
// server stays full without being flooded.
class RateControl {
public:
    // update() runs this often.
    static constexpr Nanos PERIOD = 20 * MS;

    explicit RateControl(Nanos now);

    double initial_rate() const;
    double initial_burst() const;
    // The rate from now on. `known` says that the server's delays are learned;
    // `wanting` that tokens went unused since the last update (the transfer asked for less).
    double update(Nanos now, double rate, bool known, bool wanting, const ReplyMeter& meter,
                  Nanos largest_delay);
    // After a silence of the server: what the windows saw of it is forgotten, and the
    // rate holds until the replies measured answer GETs sent since.
    void restart(Nanos now, Nanos largest_delay);
    // Replies per GET while nothing is refused, as far as they can be told.
    std::optional<double> baseline() const { return best; }

private:
    void learn_baseline(Nanos now, const ReplyMeter& meter, Nanos largest_delay);
    void remember(Nanos now, const ReplyMeter::Yield& measured);
    std::optional<ReplyMeter::Yield> recent(Nanos now, const ReplyMeter& meter) const;
    bool forget_if_squeezed(Nanos now, double refused, double measured);

    Nanos next_window;
    Nanos hold_until = 0;
    bool first_learned = false;
    std::optional<double> best;
    std::deque<std::pair<Nanos, double>> windows;  // recent careful yields, by when they were measured
    std::optional<Nanos> squeezed_since;
};

}  // namespace drovik::fetch
