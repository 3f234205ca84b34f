#pragma once
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

#include "reply_meter.hpp"

namespace drovik::fetch {

// How fast to send GETs to one server. A server at its limit turns requests away,
// and a refused GET looks like a lost one: the replies per GET fall below what
// loss alone explains. Every client of a server sees the same share refused, so a
// rate that settles where a fixed step balances the refused share of what it sends
// is the same for all of them: the server stays full and is shared evenly.
class RateControl {
public:
    // update() runs this often.
    static constexpr Nanos PERIOD = 20 * MS;

    explicit RateControl(Nanos now);

    double initial_rate() const;
    double initial_burst() const;
    // The first GETs found the server full: others use it already, and what this client
    // measures is their load as well. It starts gently, learns its baseline from the
    // gentle GETs, and grows no faster than the refused share lets it. The new rate.
    double found_busy(Nanos now, double rate);
    // The first replies came in the order of the start burst: a line on the way passes about
    // `line` GETs a second, and holds what the blind rate sent beyond it. The new rate.
    double found_line(Nanos now, double rate, double line);
    // What the replies tell of the path lately: its shortest round trip and how long
    // datagrams wait in line on it, when known.
    struct Path {
        Nanos largest_delay = 0;
        std::optional<Nanos> floor;
        std::optional<ReplyMeter::Queue> queue;
    };
    // The rate from now on. `known` says that the server's delays are learned;
    // `wanting` that tokens went unused since the last update (the transfer asked for less).
    double update(Nanos now, double rate, bool known, bool wanting, const ReplyMeter& meter,
                  const Path& path);
    // After a silence of the server: what the windows saw of it is forgotten, and the
    // rate holds until the replies measured answer GETs sent since.
    void restart(Nanos now, Nanos largest_delay);
    // Replies per GET while nothing is refused, as far as they can be told.
    std::optional<double> baseline() const { return best; }

private:
    void learn_baseline(Nanos now, const ReplyMeter& meter, Nanos largest_delay);
    std::optional<ReplyMeter::Yield> first_yield(Nanos now, const ReplyMeter& meter,
                                                 Nanos largest_delay) const;
    void raise_baseline(Nanos now, const ReplyMeter& meter, Nanos largest_delay);
    std::optional<double> join(const ReplyMeter::Yield& measured);
    void remember(Nanos now, const ReplyMeter::Yield& measured, double sigmas);
    std::optional<ReplyMeter::Yield> recent(Nanos now, const ReplyMeter& meter) const;
    bool forget_if_squeezed(Nanos now, double refused, double measured);
    std::optional<double> against_line(Nanos now, double rate, const Path& path);

    Nanos next_window;
    Nanos hold_until = 0;
    bool first_learned = false;
    bool joined = false;              // the first update after the blind start is past
    std::optional<Nanos> busy_since;  // when the start burst found the server full
    Nanos gentle_until = 0;           // until then it does not grow faster than the step
    std::optional<double> best;
    std::deque<std::pair<Nanos, double>> windows;  // recent careful yields, by when they were measured
    std::optional<Nanos> squeezed_since;
    std::optional<Nanos> line_seen;    // when a line on the path last stood
    std::optional<Nanos> last_halved;  // by a line whose rate was not measured yet
    double line_rate = 0;              // the GETs a second it passed lately
    Nanos halved_wait = 0;             // the wait when the rate was last cut for it
    Nanos halved_sent = 0;             // and when the GETs that told it left
};

}  // namespace drovik::fetch
