#include "rate_control.hpp"

#include <algorithm>
#include <cmath>

namespace drovik::fetch {

namespace {
// Until the server's delays are known its limit cannot be told either: the rate stays
// at a level somewhat above what a single reference server takes, which fills it
// soon and wastes little once it is full.
constexpr double BLIND_RATE = 2500;
constexpr double FIRST_BURST = 100;
constexpr double LEAST_RATE = 50;
constexpr double MOST_RATE = 20000;
// The refused share aimed at: enough to keep the server full, small enough to waste little.
constexpr double REFUSED_AIM = 0.05;
// GETs/s added to every aim: the same for every client, it brings their rates together.
constexpr double STEP = 50;
// How much faster than it sends a client aims while the server is far from full.
constexpr double GROWTH = 0.5;
// The first fresh GETs meet a server that this client has not filled yet.
constexpr std::uint64_t FIRST_COHORT = 500;
constexpr Nanos WINDOW = 1000 * MS;
constexpr Nanos SPAN = 500 * MS;
constexpr double LEAST_EXPECTED = 300;
constexpr double SIGMAS = 2;
// A client refused far more than its baseline says, for this long, is likely the
// only one that remembers a baseline so high: it keeps the best of recent windows.
constexpr double SQUEEZED = 0.25;
constexpr Nanos SQUEEZE_TIME = 2000 * MS;
constexpr Nanos MEMORY = 4000 * MS;
}  // namespace

RateControl::RateControl(Nanos now) : next_window(now) {}

double RateControl::initial_rate() const {
    return BLIND_RATE;
}

double RateControl::initial_burst() const {
    return FIRST_BURST;
}

// Two standard deviations below the measured yield: the largest of many noisy
// windows would overstate it, and a baseline too high starves the client.
void RateControl::remember(Nanos now, const ReplyMeter::Yield& measured) {
    const double careful = *measured.per_get() * (1.0 - SIGMAS / std::sqrt(measured.replies + 1.0));
    windows.emplace_back(now, careful);
    best = std::max(best.value_or(0.0), careful);
}

void RateControl::learn_baseline(Nanos now, const ReplyMeter& meter, Nanos largest_delay) {
    if (!first_learned) {
        const auto first = meter.first_yield(FIRST_COHORT, now - largest_delay - largest_delay / 20);
        if (first && first->replies > 0) {
            first_learned = true;
            remember(now, *first);
        }
    }
    for (; next_window + WINDOW <= now; next_window += WINDOW) {
        const auto measured = meter.yield(next_window, next_window + WINDOW);
        if (measured && measured->expected >= LEAST_EXPECTED) {
            remember(now, *measured);
        }
    }
    while (!windows.empty() && windows.front().first < now - MEMORY) {
        windows.pop_front();
    }
}

// The newest span with enough replies to tell, from half a second up to three.
std::optional<ReplyMeter::Yield> RateControl::recent(Nanos now, const ReplyMeter& meter) const {
    std::optional<ReplyMeter::Yield> measured;
    for (Nanos span = SPAN; span <= 6 * SPAN; span += SPAN) {
        measured = meter.yield(now - span, now);
        if (!measured || measured->expected >= LEAST_EXPECTED) {
            break;
        }
    }
    return measured;
}

// A client refused far beyond its baseline for long is likely the only one that remembers a
// baseline so high: it takes the best yield it has seen lately instead. True when it did.
bool RateControl::forget_if_squeezed(Nanos now, double refused, double measured) {
    if (refused <= SQUEEZED) {
        squeezed_since.reset();
        return false;
    }
    squeezed_since = squeezed_since.value_or(now);
    if (now - *squeezed_since <= SQUEEZE_TIME) {
        return false;
    }
    best = measured;
    for (const auto& [at, careful] : windows) {
        best = std::max(*best, careful);
    }
    squeezed_since.reset();
    return true;
}

void RateControl::restart(Nanos now, Nanos largest_delay) {
    hold_until = now + largest_delay + SPAN;
    next_window = hold_until;
    windows.clear();
    squeezed_since.reset();
}

double RateControl::update(Nanos now, double rate, bool known, bool wanting, const ReplyMeter& meter,
                           Nanos largest_delay) {
    if (!known || now < hold_until) {
        return rate;
    }
    learn_baseline(now, meter, largest_delay);
    const auto measured = recent(now, meter);
    if (!best || *best <= 0 || !measured || measured->expected < LEAST_EXPECTED / 4) {
        return rate;
    }
    double refused = std::max(0.0, 1.0 - *measured->per_get() / *best);
    if (forget_if_squeezed(now, refused, *measured->per_get())) {
        refused = std::max(0.0, 1.0 - *measured->per_get() / *best);
    }
    double aim = measured->sent_per_second * (1.0 - refused) / (1.0 - REFUSED_AIM) + STEP;
    if (refused < REFUSED_AIM / 2) {
        if (wanting) {
            return rate;
        }
        aim = (1.0 + GROWTH) * std::max(measured->sent_per_second, LEAST_RATE);
    }
    // One step of the way per feedback delay: what a change does shows only that late.
    const double gain = static_cast<double>(PERIOD) / static_cast<double>(largest_delay + SPAN);
    return std::clamp(rate + gain * (aim - rate), LEAST_RATE, MOST_RATE);
}

}  // namespace drovik::fetch
