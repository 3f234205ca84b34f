#include "rate_control.hpp"

#include <algorithm>
#include <cmath>

namespace drovik::fetch {

namespace {
// Until the server's delays are known its limit cannot be told either: the rate stays
// at a level somewhat above what a single reference server takes, which fills it
// soon and wastes little once it is full.
constexpr double BLIND_RATE = 2500;
// The first GETs leave at once: enough that an empty server answers the second half
// of them like the GETs after them, and a full one plainly does not (the engine tells).
constexpr double FIRST_BURST = 200;
constexpr double LEAST_RATE = 50;
constexpr double MOST_RATE = 20000;
// GETs/s added to every aim: the rate settles where it balances the refused share of
// what is sent, so at STEP over that share, the same for every client of a server. One
// client alone settles near a tenth refused; the larger the step, the faster clients
// that see the server a little differently still come together (and the more refused).
constexpr double STEP = 150;
// Below this share refused the server has room: the rate grows by GROWTH.
constexpr double FAR_FROM_FULL = 0.025;
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
// The yield fell this far during the blind start while the rate held: this client filled
// an empty server itself, and it goes at once to the rate the server takes.
constexpr double FILLED_BY_ITSELF = 0.85;
// Later yields raise the baseline, measured by when their GETs left (sharp in time) over
// spans this long with at least this many fresh GETs.
constexpr Nanos SHARP_SPAN = 300 * MS;
constexpr double SHARP_LEAST = 200;
// A client that found the server full starts at this share of the blind rate, learns its
// baseline from the GETs of this span (one standard deviation below what they measured:
// a single span, not the best of many) and grows only by the step for this long.
constexpr double GENTLE = 0.35;
constexpr Nanos GENTLE_SETTLE = 100 * MS;
constexpr Nanos GENTLE_SPAN = 800 * MS;
constexpr double GENTLE_SIGMAS = 1;
constexpr Nanos GENTLE_TIME = 20000 * MS;
// A wait in line on the path counts as congestion beside the refused share: this much of
// it is the noise of the estimate, and each HORIZON beyond it counts as all refused. The
// rate settles where the step balances both, at the same wait for every client of a queue.
constexpr Nanos QUEUE_ALLOWANCE = 20 * MS;
constexpr Nanos QUEUE_HORIZON = 400 * MS;
// The share drained holds at PLATEAU, so that every client of a shared line settles alike,
// and grows again by one for each FLOOD_HORIZON of wait beyond FLOOD_WAIT. Before what a
// line passes is measured, a cut keeps between LEAST_CUT and MOST_CUT of the rate.
constexpr double PLATEAU = 0.25;
constexpr double LEAST_CUT = 0.5;
constexpr double MOST_CUT = 0.85;
constexpr Nanos FLOOD_WAIT = 600 * MS;
constexpr Nanos FLOOD_HORIZON = 800 * MS;
// The span over which the fastest replies show a queue, and the wait from which it stands.
constexpr Nanos QUEUE_SPAN = 100 * MS;
constexpr Nanos QUEUE_STANDING = 100 * MS;
// While a line stands the rate drains at most this share of what it passes. A line seen
// within LINE_MEMORY still sets the pace.
constexpr double MOST_DRAIN = 0.75;
constexpr Nanos LINE_MEMORY = 30000 * MS;
// Once it no longer stands, the rate goes back to what the line passed (averaged over about
// 1 / LINE_SMOOTHING readings), and above it grows by the step over PROBING feedback delays.
constexpr double PROBING = 4;
constexpr double LINE_SMOOTHING = 0.1;
// A line found by the start burst's order: the rate drains what the blind start queued.
constexpr double LINE_FOUND_SHARE = 0.5;

// The share of what is sent that a wait in line stands for.
double queued_share(const RateControl::Path& path) {
    if (!path.queue) {
        return 0;
    }
    const double share =
        static_cast<double>(std::max<Nanos>(0, path.queue->wait - QUEUE_ALLOWANCE)) / QUEUE_HORIZON;
    const double flood =
        static_cast<double>(std::max<Nanos>(0, path.queue->wait - FLOOD_WAIT)) / FLOOD_HORIZON;
    return std::min(share, PLATEAU) + flood;
}

// One step of the way towards `aim` per feedback delay, and the span it is measured over.
double step_towards(double rate, double aim, Nanos feedback) {
    const double gain = static_cast<double>(RateControl::PERIOD) / static_cast<double>(feedback);
    return std::clamp(rate + gain * (aim - rate), LEAST_RATE, MOST_RATE);
}

// GETs sent before this have had every reply they will get.
Nanos answered_before(Nanos now, Nanos largest_delay) {
    return now - largest_delay - largest_delay / 20;
}

// Some standard deviations below the measured yield: the largest of many noisy
// windows would overstate it, and a baseline too high starves the client.
double careful(const ReplyMeter::Yield& measured, double sigmas) {
    return *measured.per_get() * (1.0 - sigmas / std::sqrt(measured.replies + 1.0));
}
}  // namespace

RateControl::RateControl(Nanos now) : next_window(now) {}

double RateControl::initial_rate() const {
    return BLIND_RATE;
}

double RateControl::initial_burst() const {
    return FIRST_BURST;
}

double RateControl::found_busy(Nanos now, double rate) {
    busy_since = now;
    joined = true;
    gentle_until = now + GENTLE_TIME;
    return std::max(LEAST_RATE, GENTLE * rate);
}

double RateControl::found_line(Nanos now, double rate, double line) {
    line_seen = now;
    line_rate = line;
    return std::clamp(LINE_FOUND_SHARE * line, LEAST_RATE, rate);
}

void RateControl::remember(Nanos now, const ReplyMeter::Yield& measured, double sigmas) {
    windows.emplace_back(now, careful(measured, sigmas));
    best = std::max(best.value_or(0.0), windows.back().second);
}

// The first GETs meet a server this client has not filled yet: on an empty one they
// measure what it admits. If the start burst found it full, the gentle GETs after it
// measure what it admits beside the others: less, but the best to be had.
std::optional<ReplyMeter::Yield> RateControl::first_yield(Nanos now, const ReplyMeter& meter,
                                                          Nanos largest_delay) const {
    const Nanos complete_before = answered_before(now, largest_delay);
    if (!busy_since) {
        return meter.first_yield(FIRST_COHORT, complete_before);
    }
    const Nanos from = *busy_since + GENTLE_SETTLE;
    if (from + GENTLE_SPAN > complete_before) {
        return std::nullopt;
    }
    return meter.sent_yield(from, from + GENTLE_SPAN);
}

// The GETs of a recent span that left while the server had more room than the baseline
// says raise it: a newcomer learns what the server admits when the others make room.
void RateControl::raise_baseline(Nanos now, const ReplyMeter& meter, Nanos largest_delay) {
    const Nanos complete_before = answered_before(now, largest_delay);
    const ReplyMeter::Yield sharp = meter.sent_yield(complete_before - SHARP_SPAN, complete_before);
    if (sharp.expected >= SHARP_LEAST) {
        best = std::max(*best, careful(sharp, SIGMAS));
    }
}

void RateControl::learn_baseline(Nanos now, const ReplyMeter& meter, Nanos largest_delay) {
    if (!first_learned) {
        const auto first = first_yield(now, meter, largest_delay);
        if (first && first->per_get() && first->replies > 0) {
            first_learned = true;
            remember(now, *first, busy_since ? GENTLE_SIGMAS : SIGMAS);
        }
    }
    if (first_learned) {
        raise_baseline(now, meter, largest_delay);
    }
    for (; next_window + WINDOW <= now; next_window += WINDOW) {
        const auto measured = meter.yield(next_window, next_window + WINDOW);
        if (measured && measured->expected >= LEAST_EXPECTED) {
            remember(now, *measured, SIGMAS);
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
    for (const auto& [at, kept] : windows) {
        best = std::max(*best, kept);
    }
    squeezed_since.reset();
    return true;
}

// The first update after the blind start: if the yield fell while the rate held, the
// start filled an empty server, and the rate goes to the aim at once.
std::optional<double> RateControl::join(const ReplyMeter::Yield& measured) {
    joined = true;
    const double kept = *measured.per_get() / *best;
    if (kept >= FILLED_BY_ITSELF) {
        return std::nullopt;
    }
    return std::clamp(measured.sent_per_second * kept + STEP, LEAST_RATE, MOST_RATE);
}

void RateControl::restart(Nanos now, Nanos largest_delay) {
    hold_until = now + largest_delay + SPAN;
    next_window = hold_until;
    windows.clear();
    squeezed_since.reset();
}

// Against a line on the path. While it stands: what it passes less the share its wait stands
// for, plus the step, so that every client of the line settles alike; before what it passes
// is measured, half the rate each shortest round trip. Once it no longer stands, back to what
// it passed, then probing above it until it stands again: the server's refusals are not what
// sets the pace.
// Nothing once no line stood for LINE_MEMORY.
std::optional<double> RateControl::against_line(Nanos now, double rate, const Path& path) {
    const Nanos wait = path.queue ? path.queue->wait : 0;
    const Nanos feedback = path.floor.value_or(0) + wait + QUEUE_SPAN;
    if (wait < QUEUE_STANDING) {
        if (!line_seen || now - *line_seen > LINE_MEMORY) {
            return std::nullopt;
        }
        if (!path.queue) {
            return rate;  // the replies tell nothing of the line now (all were asked again)
        }
        // Back to what the line passed within a feedback delay; above it, probing gently.
        const double step = rate < line_rate ? line_rate - rate : STEP / PROBING;
        return std::min(MOST_RATE, rate + step * static_cast<double>(PERIOD) / static_cast<double>(feedback));
    }
    line_seen = now;
    const double drain = std::min(queued_share(path), MOST_DRAIN);
    if (const auto passing = path.queue->passing) {
        line_rate = line_rate > 0 ? line_rate + LINE_SMOOTHING * (*passing - line_rate) : *passing;
        // Never more while it stands (the GETs that overflowed it counted as passed), and no
        // faster down than a step per feedback delay: a newcomer's flood is no reason to yield all.
        return step_towards(rate, std::min(rate, *passing * (1.0 - drain) + STEP), feedback);
    }
    if (line_rate > 0) {
        return step_towards(rate, std::min(rate, line_rate * (1.0 - drain) + STEP), feedback);
    }
    // The wait itself need not pass: while the line grows, a cut shows within the shortest round trip.
    if (last_halved && now - *last_halved < path.floor.value_or(0) + QUEUE_SPAN) {
        return rate;
    }
    // A line that grows slowly passes nearly all: the rate over one and the growth of the wait.
    double cut = LEAST_CUT;
    if (last_halved && path.queue->sent_at > halved_sent) {
        const double growth =
            static_cast<double>(wait - halved_wait) / static_cast<double>(path.queue->sent_at - halved_sent);
        cut = std::clamp(1.0 / (1.0 + growth), LEAST_CUT, MOST_CUT);
    }
    last_halved = now;
    halved_wait = wait;
    halved_sent = path.queue->sent_at;
    return std::max(LEAST_RATE, rate * cut);
}

double RateControl::update(Nanos now, double rate, bool known, bool wanting, const ReplyMeter& meter,
                           const Path& path) {
    if (const auto line = against_line(now, rate, path)) {
        return wanting ? std::min(*line, rate) : *line;
    }
    if (!known || now < hold_until) {
        return rate;
    }
    learn_baseline(now, meter, path.largest_delay);
    const auto measured = recent(now, meter);
    if (!best || *best <= 0 || !measured || measured->expected < LEAST_EXPECTED / 4) {
        return rate;
    }
    if (!joined) {
        if (const auto jump = join(*measured)) {
            return *jump;
        }
    }
    double refused = std::max(0.0, 1.0 - *measured->per_get() / *best);
    if (forget_if_squeezed(now, refused, *measured->per_get())) {
        refused = std::max(0.0, 1.0 - *measured->per_get() / *best);
    }
    double aim = measured->sent_per_second * (1.0 - refused) + STEP;
    if (refused < FAR_FROM_FULL) {
        // A client that found the server full measured the others' load as room.
        if (wanting || now < gentle_until) {
            return rate;
        }
        aim = (1.0 + GROWTH) * std::max(measured->sent_per_second, LEAST_RATE);
    }
    // One step of the way per feedback delay: what a change does shows only that late.
    return step_towards(rate, aim, path.largest_delay + SPAN);
}

}  // namespace drovik::fetch
