#include "engine.hpp"

#include <algorithm>

#include "net/chunk_reply.hpp"

namespace drovik::fetch {

namespace {
constexpr Nanos WAKE = MS;
// A server that refused or never answered is only probed, so that it costs little.
constexpr double PROBE_RATE = 5;
constexpr Nanos METER_MEMORY = 10000 * MS;
// Repeats wait for spare capacity once the chunks awaited would keep the servers
// busy for longer than this many of their delays.
constexpr double SPARE_DELAYS = 2;
// Until then a chunk is asked again early only when its GET is older than this share
// of all delays: by then it is far more likely lost than late.
constexpr double PATIENCE = 0.7;
// At the start nothing is known yet and the servers are empty: repeats are free.
constexpr Nanos SETTLING = 2000 * MS;
}  // namespace

Engine::Path::Path(Nanos now)
    : control(now), pacer(control.initial_rate(), control.initial_burst(), now), meter(now), started(now) {}

Engine::Engine(const EngineConfig& config, Nanos now)
    : chunk_total(chunk_count(config.file_size)),
      held_before(config.held.size() == chunk_total ? config.held : ChunkSet(chunk_total)),
      window(config.window),
      first(0),
      next_new(0),
      slots(2 * config.window),
      next_control(now),
      started(now) {
    for (std::size_t s = 0; s < config.servers; ++s) {
        paths.emplace_back(now);
    }
    skip_held();
}

// Chunks held from before are never asked: the window takes them as it reaches them.
void Engine::skip_held() {
    while (next_new < chunk_total && next_new < first + window && held_before.contains(next_new)) {
        slot(next_new++) = Slot{0, 0, true};
        ++held;
        advance_first();
    }
}

void Engine::advance_first() {
    while (first < next_new && slot(first).have) {
        ++first;
        --held;
    }
}

// Chunks asked so far, and those written lately whose late replies still teach delays.
bool Engine::known(std::uint64_t chunk) const {
    return chunk < next_new && chunk + window >= first && !held_before.contains(chunk);
}

bool Engine::on_reply(std::size_t server, std::uint64_t chunk, Nanos now) {
    Path& path = paths[server];
    ++path.stats.replies;
    path.meter.replied(now);
    if (path.refused_at) {
        path.refused_at.reset();
        path.pacer.set_rate(path.rate_before_refusal);
    }
    if (!known(chunk)) {
        return false;
    }
    Slot& asked = slot(chunk);
    const Nanos age = now - asked.last_send;
    path.delays.sample(age, asked.asks == 1);
    if (asked.asks == 1) {
        path.meter.exact(asked.last_send, age);
    }
    if (chunk < first || asked.have) {
        return false;
    }
    asked.have = true;
    ++path.stats.useful;
    ++held;
    advance_first();
    skip_held();
    return true;
}

void Engine::on_refused(std::size_t server, Nanos now) {
    Path& path = paths[server];
    if (!path.refused_at) {
        path.rate_before_refusal = path.pacer.rate();
    }
    path.refused_at = now;
}

bool Engine::silent(std::size_t server, Nanos now) const {
    const Path& path = paths[server];
    if (path.refused_at) {
        return true;
    }
    if (path.stats.replies > 0) {
        return false;
    }
    // Never answered, while another server has answered for longer than its largest delay.
    return std::any_of(paths.begin(), paths.end(), [&](const Path& other) {
        return other.stats.replies > 0 &&
               now - path.started > other.delays.largest() + other.delays.largest() / 10;
    });
}

std::optional<Nanos> Engine::timeout_of(std::size_t server, Nanos now) const {
    if (silent(server, now)) {
        return 0;
    }
    const Path& path = paths[server];
    if (const auto own = path.delays.timeout(now - path.started)) {
        return own;
    }
    // A server that has not taught its own yet borrows the longest of the others'.
    std::optional<Nanos> borrowed;
    for (const Path& other : paths) {
        if (const auto theirs = other.delays.timeout(now - other.started)) {
            borrowed = std::max(borrowed.value_or(0), *theirs);
        }
    }
    return borrowed;
}

bool Engine::stale(const Ask& ask) {
    if (!known(ask.chunk) || ask.chunk < first) {
        return true;
    }
    const Slot& asked = slot(ask.chunk);
    return asked.have || asked.last_send != ask.at;
}

// The server whose oldest live GET is the oldest of all that are due: past their
// time-out, or (early) past the spacing of repeats.
std::optional<std::size_t> Engine::oldest_due(Nanos now, bool early) {
    std::optional<std::size_t> oldest;
    for (std::size_t s = 0; s < paths.size(); ++s) {
        std::deque<Ask>& asked = paths[s].asked;
        while (!asked.empty() && stale(asked.front())) {
            asked.pop_front();
        }
        if (asked.empty()) {
            continue;
        }
        const std::optional<Nanos> limit = early ? early_limit(s, now) : timeout_of(s, now);
        if (limit && now - asked.front().at >= *limit &&
            (!oldest || asked.front().at < paths[*oldest].asked.front().at)) {
            oldest = s;
        }
    }
    return oldest;
}

std::uint64_t Engine::take_oldest(std::size_t server) {
    const std::uint64_t chunk = paths[server].asked.front().chunk;
    paths[server].asked.pop_front();
    return chunk;
}

// Lost GETs first, then chunks never asked, then chunks that have waited longest.
std::optional<Engine::Choice> Engine::choose(Nanos now) {
    if (const auto timed_out = oldest_due(now, false)) {
        return Choice{take_oldest(*timed_out), false};
    }
    if (next_new < chunk_total && next_new < first + window) {
        const std::uint64_t chunk = next_new++;
        slot(chunk) = Slot{};
        skip_held();
        return Choice{chunk, true};
    }
    if (const auto early = oldest_due(now, true)) {
        return Choice{take_oldest(*early), false};
    }
    return std::nullopt;
}

void Engine::send_one(std::size_t server, const Choice& choice, Nanos now, const Send& send) {
    Slot& asked = slot(choice.chunk);
    asked.last_send = now;
    asked.asks = static_cast<std::uint8_t>(std::min(255, asked.asks + 1));
    Path& path = paths[server];
    path.asked.push_back({now, choice.chunk});
    path.meter.sent(now, choice.fresh);
    ++path.stats.gets;
    send(server, choice.chunk);
}

// Repeats are worth their cost only once the chunks still awaited no longer keep the
// servers busy: before that, a repeat takes the place of a reply that would be useful.
bool Engine::spare_capacity(Nanos now) const {
    if (now - started < SETTLING) {
        return true;
    }
    Nanos longest = 0;
    for (const Path& path : paths) {
        longest = std::max(longest, path.delays.largest());
    }
    const auto awaited = static_cast<double>(next_new - first - held);
    return awaited <= SPARE_DELAYS * useful_per_second * static_cast<double>(longest) / 1e9;
}

// How old a GET must be before its chunk is asked again without waiting for its time-out.
std::optional<Nanos> Engine::early_limit(std::size_t server, Nanos now) const {
    if (spare_capacity(now)) {
        return paths[server].delays.spacing();
    }
    return paths[server].meter.delay_quantile(PATIENCE);
}

void Engine::control(Nanos now) {
    std::uint64_t useful = 0;
    for (const Path& path : paths) {
        useful += path.stats.useful;
    }
    // Averaged over about a second.
    const double period = static_cast<double>(RateControl::PERIOD) / 1e9;
    useful_per_second += (static_cast<double>(useful - useful_counted) / period - useful_per_second) * period;
    useful_counted = useful;
    for (std::size_t s = 0; s < paths.size(); ++s) {
        Path& path = paths[s];
        if (silent(s, now)) {
            path.pacer.set_rate(PROBE_RATE);
            continue;
        }
        const bool known = path.delays.timeout(now - path.started).has_value();
        path.pacer.set_rate(path.control.update(now, path.pacer.rate(), known, path.wanting, path.meter,
                                                path.delays.largest()));
        path.meter.forget_before(now - std::max(METER_MEMORY, 10 * path.delays.largest()));
        path.wanting = false;
    }
}

void Engine::on_tick(Nanos now, const Send& send) {
    if (now >= next_control) {
        control(now);
        next_control = now + RateControl::PERIOD;
    }
    for (Path& path : paths) {
        path.pacer.refill(now);
    }
    // Servers take turns, each while it has a token, as long as anything is worth sending.
    for (std::size_t idle = 0; idle < paths.size() && !done();) {
        const std::size_t server = turn;
        turn = (turn + 1) % paths.size();
        if (!paths[server].pacer.ready()) {
            ++idle;
            continue;
        }
        const std::optional<Choice> choice = choose(now);
        if (!choice) {
            paths[server].wanting = true;
            break;
        }
        paths[server].pacer.take();
        send_one(server, *choice, now, send);
        idle = 0;
    }
    for (Path& path : paths) {
        path.pacer.settle();
    }
}

Nanos Engine::next_wake(Nanos now) const {
    return now + WAKE;
}

}  // namespace drovik::fetch
