#include "engine.hpp"

#include <algorithm>

#include "net/chunk_reply.hpp"

namespace drovik::fetch {

namespace {
constexpr Nanos MS = 1000000;
constexpr Nanos CONTROL_PERIOD = 20 * MS;
constexpr Nanos WAKE = MS;
// A server that refused or never answered is only probed, so that it costs little.
constexpr double PROBE_RATE = 5;
}  // namespace

Engine::Path::Path(Nanos now)
    : control(now), pacer(control.initial_rate(), control.initial_burst(), now), meter(now), started(now) {}

Engine::Engine(const EngineConfig& config, Nanos now)
    : chunk_total(chunk_count(config.file_size)),
      resumed_from(std::min(config.first_chunk, chunk_total)),
      window(config.window),
      first(resumed_from),
      next_new(first),
      slots(2 * config.window),
      next_control(now) {
    for (std::size_t s = 0; s < config.servers; ++s) {
        paths.emplace_back(now);
    }
}

// Chunks asked so far, and those written lately whose late replies still teach delays.
bool Engine::known(std::uint64_t chunk) const {
    return chunk >= resumed_from && chunk < next_new && chunk + window >= first;
}

bool Engine::on_reply(std::size_t server, std::uint64_t chunk, Nanos now) {
    Path& path = paths[server];
    ++path.stats.replies;
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
    if (chunk < first || asked.have) {
        return false;
    }
    asked.have = true;
    ++path.stats.useful;
    if (asked.clean && asked.server == server) {
        path.meter.answered(asked.last_send, age);
    }
    while (first < next_new && slot(first).have) {
        ++first;
    }
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
        const std::optional<Nanos> limit = early ? paths[s].delays.spacing() : timeout_of(s, now);
        if (limit && now - asked.front().at >= *limit &&
            (!oldest || asked.front().at < paths[*oldest].asked.front().at)) {
            oldest = s;
        }
    }
    return oldest;
}

std::optional<Engine::Choice> Engine::choose(Nanos now) {
    if (const auto timed_out = oldest_due(now, false)) {
        const Ask ask = paths[*timed_out].asked.front();
        paths[*timed_out].asked.pop_front();
        return Choice{ask.chunk, true, false};
    }
    if (next_new < chunk_total && next_new < first + window) {
        return Choice{next_new++, true, true};
    }
    // Spare capacity goes to the chunks that have waited longest.
    if (const auto early = oldest_due(now, true)) {
        const Ask ask = paths[*early].asked.front();
        paths[*early].asked.pop_front();
        return Choice{ask.chunk, false, false};
    }
    return std::nullopt;
}

void Engine::send_one(std::size_t server, const Choice& choice, Nanos now, const Send& send) {
    Slot& asked = slot(choice.chunk);
    if (choice.fresh) {
        asked = Slot{};
    } else if (!choice.clean && asked.clean) {
        // The earlier GET was watched only until now.
        paths[asked.server].meter.censored(asked.last_send, now - asked.last_send);
    }
    asked.last_send = now;
    asked.server = static_cast<std::uint8_t>(server);
    asked.asks = static_cast<std::uint8_t>(std::min(255, asked.asks + 1));
    asked.clean = choice.clean;
    Path& path = paths[server];
    path.asked.push_back({now, choice.chunk});
    path.meter.sent(now, choice.clean);
    ++path.stats.gets;
    send(server, choice.chunk);
}

void Engine::control(Nanos now) {
    for (std::size_t s = 0; s < paths.size(); ++s) {
        Path& path = paths[s];
        if (silent(s, now)) {
            path.pacer.set_rate(PROBE_RATE);
            continue;
        }
        path.pacer.set_rate(path.control.update(now, path.pacer.rate(), timeout_of(s, now),
                                                path.stats.replies > 0, path.meter, path.delays.largest()));
    }
}

void Engine::on_tick(Nanos now, const Send& send) {
    if (now >= next_control) {
        control(now);
        next_control = now + CONTROL_PERIOD;
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
